// Installing drivers on devices where the differential probe cannot reach: the effects of
// UpdateDriverForPlugAndPlayDevicesW and of the class installer's DIF_INSTALLDEVICE on the
// machine (files, the driver key, services and their device lists, the device's status,
// PendingFileRenameOperations), and root devices created, registered and kept across a restart.
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>
#include <winsvc.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <cstring>
#include <string>

#include "testmachine.h"

namespace {

const char kInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\nClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\n"
    "Provider=%Kvn%\r\nDriverVer=06/01/2026,2.0.0.0\r\nCatalogFile=kvn.cat\r\n"
    "[Manufacturer]\r\n%Kvn%=Models,NTamd64,NTx86\r\n"
    "[Models.NTamd64]\r\n\"Kvn Adapter\"=Inst,pci\\ven_8086&dev_1572,PCI\\CC_0200\r\n"
    "\"Kvn Virtual\"=Virt,ROOT\\KVNVIRT\r\n"
    "[Models.NTx86]\r\n\"Kvn Adapter (x86)\"=Inst,PCI\\VEN_8086&DEV_1572\r\n"
    "[Inst.NTamd64]\r\nCopyFiles=Inst.Files\r\nAddReg=Inst.Reg\r\n"
    "[Inst.NTamd64.Services]\r\nAddService=kvnnet,2,Svc\r\n"
    "[Inst.NTamd64.HW]\r\nAddReg=Hw.Reg\r\n"
    "[Virt]\r\nCopyFiles=Inst.Files\r\n[Virt.Services]\r\nAddService=kvnvirt,2,Svc\r\n"
    "[Svc]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\kvnnet.sys\r\n"
    "[Inst.Files]\r\nkvnnet.sys\r\n"
    "[DestinationDirs]\r\nDefaultDestDir=12\r\n"
    "[SourceDisksNames]\r\n1=\"Disk\",,,\\bin\r\n[SourceDisksFiles]\r\nkvnnet.sys=1\r\n"
    "[Inst.Reg]\r\nHKR,,Custom,,\"yes\"\r\n[Hw.Reg]\r\nHKR,,Tuned,0x10001,1\r\n"
    "[Strings]\r\nKvn=\"Kvn Networks\"\r\n";

const char kNic[] =
    "[[devices]]\n"
    "instance_id = 'PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1&0&0008'\n"
    "hardware_ids = ['PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01', 'PCI\\VEN_8086&DEV_1572']\n"
    "class = 'Net'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n";
const wchar_t kNicId[] = L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1&0&0008";
const std::wstring kEnum = L"SYSTEM\\CurrentControlSet\\Enum\\";
const std::wstring kClass = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";

ULONG Problem(DEVINST devInst) {
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, devInst, 0, nullptr), CR_SUCCESS);
  return problem;
}

ULONG Started(DEVINST devInst) {
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CM_Get_DevNode_Status_Ex(&status, &problem, devInst, 0, nullptr), CR_SUCCESS);
  return status & (DN_STARTED | DN_NEED_RESTART);
}

void WritePackage(const TestMachine &m) {
  m.Write(L"C:\\pkg\\kvn.inf", kInf);
  m.Write(L"C:\\pkg\\kvn.cat", "catalogue");
  m.Write(L"C:\\pkg\\bin\\kvnnet.sys", "new driver");
}

