// The device walk: which devices a CDeviceEnumerator stands on, the device node states it
// reports, enabling and disabling through the class installer, the hardware ID collection,
// property reads and what a copy of an enumerator may do with the set.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <devpkey.h>

#include <string>
#include <vector>

#include "devices/devenum.h"
#include "testmachine.h"

namespace {

const GUID kNetInterface = {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}};
constexpr DWORD kAll = DIGCF_PRESENT | DIGCF_ALLCLASSES;

std::string Dev(const std::string &instance, const std::string &firstId, const std::string &more = "") {
  return "[[devices]]\ninstance_id = '" + instance + "'\nhardware_ids = ['" + firstId + "', 'PCI\\VEN_X']\n" +
         "class = 'Net'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n" + more + "\n";
}
const char kLan[] = "interfaces = ['{AD498944-762F-11D0-8DCB-00C04FC3358C}']\n";
const char kDriver[] =
    "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem3.inf'\nversion = '1.10.128.0'\nservice = 'z40e'\n";

// Four adapters (two on the LAN interface class), a device without hardware IDs, a device
// whose first ID is shorter than the 1572 prefix.
std::string WalkMachine() {
  return Dev("PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\1", "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01",
             kLan) +
         Dev("PCI\\VEN_8086&DEV_1583\\2", "pci\\ven_8086&dev_1583&rev_02", kLan) +
         "[[devices]]\ninstance_id = 'ROOT\\NOIDS\\0000'\n\n" + Dev("PCI\\VEN_8086\\3", "PCI\\VEN_8086") +
         Dev("PCI\\VEN_10EC&DEV_8168\\4", "PCI\\VEN_10EC&DEV_8168&REV_15");
}

std::vector<std::wstring> Walk(CDeviceEnumerator &e) {
  std::vector<std::wstring> ids;
  e.First();
  while (const WCHAR *id = e.GetCurrentHardwareId()) {
    ids.emplace_back(id);
    e.Next();
  }
  e.Close();
  return ids;
}

CStrList List(const std::vector<const WCHAR *> &items) {
  CStrList l;
  for (const WCHAR *i : items) l.Add(i);
  return l;
}

}  // namespace

