// The devices of winsim: machine.toml's [[devices]] as SetupAPI device information sets
// (selection and order, registry properties and their sizing, installation parameters, the
// installed driver's list and details), the configuration manager's view of them, their
// registry keys (ordinary keys kept in registry.reg, their derived values refreshed at load)
// and volatile keys, load errors,
// large machines and fault injection.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winsvc.h>
#include <devpkey.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testmachine.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
const GUID kNullGuid = {};
const GUID kNetClass = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kNetInterface = {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}};

constexpr const wchar_t *kIdA = L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008";
constexpr const wchar_t *kIdB = L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0009";
constexpr const wchar_t *kIdC = L"ROOT\\SYSTEM\\0000";
constexpr const wchar_t *kIdD = L"USB\\VID_1234&PID_5678\\5&2A&0&1";
constexpr const wchar_t *kIdE = L"ACPI\\PNP0A03\\0";
constexpr const wchar_t *kNetDriverKey = L"{4d36e972-e325-11ce-bfc1-08002be10318}\\0000";

// A: a started network adapter with its driver; B: its twin, not present; C: a disabled
// root-enumerated system device; D: a USB device with a problem; E: a device of no class.
const char *const kMachine = R"(
[[devices]]
instance_id = 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\4&1A2B3C4D&0&0008'
hardware_ids = ['PCI\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01', 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086']
compatible_ids = ['PCI\VEN_8086&DEV_1572', 'PCI\CC_020000']
class = "Net"
class_guid = "{4D36E972-E325-11CE-BFC1-08002BE10318}"
interfaces = ["{AD498944-762F-11D0-8DCB-00C04FC3358C}"]
description = "Ethernet Adapter"
[devices.driver]
inf = 'C:\Windows\INF\oem3.inf'
section = "z40e.ndi"
description = "Ethernet Adapter Driver"
manufacturer = "Intel"
provider = "Intel Corp"
version = "1.2.3.4"
date = "2019-05-01"
flags = 0x100000
rank = 0xFF0001
matching_id = 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086'

[[devices]]
instance_id = 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\4&1A2B3C4D&0&0009'
class = "Net"
class_guid = "{4D36E972-E325-11CE-BFC1-08002BE10318}"
interfaces = ["{AD498944-762F-11D0-8DCB-00C04FC3358C}"]
description = "Ethernet Adapter #2"
present = false

[[devices]]
instance_id = 'ROOT\SYSTEM\0000'
class = "System"
class_guid = "{4D36E97D-E325-11CE-BFC1-08002BE10318}"
interfaces = ["{53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}"]
description = "Root System Device"
status = "disabled"

[[devices]]
instance_id = 'USB\VID_1234&PID_5678\5&2A&0&1'
class = "USB"
class_guid = "{36FC9E60-C465-11CF-8056-444553540000}"
status = "problem"
problem = 28
private_problem = true

[[devices]]
instance_id = 'ACPI\PNP0A03\0'
status = "not_started"
)";

// A zeroed record with its cbSize.
template <class T>
T Sized(DWORD cbSize = sizeof(T)) {
  T record;
  std::memset(&record, 0, sizeof record);
  record.cbSize = cbSize;
  return record;
}

std::string ReadAll(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::wstring InstanceId(DEVINST devInst) {
  wchar_t id[MAX_DEVICE_ID_LEN];
  if (CM_Get_Device_ID_ExW(devInst, id, MAX_DEVICE_ID_LEN, 0, nullptr) != CR_SUCCESS) return L"?";
  return id;
}

// The members of a set: their letters in kMachine (or their instance IDs).
std::string Members(HDEVINFO set) {
  static const std::map<std::wstring, char> letters = {{kIdA, 'A'}, {kIdB, 'B'}, {kIdC, 'C'}, {kIdD, 'D'}, {kIdE, 'E'}};
  std::string out;
  auto data = Sized<SP_DEVINFO_DATA>();
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    auto it = letters.find(InstanceId(data.DevInst));
    out += it == letters.end() ? '?' : it->second;
  }
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  return out;
}

// The member of a set with that instance ID.
SP_DEVINFO_DATA MemberOf(HDEVINFO set, const std::wstring &id) {
  auto data = Sized<SP_DEVINFO_DATA>();
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i)
    if (InstanceId(data.DevInst) == id) return data;
  ADD_FAILURE() << "no member " << winsim::ToUtf8(id);
  return data;
}

HDEVINFO AllDevices() { return SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES); }

struct Property {
  DWORD error = ERROR_SUCCESS;
  DWORD type = kSentinel;
  std::vector<BYTE> bytes;
  std::wstring Text() const {
    return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(WCHAR));
  }
};

// A property read the two-call way: its size first, then into a buffer of exactly that size.
Property Get(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
  Property p;
  DWORD required = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, nullptr, 0, &required));
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    p.error = GetLastError();
    return p;
  }
  p.bytes.assign(required, 0xAB);
  EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &device, property, &p.type, p.bytes.data(), required, nullptr));
  return p;
}

// A registry value as RegQueryValueExW gives it.
Property RegValue(const std::wstring &key, const wchar_t *name) {
  Property p;
  HKEY h;
  if ((p.error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h))) return p;
  DWORD size = 0;
  if (!(p.error = RegQueryValueExW(h, name, nullptr, &p.type, nullptr, &size))) {
    p.bytes.resize(size);
    p.error = RegQueryValueExW(h, name, nullptr, &p.type, p.bytes.data(), &size);
  }
  RegCloseKey(h);
  return p;
}

std::wstring EnumKey(const std::wstring &id) { return L"SYSTEM\\CurrentControlSet\\Enum\\" + id; }

// Opens a machine directory written from `toml` and answers the load error ("" when it loads).
std::string LoadError(const std::string &toml) {
  std::string pattern = (fs::temp_directory_path() / "kvn-devices-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return "no temporary directory";
  fs::path dir = pattern;
  fs::create_directories(dir / "drive_c");
  std::ofstream(dir / "machine.toml") << toml;
  std::string error;
  bool ok = winsim::OpenMachine(dir, error);
  if (ok) winsim::CloseMachine();
  fs::remove_all(dir);
  return ok ? "" : error;
}

std::string Device(const std::string &instanceId, const std::string &more = "") {
  return "[[devices]]\ninstance_id = '" + instanceId + "'\n" + more + "\n";
}

// ---- selection ----------------------------------------------------------------------------------

TEST(DeviceSets, SelectionAndOrder) {
  const struct {
    const GUID *guid;
    const wchar_t *enumerator;
    DWORD flags;
    const char *members;
  } cases[] = {
      {&kNetClass, nullptr, 0, "AB"},
      {&kNetClass, nullptr, DIGCF_PRESENT, "A"},
      {&kNetClass, nullptr, DIGCF_PROFILE, "AB"},
      {&kNetClass, L"", 0, "AB"},
      {nullptr, nullptr, DIGCF_ALLCLASSES, "ABCDE"},
      {&kNetClass, nullptr, DIGCF_ALLCLASSES, "ABCDE"},  // the class is ignored
      {nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, "ACDE"},
      {nullptr, L"pci", DIGCF_ALLCLASSES, "AB"},
      {nullptr, L"PCI", DIGCF_ALLCLASSES | DIGCF_PRESENT, "A"},
      {nullptr, L"Root", DIGCF_ALLCLASSES, "C"},
      {nullptr, L"USB", DIGCF_ALLCLASSES, "D"},
      {nullptr, L"HID", DIGCF_ALLCLASSES, ""},  // an enumerator every Windows has
      {&kNullGuid, nullptr, 0, "E"},            // the devices without a class
      {&kNetInterface, nullptr, DIGCF_DEVICEINTERFACE, "AB"},
      {&kNetInterface, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT, "A"},
      {nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES, "ABC"},
      {&kNetInterface, L"pci\\ven_8086&dev_1572&subsys_00018086&rev_01\\4&1a2b3c4d&0&0008", DIGCF_DEVICEINTERFACE, "A"},
      {&kNetInterface, L"ROOT\\SYSTEM\\0000", DIGCF_DEVICEINTERFACE, ""},
      {&kNetInterface, L"PCI\\NOTHING\\HERE", DIGCF_DEVICEINTERFACE, ""},
  };
  TestMachine machine(kMachine);
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << "flags " << c.flags << " enumerator "
                                      << (c.enumerator ? winsim::ToUtf8(c.enumerator) : "NULL"));
    HDEVINFO set = SetupDiGetClassDevsW(c.guid, c.enumerator, nullptr, c.flags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(Members(set), c.members);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  }
}