TEST(DriverUpdate, InstallsTheBestDriverOrAnswersTheDocumentedError) {
  const char kOldDriver[] =
      "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem9.inf'\nsection = 'Old'\nversion = '1.0.0.0'\n";
  const std::string kSameRank = "rank = 0x00FF0001\n";  // the package's rank for the device
  // clang-format off
  struct Case {
    const char *name;
    std::string toml;  // after the device's own keys
    const wchar_t *hardwareId, *inf;
    DWORD flags;
    DWORD error;       // 0: success
    BOOL reboot;
    ULONG problem;     // the device's problem afterwards
    bool installed;
  } cases[] = {
    {"no driver yet, an ID in another case", "", L"pci\\VEN_8086&dev_1572", L"C:\\pkg\\kvn.inf", 0, 0, FALSE, 0, true},
    {"an older driver is replaced", kOldDriver + kSameRank + "date = '2020-01-01'\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, FALSE, 0, true},
    {"a newer driver stays", kOldDriver + kSameRank + "date = '2027-01-01'\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, ERROR_NO_MORE_ITEMS, FALSE, 0, false},
    {"unless forced", kOldDriver + kSameRank + "date = '2027-01-01'\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", INSTALLFLAG_FORCE, 0, FALSE, 0, true},
    {"a driver of a better rank stays, however old", std::string(kOldDriver) + "date = '2020-01-01'\n"
     "rank = 0x00FF0000\n", L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, ERROR_NO_MORE_ITEMS, FALSE, 0, false},
    {"a better rank replaces a later driver", std::string(kOldDriver) + "date = '2027-01-01'\nrank = 0x00FF2000\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, FALSE, 0, true},
    {"an unsigned package does not replace a signed driver", kOldDriver + kSameRank + "date = '2020-01-01'\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\unsigned\\kvn.inf", 0, ERROR_NO_MORE_ITEMS, FALSE, 0, false},
    {"a disabled device takes the driver and stays disabled", "status = 'disabled'\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, FALSE, CM_PROB_DISABLED, true},
    {"a device that needs a restart", "[devices.behaviour]\nupdate_needs_reboot = true\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, TRUE, CM_PROB_NEED_RESTART, true},
    {"a running device that cannot be stopped", "[devices.behaviour]\nstate_change_needs_restart = true\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, TRUE, CM_PROB_NEED_RESTART, true},
    {"a device that is not running starts on it", "status = 'not_started'\n"
     "[devices.behaviour]\nupdate_needs_reboot = true\nstate_change_needs_restart = true\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, FALSE, 0, true},
    {"a disabled one takes it when enabled", "status = 'disabled'\n[devices.behaviour]\nupdate_needs_reboot = true\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, FALSE, CM_PROB_DISABLED, true},
    {"a file in use is replaced at the restart",
     "[[locked_files]]\npath = 'C:\\Windows\\System32\\drivers\\kvnnet.sys'\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0, TRUE, 0, true},
    {"the device's own failure", "[devices.behaviour]\nupdate_error = 0x5b4\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, 0x5b4, FALSE, 0, false},
    {"no device has the ID", "", L"PCI\\VEN_8086&DEV_9999", L"C:\\pkg\\kvn.inf", 0, ERROR_NO_SUCH_DEVINST, FALSE, 0, false},
    {"no such INF", "", L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\none.inf", 0, ERROR_FILE_NOT_FOUND, FALSE, 0, false},
    {"no hardware ID", "", nullptr, L"C:\\pkg\\kvn.inf", 0, ERROR_INVALID_PARAMETER, FALSE, 0, false},
    {"unknown flags", "", L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 8, ERROR_INVALID_FLAGS, FALSE, 0, false},
    {"a 32-bit process on 64-bit Windows", "[os]\narchitecture = 'ia32_on_win64'\n",
     L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf", 0, ERROR_IN_WOW64, FALSE, 0, false},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m(std::string(kNic) + c.toml);
    WritePackage(m);
    std::string unsignedInf = kInf;
    unsignedInf.erase(unsignedInf.find("CatalogFile=kvn.cat\r\n"), std::strlen("CatalogFile=kvn.cat\r\n"));
    m.Write(L"C:\\pkg\\unsigned\\kvn.inf", unsignedInf);
    m.Write(L"C:\\pkg\\unsigned\\bin\\kvnnet.sys", "new driver");
    m.Write(L"C:\\Windows\\System32\\drivers\\kvnnet.sys", "old driver");
    BOOL reboot = 7;
    SetLastError(0);
    BOOL ok = UpdateDriverForPlugAndPlayDevicesW(nullptr, c.hardwareId, c.inf, c.flags, &reboot);
    EXPECT_EQ(ok, c.error == 0);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(reboot, c.error ? 7 : c.reboot);
    const std::wstring device = kEnum + kNicId;
    const std::wstring driver = kClass + RegistryText(device, L"Driver");
    const bool hadDriver = c.toml.find("devices.driver") != std::string::npos;
    EXPECT_EQ(RegistryText(driver, L"DriverVersion"), c.installed ? L"2.0.0.0" : hadDriver ? L"1.0.0.0" : L"");
    if (!c.installed) {
      EXPECT_EQ(m.Read(L"C:\\Windows\\System32\\drivers\\kvnnet.sys"), "old driver");
      continue;
    }
    EXPECT_EQ(Problem(1), c.problem);
    EXPECT_EQ(RegistryText(driver, L"DriverDate"), L"6-1-2026");
    EXPECT_EQ(RegistryText(driver, L"InfPath"), L"oem0.inf");
    EXPECT_EQ(RegistryText(driver, L"InfSection"), L"Inst");
    EXPECT_EQ(RegistryText(driver, L"InfSectionExt"), L".NTamd64");
    EXPECT_EQ(RegistryText(driver, L"MatchingDeviceId"), L"pci\\ven_8086&dev_1572");
    EXPECT_EQ(RegistryText(driver, L"ProviderName"), L"Kvn Networks");
    EXPECT_EQ(RegistryText(driver, L"Custom"), L"yes");
    EXPECT_EQ(RegistryText(device + L"\\Device Parameters", L"Tuned"), L"1");
    EXPECT_EQ(RegistryText(device, L"Service"), L"kvnnet");
    EXPECT_EQ(RegistryText(kServices + L"kvnnet", L"Type"), L"1");
    EXPECT_EQ(RegistryText(kServices + L"kvnnet\\Enum", L"0"), c.problem ? L"" : kNicId);
    EXPECT_TRUE(m.Exists(L"C:\\Windows\\INF\\oem0.inf"));
    const std::wstring pending =
        RegistryText(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations");
    if (c.toml.find("locked_files") != std::string::npos) {
      EXPECT_EQ(m.Read(L"C:\\Windows\\System32\\drivers\\kvnnet.sys"), "old driver");
      EXPECT_NE(pending.find(L"|!\\??\\C:\\Windows\\System32\\drivers\\kvnnet.sys"), std::wstring::npos) << pending;
    } else {
      EXPECT_EQ(m.Read(L"C:\\Windows\\System32\\drivers\\kvnnet.sys"), "new driver");
      EXPECT_EQ(pending, L"");
    }
  }
}

// A driver package is staged whole or not at all: a file the install section copies, or the
// catalogue the INF names, missing from the package fails the update before the machine
// changes (no published INF, no service, no file replaced, the device's driver kept).
TEST(DriverUpdate, APackageIsStagedWholeOrNotAtAll) {
  const std::string withCatalog =
      std::string(kInf).replace(std::string(kInf).find("Provider="), 0, "CatalogFile.NTamd64=kvn.cat\r\n");
  const struct {
    const char *name;
    std::string inf;
    bool source, catalog;  // the package has bin\kvnnet.sys, kvn.cat
    DWORD error;
  } cases[] = {
      {"whole, with its catalogue", withCatalog, true, true, 0},
      {"a source file missing", kInf, false, true, ERROR_FILE_NOT_FOUND},
      {"the catalogue the INF names missing", withCatalog, true, false, ERROR_FILE_NOT_FOUND},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m(std::string(kNic) +
                  "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem9.inf'\nsection = 'Old'\nversion = '1.0.0.0'\n");
    m.Write(L"C:\\pkg\\kvn.inf", c.inf);
    if (c.source) m.Write(L"C:\\pkg\\bin\\kvnnet.sys", "new driver");
    if (c.catalog) m.Write(L"C:\\pkg\\kvn.cat", "catalogue");
    m.Write(L"C:\\Windows\\System32\\drivers\\kvnnet.sys", "old driver");
    BOOL reboot = FALSE;
    SetLastError(0);
    EXPECT_EQ(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf",
                                                 INSTALLFLAG_FORCE, &reboot),
              c.error == 0);
    EXPECT_EQ(GetLastError(), c.error);
    const std::wstring driver = kClass + RegistryText(kEnum + kNicId, L"Driver");
    EXPECT_EQ(RegistryText(driver, L"DriverVersion"), c.error ? L"1.0.0.0" : L"2.0.0.0");
    EXPECT_EQ(m.Read(L"C:\\Windows\\System32\\drivers\\kvnnet.sys"), c.error ? "old driver" : "new driver");
    EXPECT_EQ(m.Exists(L"C:\\Windows\\INF\\oem0.inf"), c.error == 0);
    EXPECT_EQ(RegistryText(kServices + L"kvnnet", L"Type"), c.error ? L"" : L"1");
  }
}

// A restart needed by an update whose caller gave no variable for it is a prompt on Windows:
// recorded, and the call answers as if nobody answered it.
TEST(DriverUpdate, ARestartAskedWithoutAVariableIsAPrompt) {
  for (bool variable : {false, true}) {
    SCOPED_TRACE(variable ? "with a variable" : "with NULL");
    TestMachine m(std::string(kNic) + "[devices.behaviour]\nupdate_needs_reboot = true\n");
    WritePackage(m);
    BOOL reboot = FALSE;
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"PCI\\VEN_8086&DEV_1572", L"C:\\pkg\\kvn.inf",
                                                   INSTALLFLAG_FORCE, variable ? &reboot : nullptr));
    EXPECT_EQ(reboot, variable);
    EXPECT_EQ(winsim::Prompts().size(), variable ? 0u : 1u);
    EXPECT_EQ(Problem(1), ULONG(CM_PROB_NEED_RESTART));  // nothing was restarted
  }
}

// Creates ROOT\KVNVIRT\NNNN in a set of the Net class; answers its SP_DEVINFO_DATA.
SP_DEVINFO_DATA CreateRoot(HDEVINFO set) {
  GUID net;
  DWORD n = 0;
  EXPECT_TRUE(SetupDiClassGuidsFromNameW(L"Net", &net, 1, &n));
  SP_DEVINFO_DATA dev = {};
  dev.cbSize = sizeof dev;
  EXPECT_TRUE(SetupDiCreateDeviceInfoW(set, L"kvnvirt", &net, nullptr, nullptr, DICD_GENERATE_ID, &dev));
  return dev;
}

TEST(RootDevices, CreatedRegisteredAndInstalledFromTheInfsClassDrivers) {
  // clang-format off
  struct Case {
    const char *name;
    bool setHardwareId, select;
    DWORD installFlags;   // added to the device install parameters
    ULONG problem;
    const wchar_t *service;
    bool filesCopied;
    ULONG started;        // DN_STARTED and DN_NEED_RESTART after the install
  } cases[] = {
    {"the null driver when none is selected", false, false, 0, CM_PROB_FAILED_INSTALL, L"", false, 0},
    {"the selected class driver", true, true, 0, 0, L"kvnvirt", true, DN_STARTED},
    {"the selected class driver without its files", true, true, DI_NOFILECOPY, 0, L"kvnvirt", false, DN_STARTED},
    // Not started by the install: by its service's start, or at the restart.
    {"without calling the configuration manager", true, true, DI_NOFILECOPY | DI_DONOTCALLCONFIGMG, 0, L"kvnvirt",
     false, DN_NEED_RESTART},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m;
    WritePackage(m);
    GUID net;
    ASSERT_TRUE(SetupDiClassGuidsFromNameW(L"Net", &net, 1, nullptr));
    HDEVINFO set = SetupDiCreateDeviceInfoList(&net, nullptr);
    SP_DEVINFO_DATA dev = CreateRoot(set);
    const std::wstring key = kEnum + L"ROOT\\KVNVIRT\\0000";
    EXPECT_EQ(RegistryText(key, L"ClassGUID"), L"");  // not in the registry until registered
    ASSERT_TRUE(SetupDiRegisterDeviceInfo(set, &dev, SPRDI_FIND_DUPS, nullptr, nullptr, nullptr));
    EXPECT_EQ(RegistryText(key, L"ClassGUID"), L"{4d36e972-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(RegistryText(key, L"HardwareID"), L"");
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &dev, &params));
    params.Flags |= DI_ENUMSINGLEINF | c.installFlags;
    std::wcscpy(params.DriverPath, L"C:\\pkg\\kvn.inf");
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, &dev, &params));
    ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &dev, SPDIT_CLASSDRIVER));
    SP_DRVINFO_DATA_W drv = {};
    drv.cbSize = sizeof drv;
    DWORD count = 0;
    for (; SetupDiEnumDriverInfoW(set, &dev, SPDIT_CLASSDRIVER, count, &drv); ++count)
      if (c.select && std::wstring(drv.Description) == L"Kvn Virtual") {
        ASSERT_TRUE(SetupDiSetSelectedDriverW(set, &dev, &drv));
      }
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(count, 2u);  // the OS's decorated models only
    // As root-device tools do, the hardware ID of the selected driver, once it is selected.
    if (c.setHardwareId) {
      const WCHAR ids[] = L"ROOT\\KVNVIRT\0";
      ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids),
                                                    sizeof ids));
      EXPECT_EQ(RegistryText(key, L"HardwareID"), L"ROOT\\KVNVIRT");
    }
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set, &dev));
    EXPECT_EQ(Problem(dev.DevInst), c.problem);
    EXPECT_EQ(Started(dev.DevInst), c.started);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &dev, &params));
    EXPECT_EQ(params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT), 0u);  // no document says one follows
    EXPECT_EQ(RegistryText(key, L"Service"), c.service);
    EXPECT_EQ(m.Exists(L"C:\\Windows\\System32\\drivers\\kvnnet.sys"), c.filesCopied);
    if (c.setHardwareId) {
      // The update that follows finds the driver the device already runs: nothing better.
      SetLastError(0);
      EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, L"ROOT\\KVNVIRT", L"C:\\pkg\\kvn.inf", 0, nullptr));
      EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
      EXPECT_EQ(RegistryText(kClass + RegistryText(key, L"Driver"), L"MatchingDeviceId"), L"root\\kvnvirt");
    }
    SetupDiDestroyDeviceInfoList(set);

    // The device stays with the machine; the next one created takes the next number.
    m.Reopen();
    EXPECT_EQ(RegistryText(key, L"Service"), c.service);
    set = SetupDiCreateDeviceInfoList(&net, nullptr);
    SP_DEVINFO_DATA again = {};
    again.cbSize = sizeof again;
    ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, L"ROOT\\KVNVIRT\\0000", nullptr, 0, &again));
    EXPECT_EQ(Problem(again.DevInst), c.problem);
    EXPECT_EQ(Started(again.DevInst), c.started);
    if (*c.service) {
      SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
      SC_HANDLE service = OpenServiceW(scm, c.service, SERVICE_START);
      EXPECT_TRUE(StartServiceW(service, 0, nullptr));
      CloseServiceHandle(service);
      CloseServiceHandle(scm);
      EXPECT_EQ(Started(again.DevInst), ULONG(DN_STARTED));
    }
    SP_DEVINFO_DATA next = CreateRoot(set);
    WCHAR id[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_ID_ExW(next.DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr), CR_SUCCESS);
    EXPECT_STREQ(id, L"ROOT\\KVNVIRT\\0001");
    SetupDiDestroyDeviceInfoList(set);  // never registered: it goes with its set
    m.Reopen();
    EXPECT_EQ(RegistryText(kEnum + L"ROOT\\KVNVIRT\\0001", L"ClassGUID"), L"");
    set = SetupDiCreateDeviceInfoList(&net, nullptr);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, L"ROOT\\KVNVIRT\\0001", nullptr, 0, &again));
    SetupDiDestroyDeviceInfoList(set);
  }
}

}  // namespace
