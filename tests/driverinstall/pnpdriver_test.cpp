// The PnP driver update on the simulated machine: the hardware ID list, Run's five results,
// the staging in the pnpdrvs folder and the devices' driver keys and reboot flag afterwards.
#include <gtest/gtest.h>
#include <winsim.h>

#include <fstream>
#include <string>
#include <vector>

#include "driverinstall/pnpdriver.h"
#include "testmachine.h"

namespace {

const std::string kNetClass = "class = 'Net'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n";
const std::string kInfText =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n"
    "Provider=Kvn\nDriverVer=12/01/2026,2.5.0.0\n"
    "[Manufacturer]\nKvn=Models,NTamd64\n"
    "[Models.NTamd64]\n%Desc%=Install,PCI\\VEN_8086&DEV_1572\n%Desc%=Install,PCI\\VEN_8086&DEV_1571\n"
    "[DestinationDirs]\nDefaultDestDir=12\n"
    "[Install]\nCopyFiles=Drv.Copy\n[Install.Services]\nAddService=z40e,2,Svc\n"
    "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\z40e64.sys\n"
    "[Drv.Copy]\nz40e64.sys\n[Strings]\nDesc=\"Kvn adapter\"\n";

std::string Device(const std::string &dev, const std::string &behaviour) {
  return "[[devices]]\ninstance_id = 'PCI\\VEN_8086&DEV_" + dev + "&SUBSYS_00018086&REV_01\\4&1A2B&0&00" +
         dev.substr(2) + "'\nhardware_ids = ['PCI\\VEN_8086&DEV_" + dev +
         "&SUBSYS_00018086&REV_01', 'PCI\\VEN_8086&DEV_" + dev + "']\n" + kNetClass +
         (behaviour.empty() ? "" : "[devices.behaviour]\n" + behaviour);
}

// The DriverVersion of a device's driver key ("" when it has no driver).
std::wstring DriverVersionOf(const std::string &dev) {
  std::wstring enumKey = L"SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_8086&DEV_" + winsim::FromUtf8(dev) +
                         L"&SUBSYS_00018086&REV_01\\4&1A2B&0&00" + winsim::FromUtf8(dev.substr(2));
  WCHAR driver[128] = L"";
  DWORD bytes = sizeof driver;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, enumKey.c_str(), L"Driver", RRF_RT_REG_SZ, nullptr, driver, &bytes)) return L"";
  std::wstring classKey = L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + std::wstring(driver);
  WCHAR version[64] = L"";
  bytes = sizeof version;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, classKey.c_str(), L"DriverVersion", RRF_RT_REG_SZ, nullptr, version, &bytes))
    return L"";
  return version;
}

TEST(CWin2000PnPDriver, AddHardwareIdKeepsOneOfEachText) {
  CWin2000PnPDriver driver(L"z40e64.inf", TRUE);
  for (const WCHAR *id : {L"PCI\\VEN_8086&DEV_1572", L"PCI\\VEN_8086&DEV_1572", L"pci\\ven_8086&dev_1572",
                          static_cast<const WCHAR *>(nullptr), L"PCI\\VEN_8086&DEV_1571"})
    driver.AddHardwareId(id);
  std::vector<std::wstring> ids;
  for (const CStr &id : driver.GetHardwareIds()) ids.emplace_back(id);
  EXPECT_EQ(ids, (std::vector<std::wstring>{L"PCI\\VEN_8086&DEV_1572", L"pci\\ven_8086&dev_1572",
                                            L"PCI\\VEN_8086&DEV_1571"}));
}

