// The dependency file and the model check: which files and WMI answers make a computer
// model supported, the message, and COM left as the check found it.
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "framework/basecomp.h"
#include "testmachine.h"

namespace {
const std::wstring kPackage = L"C:\\Package";
const std::wstring kMessage = L"System model not supported.";
const std::wstring kWritten = kMessage + L'\0';  // the message as the buffer holds it

std::string Platforms(const std::string &inside) {
  return "<componentdependencies><dependent_hardware><platforms>" + inside +
         "</platforms></dependent_hardware></componentdependencies>";
}
std::string Platform(const std::string &model) { return "<platform model=\"" + model + "\"/>"; }

struct Probe : CBaseComponent {
  using CBaseComponent::m_bDependencyTested;
  using CBaseComponent::m_bModelSupported;
};

// Runs the check on a machine with `toml` and, unless `file` is null, a dependency.xml of
// that content in the current directory. Answers the result; `message` receives the text.
int Check(const std::string &toml, const char *file, std::wstring &message, UINT capacity = 1024) {
  TestMachine machine(toml);
  machine.SetProcess(kPackage + L"\\kvnhost.exe", L"kvnhost.exe", kPackage);
  if (file) machine.Write(kPackage + L"\\dependency.xml", file);
  WCHAR buffer[1024];
  std::wmemset(buffer, L'#', 1024);
  Probe p;
  int result = p.CheckDependencies(buffer, capacity, L"en");
  EXPECT_EQ(p.m_bDependencyTested, 1);
  EXPECT_EQ(p.m_bModelSupported, result);
  // What the check wrote: up to the first character it left untouched.
  message = std::wstring(buffer, 1024).substr(0, std::wstring(buffer, 1024).find(L'#'));
  // The check balanced its own COM initialisation: the thread is free for any model.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();
  return result;
}

std::string Model(const std::string &model) { return "[wmi]\nmodel = \"" + model + "\"\n"; }

TEST(Dependencies, TheFileDecidesWhichModelsAreSupported) {
  std::string many;
  for (int i = 0; i < 3000; ++i) many += Platform("RS-" + std::to_string(i + 1000));
  const std::string longModel(300, 'M');
  const struct {
    const char *name;
    std::string toml;
    const char *file;  // null: no dependency.xml
    int supported;
  } cases[] = {
      {"no file", Model("RS-220"), nullptr, 1},
      {"listed", Model("RS-220"), nullptr, 1},
      {"empty file", Model("RS-220"), "", 1},
      {"malformed", Model("RS-220"), "<componentdependencies><dependent_hardware>", 1},
      {"not XML", Model("RS-220"), "\x01\x02 binary", 1},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring message;
    EXPECT_EQ(Check(c.toml, c.file, message), c.supported);
    EXPECT_EQ(message, c.supported ? L"" : kWritten);
  }
  // The files that are read.
  const struct {
    const char *name;
    std::string toml, file;
    int supported;
  } read[] = {
      {"listed", Model("RS-220"), Platforms(Platform("RS-100") + Platform("RS-220")), 1},
      {"other letter case", Model("RS-220"), Platforms(Platform("rs-220")), 1},
      {"trailing space", Model("RS-220"), Platforms(Platform("RS-220 ")), 0},
      {"part of the name", Model("RS-220"), Platforms(Platform("RS-22")), 0},
      {"empty platforms", Model("RS-220"), Platforms(""), 0},
      {"platform without model", Model("RS-220"), Platforms("<platform name=\"RS-220\"/>"), 0},
      {"a later platform has it", Model("RS-220"), Platforms("<platform/>" + Platform("RS-220")), 1},
      // Tree order: the first child, then the others in reverse document order. Siblings
      // after the first "platform" count whatever their names; those before it do not.
      {"sibling after the first platform", Model("RS-220"), Platforms(Platform("X") + "<other model=\"RS-220\"/>"), 1},
      {"sibling before the first platform", Model("RS-220"), Platforms("<other model=\"RS-220\"/>" + Platform("X")), 0},
      {"other document element", Model("RS-220"), "<dependencies>" + Platforms(Platform("RS-220")) + "</dependencies>",
       0},
      {"no dependent_hardware", Model("RS-220"),
       "<componentdependencies><platforms>" + Platform("RS-220") + "</platforms></componentdependencies>", 0},
      {"no platforms", Model("RS-220"), "<componentdependencies><dependent_hardware/></componentdependencies>", 0},
      {"thousands of platforms, the last matches", Model("RS-220"), Platforms(Platform("RS-220") + many), 1},
      {"thousands of platforms, none matches", Model("RS-220"), Platforms(many), 0},
      // The value buffer holds 255 characters: a longer model is compared as cut there.
      {"model of 300 characters, listed whole", Model(longModel), Platforms(Platform(longModel)), 0},
      {"model of 300 characters, listed as read", Model(longModel), Platforms(Platform(longModel.substr(0, 255))), 1},
      {"non-ASCII model", Model("Modèle Ü-7"), Platforms(Platform("modèle Ü-7")), 1},
      {"non-ASCII letters differ in case", Model("Modèle Ü-7"), Platforms(Platform("MODÈLE ü-7")), 0},
      {"empty model", Model(""), Platforms(Platform("")), 1},
      {"WMI unavailable", "[wmi]\navailable = false\n", Platforms(Platform("RS-220")), 0},
  };
  for (auto &c : read) {
    SCOPED_TRACE(c.name);
    std::wstring message;
    EXPECT_EQ(Check(c.toml, c.file.c_str(), message), c.supported);
    EXPECT_EQ(message, c.supported ? L"" : kWritten);
  }
}

TEST(Dependencies, ShiftJisFileIsReadInTheUsersCodePage) {
  // "モデル" in SHIFT_JIS, and the same model from WMI.
  const std::string file =
      "<?xml version=\"1.0\" encoding=\"SHIFT_JIS\"?>" + Platforms(Platform("\x83\x82\x83\x66\x83\x8B"));
  const struct {
    std::string toml;
    int supported;
  } cases[] = {
      {"[machine]\nuser_locale = \"ja-JP\"\n" + Model("モデル"), 1},
      {"[machine]\nuser_locale = \"ja-JP\"\n" + Model("RS-220"), 0},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.toml);
    std::wstring message;
    EXPECT_EQ(Check(c.toml, file.c_str(), message), c.supported);
  }
}