TEST(DeviceSets, RefusedSelections) {
  const struct {
    const GUID *guid;
    const wchar_t *enumerator;
    DWORD flags;
    DWORD error;
  } cases[] = {
      {nullptr, nullptr, 0, ERROR_INVALID_PARAMETER},
      {nullptr, nullptr, DIGCF_PRESENT, ERROR_INVALID_PARAMETER},
      {nullptr, nullptr, DIGCF_DEVICEINTERFACE, ERROR_INVALID_PARAMETER},
      {nullptr, L"NOSUCHBUS", DIGCF_ALLCLASSES, ERROR_INVALID_DATA},
      {nullptr, L"PCI\\VEN_8086", DIGCF_ALLCLASSES, ERROR_INVALID_DATA},
      {&kNetInterface, L"PCI", DIGCF_DEVICEINTERFACE, ERROR_INVALID_DATA},
      {nullptr, L"ROOT\\SYSTEM", DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES, ERROR_INVALID_DATA},
      {&kNetClass, nullptr, 0x20, ERROR_INVALID_FLAGS},
      {&kNetInterface, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_DEFAULT, ERROR_CALL_NOT_IMPLEMENTED},
      {nullptr, L"{36FC9E60-C465-11CF-8056-444553540000}", DIGCF_ALLCLASSES, ERROR_CALL_NOT_IMPLEMENTED},
  };
  TestMachine machine(kMachine);
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << "flags " << c.flags << " enumerator "
                                      << (c.enumerator ? winsim::ToUtf8(c.enumerator) : "NULL"));
    SetLastError(kSentinel);
    EXPECT_EQ(SetupDiGetClassDevsW(c.guid, c.enumerator, nullptr, c.flags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST(DeviceSets, MemberDataAndListDetail) {
  TestMachine machine(kMachine);
  HDEVINFO all = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(all, kIdA), e = MemberOf(all, kIdE);
  EXPECT_EQ(a.ClassGuid, kNetClass);
  EXPECT_EQ(e.ClassGuid, kNullGuid);
  EXPECT_NE(a.DevInst, e.DevInst);
  EXPECT_NE(a.Reserved, 0u);

  const struct {
    const GUID *guid;
    DWORD flags;
    GUID listClass;
  } cases[] = {
      {&kNetClass, DIGCF_PRESENT, kNetClass},
      {nullptr, DIGCF_ALLCLASSES, kNullGuid},
      {&kNetInterface, DIGCF_DEVICEINTERFACE, kNullGuid},
  };
  for (const auto &c : cases) {
    HDEVINFO set = SetupDiGetClassDevsW(c.guid, nullptr, nullptr, c.flags);
    SP_DEVINFO_LIST_DETAIL_DATA_W detail;
    std::memset(&detail, 0xAB, sizeof detail);
    detail.cbSize = sizeof detail;
    ASSERT_TRUE(SetupDiGetDeviceInfoListDetailW(set, &detail));
    EXPECT_EQ(detail.ClassGuid, c.listClass);
    EXPECT_EQ(detail.RemoteMachineHandle, nullptr);
    EXPECT_EQ(detail.RemoteMachineName[0], L'\0');
    detail.cbSize = sizeof detail - 1;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDeviceInfoListDetailW(set, &detail));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
  }
  SetupDiDestroyDeviceInfoList(all);
}

TEST(DeviceSets, MachineWithoutDevices) {
  TestMachine machine;
  HDEVINFO set = AllDevices();
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  auto data = Sized<SP_DEVINFO_DATA>();
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  HKEY h;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Enum", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  ULONG status, problem;
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, 1, 0, nullptr), DWORD(CR_INVALID_DEVNODE));
}

// ---- handles and records --------------------------------------------------------------------------

TEST(DeviceSets, HandlesAreCheckedAndDieWithTheSet) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA);
  HDEVINFO other = AllDevices();
  SP_DEVINFO_DATA stranger = MemberOf(other, kIdA);  // the same device, a member of another set
  DWORD size;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &stranger, SPDRP_CLASS, nullptr, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CloseHandle(set));  // not a kernel object
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

  HANDLE file = CreateFileW(L"C:\\file.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
  // A destroyed set stops the run; other values that are no set fail as on Windows.
  auto data = Sized<SP_DEVINFO_DATA>();
  EXPECT_DEATH(SetupDiEnumDeviceInfo(set, 0, &data), "SetupDiEnumDeviceInfo: handle .* was used after it was closed");
  EXPECT_DEATH(SetupDiGetDeviceRegistryPropertyW(set, &a, SPDRP_CLASS, nullptr, nullptr, 0, &size),
               "SetupDiGetDeviceRegistryPropertyW: handle .* was used after it was closed");
  EXPECT_DEATH(SetupDiDestroyDeviceInfoList(set),
               "SetupDiDestroyDeviceInfoList: handle .* was used after it was closed");
  for (HDEVINFO bad : {HDEVINFO(nullptr), HDEVINFO(INVALID_HANDLE_VALUE), HDEVINFO(file)}) {
    auto data = Sized<SP_DEVINFO_DATA>();
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(bad, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(bad, &a, SPDRP_CLASS, nullptr, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiBuildDriverInfoList(bad, &a, SPDIT_COMPATDRIVER));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(bad));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  }
  EXPECT_TRUE(CloseHandle(file));

  machine.Reopen();  // the process ended: its sets went with it
  EXPECT_FALSE(SetupDiEnumDeviceInfo(other, 0, &data));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(DeviceSets, RecordSizesAreChecked) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA);
  auto params = Sized<SP_DEVINSTALL_PARAMS_W>();
  params.FlagsEx = DI_FLAGSEX_INSTALLEDDRIVER;
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, &a, &params));
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &a, SPDIT_COMPATDRIVER));
  auto driver = Sized<SP_DRVINFO_DATA_W>();
  ASSERT_TRUE(SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 0, &driver));

  SP_DEVINFO_DATA badDevice = a;
  badDevice.cbSize = sizeof a + 4;
  SP_DRVINFO_DATA_W badDriver = driver;
  badDriver.cbSize = sizeof driver - 8;
  DWORD size;
  const struct {
    const char *what;
    std::function<BOOL(DWORD)> call;  // gets the cbSize to use
    DWORD good, error;
  } cases[] = {
      {"SetupDiEnumDeviceInfo",
       [&](DWORD cb) {
         auto d = Sized<SP_DEVINFO_DATA>(cb);
         return SetupDiEnumDeviceInfo(set, 0, &d);
       },
       sizeof(SP_DEVINFO_DATA), ERROR_INVALID_USER_BUFFER},
      {"SetupDiGetDeviceInstallParamsW",
       [&](DWORD cb) {
         auto p = Sized<SP_DEVINSTALL_PARAMS_W>(cb);
         return SetupDiGetDeviceInstallParamsW(set, &a, &p);
       },
       sizeof(SP_DEVINSTALL_PARAMS_W), ERROR_INVALID_USER_BUFFER},
      {"SetupDiSetDeviceInstallParamsW",
       [&](DWORD cb) {
         auto p = Sized<SP_DEVINSTALL_PARAMS_W>();
         SetupDiGetDeviceInstallParamsW(set, &a, &p);
         p.cbSize = cb;
         return SetupDiSetDeviceInstallParamsW(set, &a, &p);
       },
       sizeof(SP_DEVINSTALL_PARAMS_W), ERROR_INVALID_USER_BUFFER},
      {"SetupDiEnumDriverInfoW",
       [&](DWORD cb) {
         auto d = Sized<SP_DRVINFO_DATA_W>(cb);
         return SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 0, &d);
       },
       sizeof(SP_DRVINFO_DATA_W), ERROR_INVALID_USER_BUFFER},
      {"SetupDiGetDriverInstallParamsW",
       [&](DWORD cb) {
         auto p = Sized<SP_DRVINSTALL_PARAMS>(cb);
         return SetupDiGetDriverInstallParamsW(set, &a, &driver, &p);
       },
       sizeof(SP_DRVINSTALL_PARAMS), ERROR_INVALID_USER_BUFFER},
      {"SetupDiGetDriverInfoDetailW",
       [&](DWORD cb) {
         std::vector<BYTE> buffer(4 * sizeof(SP_DRVINFO_DETAIL_DATA_W));
         auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W *>(buffer.data());
         detail->cbSize = cb;
         return SetupDiGetDriverInfoDetailW(set, &a, &driver, detail, DWORD(buffer.size()), &size);
       },
       sizeof(SP_DRVINFO_DETAIL_DATA_W), ERROR_INVALID_USER_BUFFER},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(c.call(c.good)) << GetLastError();
    for (DWORD bad : {DWORD(0), c.good - 1, c.good + 1}) {
      SetLastError(kSentinel);
      EXPECT_FALSE(c.call(bad));
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  // Records that name members and driver nodes: a wrong size makes them name nothing.
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &badDevice, SPDRP_CLASS, nullptr, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  auto dp = Sized<SP_DRVINSTALL_PARAMS>();
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDriverInstallParamsW(set, &a, &badDriver, &dp));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetupDiDestroyDeviceInfoList(set);
}

// ---- registry properties ------------------------------------------------------------------------

