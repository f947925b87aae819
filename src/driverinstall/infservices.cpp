// The operations of CInf that install what an INF declares beyond files and section
// directives: its services, the per-service settings of its ".SoftwareSettings" sections,
// the root-enumerated device of its class and the Windows NT 4 shortcuts.
#include "driverinstall/inf.h"

#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "driverinstall/pnpdriver.h"
#include "system/servicecontrol.h"

namespace {
constexpr DWORD kSettingsNameChars = 2048;  // the service name of the per-service settings key
constexpr DWORD kDeviceServiceChars = 254;  // the service name a root device is named after
constexpr DWORD kHardwareIdBytes = 512;     // the new root device's hardware ID list
constexpr DWORD kRootDeviceFlags = DI_ENUMSINGLEINF | DI_DONOTCALLCONFIGMG | DI_NOFILECOPY;
constexpr REGSAM kSettingsAccess = KEY_READ | KEY_WRITE;

// The hardware ID list of a driver of the set's driver list (a REG_MULTI_SZ: the driver's
// hardware ID and its terminators); empty when the driver's details cannot be read.
std::vector<WCHAR> DriverHardwareIds(HDEVINFO set, SP_DEVINFO_DATA *device, SP_DRVINFO_DATA_W *driver) {
  DWORD required = 0;
  if (SetupDiGetDriverInfoDetailW(set, device, driver, nullptr, 0, &required) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < sizeof(SP_DRVINFO_DETAIL_DATA_W))
    return {};
  std::vector<ULONG_PTR> storage((required + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR) + 1, 0);
  auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W *>(storage.data());
  detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
  if (!SetupDiGetDriverInfoDetailW(set, device, driver, detail, required, nullptr)) return {};
  // The hardware ID runs from HardwareID to the compatible IDs (or to the end of the data);
  // the storage has a spare element of zeros, so the text is always terminated.
  size_t offset = reinterpret_cast<const BYTE *>(detail->HardwareID) - reinterpret_cast<const BYTE *>(detail);
  size_t end = detail->CompatIDsOffset ? detail->CompatIDsOffset : required;
  if (end <= offset || end > required) end = required;
  size_t limit = (end - offset) / sizeof(WCHAR);
  size_t length = 0;
  while (length < limit && detail->HardwareID[length]) ++length;
  if (length == 0) return {};
  std::vector<WCHAR> ids(detail->HardwareID, detail->HardwareID + length);
  ids.push_back(L'\0');
  ids.push_back(L'\0');
  return ids;
}
}  // namespace

BOOL CInf::InstallServices(const WCHAR *section) {
  if (!section) return FALSE;
  // On success the call tells through the last error that a restart is needed (a service it
  // deleted runs until then), so the error is cleared first.
  SetLastError(ERROR_SUCCESS);
  if (SetupInstallServicesFromInfSectionW(m_hInf.get(), section, 0)) {
    if (GetLastError() == ERROR_SUCCESS_REBOOT_REQUIRED) m_bRebootNeeded = TRUE;
    return TRUE;
  }
  DWORD error = GetLastError();
  if (error == ERROR_SERVICE_EXISTS) return TRUE;
  // Another service uses a display name of the section: nothing was created or changed, which
  // is success only when the section's services are there already.
  return error == ERROR_DUPLICATE_SERVICE_NAME && AllServicesExist(section) ? TRUE : FALSE;
}

bool CInf::AllServicesExist(const WCHAR *section) {
  INFCONTEXT line;
  for (BOOL found = SetupFindFirstLineW(m_hInf.get(), section, L"AddService", &line); found;
       found = SetupFindNextMatchLineW(&line, L"AddService", &line)) {
    WCHAR name[kDeviceServiceChars + 1] = L"";
    if (!SetupGetStringFieldW(&line, 1, name, kDeviceServiceChars + 1, nullptr) || !name[0]) return false;
    if (!CServiceControl(name).Exists()) return false;
  }
  return true;
}

BOOL CInf::InstallSoftwareSettings(const WCHAR *section) {
  if (!section) return FALSE;
  WCHAR service[kSettingsNameChars] = L"";
  if (!GetServiceName(nullptr, service, kSettingsNameChars) || !service[0]) return FALSE;
  CStr path = CStr(L"System\\CurrentControlSet\\Services\\") + service + L"\\Device0";
  unique_hkey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, kSettingsAccess, nullptr, key.put(), nullptr) !=
      ERROR_SUCCESS)
    return FALSE;
  return SetupInstallFromInfSectionW(nullptr, m_hInf.get(), section, SPINST_REGISTRY, key.get(), nullptr, 0, nullptr,
                                     nullptr, nullptr, nullptr);
}

