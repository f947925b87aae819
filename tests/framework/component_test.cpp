// The component as a host sees it: loaded from a package directory through LoadLibraryW,
// driven through its exports, unloaded.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "framework/basecomp.h"
#include "support/cmplog.h"
#include "framework/exports.h"
#include "testmachine.h"

namespace {
const std::wstring kPackage = L"C:\\Package";
const std::wstring kLogDir = L"C:\\vadorurev\\log\\";

template <class T>
T Export(HMODULE module, const char *name) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct Component {
  HMODULE module = nullptr;
  GetInterfaceVersionFn getInterfaceVersion = nullptr;
  GetPropertyFn getProperty = nullptr;
  InstallFn install = nullptr;

  bool Load() {
    module = LoadLibraryW(L"C:\\Package\\kvncomp.dll");
    if (!module) return false;
    getInterfaceVersion = Export<GetInterfaceVersionFn>(module, "GetInterfaceVersion");
    getProperty = Export<GetPropertyFn>(module, "GetProperty");
    install = Export<InstallFn>(module, "Install");
    return getInterfaceVersion && getProperty && install;
  }
  void Unload() {
    if (module) FreeLibrary(module);
    module = nullptr;
  }
};

struct ComponentFixture : ::testing::Test {
  TestMachine machine;
  Component component;

  void Start(const std::wstring &switches) {
    InstallComponent(machine, kPackage + L"\\kvncomp.dll");
    machine.WritePe(kPackage + L"\\setup.exe", "3.1.0.7");
    machine.SetProcess(kPackage + L"\\setup.exe", L"\"C:\\Package\\setup.exe\"" + switches, kPackage);
    ASSERT_TRUE(component.Load()) << "error " << GetLastError();
  }
  void TearDown() override { component.Unload(); }

  // The log files of the machine's log directory, by name.
  std::string LogText(const std::wstring &name) const { return machine.Read(kLogDir + name); }
  std::vector<std::wstring> LogNames() const {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(machine.Host(kLogDir), ec))
      names.push_back(std::wstring(e.path().filename().wstring()));
    return names;
  }
  bool Mapped() const {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::string path = machine.Host(kPackage + L"\\kvncomp.dll").string();
    while (std::getline(maps, line))
      if (line.find(path) != std::string::npos) return true;
    return false;
  }
};
}  // namespace

TEST_F(ComponentFixture, InterfaceVersionAndConstantProperties) {
  Start(L"");
  int version = 0;
  EXPECT_EQ(component.getInterfaceVersion(&version), 1);
  EXPECT_EQ(version, 100);
  EXPECT_EQ(component.getInterfaceVersion(nullptr), 0);

  for (UINT id : {6u, 7u, 8u}) {
    int value = 0xdeadbeef;
    EXPECT_EQ(component.getProperty(id, &value, sizeof value, 0), 1) << id;
    EXPECT_EQ(value, 1) << id;
  }
}

TEST_F(ComponentFixture, UnknownPropertiesAndNullOutputsAnswerZeroAndWriteNothing) {
  Start(L"");
  for (UINT id : {0u, 10u, 11u, 0xFFFFFFFFu}) {
    int value = 0xdeadbeef;
    EXPECT_EQ(component.getProperty(id, &value, sizeof value, 0), 0) << id;
    EXPECT_EQ(value, int(0xdeadbeef)) << id;
  }
  for (UINT id = 1; id <= 9; ++id) EXPECT_EQ(component.getProperty(id, nullptr, 1024, 0), 0) << id;
}

TEST_F(ComponentFixture, TextPropertiesWithoutPackageDefinitionAnswerZero) {
  Start(L"");
  for (UINT id = 1; id <= 4; ++id) {
    WCHAR buffer[64];
    wmemset(buffer, L'#', 64);
    EXPECT_EQ(component.getProperty(id, buffer, 64, reinterpret_cast<ULONG_PTR>(L"en")), 0) << id;
    EXPECT_EQ(buffer[0], L'#') << id;
  }
}

TEST_F(ComponentFixture, PreInstallRecordSmallerThanItsSizeIsRefused) {
  Start(L"");
  PreInstallStatus status;
  status.nStatus = int(0xdeadbeef);
  EXPECT_EQ(component.getProperty(5, &status, sizeof(PreInstallStatus) - 1, reinterpret_cast<ULONG_PTR>(L"en")), 0);
  EXPECT_EQ(status.nStatus, int(0xdeadbeef));
}

TEST_F(ComponentFixture, InstallWithoutMessageBufferAnswersZero) {
  Start(L"");
  EXPECT_EQ(component.install(0, 0, nullptr, 0, L"en"), 0);
}

