// The present-device list: records of enumerated devices and their installed drivers, the
// component's PnP device list of hardware IDs, and the lookups over it.
#include <gtest/gtest.h>
#include <windows.h>
#include <cfgmgr32.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/basecomp.h"
#include "devices/devicelist.h"
#include "devices/hardwareid.h"
#include "testmachine.h"

namespace {

const char kNetClass[] = "class = \"Net\"\nclass_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n";
const char kSystemClass[] = "class = \"System\"\nclass_guid = \"{4D36E97D-E325-11CE-BFC1-08002BE10318}\"\n";
const char kDiskClass[] = "class = \"DiskDrive\"\nclass_guid = \"{4D36E967-E325-11CE-BFC1-08002BE10318}\"\n";

std::string TomlList(const std::vector<std::string> &items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", '" : "'") + items[i] + "'";
  return out + "]";
}

// A [[devices]] entry; `more` adds keys and tables of its own (a driver table comes last).
std::string Device(const std::string &instance, const std::vector<std::string> &hardwareIds,
                   const std::string &more = kNetClass) {
  return "[[devices]]\ninstance_id = '" + instance + "'\nhardware_ids = " + TomlList(hardwareIds) + "\n" + more + "\n";
}

std::string Driver(const std::string &version, int flags, const std::string &matchingId = "PCI\\VEN_8086&DEV_1572") {
  return "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem3.inf'\nsection = \"Z40E.ndi\"\n"
         "description = \"Ethernet Network Adapter\"\nmanufacturer = \"Intel\"\nprovider = \"Intel\"\n"
         "version = \"" +
         version + "\"\ndate = \"2019-05-01\"\nflags = " + std::to_string(flags) + "\nmatching_id = '" + matchingId +
         "'\n";
}

// The hardware IDs Windows 10 reports for a 1572 adapter, and the older releases' extra forms.
const std::vector<std::string> kAdapterIds = {"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01",
                                              "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086",
                                              "PCI\\VEN_8086&DEV_1572&CC_020000",
                                              "PCI\\VEN_8086&DEV_1572&CC_0200",
                                              "PCI\\VEN_8086&DEV_1572&REV_01",
                                              "PCI\\VEN_8086&DEV_1572"};
const char kAdapter[] = "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008";

std::wstring widen(const std::string &text) { return std::wstring(text.begin(), text.end()); }

struct Probe : CBaseComponent {
  std::vector<std::wstring> Entries() const {
    std::vector<std::wstring> out;
    for (const DeviceRecord &r : GetDeviceList()) out.emplace_back(r.strHardwareId.GetString());
    return out;
  }
};

std::vector<std::wstring> Strings(const WCHAR *multi) {
  std::vector<std::wstring> out;
  for (; *multi; multi += std::wcslen(multi) + 1) out.emplace_back(multi);
  return out;
}

}  // namespace

