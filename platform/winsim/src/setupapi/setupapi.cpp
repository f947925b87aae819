// SetupAPI's device information sets over the devices of the machine (devices.h): the sets
// SetupDiGetClassDevsW selects, their members' registry properties (read from the device's
// key under HKLM\SYSTEM\CurrentControlSet\Enum, as Windows reads them), installation
// parameters, driver lists (the installed driver, or nodes read from INF files), root devices
// created and registered by the program, and the class installer.
//
// A set is an object of the handle table (handles.h), so its HDEVINFO is checked on every use
// and is released with the process. SP_DEVINFO_DATA.Reserved and SP_DRVINFO_DATA.Reserved
// carry numbers that name one member or one driver node; they are never reused.
//
// Not modelled (ERROR_CALL_NOT_IMPLEMENTED with a message): DIGCF_DEFAULT, enumerator GUIDs,
// the class driver list of a whole set, and the registry properties that Windows computes
// from a running device node (SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, bus numbers, install state, ...).
#include <windows.h>
#include <setupapi.h>
#include <devpkey.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <vector>

#include "machine/devices.h"
#include "setupapi/devinstall.h"
#include "kernel32/files.h"
#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "setupapi/inf.h"
#include "machine/machine.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "machine/registry.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {

constexpr DWORD kClassDevsFlags =
    DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
// Installation parameter flags only SetupAPI itself sets: SetupDiSetDeviceInstallParamsW keeps them.
constexpr DWORD kReadOnlyFlags = DI_DIDCOMPAT | DI_DIDCLASS | DI_MULTMFGS;
constexpr DWORD kReadOnlyFlagsEx =
    DI_FLAGSEX_CI_FAILED | DI_FLAGSEX_DIDINFOLIST | DI_FLAGSEX_DIDCOMPATINFO | DI_FLAGSEX_IN_SYSTEM_SETUP;
constexpr DWORD kUnusedProperties[] = {0x3, 0x5, 0x6};  // SPDRP_UNUSED0, SPDRP_UNUSED1, SPDRP_UNUSED2
const GUID kNullGuid = {};

ULONG_PTR g_nextId = 0x1000;  // member and driver node numbers, never reused

struct DriverNode {
  ULONG_PTR id;
  DWORD type;  // SPDIT_*
  DeviceDriver driver;
  DWORD flags;                          // SP_DRVINSTALL_PARAMS.Flags
  std::optional<InfDriverNode> source;  // the INF's model it was read from; none for the installed driver
};

struct DriverList {
  bool built = false;
  std::vector<DriverNode> nodes;
};

struct Member {
  ULONG_PTR id;
  DEVINST devInst;
  SP_DEVINSTALL_PARAMS_W params;
  DriverList compat, classDrivers;
  std::vector<BYTE> classInstallParams;  // SetupDiSetClassInstallParamsW's record; empty: none
  ULONG_PTR selected = 0;                // the selected driver node's number; 0: none
};

struct DeviceInfoSet : Object {
  DeviceInfoSet() : Object(Kind::DeviceInfoSet) {}
  GUID classGuid{};
  SP_DEVINSTALL_PARAMS_W params{};
  std::vector<Member> members;
  std::vector<BYTE> classInstallParams;
};

SP_DEVINSTALL_PARAMS_W NewInstallParams() {
  SP_DEVINSTALL_PARAMS_W p;
  std::memset(&p, 0, sizeof p);
  p.cbSize = sizeof p;
  return p;
}

std::shared_ptr<DeviceInfoSet> SetOf(HDEVINFO h) {
  if (!h || h == INVALID_HANDLE_VALUE) return nullptr;
  return std::static_pointer_cast<DeviceInfoSet>(FindObject(h, Object::Kind::DeviceInfoSet));
}

Member *FindMember(DeviceInfoSet &set, const SP_DEVINFO_DATA *data) {
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  // Members are added with increasing numbers: a binary search finds one.
  auto it = std::lower_bound(set.members.begin(), set.members.end(), data->Reserved,
                             [](const Member &m, ULONG_PTR id) { return m.id < id; });
  return it != set.members.end() && it->id == data->Reserved ? &*it : nullptr;
}

// The set, member and device a call names. `data` may be null unless `memberRequired`.
// False with the last error set: ERROR_INVALID_HANDLE for anything but a live set,
// ERROR_INVALID_PARAMETER for an SP_DEVINFO_DATA that names no member of it.
struct Target {
  std::shared_ptr<DeviceInfoSet> set;
  Member *member = nullptr;
  Device *device = nullptr;
};

BOOL RemoveDevice(Target &t);

// A caller's parameter record: given (ERROR_INVALID_PARAMETER) and of its own size
// (ERROR_INVALID_USER_BUFFER).
template <class Record>
bool CheckRecord(const Record *record) {
  if (!record) return Fail(ERROR_INVALID_PARAMETER, false);
  if (record->cbSize != sizeof(Record)) return Fail(ERROR_INVALID_USER_BUFFER, false);
  return true;
}

bool Find(HDEVINFO h, const SP_DEVINFO_DATA *data, bool memberRequired, Target &t) {
  t.set = SetOf(h);
  if (!t.set) return Fail(ERROR_INVALID_HANDLE, false);
  if (!data && !memberRequired) return true;
  t.member = FindMember(*t.set, data);
  if (!t.member) return Fail(ERROR_INVALID_PARAMETER, false);
  t.device = Devices().ByDevInst(t.member->devInst);
  if (!t.device) return Fail(ERROR_NO_SUCH_DEVINST, false);
  return true;
}

// The instance ID of the member a call names, for [[faults]] when_arg_contains ("" for none).
std::wstring MemberText(HDEVINFO h, const SP_DEVINFO_DATA *data) {
  if (!HasMachine()) return L"";
  auto set = SetOf(h);
  Member *m = set ? FindMember(*set, data) : nullptr;
  Device *d = m ? Devices().ByDevInst(m->devInst) : nullptr;
  return d ? d->instanceId : L"";
}

std::wstring_view Text(LPCWSTR s) { return s ? std::wstring_view(s) : std::wstring_view(); }

// enumerator\device\instance, three non-empty parts.
bool IsInstanceIdForm(std::wstring_view id) {
  size_t first = id.find(L'\\');
  if (first == 0 || first == std::wstring_view::npos) return false;
  size_t second = id.find(L'\\', first + 1);
  return second != std::wstring_view::npos && second > first + 1 && second + 1 < id.size() &&
         id.find(L'\\', second + 1) == std::wstring_view::npos;
}

// An enumerator the machine knows: one every Windows has, or one with a key under Enum.
bool KnownEnumerator(std::wstring_view name) {
  static const wchar_t *const always[] = {L"ROOT", L"HTREE", L"SW",  L"SWD",  L"ACPI",    L"ACPI_HAL", L"PCI",
                                          L"USB",  L"HID",   L"UMB", L"SCSI", L"STORAGE", L"DISPLAY"};
  for (const wchar_t *known : always)
    if (EqualNoCase(name, known)) return true;
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  return r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kEnumKeyPath) + L"\\" + std::wstring(name), &key) ==
         ERROR_SUCCESS;
}