TEST(DeviceProperties, ValuesTypesAndAbsentOnes) {
  const struct {
    const wchar_t *id;
    DWORD property;
    DWORD error, type;
    std::wstring text;  // for REG_SZ and REG_MULTI_SZ, terminators included
  } cases[] = {
      {kIdA, SPDRP_DEVICEDESC, 0, REG_SZ, std::wstring(L"Ethernet Adapter\0", 17)},
      {kIdA, SPDRP_CLASS, 0, REG_SZ, std::wstring(L"Net\0", 4)},
      {kIdA, SPDRP_CLASSGUID, 0, REG_SZ, std::wstring(L"{4d36e972-e325-11ce-bfc1-08002be10318}\0", 39)},
      {kIdA, SPDRP_DRIVER, 0, REG_SZ, std::wstring(kNetDriverKey) + L'\0'},
      {kIdA, SPDRP_MFG, 0, REG_SZ, std::wstring(L"Intel\0", 6)},
      {kIdA, SPDRP_ENUMERATOR_NAME, 0, REG_SZ, std::wstring(L"PCI\0", 4)},
      {kIdA, SPDRP_COMPATIBLEIDS, 0, REG_MULTI_SZ, std::wstring(L"PCI\\VEN_8086&DEV_1572\0PCI\\CC_020000\0\0", 37)},
      {kIdC, SPDRP_ENUMERATOR_NAME, 0, REG_SZ, std::wstring(L"ROOT\0", 5)},
      {kIdA, SPDRP_FRIENDLYNAME, ERROR_INVALID_DATA, 0, L""},
      {kIdA, SPDRP_SERVICE, ERROR_INVALID_DATA, 0, L""},
      {kIdC, SPDRP_DRIVER, ERROR_INVALID_DATA, 0, L""},
      {kIdC, SPDRP_MFG, ERROR_INVALID_DATA, 0, L""},
      {kIdC, SPDRP_HARDWAREID, ERROR_INVALID_DATA, 0, L""},
      {kIdE, SPDRP_DEVICEDESC, ERROR_INVALID_DATA, 0, L""},
      {kIdE, SPDRP_CLASS, ERROR_INVALID_DATA, 0, L""},
      {kIdE, SPDRP_CLASSGUID, ERROR_INVALID_DATA, 0, L""},
      {kIdA, 0x3, ERROR_INVALID_REG_PROPERTY, 0, L""},  // SPDRP_UNUSED0
      {kIdA, SPDRP_MAXIMUM_PROPERTY, ERROR_INVALID_REG_PROPERTY, 0, L""},
      {kIdA, 0xFFFFFFFF, ERROR_INVALID_REG_PROPERTY, 0, L""},
      {kIdA, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, ERROR_CALL_NOT_IMPLEMENTED, 0, L""},
  };
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << winsim::ToUtf8(c.id) << " property " << c.property);
    SP_DEVINFO_DATA device = MemberOf(set, c.id);
    Property p = Get(set, device, c.property);
    EXPECT_EQ(p.error, c.error);
    if (c.error) continue;
    EXPECT_EQ(p.type, c.type);
    EXPECT_EQ(p.Text(), c.text);
  }
  for (const auto &[id, flags] : {std::pair{kIdA, 0u}, std::pair{kIdC, 1u}}) {  // CONFIGFLAG_DISABLED
    SP_DEVINFO_DATA device = MemberOf(set, id);
    Property p = Get(set, device, SPDRP_CONFIGFLAGS);
    EXPECT_EQ(p.type, DWORD(REG_DWORD));
    ASSERT_EQ(p.bytes.size(), sizeof(DWORD));
    EXPECT_EQ(*reinterpret_cast<DWORD *>(p.bytes.data()), flags);
  }
  SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceProperties, TwoCallSizingOfAMultiString) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA);
  const std::wstring expected(
      L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\0PCI\\VEN_8086&DEV_1572&SUBSYS_00018086\0\0",
      44 + 1 + 37 + 1 + 1);
  const DWORD needed = DWORD(expected.size() * sizeof(WCHAR));

  DWORD type = kSentinel, required = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &a, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, needed);
  EXPECT_EQ(type, DWORD(REG_MULTI_SZ));

  // One byte short: nothing is written.
  std::vector<BYTE> buffer(needed + 64, 0xAB);
  required = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(
      SetupDiGetDeviceRegistryPropertyW(set, &a, SPDRP_HARDWAREID, nullptr, buffer.data(), needed - 1, &required));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, needed);
  EXPECT_EQ(buffer, std::vector<BYTE>(needed + 64, 0xAB));

  // A null buffer with a size is refused as Wine refuses it.
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &a, SPDRP_HARDWAREID, nullptr, nullptr, needed, &required));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));

  // Exactly the size: the list, its double terminator, and nothing after it.
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &a, SPDRP_HARDWAREID, &type, buffer.data(), needed, &required));
  EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t *>(buffer.data()), expected.size()), expected);
  EXPECT_EQ(std::vector<BYTE>(buffer.begin() + needed, buffer.end()), std::vector<BYTE>(64, 0xAB));
  // A reader that walks the entries stops at the empty one, inside the size given.
  size_t entries = 0, at = 0;
  auto *text = reinterpret_cast<const wchar_t *>(buffer.data());
  while (at < expected.size() && text[at]) {
    at += std::wcslen(text + at) + 1;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);
  EXPECT_EQ(at + 1, expected.size());
  SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceProperties, ManyAndLongHardwareIds) {
  std::string ids, expectedText;
  std::wstring expected;
  for (int i = 0; i < 300; ++i) {
    std::string id = "PCI\\VEN_8086&DEV_" + std::to_string(1000 + i);
    ids += (i ? ", '" : "'") + id + "'";
    expected += winsim::FromUtf8(id) + L'\0';
  }
  const std::string longId = "PCI\\" + std::string(996, 'X');  // 1,000 characters
  expected += winsim::FromUtf8(longId) + L'\0';
  expected += L'\0';
  TestMachine machine(Device("PCI\\VEN_8086&DEV_1\\0",
                             "hardware_ids = [" + ids + ", '" + longId + "', '']\ncompatible_ids = ['', '']"));
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA device = MemberOf(set, L"PCI\\VEN_8086&DEV_1\\0");
  Property p = Get(set, device, SPDRP_HARDWAREID);
  ASSERT_EQ(p.error, DWORD(ERROR_SUCCESS));
  EXPECT_EQ(p.bytes.size(), expected.size() * sizeof(WCHAR));
  EXPECT_EQ(p.Text(), expected);  // the empty entry is left out, the list stays well formed
  EXPECT_EQ(Get(set, device, SPDRP_COMPATIBLEIDS).error, DWORD(ERROR_INVALID_DATA));  // only empty entries
  Property reg = RegValue(EnumKey(L"PCI\\VEN_8086&DEV_1\\0"), L"HardwareID");
  EXPECT_EQ(reg.error, DWORD(ERROR_SUCCESS));
  EXPECT_EQ(reg.bytes, p.bytes);
  SetupDiDestroyDeviceInfoList(set);
  machine.Reopen();
  EXPECT_EQ(ReadAll(machine.Dir() / "registry.reg").find("DEV_1000"), std::string::npos);
}

// ---- installation parameters --------------------------------------------------------------------

TEST(DeviceInstallParams, PerMemberAndPerSetWithReadOnlyFlagsKept) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA), c = MemberOf(set, kIdC);
  SP_DEVINSTALL_PARAMS_W p;
  std::memset(&p, 0xAB, sizeof p);
  p.cbSize = sizeof p;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &a, &p));
  EXPECT_EQ(p.Flags, 0u);
  EXPECT_EQ(p.FlagsEx, 0u);
  EXPECT_EQ(p.DriverPath[0], L'\0');

  p.Flags = DI_QUIETINSTALL | DI_DIDCOMPAT;  // DI_DIDCOMPAT is SetupAPI's own
  p.FlagsEx = DI_FLAGSEX_INSTALLEDDRIVER | DI_FLAGSEX_DIDCOMPATINFO;
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, &a, &p));
  auto back = Sized<SP_DEVINSTALL_PARAMS_W>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &a, &back));
  EXPECT_EQ(back.Flags, DWORD(DI_QUIETINSTALL));
  EXPECT_EQ(back.FlagsEx, DWORD(DI_FLAGSEX_INSTALLEDDRIVER));
  for (SP_DEVINFO_DATA *other : {&c, static_cast<SP_DEVINFO_DATA *>(nullptr)}) {
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, other, &back));
    EXPECT_EQ(back.Flags, 0u);
    EXPECT_EQ(back.FlagsEx, 0u);
  }

  // Building the list sets DI_DIDCOMPAT; setting the parameters keeps it; destroying clears it.
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &a, SPDIT_COMPATDRIVER));
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &a, &back));
  EXPECT_EQ(back.Flags, DWORD(DI_QUIETINSTALL | DI_DIDCOMPAT));
  EXPECT_EQ(back.FlagsEx, DWORD(DI_FLAGSEX_INSTALLEDDRIVER | DI_FLAGSEX_DIDCOMPATINFO));
  back.Flags = 0;
  back.FlagsEx = DI_FLAGSEX_INSTALLEDDRIVER;
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, &a, &back));
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &a, &back));
  EXPECT_EQ(back.Flags, DWORD(DI_DIDCOMPAT));
  ASSERT_TRUE(SetupDiDestroyDriverInfoList(set, &a, SPDIT_COMPATDRIVER));
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &a, &back));
  EXPECT_EQ(back.Flags, 0u);
  EXPECT_EQ(back.FlagsEx, DWORD(DI_FLAGSEX_INSTALLEDDRIVER));
  SetupDiDestroyDeviceInfoList(set);
}

// ---- the installed driver ------------------------------------------------------------------------

// Builds the list of the member's installed driver.
bool BuildInstalledDriverList(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD type = SPDIT_COMPATDRIVER) {
  auto p = Sized<SP_DEVINSTALL_PARAMS_W>();
  if (!SetupDiGetDeviceInstallParamsW(set, &device, &p)) return false;
  p.FlagsEx |= DI_FLAGSEX_INSTALLEDDRIVER;
  return SetupDiSetDeviceInstallParamsW(set, &device, &p) && SetupDiBuildDriverInfoList(set, &device, type);
}