TEST(CWin2000PnPDriver, RunUpdatesFromTheStagedPackage) {
  const std::string devices = Device("1572", "update_needs_reboot = true\n") + Device("1571", "update_error = 31\n");
  // Open to Users' changes of its access list and in use, so it can neither be kept nor
  // moved aside.
  const std::string unsafeFolder =
      "[[locked_files]]\npath = 'C:\\VADORUREV\\pnpdrvs'\n[[file_security]]\npath = 'C:\\VADORUREV'\nowner = "
      "'Administrators'\nprotected = true\nallow = [ { who = 'Administrators', access = 'full' }, { who = "
      "'SYSTEM', access = 'full' } ]\n[[file_security]]\npath = 'C:\\VADORUREV\\pnpdrvs'\n"
      "allow = [ { who = 'Users', access = 'full' } ]\n";
  const std::vector<const WCHAR *> both = {L"PCI\\VEN_8086&DEV_1572", L"PCI\\VEN_8086&DEV_1571"};
  const std::vector<const WCHAR *> first = {L"PCI\\VEN_8086&DEV_1572"};
  struct Case {
    const char *what;
    std::vector<const WCHAR *> ids;
    BOOL noOverwrite, skipped;
    std::string toml;  // added once the package and the staging folder are on the drive
    int result;
    DWORD reboot;
    bool staged;               // the INF is in the pnpdrvs folder afterwards
    bool firstUpdated;         // the 1572 device runs the package's driver afterwards
    bool lacksDriver = false;  // the package has no z40e64.sys
  } cases[] = {
      {"no ID, a device kept its driver on purpose", {}, 1, 1, "", 0, 0, false, false},
      {"no ID, not asked to keep drivers", {}, 1, 0, "", 1, 0, false, false},
      {"no ID, nothing kept", {}, 0, 1, "", 1, 0, false, false},
      {"no newdev.dll", first, 0, 0, "[os]\nmissing_dlls = ['newdev.dll']\n", 2, 0, false, false},
      {"newdev.dll without the update", first, 0, 0,
       "[os]\nmissing_exports = ['newdev.dll!UpdateDriverForPlugAndPlayDevicesW']\n", 3, 0, false, false},
      {"one device, its reboot request kept", first, 0, 0, "", 0, 1, true, true},
      {"the second update fails: the first stays done", both, 0, 0, "", 4, 1, true, true},
      {"a staging folder that cannot be made safe: no update", first, 0, 0, unsafeFolder, 4, 0, false, false},
      {"a package without its driver file: the earlier run's copy is not installed", first, 0, 0, "", 4, 0, true, false,
       true},
      {"an earlier run's file that cannot be deleted: nothing staged, no update", first, 0, 0,
       "[[locked_files]]\npath = 'C:\\VADORUREV\\pnpdrvs\\z40e64.sys'\n[[file_security]]\npath = 'C:\\VADORUREV'\n"
       "protected = true\nallow = [ { who = 'Administrators', access = 'full' }, { who = 'SYSTEM', access = 'full' } "
       "]\n",
       4, 0, false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(devices);
    m.Write(L"C:\\pkg\\z40e64.inf", kInfText);
    if (!c.lacksDriver) m.Write(L"C:\\pkg\\z40e64.sys", "driver");
    m.Write(L"C:\\VADORUREV\\pnpdrvs\\planted.txt", "planted");
    m.Write(L"C:\\VADORUREV\\pnpdrvs\\z40e64.sys", "stale");
    winsim::CloseMachine();
    std::ofstream(m.Dir() / "machine.toml", std::ios::app) << c.toml;
    std::string error;
    ASSERT_TRUE(winsim::OpenMachine(m.Dir(), error)) << error;
    m.SetProcess(L"C:\\pkg\\kvnhost.exe", L"kvnhost.exe", L"C:\\pkg");
    CWin2000PnPDriver driver(L"z40e64.inf", TRUE);
    for (const WCHAR *id : c.ids) driver.AddHardwareId(id);
    EXPECT_EQ(driver.Run(c.noOverwrite, c.skipped), c.result);
    EXPECT_EQ(driver.GetRebootFlag() != 0, c.reboot != 0);
    EXPECT_EQ(
        m.Exists(L"C:\\VADORUREV\\pnpdrvs\\z40e64.inf") && m.Read(L"C:\\VADORUREV\\pnpdrvs\\z40e64.inf") == kInfText,
        c.staged);
    EXPECT_EQ(DriverVersionOf("1572") == L"2.5.0.0", c.firstUpdated);
    // A staging leaves nothing of an earlier run under the package's names.
    if (c.staged) {
      EXPECT_NE(m.Exists(L"C:\\VADORUREV\\pnpdrvs\\z40e64.sys") ? m.Read(L"C:\\VADORUREV\\pnpdrvs\\z40e64.sys") : "",
                "stale");
    }
    EXPECT_NE(DriverVersionOf("1571"), L"2.5.0.0");
  }
}

}  // namespace