BOOL CInf::CreateLegacyDevice(BOOL *reboot) {
  WCHAR service[kDeviceServiceChars] = L"";
  if (!GetServiceName(nullptr, service, kDeviceServiceChars) || !service[0]) return FALSE;
  for (WCHAR *c = service; *c; ++c)
    if (*c >= L'a' && *c <= L'z') *c = static_cast<WCHAR>(*c - L'a' + L'A');
  // The device name is formed in a path-sized buffer: a name that does not fit fails.
  CStr deviceName = m_bVirtualDevice ? CStr(service) : CStr(L"LEGACY_") + service;
  if (deviceName.GetLength() >= MAX_PATH) return FALSE;

  unique_hdevinfo set;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  HDEVINFO created = INVALID_HANDLE_VALUE;
  m_bRootDeviceRegistered = FALSE;
  BOOL result = CreateRootDevice(&created, &device, deviceName);
  set.reset(created);
  if (result) result = SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set.get(), &device);

  BOOL updateReboot = FALSE;
  if (m_bVirtualDevice && result) {
    WCHAR ids[kHardwareIdBytes / sizeof(WCHAR) + 1] = L"";  // a spare terminator
    if (!SetupDiGetDeviceRegistryPropertyW(set.get(), &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE *>(ids),
                                           kHardwareIdBytes, nullptr) ||
        !ids[0]) {
      result = FALSE;
    } else {
      CNewDevLibrary newdev;
      CNewDevLibrary::UpdateDriverFn update = newdev.Update();
      // The class installer has just installed the INF's driver on the device, so the
      // update finds nothing better (ERROR_NO_MORE_ITEMS): the device has that driver.
      // A restart the update needs comes back through `updateReboot`: with no variable to
      // take it, Windows would ask the user itself, which a silent installation never lets it.
      result =
          update && (update(nullptr, ids, m_strInfPath, 0, &updateReboot) || GetLastError() == ERROR_NO_MORE_ITEMS);
    }
  }

  if (reboot) {
    *reboot = FALSE;
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof params;
    if (set && SetupDiGetDeviceInstallParamsW(set.get(), &device, &params) &&
        (params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)))
      *reboot = TRUE;
    if (updateReboot) *reboot = TRUE;
  }

  // A device registered here whose installation then failed would be found by the next run's
  // existence test and never be installed: it is removed again, so the next run creates it
  // afresh. Only this call's own device is removed.
  if (!result && m_bRootDeviceRegistered) {
    DWORD error = GetLastError();
    (void)SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device);
    SetLastError(error);
  }
  m_bRootDeviceRegistered = FALSE;
  return result;
}

BOOL CInf::CreateRootDevice(HDEVINFO *deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, const WCHAR *deviceName) {
  if (!deviceInfoSet || !deviceInfoData || !deviceName) return FALSE;
  GUID classGuid = {};
  DWORD required = 0;
  // A class name that names no class succeeds with no GUID at all: that is no class either.
  if (!SetupDiClassGuidsFromNameW(m_strClass, &classGuid, 1, &required) || required == 0) return FALSE;
  HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  *deviceInfoSet = set;
  if (set == INVALID_HANDLE_VALUE) return FALSE;

  deviceInfoData->cbSize = sizeof(SP_DEVINFO_DATA);
  if (!SetupDiCreateDeviceInfoW(set, deviceName, &classGuid, nullptr, nullptr,
                                DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS, deviceInfoData) ||
      !SetupDiRegisterDeviceInfo(set, deviceInfoData, SPRDI_FIND_DUPS, nullptr, nullptr, nullptr))
    return FALSE;
  m_bRootDeviceRegistered = TRUE;
  SP_DEVINSTALL_PARAMS_W params = {};
  params.cbSize = sizeof params;
  if (!SetupDiGetDeviceInstallParamsW(set, deviceInfoData, &params)) return FALSE;
  if (static_cast<size_t>(m_strInfPath.GetLength()) >= MAX_PATH) return FALSE;
  std::wcscpy(params.DriverPath, m_strInfPath);
  params.Flags |= kRootDeviceFlags;
  if (!SetupDiSetDeviceInstallParamsW(set, deviceInfoData, &params) ||
      !SetupDiBuildDriverInfoList(set, deviceInfoData, SPDIT_CLASSDRIVER))
    return FALSE;

  // Each class driver is selected as it comes, so the last one listed stays selected.
  SP_DRVINFO_DATA_W driver = {};
  driver.cbSize = sizeof driver;
  SP_DRVINFO_DATA_W selected = {};
  bool any = false;
  for (DWORD index = 0; SetupDiEnumDriverInfoW(set, deviceInfoData, SPDIT_CLASSDRIVER, index, &driver); ++index) {
    if (!SetupDiSetSelectedDriverW(set, deviceInfoData, &driver)) break;
    selected = driver;
    any = true;
  }
  if (GetLastError() != ERROR_NO_MORE_ITEMS) return FALSE;

  // A virtual device is then updated by its hardware ID, and a device created with a
  // generated ID has none: it takes the selected driver's before the class installer runs.
  if (m_bVirtualDevice && any) {
    std::vector<WCHAR> ids = DriverHardwareIds(set, deviceInfoData, &selected);
    if (ids.empty() || !SetupDiSetDeviceRegistryPropertyW(set, deviceInfoData, SPDRP_HARDWAREID,
                                                          reinterpret_cast<const BYTE *>(ids.data()),
                                                          static_cast<DWORD>(ids.size() * sizeof(WCHAR))))
      return FALSE;
  }
  return TRUE;
}