TEST(InstalledDriver, ListHoldsTheInstalledDriver) {
  TestMachine machine(kMachine);
  machine.Write(L"C:\\Windows\\INF\\oem3.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n");
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA);
  auto driver = Sized<SP_DRVINFO_DATA_W>();
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 0, &driver));  // no list yet
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  ASSERT_TRUE(BuildInstalledDriverList(set, a));
  ASSERT_TRUE(SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(driver.DriverType, DWORD(SPDIT_COMPATDRIVER));
  EXPECT_EQ(std::wstring(driver.Description), L"Ethernet Adapter Driver");
  EXPECT_EQ(std::wstring(driver.MfgName), L"Intel");
  EXPECT_EQ(std::wstring(driver.ProviderName), L"Intel Corp");
  EXPECT_EQ(driver.DriverVersion, (DWORDLONG(1) << 48) | (DWORDLONG(2) << 32) | (3 << 16) | 4);
  SYSTEMTIME st = {2019, 5, 0, 1, 0, 0, 0, 0};
  FILETIME midnight;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &midnight));
  EXPECT_EQ(driver.DriverDate.dwLowDateTime, midnight.dwLowDateTime);
  EXPECT_EQ(driver.DriverDate.dwHighDateTime, midnight.dwHighDateTime);
  auto second = Sized<SP_DRVINFO_DATA_W>();
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 1, &second));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));

  // A V1 record is filled up to its end and not past it.
  std::vector<BYTE> v1(sizeof(SP_DRVINFO_DATA_V1_W) + 32, 0xAB);
  reinterpret_cast<SP_DRVINFO_DATA_V1_W *>(v1.data())->cbSize = sizeof(SP_DRVINFO_DATA_V1_W);
  ASSERT_TRUE(SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 0, reinterpret_cast<SP_DRVINFO_DATA_W *>(v1.data())));
  EXPECT_EQ(std::wstring(reinterpret_cast<SP_DRVINFO_DATA_V1_W *>(v1.data())->ProviderName), L"Intel Corp");
  EXPECT_EQ(std::vector<BYTE>(v1.end() - 32, v1.end()), std::vector<BYTE>(32, 0xAB));

  auto params = Sized<SP_DRVINSTALL_PARAMS>();
  ASSERT_TRUE(SetupDiGetDriverInstallParamsW(set, &a, &driver, &params));
  EXPECT_EQ(params.Rank, 0xFF0001u);
  EXPECT_EQ(params.Flags, DWORD(DNF_INBOX_DRIVER | DNF_INSTALLEDDRIVER));

  std::vector<BYTE> buffer(8192, 0xAB);
  auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W *>(buffer.data());
  detail->cbSize = sizeof *detail;
  DWORD required = kSentinel;
  ASSERT_TRUE(SetupDiGetDriverInfoDetailW(set, &a, &driver, detail, DWORD(buffer.size()), &required));
  const std::wstring matching = L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086";
  EXPECT_EQ(required, offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID) + (matching.size() + 2) * sizeof(WCHAR));
  EXPECT_EQ(std::wstring(detail->SectionName), L"z40e.ndi");
  EXPECT_EQ(std::wstring(detail->InfFileName), L"C:\\Windows\\INF\\oem3.inf");
  EXPECT_EQ(std::wstring(detail->DrvDescription), L"Ethernet Adapter Driver");
  EXPECT_EQ(std::wstring(detail->HardwareID, matching.size() + 2), matching + std::wstring(2, L'\0'));
  EXPECT_EQ(detail->CompatIDsOffset, DWORD(matching.size() + 1));
  EXPECT_EQ(detail->CompatIDsLength, 0u);
  HANDLE inf =
      CreateFileW(L"C:\\Windows\\INF\\oem3.inf", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME written;
  ASSERT_TRUE(GetFileTime(inf, nullptr, nullptr, &written));
  CloseHandle(inf);
  EXPECT_EQ(detail->InfDate.dwLowDateTime, written.dwLowDateTime);
  EXPECT_EQ(detail->InfDate.dwHighDateTime, written.dwHighDateTime);

  // Asking for the size alone.
  required = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDriverInfoDetailW(set, &a, &driver, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID) + (matching.size() + 2) * sizeof(WCHAR));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDriverInfoDetailW(set, &a, &driver, nullptr, 100, &required));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));

  // The list goes with SetupDiDestroyDriverInfoList, which also succeeds with nothing to destroy.
  ASSERT_TRUE(SetupDiDestroyDriverInfoList(set, &a, SPDIT_COMPATDRIVER));
  EXPECT_TRUE(SetupDiDestroyDriverInfoList(set, &a, SPDIT_COMPATDRIVER));
  EXPECT_TRUE(SetupDiDestroyDriverInfoList(set, nullptr, SPDIT_CLASSDRIVER));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiGetDriverInstallParamsW(set, &a, &driver, &params));  // its node is gone
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  SetupDiDestroyDeviceInfoList(set);
}

TEST(InstalledDriver, OtherListsAndDevicesWithoutADriver) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA), c = MemberOf(set, kIdC);
  auto driver = Sized<SP_DRVINFO_DATA_W>();

  // No driver installed: the list is built, and empty.
  ASSERT_TRUE(BuildInstalledDriverList(set, c));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDriverInfoW(set, &c, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));

  // The class driver list of the member with the flag: the installed driver as a class driver.
  ASSERT_TRUE(BuildInstalledDriverList(set, a, SPDIT_CLASSDRIVER));
  ASSERT_TRUE(SetupDiEnumDriverInfoW(set, &a, SPDIT_CLASSDRIVER, 0, &driver));
  EXPECT_EQ(driver.DriverType, DWORD(SPDIT_CLASSDRIVER));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDriverInfoW(set, &a, SPDIT_COMPATDRIVER, 0, &driver));  // a list of its own
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));

  // Without the flag the list is searched in %windir%\INF, which holds no INF here: empty.
  SP_DEVINFO_DATA b = MemberOf(set, kIdB);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &b, SPDIT_COMPATDRIVER));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiEnumDriverInfoW(set, &b, SPDIT_COMPATDRIVER, 0, &driver));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
  const struct {
    SP_DEVINFO_DATA *device;
    DWORD type, error;
  } refused[] = {
      {nullptr, SPDIT_CLASSDRIVER, ERROR_CALL_NOT_IMPLEMENTED},  // the class drivers of a whole set
      {nullptr, SPDIT_COMPATDRIVER, ERROR_INVALID_PARAMETER},    // compatible drivers need a device
      {&b, SPDIT_NODRIVER, ERROR_INVALID_PARAMETER},
  };
  for (const auto &r : refused) {
    SCOPED_TRACE(::testing::Message() << "type " << r.type);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiBuildDriverInfoList(set, r.device, r.type));
    EXPECT_EQ(GetLastError(), r.error);
  }
  SetupDiDestroyDeviceInfoList(set);
}

TEST(InstalledDriver, DetailOfALongIdInAShortBuffer) {
  const std::string matching = "PCI\\" + std::string(996, 'M');  // 1,000 characters
  TestMachine machine(Device("PCI\\VEN_1\\0",
                             "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n"
                             "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem9.inf'\n"
                             "section = \"long.ndi\"\ndescription = \"Long\"\nmatching_id = '" +
                                 matching + "'"));
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA device = MemberOf(set, L"PCI\\VEN_1\\0");
  ASSERT_TRUE(BuildInstalledDriverList(set, device));
  auto driver = Sized<SP_DRVINFO_DATA_W>();
  ASSERT_TRUE(SetupDiEnumDriverInfoW(set, &device, SPDIT_COMPATDRIVER, 0, &driver));
  const DWORD needed = DWORD(offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID) + 1002 * sizeof(WCHAR));
  const size_t guard = 256;

  for (DWORD size : {DWORD(sizeof(SP_DRVINFO_DETAIL_DATA_W)), needed - DWORD(sizeof(WCHAR))}) {
    SCOPED_TRACE(size);
    std::vector<BYTE> buffer(size + guard, 0xAB);
    auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W *>(buffer.data());
    detail->cbSize = sizeof *detail;
    DWORD required = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDriverInfoDetailW(set, &device, &driver, detail, size, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, needed);
    // The fixed part is complete.
    EXPECT_EQ(std::wstring(detail->SectionName), L"long.ndi");
    EXPECT_EQ(std::wstring(detail->InfFileName), L"C:\\Windows\\INF\\oem9.inf");
    EXPECT_EQ(std::wstring(detail->DrvDescription), L"Long");
    EXPECT_EQ(detail->CompatIDsOffset, 1001u);
    EXPECT_EQ(detail->CompatIDsLength, 0u);
    EXPECT_EQ(detail->InfDate.dwLowDateTime | detail->InfDate.dwHighDateTime, 0u);  // no such file
    // Nothing was written past the size given.
    EXPECT_EQ(std::vector<BYTE>(buffer.begin() + size, buffer.end()), std::vector<BYTE>(guard, 0xAB));
  }
  std::vector<BYTE> buffer(needed + guard, 0xAB);
  auto *detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W *>(buffer.data());
  detail->cbSize = sizeof *detail;
  ASSERT_TRUE(SetupDiGetDriverInfoDetailW(set, &device, &driver, detail, needed, nullptr));
  EXPECT_EQ(std::wstring(detail->HardwareID, 1002), winsim::FromUtf8(matching) + std::wstring(2, L'\0'));
  EXPECT_EQ(std::vector<BYTE>(buffer.begin() + needed, buffer.end()), std::vector<BYTE>(guard, 0xAB));
  SetupDiDestroyDeviceInfoList(set);
}

// ---- the configuration manager ----------------------------------------------------------------------

TEST(ConfigManager, StatusAndProblem) {
  const ULONG nt = DN_NT_ENUMERATOR | DN_NT_DRIVER;
  const struct {
    const wchar_t *id;
    CONFIGRET result;
    ULONG status, problem;
  } cases[] = {
      {kIdA, CR_SUCCESS, nt | DN_DRIVER_LOADED | DN_STARTED | DN_DISABLEABLE, 0},
      {kIdB, CR_NO_SUCH_DEVINST, kSentinel, kSentinel},  // not present: no device node
      {kIdC, CR_SUCCESS, nt | DN_ROOT_ENUMERATED | DN_HAS_PROBLEM | DN_DISABLEABLE, CM_PROB_DISABLED},
      {kIdD, CR_SUCCESS, nt | DN_HAS_PROBLEM | DN_DISABLEABLE | DN_PRIVATE_PROBLEM, 28},
      {kIdE, CR_SUCCESS, nt, 0},
  };
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  for (const auto &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.id));
    ULONG status = kSentinel, problem = kSentinel;
    EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, MemberOf(set, c.id).DevInst, 0, nullptr), c.result);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(problem, c.problem);
  }
  DEVINST a = MemberOf(set, kIdA).DevInst;
  ULONG status, problem;
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(nullptr, &problem, a, 0, nullptr), DWORD(CR_INVALID_POINTER));
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, nullptr, a, 0, nullptr), DWORD(CR_INVALID_POINTER));
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, a, 1, nullptr), DWORD(CR_INVALID_FLAG));
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, 999, 0, nullptr), DWORD(CR_INVALID_DEVNODE));
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, a, 0, HMACHINE(uintptr_t(4))), DWORD(CR_CALL_NOT_IMPLEMENTED));
  SetupDiDestroyDeviceInfoList(set);
}