TEST(Dependencies, MessageIsCutToTheBuffer) {
  const std::string file = Platforms(Platform("RS-1"));
  const struct {
    UINT capacity;
    std::wstring message;  // what the buffer holds up to the first untouched character
  } cases[] = {
      {1024, kWritten}, {28, kWritten}, {27, kMessage.substr(0, 26) + L'\0'}, {1, std::wstring(1, L'\0')}, {0, L""},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.capacity);
    TestMachine machine(Model("RS-220"));
    machine.SetProcess(kPackage + L"\\kvnhost.exe", L"kvnhost.exe", kPackage);
    machine.Write(kPackage + L"\\dependency.xml", file);
    WCHAR buffer[64];
    std::wmemset(buffer, L'#', 64);
    Probe p;
    EXPECT_EQ(p.CheckDependencies(buffer, c.capacity, L"en"), 0);
    EXPECT_EQ(std::wstring(buffer, 64).substr(0, std::wstring(buffer, 64).find(L'#')), c.message);
  }
}

// Each COM and WMI step failing: the model cannot be read, so no platform matches, and COM
// is left balanced. The host's apartment of the other model is not a failure.
TEST(Dependencies, ComAndWmiFaults) {
  const std::string file = Platforms(Platform("RS-220"));
  auto fault = [](const std::string &function, const std::string &error, const std::string &extra = "") {
    return Model("RS-220") + "[[faults]]\nfunction = \"" + function + "\"\nerror = " + error + "\n" + extra;
  };
  const struct {
    std::string toml;
    int supported;
  } cases[] = {
      {fault("CoInitializeEx", "0x8007000E", "nth = 1\n"), 0},
      {fault("CoInitializeSecurity", "0x80004005"), 0},
      {fault("CoInitializeSecurity", "0x80010119"), 1},  // RPC_E_TOO_LATE: security already set
      {fault("CoCreateInstance", "0x80040154"), 0},
      {fault("IWbemLocator::ConnectServer", "0x8004100E"), 0},
      {fault("CoSetProxyBlanket", "0x80070005"), 0},
      {fault("IWbemServices::ExecQuery", "0x80041017"), 0},
      {fault("IEnumWbemClassObject::Next", "0x80041001"), 0},
      {fault("IEnumWbemClassObject::Reset", "0x80041001", "nth = 2\n"), 0},  // reads nothing after counting
      {fault("IWbemClassObject::Get", "0x80041002"), 0},
      {fault("SysAllocString", "14"), 0},
      {fault("SysAllocString", "14", "when_arg_contains = \"WQL\"\n"), 0},
      {fault("VariantClear", "0x80004005"), 1},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.toml);
    std::wstring message;
    EXPECT_EQ(Check(c.toml, file.c_str(), message), c.supported);
    EXPECT_EQ(message, c.supported ? L"" : kWritten);
  }
}

TEST(Dependencies, HostApartmentOfTheOtherModelIsUsedAndKept) {
  const struct {
    DWORD hostModel;
    std::string file;
    int supported;
  } cases[] = {
      {COINIT_APARTMENTTHREADED, Platforms(Platform("RS-220")), 1},
      {COINIT_APARTMENTTHREADED, Platforms(Platform("RS-221")), 0},
      {COINIT_MULTITHREADED, Platforms(Platform("RS-220")), 1},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.hostModel);
    TestMachine machine(Model("RS-220"));
    machine.SetProcess(kPackage + L"\\kvnhost.exe", L"kvnhost.exe", kPackage);
    machine.Write(kPackage + L"\\dependency.xml", c.file);
    ASSERT_EQ(CoInitializeEx(nullptr, c.hostModel), S_OK);
    WCHAR buffer[64] = L"";
    Probe p;
    EXPECT_EQ(p.CheckDependencies(buffer, 64, L"en"), c.supported);
    // The host's initialisation is still there, in its model, and balances once.
    EXPECT_EQ(CoInitializeEx(nullptr, c.hostModel), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(
        CoInitializeEx(nullptr, c.hostModel == COINIT_MULTITHREADED ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED),
        S_OK);
    CoUninitialize();
  }
}
}  // namespace