TEST_F(ComponentFixture, LoadingWithoutPackageDefinitionSucceedsAndLogsOnlyVerbose) {
  Start(L"");
  component.Unload();
  // Initialisation writes only to the verbose log: without /verbose_log the setup log is empty.
  EXPECT_EQ(LogText(L"kvnsetup.log"), "");
  EXPECT_EQ(LogNames().size(), 1u);
}

TEST_F(ComponentFixture, LoadsAnswersAndUnloadsTwiceWithFreshState) {
  Start(L" /verbose_log");
  CCmpLog host(L"host.log", nullptr);
  host.SetVerbose(1);
  host.Open();
  EXPECT_EQ(component.getProperty(9, &host, 0, 0), 1);
  component.Unload();
  EXPECT_FALSE(Mapped()) << "FreeLibrary left the library mapped";
  EXPECT_EQ(GetModuleHandleW(L"kvncomp.dll"), nullptr);

  // A second load runs a new component with a log of its own again.
  ASSERT_TRUE(component.Load());
  int version = 0;
  EXPECT_EQ(component.getInterfaceVersion(&version), 1);
  EXPECT_EQ(version, 100);
  component.Unload();
  host.CloseFiles();

  int owned = 0;
  for (auto &name : LogNames())
    if (name.rfind(L"_VQ", 0) == 0) ++owned;
  EXPECT_EQ(owned, 1) << "the second load writes its own verbose log";
}

TEST_F(ComponentFixture, VerboseInitialisationLogsEachStep) {
  Start(L" /NO_OVERWRITE /Verbose_Log");
  component.Unload();
  std::wstring verbose;
  for (auto &name : LogNames())
    if (name != L"kvnsetup.log") verbose = name;
  ASSERT_FALSE(verbose.empty());
  EXPECT_EQ(LogText(verbose),
            "[14:30:00]::basecomp.cpp[99] \r\n/no_overwrite DETECTED"
            "[14:30:00]::basecomp.cpp[108] Detecting if 64-bit operating system... \r\n"
            "[14:30:00]::basecomp.cpp[723]     - Operating system is 64-bit.\r\n"
            "[14:30:00]::basecomp.cpp[724]     - Operating system is x64 based.\r\n"
            "[14:30:00]::basecomp.cpp[111] Locating package definition file... Failed!\r\n"
            "[14:30:00]::basecomp.cpp[134] Checking for install.xml... Not found.\r\n");
}

TEST_F(ComponentFixture, AttachHostLogOfANonVerboseComponentChangesNothing) {
  Start(L"");
  CCmpLog host(L"host.log", L"C:\\hostlogs\\");
  host.SetVerbose(1);
  host.Open();
  host.WriteEntry(2, 0, nullptr, 0, L"host line\r\n");
  EXPECT_EQ(component.getProperty(9, &host, 0, 0), 1);
  EXPECT_STREQ(host.GetVerboseName(), L"host.log");
  host.WriteEntry(2, 0, nullptr, 0, L"still mine\r\n");
  host.CloseFiles();
  EXPECT_EQ(machine.Read(L"C:\\hostlogs\\host.log"), "host line\r\nstill mine\r\n");
}

TEST_F(ComponentFixture, AttachHostLogMergesTheVerboseLogAndNeverDeletesTheHostLog) {
  Start(L" /verbose_log");
  CCmpLog host(L"host.log", L"C:\\hostlogs\\");
  host.SetVerbose(1);
  host.Open();
  host.WriteEntry(2, 0, nullptr, 0, L"HOST\r\n");
  std::vector<std::wstring> before = LogNames();

  EXPECT_EQ(component.getProperty(9, &host, 0, 0), 1);
  // The component's verbose log went into the host's, which then took the package's name
  // (none read yet: ".exe.log").
  for (auto &name : LogNames()) EXPECT_NE(name.rfind(L"_VQ", 0), 0u) << "the component's own file is gone";
  EXPECT_STREQ(host.GetVerboseName(), L".exe.log");
  std::string merged = machine.Read(L"C:\\hostlogs\\.exe.log");
  EXPECT_EQ(merged.rfind("HOST\r\n[14:30:00]::basecomp.cpp[103] \r\n/no_overwrite ABSENT", 0), 0u) << merged;

  // A second call leaves the host's log open and in place.
  EXPECT_EQ(component.getProperty(9, &host, 0, 0), 1);
  component.Unload();
  host.WriteEntry(2, 0, nullptr, 0, L"after unload\r\n");
  host.CloseFiles();
  std::string final = machine.Read(L"C:\\hostlogs\\.exe.log");
  EXPECT_EQ(final.substr(final.size() - 14), "after unload\r\n");
  EXPECT_EQ(final.find("HOST\r\n"), 0u);
}