bool Selected(const Device &d, const GUID *guid, std::wstring_view enumerator, DWORD flags) {
  if (d.removed || !d.registered) return false;  // a created device joins other sets once registered
  if ((flags & DIGCF_PRESENT) && !d.present) return false;
  if (flags & DIGCF_DEVICEINTERFACE) {
    if (!enumerator.empty() && !EqualNoCase(d.instanceId, enumerator)) return false;
    return (flags & DIGCF_ALLCLASSES) ? !d.interfaces.empty() : d.Exposes(*guid);
  }
  if (!enumerator.empty() && !EqualNoCase(d.Enumerator(), enumerator)) return false;
  return (flags & DIGCF_ALLCLASSES) || d.classGuid.value_or(kNullGuid) == *guid;
}

// ---- registry properties ---------------------------------------------------------------------

// The value of the device's registry key behind a property, as SetupAPI reads it.
const wchar_t *RegistryValueOf(DWORD property) {
  switch (property) {
    case SPDRP_DEVICEDESC: return L"DeviceDesc";
    case SPDRP_HARDWAREID: return L"HardwareID";
    case SPDRP_COMPATIBLEIDS: return L"CompatibleIDs";
    case SPDRP_SERVICE: return L"Service";
    case SPDRP_CLASS: return L"Class";
    case SPDRP_CLASSGUID: return L"ClassGUID";
    case SPDRP_DRIVER: return L"Driver";
    case SPDRP_CONFIGFLAGS: return L"ConfigFlags";
    case SPDRP_MFG: return L"Mfg";
    case SPDRP_FRIENDLYNAME: return L"FriendlyName";
    case SPDRP_LOCATION_INFORMATION: return L"LocationInformation";
    case SPDRP_CAPABILITIES: return L"Capabilities";
    case SPDRP_UI_NUMBER: return L"UINumber";
    case SPDRP_UPPERFILTERS: return L"UpperFilters";
    case SPDRP_LOWERFILTERS: return L"LowerFilters";
    default: return nullptr;
  }
}

struct PropertyValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;  // as the caller gets them: text in host WCHARs
};

std::vector<BYTE> HostText(const std::wstring &text) {
  std::vector<BYTE> out(text.size() * sizeof(WCHAR));
  if (!text.empty()) std::memcpy(out.data(), text.data(), out.size());
  return out;
}

// ERROR_SUCCESS with the value, or the error the property gives.
DWORD ReadProperty(const Device &device, DWORD property, PropertyValue &value) {
  if (property >= SPDRP_MAXIMUM_PROPERTY) return ERROR_INVALID_REG_PROPERTY;
  for (DWORD unused : kUnusedProperties)
    if (property == unused) return ERROR_INVALID_REG_PROPERTY;
  if (property == SPDRP_ENUMERATOR_NAME) {
    value.type = REG_SZ;
    value.bytes = HostText(device.Enumerator() + L'\0');
    return ERROR_SUCCESS;
  }
  const wchar_t *name = RegistryValueOf(property);
  if (!name) {
    NotModelled("SetupDiGetDeviceRegistryPropertyW", "registry property " + std::to_string(property) +
                                                         " (Windows computes it from the running device node)");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  if (!device.registered) {
    // A created device not yet in the registry: what its creator gave it so far.
    std::wstring text;
    bool list = property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS;
    if (list) {
      const auto &ids = property == SPDRP_HARDWAREID ? device.hardwareIds : device.compatibleIds;
      if (!ids.empty()) text = MultiString(ids);
    } else if (property == SPDRP_DEVICEDESC) {
      text = device.description.empty() ? L"" : device.description + L'\0';
    } else if (property == SPDRP_CLASS) {
      text = device.className.empty() ? L"" : device.className + L'\0';
    } else if (property == SPDRP_CLASSGUID && device.classGuid) {
      text = GuidText(*device.classGuid) + L'\0';
    }
    if (text.empty()) return ERROR_INVALID_DATA;
    value.type = list ? REG_MULTI_SZ : REG_SZ;
    value.bytes = HostText(text);
    return ERROR_SUCCESS;
  }
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kEnumKeyPath) + L"\\" + device.instanceId, &key))
    return ERROR_INVALID_DATA;
  const RegValue *v = key->FindValue(name);
  if (!v) return ERROR_INVALID_DATA;  // the device does not have the property
  value.type = v->type;
  value.bytes = IsStringType(v->type) ? HostTextFromImage(v->data) : v->data;
  return ERROR_SUCCESS;
}

// ---- drivers ----------------------------------------------------------------------------------

bool IsDriverType(DWORD type) { return type == SPDIT_CLASSDRIVER || type == SPDIT_COMPATDRIVER; }

bool IsDriverInfoSize(DWORD cbSize) {
  return cbSize == sizeof(SP_DRVINFO_DATA_V1_W) || cbSize == sizeof(SP_DRVINFO_DATA_V2_W);
}

DriverList *ListOf(Member &m, DWORD type) { return type == SPDIT_COMPATDRIVER ? &m.compat : &m.classDrivers; }

// The driver node an SP_DRVINFO_DATA names among the member's lists; null with the last error set.
const DriverNode *FindNode(Member *member, const SP_DRVINFO_DATA_W *data) {
  if (!data) return Fail(ERROR_INVALID_PARAMETER, static_cast<const DriverNode *>(nullptr));
  if (!IsDriverInfoSize(data->cbSize)) return Fail(ERROR_INVALID_USER_BUFFER, static_cast<const DriverNode *>(nullptr));
  if (member)
    for (const DriverList *list : {&member->compat, &member->classDrivers})
      for (const DriverNode &node : list->nodes)
        if (node.id == data->Reserved) return &node;
  return Fail(ERROR_INVALID_PARAMETER, static_cast<const DriverNode *>(nullptr));
}

template <size_t N>
void CopyText(WCHAR (&dest)[N], const std::wstring &text) {
  size_t n = std::min(text.size(), N - 1);
  std::memcpy(dest, text.data(), n * sizeof(WCHAR));
  dest[n] = L'\0';
}

// The INF file's last-write time in the machine; zero when there is no such file.
FILETIME InfDate(const std::wstring &inf) {
  DWORD error = 0;
  std::wstring full = FullPath(inf, &error);
  if (full.empty()) return FILETIME{};
  Resolved r = Resolve(full);
  struct stat st;
  if (r.error || !r.exists || r.isDir || ::stat(r.host.c_str(), &st) != 0) return FILETIME{};
  return ToFiletime(FiletimeOf(st.st_mtim));
}

constexpr DWORD kUnmatchedRank = 0xFFFF;  // a class driver none of the device's IDs match

