// winsim's INF installation calls where the differential probe cannot reach: HKLM and the
// machine's own record of directives it does not apply, INF files an Include appends, the
// refusals that leave the registry untouched, and services with a run-time state.
#include <windows.h>
#include <setupapi.h>
#include <winsvc.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <cstring>
#include <string>
#include <vector>

#include "testmachine.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
const std::string kHeader = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";

HINF OpenInf(TestMachine &m, const std::string &body) {
  m.Write(L"C:\\pkg\\drv.inf", kHeader + body);
  HINF inf = SetupOpenInfFileW(L"C:\\pkg\\drv.inf", nullptr, INF_STYLE_WIN4, nullptr);
  EXPECT_NE(inf, INVALID_HANDLE_VALUE);
  return inf;
}

TEST(InfInstall, SectionsAreAppliedRecordedOrRefusedWithoutAPartialEffect) {
  const std::wstring kKey = L"SOFTWARE\\Kvn";
  const std::wstring kRecord = L"SOFTWARE\\winsim\\SetupDirectives\\drv.inf\\";
  const std::string kBody =
      "[Reg]\r\nAddReg=Reg.Add\r\nUpdateInis=Ini.A,Ini.B\r\nLogConfig=Lc\r\nProfileItems=Pi\r\nIni2Reg=I2r\r\n"
      "[Reg.Add]\r\nHKLM,SOFTWARE\\Kvn,Added,,\"yes\"\r\n"
      "[Files]\r\nCopyFiles=Files.Copy\r\nAddReg=Reg.Add\r\n[Files.Copy]\r\na.sys\r\n"
      "[Inc]\r\nInclude=other.inf\r\nNeeds=Other.Section\r\n"
      "[Inc.Missing]\r\nInclude=nosuch.inf\r\n";
  // clang-format off
  struct Case {
    const char *name;
    const wchar_t *section;
    UINT flags;
    DWORD error;          // 0: success
    std::wstring added;   // HKLM\SOFTWARE\Kvn "Added" afterwards
    std::wstring inis;    // the record of UpdateInis
  } cases[] = {
      {"registry only",        L"Reg",         SPINST_REGISTRY,                    0,                          L"yes",   L""},
      {"recorded directives",  L"Reg",         SPINST_ALL & ~SPINST_FILES,         0,                          L"yes",   L"Ini.A|Ini.B"},
      {"file directives",      L"Files",       SPINST_ALL,                         ERROR_CALL_NOT_IMPLEMENTED, L"",      L""},
      {"files not asked for",  L"Files",       SPINST_REGISTRY,                    0,                          L"yes",   L""},
      {"included INF",         L"Inc",         SPINST_REGISTRY,                    0,                          L"other", L""},
      {"single section",       L"Inc",         SPINST_REGISTRY | SPINST_SINGLESECTION, 0,                      L"",      L""},
      {"missing include",      L"Inc.Missing", SPINST_REGISTRY,                    ERROR_FILE_NOT_FOUND,       L"",      L""},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m;
    m.Write(L"C:\\Windows\\INF\\other.inf",
            kHeader + "[Other.Section]\r\nAddReg=Other.Add\r\n[Other.Add]\r\nHKLM,SOFTWARE\\Kvn,Added,,\"other\"\r\n");
    HINF inf = OpenInf(m, kBody);
    SetLastError(kSentinel);
    BOOL ok = SetupInstallFromInfSectionW(nullptr, inf, c.section, c.flags, nullptr, nullptr, 0, nullptr, nullptr,
                                          nullptr, nullptr);
    EXPECT_EQ(ok != FALSE, c.error == 0);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(RegistryText(kKey, L"Added"), c.added);
    EXPECT_EQ(RegistryText(kRecord + L"Reg", L"UpdateInis"), c.inis);
    if (!c.inis.empty()) {
      EXPECT_EQ(RegistryText(kRecord + L"Reg", L"LogConfig"), L"Lc");
      EXPECT_EQ(RegistryText(kRecord + L"Reg", L"ProfileItems"), L"Pi");
      EXPECT_EQ(RegistryText(kRecord + L"Reg", L"Ini2Reg"), L"I2r");
    }
    SetupCloseInfFile(inf);
  }
}