namespace {

// The first field of the `key` line of item section `item` into `buffer` of `chars`
// characters; false when the line is missing or its text does not fit.
bool ReadItemLine(HINF inf, const WCHAR *item, const WCHAR *key, WCHAR *buffer, DWORD chars) {
  INFCONTEXT line;
  if (!SetupFindFirstLineW(inf, item, key, &line)) return false;
  return SetupGetStringFieldW(&line, 1, buffer, chars, nullptr) != FALSE;
}

// The `key` line of item section `item` with its environment variables expanded.
bool ReadExpandedItemLine(HINF inf, const WCHAR *item, const WCHAR *key, WCHAR *buffer) {
  WCHAR text[MAX_PATH];
  if (!ReadItemLine(inf, item, key, text, MAX_PATH)) return false;
  DWORD needed = ExpandEnvironmentStringsW(text, buffer, MAX_PATH);
  return needed != 0 && needed <= MAX_PATH;
}

// One shortcut from item section `item`. A line that is missing, or whose text does not fit
// its buffer, leaves its property unset. Without a "Name" there is no name for the link
// file, so none is written, as without a "Group".
void CreateStartMenuItem(HINF inf, const WCHAR *item) {
  unique_com_ptr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void **>(link.put()))))
    return;
  unique_com_ptr<IPersistFile> file;
  if (FAILED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(file.put())))) return;

  WCHAR name[MAX_PATH] = L"";
  bool named = ReadItemLine(inf, item, L"Name", name, MAX_PATH);
  if (named) link.get()->SetDescription(name);
  WCHAR text[MAX_PATH];
  if (ReadExpandedItemLine(inf, item, L"Path", text)) link.get()->SetPath(text);
  if (ReadItemLine(inf, item, L"Args", text, MAX_PATH)) link.get()->SetArguments(text);
  if (ReadExpandedItemLine(inf, item, L"WorkingDir", text)) link.get()->SetWorkingDirectory(text);

  WCHAR group[MAX_PATH];
  if (!named || !ReadItemLine(inf, item, L"Group", group, MAX_PATH)) return;
  WCHAR programs[MAX_PATH];
  {
    unique_pidl folder;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, folder.put())) ||
        !SHGetPathFromIDListW(folder.get(), programs))
      return;
  }
  WCHAR groupFolder[MAX_PATH], linkPath[MAX_PATH];
  int n = std::swprintf(groupFolder, MAX_PATH, L"%ls\\%ls", programs, group);
  if (n < 0 || n >= MAX_PATH) return;
  n = std::swprintf(linkPath, MAX_PATH, L"%ls\\%ls\\%ls.lnk", programs, group, name);
  if (n < 0 || n >= MAX_PATH) return;
  CreateDirectoryW(groupFolder, nullptr);  // it may exist already; Save says whether it can be used
  file.get()->Save(linkPath, TRUE);
}

}  // namespace

void CInf::CreateStartMenuItems() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version) || version.dwMajorVersion != 4) return;
  if (FAILED(CoInitialize(nullptr))) return;
  INFCONTEXT line;
  if (!m_copyFilesSections.IsEmpty() &&
      SetupFindFirstLineW(m_hInf.get(), m_copyFilesSections[0], L"KvnStartMenuItems", &line)) {
    DWORD count = SetupGetFieldCount(&line);
    for (DWORD field = 1; field <= count; ++field) {
      WCHAR item[MAX_PATH];
      if (SetupGetStringFieldW(&line, field, item, MAX_PATH, nullptr)) CreateStartMenuItem(m_hInf.get(), item);
    }
  }
  CoUninitialize();
}