TEST(ConfigManager, DeviceIdAndItsBuffer) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  const DEVINST c = MemberOf(set, kIdC).DevInst;  // ROOT\SYSTEM\0000: 16 characters
  const struct {
    ULONG length;
    CONFIGRET result;
    const wchar_t *text;  // the buffer afterwards ('#' where nothing was written)
  } cases[] = {
      {15, CR_BUFFER_SMALL, L"##################"},
      {16, CR_SUCCESS, L"ROOT\\SYSTEM\\0000##"},  // exactly the ID: no terminator
      {17, CR_SUCCESS, L"ROOT\\SYSTEM\\0000\0#"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.length);
    std::wstring buffer(18, L'#');
    EXPECT_EQ(CM_Get_Device_ID_ExW(c, buffer.data(), k.length, 0, nullptr), k.result);
    EXPECT_EQ(buffer, std::wstring(k.text, 18));
  }
  // The ID of a device that is not present is still known.
  EXPECT_EQ(InstanceId(MemberOf(set, kIdB).DevInst), kIdB);
  wchar_t id[MAX_DEVICE_ID_LEN];
  EXPECT_EQ(CM_Get_Device_ID_ExW(c, nullptr, 10, 0, nullptr), DWORD(CR_INVALID_POINTER));
  EXPECT_EQ(CM_Get_Device_ID_ExW(c, id, MAX_DEVICE_ID_LEN, 2, nullptr), DWORD(CR_INVALID_FLAG));
  EXPECT_EQ(CM_Get_Device_ID_ExW(0, id, MAX_DEVICE_ID_LEN, 0, nullptr), DWORD(CR_INVALID_DEVNODE));
  EXPECT_EQ(CM_Get_Device_ID_ExW(c, id, MAX_DEVICE_ID_LEN, 0, HMACHINE(uintptr_t(4))), DWORD(CR_CALL_NOT_IMPLEMENTED));
  SetupDiDestroyDeviceInfoList(set);
}

// ---- the registry keys of the devices -----------------------------------------------------------

TEST(DeviceRegistry, KeysAgreeWithSetupApi) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA);
  const struct {
    DWORD property;
    const wchar_t *value;
  } mirrored[] = {
      {SPDRP_DEVICEDESC, L"DeviceDesc"},
      {SPDRP_HARDWAREID, L"HardwareID"},
      {SPDRP_COMPATIBLEIDS, L"CompatibleIDs"},
      {SPDRP_CLASS, L"Class"},
      {SPDRP_CLASSGUID, L"ClassGUID"},
      {SPDRP_DRIVER, L"Driver"},
      {SPDRP_MFG, L"Mfg"},
      {SPDRP_CONFIGFLAGS, L"ConfigFlags"},
  };
  for (const auto &m : mirrored) {
    SCOPED_TRACE(winsim::ToUtf8(m.value));
    Property fromSetupApi = Get(set, a, m.property);
    Property fromRegistry = RegValue(EnumKey(kIdA), m.value);
    ASSERT_EQ(fromRegistry.error, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(fromRegistry.type, fromSetupApi.type);
    EXPECT_EQ(fromRegistry.bytes, fromSetupApi.bytes);
  }
  const std::wstring driverKey = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Class\\") + kNetDriverKey;
  const struct {
    const wchar_t *value, *text;
  } driver[] = {
      {L"InfPath", L"oem3.inf"},
      {L"InfSection", L"z40e.ndi"},
      {L"DriverDesc", L"Ethernet Adapter Driver"},
      {L"ProviderName", L"Intel Corp"},
      {L"DriverVersion", L"1.2.3.4"},
      {L"DriverDate", L"5-1-2019"},
      {L"MatchingDeviceId", L"pci\\ven_8086&dev_1572&subsys_00018086"},
  };
  for (const auto &d : driver) {
    SCOPED_TRACE(winsim::ToUtf8(d.value));
    Property p = RegValue(driverKey, d.value);
    ASSERT_EQ(p.error, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(p.type, DWORD(REG_SZ));
    EXPECT_EQ(p.Text(), std::wstring(d.text) + L'\0');
  }
  SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceRegistry, KeysAreOrdinaryKeysKeptInRegistryReg) {
  TestMachine machine(kMachine);
  const std::wstring driverKey = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Class\\") + kNetDriverKey;
  // What an INF's AddReg writes below the driver key (HKR) and a device's own subkey.
  const struct {
    std::wstring key;
    const wchar_t *value;
  } written[] = {
      {driverKey, L"*IfType"},
      {driverKey + L"\\Ndi\\params\\*JumboPacket", L"default"},
      {EnumKey(kIdA) + L"\\Device Parameters", L"Kept"},
  };
  for (const auto &w : written) {
    HKEY h;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, w.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(h, w.value, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), sizeof one),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }
  // Two runs: what was written survives both, and the derived values are there each time.
  for (int run = 0; run < 2; ++run) {
    machine.Reopen();
    SCOPED_TRACE(run);
    for (const auto &w : written) EXPECT_EQ(RegValue(w.key, w.value).error, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(RegValue(EnumKey(kIdA), L"Class").Text(), std::wstring(L"Net\0", 4));
    EXPECT_EQ(RegValue(driverKey, L"DriverVersion").Text(), std::wstring(L"1.2.3.4\0", 8));
    const std::string saved = ReadAll(machine.Dir() / "registry.reg");
    EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\SYSTEM\\0000]\r\n"),
              std::string::npos);
    EXPECT_NE(saved.find("\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0000]\r\n\"InfPath\"=\"oem3.inf\""),
              std::string::npos);
  }
}

TEST(DeviceRegistry, MachineTomlRefreshesTheValuesItDerives) {
  TestMachine machine(kMachine);
  winsim::CloseMachine();
  std::ofstream(machine.Dir() / "registry.reg", std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\SYSTEM\\0000]\r\n"
         "\"Class\"=\"Stale\"\r\n\"Mfg\"=\"Stale\"\r\n\"Extra\"=dword:00000001\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\SYSTEM\\0000\\Device Parameters]\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\OTHER\\0000]\r\n\"Kept\"=\"yes\"\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\z40e\\Enum]\r\n\"Count\"=dword:00000001\r\n\r\n";
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(machine.Dir(), error)) << error;
  // Derived from [[devices]]: replaced, or removed when the device has no such fact (no driver).
  EXPECT_EQ(RegValue(EnumKey(kIdC), L"Class").Text(), std::wstring(L"System\0", 7));
  EXPECT_EQ(RegValue(EnumKey(kIdC), L"Mfg").error, DWORD(ERROR_FILE_NOT_FOUND));
  // Everything else is the registry's own.
  EXPECT_EQ(RegValue(EnumKey(kIdC), L"Extra").error, DWORD(ERROR_SUCCESS));
  EXPECT_EQ(RegValue(L"SYSTEM\\CurrentControlSet\\Services\\z40e\\Enum", L"Count").error, DWORD(ERROR_SUCCESS));
  HKEY h;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (EnumKey(kIdC) + L"\\Device Parameters").c_str(), 0, KEY_READ, &h),
            ERROR_SUCCESS);
  RegCloseKey(h);
  machine.Reopen();
  const std::string saved = ReadAll(machine.Dir() / "registry.reg");
  EXPECT_EQ(saved.find("Stale"), std::string::npos);
  EXPECT_NE(saved.find("\\Enum\\ROOT\\SYSTEM\\0000\\Device Parameters]"), std::string::npos);
  EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\OTHER\\0000]"), std::string::npos);
}

TEST(VolatileKeys, LiveUntilTheMachineCloses) {
  TestMachine machine;
  auto create = [](const wchar_t *path, DWORD options, DWORD *disposition = nullptr) {
    HKEY h;
    LSTATUS e =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &h, disposition);
    if (e == ERROR_SUCCESS) RegCloseKey(h);
    return e;
  };
  const struct {
    const wchar_t *path;
    DWORD options;
    LSTATUS result;
    bool survives;
  } steps[] = {
      {L"SOFTWARE\\KvnTest\\Kept", 0, ERROR_SUCCESS, true},
      {L"SOFTWARE\\KvnTest\\Kept\\Gone", REG_OPTION_VOLATILE, ERROR_SUCCESS, false},
      {L"SOFTWARE\\KvnTest\\Kept\\Gone\\Child", REG_OPTION_VOLATILE, ERROR_SUCCESS, false},
      {L"SOFTWARE\\KvnTest\\Kept\\Gone\\Saved", 0, ERROR_CHILD_MUST_BE_VOLATILE, false},
      {L"SOFTWARE\\KvnTest\\Kept\\Gone\\A\\B", 0, ERROR_CHILD_MUST_BE_VOLATILE, false},
      {L"SOFTWARE\\KvnTest\\Kept\\Gone\\Child", 0, ERROR_SUCCESS, false},  // opened as it is
      {L"SOFTWARE\\KvnTest\\Kept", REG_OPTION_VOLATILE, ERROR_SUCCESS, true},
      {L"SOFTWARE\\KvnTest\\Fresh\\Deep", REG_OPTION_VOLATILE, ERROR_SUCCESS, false},  // parents too
  };
  for (const auto &s : steps) EXPECT_EQ(create(s.path, s.options), s.result) << winsim::ToUtf8(s.path);
  HKEY h;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Kept\\Gone\\A", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);  // the failed creation made nothing
  machine.Reopen();
  for (const auto &s : steps) {
    if (s.result != ERROR_SUCCESS) continue;
    LSTATUS e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, s.path, 0, KEY_READ, &h);
    EXPECT_EQ(e, s.survives ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND) << winsim::ToUtf8(s.path);
    if (e == ERROR_SUCCESS) RegCloseKey(h);
  }
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Fresh", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  // A saved key whose only subkeys were volatile is saved itself.
  EXPECT_NE(ReadAll(machine.Dir() / "registry.reg").find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KvnTest\\Kept]\r\n"),
            std::string::npos);
}