// A service started by its AddService line (SPSVCINST_STARTSERVICE); DelService stops it first
// only when asked, so without the flag it is
// marked for deletion and stays until it stops; its event-log source goes on request.
TEST(InfInstall, DelServiceStopsAndDeletesAsItsFlagsSay) {
  const std::wstring kSvc = L"SYSTEM\\CurrentControlSet\\Services\\kvnsvc";
  const std::wstring kSource = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\kvnsvc";
  // clang-format off
  struct Case {
    const char *flags;
    std::wstring typeAfter, deleteFlagAfter, sourceAfter;
    DWORD error;  // the last error of the successful call: a service left running asks for a restart
  } cases[] = {
      {"0",     L"1", L"1", L"7", ERROR_SUCCESS_REBOOT_REQUIRED},
      {"0x200", L"",  L"",  L"7", ERROR_SUCCESS},
      {"0x204", L"",  L"",  L"",  ERROR_SUCCESS},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.flags);
    TestMachine m;
    HINF inf = OpenInf(m, std::string("[Add]\r\nAddService=kvnsvc,0x800,Svc,Log,System\r\n"
                                      "[Svc]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\n"
                                      "ServiceBinary=%12%\\kvn.sys\r\n"
                                      "[Log]\r\nAddReg=Log.Add\r\n[Log.Add]\r\nHKR,,TypesSupported,0x10001,7\r\n"
                                      "[Del]\r\nDelService=kvnsvc,") +
                              c.flags + ",System\r\n");
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf, L"Add", 0));
    EXPECT_EQ(RegistryText(kSvc, L"ImagePath"), L"C:\\Windows\\System32\\drivers\\kvn.sys");
    EXPECT_EQ(RegistryText(kSource, L"TypesSupported"), L"7");
    SetLastError(kSentinel);
    EXPECT_TRUE(SetupInstallServicesFromInfSectionW(inf, L"Del", 0));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(RegistryText(kSvc, L"Type"), c.typeAfter);
    EXPECT_EQ(RegistryText(kSvc, L"DeleteFlag"), c.deleteFlagAfter);
    EXPECT_EQ(RegistryText(kSource, L"TypesSupported"), c.sourceAfter);
    SetupCloseInfFile(inf);
  }
}

}  // namespace

namespace {

// Publishing fills the lowest free oemN.inf; an INF already published under any number is
// found by its content and nothing is copied.
TEST(InfInstall, CopyOemInfNumbersNewInfsAndFindsPublishedOnes) {
  const std::string kA = kHeader + "[A]\r\n", kB = kHeader + "[B]\r\n", kC = kHeader + "[C]\r\n";
  // clang-format off
  struct Case {
    const char *name;
    std::string source;
    DWORD style, error;
    const wchar_t *answer;  // the name answered; null for none
    std::vector<const wchar_t *> infAfter;
  } cases[] = {
      {"new INF, gap at 1",  kC, 0,                   0,                    L"C:\\Windows\\INF\\oem1.inf", {L"oem0.inf", L"oem1.inf", L"oem2.inf"}},
      {"published as oem2", kB, 0,                    0,                    L"C:\\Windows\\INF\\oem2.inf", {L"oem0.inf", L"oem2.inf"}},
      {"no overwrite",      kB, SP_COPY_NOOVERWRITE,  ERROR_FILE_EXISTS,    L"C:\\Windows\\INF\\oem2.inf", {L"oem0.inf", L"oem2.inf"}},
      {"replace only, new", kC, SP_COPY_REPLACEONLY,  ERROR_FILE_NOT_FOUND, nullptr,                       {L"oem0.inf", L"oem2.inf"}},
      {"replace only, old", kA, SP_COPY_REPLACEONLY,  0,                    L"C:\\Windows\\INF\\oem0.inf", {L"oem0.inf", L"oem2.inf"}},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m;
    m.Write(L"C:\\Windows\\INF\\oem0.inf", kA);
    m.Write(L"C:\\Windows\\INF\\oem2.inf", kB);
    m.Write(L"C:\\pkg\\drv.inf", c.source);
    WCHAR name[MAX_PATH] = L"";
    PWSTR component = nullptr;
    SetLastError(kSentinel);
    BOOL ok = SetupCopyOEMInfW(L"C:\\pkg\\drv.inf", nullptr, SPOST_PATH, c.style, name, MAX_PATH, nullptr, &component);
    EXPECT_EQ(ok != FALSE, c.error == 0);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(std::wstring(name), c.answer ? c.answer : L"");
    if (c.answer) {
      EXPECT_EQ(std::wstring(component), std::wstring(c.answer).substr(15));
      EXPECT_EQ(m.Read(c.answer), c.source);
    }
    for (const wchar_t *inf : {L"oem0.inf", L"oem1.inf", L"oem2.inf", L"oem3.inf"}) {
      bool listed = false;
      for (const wchar_t *want : c.infAfter) listed = listed || std::wstring(want) == inf;
      EXPECT_EQ(m.Exists(std::wstring(L"C:\\Windows\\INF\\") + inf), listed) << winsim::ToUtf8(inf);
    }
  }
}

}  // namespace

