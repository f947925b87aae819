// What CInf installs beyond files, on the simulated machine: services, the per-service
// settings key and the root-enumerated device, checked through the registry and the devices.
#include <gtest/gtest.h>
#include <winsim.h>

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
  struct Case {
    const char *what;
    const WCHAR *section;
    std::string toml;
    bool twice;  // installed once before
    BOOL ok;
    bool created;
  } cases[] = {
      {"a new service", L"Install.Services", "", false, 1, true},
      {"a service installed already", L"Install.Services", "", true, 1, true},
      {"no section", nullptr, "", false, 0, false},
      {"the service exists", L"Install.Services",
       "[[faults]]\nfunction = 'SetupInstallServicesFromInfSectionW'\nerror = 1073\n", false, 1, false},
      {"a duplicate service name", L"Install.Services",
       "[[faults]]\nfunction = 'SetupInstallServicesFromInfSectionW'\nerror = 1078\n", false, 1, false},
      {"any other failure", L"Install.Services",
       "[[faults]]\nfunction = 'SetupInstallServicesFromInfSectionW'\nerror = 5\n", false, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(c.toml);
    m.Write(kInf, kVersion + kService);
    CInf inf(kInf.c_str());
    ASSERT_TRUE(inf.IsOpen());
    if (c.twice) {
      ASSERT_TRUE(inf.InstallServices(c.section));
    }
    EXPECT_EQ(inf.InstallServices(c.section) != FALSE, c.ok != FALSE);
    EXPECT_EQ(Value(kServices + L"z40e", L"ImagePath"),
              c.created ? L"C:\\Windows\\System32\\drivers\\z40e64.sys" : L"");
    EXPECT_EQ(Value(kServices + L"z40e", L"Start"), c.created ? L"3" : L"");
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

}  // namespace
