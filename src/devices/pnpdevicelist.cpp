// The component's PnP device list: one entry per present device and hardware ID, the
// answer to "is a supported device in this machine".
#include "devices/pnpdevicelist.h"

#include <cwchar>
#include <memory>

#include "devices/devicelist.h"

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

void BuildPnPDeviceList(BOOL firstIdOnly, std::vector<DeviceRecord> &list) {
  list.clear();
  CWin2000DeviceList devices;
  devices.Build(TRUE);

  std::vector<WCHAR> ids;
  for (int i = 0; i < devices.GetCount(); ++i) {
    if (!ReadHardwareIdList(devices, i, kHardwareIdChars, ids)) continue;
    std::shared_ptr<const W2KDEVINST> device = devices.ShareDevice(i);
    if (firstIdOnly) {
      if (ids[0] != L'\0') list.emplace_back(device, CStr(ids.data()));
      continue;
    }
    // The first ID is examined as the device reports it, the later ones in upper case.
    bool first = true;
    ForEachString(ids, [&](WCHAR *id) {
      if (!first)
        for (WCHAR *p = id; *p; ++p) *p = AsciiUpper(*p);
      first = false;
      if (!IsRevisionOrClassForm(id)) list.emplace_back(device, CStr(id));
    });
  }
}

const DeviceRecord *FindDeviceEntry(const std::vector<DeviceRecord> &list, const WCHAR *hardwareId) {
  if (!hardwareId) return nullptr;
  for (const DeviceRecord &entry : list)
    if (entry.strHardwareId.CompareNoCase(hardwareId) == 0) return &entry;
  return nullptr;
}

int CountDeviceEntries(const std::vector<DeviceRecord> &list, const WCHAR *text) {
  if (!text) return 0;
  int count = 0;
  for (const DeviceRecord &entry : list)
    if (entry.strHardwareId.FindNoCase(text) >= 0) ++count;
  return count;
}
