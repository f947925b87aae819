// The adapter component's driver step on machines with Intel devices: the driver update of
// those devices, and the staging of the driver (or agent) files in the pnpdrvs folder.
#pragma once

#include <windows.h>
#include <guiddef.h>

#include <cstddef>

#include "adapter/agent.h"

// The NDIS LAN device interface class, which every network adapter exposes.
inline constexpr GUID kNdisLanClass = {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}};

// The file sets staged in the pnpdrvs folder (staged name, source name): the agent's files
// on machines without Intel devices, the whole driver on Server 2012 R2, 2008 R2 and the
// other 64-bit 6.x releases, and the driver without its installer extensions on Server 2012.
extern const DriverFilePair kAgentFileSet[2];
extern const DriverFilePair kFullDriverFileSet[8];
extern const DriverFilePair kServer2012DriverFileSet[6];

// Updates the driver of every present Intel device from the package's INF beside the host's
// executable (UpdateDriverForPlugAndPlayDevicesW, forced). A device whose update finds
// nothing to do (ERROR_NO_MORE_ITEMS) is logged and passed over; any other failure is logged
// and ends the walk. 0 failed (also when newdev cannot be loaded or the INF path does not
// fit), 1 updated, 2 updated and a reboot is required; 1 when there is no Intel device.
int UpdateDriver4IntelDevice(const WCHAR *family);

// Copies each file of `set` from the host executable's folder into the pnpdrvs folder,
// which is made safe first, overwriting what is there; stops at the first file that cannot
// be copied (a folder that cannot be made safe, or a path past MAX_PATH, fails the first
// file). True when every file was copied, and for an empty set.
bool CopyDriversToPnPFolder(const DriverFilePair *set, size_t count);
template <size_t N>
bool CopyDriversToPnPFolder(const DriverFilePair (&set)[N]) {
  return CopyDriversToPnPFolder(set, N);
}
