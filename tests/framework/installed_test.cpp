// The generic installed state and version status of CBaseComponent, on machines whose
// services, device lists and files each case builds.
#include <gtest/gtest.h>
#include <winsim.h>

#include <fstream>
#include <optional>
#include <string>

#include "framework/basecomp.h"
#include "testmachine.h"

namespace {

const char kNetInf[] =
    "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=Net\nClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}\n\n"
    "[z40e.ndi.Services]\nAddService=z40e,2,z40e.Service\n\n[z40e.Service]\nServiceType=1\nStartType=3\n";
const char kInfWithoutService[] =
    "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=Net\nClassGUID={4D36E972-E325-11CE-BFC1-08002BE10318}\n";
const wchar_t kSoftwareKey[] = L"C:\\Program Files\\z40e\\z40e.dll";

std::wstring SupportedId(int n) { return L"PCI\\VEN_8086&DEV_1572&SUBSYS_000" + std::to_wstring(n) + L"8086"; }

std::string Devices(int count) {
  std::string text;
  for (int n = 1; n <= count; ++n)
    text += "[[devices]]\ninstance_id = 'PCI\\VEN_8086&DEV_1572&SUBSYS_000" + std::to_string(n) +
            "8086&REV_01\\4&1A2B&0&000" + std::to_string(n) + "'\nhardware_ids = ['PCI\\VEN_8086&DEV_1572&SUBSYS_000" +
            std::to_string(n) + "8086']\nclass = \"Net\"\nclass_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n";
  return text;
}

std::string ServiceKey(int start, bool deleteFlag) {
  std::string text =
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\z40e]\n\"Type\"=dword:00000001\n\"Start\"=dword:"
      "0000000" +
      std::to_string(start) +
      "\n\"ErrorControl\"=dword:00000001\n\"ImagePath\"=\"System32\\\\drivers\\\\z40e64.sys\"\n";
  return text + (deleteFlag ? "\"DeleteFlag\"=dword:00000001\n\n" : "\n");
}

// The service's device list: Count and its first instance.
std::string EnumKey(int count, const std::string &first) {
  return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\z40e\\Enum]\n\"Count\"=dword:0000000" +
         std::to_string(count) + "\n\"NextInstance\"=dword:0000000" + std::to_string(count) + "\n\"0\"=\"" + first +
         "\"\n\n";
}

void WithRegistry(TestMachine &machine, const std::string &keys) {
  winsim::CloseMachine();
  std::ofstream(machine.Dir() / "registry.reg", std::ios::binary) << "Windows Registry Editor Version 5.00\n\n" << keys;
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(machine.Dir(), error)) << error;
}

// A component whose package data the test sets directly.
struct Probe : CBaseComponent {
  using CBaseComponent::m_strServiceName;
  std::optional<std::wstring> packageVersion;
  int GetPackageVersion(WCHAR *buffer, UINT capacity) override {
    return packageVersion ? CopyPropertyText(packageVersion->c_str(), buffer, capacity, false) : 0;
  }
};

}  // namespace

TEST(VersionText, SplitsIntoFourSixteenBitParts) {
  const struct {
    const wchar_t *text;
    bool ok;
    DWORD ms, ls;
  } cases[] = {
      {L"1.2.3.4", true, 0x00010002, 0x00030004},
      {L"1.2", true, 0x00010002, 0},
      {L"25", true, 0x00190000, 0},
      {L"1.2.3.4.5", true, 0x00010002, 0x00030004},
      {L"65537.65535", true, 0x0001FFFF, 0},
      {L"1x.2b.c.4", true, 0x00010002, 0x00000004},
      {L"1..2", true, 0x00010002, 0},
      {L".7", true, 0x00070000, 0},
      {L"", false, 0xdeadbeef, 0xdeadbeef},
      {L"...", false, 0xdeadbeef, 0xdeadbeef},
      {nullptr, false, 0xdeadbeef, 0xdeadbeef},
  };
  for (const auto &c : cases) {
    DWORD ms = 0xdeadbeef, ls = 0xdeadbeef;
    EXPECT_EQ(SplitVersionText(c.text, &ms, &ls), c.ok) << (c.text ? c.text : L"(null)");
    EXPECT_EQ(ms, c.ms) << (c.text ? c.text : L"(null)");
    EXPECT_EQ(ls, c.ls) << (c.text ? c.text : L"(null)");
  }
}

