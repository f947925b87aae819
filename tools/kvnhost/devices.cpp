// `kvnhost devices`: the machine's devices as SetupAPI lists them (present or not), each with
// its status in words, class, description, installed driver and hardware IDs; with
// --matching only those the component would work on, and the rule that matched, found with
// the component's own enumerator and package reader.
#include "devices.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <map>

#include "adapter/driverfile.h"
#include "adapter/installation.h"
#include "devices/devenum.h"
#include "devices/w2kdevinst.h"
#include "package/packagedef.h"
#include "support/handles.h"
#include "utf8text.h"

namespace {

using nlohmann::json;
using toolcommon::Utf8;

// The problem codes a server's devices show, in Device Manager's words.
const char *ProblemText(ULONG problem) {
  switch (problem) {
    case CM_PROB_NOT_CONFIGURED: return "CM_PROB_NOT_CONFIGURED: the device is not configured";
    case CM_PROB_FAILED_START: return "CM_PROB_FAILED_START: the device cannot start";
    case CM_PROB_NEED_RESTART: return "CM_PROB_NEED_RESTART: the device waits for a restart";
    case CM_PROB_FAILED_INSTALL: return "CM_PROB_FAILED_INSTALL: its drivers are not installed";
    case CM_PROB_DISABLED: return "CM_PROB_DISABLED: the device is disabled";
    case CM_PROB_DRIVER_FAILED_LOAD: return "CM_PROB_DRIVER_FAILED_LOAD: its driver did not load";
    default: return "a configuration manager problem";
  }
}

std::wstring Text(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
  WCHAR buffer[CDeviceEnumerator::kIdChars] = L"";
  DWORD type = 0;
  if (!GetRegistryProperty(set, &device, property, &type, reinterpret_cast<BYTE *>(buffer), sizeof buffer)) return {};
  buffer[CDeviceEnumerator::kIdChars - 1] = L'\0';
  return buffer;
}

json Texts(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
  WCHAR buffer[2048] = L"";
  DWORD type = 0;
  json list = json::array();
  if (!GetRegistryProperty(set, &device, property, &type, reinterpret_cast<BYTE *>(buffer), sizeof buffer) ||
      type != REG_MULTI_SZ)
    return list;
  buffer[2046] = buffer[2047] = L'\0';
  for (const WCHAR *p = buffer; *p && p < buffer + 2046; p += std::wcslen(p) + 1) list.push_back(Utf8(p));
  return list;
}

json Status(DEVINST devinst) {
  ULONG status = 0, problem = 0;
  CONFIGRET cr = CM_Get_DevNode_Status_Ex(&status, &problem, devinst, 0, nullptr);
  if (cr == CR_NO_SUCH_DEVINST) return {{"status", "not present"}};
  if (cr != CR_SUCCESS) return {{"status", "unknown (CONFIGRET " + std::to_string(cr) + ")"}};
  if (status & DN_HAS_PROBLEM)
    return {{"status", problem == CM_PROB_DISABLED ? "disabled" : "problem"},
            {"problem", problem},
            {"problem_text", ProblemText(problem)}};
  return {{"status", (status & DN_STARTED) ? "started" : "not started"}};
}

json Driver(HDEVINFO set, SP_DEVINFO_DATA &device) {
  W2KDEVINST record;
  record.ReadInstalledDriver(set, device);
  const SP_DRVINFO_DETAIL_DATA_W &detail = record.GetDriverDetail();
  if (!detail.InfFileName[0]) return nullptr;
  const SP_DRVINFO_DATA_V2_W &driver = record.GetDriverData();
  SYSTEMTIME date = {};
  char day[32] = "";
  if (FileTimeToSystemTime(&driver.DriverDate, &date) && date.wYear > 1601)
    std::snprintf(day, sizeof day, "%04u-%02u-%02u", unsigned(date.wYear), unsigned(date.wMonth), unsigned(date.wDay));
  std::wstring inf = detail.InfFileName;
  return {{"inf", Utf8(inf.substr(inf.rfind(L'\\') + 1))},
          {"version", Utf8(record.GetDriverVersionText().GetString())},
          {"date", day},
          {"provider", Utf8(driver.ProviderName)}};
}

// The rules the component finds its adapters by, and the instance IDs each matches: the
// package's supported devices among the network adapters (as the installation walks them),
// then the adapter family's prefixes among the present devices (as the driver check does).
std::map<std::wstring, std::vector<std::string>> MatchingRules() {
  std::map<std::wstring, std::vector<std::string>> matches;
  auto walk = [&](CDeviceEnumerator &devices, const std::string &rule) {
    WCHAR id[CDeviceEnumerator::kInstanceIdChars];
    for (devices.First(); devices.GetCurrentHardwareId(); devices.Next())
      if (devices.GetInstanceId(id)) matches[id].push_back(rule);
    devices.Close();
  };
  PackageDefinition definition;
  WCHAR path[MAX_PATH] = L"";
  CKvnXMLReader xml;
  if (FindPackageDefinition(path) && ReadPackageDefinitionFile(xml, path, definition) == XML_LOAD_OK) {
    for (const CStr &id : definition.supportedDevices) {
      CDeviceEnumerator adapters(&kNdisLanClass, DIGCF_DEVICEINTERFACE, id.GetString());
      walk(adapters, "the package's supported device " + Utf8(id.GetString()));
    }
  }
  for (const WCHAR *prefix : kIntelDevicePrefixes) {
    CDeviceEnumerator present(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, prefix);
    walk(present, "the adapter family's prefix " + Utf8(prefix));
  }
  return matches;
}

std::wstring Upcased(std::wstring text) {
  for (wchar_t &c : text)
    if (c >= L'a' && c <= L'z') c = wchar_t(c - 32);
  return text;
}

}  // namespace