// The driver nodes a driver list is built from: the INF that DriverPath names with
// DI_ENUMSINGLEINF, else every INF of the folder DriverPath names, else of %windir%\INF. An
// INF that cannot be read adds nothing, as in a search.
std::vector<InfDriverNode> SearchDrivers(const SP_DEVINSTALL_PARAMS_W &params) {
  std::vector<InfDriverNode> nodes;
  std::wstring path(params.DriverPath, wcsnlen(params.DriverPath, MAX_PATH));
  if (params.Flags & DI_ENUMSINGLEINF) {
    if (!path.empty()) ReadInfDriverNodes(path, nodes);
    return nodes;
  }
  std::wstring folder = path.empty() ? MachineDirIds(L"")[17] : path;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*.inf").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return nodes;
  do
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ReadInfDriverNodes(folder + L"\\" + data.cFileName, nodes);
  while (FindNextFileW(find, &data));
  FindClose(find);
  return nodes;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetClassDevsW, INVALID_HANDLE_VALUE, Text(Enumerator));
  (void)hwndParent;  // nothing of the set is ever shown
  if (Flags & ~kClassDevsFlags) return Fail(ERROR_INVALID_FLAGS, INVALID_HANDLE_VALUE);
  if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (Flags & DIGCF_DEFAULT) {
    NotModelled("SetupDiGetClassDevsW", "DIGCF_DEFAULT (the system's default device interfaces)");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, INVALID_HANDLE_VALUE);
  }
  std::wstring_view enumerator = Text(Enumerator);
  if (!enumerator.empty() && enumerator[0] == L'{') {
    NotModelled("SetupDiGetClassDevsW", "an enumerator given by its GUID");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, INVALID_HANDLE_VALUE);
  }
  // With DIGCF_DEVICEINTERFACE the text names one device (it need not exist); otherwise it
  // is an enumerator's name, which the machine must know.
  if (!enumerator.empty()) {
    bool valid = (Flags & DIGCF_DEVICEINTERFACE)
                     ? IsInstanceIdForm(enumerator)
                     : enumerator.find(L'\\') == std::wstring_view::npos && KnownEnumerator(enumerator);
    if (!valid) return Fail(ERROR_INVALID_DATA, INVALID_HANDLE_VALUE);
  }

  auto set = std::make_shared<DeviceInfoSet>();
  set->params = NewInstallParams();
  // A set of one setup class has that class; a set of all classes or of interfaces has none.
  if (!(Flags & (DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE))) set->classGuid = *ClassGuid;
  // DIGCF_PROFILE: every device belongs to the current hardware profile.
  for (const Device &d : Devices().devices)
    if (Selected(d, ClassGuid, enumerator, Flags))
      set->members.push_back(Member{g_nextId++, d.devInst, NewInstallParams(), {}, {}, {}, 0});
  return AddObject(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiEnumDeviceInfo, FALSE);
  auto set = SetOf(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DeviceInfoData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (MemberIndex >= set->members.size()) return Fail(ERROR_NO_MORE_ITEMS, FALSE);
  const Member &m = set->members[MemberIndex];
  const Device *d = Devices().ByDevInst(m.devInst);
  if (!d) return Fail(ERROR_NO_SUCH_DEVINST, FALSE);
  DeviceInfoData->ClassGuid = d->classGuid.value_or(kNullGuid);
  DeviceInfoData->DevInst = d->devInst;
  DeviceInfoData->Reserved = m.id;
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  WINSIM_ENTRY("setupapi.dll", SetupDiDestroyDeviceInfoList, FALSE);
  auto set = SetOf(DeviceInfoSet);
  if (!set || !RemoveObject(DeviceInfoSet, Object::Kind::DeviceInfoSet)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // A device created in the set and never registered goes with it.
  for (const Member &m : set->members)
    if (Device *d = Devices().ByDevInst(m.devInst); d && d->created && !d->registered) d->removed = true;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInfoListDetailW(HDEVINFO DeviceInfoSet,
                                            PSP_DEVINFO_LIST_DETAIL_DATA_W DeviceInfoSetDetailData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetDeviceInfoListDetailW, FALSE);
  auto set = SetOf(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DeviceInfoSetDetailData || DeviceInfoSetDetailData->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W))
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  DeviceInfoSetDetailData->ClassGuid = set->classGuid;
  DeviceInfoSetDetailData->RemoteMachineHandle = nullptr;  // sets are always of the local machine
  DeviceInfoSetDetailData->RemoteMachineName[0] = L'\0';
  return TRUE;
}

// The member's instance ID; the size counts the terminator. A buffer too small is left as
// it was (ERROR_INSUFFICIENT_BUFFER with the size needed).
BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PWSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetDeviceInstanceIdW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, true, t)) return FALSE;
  if (!DeviceInstanceId && DeviceInstanceIdSize) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  const std::wstring &id = t.device->instanceId;
  if (RequiredSize) *RequiredSize = DWORD(id.size() + 1);
  if (!DeviceInstanceId || DeviceInstanceIdSize <= id.size()) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(DeviceInstanceId, id.c_str(), (id.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetDeviceRegistryPropertyW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, true, t)) return FALSE;
  if (!PropertyBuffer && PropertyBufferSize) return Fail(ERROR_INVALID_DATA, FALSE);
  PropertyValue value;
  if (DWORD e = ReadProperty(*t.device, Property, value)) return Fail(e, FALSE);
  if (PropertyRegDataType) *PropertyRegDataType = value.type;
  if (RequiredSize) *RequiredSize = DWORD(value.bytes.size());
  // Asking for the size is always ERROR_INSUFFICIENT_BUFFER; a short buffer is left as it was.
  if (!PropertyBuffer || !PropertyBufferSize || value.bytes.size() > PropertyBufferSize)
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (!value.bytes.empty()) std::memcpy(PropertyBuffer, value.bytes.data(), value.bytes.size());
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetDeviceInstallParamsW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t) || !CheckRecord(DeviceInstallParams)) return FALSE;
  *DeviceInstallParams = t.member ? t.member->params : t.set->params;
  return TRUE;
}

BOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  WINSIM_ENTRY("setupapi.dll", SetupDiSetDeviceInstallParamsW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t) || !CheckRecord(DeviceInstallParams)) return FALSE;
  SP_DEVINSTALL_PARAMS_W &params = t.member ? t.member->params : t.set->params;
  SP_DEVINSTALL_PARAMS_W next = *DeviceInstallParams;
  next.Flags = (next.Flags & ~kReadOnlyFlags) | (params.Flags & kReadOnlyFlags);
  next.FlagsEx = (next.FlagsEx & ~kReadOnlyFlagsEx) | (params.FlagsEx & kReadOnlyFlagsEx);
  params = next;
  return TRUE;
}

BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType) {
  WINSIM_ENTRY("setupapi.dll", SetupDiBuildDriverInfoList, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  if (!IsDriverType(DriverType) || (DriverType == SPDIT_COMPATDRIVER && !t.member))
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!t.member) {
    NotModelled("SetupDiBuildDriverInfoList", "the class driver list of a whole set (a search of the INF files)");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  SP_DEVINSTALL_PARAMS_W &params = t.member->params;
  DriverList &list = *ListOf(*t.member, DriverType);
  if (list.built) return TRUE;  // a list that exists is kept as it is
  if (!(params.FlagsEx & DI_FLAGSEX_INSTALLEDDRIVER)) {
    list.built = true;
    for (InfDriverNode &n : SearchDrivers(params)) {
      std::wstring matched;
      std::optional<DWORD> rank = RankFor(n, *t.device, &matched);
      if (DriverType == SPDIT_COMPATDRIVER && !rank) continue;
      // A class driver list holds the models of the device's setup class, matching or not.
      if (DriverType == SPDIT_CLASSDRIVER && t.device->classGuid && n.classGuid && *n.classGuid != *t.device->classGuid)
        continue;
      n.driver.rank = rank.value_or(kUnmatchedRank);
      n.driver.matchingId = rank ? matched : n.hardwareId;
      DeviceDriver driver = n.driver;
      list.nodes.push_back(DriverNode{g_nextId++, DriverType, std::move(driver), 0, std::move(n)});
    }
    params.Flags |= DriverType == SPDIT_COMPATDRIVER ? DI_DIDCOMPAT : DI_DIDCLASS;
    params.FlagsEx |= DriverType == SPDIT_COMPATDRIVER ? DI_FLAGSEX_DIDCOMPATINFO : DI_FLAGSEX_DIDINFOLIST;
    return TRUE;
  }
  // The installed driver alone; a device without one gives an empty list.
  list.built = true;
  if (t.device->driver)
    list.nodes.push_back(
        DriverNode{g_nextId++, DriverType, *t.device->driver, t.device->driver->flags | DNF_INSTALLEDDRIVER, {}});
  params.Flags |= DriverType == SPDIT_COMPATDRIVER ? DI_DIDCOMPAT : DI_DIDCLASS;
  params.FlagsEx |= DriverType == SPDIT_COMPATDRIVER ? DI_FLAGSEX_DIDCOMPATINFO : DI_FLAGSEX_DIDINFOLIST;
  return TRUE;
}

BOOL WINAPI SetupDiEnumDriverInfoW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType,
                                   DWORD MemberIndex, PSP_DRVINFO_DATA_W DriverInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiEnumDriverInfoW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  if (!IsDriverType(DriverType) || (DriverType == SPDIT_COMPATDRIVER && !t.member))
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!DriverInfoData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!IsDriverInfoSize(DriverInfoData->cbSize)) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  const DriverList *list = t.member ? ListOf(*t.member, DriverType) : nullptr;  // a set has no list of its own
  if (!list || MemberIndex >= list->nodes.size()) return Fail(ERROR_NO_MORE_ITEMS, FALSE);
  const DriverNode &node = list->nodes[MemberIndex];
  // The V1 part first: a V1 record ends after ProviderName.
  auto *v1 = reinterpret_cast<SP_DRVINFO_DATA_V1_W *>(DriverInfoData);
  v1->DriverType = node.type;
  v1->Reserved = node.id;
  CopyText(v1->Description, node.driver.description);
  CopyText(v1->MfgName, node.driver.manufacturer);
  CopyText(v1->ProviderName, node.driver.provider);
  if (DriverInfoData->cbSize == sizeof(SP_DRVINFO_DATA_V2_W)) {
    DriverInfoData->DriverDate = ToFiletime(node.driver.date);
    DriverInfoData->DriverVersion = node.driver.PackedVersion();
  }
  return TRUE;
}

BOOL WINAPI SetupDiGetDriverInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DRVINFO_DATA_W DriverInfoData,
                                           PSP_DRVINSTALL_PARAMS DriverInstallParams) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetDriverInstallParamsW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  const DriverNode *node = FindNode(t.member, DriverInfoData);
  if (!node || !CheckRecord(DriverInstallParams)) return FALSE;
  DriverInstallParams->Rank = node->driver.rank;
  DriverInstallParams->Flags = node->flags;
  DriverInstallParams->PrivateData = 0;
  DriverInstallParams->Reserved = 0;
  return TRUE;
}

BOOL WINAPI SetupDiGetDriverInfoDetailW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSP_DRVINFO_DATA_W DriverInfoData,
                                        PSP_DRVINFO_DETAIL_DATA_W DriverInfoDetailData, DWORD DriverInfoDetailDataSize,
                                        PDWORD RequiredSize) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetDriverInfoDetailW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  const DriverNode *node = FindNode(t.member, DriverInfoData);
  if (!node) return FALSE;
  // A record must at least hold its own structure; only a null one asks for the size alone.
  if ((DriverInfoDetailData || DriverInfoDetailDataSize) && DriverInfoDetailDataSize < sizeof(SP_DRVINFO_DETAIL_DATA_W))
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (DriverInfoDetailData && DriverInfoDetailData->cbSize != sizeof(SP_DRVINFO_DETAIL_DATA_W))
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);

  // The node's hardware ID (the ID the driver was matched on) and its compatible IDs
  // (none for the installed driver), each ending in a NUL, and the closing NUL.
  const DeviceDriver &d = node->driver;
  std::vector<std::wstring> ids;
  if (node->source) {
    ids.push_back(node->source->hardwareId);
    ids.insert(ids.end(), node->source->compatibleIds.begin(), node->source->compatibleIds.end());
  } else if (!d.matchingId.empty()) {
    ids.push_back(d.matchingId);
  }
  std::wstring list = MultiString(ids);
  const DWORD required = DWORD(offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID) + list.size() * sizeof(WCHAR));
  if (RequiredSize) *RequiredSize = required;
  if (!DriverInfoDetailData) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);

  SP_DRVINFO_DETAIL_DATA_W &out = *DriverInfoDetailData;
  out.InfDate = InfDate(d.inf);
  out.CompatIDsOffset = ids.empty() ? 0 : DWORD(ids[0].size() + 1);
  out.CompatIDsLength = ids.size() > 1 ? DWORD(list.size() - out.CompatIDsOffset) : 0;
  out.Reserved = 0;
  CopyText(out.SectionName, d.section);
  CopyText(out.InfFileName, d.inf);
  CopyText(out.DrvDescription, d.description);
  if (DriverInfoDetailDataSize < required) {
    out.HardwareID[0] = L'\0';  // inside the structure's own size, which the buffer has
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(out.HardwareID, list.data(), list.size() * sizeof(WCHAR));
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType) {
  WINSIM_ENTRY("setupapi.dll", SetupDiDestroyDriverInfoList, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  if (!IsDriverType(DriverType) || (DriverType == SPDIT_COMPATDRIVER && !t.member))
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!t.member) return TRUE;  // a set has no list of its own to destroy
  *ListOf(*t.member, DriverType) = DriverList{};
  SP_DEVINSTALL_PARAMS_W &params = t.member->params;
  params.Flags &= ~DWORD(DriverType == SPDIT_COMPATDRIVER ? DI_DIDCOMPAT : DI_DIDCLASS);
  params.FlagsEx &= ~DWORD(DriverType == SPDIT_COMPATDRIVER ? DI_FLAGSEX_DIDCOMPATINFO : DI_FLAGSEX_DIDINFOLIST);
  return TRUE;
}

}  // extern "C"

// ---- setup classes by name, sets built one device at a time, device removal ----------------