// ---- loading ----------------------------------------------------------------------------------------

TEST(DeviceLoad, WrongEntriesAreRefusedWithTheirReason) {
  const std::string ok = Device("PCI\\VEN_1\\0");
  const struct {
    std::string toml;
    const char *reason;
  } cases[] = {
      {"[[devices]]\nclass = \"Net\"\n", "entry 1: instance_id is missing"},
      {Device(""), "entry 1: instance_id is empty"},
      {ok + Device("pci\\ven_1\\0"), "entry 2 ('pci\\ven_1\\0'): instance_id is also entry 1's"},
      {Device("PCI\\" + std::string(193, 'X') + "\\00"), "instance_id has 200 characters"},
      {Device("PCI\\VEN_1"), "not of the form enumerator\\device\\instance"},
      {Device("PCI\\\\0"), "not of the form"},
      {"[[devices]]\ninstance_id = 5\n", "instance_id must be a text"},
      {Device("PCI\\VEN_1\\0", "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE1031}\""), "class_guid \"{4D36E972"},
      {Device("PCI\\VEN_1\\0", "class_guid = \"4D36E972-E325-11CE-BFC1-08002BE10318\""), "is not a GUID"},
      {Device("PCI\\VEN_1\\0", "interfaces = [\"{nope}\"]"), "interfaces \"{nope}\" is not a GUID"},
      {Device("PCI\\VEN_1\\0", "status = \"running\""), "status \"running\" is not"},
      {Device("PCI\\VEN_1\\0", "status = \"problem\""), "needs a problem number"},
      {Device("PCI\\VEN_1\\0", "present = \"yes\""), "present must be true or false"},
      {Device("PCI\\VEN_1\\0", "hardware_ids = 'PCI\\VEN_1'"), "hardware_ids must be a list of texts"},
      {Device("PCI\\VEN_1\\0", "compatible_ids = [1]"), "compatible_ids must be a list of texts"},
      {Device("PCI\\VEN_1\\0", "problem = -1"), "problem -1 does not fit 32 bits"},
      {Device("PCI\\VEN_1\\0", "[devices.driver]\nversion = \"1.0.0.0\""), "needs the device's class_guid"},
      {Device("PCI\\VEN_1\\0",
              "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n[devices.driver]\n"
              "version = \"1.2.3\""),
       "driver.version \"1.2.3\" is not a.b.c.d"},
      {Device("PCI\\VEN_1\\0",
              "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n[devices.driver]\n"
              "version = \"1.2.3.65536\""),
       "driver.version"},
      {Device("PCI\\VEN_1\\0",
              "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n[devices.driver]\n"
              "date = \"2019-02-29\""),
       "driver.date \"2019-02-29\" is not a date"},
      {Device("PCI\\VEN_1\\0",
              "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n[devices.driver]\n"
              "rank = \"0\""),
       "driver.rank must be a number"},
      {"devices = 3\n", "devices must be [[devices]] tables"},
      {Device("PCI\\VEN_1\\0", "hardware_id = []"), "hardware_id is not a known key"},
      {Device("PCI\\VEN_1\\0", "[devices.behaviour]\nenable_fail = true"), "behaviour.enable_fail is not a known key"},
      {Device("PCI\\VEN_1\\0", "[devices.behaviour]\nupdate_error = \"5\""), "behaviour.update_error must be a number"},
      {Device("PCI\\VEN_1\\0",
              "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n[devices.driver]\n"
              "date = \"2026-02-31\""),
       "driver.date \"2026-02-31\" is not a date"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.toml);
    std::string error = LoadError(c.toml);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    if (!error.empty()) {
      // <dir>/machine.toml:<line>: ...
      size_t at = error.find("machine.toml:");
      ASSERT_NE(at, std::string::npos) << error;
      EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(error[at + 13]))) << error;
    }
  }
  EXPECT_EQ(LoadError(Device("PCI\\" + std::string(192, 'X') + "\\00")), "");  // 199 characters
  EXPECT_EQ(LoadError(ok + Device("PCI\\VEN_1\\1")), "");
}

// ---- entry points and faults --------------------------------------------------------------------------

TEST(DeviceSets, FoundThroughGetProcAddressAndFaultInjection) {
  TestMachine machine(std::string(kMachine) +
                      "\n[[faults]]\nfunction = \"SetupDiGetClassDevsW\"\nnth = 2\nerror = 8\n");
  HMODULE setupapi = LoadLibraryW(L"setupapi.dll"), cfgmgr = LoadLibraryW(L"cfgmgr32.dll");
  ASSERT_NE(setupapi, nullptr);
  ASSERT_NE(cfgmgr, nullptr);
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(setupapi, "SetupDiGetClassDevsW")),
            reinterpret_cast<void *>(&SetupDiGetClassDevsW));
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(setupapi, "CM_Get_DevNode_Status_Ex")),
            reinterpret_cast<void *>(&CM_Get_DevNode_Status_Ex));
  EXPECT_EQ(reinterpret_cast<void *>(GetProcAddress(cfgmgr, "CM_Get_Device_ID_ExW")),
            reinterpret_cast<void *>(&CM_Get_Device_ID_ExW));

  HDEVINFO first = AllDevices();
  EXPECT_NE(first, INVALID_HANDLE_VALUE);
  SetLastError(kSentinel);
  EXPECT_EQ(AllDevices(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  HDEVINFO third = AllDevices();
  EXPECT_NE(third, INVALID_HANDLE_VALUE);
  SetupDiDestroyDeviceInfoList(first);
  SetupDiDestroyDeviceInfoList(third);
}

}  // namespace

namespace {

TEST(DeviceRemoval, ClassGuidsByName) {
  TestMachine machine(kMachine);
  const GUID kUsbClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
  const GUID kLegacyClass = {0x8ECC055D, 0x047F, 0x11D1, {0xA5, 0x37, 0x00, 0x00, 0xF8, 0x75, 0x3E, 0xD1}};
  const struct {
    const wchar_t *name;
    DWORD room;
    BOOL result;
    DWORD required;
    const GUID *first;
  } cases[] = {
      {L"usb", 5, TRUE, 1, &kUsbClass},              // a device's class
      {L"Net", 5, TRUE, 1, &kNetClass},              // a device's and a built-in class, once
      {L"LegacyDriver", 5, TRUE, 1, &kLegacyClass},  // every Windows has it
      {L"NoSuchClass", 5, TRUE, 0, nullptr},
      {L"Net", 0, FALSE, 1, nullptr},  // ERROR_INSUFFICIENT_BUFFER
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name) + " room " + std::to_string(c.room));
    GUID guids[5] = {};
    DWORD required = kSentinel;
    SetLastError(kSentinel);
    EXPECT_EQ(SetupDiClassGuidsFromNameW(c.name, c.room ? guids : nullptr, c.room, &required), c.result);
    EXPECT_EQ(required, c.required);
    if (!c.result) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    }
    if (c.first) {
      EXPECT_TRUE(IsEqualGUID(guids[0], *c.first));
    }
  }
}

TEST(DeviceRemoval, OpenByInstanceIdIntoAnEmptySet) {
  TestMachine machine(kMachine);
  const GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  const struct {
    const GUID *setClass;
    const wchar_t *id;
    DWORD flags;
    DWORD error;           // ERROR_SUCCESS: opened
    const wchar_t *opens;  // the device it opens
  } cases[] = {
      {&kSystemClass, L"root\\system\\0000", DIOD_INHERIT_CLASSDRVS, ERROR_SUCCESS, kIdC},
      {nullptr, kIdD, 0, ERROR_SUCCESS, kIdD},
      {&kNetClass, L"ROOT\\SYSTEM\\0000", 0, ERROR_CLASS_MISMATCH, nullptr},
      {nullptr, L"ROOT\\LEGACY_NONE\\0000", 0, ERROR_NO_SUCH_DEVINST, nullptr},
      {nullptr, L"ROOT\\SYSTEM", 0, ERROR_INVALID_DEVINST_NAME, nullptr},
      {nullptr, L"ROOT\\SYSTEM\\0000", 0x8, ERROR_INVALID_FLAGS, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.id));
    HDEVINFO set = SetupDiCreateDeviceInfoList(c.setClass, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    auto data = Sized<SP_DEVINFO_DATA>();
    SetLastError(kSentinel);
    BOOL opened = SetupDiOpenDeviceInfoW(set, c.id, nullptr, c.flags, &data);
    EXPECT_EQ(opened, c.error == ERROR_SUCCESS);
    if (opened) {
      // Opened twice, it is one member.
      EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, c.id, nullptr, 0, nullptr));
      EXPECT_EQ(Members(set).size(), 1u);
      EXPECT_EQ(InstanceId(data.DevInst), c.opens);
    } else {
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(Members(set), "");
    }
    SetupDiDestroyDeviceInfoList(set);
  }
}