TEST(DeviceEnumerator, StandsOnTheDevicesItsPrefixesMatch) {
  TestMachine machine(WalkMachine());
  const std::wstring k1572 = L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01", k1583 = L"pci\\ven_8086&dev_1583&rev_02",
                     kShort = L"PCI\\VEN_8086", kRealtek = L"PCI\\VEN_10EC&DEV_8168&REV_15";
  struct Case {
    const char *name;
    std::vector<const WCHAR *> prefixes;
    const GUID *guid;
    DWORD flags;
    std::vector<std::wstring> expected;
  } cases[] = {
      {"an empty prefix matches every device", {L""}, nullptr, kAll, {k1572, k1583, kShort, kRealtek}},
      {"an empty list matches none", {}, nullptr, kAll, {}},
      {"case does not matter", {L"PCI\\ven_8086&DEV_1583"}, nullptr, kAll, {k1583}},
      {"a shorter first ID does not match", {L"PCI\\VEN_8086&DEV_"}, nullptr, kAll, {k1572, k1583}},
      {"every prefix is tried",
       {L"PCI\\VEN_10EC", L"PCI\\VEN_8086&DEV_1572", L"PCI\\"},
       nullptr,
       kAll,
       {k1572, k1583, kShort, kRealtek}},
      {"a full ID matches only that device",
       {L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01"},
       nullptr,
       kAll,
       {k1572}},
      {"the LAN interface class", {L"PCI\\VEN_8086"}, &kNetInterface, DIGCF_DEVICEINTERFACE, {k1572, k1583}},
      {"a set that cannot open is empty", {L""}, nullptr, 0, {}},
  };
  for (const Case &c : cases) {
    CStrList prefixes = List(c.prefixes);
    CDeviceEnumerator e(c.guid, c.flags, &prefixes);
    EXPECT_EQ(Walk(e), c.expected) << c.name;
    EXPECT_EQ(e.GetCurrentHardwareId(), nullptr) << c.name;
  }
  // The single-prefix form; without a prefix it does not filter.
  CDeviceEnumerator single(nullptr, kAll, L"PCI\\VEN_10ec");
  EXPECT_EQ(Walk(single), std::vector<std::wstring>{kRealtek});
  CDeviceEnumerator unfiltered(nullptr, kAll);
  EXPECT_EQ(Walk(unfiltered), (std::vector<std::wstring>{k1572, k1583, kShort, kRealtek}));
  // A second walk after Close; Close twice or before First does nothing.
  CDeviceEnumerator again(nullptr, kAll, L"PCI\\VEN_8086&DEV_1583");
  again.Close();
  EXPECT_EQ(Walk(again), std::vector<std::wstring>{k1583});
  EXPECT_EQ(Walk(again), std::vector<std::wstring>{k1583});
  again.Close();
}

TEST(DeviceEnumerator, LongIdsAreCutToTheirBuffers) {
  const std::string longId = "PCI\\VEN_8086&DEV_1572&" + std::string(400, 'A');
  TestMachine machine(Dev("PCI\\VEN_8086&DEV_1572\\1", longId, "description = '" + std::string(300, 'D') + "'"));
  CDeviceEnumerator e(nullptr, kAll, L"PCI\\VEN_8086&DEV_1572");
  e.First();
  ASSERT_NE(e.GetCurrentHardwareId(), nullptr);
  EXPECT_EQ(std::wstring(e.GetCurrentHardwareId()), std::wstring(longId.begin(), longId.begin() + 255));

  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, kAll);
  SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  WCHAR text[CDeviceEnumerator::kIdChars + 1];
  text[CDeviceEnumerator::kIdChars] = L'#';  // must stay
  auto &buffer = reinterpret_cast<WCHAR(&)[CDeviceEnumerator::kIdChars]>(text);
  EXPECT_TRUE(GetDeviceProperty(set, &data, DEVPKEY_Device_DeviceDesc, buffer));
  EXPECT_EQ(std::wstring(buffer), std::wstring(255, L'D'));
  EXPECT_EQ(text[CDeviceEnumerator::kIdChars], L'#');
  BYTE small[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_TRUE(GetRegistryProperty(set, &data, SPDRP_HARDWAREID, nullptr, small, 6));
  EXPECT_EQ(small[6], 1);  // nothing past the buffer
  SetupDiDestroyDeviceInfoList(set);
}

TEST(DeviceEnumerator, DeviceNodeStates) {
  struct Case {
    const char *more;
    int expected;
  } cases[] = {
      {"status = 'started'", NIC_STATUS_STARTED},
      {"status = 'disabled'", NIC_STATUS_DISABLED},
      {"status = 'problem'\nproblem = 10", NIC_STATUS_PROBLEM},
      {"status = 'problem'\nproblem = 22", NIC_STATUS_DISABLED},
      {"private_problem = true", NIC_STATUS_PROBLEM},  // even though started
      {"status = 'not_started'", NIC_STATUS_NOTSTARTED},
      {"present = false", NIC_STATUS_NOT_AVAILABLE},  // no device node
  };
  for (const Case &c : cases) {
    TestMachine machine(Dev("PCI\\VEN_8086&DEV_1572\\1", "PCI\\VEN_8086&DEV_1572", c.more));
    CDeviceEnumerator e(nullptr, DIGCF_ALLCLASSES);
    EXPECT_EQ(e.GetDevNodeStatus(), NIC_STATUS_NOT_AVAILABLE) << c.more;  // no set yet
    e.First();
    ASSERT_NE(e.GetCurrentHardwareId(), nullptr) << c.more;
    EXPECT_EQ(e.GetDevNodeStatus(), c.expected) << c.more;
  }
}

TEST(DeviceEnumerator, ChangeStateThroughTheClassInstaller) {
  struct Case {
    const char *name;
    std::string more;
    DWORD change;
    bool result;
    int after;
  } cases[] = {
      {"disable a started device", kDriver, DICS_DISABLE, true, NIC_STATUS_DISABLED},
      {"enable a disabled device", std::string("status = 'disabled'\n") + kDriver, DICS_ENABLE, true,
       NIC_STATUS_STARTED},
      {"enable a started device changes nothing", kDriver, DICS_ENABLE, true, NIC_STATUS_STARTED},
      {"disable refused", std::string(kDriver) + "[devices.behaviour]\ndisable_fails = true\n", DICS_DISABLE, false,
       NIC_STATUS_STARTED},
      {"enable refused", std::string("status = 'disabled'\n") + kDriver + "[devices.behaviour]\nenable_fails = true\n",
       DICS_ENABLE, false, NIC_STATUS_DISABLED},
      // The device cannot be stopped: it runs until the restart.
      {"a change needing a restart succeeds",
       std::string(kDriver) + "[devices.behaviour]\nstate_change_needs_restart = true\n", DICS_DISABLE, true,
       NIC_STATUS_STARTED},
      {"an unknown state change", kDriver, 9, false, NIC_STATUS_STARTED},
  };
  for (const Case &c : cases) {
    TestMachine machine(Dev("PCI\\VEN_8086&DEV_1572\\1", "PCI\\VEN_8086&DEV_1572", c.more));
    CDeviceEnumerator e(nullptr, kAll, L"PCI\\VEN_8086&DEV_1572");
    EXPECT_FALSE(e.ChangeState(c.change)) << c.name;  // no set open
    e.First();
    EXPECT_EQ(e.ChangeState(c.change), c.result) << c.name;
    e.Close();
    e.First();  // a new set sees the device as it is now
    EXPECT_EQ(e.GetDevNodeStatus(), c.after) << c.name;
  }
  // Each step of the change can fail.
  for (const char *function :
       {"SetupDiSetClassInstallParamsW", "SetupDiCallClassInstaller", "SetupDiGetDeviceInstallParamsW"}) {
    TestMachine machine(Dev("PCI\\VEN_8086&DEV_1572\\1", "PCI\\VEN_8086&DEV_1572", kDriver) +
                        "[[faults]]\nfunction = '" + function + "'\nerror = 5\n");
    CDeviceEnumerator e(nullptr, kAll, L"PCI\\VEN_8086&DEV_1572");
    e.First();
    EXPECT_FALSE(e.ChangeState(DICS_DISABLE)) << function;
  }
}

TEST(DeviceEnumerator, ACopyWalksTheSetWithoutOwningIt) {
  TestMachine machine(WalkMachine());
  CDeviceEnumerator e(nullptr, kAll, L"PCI\\VEN_8086");
  e.First();
  {
    CDeviceEnumerator copy(e);
    ASSERT_NE(copy.GetCurrentHardwareId(), nullptr);
    EXPECT_EQ(std::wstring(copy.GetCurrentHardwareId()), std::wstring(e.GetCurrentHardwareId()));
    copy.Next();
    EXPECT_EQ(std::wstring(copy.GetCurrentHardwareId()), L"pci\\ven_8086&dev_1583&rev_02");
    copy.Close();  // the set stays open for the original
  }
  // Destroying the copy left the original's set alone: on a destroyed set winsim stops the run.
  WCHAR id[CDeviceEnumerator::kInstanceIdChars];
  EXPECT_TRUE(e.GetInstanceId(id));
  EXPECT_EQ(std::wstring(id), L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\1");
  e.Next();
  EXPECT_EQ(std::wstring(e.GetCurrentHardwareId()), L"pci\\ven_8086&dev_1583&rev_02");
  EXPECT_EQ(e.GetDevNodeStatus(), NIC_STATUS_STARTED);
  e.Close();
  EXPECT_FALSE(e.GetInstanceId(id));
  EXPECT_EQ(id[0], L'\0');
}

TEST(DeviceEnumerator, CollectHardwareIdsAddsTheIdsNoEntryBegins) {
  TestMachine machine(WalkMachine());
  CDeviceEnumerator e(nullptr, kAll, L"PCI\\");
  CStrList list = List({L"pci\\ven_8086&dev_1572"});
  EXPECT_EQ(CollectHardwareIds(&e, &list), 4);
  std::vector<std::wstring> got;
  for (const CStr &s : list) got.emplace_back(s.GetString());
  EXPECT_EQ(got, (std::vector<std::wstring>{L"pci\\ven_8086&dev_1572", L"pci\\ven_8086&dev_1583&rev_02",
                                            L"PCI\\VEN_8086", L"PCI\\VEN_10EC&DEV_8168&REV_15"}));
  EXPECT_EQ(e.GetCurrentHardwareId(), nullptr);  // closed again
  EXPECT_EQ(CollectHardwareIds(nullptr, &list), 0);
  EXPECT_EQ(CollectHardwareIds(&e, nullptr), 0);
}

TEST(DeviceEnumerator, DevicePropertiesAndInvalidDevice) {
  TestMachine machine(Dev("PCI\\VEN_8086&DEV_1572\\1", "PCI\\VEN_8086&DEV_1572", kDriver) +
                      Dev("PCI\\VEN_8086&DEV_1583\\2", "PCI\\VEN_8086&DEV_1583"));
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, kAll);
  struct Case {
    DWORD member;
    const DEVPROPKEY *key;
    bool result;
    const WCHAR *expected;
  } cases[] = {
      {0, &DEVPKEY_Device_DriverVersion, true, L"1.10.128.0"},
      {0, &DEVPKEY_Device_Service, true, L"z40e"},
      {0, &DEVPKEY_Device_InstanceId, true, L"PCI\\VEN_8086&DEV_1572\\1"},
      {1, &DEVPKEY_Device_DriverVersion, false, L"INVALID DEVICE"},  // no driver
      {1, &DEVPKEY_Device_FriendlyName, false, L"INVALID DEVICE"},
  };
  for (const Case &c : cases) {
    SP_DEVINFO_DATA data{sizeof data, {}, 0, 0};
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, c.member, &data));
    WCHAR buffer[CDeviceEnumerator::kIdChars];
    EXPECT_EQ(GetDeviceProperty(set, &data, *c.key, buffer), c.result) << c.expected;
    EXPECT_EQ(std::wstring(buffer), c.expected);
  }
  SP_DEVINFO_DATA stale{sizeof stale, {}, 0, 0xBAD};
  WCHAR buffer[CDeviceEnumerator::kIdChars];
  EXPECT_FALSE(GetDeviceProperty(set, &stale, DEVPKEY_Device_InstanceId, buffer));
  EXPECT_EQ(std::wstring(buffer), L"INVALID DEVICE");
  SetupDiDestroyDeviceInfoList(set);
}