TEST(PnPDeviceList, EntriesAreTheIdsWithoutRevisionOrClassForms) {
  TestMachine machine(Device(kAdapter, kAdapterIds, std::string(kNetClass) + Driver("1.10.128.0", 0)) +
                      // Reported in lower case: only the first ID keeps its case.
                      Device("PCI\\VEN_8086&DEV_1572&SUBSYS_00028086&REV_02\\4&1&0&00E0",
                             {"pci\\ven_8086&dev_1572&subsys_00028086&rev_02", "pci\\ven_8086&dev_1572&subsys_00028086",
                              "pci\\ven_8086&dev_1572&cc_020000"}) +
                      Device("ACPI\\PNP0B00\\0", {"ACPI\\PNP0B00", "*PNP0B00"}, kSystemClass));
  Probe component;
  EXPECT_EQ(component.BuildDeviceList(FALSE), 1);
  EXPECT_EQ(component.Entries(),
            (std::vector<std::wstring>{L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086", L"PCI\\VEN_8086&DEV_1572",
                                       L"pci\\ven_8086&dev_1572&subsys_00028086&rev_02",
                                       L"PCI\\VEN_8086&DEV_1572&SUBSYS_00028086", L"ACPI\\PNP0B00", L"*PNP0B00"}));

  const struct {
    std::wstring text;
    int found;
  } lookups[] = {
      {L"PCI\\VEN_8086&DEV_1572", 1},
      {L"pci\\ven_8086&dev_1572", 1},  // without regard to case
      {L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086", 1},
      {L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01", 0},  // reported, but never an entry
      {L"PCI\\VEN_8086&DEV_1572&CC_020000", 0},
      {L"PCI\\VEN_8086&DEV_157", 0},  // no prefix matching
      {L"PCI\\VEN_8086&DEV_1572&SUBSYS", 0},
      {L"PCI\\VEN_8086&DEV_1572 ", 0},
      {L"*pnp0b00", 1},
      {L"", 0},
      {MakeHardwareId(L"808615728086").GetString(), 0},  // a 12-character code forms no ID
      {MakeHardwareId(L"8086157280860001").GetString(), 1},
      {MakeHardwareId(L"80861572").GetString(), 1},
  };
  for (const auto &l : lookups) {
    SCOPED_TRACE(l.text);
    EXPECT_EQ(component.FindDevice(l.text.c_str()), l.found);
  }
  EXPECT_EQ(component.FindDevice(nullptr), 0);

  DeviceRecord found;
  ASSERT_EQ(component.FindDevice(L"pci\\ven_8086&dev_1572&subsys_00018086", &found), 1);
  EXPECT_EQ(std::wstring(found.strHardwareId), L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086");
  EXPECT_TRUE(found.Device().HasSet());
  EXPECT_EQ(std::wstring(found.Device().GetDriverVersionText()), L"1.10.128.0");
}

TEST(PnPDeviceList, FindDeviceBuildsTheListOnFirstUseAndCountDevicesReplacesIt) {
  TestMachine machine(Device(kAdapter, kAdapterIds) +
                      Device("PCI\\VEN_8086&DEV_1572&SUBSYS_00028086&REV_01\\4&1&0&00E0",
                             {"PCI\\VEN_8086&DEV_1572&SUBSYS_00028086&REV_01", "PCI\\VEN_8086&DEV_1572"}) +
                      Device("PCI\\VEN_14E4&DEV_165F\\4&2&0&00E1", {"PCI\\VEN_14E4&DEV_165F&SUBSYS_1F5B1028&REV_00"}));
  Probe component;
  EXPECT_TRUE(component.GetDeviceList().empty());
  EXPECT_EQ(component.FindDevice(L"PCI\\VEN_14E4&DEV_165F&SUBSYS_1F5B1028&REV_00"), 0);
  EXPECT_EQ(component.GetDeviceList().size(), 3u);

  // Counting looks at each device's first ID only, and leaves the list built that way.
  EXPECT_EQ(component.CountDevices(L"dev_1572"), 2);
  EXPECT_EQ(component.CountDevices(L"SUBSYS_0001"), 1);
  EXPECT_EQ(component.CountDevices(L"&rev_0"), 3);
  EXPECT_EQ(component.CountDevices(L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01X"), 0);
  EXPECT_EQ(component.Entries(), (std::vector<std::wstring>{L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01",
                                                            L"PCI\\VEN_8086&DEV_1572&SUBSYS_00028086&REV_01",
                                                            L"PCI\\VEN_14E4&DEV_165F&SUBSYS_1F5B1028&REV_00"}));
  EXPECT_EQ(component.CountDevices(nullptr), 0);
}

TEST(PnPDeviceList, InstalledDriverDataOfEachDevice) {
  const std::string longMatchingId = "PCI\\VEN_8086&DEV_1572&SUBSYS_" + std::string(1000, 'A');
  TestMachine machine(Device(kAdapter, {kAdapterIds[1]}, std::string(kNetClass) + Driver("1.10.128.0", 0)) +
                      Device("PCI\\VEN_8086&DEV_1572\\1", {"PCI\\VEN_8086&DEV_1572&SUBSYS_00028086"},
                             std::string(kNetClass) + Driver("65535.2.3.4", 0x100000, longMatchingId)) +
                      Device("PCI\\VEN_8086&DEV_1572\\2", {"PCI\\VEN_8086&DEV_1572&SUBSYS_00038086"}));
  Probe component;
  component.BuildDeviceList(FALSE);
  ASSERT_EQ(component.GetDeviceList().size(), 3u);
  const W2KDEVINST &inboxless = component.GetDeviceList()[0].Device();
  const W2KDEVINST &inbox = component.GetDeviceList()[1].Device();
  const W2KDEVINST &driverless = component.GetDeviceList()[2].Device();

  EXPECT_EQ(std::wstring(inboxless.GetDriverDetail().InfFileName), L"C:\\Windows\\INF\\oem3.inf");
  EXPECT_EQ(std::wstring(inboxless.GetDriverDetail().SectionName), L"Z40E.ndi");
  EXPECT_EQ(std::wstring(inboxless.GetDriverData().ProviderName), L"Intel");
  EXPECT_EQ(inboxless.HasDriverFlag(DNF_INBOX_DRIVER), 0u);

  // The driver's hardware-ID list does not fit the detail record: its fixed part is still read.
  EXPECT_EQ(std::wstring(inbox.GetDriverDetail().InfFileName), L"C:\\Windows\\INF\\oem3.inf");
  EXPECT_EQ(std::wstring(inbox.GetDriverDetail().DrvDescription), L"Ethernet Network Adapter");
  EXPECT_EQ(inbox.HasDriverFlag(DNF_INBOX_DRIVER), DWORD(DNF_INBOX_DRIVER));
  EXPECT_EQ(inbox.HasDriverFlag(0x1), 0u);
  EXPECT_EQ(std::wstring(inbox.GetDriverVersionText()), L"65535.2.3.4");

  // A device without an installed driver is listed with empty driver data.
  EXPECT_TRUE(driverless.HasSet());
  EXPECT_EQ(std::wstring(driverless.GetDriverDetail().InfFileName), L"");
  EXPECT_EQ(std::wstring(driverless.GetDriverData().Description), L"");
  EXPECT_EQ(driverless.HasDriverFlag(0xFFFFFFFF), 0u);
  EXPECT_EQ(std::wstring(driverless.GetDriverVersionText()), L"0.0.0.0");

  // A fresh record holds no set: no flags, no properties, no version text.
  W2KDEVINST fresh;
  DWORD needed = 0;
  EXPECT_FALSE(fresh.HasSet());
  EXPECT_EQ(fresh.HasDriverFlag(0xFFFFFFFF), 0u);
  EXPECT_FALSE(fresh.ReadRegistryProperty(SPDRP_HARDWAREID, nullptr, nullptr, 0, &needed));
  EXPECT_EQ(std::wstring(fresh.GetDriverVersionText()), L"");
}

// Copies of a record are snapshots: every field as copied (the set handle's value and the
// driver flags too), but no SetupAPI call through the set, which may be gone by then.
TEST(PnPDeviceList, CopiedRecordsAreSnapshotsThatNeverReachTheSet) {
  TestMachine machine(Device(kAdapter, kAdapterIds, std::string(kNetClass) + Driver("1.10.128.0", 0x100000)));
  CWin2000DeviceList list;
  list.Build(TRUE);
  ASSERT_EQ(list.GetCount(), 1);
  const W2KDEVINST &record = *list.GetDevice(0);
  Probe component;  // its entries outlive the sets of the list it built
  component.BuildDeviceList(TRUE);
  ASSERT_EQ(component.GetDeviceList().size(), 1u);

  const struct {
    const char *name;
    std::function<std::shared_ptr<const W2KDEVINST>()> copy;
    bool sameSet;  // the copy names the live list's set
  } cases[] = {
      {"copy-constructed", [&] { return std::make_shared<const W2KDEVINST>(record); }, true},
      {"copy-assigned",
       [&] {
         auto target = std::make_shared<W2KDEVINST>();
         *target = record;
         return std::shared_ptr<const W2KDEVINST>(target);
       },
       true},
      {"an entry of the component's list",
       [&] {  // not owned: the entry stays the component's
         return std::shared_ptr<const W2KDEVINST>(std::shared_ptr<const W2KDEVINST>(),
                                                  &component.GetDeviceList()[0].Device());
       },
       false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::shared_ptr<const W2KDEVINST> copy = c.copy();
      EXPECT_TRUE(copy->IsSnapshot());
      EXPECT_TRUE(copy->HasSet());
      if (c.sameSet) {
        EXPECT_EQ(copy->GetSet(), record.GetSet());
      }
      EXPECT_EQ(copy->HasDriverFlag(DNF_INBOX_DRIVER), DWORD(DNF_INBOX_DRIVER));
      EXPECT_EQ(std::wstring(copy->GetDriverDetail().InfFileName), L"C:\\Windows\\INF\\oem3.inf");
      EXPECT_EQ(std::wstring(copy->GetDriverVersionText()), L"1.10.128.0");
      BYTE buffer[512];
      DWORD needed = 0xdeadbeef, type = 0xdeadbeef;
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(copy->ReadRegistryProperty(SPDRP_HARDWAREID, &type, buffer, sizeof(buffer), &needed));
      EXPECT_FALSE(copy->ReadRegistryProperty(SPDRP_DEVICEDESC, nullptr, nullptr, 0, &needed));
      EXPECT_EQ(needed, 0xdeadbeefu);
      EXPECT_EQ(type, 0xdeadbeefu);
      EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "the copy called SetupAPI";
    }
    // Destroying the copy destroyed nothing: the record still reads through its set.
    SP_DEVINFO_DATA device = record.GetDeviceData();
    SP_DRVINFO_DATA_V2_W driver;
    std::memset(&driver, 0, sizeof(driver));
    driver.cbSize = sizeof(driver);
    EXPECT_TRUE(SetupDiEnumDriverInfoW(record.GetSet(), &device, SPDIT_COMPATDRIVER, 0, &driver))
        << "the copy destroyed the driver list of the device it was taken from: " << GetLastError();
    DWORD needed = 0;
    EXPECT_FALSE(record.ReadRegistryProperty(SPDRP_HARDWAREID, nullptr, nullptr, 0, &needed));
    EXPECT_GT(needed, 0u);
  }
}

TEST(Win2000DeviceList, BothBuildFormsAndTheirOrder) {
  TestMachine machine(
      Device("SCSI\\DISK&VEN_DELL\\1", {"SCSI\\DiskDELL____PERC_H730P_Mini"}, kDiskClass) +
      Device("ACPI\\PNP0B00\\0", {"ACPI\\PNP0B00"}, kSystemClass) + Device(kAdapter, kAdapterIds) +
      Device("PCI\\VEN_8086&DEV_1572\\GONE", kAdapterIds, std::string(kNetClass) + "present = false\n"));
  auto instanceIds = [](const CWin2000DeviceList &list) {
    std::vector<std::wstring> out;
    for (int i = 0; i < list.GetCount(); ++i) {
      SP_DEVINFO_DATA device = list.GetDevice(i)->GetDeviceData();
      WCHAR id[MAX_DEVICE_ID_LEN] = L"";
      CM_Get_Device_ID_ExW(device.DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr);
      out.emplace_back(id);
    }
    return out;
  };
  CWin2000DeviceList all;
  all.Build(TRUE);
  EXPECT_EQ(instanceIds(all),
            (std::vector<std::wstring>{L"SCSI\\DISK&VEN_DELL\\1", L"ACPI\\PNP0B00\\0", widen(kAdapter)}));
  // By class: network adapters come before system devices; disk drives are not among the classes.
  CWin2000DeviceList byClass;
  byClass.Build(FALSE);
  EXPECT_EQ(instanceIds(byClass), (std::vector<std::wstring>{widen(kAdapter), L"ACPI\\PNP0B00\\0"}));
  EXPECT_EQ(byClass.GetDevice(2), nullptr);
  EXPECT_EQ(byClass.GetDevice(-1), nullptr);
}

TEST(Win2000DeviceList, GetHardwareIdsSizing) {
  TestMachine machine(Device(kAdapter, kAdapterIds));
  CWin2000DeviceList list;
  list.Build(TRUE);
  ASSERT_EQ(list.GetCount(), 1);

  DWORD size = 12345;
  EXPECT_FALSE(list.GetHardwareIds(0, nullptr, nullptr));
  EXPECT_FALSE(list.GetHardwareIds(1, nullptr, &size));
  EXPECT_EQ(size, 12345u) << "an index out of range writes nothing";

  size = 0;
  EXPECT_FALSE(list.GetHardwareIds(0, nullptr, &size));
  DWORD needed = size;
  size_t chars = 1;
  for (const auto &id : kAdapterIds) chars += id.size() + 1;
  EXPECT_EQ(needed, chars * sizeof(WCHAR));

  std::vector<WCHAR> buffer(chars + 8, L'#');
  size = needed - 1;
  EXPECT_FALSE(list.GetHardwareIds(0, reinterpret_cast<BYTE *>(buffer.data()), &size));
  EXPECT_EQ(size, needed);
  EXPECT_EQ(buffer[0], L'#') << "a buffer too small is left alone";
  ASSERT_TRUE(list.GetHardwareIds(0, reinterpret_cast<BYTE *>(buffer.data()), &size));
  EXPECT_EQ(Strings(buffer.data()).size(), kAdapterIds.size());
  EXPECT_EQ(Strings(buffer.data()).back(), L"PCI\\VEN_8086&DEV_1572");
  EXPECT_EQ(buffer[chars], L'#') << "written past the list";
}

TEST(Win2000DeviceList, MatchingHardwareIdsPreferTheExactLength) {
  TestMachine machine(
      Device(kAdapter, kAdapterIds) +
      Device("PCI\\VEN_8086&DEV_1572\\2", {"PCI\\VEN_8086&DEV_1572&REV_02", "PCI\\VEN_8086&DEV_1572&SUBSYS_00028086"}) +
      Device("PCI\\VEN_14E4&DEV_165F\\3", {"PCI\\VEN_14E4&DEV_165F"}));
  CWin2000DeviceList list;
  list.Build(TRUE);
  auto match = [&](const WCHAR *query) {
    std::vector<std::wstring> out;
    unique_hardware_ids ids = GetMatchingHardwareIds(list, query);
    for (WCHAR **p = ids.get(); p && *p; ++p) out.emplace_back(*p);
    return out;
  };
  // The exact-length ID wins over the earlier, more specific one; revision forms are not
  // taken as a first candidate.
  EXPECT_EQ(match(L"pci\\ven_8086&dev_1572"),
            (std::vector<std::wstring>{L"PCI\\VEN_8086&DEV_1572", L"PCI\\VEN_8086&DEV_1572&SUBSYS_00028086"}));
  EXPECT_EQ(match(L"DEV_1572"), (std::vector<std::wstring>{L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086",
                                                           L"PCI\\VEN_8086&DEV_1572&SUBSYS_00028086"}));
  EXPECT_EQ(match(L"VEN_14E4"), (std::vector<std::wstring>{L"PCI\\VEN_14E4&DEV_165F"}));
  EXPECT_EQ(GetMatchingHardwareIds(list, L"VEN_10EC"), nullptr);
  EXPECT_EQ(GetMatchingHardwareIds(list, nullptr), nullptr);
  FreeHardwareIdArray(nullptr);
}

TEST(PnPDeviceList, UnusualHardwareIdLists) {
  std::vector<std::string> many;
  for (int i = 0; i < 300; ++i) many.push_back("PCI\\VEN_1AF4&DEV_" + std::to_string(1000 + i) + "&SUBSYS_00000000");
  many.push_back("PCI\\VEN_8086&DEV_1572&SUBSYS_00018086");  // only past the first 2048 bytes
  const std::string longId = "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&X" + std::string(990, 'Y');

  const struct {
    const char *name;
    std::string toml;
    std::vector<std::wstring> entries;
  } cases[] = {
      {"no devices", "", {}},
      {"no hardware IDs", Device("ROOT\\LEGACY\\0000", {}), {}},
      {"hundreds of IDs", Device(kAdapter, many), {}},
      {"IDs of a thousand characters", Device(kAdapter, {longId, longId}), {widen(longId), widen(longId)}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(c.toml);
    Probe component;
    EXPECT_EQ(component.BuildDeviceList(FALSE), 1);
    if (c.name == std::string("hundreds of IDs")) {
      EXPECT_EQ(component.GetDeviceList().size(), many.size());
      EXPECT_EQ(component.FindDevice(L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086"), 1);
    } else {
      EXPECT_EQ(component.Entries(), c.entries);
    }
    CWin2000DeviceList list;
    list.Build(TRUE);
    unique_hardware_ids ids = GetMatchingHardwareIds(list, L"VEN_8086&DEV_1572&SUBSYS_00018086");
    EXPECT_EQ(ids != nullptr, c.toml.find("DEV_1572&SUBSYS_00018086") != std::string::npos);
  }
}