namespace {

// The setup classes every Windows installs, whether or not a device of theirs is present.
constexpr const wchar_t *kBuiltInClasses[][2] = {
    {L"Net", L"{4d36e972-e325-11ce-bfc1-08002be10318}"},
    {L"System", L"{4d36e97d-e325-11ce-bfc1-08002be10318}"},
    {L"LegacyDriver", L"{8ecc055d-047f-11d1-a537-0000f8753ed1}"},
};

// The GUIDs of the classes of that name: the class keys under Control\Class, the classes
// of the machine's devices and the built-in ones, each once.
std::vector<GUID> ClassGuidsOf(std::wstring_view name) {
  std::vector<GUID> out;
  auto add = [&](const GUID &g) {
    if (std::find(out.begin(), out.end(), g) == out.end()) out.push_back(g);
  };
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> classes;
  if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), kClassKeyPath, &classes) == ERROR_SUCCESS)
    for (auto &[upcased, key] : classes->subkeys) {
      GUID g;
      RegValue *v = key->FindValue(L"Class");
      if (!v || !IsStringType(v->type) || !ParseGuid(key->name, g)) continue;
      std::wstring text = TextOfImage(v->data);
      if (EqualNoCase(text.substr(0, text.find(L'\0')), name)) add(g);
    }
  for (const Device &d : Devices().devices)
    if (!d.removed && d.classGuid && EqualNoCase(d.className, name)) add(*d.classGuid);
  for (auto &builtIn : kBuiltInClasses) {
    GUID g;
    if (EqualNoCase(builtIn[0], name) && ParseGuid(builtIn[1], g)) add(g);
  }
  return out;
}

}  // namespace

extern "C" {

BOOL WINAPI SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize) {
  WINSIM_ENTRY("setupapi.dll", SetupDiClassGuidsFromNameW, FALSE, Text(ClassName));
  if (!ClassName || (!ClassGuidList && ClassGuidListSize)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::vector<GUID> guids = ClassGuidsOf(ClassName);
  if (RequiredSize) *RequiredSize = DWORD(guids.size());
  if (guids.size() > ClassGuidListSize) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::copy(guids.begin(), guids.end(), ClassGuidList);
  return TRUE;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent) {
  WINSIM_ENTRY("setupapi.dll", SetupDiCreateDeviceInfoList, INVALID_HANDLE_VALUE);
  (void)hwndParent;
  auto set = std::make_shared<DeviceInfoSet>();
  set->params = NewInstallParams();
  if (ClassGuid) set->classGuid = *ClassGuid;
  return AddObject(std::move(set));
}

// DIOD_INHERIT_CLASSDRVS hands the set's class driver list to the member; sets here build
// driver lists per member only, so there is nothing to inherit.
BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiOpenDeviceInfoW, FALSE, Text(DeviceInstanceId));
  (void)hwndParent;
  auto set = SetOf(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (OpenFlags & ~DWORD(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE)) return Fail(ERROR_INVALID_FLAGS, FALSE);
  if (!DeviceInstanceId || !IsInstanceIdForm(DeviceInstanceId)) return Fail(ERROR_INVALID_DEVINST_NAME, FALSE);
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  const Device *d = Devices().ByInstanceId(DeviceInstanceId);
  if (!d) return Fail(ERROR_NO_SUCH_DEVINST, FALSE);
  if (set->classGuid != kNullGuid && d->classGuid.value_or(kNullGuid) != set->classGuid)
    return Fail(ERROR_CLASS_MISMATCH, FALSE);
  auto it =
      std::find_if(set->members.begin(), set->members.end(), [&](const Member &m) { return m.devInst == d->devInst; });
  if (it == set->members.end()) {
    set->members.push_back(Member{g_nextId++, d->devInst, NewInstallParams(), {}, {}, {}, 0});
    it = set->members.end() - 1;
  }
  if (DeviceInfoData) {
    DeviceInfoData->ClassGuid = d->classGuid.value_or(kNullGuid);
    DeviceInfoData->DevInst = d->devInst;
    DeviceInfoData->Reserved = it->id;
  }
  return TRUE;
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiRemoveDevice, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, true, t)) return FALSE;
  return RemoveDevice(t);
}

}  // extern "C"

namespace {
// The device goes from the machine: its device node, its Enum key and its driver key. What
// SetupDiRemoveDevice and the class installer's DIF_REMOVE do.
BOOL RemoveDevice(Target &t) {
  RegistryTree &r = Registry();
  RegKey *hklm = r.Predefined(HKEY_LOCAL_MACHINE);
  std::vector<std::wstring> keys = {std::wstring(kEnumKeyPath) + L"\\" + t.device->instanceId};
  if (t.device->driver) keys.push_back(std::wstring(kClassKeyPath) + L"\\" + t.device->driver->key);
  for (const std::wstring &path : keys) {
    std::shared_ptr<RegKey> key;
    if (r.Open(hklm, path, &key) == ERROR_SUCCESS) r.Remove(key.get());
  }
  const DeviceListing before = ListingOf(*t.device);
  t.device->removed = true;
  t.device->changed = true;
  UpdateServiceLists(*t.device, before);
  return TRUE;
}
}  // namespace

// Root-enumerated devices: helpers shared with the class installer.
namespace {

// The name of a setup class: its key under Control\Class, else a built-in one.
std::wstring ClassNameOf(const GUID &guid) {
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kClassKeyPath) + L"\\" + GuidText(guid), &key) ==
      ERROR_SUCCESS)
    if (const RegValue *v = key->FindValue(L"Class"); v && IsStringType(v->type)) {
      std::wstring text = TextOfImage(v->data);
      return text.substr(0, text.find(L'\0'));
    }
  for (auto &builtIn : kBuiltInClasses) {
    GUID g;
    if (ParseGuid(builtIn[1], g) && g == guid) return builtIn[0];
  }
  return L"";
}

bool EnumKeyExists(const std::wstring &instanceId) {
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  return r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kEnumKeyPath) + L"\\" + instanceId, &key) ==
         ERROR_SUCCESS;
}

bool InstanceIdTaken(const std::wstring &instanceId) {
  return Devices().ByInstanceId(instanceId) || EnumKeyExists(instanceId);
}

// A host-WCHAR buffer as text (a REG_SZ's NUL ends it) or as a list (REG_MULTI_SZ: up to the
// empty string). False when its size is not whole characters.
bool BufferText(const BYTE *buffer, DWORD size, std::wstring &text) {
  if (size % sizeof(WCHAR)) return false;
  text.assign(reinterpret_cast<const WCHAR *>(buffer), size / sizeof(WCHAR));
  return true;
}

std::vector<std::wstring> ListOfText(const std::wstring &text) {
  std::vector<std::wstring> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\0', start);
    if (end == std::wstring::npos) end = text.size();
    if (end == start) break;  // the empty string ends the list
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

BOOL Register(Target &t) {
  Device &d = *t.device;
  if (!d.registered) {
    d.registered = true;
    d.changed = true;
    MirrorDevice(d);
  }
  return TRUE;
}

void FillDriverInfo(const DriverNode &node, SP_DRVINFO_DATA_W *data) {
  // The V1 part first: a V1 record ends after ProviderName.
  auto *v1 = reinterpret_cast<SP_DRVINFO_DATA_V1_W *>(data);
  v1->DriverType = node.type;
  v1->Reserved = node.id;
  CopyText(v1->Description, node.driver.description);
  CopyText(v1->MfgName, node.driver.manufacturer);
  CopyText(v1->ProviderName, node.driver.provider);
  if (data->cbSize == sizeof(SP_DRVINFO_DATA_V2_W)) {
    data->DriverDate = ToFiletime(node.driver.date);
    data->DriverVersion = node.driver.PackedVersion();
  }
}

const DriverNode *SelectedNode(const Member &m) {
  for (const DriverList *list : {&m.compat, &m.classDrivers})
    for (const DriverNode &node : list->nodes)
      if (m.selected && node.id == m.selected) return &node;
  return nullptr;
}

}  // namespace