json ListDevices(bool matching) {
  json list = json::array();
  std::map<std::wstring, std::vector<std::string>> rules;
  if (matching)
    for (auto &[id, matched] : MatchingRules()) rules[Upcased(id)] = matched;
  unique_hdevinfo set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!set) return list;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
    WCHAR id[MAX_DEVICE_ID_LEN] = L"";
    if (CM_Get_Device_ID_ExW(device.DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr) != CR_SUCCESS) continue;
    auto matched = rules.find(Upcased(id));
    if (matching && matched == rules.end()) continue;
    json entry = {{"instance_id", Utf8(id)}};
    entry.update(Status(device.DevInst));
    entry["class"] = Utf8(Text(set.get(), device, SPDRP_CLASS));
    entry["description"] = Utf8(Text(set.get(), device, SPDRP_DEVICEDESC));
    entry["driver"] = Driver(set.get(), device);
    entry["hardware_ids"] = Texts(set.get(), device, SPDRP_HARDWAREID);
    if (matching) entry["matched_by"] = matched->second;
    list.push_back(std::move(entry));
  }
  return list;
}

std::string DevicesText(const json &devices) {
  std::string out;
  for (const json &d : devices) {
    std::string status = d["status"];
    if (d.contains("problem"))
      status += " (problem " + std::to_string(int(d["problem"])) + ", " + d["problem_text"].get<std::string>() + ")";
    out += d["instance_id"].get<std::string>() + "\n";
    out += "    status        " + status + "\n";
    out += "    class         " + d["class"].get<std::string>() + "\n";
    out += "    description   " + d["description"].get<std::string>() + "\n";
    const json &driver = d["driver"];
    out += "    driver        " +
           (driver.is_null() ? std::string("(none)")
                             : driver["inf"].get<std::string>() + " " + driver["version"].get<std::string>() + " " +
                                   driver["date"].get<std::string>() + " " + driver["provider"].get<std::string>()) +
           "\n";
    std::string ids;
    for (const json &h : d["hardware_ids"]) ids += (ids.empty() ? "" : "\n                  ") + h.get<std::string>();
    out += "    hardware IDs  " + (ids.empty() ? std::string("(none)") : ids) + "\n";
    if (d.contains("matched_by"))
      for (const json &rule : d["matched_by"]) out += "    matched by    " + rule.get<std::string>() + "\n";
  }
  return out.empty() ? "no devices\n" : out;
}
