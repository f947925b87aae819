#include "devices/devicelist.h"

#include <cstring>
#include <cwchar>
#include <string>

namespace {

// The setup classes of the devices a driver package may name, in the order their sets
// are opened: SCSI adapters, network adapters, HDC, display, system, ports, media, USB,
// storage volumes, HID, floppy disk controllers, MTDs, 1394 debug, modems, PCMCIA,
// processors and other devices.
const GUID kDeviceClasses[] = {
    {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E96A, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E968, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E971, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}},
    {0x6BDD1FC1, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}},
    {0x4D36E964, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E966, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E969, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x30EF7132, 0xD858, 0x4A0C, {0xAC, 0x24, 0xB9, 0x02, 0x8A, 0x5C, 0xCA, 0x3F}},
    {0x4D36E970, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x4D36E976, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
    {0x50127DC3, 0x0F36, 0x415E, {0xA6, 0xCC, 0x4C, 0xB3, 0xBE, 0x91, 0x0B, 0x65}},
    {0x4D36E97E, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
};

bool Contains(const WCHAR *text, const WCHAR *part) { return std::wcsstr(text, part) != nullptr; }

}  // namespace

CWin2000DeviceList::~CWin2000DeviceList() {
  // The records first: each destroys the driver list it built, in a set still open, and
  // becomes a snapshot for whoever shares it.
  for (const std::shared_ptr<W2KDEVINST> &record : m_records) record->MakeSnapshot();
  m_records.clear();
  m_sets.clear();
}

void CWin2000DeviceList::Build(BOOL allClasses) {
  if (allClasses) {
    AddSet(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  } else {
    for (const GUID &setupClass : kDeviceClasses)
      AddSet(SetupDiGetClassDevsW(&setupClass, nullptr, nullptr, DIGCF_PRESENT));
  }
}

void CWin2000DeviceList::AddSet(HDEVINFO set) {
  if (set == INVALID_HANDLE_VALUE || set == nullptr) return;  // a set that cannot be opened gives no records
  m_sets.emplace_back(set);
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof(device));
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
    m_records.push_back(std::make_shared<W2KDEVINST>());
    m_records.back()->ReadInstalledDriver(set, device);
  }
}

const W2KDEVINST *CWin2000DeviceList::GetDevice(int index) const { return ShareDevice(index).get(); }

std::shared_ptr<const W2KDEVINST> CWin2000DeviceList::ShareDevice(int index) const {
  return index >= 0 && index < GetCount() ? m_records[size_t(index)] : nullptr;
}

bool CWin2000DeviceList::GetHardwareIds(int index, BYTE *buffer, DWORD *size) const {
  const W2KDEVINST *record = GetDevice(index);
  if (!size || !record) return false;
  DWORD needed = 0;
  // The size query answers false by design (no buffer): only the size it reports counts.
  static_cast<void>(record->ReadRegistryProperty(SPDRP_HARDWAREID, nullptr, nullptr, 0, &needed));
  if (buffer && *size >= needed) return record->ReadRegistryProperty(SPDRP_HARDWAREID, nullptr, buffer, *size, nullptr);
  *size = needed;
  return false;
}

bool ReadHardwareIdList(const CWin2000DeviceList &list, int index, size_t firstTryChars, std::vector<WCHAR> &ids) {
  size_t chars = firstTryChars;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ids.assign(chars + 2, L'\0');  // two spare NULs end even a list stored without its own
    DWORD size = DWORD(chars * sizeof(WCHAR));
    if (list.GetHardwareIds(index, reinterpret_cast<BYTE *>(ids.data()), &size)) return true;
    if (size <= chars * sizeof(WCHAR)) return false;  // unreadable, not too long
    chars = (size + sizeof(WCHAR) - 1) / sizeof(WCHAR);
  }
  return false;
}

unique_hardware_ids GetMatchingHardwareIds(const CWin2000DeviceList &list, const WCHAR *query) {
  if (!query) return unique_hardware_ids();
  std::wstring upperQuery(query);
  for (WCHAR &c : upperQuery) c = AsciiUpper(c);

  std::vector<std::wstring> matches;
  std::vector<WCHAR> ids;
  for (int i = 0; i < list.GetCount(); ++i) {
    if (!ReadHardwareIdList(list, i, 2048, ids)) continue;  // 4096 bytes on Windows
    const WCHAR *candidate = nullptr;
    ForEachString(ids, [&](WCHAR *id) {
      for (WCHAR *p = id; *p; ++p) *p = AsciiUpper(*p);
      if (!Contains(id, upperQuery.c_str())) return;
      if (!candidate) {
        if (!Contains(id, L"&REV") && !Contains(id, L"&CC")) candidate = id;
      } else if (std::wcslen(id) == upperQuery.size()) {
        candidate = id;
      }
    });
    if (candidate) matches.emplace_back(candidate);
  }
  if (matches.empty()) return unique_hardware_ids();

  // Null entries throughout, so the owner frees a partly filled array correctly.
  unique_hardware_ids result(new WCHAR *[matches.size() + 1]());
  for (size_t i = 0; i < matches.size(); ++i) {
    result.get()[i] = new WCHAR[matches[i].size() + 1];
    std::wmemcpy(result.get()[i], matches[i].c_str(), matches[i].size() + 1);
  }
  return result;
}

void FreeHardwareIdArray(WCHAR **ids) {
  if (!ids) return;
  for (WCHAR **p = ids; *p; ++p) delete[] * p;
  delete[] ids;
}