TEST(BaseComponent, IsInstalledFromTheServiceAndItsDeviceList) {
  enum Inf { NetInf, NoAddService, NoInf };
  const std::string legacy = "Root\\\\LEGACY_Z40E\\\\0000";
  const std::string device = "PCI\\\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\\\4&1A2B&0&0001";
  const struct {
    const char *name;
    Inf inf;
    int installType;
    int present, supported;  // devices present; of them, listed as supported
    std::string registry;
    bool softwareKey;  // the software key file exists
    int expected;
  } cases[] = {
      {"Count 2 with three supported present", NetInf, INSTALL_PNP, 3, 3, ServiceKey(3, false) + EnumKey(2, device),
       false, 0},
      {"Count 3 with three supported present", NetInf, INSTALL_PNP, 3, 3, ServiceKey(3, false) + EnumKey(3, device),
       false, 1},
      {"Count 2 and no supported devices listed", NetInf, INSTALL_PNP, 3, 0, ServiceKey(3, false) + EnumKey(2, device),
       false, 1},
      {"Count 2 with one of three supported present", NetInf, INSTALL_PNP, 1, 3,
       ServiceKey(3, false) + EnumKey(2, device), false, 1},
      {"the legacy placeholder", NetInf, INSTALL_PNP, 1, 1, ServiceKey(3, false) + EnumKey(1, legacy), false, 0},
      {"one device instance", NetInf, INSTALL_PNP, 1, 1, ServiceKey(3, false) + EnumKey(1, device), false, 1},
      {"no device list", NetInf, INSTALL_PNP, 1, 1, ServiceKey(3, false), false, 0},
      {"a disabled service", NetInf, INSTALL_PNP, 1, 1, ServiceKey(4, false) + EnumKey(3, device), false, 0},
      {"a service marked for deletion", NetInf, INSTALL_PNP, 1, 1, ServiceKey(3, true) + EnumKey(3, device), false, 0},
      {"no service", NetInf, INSTALL_PNP, 1, 1, "", true, 0},
      {"LEGACY never counts devices", NetInf, INSTALL_LEGACY, 3, 3, ServiceKey(3, false), false, 1},
      {"VIRTUAL never counts devices", NetInf, INSTALL_VIRTUAL, 3, 3, ServiceKey(3, false) + EnumKey(1, legacy), false,
       1},
      {"no AddService, the software key present", NoAddService, INSTALL_PNP, 1, 1, "", true, 1},
      {"no AddService, the software key missing", NoAddService, INSTALL_PNP, 1, 1, ServiceKey(3, false), false, 0},
      {"no INF, the software key present", NoInf, INSTALL_PNP, 1, 1, "", true, 1},
      {"no INF, the software key missing", NoInf, INSTALL_PNP, 1, 1, ServiceKey(3, false), false, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(Devices(c.present));
    WithRegistry(machine, c.registry);
    if (c.inf != NoInf) machine.Write(L"C:\\Package\\z40e64.inf", c.inf == NetInf ? kNetInf : kInfWithoutService);
    if (c.softwareKey) machine.WritePe(kSoftwareKey, "1.0.0.0");
    Probe component;
    component.SetInfFile(L"C:\\Package\\z40e64.inf", c.installType);
    component.SetSoftwareKeyPath(kSoftwareKey);
    for (int n = 1; n <= c.supported; ++n) component.AddSupportedDevice(SupportedId(n).c_str());
    EXPECT_EQ(component.IsInstalled(), c.expected);
  }
}

TEST(BaseComponent, IsInstalledTakesTheServiceNameOfThePackageFirst) {
  TestMachine machine;
  WithRegistry(machine, ServiceKey(3, false));
  machine.Write(L"C:\\Package\\z40e64.inf", std::string(kNetInf));
  Probe component;
  component.SetInfFile(L"C:\\Package\\z40e64.inf", INSTALL_LEGACY);
  EXPECT_EQ(component.IsInstalled(), 1);
  component.m_strServiceName = L"other";
  EXPECT_EQ(component.IsInstalled(), 0);
}

TEST(BaseComponent, VersionStatusOfTheSoftwareKeyFileAgainstThePackageVersion) {
  const struct {
    const char *name;
    std::optional<std::string> installed;  // none: no file; "": a file without version resource
    std::optional<std::wstring> package;
    int expected;
  } cases[] = {
      {"1.2 against 1.2.0.0", "1.2.0.0", L"1.2", 1},
      {"1.2.3.4 against 1.2.3.5", "1.2.3.5", L"1.2.3.4", 2},
      {"1.2.3.4 against 1.2.2.9", "1.2.2.9", L"1.2.3.4", 0},
      {"1.2.3.9 against 1.2.3.10", "1.2.3.10", L"1.2.3.9", 2},
      {"1.2.65535.65535 against 1.3.0.0", "1.3.0.0", L"1.2.65535.65535", 2},
      {"parts cut to 16 bits", "1.0.0.0", L"65537", 1},
      {"no file", std::nullopt, L"1.2", 0},
      {"a file without version resource", "", L"1.2", 0},
      {"no package version", "1.2.0.0", std::nullopt, 0},
      {"a package version without parts", "1.0.0.0", L"..", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine;
    if (c.installed) machine.WritePe(kSoftwareKey, *c.installed);
    Probe component;
    component.SetSoftwareKeyPath(kSoftwareKey);
    component.packageVersion = c.package;
    EXPECT_EQ(component.GetVersionStatus(), c.expected);
  }
}
