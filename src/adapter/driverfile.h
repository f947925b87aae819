// The adapter driver's own files: how many Intel devices are present, which SYS and INF
// names the driver has on this Windows, where its installed and packaged SYS files are, and
// the installation of one file through the Windows file-installation interface.
#pragma once

#include <windows.h>

#include "support/cstr.h"

// IntelDeviceCount: the number of Intel devices the last CountIntelDevices found. The
// adapter component works on these devices itself while it is not 0.
extern int g_nIntelDeviceCount;

// The hardware-ID prefixes of the Intel devices, in their order: a present device whose
// first hardware ID begins with one of them (without regard to case) is an Intel device.
extern const WCHAR *const kIntelDevicePrefixes[2];

// Counts the present devices whose first hardware ID begins with an Intel device prefix
// into g_nIntelDeviceCount; true when there is at least one.
bool CountIntelDevices();

// The driver's SYS and INF names for `family` ("v40") on the running Windows, into a
// buffer of `capacity` characters (cut to fit). GetDriverSysName answers false only when
// none of the Windows version probes held (the names are written all the same);
// GetDriverInfName always answers true.
bool GetDriverSysName(WCHAR *buffer, size_t capacity, const WCHAR *family);
bool GetDriverInfName(WCHAR *buffer, size_t capacity, const WCHAR *family);

// The installed driver file (<system directory>\drivers\<SYS name>) and the packaged one
// (beside the host's executable); empty when the path cannot be formed.
CStr InstalledDriverPath();
CStr PackagedDriverPath();

// Installs `sourceName` from `sourceDir` as `targetName` in `targetDir` with VerInstallFileW.
// When that fails and the target exists (in use, typically), the old file is moved aside
// under a temporary name in the target directory and the installation is tried once more;
// the old file stays there under that name after a success and is moved back after a
// failure. Writes its verbose entries; true when the file was installed.
bool InstallDriverFile(const WCHAR *sourceName, const WCHAR *targetName, const WCHAR *sourceDir,
                       const WCHAR *targetDir);