TEST(DeviceRemoval, RemovedDeviceLeavesTheMachine) {
  TestMachine machine(kMachine);
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  auto data = Sized<SP_DEVINFO_DATA>();
  ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, kIdA, nullptr, 0, &data));
  ASSERT_TRUE(SetupDiRemoveDevice(set, &data));
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupDiRemoveDevice(set, &data));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_DEVINST));
  SetupDiDestroyDeviceInfoList(set);

  auto keyExists = [](const std::wstring &path) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
  };
  const std::wstring enumKey = std::wstring(L"SYSTEM\\CurrentControlSet\\Enum\\") + kIdA;
  const std::wstring driverKey = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Class\\") + kNetDriverKey;
  EXPECT_FALSE(keyExists(enumKey));
  EXPECT_FALSE(keyExists(driverKey));
  HDEVINFO all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  EXPECT_EQ(Members(all), "BCDE");
  SetupDiDestroyDeviceInfoList(all);

  // The machine keeps the removal: the entry is gone, the others keep their state.
  machine.Reopen();
  EXPECT_FALSE(keyExists(enumKey));
  all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  EXPECT_EQ(Members(all), "BCDE");
  SetupDiDestroyDeviceInfoList(all);
}

}  // namespace

// ---- the class installer's state changes ---------------------------------------------------------

namespace {

const char *const kChangeDriver =
    "class_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n[devices.driver]\nservice = 'z40e'\n";

// DIF_PROPERTYCHANGE with `change` on the device's member: the error (0 on success).
DWORD PropertyChange(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD change) {
  SP_PROPCHANGE_PARAMS p{{sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE}, change, DICS_FLAG_CONFIGSPECIFIC, 0};
  if (!SetupDiSetClassInstallParamsW(set, &device, &p.ClassInstallHeader, sizeof p)) return GetLastError();
  return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &device) ? 0 : GetLastError();
}

ULONG Status(DEVINST devInst, bool problemNumber = false) {
  ULONG status = 0, problem = 0;
  if (CM_Get_DevNode_Status_Ex(&status, &problem, devInst, 0, nullptr) != CR_SUCCESS) return kSentinel;
  return problemNumber ? problem : status;
}

}  // namespace

TEST(ClassInstaller, PropertyChangeRecordsAndTheirErrors) {
  TestMachine machine(Device("PCI\\A\\1", kChangeDriver) + Device("PCI\\B\\1", "present = false") +
                      Device("PCI\\C\\1", std::string(kChangeDriver) + "[devices.behaviour]\ndisable_fails = true\n"));
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, L"PCI\\A\\1"), b = MemberOf(set, L"PCI\\B\\1"), c = MemberOf(set, L"PCI\\C\\1");
  // No record yet.
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &a));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_CLASSINSTALL_PARAMS));
  SP_PROPCHANGE_PARAMS p{{sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE}, DICS_DISABLE, DICS_FLAG_GLOBAL, 0};
  struct Case {
    const char *name;
    DWORD headerSize, size;
    DWORD error;
  } records[] = {
      {"a header of the wrong size", 12, sizeof p, ERROR_INVALID_USER_BUFFER},
      {"a record of the wrong size", sizeof(SP_CLASSINSTALL_HEADER), sizeof p + 4, ERROR_INVALID_PARAMETER},
      {"shorter than its header", sizeof(SP_CLASSINSTALL_HEADER), 4, ERROR_INVALID_USER_BUFFER},
  };
  for (const Case &r : records) {
    p.ClassInstallHeader.cbSize = r.headerSize;
    EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &a, &p.ClassInstallHeader, r.size)) << r.name;
    EXPECT_EQ(GetLastError(), r.error) << r.name;
  }
  EXPECT_FALSE(SetupDiCallClassInstaller(0x99, set, &a));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_EQ(PropertyChange(set, a, 0), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(PropertyChange(set, b, DICS_DISABLE), DWORD(ERROR_NO_SUCH_DEVINST));  // no device node
  EXPECT_EQ(PropertyChange(set, c, DICS_DISABLE), DWORD(ERROR_NOT_DISABLEABLE));
  EXPECT_EQ(Status(c.DevInst) & DN_STARTED, ULONG(DN_STARTED));
  // A record of the set serves every member that has none of its own.
  p.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, nullptr, &p.ClassInstallHeader, sizeof p));
  ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &a, nullptr, 0));  // the member's own goes
  auto params = Sized<SP_DEVINSTALL_PARAMS_W>();
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &a, &params));
  EXPECT_EQ(params.Flags & DI_CLASSINSTALLPARAMS, 0u);
  EXPECT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &a));
  EXPECT_EQ(Status(a.DevInst), ULONG(DN_HAS_PROBLEM | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER));
  EXPECT_EQ(Status(a.DevInst, true), ULONG(CM_PROB_DISABLED));
  SetupDiDestroyDeviceInfoList(set);
}

TEST(ClassInstaller, StateChangesLastAndAskForARestartWhenTheDeviceSaysSo) {
  TestMachine machine(
      Device("PCI\\A\\1", kChangeDriver) +
      Device("PCI\\R\\1", std::string(kChangeDriver) + "[devices.behaviour]\nstate_change_needs_restart = true\n") +
      Device("PCI\\N\\1", "status = 'disabled'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'") +
      Device("PCI\\I\\1", std::string(kChangeDriver) + "[devices.behaviour]\nstays_down = true\n"));
  struct Step {
    const wchar_t *id;
    DWORD change;
    ULONG started;  // DN_STARTED afterwards
    bool restart;
  } steps[] = {
      {L"PCI\\A\\1", DICS_DISABLE, 0, false},
      {L"PCI\\A\\1", DICS_ENABLE, DN_STARTED, false},
      {L"PCI\\A\\1", DICS_STOP, 0, false},
      {L"PCI\\A\\1", DICS_START, DN_STARTED, false},
      // R cannot be stopped: it runs until the restart disables it.
      {L"PCI\\R\\1", DICS_DISABLE, DN_STARTED, true},
      {L"PCI\\N\\1", DICS_ENABLE, 0, false},  // no driver: problem 28
      {L"PCI\\I\\1", DICS_DISABLE, 0, false},
      {L"PCI\\I\\1", DICS_ENABLE, 0, false},  // the enable is dropped
  };
  for (const Step &s : steps) {
    HDEVINFO set = AllDevices();
    SP_DEVINFO_DATA d = MemberOf(set, s.id);
    EXPECT_EQ(PropertyChange(set, d, s.change), 0u);
    EXPECT_EQ(Status(d.DevInst) & DN_STARTED, s.started) << winsim::ToUtf8(s.id) << " " << s.change;
    auto params = Sized<SP_DEVINSTALL_PARAMS_W>();
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &d, &params));
    EXPECT_EQ((params.Flags & DI_NEEDRESTART) != 0, s.restart) << winsim::ToUtf8(s.id);
    SetupDiDestroyDeviceInfoList(set);
  }
  EXPECT_EQ(Status(3, true), ULONG(CM_PROB_FAILED_INSTALL));
  // The changes are the machine's: its registry and machine.toml keep them.
  EXPECT_EQ(RegValue(EnumKey(L"PCI\\R\\1"), L"ConfigFlags").bytes, (std::vector<BYTE>{1, 0, 0, 0}));
  machine.Reopen();
  EXPECT_EQ(Status(2) & (DN_STARTED | DN_NEED_RESTART), ULONG(DN_STARTED | DN_NEED_RESTART));
  EXPECT_EQ(Status(1) & DN_STARTED, ULONG(DN_STARTED));
  std::vector<winsim::RestartStep> restart;
  std::string error;
  ASSERT_TRUE(winsim::RestartMachine(restart, error)) << error;
  EXPECT_EQ(Status(2, true), ULONG(CM_PROB_DISABLED));
  EXPECT_EQ(Status(2) & DN_NEED_RESTART, 0u);
}

TEST(DeviceProperties, UnifiedPropertiesTheirTypesAndErrors) {
  TestMachine machine(kMachine);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA a = MemberOf(set, kIdA), c = MemberOf(set, kIdC);
  DEVPROPTYPE type = kSentinel;
  DWORD required = 0;
  struct Case {
    SP_DEVINFO_DATA *device;
    const DEVPROPKEY *key;
    DWORD error;
    DEVPROPTYPE type;
    std::wstring text;
  } cases[] = {
      {&a, &DEVPKEY_Device_DriverVersion, 0, DEVPROP_TYPE_STRING, std::wstring(L"1.2.3.4") + L'\0'},
      {&a, &DEVPKEY_Device_DriverInfPath, 0, DEVPROP_TYPE_STRING, std::wstring(L"oem3.inf") + L'\0'},
      {&a, &DEVPKEY_Device_CompatibleIds, 0, DEVPROP_TYPE_STRING_LIST,
       std::wstring(L"PCI\\VEN_8086&DEV_1572\0PCI\\CC_020000\0\0", 37)},
      {&c, &DEVPKEY_Device_DriverVersion, ERROR_NOT_FOUND, kSentinel, L""},
      {&c, &DEVPKEY_Device_ProblemCode, 0, DEVPROP_TYPE_UINT32, std::wstring(1, wchar_t(CM_PROB_DISABLED))},
  };
  for (const Case &k : cases) {
    type = kSentinel;
    SetLastError(0);
    BOOL ok = SetupDiGetDevicePropertyW(set, k.device, k.key, &type, nullptr, 0, &required, 0);
    EXPECT_FALSE(ok);
    if (k.error) {
      EXPECT_EQ(GetLastError(), k.error);
      continue;
    }
    ASSERT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> bytes(required);
    ASSERT_TRUE(SetupDiGetDevicePropertyW(set, k.device, k.key, &type, bytes.data(), required, nullptr, 0));
    EXPECT_EQ(type, k.type);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(WCHAR)), k.text);
  }
  BYTE buffer[8];
  EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &a, nullptr, &type, buffer, 8, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
  EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &a, &DEVPKEY_Device_InstanceId, nullptr, buffer, 8, nullptr, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
  EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &a, &DEVPKEY_Device_InstanceId, &type, buffer, 8, nullptr, 1));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
  SetupDiDestroyDeviceInfoList(set);
}

