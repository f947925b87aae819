// What CInf installs beyond files, on the simulated machine: services, the per-service
// settings key and the root-enumerated device, checked through the registry and the devices.
#include <gtest/gtest.h>
#include <winsim.h>

#include <filesystem>
#include <string>

#include "driverinstall/inf.h"
#include "testmachine.h"

namespace {

const std::wstring kInf = L"C:\\pkg\\z40e64.inf";
const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";
const std::wstring kRoot = L"SYSTEM\\CurrentControlSet\\Enum\\Root\\";
const std::string kVersion =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n"
    "Provider=Kvn\nDriverVer=12/01/2026,2.5.0.0\n";
const std::string kService =
    "[Install.Services]\nAddService=z40e,2,Svc\n"
    "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\z40e64.sys\n";

bool KeyExists(const std::wstring &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A value of a key below HKEY_LOCAL_MACHINE as text (a DWORD in decimal); "" when missing.
std::wstring Value(const std::wstring &path, const WCHAR *name) {
  BYTE data[1024] = {};
  DWORD bytes = sizeof data - sizeof(WCHAR), type = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY, &type, data, &bytes) != ERROR_SUCCESS)
    return L"";
  if (type == REG_DWORD) return std::to_wstring(*reinterpret_cast<DWORD *>(data));
  return reinterpret_cast<const WCHAR *>(data);
}

