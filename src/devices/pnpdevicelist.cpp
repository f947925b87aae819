// The component's PnP device list: one entry per present device and hardware ID, the
// answer to "is a supported device in this machine".
#include <cwchar>
#include <memory>
#include <vector>

#include "basecomp.h"
#include "devicelist.h"

namespace {

// A hardware-ID list of up to 2048 bytes on Windows is read at once; a longer one is read
// again at the size it needs, so a supported adapter reporting many IDs is still listed.
constexpr size_t kHardwareIdChars = 1024;

bool IsRevisionOrClassForm(const WCHAR *id) { return std::wcsstr(id, L"&REV") || std::wcsstr(id, L"&CC"); }

}  // namespace

DeviceRecord::DeviceRecord() {
  static const auto fresh = std::make_shared<const W2KDEVINST>();
  m_device = fresh;
}

int CBaseComponent::BuildDeviceList(BOOL firstIdOnly) {
  m_deviceList.clear();
  CWin2000DeviceList devices;
  devices.Build(TRUE);

  std::vector<WCHAR> ids;
  for (int i = 0; i < devices.GetCount(); ++i) {
    if (!ReadHardwareIdList(devices, i, kHardwareIdChars, ids)) continue;
    auto device = std::make_shared<const W2KDEVINST>(*devices.GetDevice(i));
    if (firstIdOnly) {
      if (ids[0] != L'\0') m_deviceList.emplace_back(device, CStr(ids.data()));
      continue;
    }
    // The first ID is examined as the device reports it, the later ones in upper case.
    bool first = true;
    ForEachString(ids, [&](WCHAR *id) {
      if (!first)
        for (WCHAR *p = id; *p; ++p) *p = AsciiUpper(*p);
      first = false;
      if (!IsRevisionOrClassForm(id)) m_deviceList.emplace_back(device, CStr(id));
    });
  }
  return 1;
}

int CBaseComponent::FindDevice(const WCHAR *hardwareId, DeviceRecord *found) {
  if (m_deviceList.empty()) BuildDeviceList(FALSE);
  if (!hardwareId) return 0;
  for (const DeviceRecord &entry : m_deviceList) {
    if (entry.strHardwareId.CompareNoCase(hardwareId) == 0) {
      if (found) *found = entry;
      return 1;
    }
  }
  return 0;
}

int CBaseComponent::CountDevices(const WCHAR *text) {
  BuildDeviceList(TRUE);
  if (!text) return 0;
  int count = 0;
  for (const DeviceRecord &entry : m_deviceList)
    if (entry.strHardwareId.FindNoCase(text) >= 0) ++count;
  return count;
}
