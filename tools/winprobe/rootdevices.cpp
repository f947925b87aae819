#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstring>
#include <cwchar>

#include "probe.h"

namespace winprobe {
// ---- root devices and driver updates -------------------------------------------------------
// A root device created in a set of the Net class, given a hardware ID and registered; its
// class drivers read from one INF; the documented failures of the driver update, which are
// the only cases run (a success would install a driver on the probing machine). The device
// is removed at the end. Wine has no SetupDiSetSelectedDriverW (a stub that raises), so the
// selection and the class installer's install are left to the machine-level tests, as is a
// null hardware ID (Wine reads through it).
void ProbeRootDevices(json &out) {
  const GUID net = {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  MakeDirectory(L"C:\\probe\\dev");
  WriteText(L"C:\\probe\\dev\\kvn.inf",
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
            "ClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\nProvider=Kvn\r\nDriverVer=06/01/2026,2.0.0.0\r\n"
            "[Manufacturer]\r\nKvn=Models,NTamd64\r\n"
            "[Models.NTamd64]\r\n\"Kvn Adapter\"=Inst,PCI\\VEN_8086&DEV_1572\r\n\"Kvn Virtual\"=Inst,ROOT\\KVNPROBE\r\n"
            "[Inst]\r\nAddReg=Inst.Reg\r\n[Inst.Reg]\r\nHKR,,Probe,,1\r\n");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&net, nullptr);
  out["rootdev.list"] = Status(set != INVALID_HANDLE_VALUE);
  if (set == INVALID_HANDLE_VALUE) return;
  struct CreateCase {
    const char *key;
    const wchar_t *name;
    DWORD flags;
  } refused[] = {
      {"rootdev.create[flags=0x100]", L"kvnprobe", 0x100},
      {"rootdev.create[empty_name]", L"", DICD_GENERATE_ID},
      {"rootdev.create[not_an_instance_id]", L"kvnprobe", 0},
  };
  for (const CreateCase &c : refused) {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    SetLastError(kSentinel);
    out[c.key] = Status(SetupDiCreateDeviceInfoW(set, c.name, &net, nullptr, nullptr, c.flags, &data) != FALSE);
  }
  SP_DEVINFO_DATA dev = {};
  dev.cbSize = sizeof dev;
  SetLastError(kSentinel);
  json created = Status(SetupDiCreateDeviceInfoW(set, L"kvnprobe", &net, nullptr, nullptr,
                                                 DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS, &dev) != FALSE);
  out["rootdev.create[generated]"] = created;
  if (!created["ok"]) {
    SetupDiDestroyDeviceInfoList(set);
    return;
  }
  {
    // The instance ID: the size asked for counts the terminator.
    DWORD needed = 0;
    SetLastError(kSentinel);
    json sized = Status(SetupDiGetDeviceInstanceIdW(set, &dev, nullptr, 0, &needed) != FALSE);
    sized["required"] = unsigned(needed);
    out["rootdev.instance_id[size0]"] = sized;
    WCHAR instance[MAX_DEVICE_ID_LEN] = L"";
    json read = Status(SetupDiGetDeviceInstanceIdW(set, &dev, instance, MAX_DEVICE_ID_LEN, nullptr) != FALSE);
    read["value"] = Utf8(instance);
    out["rootdev.instance_id[room]"] = read;
  }
  BYTE buffer[256];
  DWORD type = 0, required = 0;
  SetLastError(kSentinel);
  out["rootdev.hardware_id[before_set]"] = Status(
      SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, &type, buffer, sizeof buffer, &required) != FALSE);
  const WCHAR ids[] = L"ROOT\\KVNPROBE\0";
  SetLastError(kSentinel);
  out["rootdev.set_hardware_id"] =
      Status(SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids),
                                               sizeof ids) != FALSE);
  SetLastError(kSentinel);
  out["rootdev.set_property[SPDRP_CLASS]"] =
      Status(SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_CLASS, reinterpret_cast<const BYTE *>(ids),
                                               sizeof ids) != FALSE);
  SetLastError(kSentinel);
  json read = Status(
      SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, &type, buffer, sizeof buffer, &required) != FALSE);
  if (read["ok"]) read["value"] = Utf8(reinterpret_cast<const WCHAR *>(buffer)), read["type"] = unsigned(type);
  out["rootdev.hardware_id[after_set]"] = read;
  SetLastError(kSentinel);
  json registered = Status(SetupDiRegisterDeviceInfo(set, &dev, SPRDI_FIND_DUPS, nullptr, nullptr, nullptr) != FALSE);
  WCHAR id[MAX_DEVICE_ID_LEN] = L"";
  if (registered["ok"] && CM_Get_Device_ID_ExW(dev.DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr) == CR_SUCCESS)
    registered["id"] = Utf8(id);
  out["rootdev.register"] = registered;

  SP_DEVINSTALL_PARAMS_W params;
  std::memset(&params, 0, sizeof params);
  SetLastError(kSentinel);
  out["rootdev.install_params[cbSize=0]"] = Status(SetupDiGetDeviceInstallParamsW(set, &dev, &params) != FALSE);
  params.cbSize = sizeof params;
  SetupDiGetDeviceInstallParamsW(set, &dev, &params);
  params.Flags |= DI_ENUMSINGLEINF;
  std::wcscpy(params.DriverPath, L"C:\\probe\\dev\\kvn.inf");
  SetLastError(kSentinel);
  out["rootdev.install_params[set]"] = Status(SetupDiSetDeviceInstallParamsW(set, &dev, &params) != FALSE);
  for (DWORD driverType : {DWORD(SPDIT_CLASSDRIVER), DWORD(SPDIT_COMPATDRIVER)}) {
    SetLastError(kSentinel);
    json list = Status(SetupDiBuildDriverInfoList(set, &dev, driverType) != FALSE);
    json names = json::array();
    SP_DRVINFO_DATA_W drv = {};
    drv.cbSize = sizeof drv;
    for (DWORD i = 0; SetupDiEnumDriverInfoW(set, &dev, driverType, i, &drv); ++i) {
      names.push_back(Utf8(drv.Description) + " / " + Utf8(drv.ProviderName));
    }
    list["drivers"] = names;
    out[driverType == SPDIT_CLASSDRIVER ? "rootdev.drivers[class]" : "rootdev.drivers[compat]"] = list;
  }

  // A package that is not whole: it names a catalogue it lacks. (One that lacks a file its
  // install section copies is not probed: Wine's file queue asks for the disk in a dialog.)
  WriteText(L"C:\\probe\\dev\\nocatalog.inf",
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
            "ClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\nProvider=Kvn\r\nDriverVer=06/01/2026,3.0.0.0\r\n"
            "CatalogFile=kvnprobe_missing.cat\r\n"
            "[Manufacturer]\r\nKvn=Models,NTamd64\r\n[Models.NTamd64]\r\n\"Kvn Virtual\"=Inst,ROOT\\KVNPROBE\r\n"
            "[Inst]\r\nAddReg=Inst.Reg\r\n[Inst.Reg]\r\nHKR,,Probe,,3\r\n");

  typedef BOOL(WINAPI * UpdateFn)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
  HMODULE newdev = LoadLibraryW(L"newdev.dll");
  auto update = newdev ? reinterpret_cast<UpdateFn>(
                             reinterpret_cast<void (*)()>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW")))
                       : nullptr;
  out["newdev.update[found]"] = update != nullptr;
  if (update) {
    struct UpdateCase {
      const char *key;
      const wchar_t *hardwareId, *inf;
      DWORD flags;
    } updates[] = {
        {"newdev.update[no_such_device]", L"KVN\\NO_SUCH_DEVICE_ID", L"C:\\probe\\dev\\kvn.inf", 0},
        {"newdev.update[missing_inf]", L"ROOT\\KVNPROBE", L"C:\\probe\\dev\\none.inf", 0},
        {"newdev.update[flags=8]", L"ROOT\\KVNPROBE", L"C:\\probe\\dev\\kvn.inf", 8},
        {"newdev.update[missing_catalog]", L"ROOT\\KVNPROBE", L"C:\\probe\\dev\\nocatalog.inf", INSTALLFLAG_FORCE},
    };
    for (const UpdateCase &c : updates) {
      BOOL reboot = 7;
      SetLastError(kSentinel);
      json r = Status(update(nullptr, c.hardwareId, c.inf, c.flags, &reboot) != FALSE);
      r["reboot_untouched"] = reboot == 7;
      out[c.key] = r;
    }
  }
  if (newdev) FreeLibrary(newdev);
  SetLastError(kSentinel);
  out["rootdev.remove"] = Status(SetupDiRemoveDevice(set, &dev) != FALSE);
  SetupDiDestroyDeviceInfoList(set);
}
}  // namespace winprobe
