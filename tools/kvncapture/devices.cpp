// [[devices]]: every device SetupAPI lists (present and not), in its order, with the
// identity, status and installed driver the component reads, through the calls it reads
// them with. The devices' Enum keys, their setup classes' keys and the services they name
// are handed on to the registry and service steps.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <map>

#include "capture.h"
#include "devices/w2kdevinst.h"
#include "support/handles.h"

namespace kvncapture {
namespace {

const wchar_t kEnumPath[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
const wchar_t kClassPath[] = L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
// DNF_INSTALLEDDRIVER (not in every SDK's headers) marks the node of an installed-driver
// list, not the driver, so the capture leaves it out of the driver's flags.
constexpr DWORD kInstalledDriverNode = 0x00040000;
constexpr GUID kNetClass = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The device interface classes whose members are recorded: the one the component asks for
// (network adapters) and the common classes of a server's devices.
constexpr const char *kInterfaceClasses[] = {
    "{AD498944-762F-11D0-8DCB-00C04FC3358C}",  // network adapters (NDIS LAN)
    "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}",  // disks
    "{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}",  // CD-ROM drives
    "{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}",  // volumes
    "{2ACCFE60-C130-11D2-B082-00A0C91EFB8B}",  // storage ports
    "{97FADB10-4E33-40AE-359C-8BEF029DBDD0}",  // processors
    "{A5DCBF10-6530-11D2-901F-00C04FB951ED}",  // USB devices
    "{F18A0E88-C30C-11D0-8815-00A0C906BED8}",  // USB hubs
    "{3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}",  // USB host controllers
    "{378DE44C-56EF-11D1-BC8C-00A0C91405DD}",  // mice
    "{884B96C3-56EF-11D1-BC8C-00A0C91405DD}",  // keyboards
    "{4D1E55B2-F16F-11CF-88CB-001111000030}",  // HID devices
    "{5B45201D-F2F2-4F3B-85BB-30FF1F953599}",  // display adapters
    "{E6F07B5F-EE97-4A90-B076-33F57BF4EAA7}",  // monitors
    "{86E0D1E0-8089-11D0-9CE4-08003E301F73}",  // COM ports
};

bool ParseGuid(const char *text, GUID &guid) {
  unsigned d1, d2, d3, b[8];
  if (std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4],
                  &b[5], &b[6], &b[7]) != 11)
    return false;
  guid.Data1 = d1;
  guid.Data2 = WORD(d2);
  guid.Data3 = WORD(d3);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = BYTE(b[i]);
  return true;
}

std::wstring Upcased(std::wstring text) {
  for (wchar_t &c : text)
    if (c >= L'a' && c <= L'z') c = wchar_t(c - 32);
  return text;
}

std::wstring InstanceId(HDEVINFO set, SP_DEVINFO_DATA &device) {
  WCHAR id[MAX_DEVICE_ID_LEN + 1] = L"";
  if (!SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN + 1, nullptr)) return {};
  return id;
}

// A registry property as texts: one for a string, each string of a multi-string; none when
// the device has no such property.
bool ReadProperty(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property, std::vector<std::wstring> &texts) {
  texts.clear();
  std::vector<BYTE> buffer(512);
  DWORD type = 0, required = 0;
  while (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, buffer.data(), DWORD(buffer.size()),
                                            &required)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size() || required > (1u << 20)) return false;
    buffer.assign(required, 0);
  }
  buffer.resize(buffer.size() + 2 * sizeof(WCHAR), 0);  // a terminator even where the data lacks one
  const WCHAR *p = reinterpret_cast<const WCHAR *>(buffer.data());
  const WCHAR *end = p + required / sizeof(WCHAR);
  if (type == REG_MULTI_SZ) {
    while (p < end && *p) {
      std::wstring s(p);
      p += s.size() + 1;
      texts.push_back(std::move(s));
    }
  } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
    texts.emplace_back(p);
  }
  return true;
}

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
  std::vector<std::wstring> texts;
  return ReadProperty(set, device, property, texts) && !texts.empty() ? texts[0] : std::wstring();
}

