#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
// The property keys are defined here, once for the program.
#include <initguid.h>
#include <devpkey.h>

#include <cstring>

#include "probe.h"

namespace winprobe {
// ---- SetupAPI and the configuration manager --------------------------------------------------
// Only answers that do not depend on the machine's devices: argument checks, record sizes,
// handles and the end of a set.
void ProbeSetupApi(json &out) {
  SetLastError(kSentinel);
  HDEVINFO noClass = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT);
  out["setupapi.classdevs[null_guid,PRESENT]"] = Status(noClass != INVALID_HANDLE_VALUE);
  if (noClass != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(noClass);

  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  out["setupapi.classdevs[null_guid,PRESENT|ALLCLASSES]"] = Status(set != INVALID_HANDLE_VALUE);
  if (set == INVALID_HANDLE_VALUE) return;

  struct EnumCase {
    const char *key;
    HDEVINFO set;
    DWORD index;
    DWORD cbSize;
  };
  const EnumCase enums[] = {
      {"setupapi.enum[cbSize=0]", set, 0, 0},
      {"setupapi.enum[cbSize+1]", set, 0, DWORD(sizeof(SP_DEVINFO_DATA) + 1)},
      {"setupapi.enum[index=1000000]", set, 1000000, DWORD(sizeof(SP_DEVINFO_DATA))},
      {"setupapi.enum[invalid_handle]", INVALID_HANDLE_VALUE, 0, DWORD(sizeof(SP_DEVINFO_DATA))},
  };
  for (const EnumCase &c : enums) {
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = c.cbSize;
    SetLastError(kSentinel);
    out[c.key] = Status(SetupDiEnumDeviceInfo(c.set, c.index, &data) != FALSE);
  }

  for (DWORD cbSize : {DWORD(0), DWORD(sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W))}) {
    SP_DEVINFO_LIST_DETAIL_DATA_W detail;
    std::memset(&detail, 0xCC, sizeof detail);
    detail.cbSize = cbSize;
    SetLastError(kSentinel);
    json r = Status(SetupDiGetDeviceInfoListDetailW(set, &detail) != FALSE);
    if (r["ok"]) {
      static const GUID none = {};
      r["class_guid_null"] = std::memcmp(&detail.ClassGuid, &none, sizeof none) == 0;
      r["remote_handle_null"] = detail.RemoteMachineHandle == nullptr;
      r["remote_name"] = Utf8(detail.RemoteMachineName);
    }
    out[cbSize ? "setupapi.list_detail[ok]" : "setupapi.list_detail[cbSize=0]"] = r;
  }

  // A record that names no member of the set.
  SP_DEVINFO_DATA stranger;
  std::memset(&stranger, 0, sizeof stranger);
  stranger.cbSize = sizeof stranger;
  BYTE buffer[64];
  DWORD required = 0;
  SetLastError(kSentinel);
  out["setupapi.property[not_a_member]"] =
      Status(SetupDiGetDeviceRegistryPropertyW(set, &stranger, SPDRP_HARDWAREID, nullptr, buffer, sizeof buffer,
                                               &required) != FALSE);

  DEVPROPTYPE type = 0;
  SetLastError(kSentinel);
  out["setupapi.device_property[not_a_member]"] =
      Status(SetupDiGetDevicePropertyW(set, &stranger, &DEVPKEY_Device_InstanceId, &type, buffer, sizeof buffer,
                                       &required, 0) != FALSE);

  // Destroying the set again would be a use-after-free on Windows (winsim stops the run), so
  // the probe destroys it once.
  SetLastError(kSentinel);
  out["setupapi.destroy[set]"] = Status(SetupDiDestroyDeviceInfoList(set) != FALSE);
  SetLastError(kSentinel);
  out["setupapi.destroy[invalid_handle]"] = Status(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE) != FALSE);

  WCHAR id[MAX_DEVICE_ID_LEN];
  out["cm.device_id[null_buffer]"] = unsigned(CM_Get_Device_ID_ExW(1, nullptr, MAX_DEVICE_ID_LEN, 0, nullptr));
  out["cm.device_id[flags=1]"] = unsigned(CM_Get_Device_ID_ExW(1, id, MAX_DEVICE_ID_LEN, 1, nullptr));
}
}  // namespace winprobe