// ---- class installer: device state changes -------------------------------------------------

namespace {

// The size of the class install parameters record of each function winsim's class installer runs.
DWORD RecordSizeOf(DI_FUNCTION function) {
  return function == DIF_PROPERTYCHANGE ? DWORD(sizeof(SP_PROPCHANGE_PARAMS)) : 0;
}

// DIF_PROPERTYCHANGE on one device: the state the record asks for, honouring the device's
// [devices.behaviour]. A device that cannot be stopped keeps running as it is: the change
// waits for the restart (the device's pending status) and is reported with DI_NEEDRESTART.
BOOL PropertyChange(Target &t, const SP_PROPCHANGE_PARAMS &p) {
  Device &d = *t.device;
  if (p.StateChange < DICS_ENABLE || p.StateChange > DICS_STOP) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (p.Scope != DICS_FLAG_GLOBAL && p.Scope != DICS_FLAG_CONFIGSPECIFIC && p.Scope != DICS_FLAG_CONFIGGENERAL)
    return Fail(ERROR_INVALID_FLAGS, FALSE);
  if (p.HwProfile != 0) {
    NotModelled("SetupDiCallClassInstaller", "a hardware profile other than the current one");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  if (!d.present) return Fail(ERROR_NO_SUCH_DEVINST, FALSE);  // no device node to change
  const bool enable = p.StateChange == DICS_ENABLE || p.StateChange == DICS_START;
  if (enable && d.behaviour.enableFails) return Fail(ERROR_GEN_FAILURE, FALSE);
  if (enable && d.behaviour.staysDown) return TRUE;  // the request is dropped
  if (p.StateChange == DICS_DISABLE && d.behaviour.disableFails) return Fail(ERROR_NOT_DISABLEABLE, FALSE);

  const DeviceListing before = ListingOf(d);
  DeviceStatus next = d.status;
  switch (p.StateChange) {
    case DICS_ENABLE:
      // A disabled device starts again when it has a driver; without one it stays unconfigured.
      if (d.status == DeviceStatus::Disabled) next = d.driver ? DeviceStatus::Started : DeviceStatus::Problem;
      break;
    case DICS_DISABLE: next = DeviceStatus::Disabled; break;
    case DICS_START:
      if (d.status == DeviceStatus::NotStarted && d.driver) next = DeviceStatus::Started;
      break;
    case DICS_STOP:
      if (d.status == DeviceStatus::Started) next = DeviceStatus::NotStarted;
      break;
    default: break;  // DICS_PROPCHANGE restarts the device as it is
  }
  if (d.behaviour.stateChangeNeedsRestart) {
    // A change back to what the device is now cancels the one that was waiting.
    if (p.StateChange != DICS_PROPCHANGE) {
      d.pendingStatus = next == d.status ? std::nullopt : std::optional<DeviceStatus>(next);
      d.changed = true;
      MirrorDevice(d);
    }
    t.member->params.Flags |= DI_NEEDRESTART;
    return TRUE;
  }
  if (next != d.status) {
    d.status = next;
    if (next == DeviceStatus::Problem) d.problem = CM_PROB_FAILED_INSTALL;
    d.changed = true;
    MirrorDevice(d);
    UpdateServiceLists(d, before);
  }
  return TRUE;
}

// DIF_SELECTBESTCOMPATDRV: the compatible driver that ranks best (then the latest, the
// highest version) is selected; the list is built first when it is not.
BOOL SelectBestCompatible(Target &t) {
  if (!t.member->compat.built) {
    SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), t.device->classGuid.value_or(kNullGuid), t.device->devInst,
                         t.member->id};
    if (!SetupDiBuildDriverInfoList(t.set.get(), &data, SPDIT_COMPATDRIVER)) return FALSE;
  }
  const DriverNode *best = nullptr;
  for (const DriverNode &node : t.member->compat.nodes)
    if (!best || IsBetterDriver(node.driver, best->driver)) best = &node;
  if (!best) return Fail(ERROR_NO_COMPAT_DRIVERS, FALSE);
  t.member->selected = best->id;
  return TRUE;
}

// DIF_INSTALLDEVICE: the selected driver installed on the device (its files unless
// DI_NOFILECOPY), or, with none selected, the null driver. A reboot the install needs is
// reported with DI_NEEDREBOOT.
BOOL InstallDevice(Target &t) {
  Device &d = *t.device;
  if (!d.registered) return Fail(ERROR_DEVINFO_NOT_REGISTERED, FALSE);
  const DriverNode *node = SelectedNode(*t.member);
  if (!node) {
    InstallNullDriver(d);
    return TRUE;
  }
  if (!node->source) return TRUE;  // the installed driver selected again: nothing changes
  InfDriverNode install = *node->source;
  install.driver = node->driver;
  // The driver is recorded with its rank against the device's IDs as they are now (a creator
  // may have set them after the list was built), as a later update compares ranks.
  std::wstring matched;
  if (std::optional<DWORD> rank = RankFor(install, d, &matched)) {
    install.driver.rank = *rank;
    install.driver.matchingId = matched;
  }
  bool reboot = false;
  NodeInstall how;
  how.copyFiles = !(t.member->params.Flags & DI_NOFILECOPY);
  how.startDevice = !(t.member->params.Flags & DI_DONOTCALLCONFIGMG);
  if (DWORD e = InstallDriverNode(d, std::move(install), how, reboot)) return Fail(e, FALSE);
  if (reboot) t.member->params.Flags |= DI_NEEDREBOOT;
  return TRUE;
}

}  // namespace