std::string DateText(const FILETIME &date) {
  SYSTEMTIME st = {};
  if ((date.dwLowDateTime == 0 && date.dwHighDateTime == 0) || !FileTimeToSystemTime(&date, &st)) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned(st.wYear), unsigned(st.wMonth), unsigned(st.wDay));
  return text;
}

std::string VersionText(DWORDLONG v) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned((v >> 48) & 0xFFFF), unsigned((v >> 32) & 0xFFFF),
                unsigned((v >> 16) & 0xFFFF), unsigned(v & 0xFFFF));
  return text;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(value));
  return text;
}

// The status the configuration manager reports, as a machine entry states it.
void WriteStatus(DEVINST devinst, const std::wstring &id, MachineCapture &capture) {
  ULONG status = 0, problem = 0;
  CONFIGRET cr = CM_Get_DevNode_Status_Ex(&status, &problem, devinst, 0, nullptr);
  std::string &t = capture.toml;
  if (cr == CR_NO_SUCH_DEVINST) {
    t += "present = false\nstatus = \"not_started\"\n";
    return;
  }
  t += "present = true\n";
  if (cr != CR_SUCCESS) {
    capture.Omit("device " + Utf8Of(id) + ": CM_Get_DevNode_Status failed with CONFIGRET " + std::to_string(cr) +
                 "; its status is winsim's default");
    return;
  }
  if ((status & DN_HAS_PROBLEM) && problem == CM_PROB_DISABLED) {
    t += "status = \"disabled\"\n";
  } else if (status & DN_HAS_PROBLEM) {
    t += "status = \"problem\"\nproblem = " + std::to_string(problem) + "\n";
  } else {
    t += (status & DN_STARTED) ? "status = \"started\"\n" : "status = \"not_started\"\n";
  }
  t += std::string("private_problem = ") + ((status & DN_PRIVATE_PROBLEM) ? "true" : "false") + "\n";
}

// The installed driver, from the installed-driver list (as the component reads it) and the
// driver key's MatchingDeviceId.
void WriteDriver(HDEVINFO set, SP_DEVINFO_DATA &device, const std::wstring &id, MachineCapture &capture) {
  std::wstring driverKey = Property(set, device, SPDRP_DRIVER);
  if (driverKey.empty()) return;  // no driver installed
  W2KDEVINST record;
  record.ReadInstalledDriver(set, device);
  const SP_DRVINFO_DATA_V2_W &driver = record.GetDriverData();
  const SP_DRVINFO_DETAIL_DATA_W &detail = record.GetDriverDetail();
  if (driver.cbSize == 0 || detail.InfFileName[0] == 0) {
    capture.Omit("device " + Utf8Of(id) + ": its installed driver (" + Utf8Of(driverKey) +
                 ") cannot be read from SetupAPI; the device is recorded without it");
    return;
  }
  std::string &t = capture.toml;
  t += "[devices.driver]\ninf = " + TomlString(detail.InfFileName) + "\nsection = " + TomlString(detail.SectionName) +
       "\ndescription = " + TomlString(driver.Description) + "\nmanufacturer = " + TomlString(driver.MfgName) +
       "\nprovider = " + TomlString(driver.ProviderName) + "\n";
  if (driver.DriverVersion) t += "version = \"" + VersionText(driver.DriverVersion) + "\"\n";
  std::string date = DateText(driver.DriverDate);
  if (!date.empty()) t += "date = \"" + date + "\"\n";
  const SP_DRVINSTALL_PARAMS &params = record.GetDriverInstallParams();
  t += "flags = " + Hex(params.Flags & ~kInstalledDriverNode) + "\nrank = " + Hex(params.Rank) + "\n";
  std::wstring matching =
      TextValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driverKey, L"MatchingDeviceId");
  if (!matching.empty()) t += "matching_id = " + TomlString(matching) + "\n";
  std::wstring service = Property(set, device, SPDRP_SERVICE);
  if (!service.empty()) t += "service = " + TomlString(service) + "\n";
  t += "key = " + TomlString(driverKey) + "\n";
  capture.infFiles.Add(detail.InfFileName);
}