TEST(LocalMemory, ZeroedBlocksFreedOnlyByLocalFree) {
  TestMachine machine;
  auto *p = static_cast<BYTE *>(LocalAlloc(LMEM_ZEROINIT, 64));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::count(p, p + 64, 0), 64);
  HGLOBAL g = GlobalAlloc(GPTR, 8);
  EXPECT_EQ(LocalFree(g), g);  // not a block of LocalAlloc
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(p), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_EQ(GlobalFree(g), nullptr);
}

// ---- the services' device lists ---------------------------------------------------------------

namespace {

const wchar_t *const kZ40eEnum = L"SYSTEM\\CurrentControlSet\\Services\\z40e\\Enum";

// Count, NextInstance and the values 0 ... Count-1 of a service's list, "|"-joined.
std::string ServiceList(const wchar_t *key) {
  Property count = RegValue(key, L"Count"), next = RegValue(key, L"NextInstance");
  if (count.error) return "(none)";
  DWORD n = 0, nextInstance = 0;
  std::memcpy(&n, count.bytes.data(), 4);
  std::memcpy(&nextInstance, next.bytes.data(), 4);
  std::string out = std::to_string(n) + "/" + std::to_string(nextInstance);
  for (DWORD i = 0; i < n; ++i) {
    std::wstring text = RegValue(key, std::to_wstring(i).c_str()).Text();
    out += "|" + winsim::ToUtf8(text.substr(0, text.find(L'\0')));
  }
  return out;
}

void SetServiceList(const std::vector<std::wstring> &ids) {
  HKEY h;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kZ40eEnum, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), 0);
  DWORD n = DWORD(ids.size());
  RegSetValueExW(h, L"Count", 0, REG_DWORD, reinterpret_cast<BYTE *>(&n), 4);
  RegSetValueExW(h, L"NextInstance", 0, REG_DWORD, reinterpret_cast<BYTE *>(&n), 4);
  for (DWORD i = 0; i < n; ++i)
    RegSetValueExW(h, std::to_wstring(i).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(ids[i].c_str()),
                   DWORD((ids[i].size() + 1) * sizeof(WCHAR)));
  RegCloseKey(h);
}

}  // namespace

TEST(ServiceDeviceLists, EveryDeviceChangeUpdatesTheListOfItsService) {
  const std::string machineToml =
      Device("PCI\\A\\1", kChangeDriver) + Device("PCI\\B\\1", kChangeDriver) +
      Device("PCI\\C\\1", std::string("status = 'disabled'\n") + kChangeDriver) +
      Device("PCI\\D\\1",
             "class_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n[devices.driver]\nservice = 'other'\n");
  struct Case {
    const char *name;
    std::vector<std::wstring> before;
    const wchar_t *device;
    DWORD change;  // DICS_*, or 0: remove the device
    std::string after;
  } cases[] = {
      {"disable a listed device", {L"PCI\\A\\1", L"PCI\\B\\1"}, L"PCI\\A\\1", DICS_DISABLE, "1/1|PCI\\B\\1"},
      {"enable a disabled one",
       {L"PCI\\A\\1", L"PCI\\B\\1"},
       L"PCI\\C\\1",
       DICS_ENABLE,
       "3/3|PCI\\A\\1|PCI\\B\\1|PCI\\C\\1"},
      {"stop one", {L"PCI\\A\\1", L"PCI\\B\\1"}, L"PCI\\B\\1", DICS_STOP, "1/1|PCI\\A\\1"},
      {"remove one", {L"PCI\\A\\1", L"PCI\\B\\1"}, L"PCI\\A\\1", 0, "1/1|PCI\\B\\1"},
      {"no change leaves the list as it is", {L"PCI\\B\\1"}, L"PCI\\A\\1", DICS_ENABLE, "1/1|PCI\\B\\1"},
      {"a stale list is the registry's: only the changed device is touched",
       {L"PCI\\GONE\\1", L"pci\\a\\1"},
       L"PCI\\A\\1",
       DICS_DISABLE,
       "1/1|PCI\\GONE\\1"},
      {"a device of another service leaves this list alone",
       {L"PCI\\A\\1"},
       L"PCI\\D\\1",
       DICS_DISABLE,
       "1/1|PCI\\A\\1"},
  };
  for (const Case &c : cases) {
    TestMachine machine(machineToml);
    HKEY h;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\z40e", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &h, nullptr),
              0);
    DWORD type = 1;
    RegSetValueExW(h, L"Type", 0, REG_DWORD, reinterpret_cast<BYTE *>(&type), 4);
    RegCloseKey(h);
    SetServiceList(c.before);
    machine.Reopen();  // the list is loaded as it was saved, not rebuilt
    std::string loaded = ServiceList(kZ40eEnum);
    EXPECT_EQ(loaded.substr(0, loaded.find('|')),
              std::to_string(c.before.size()) + "/" + std::to_string(c.before.size()))
        << c.name;
    HDEVINFO set = AllDevices();
    SP_DEVINFO_DATA d = MemberOf(set, c.device);
    if (c.change)
      EXPECT_EQ(PropertyChange(set, d, c.change), 0u) << c.name;
    else
      EXPECT_TRUE(SetupDiRemoveDevice(set, &d)) << c.name;
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(ServiceList(kZ40eEnum), c.after) << c.name;
    machine.Reopen();
    EXPECT_EQ(ServiceList(kZ40eEnum), c.after) << c.name << " (saved)";
  }
  // A service without a key gains no list.
  TestMachine machine(machineToml);
  HDEVINFO set = AllDevices();
  SP_DEVINFO_DATA c = MemberOf(set, L"PCI\\C\\1");
  EXPECT_EQ(PropertyChange(set, c, DICS_ENABLE), 0u);
  EXPECT_EQ(ServiceList(kZ40eEnum), "(none)");
  SetupDiDestroyDeviceInfoList(set);
}

// A non-PnP driver's service gets its device node ROOT\LEGACY_<SERVICE>\0000 when it starts, up
// to Windows 7 / Server 2008 R2: the node stays, the service's list holds it while it runs.
// From Windows 8 / Server 2012 on no such node is made.
TEST(ServiceDeviceLists, ALegacyDriverHasItsLegacyNodeUpToWindows7) {
  const wchar_t *legacyEnum = L"SYSTEM\\CurrentControlSet\\Services\\Legacy\\Enum";
  const wchar_t *legacyNode = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\LEGACY_LEGACY\\0000";
  struct Step {
    const wchar_t *service;
    bool start;
    std::string legacyList, z40eList;
  };
  const struct {
    const char *os;
    std::string toml;
    bool nodes;
  } systems[] = {
      {"Windows 7", "[os]\nmajor = 6\nminor = 1\nbuild = 7601\n", true},
      {"Server 2012", "[os]\nmajor = 6\nminor = 2\nbuild = 9200\n", false},
  };
  for (const auto &os : systems) {
    SCOPED_TRACE(os.os);
    TestMachine machine(os.toml + Device("PCI\\A\\1", kChangeDriver));
    for (const wchar_t *name : {L"z40e", L"Legacy"}) {
      HKEY h;
      std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + name;
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
                0);
      DWORD type = SERVICE_KERNEL_DRIVER, start = SERVICE_DEMAND_START;
      RegSetValueExW(h, L"Type", 0, REG_DWORD, reinterpret_cast<BYTE *>(&type), 4);
      RegSetValueExW(h, L"Start", 0, REG_DWORD, reinterpret_cast<BYTE *>(&start), 4);
      RegCloseKey(h);
    }
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr);
    const std::string listed = os.nodes ? "1/1|ROOT\\LEGACY_LEGACY\\0000" : "(none)";
    const Step steps[] = {
        {L"Legacy", true, listed, "(none)"},
        {L"z40e", true, listed, "(none)"},  // a PnP driver's service: its devices list it
        {L"Legacy", false, os.nodes ? "0/0" : "(none)", "(none)"},
    };
    for (const Step &st : steps) {
      SC_HANDLE svc = OpenServiceW(scm, st.service, SERVICE_ALL_ACCESS);
      ASSERT_NE(svc, nullptr);
      SERVICE_STATUS status;
      if (st.start)
        EXPECT_TRUE(StartServiceW(svc, 0, nullptr));
      else
        EXPECT_TRUE(ControlService(svc, SERVICE_CONTROL_STOP, &status));
      CloseServiceHandle(svc);
      EXPECT_EQ(ServiceList(legacyEnum), st.legacyList) << winsim::ToUtf8(st.service);
      EXPECT_EQ(ServiceList(kZ40eEnum), st.z40eList) << winsim::ToUtf8(st.service);
    }
    CloseServiceHandle(scm);
    HKEY node = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, legacyNode, 0, KEY_READ, &node) == ERROR_SUCCESS, os.nodes);
    if (node) RegCloseKey(node);
  }
}