extern "C" {

// A record for the set (DeviceInfoData null) or one member; a null record with size 0
// removes the parameters. The header names the function the record belongs to.
BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
  WINSIM_ENTRY("setupapi.dll", SetupDiSetClassInstallParamsW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  std::vector<BYTE> &stored = t.member ? t.member->classInstallParams : t.set->classInstallParams;
  SP_DEVINSTALL_PARAMS_W &params = t.member ? t.member->params : t.set->params;
  if (!ClassInstallParams) {
    if (ClassInstallParamsSize) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    stored.clear();
    params.Flags &= ~DWORD(DI_CLASSINSTALLPARAMS);
    return TRUE;
  }
  if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER) ||
      ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  DWORD expected = RecordSizeOf(ClassInstallParams->InstallFunction);
  if (!expected) {
    NotModelled("SetupDiSetClassInstallParamsW", "class install parameters of function " +
                                                     std::to_string(ClassInstallParams->InstallFunction) +
                                                     " (only DIF_PROPERTYCHANGE is modelled)");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  if (ClassInstallParamsSize != expected) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto *bytes = reinterpret_cast<const BYTE *>(ClassInstallParams);
  stored.assign(bytes, bytes + ClassInstallParamsSize);
  params.Flags |= DI_CLASSINSTALLPARAMS;
  return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiCallClassInstaller, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  if (InstallFunction != DIF_PROPERTYCHANGE && InstallFunction != DIF_REGISTERDEVICE &&
      InstallFunction != DIF_INSTALLDEVICE && InstallFunction != DIF_SELECTBESTCOMPATDRV &&
      InstallFunction != DIF_REMOVE) {
    NotModelled("SetupDiCallClassInstaller",
                "install function " + std::to_string(InstallFunction) +
                    " (DIF_PROPERTYCHANGE, DIF_REGISTERDEVICE, DIF_SELECTBESTCOMPATDRV, DIF_INSTALLDEVICE and "
                    "DIF_REMOVE are modelled)");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  if (!t.member) return Fail(ERROR_INVALID_PARAMETER, FALSE);  // each function acts on one device
  if (InstallFunction == DIF_REGISTERDEVICE) return Register(t);
  if (InstallFunction == DIF_SELECTBESTCOMPATDRV) return SelectBestCompatible(t);
  if (InstallFunction == DIF_INSTALLDEVICE) return InstallDevice(t);
  if (InstallFunction == DIF_REMOVE) return t.device ? RemoveDevice(t) : Fail(ERROR_NO_SUCH_DEVINST, FALSE);
  // The member's own record, else the set's.
  const std::vector<BYTE> &stored =
      !t.member->classInstallParams.empty() ? t.member->classInstallParams : t.set->classInstallParams;
  SP_PROPCHANGE_PARAMS p;
  if (stored.size() != sizeof p) return Fail(ERROR_NO_CLASSINSTALL_PARAMS, FALSE);
  std::memcpy(&p, stored.data(), sizeof p);
  if (p.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) return Fail(ERROR_NO_CLASSINSTALL_PARAMS, FALSE);
  return PropertyChange(t, p);
}

}  // extern "C"

// ---- unified device properties -------------------------------------------------------------

namespace {

struct DevPropValue {
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  std::vector<BYTE> bytes;
};

std::vector<BYTE> Uint32Bytes(ULONG value) {
  std::vector<BYTE> out(sizeof value);
  std::memcpy(out.data(), &value, sizeof value);
  return out;
}

// ERROR_SUCCESS with the value, or ERROR_NOT_FOUND when the device does not have it (or
// winsim does not know the key: a device has no property of a key nobody defined).
DWORD ReadDevProperty(const Device &d, const DEVPROPKEY &key, DevPropValue &out) {
  struct RegistryBacked {
    const DEVPROPKEY *key;
    DWORD property;
  };
  static const RegistryBacked registryBacked[] = {
      {&DEVPKEY_Device_DeviceDesc, SPDRP_DEVICEDESC},
      {&DEVPKEY_Device_HardwareIds, SPDRP_HARDWAREID},
      {&DEVPKEY_Device_CompatibleIds, SPDRP_COMPATIBLEIDS},
      {&DEVPKEY_Device_Service, SPDRP_SERVICE},
      {&DEVPKEY_Device_Class, SPDRP_CLASS},
      {&DEVPKEY_Device_Driver, SPDRP_DRIVER},
      {&DEVPKEY_Device_Manufacturer, SPDRP_MFG},
      {&DEVPKEY_Device_FriendlyName, SPDRP_FRIENDLYNAME},
  };
  for (const RegistryBacked &rb : registryBacked) {
    if (!IsEqualDevPropKey(*rb.key, key)) continue;
    PropertyValue v;
    if (ReadProperty(d, rb.property, v) != ERROR_SUCCESS) return ERROR_NOT_FOUND;
    out.type = v.type == REG_MULTI_SZ ? DEVPROP_TYPE_STRING_LIST : DEVPROP_TYPE_STRING;
    out.bytes = std::move(v.bytes);
    return ERROR_SUCCESS;
  }
  auto text = [&](const std::wstring &value) {
    if (value.empty()) return DWORD(ERROR_NOT_FOUND);
    out.type = DEVPROP_TYPE_STRING;
    out.bytes = HostText(value + L'\0');
    return DWORD(ERROR_SUCCESS);
  };
  if (IsEqualDevPropKey(key, DEVPKEY_Device_InstanceId)) return text(d.instanceId);
  if (IsEqualDevPropKey(key, DEVPKEY_NAME))
    return text(!d.description.empty() ? d.description : d.driver ? d.driver->description : L"");
  if (IsEqualDevPropKey(key, DEVPKEY_Device_DevNodeStatus) || IsEqualDevPropKey(key, DEVPKEY_Device_ProblemCode)) {
    if (!d.present) return ERROR_NOT_FOUND;  // no device node
    out.type = DEVPROP_TYPE_UINT32;
    out.bytes = Uint32Bytes(IsEqualDevPropKey(key, DEVPKEY_Device_DevNodeStatus) ? d.StatusBits() : d.ProblemNumber());
    return ERROR_SUCCESS;
  }
  if (!d.driver) return ERROR_NOT_FOUND;
  const DeviceDriver &drv = *d.driver;
  if (IsEqualDevPropKey(key, DEVPKEY_Device_DriverVersion)) {
    if (!drv.hasVersion) return ERROR_NOT_FOUND;
    wchar_t v[32];
    std::swprintf(v, 32, L"%u.%u.%u.%u", unsigned(drv.version[0]), unsigned(drv.version[1]), unsigned(drv.version[2]),
                  unsigned(drv.version[3]));
    return text(v);
  }
  if (IsEqualDevPropKey(key, DEVPKEY_Device_DriverDesc)) return text(drv.description);
  if (IsEqualDevPropKey(key, DEVPKEY_Device_DriverInfPath)) {
    size_t slash = drv.inf.find_last_of(L"\\/");
    return text(slash == std::wstring::npos ? drv.inf : drv.inf.substr(slash + 1));
  }
  if (IsEqualDevPropKey(key, DEVPKEY_Device_DriverInfSection)) return text(drv.section);
  if (IsEqualDevPropKey(key, DEVPKEY_Device_DriverProvider)) return text(drv.provider);
  return ERROR_NOT_FOUND;
}

}  // namespace

extern "C" {

BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      const DEVPROPKEY *PropertyKey, DEVPROPTYPE *PropertyType, PBYTE PropertyBuffer,
                                      DWORD PropertyBufferSize, PDWORD RequiredSize, DWORD Flags) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetDevicePropertyW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, true, t)) return FALSE;
  if (!PropertyKey) return Fail(ERROR_INVALID_DATA, FALSE);
  if (!PropertyType || (!PropertyBuffer && PropertyBufferSize)) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (Flags) return Fail(ERROR_INVALID_FLAGS, FALSE);
  DevPropValue value;
  if (DWORD e = ReadDevProperty(*t.device, *PropertyKey, value)) return Fail(e, FALSE);
  *PropertyType = value.type;
  if (RequiredSize) *RequiredSize = DWORD(value.bytes.size());
  if (value.bytes.size() > PropertyBufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (!value.bytes.empty()) std::memcpy(PropertyBuffer, value.bytes.data(), value.bytes.size());
  return TRUE;
}

}  // extern "C"

// ---- root-enumerated devices ------------------------------------------------------------------