TEST(CInfServices, InstallServices) {
  const std::string fault = "[[faults]]\nfunction = 'SetupInstallServicesFromInfSectionW'\n";
  enum Before { kNothing, kInstalled, kRunning, kDisplayNameTaken };
  struct Case {
    const char *what;
    const WCHAR *section;
    std::string toml;
    Before before;
    BOOL ok;
    bool created;
    bool reboot;  // the reboot-needed flag afterwards
  } cases[] = {
      {"a new service", L"Install.Services", "", kNothing, 1, true, false},
      {"a service installed already", L"Install.Services", "", kInstalled, 1, true, false},
      {"no section", nullptr, "", kNothing, 0, false, false},
      {"the service exists", L"Install.Services", fault + "error = 1073\n", kNothing, 1, false, false},
      {"a duplicate service name: nothing was created", L"Install.Services", fault + "error = 1078\n", kNothing, 0,
       false, false},
      {"a duplicate service name with the section's services there", L"Install.Services",
       fault + "nth = 2\nerror = 1078\n", kInstalled, 1, true, false},
      {"another service has the display name", L"Install.Services", "", kDisplayNameTaken, 0, false, false},
      {"a running service deleted: marked for deletion until the restart", L"Remove.Services", "", kRunning, 1, true,
       true},
      {"a stopped service deleted at once", L"Remove.Services", "", kInstalled, 1, false, false},
      {"any other failure", L"Install.Services", fault + "error = 5\n", kNothing, 0, false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(c.toml);
    m.Write(kInf, kVersion + kService + "[Remove.Services]\nDelService=z40e\n");
    CInf inf(kInf.c_str());
    ASSERT_TRUE(inf.IsOpen());
    if (c.before == kInstalled || c.before == kRunning) {
      ASSERT_TRUE(inf.InstallServices(L"Install.Services"));
    }
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE other = nullptr;
    if (c.before == kRunning) other = OpenServiceW(scm, L"z40e", SERVICE_ALL_ACCESS);
    if (c.before == kDisplayNameTaken)
      other = CreateServiceW(scm, L"other", L"z40e", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                             SERVICE_ERROR_NORMAL, L"C:\\Windows\\System32\\drivers\\other.sys", nullptr, nullptr,
                             nullptr, nullptr, nullptr);
    if (c.before == kRunning) {
      EXPECT_TRUE(StartServiceW(other, 0, nullptr));
    }
    CloseServiceHandle(other);
    CloseServiceHandle(scm);
    EXPECT_EQ(inf.InstallServices(c.section) != FALSE, c.ok != FALSE);
    EXPECT_EQ(Value(kServices + L"z40e", L"ImagePath"),
              c.created ? L"C:\\Windows\\System32\\drivers\\z40e64.sys" : L"");
    EXPECT_EQ(Value(kServices + L"z40e", L"Start"), c.created ? L"3" : L"");
    EXPECT_EQ(inf.GetRebootNeeded() != FALSE, c.reboot);
  }
}

TEST(CInfServices, InstallSoftwareSettings) {
  const std::string settings =
      "[Install.SoftwareSettings]\nAddReg=Settings.Reg\n[Settings.Reg]\n"
      "HKR,,Speed,0x10001,1000\nHKR,Params,Mode,,\"auto\"\n";
  struct Case {
    const char *what;
    const WCHAR *section;
    std::string services;  // the INF's service lines
    std::string toml;
    BOOL ok;
    bool keyMade;
  } cases[] = {
      {"values under the service's Device0 key", L"Install.SoftwareSettings", kService, "", 1, true},
      {"no section", nullptr, kService, "", 0, false},
      {"no AddService line: nothing written", L"Install.SoftwareSettings", "", "", 0, false},
      {"the key cannot be made", L"Install.SoftwareSettings", kService,
       "[[faults]]\nfunction = 'RegCreateKeyExW'\nwhen_arg_contains = 'Device0'\nerror = 5\n", 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(c.toml);
    m.Write(kInf, kVersion + c.services + settings);
    CInf inf(kInf.c_str());
    ASSERT_TRUE(inf.IsOpen());
    EXPECT_EQ(inf.InstallSoftwareSettings(c.section) != FALSE, c.ok != FALSE);
    EXPECT_EQ(KeyExists(kServices + L"z40e\\Device0"), c.keyMade);
    EXPECT_EQ(Value(kServices + L"z40e\\Device0", L"Speed"), c.keyMade ? L"1000" : L"");
    EXPECT_EQ(Value(kServices + L"z40e\\Device0\\Params", L"Mode"), c.keyMade ? L"auto" : L"");
    EXPECT_FALSE(KeyExists(kServices + L"z40e\\Device1"));
  }
}

// Sets DI_NEEDRESTART on the new device, as a class installer that needs a restart does.
class RestartingInf : public CInf {
 public:
  using CInf::CInf;
  BOOL CreateRootDevice(HDEVINFO *set, SP_DEVINFO_DATA *device, const WCHAR *name) override {
    if (!CInf::CreateRootDevice(set, device, name)) return FALSE;
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof params;
    return SetupDiGetDeviceInstallParamsW(*set, device, &params) && (params.Flags |= DI_NEEDRESTART) &&
           SetupDiSetDeviceInstallParamsW(*set, device, &params);
  }
};

TEST(CInfServices, CreateLegacyDevice) {
  const std::string models =
      "[Manufacturer]\nKvn=Models,NTamd64\n[Models.NTamd64]\n%Desc%=Install,ROOT\\Z40E\n"
      "%Desc2%=Install,ROOT\\Z40E_SECOND\n[DestinationDirs]\nDefaultDestDir=12\n[Install]\nCopyFiles=Drv.Copy\n"
      "[Drv.Copy]\nz40e64.sys\n[Strings]\nDesc=\"Kvn virtual\"\nDesc2=\"Kvn virtual, second model\"\n";
  const std::string service =
      "[Install.Services]\nAddService=z40e,2,Svc\n"
      "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\z40e64.sys\n";
  const std::string otherClass =
      "[Version]\nSignature=\"$Windows NT$\"\nClass=NoSuchClass\n"
      "ClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n";
  struct Case {
    const char *what;
    BOOL virtualDevice;
    std::string inf, toml;
    bool restarting;  // the device's install asks for a restart
    BOOL ok, reboot;
    std::wstring device;      // the instance below Enum\Root that exists afterwards
    std::wstring hardwareId;  // its hardware ID
  } cases[] = {
      {"a legacy device: the class installer only", 0, kVersion + models + service, "", false, 1, 0,
       L"LEGACY_Z40E\\0000", L""},
      {"a virtual device takes the selected driver's ID and is updated", 1, kVersion + models + service, "", false, 1,
       0, L"Z40E\\0000", L"ROOT\\Z40E_SECOND"},
      {"a virtual device without newdev.dll is removed again", 1, kVersion + models + service,
       "[os]\nmissing_dlls = ['newdev.dll']\n", false, 0, 0, L"", L""},
      {"a virtual device already running the INF's driver", 1, kVersion + models + service,
       "[[faults]]\nfunction = 'UpdateDriverForPlugAndPlayDevicesW'\nerror = 259\n", false, 1, 0, L"Z40E\\0000",
       L"ROOT\\Z40E_SECOND"},
      {"a virtual device whose update fails is removed again", 1, kVersion + models + service,
       "[[faults]]\nfunction = 'UpdateDriverForPlugAndPlayDevicesW'\nerror = 2\n", false, 0, 0, L"", L""},
      {"a legacy device whose class installer fails is removed again", 0, kVersion + models + service,
       "[[faults]]\nfunction = 'SetupDiCallClassInstaller'\nnth = 1\nerror = 5\n", false, 0, 0, L"", L""},
      {"a device whose driver list cannot be built is removed again", 0, kVersion + models + service,
       "[[faults]]\nfunction = 'SetupDiBuildDriverInfoList'\nerror = 8\n", false, 0, 0, L"", L""},
      {"a device asking for a restart", 0, kVersion + models + service, "", true, 1, 1, L"LEGACY_Z40E\\0000", L""},
      {"a class Windows does not know", 0, otherClass + models + service, "", false, 0, 0, L"", L""},
      {"no AddService line", 0, kVersion + models, "", false, 0, 77, L"", L""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(c.toml);
    m.Write(kInf, c.inf);
    m.Write(L"C:\\pkg\\z40e64.sys", "driver");
    RestartingInf restarting(kInf.c_str());
    CInf plain(kInf.c_str());
    CInf &inf = c.restarting ? restarting : plain;
    ASSERT_TRUE(inf.IsOpen());
    inf.SetVirtualDevice(c.virtualDevice);
    BOOL reboot = 77;
    EXPECT_EQ(inf.CreateLegacyDevice(&reboot) != FALSE, c.ok != FALSE);
    EXPECT_EQ(reboot, c.reboot);
    for (const WCHAR *name : {L"LEGACY_Z40E\\0000", L"Z40E\\0000", L"LEGACY_Z40E\\0001", L"Z40E\\0001"})
      EXPECT_EQ(KeyExists(kRoot + name), name == c.device) << std::wstring(name);
    if (c.device.empty()) continue;
    EXPECT_EQ(Value(kRoot + c.device, L"HardwareID"), c.hardwareId);
    // The INF's service drives the device; the class installer copies no files, and the
    // update of a virtual device finds it running the INF's driver already.
    EXPECT_EQ(Value(kRoot + c.device, L"Service"), L"z40e");
    EXPECT_FALSE(m.Exists(L"C:\\Windows\\System32\\drivers\\z40e64.sys"));
  }
}

// The LEGACY example package's INF installed whole: files, deletions and renames, registry
// values, the service with its event log, the settings key and the legacy root device.
TEST(CInfServices, LegacyExamplePackage) {
  TestMachine m;
  std::filesystem::copy(KVN_LEGACY_PACKAGE, m.Host(L"C:\\pkg"), std::filesystem::copy_options::recursive);
  const std::wstring drivers = L"C:\\Windows\\System32\\drivers\\";
  const std::wstring tools = L"C:\\Program Files\\Kvn\\Tools\\";
  m.Write(drivers + L"kvnold.sys", "old");
  m.Write(drivers + L"kvnfilt.prev", "previous");
  m.Write(tools + L"kvnfilt.cfg", "mode = edited");
  CInf inf(L"C:\\pkg\\kvnfilt.inf");
  ASSERT_TRUE(inf.IsOpen());
  BOOL reboot = 77;
  EXPECT_TRUE(inf.InstallInf(&reboot));
  EXPECT_EQ(reboot, 0);
  EXPECT_TRUE(m.Exists(drivers + L"kvnfilt.sys"));
  EXPECT_TRUE(m.Exists(tools + L"kvnctl.exe"));
  EXPECT_EQ(m.Read(tools + L"kvnfilt.cfg"), "mode = edited");  // not overwritten (0x10)
  EXPECT_TRUE(m.Exists(L"C:\\Windows\\help\\kvnfilt.txt"));
  EXPECT_FALSE(m.Exists(drivers + L"kvnold.sys"));
  EXPECT_EQ(m.Read(drivers + L"kvnfilt.bak"), "previous");
  EXPECT_FALSE(m.Exists(drivers + L"kvnfilt.prev"));
  EXPECT_EQ(Value(L"SOFTWARE\\Kvn\\Filter", L"InstallDir"), L"C:\\Program Files\\Kvn\\Tools");
  EXPECT_EQ(Value(L"SOFTWARE\\Kvn\\Filter", L"Version"), std::to_wstring(0x01020000));
  const std::wstring service = kServices + L"kvnfilt";
  EXPECT_EQ(Value(service, L"ImagePath"), drivers + L"kvnfilt.sys");
  EXPECT_EQ(Value(service, L"Start"), L"2");
  EXPECT_EQ(Value(service, L"Group"), L"NDIS");
  EXPECT_EQ(Value(service, L"DisplayName"), L"Kvn packet filter");
  EXPECT_EQ(Value(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\kvnfilt", L"TypesSupported"), L"7");
  EXPECT_EQ(Value(service + L"\\Device0", L"Mode"), L"filter");
  EXPECT_EQ(Value(service + L"\\Device0", L"Depth"), L"4");
  EXPECT_TRUE(KeyExists(kRoot + L"LEGACY_KVNFILT\\0000"));
}

}  // namespace