namespace {

// A second AddService for a service that exists: each NOCLOBBER flag keeps its value, the
// rest takes the new section's.
TEST(InfInstall, AddServiceOnAnExistingServiceKeepsWhatItsNoclobberFlagsProtect) {
  const std::wstring kSvc = L"SYSTEM\\CurrentControlSet\\Services\\kvnsvc";
  // clang-format off
  struct Case {
    const char *flags;
    std::wstring start, errorControl, display, group, depends, description;
  } cases[] = {
      {"0",     L"2", L"0", L"New", L"NewGroup", L"NewDep", L"New text"},
      {"0x8",   L"2", L"0", L"Old", L"NewGroup", L"NewDep", L"New text"},
      {"0x10",  L"3", L"0", L"New", L"NewGroup", L"NewDep", L"New text"},
      {"0x20",  L"2", L"1", L"New", L"NewGroup", L"NewDep", L"New text"},
      {"0x40",  L"2", L"0", L"New", L"OldGroup", L"NewDep", L"New text"},
      {"0x80",  L"2", L"0", L"New", L"NewGroup", L"OldDep", L"New text"},
      {"0x100", L"2", L"0", L"New", L"NewGroup", L"NewDep", L"Old text"},
      {"0x1f8", L"3", L"1", L"Old", L"OldGroup", L"OldDep", L"Old text"},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.flags);
    TestMachine m;
    HINF inf = OpenInf(m, std::string("[Old]\r\nAddService=kvnsvc,,Old.Svc\r\n"
                                      "[Old.Svc]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\n"
                                      "ServiceBinary=%12%\\old.sys\r\nDisplayName=Old\r\nLoadOrderGroup=OldGroup\r\n"
                                      "Dependencies=OldDep\r\nDescription=\"Old text\"\r\n"
                                      "[New]\r\nAddService=kvnsvc,") +
                              c.flags +
                              ",New.Svc\r\n"
                              "[New.Svc]\r\nServiceType=1\r\nStartType=2\r\nErrorControl=0\r\n"
                              "ServiceBinary=%12%\\new.sys\r\nDisplayName=New\r\nLoadOrderGroup=NewGroup\r\n"
                              "Dependencies=NewDep\r\nDescription=\"New text\"\r\n");
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf, L"Old", 0));
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf, L"New", 0)) << GetLastError();
    EXPECT_EQ(RegistryText(kSvc, L"ImagePath"), L"C:\\Windows\\System32\\drivers\\new.sys");
    EXPECT_EQ(RegistryText(kSvc, L"Start"), c.start);
    EXPECT_EQ(RegistryText(kSvc, L"ErrorControl"), c.errorControl);
    EXPECT_EQ(RegistryText(kSvc, L"DisplayName"), c.display);
    EXPECT_EQ(RegistryText(kSvc, L"Group"), c.group);
    EXPECT_EQ(RegistryText(kSvc, L"DependOnService"), c.depends);
    EXPECT_EQ(RegistryText(kSvc, L"Description"), c.description);
    SetupCloseInfFile(inf);
  }
}

}  // namespace