extern "C" {

// DICD_GENERATE_ID: DeviceName is a device name and the instance is ROOT\<NAME>\NNNN with the
// lowest free number; otherwise it is the whole instance ID, which must be free. The device
// exists for the set until SetupDiRegisterDeviceInfo puts it into the registry; it has no
// hardware ID until one is set.
BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName, const GUID *ClassGuid,
                                     PCWSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiCreateDeviceInfoW, FALSE, Text(DeviceName));
  (void)hwndParent;
  auto set = SetOf(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (CreationFlags & ~DWORD(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) return Fail(ERROR_INVALID_FLAGS, FALSE);
  if (!DeviceName || !*DeviceName) return Fail(ERROR_INVALID_DEVINST_NAME, FALSE);
  if (!ClassGuid) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (set->classGuid != kNullGuid && set->classGuid != *ClassGuid) return Fail(ERROR_CLASS_MISMATCH, FALSE);
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  std::wstring id;
  if (CreationFlags & DICD_GENERATE_ID) {
    std::wstring name = DeviceName;
    if (name.find(L'\\') != std::wstring::npos) return Fail(ERROR_INVALID_DEVINST_NAME, FALSE);
    for (unsigned n = 0; id.empty() && n < 10000; ++n) {
      wchar_t number[8];
      std::swprintf(number, 8, L"%04u", n);
      std::wstring candidate = L"ROOT\\" + Upcased(name) + L"\\" + number;
      if (!InstanceIdTaken(candidate)) id = candidate;
    }
    if (id.empty()) return Fail(ERROR_DEVINST_ALREADY_EXISTS, FALSE);
  } else {
    id = DeviceName;
    if (!IsInstanceIdForm(id)) return Fail(ERROR_INVALID_DEVINST_NAME, FALSE);
    if (InstanceIdTaken(id)) return Fail(ERROR_DEVINST_ALREADY_EXISTS, FALSE);
  }
  if (id.size() >= MAX_DEVICE_ID_LEN) return Fail(ERROR_INVALID_DEVINST_NAME, FALSE);

  DeviceTree &tree = Devices();
  Device d;
  d.entry = tree.devices.size();
  d.devInst = DEVINST(d.entry + 1);
  d.instanceId = id;
  d.classGuid = *ClassGuid;
  d.className = ClassNameOf(*ClassGuid);
  if (DeviceDescription) d.description = DeviceDescription;
  d.status = DeviceStatus::Problem;
  d.problem = CM_PROB_NOT_CONFIGURED;  // no driver yet
  d.created = true;
  d.registered = false;
  d.changed = true;
  tree.devices.push_back(std::move(d));
  const Device &added = tree.devices.back();
  set->members.push_back(Member{g_nextId++, added.devInst, NewInstallParams(), {}, {}, {}, 0});
  if (DeviceInfoData) {
    DeviceInfoData->ClassGuid = *ClassGuid;
    DeviceInfoData->DevInst = added.devInst;
    DeviceInfoData->Reserved = set->members.back().id;
  }
  return TRUE;
}

// Puts a created device into the registry (its Enum key); a registered device stays as it is.
// Root devices have no resources to compare: SPRDI_FIND_DUPS finds duplicates only through a
// compare callback, which winsim does not call.
BOOL WINAPI SetupDiRegisterDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Flags,
                                      PSP_DETSIG_CMPPROC CompareProc, PVOID CompareContext,
                                      PSP_DEVINFO_DATA DupDeviceInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiRegisterDeviceInfo, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  (void)CompareContext, (void)DupDeviceInfoData;
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, true, t)) return FALSE;
  if (Flags & ~DWORD(SPRDI_FIND_DUPS)) return Fail(ERROR_INVALID_FLAGS, FALSE);
  if ((Flags & SPRDI_FIND_DUPS) && CompareProc) {
    NotModelled("SetupDiRegisterDeviceInfo", "a duplicate-detection compare callback");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  return Register(t);
}

// The properties a device's creator may set: its IDs and description (kept by the model and
// mirrored into its Enum key), and, once it is registered, the other writable values of that
// key. A null buffer of size 0 removes the property.
BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE *PropertyBuffer, DWORD PropertyBufferSize) {
  WINSIM_ENTRY("setupapi.dll", SetupDiSetDeviceRegistryPropertyW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, true, t)) return FALSE;
  if (!PropertyBuffer && PropertyBufferSize) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::wstring text;
  if (PropertyBuffer && !BufferText(PropertyBuffer, PropertyBufferSize, text)) return Fail(ERROR_INVALID_DATA, FALSE);
  Device &d = *t.device;
  switch (Property) {
    case SPDRP_HARDWAREID: d.hardwareIds = ListOfText(text); break;
    case SPDRP_COMPATIBLEIDS: d.compatibleIds = ListOfText(text); break;
    case SPDRP_DEVICEDESC: d.description = text.substr(0, text.find(L'\0')); break;
    case SPDRP_FRIENDLYNAME:
    case SPDRP_LOCATION_INFORMATION:
    case SPDRP_UPPERFILTERS:
    case SPDRP_LOWERFILTERS: {
      if (!d.registered) {
        NotModelled("SetupDiSetDeviceRegistryPropertyW", "this property on a device not yet registered");
        return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
      }
      bool list = Property == SPDRP_UPPERFILTERS || Property == SPDRP_LOWERFILTERS;
      RegistryTree &r = Registry();
      std::shared_ptr<RegKey> key;
      if (DWORD e = r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kEnumKeyPath) + L"\\" + d.instanceId, &key))
        return Fail(e, FALSE);
      const wchar_t *name = RegistryValueOf(Property);
      auto &values = key->values;
      values.erase(
          std::remove_if(values.begin(), values.end(), [&](const RegValue &v) { return EqualNoCase(v.name, name); }),
          values.end());
      if (PropertyBuffer) {
        std::wstring stored = list ? MultiString(ListOfText(text)) : text.substr(0, text.find(L'\0')) + L'\0';
        values.push_back(RegValue{name, DWORD(list ? REG_MULTI_SZ : REG_SZ), Utf16Image(stored, false)});
      }
      r.Touch(key.get());
      return TRUE;
    }
    default: return Fail(ERROR_INVALID_REG_PROPERTY, FALSE);
  }
  d.changed = true;
  if (d.registered) MirrorDevice(d);
  return TRUE;
}

BOOL WINAPI SetupDiGetSelectedDriverW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_W DriverInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiGetSelectedDriverW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, true, t)) return FALSE;
  if (!DriverInfoData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!IsDriverInfoSize(DriverInfoData->cbSize)) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  const DriverNode *node = SelectedNode(*t.member);
  if (!node) return Fail(ERROR_NO_DRIVER_SELECTED, FALSE);
  FillDriverInfo(*node, DriverInfoData);
  return TRUE;
}

// Selects a node of the member's driver lists (named by the record SetupDiEnumDriverInfoW
// filled); a null record clears the selection.
BOOL WINAPI SetupDiSetSelectedDriverW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_W DriverInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupDiSetSelectedDriverW, FALSE, MemberText(DeviceInfoSet, DeviceInfoData));
  Target t;
  if (!Find(DeviceInfoSet, DeviceInfoData, false, t)) return FALSE;
  if (!t.member) {
    NotModelled("SetupDiSetSelectedDriverW", "a driver selected for a whole set");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  if (!DriverInfoData) {
    t.member->selected = 0;
    return TRUE;
  }
  const DriverNode *node = FindNode(t.member, DriverInfoData);
  if (!node) return FALSE;
  t.member->selected = node->id;
  return TRUE;
}

}  // extern "C"