// The instance IDs (upcased) of the members of each interface class in the table.
std::map<std::wstring, std::vector<std::wstring>> InterfacesByDevice() {
  std::map<std::wstring, std::vector<std::wstring>> interfaces;
  for (const char *text : kInterfaceClasses) {
    GUID guid;
    if (!ParseGuid(text, guid)) continue;
    unique_hdevinfo set(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
    if (!set) continue;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
      std::wstring id = InstanceId(set.get(), device);
      std::wstring guidText(text, text + std::char_traits<char>::length(text));
      if (!id.empty()) interfaces[Upcased(id)].push_back(guidText);
    }
  }
  return interfaces;
}

}  // namespace

void CaptureDevices(const CaptureOptions &options, MachineCapture &capture) {
  unique_hdevinfo set(options.netOnly ? SetupDiGetClassDevsW(&kNetClass, nullptr, nullptr, 0)
                                      : SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!set) {
    capture.Omit("[[devices]]: SetupDiGetClassDevsW failed with " + ErrorText(GetLastError()) +
                 "; no device is recorded");
    return;
  }
  auto interfaces = InterfacesByDevice();
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  DWORD count = 0;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
    std::wstring id = InstanceId(set.get(), device);
    if (id.empty()) {
      capture.Omit("device " + std::to_string(i) + " of the device list: its instance ID cannot be read; left out");
      continue;
    }
    ++count;
    std::string &t = capture.toml;
    t += "[[devices]]\ninstance_id = " + TomlString(id) + "\n";
    std::vector<std::wstring> ids;
    if (ReadProperty(set.get(), device, SPDRP_HARDWAREID, ids) && !ids.empty())
      t += "hardware_ids = " + TomlList(ids) + "\n";
    if (ReadProperty(set.get(), device, SPDRP_COMPATIBLEIDS, ids) && !ids.empty())
      t += "compatible_ids = " + TomlList(ids) + "\n";
    std::wstring className = Property(set.get(), device, SPDRP_CLASS);
    std::wstring classGuid = Property(set.get(), device, SPDRP_CLASSGUID);
    if (!className.empty()) t += "class = " + TomlString(className) + "\n";
    if (!classGuid.empty()) {
      t += "class_guid = " + TomlString(Upcased(classGuid)) + "\n";
      capture.registryTrees.Add(kClassPath + classGuid);
    }
    auto own = interfaces.find(Upcased(id));
    if (own != interfaces.end()) t += "interfaces = " + TomlList(own->second) + "\n";
    std::wstring description = Property(set.get(), device, SPDRP_DEVICEDESC);
    if (!description.empty()) t += "description = " + TomlString(description) + "\n";
    WriteStatus(device.DevInst, id, capture);
    WriteDriver(set.get(), device, id, capture);
    t += "\n";
    capture.registryTrees.Add(kEnumPath + id);
    std::wstring service = Property(set.get(), device, SPDRP_SERVICE);
    if (!service.empty()) capture.services.Add(service);
    for (DWORD filters : {SPDRP_UPPERFILTERS, SPDRP_LOWERFILTERS})
      if (ReadProperty(set.get(), device, filters, ids))
        for (const std::wstring &filter : ids) capture.services.Add(filter);
  }
  capture.devices = count;
  capture.summary.push_back(std::to_string(count) + (options.netOnly ? " network devices" : " devices") +
                            " with their status, drivers, Enum keys and setup classes");
}

}  // namespace kvncapture
