// The component's PnP device list: one entry per present device and hardware ID, the answer
// to "is a supported device in this machine". Its entries are snapshots (see W2KDEVINST):
// the sets they were read from are closed when the list is built.
#pragma once

#include <windows.h>

#include <vector>

#include "devices/devicerecord.h"

// Rebuilds `list` from the present devices of every setup class: one entry per hardware ID
// without "&REV" or "&CC" (the first ID as the device reports it, the others in upper case),
// or with `firstIdOnly` one entry per device for its first ID. Devices whose IDs cannot be
// read are left out.
void BuildPnPDeviceList(BOOL firstIdOnly, std::vector<DeviceRecord> &list);

// The first entry whose hardware ID equals `hardwareId` without regard to case; null when
// none does or `hardwareId` is null.
const DeviceRecord *FindDeviceEntry(const std::vector<DeviceRecord> &list, const WCHAR *hardwareId);

// The number of entries whose hardware ID contains `text` without regard to case; 0 for null.
int CountDeviceEntries(const std::vector<DeviceRecord> &list, const WCHAR *text);
