#include "support/cmplog.h"

#include <gtest/gtest.h>

#include <string>

#include "testmachine.h"

namespace {
const std::wstring kLogDir = L"C:\\vadorurev\\log\\";
const std::string kRule = std::string(75, '=');

struct LogFixture : ::testing::Test {
  TestMachine machine;
  std::string Normal() const { return machine.Read(kLogDir + L"kvnsetup.log"); }
  std::string Verbose(const CCmpLog &log) const {
    return machine.Read(std::wstring(log.GetVerboseDirectory()) + log.GetVerboseName());
  }
};

// An open log, verbose or not, written through one call per case.
struct Case {
  int kind;
  int severity;
  const char *normal;
  const char *verbose;
};

const Case kCases[] = {
    {0, 0, "text", ""},
    {1, 0, "", "[14:30:00]::basecomp.cpp[12] text"},
    {2, 0, "", "text"},
    {3, 0, "text", "[14:30:00]::basecomp.cpp[12] text"},
    {4, 0, "text", "text"},
    {3, 1, "**WARNING** - text", "[14:30:00]::basecomp.cpp[12] **WARNING** - text"},
    {3, 2, "**ERROR** - text", "[14:30:00]::basecomp.cpp[12] **ERROR** - text"},
    {3, 3, "**CRITICAL** - text", "[14:30:00]::basecomp.cpp[12] **CRITICAL** - text"},
    {4, 2, "**ERROR** - text", "**ERROR** - text"},
    {1, 1, "", "[14:30:00]::basecomp.cpp[12] **WARNING** - text"},
    {0, 3, "**CRITICAL** - text", ""},
    {3, 7, "text", "text"},  // an unknown severity: no prefix, no tag
    {5, 0, "", ""},          // an unknown kind writes nothing
    {-1, 0, "", ""},
};
}  // namespace

TEST_F(LogFixture, KindsAndSeveritiesGoToTheirFilesInTheirForm) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " severity " << c.severity);
    machine.Reopen();
    std::filesystem::remove_all(machine.Host(kLogDir));
    CCmpLog log;
    log.SetVerbose(1);
    ASSERT_EQ(log.Open(), 0);
    log.WriteEntry(c.kind, c.severity, L"..\\..\\Source\\basecomp.cpp", 12, L"%ls", L"text");
    ASSERT_EQ(log.CloseFiles(), 0);
    EXPECT_EQ(Normal(), c.normal);
    EXPECT_EQ(Verbose(log), c.verbose);
  }
}

TEST_F(LogFixture, WithoutVerboseOnlyTheNormalLogExistsAndStepsAppearNowhere) {
  CCmpLog log;
  ASSERT_EQ(log.Open(), 0);
  for (int kind = 0; kind <= 4; ++kind) log.WriteEntry(kind, 0, L"x.cpp", 1, L"k%d.", kind);
  log.CloseFiles();
  EXPECT_EQ(Normal(), "k0.k3.k4.");
  EXPECT_FALSE(machine.Exists(kLogDir + log.GetVerboseName()));
}

TEST_F(LogFixture, VerboseNameIsGeneratedAndNothingIsCreatedForIt) {
  CCmpLog log;
  std::wstring name = log.GetVerboseName();
  EXPECT_EQ(name.substr(0, 3), L"_VQ");
  EXPECT_EQ(name.substr(name.size() - 4), L".tmp");
  EXPECT_LE(name.size(), std::wstring(L"_VQFFFF.tmp").size());
  EXPECT_EQ(std::wstring(log.GetVerboseDirectory()), kLogDir);
  // The name is formed in ".", the package directory, without creating a file there.
  EXPECT_FALSE(machine.Exists(L"C:\\" + name));
}

TEST_F(LogFixture, GivenVerboseNameAndDirectoryAreUsed) {
  CCmpLog log(L"host.log", L"%SystemDrive%\\hostlogs");
  EXPECT_STREQ(log.GetVerboseName(), L"host.log");
  EXPECT_STREQ(log.GetVerboseDirectory(), L"C:\\hostlogs\\");
  log.SetVerbose(1);
  ASSERT_EQ(log.Open(), 0);
  log.WriteEntry(4, 0, nullptr, 0, L"both");
  log.CloseFiles();
  EXPECT_EQ(machine.Read(L"C:\\hostlogs\\host.log"), "both");
}

TEST_F(LogFixture, PercentInArgumentsIsWrittenAsItIs) {
  CCmpLog log;
  log.Open();
  log.WriteEntry(0, 0, nullptr, 0, L"%ls %d%%", L"50%d %s", 7);
  log.CloseFiles();
  EXPECT_EQ(Normal(), "50%d %s 7%");
}

TEST_F(LogFixture, LongEntriesAreWrittenWhole) {
  CCmpLog log;
  log.Open();
  std::wstring big(5000, L'x');
  log.WriteEntry(0, 0, nullptr, 0, L"%ls!", big.c_str());
  log.CloseFiles();
  EXPECT_EQ(Normal(), std::string(5000, 'x') + "!");
}

TEST_F(LogFixture, TextIsWrittenInTheAnsiCodePage) {
  CCmpLog log;
  log.Open();
  log.WriteEntry(0, 0, nullptr, 0, L"caf\u00e9 \u20ac \u4e00");
  log.CloseFiles();
  EXPECT_EQ(Normal(), "caf\xe9 \x80 ?");
}

TEST_F(LogFixture, TwoRunsAppendToTheSameLog) {
  for (const wchar_t *text : {L"first\r\n", L"second\r\n"}) {
    CCmpLog log;
    log.Open();
    log.WriteEntry(0, 0, nullptr, 0, text);
    log.CloseFiles();
  }
  EXPECT_EQ(Normal(), "first\r\nsecond\r\n");
}

TEST_F(LogFixture, HeaderAndFooterShowImageVersionDateAndReturnCode) {
  machine.WritePe(L"C:\\Setup\\setup.exe", "2.3.40.5");
  machine.SetProcess(L"C:\\Setup\\setup.exe", L"setup.exe", L"C:\\Setup");
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  log.WriteLogHeader();
  log.WriteLogFooter(3010);
  log.CloseFiles();
  std::string footer = "\r\n\r\nLog Session End. [14:30:00]\r\nReturn Code (3010)\r\n" + kRule + "\r\n\r\n";
  EXPECT_EQ(Normal(), kRule +
                          "\r\nSource:          setup.exe\r\nVersion:         2.3.40.5\r\n"
                          "Log Date:        12/8/2026 14:30:00\r\n\r\nLog Session Start...\r\n\r\n" +
                          footer);
  EXPECT_EQ(Verbose(log), kRule +
                              "\r\nSource:          setup.exe\r\nVersion:         2.3.40.5\r\n"
                              "Stub Version:    \r\nLog Date:        12/8/2026 14:30:00\r\n\r\n"
                              "Verbose Log Session Start ...\r\n\r\n" +
                              footer);
}

TEST_F(LogFixture, HeaderOfAnImageWithoutVersionResourceHasAnEmptyVersion) {
  machine.WritePe(L"C:\\Setup\\setup.exe", "");
  machine.SetProcess(L"C:\\Setup\\setup.exe", L"setup.exe", L"C:\\Setup");
  CCmpLog log;
  log.m_pszStubVersion = L"9.9";
  log.SetVerbose(1);
  log.Open();
  log.WriteLogHeader();
  log.CloseFiles();
  EXPECT_NE(Normal().find("\r\nVersion:         \r\nLog Date:"), std::string::npos);
  EXPECT_NE(Verbose(log).find("\r\nStub Version:    9.9\r\n"), std::string::npos);
}

TEST_F(LogFixture, MessageWriterWritesStepsAndReportsWithoutReinterpretingPercent) {
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  CMessageWriter writer;
  writer.Bind(&log);
  writer.Step(L"component.cpp", 42, L"[X]::%ls %d%%\r\n", L"100%s", 5);
  writer.Report(L"component.cpp", 43, L"report %ls\r\n", L"%d");
  std::wstring big(3000, L'y');
  writer.Report(L"component.cpp", 44, L"%ls", big.c_str());
  log.CloseFiles();
  EXPECT_EQ(Verbose(log), "[14:30:00]::component.cpp[42] [X]::100%s 5%\r\n");
  EXPECT_EQ(Normal(), "report %d\r\n" + std::string(1023, 'y'));
}

TEST_F(LogFixture, RelocateToTheSamePlaceDoesNothing) {
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  log.WriteEntry(2, 0, nullptr, 0, L"a");
  std::wstring name = log.GetVerboseName();
  log.RelocateVerboseLog(name.c_str(), log.GetVerboseDirectory());
  log.RelocateVerboseLog(L"", L"C:\\elsewhere\\");
  log.RelocateVerboseLog(nullptr, L"C:\\elsewhere\\");
  log.WriteEntry(2, 0, nullptr, 0, L"b");
  log.CloseFiles();
  EXPECT_EQ(std::wstring(log.GetVerboseName()), name);
  EXPECT_EQ(Verbose(log), "ab");
  EXPECT_FALSE(machine.Exists(L"C:\\elsewhere"));
}

TEST_F(LogFixture, RelocateToANewNameMovesTheFile) {
  machine.Write(L"C:\\other\\unrelated.txt", "");
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  log.WriteEntry(2, 0, nullptr, 0, L"before ");
  std::wstring old = kLogDir + log.GetVerboseName();
  log.RelocateVerboseLog(L"moved.log", L"C:\\other\\");
  log.WriteEntry(2, 0, nullptr, 0, L"after");
  log.CloseFiles();
  EXPECT_STREQ(log.GetVerboseName(), L"moved.log");
  EXPECT_STREQ(log.GetVerboseDirectory(), L"C:\\other\\");
  EXPECT_FALSE(machine.Exists(old));
  EXPECT_EQ(machine.Read(L"C:\\other\\moved.log"), "before after");
}

TEST_F(LogFixture, RelocateIntoAMissingDirectoryKeepsTheOldTextWhereItIs) {
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  log.WriteEntry(2, 0, nullptr, 0, L"before");
  std::wstring name = log.GetVerboseName();
  log.RelocateVerboseLog(L"moved.log", L"C:\\new\\dir\\");
  log.WriteEntry(2, 0, nullptr, 0, L"after");
  log.CloseFiles();
  EXPECT_EQ(std::wstring(log.GetVerboseName()), name);
  EXPECT_EQ(machine.Read(kLogDir + name), "before");
  EXPECT_EQ(machine.Read(L"C:\\new\\dir\\moved.log"), "after");
}

TEST_F(LogFixture, RelocateOntoAnExistingFileAppendsAndDeletesTheOld) {
  machine.Write(L"C:\\other\\host.log", "HOST\r\n");
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  log.WriteEntry(2, 0, nullptr, 0, L"mine\r\n");
  std::wstring old = kLogDir + log.GetVerboseName();
  log.RelocateVerboseLog(L"host.log", L"C:\\other\\");
  log.WriteEntry(2, 0, nullptr, 0, L"later\r\n");
  log.CloseFiles();
  EXPECT_FALSE(machine.Exists(old));
  EXPECT_STREQ(log.GetVerboseName(), L"host.log");
  EXPECT_EQ(machine.Read(L"C:\\other\\host.log"), "HOST\r\nmine\r\nlater\r\n");
}

// The host relocates its own log within the record's own directory (and may name the file by
// the record's own name): the arguments are the record's texts themselves.
TEST_F(LogFixture, RelocateWithTheRecordsOwnTextsAsArguments) {
  const struct {
    const char *name;
    bool ownName;            // the new name is the record's name (the directory is C:\other\)
    const char *existing;    // already at the new place; null: nothing
    const wchar_t *newName;  // when not the record's own
    const char *expected;
  } cases[] = {
      {"a new name in its own directory", false, nullptr, L"pkg.exe.log", "mine\r\nlater\r\n"},
      {"an existing file in its own directory", false, "HOST\r\n", L"pkg.exe.log", "HOST\r\nmine\r\nlater\r\n"},
      {"its own name in another directory", true, nullptr, nullptr, "mine\r\nlater\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    machine.Reopen();
    std::filesystem::remove_all(machine.Host(kLogDir));
    std::filesystem::remove_all(machine.Host(L"C:\\other\\"));
    machine.Write(L"C:\\other\\unrelated.txt", "");
    CCmpLog log;
    log.SetVerbose(1);
    ASSERT_EQ(log.Open(), 0);
    log.WriteEntry(2, 0, nullptr, 0, L"mine\r\n");
    const std::wstring oldName = log.GetVerboseName();
    const std::wstring newName = c.ownName ? oldName : c.newName;
    const std::wstring newDirectory = c.ownName ? L"C:\\other\\" : kLogDir;
    if (c.existing) machine.Write(newDirectory + newName, c.existing);
    if (c.ownName)
      log.RelocateVerboseLog(log.GetVerboseName(), newDirectory.c_str());
    else
      log.RelocateVerboseLog(newName.c_str(), log.GetVerboseDirectory());
    log.WriteEntry(2, 0, nullptr, 0, L"later\r\n");
    ASSERT_EQ(log.CloseFiles(), 0);
    EXPECT_EQ(std::wstring(log.GetVerboseName()), newName);
    EXPECT_EQ(std::wstring(log.GetVerboseDirectory()), newDirectory);
    EXPECT_EQ(machine.Read(newDirectory + newName), c.expected);
    EXPECT_FALSE(machine.Exists(kLogDir + oldName));
  }
}

TEST_F(LogFixture, RelocateOfAnEmptyLogLeavesItInPlace) {
  machine.Write(L"C:\\other\\host.log", "HOST\r\n");
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  std::wstring name = log.GetVerboseName();
  log.RelocateVerboseLog(L"host.log", L"C:\\other\\");
  log.WriteEntry(2, 0, nullptr, 0, L"still here");
  log.CloseFiles();
  EXPECT_EQ(std::wstring(log.GetVerboseName()), name);
  EXPECT_EQ(Verbose(log), "still here");
  EXPECT_EQ(machine.Read(L"C:\\other\\host.log"), "HOST\r\n");
}

TEST(LogFailures, RelocateOntoALockedFileKeepsLoggingToTheOldOne) {
  TestMachine machine("[[locked_files]]\npath = 'C:\\other\\host.log'\nerror = 32\n");
  machine.Write(L"C:\\other\\host.log", "HOST\r\n");
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  log.WriteEntry(2, 0, nullptr, 0, L"one ");
  std::wstring name = log.GetVerboseName();
  log.RelocateVerboseLog(L"host.log", L"C:\\other\\");
  log.WriteEntry(2, 0, nullptr, 0, L"two");
  log.CloseFiles();
  EXPECT_EQ(std::wstring(log.GetVerboseName()), name);
  EXPECT_EQ(machine.Read(kLogDir + name), "one two");
  EXPECT_EQ(machine.Read(L"C:\\other\\host.log"), "HOST\r\n");
}

TEST(LogFailures, FailedMoveKeepsTheNamesAndLogsAtTheNewPath) {
  TestMachine machine("[[faults]]\nfunction = \"MoveFileW\"\nerror = 5\n");
  CCmpLog log;
  log.SetVerbose(1);
  log.Open();
  log.WriteEntry(2, 0, nullptr, 0, L"old");
  std::wstring name = log.GetVerboseName();
  log.RelocateVerboseLog(L"new.log", L"C:\\other\\");
  log.WriteEntry(2, 0, nullptr, 0, L"new");
  log.CloseFiles();
  EXPECT_EQ(std::wstring(log.GetVerboseName()), name);
  EXPECT_EQ(machine.Read(kLogDir + name), "old");
  EXPECT_EQ(machine.Read(L"C:\\other\\new.log"), "new");
}

TEST(LogFailures, UncreatableDirectoryMakesOpenFailAndWritesAreSkipped) {
  TestMachine machine("[[faults]]\nfunction = \"CreateDirectoryW\"\nerror = 5\n");
  CCmpLog log;
  log.SetVerbose(1);
  EXPECT_EQ(log.Open(), 103);
  log.WriteEntry(4, 0, nullptr, 0, L"lost");
  log.WriteLogHeader();
  log.WriteLogFooter(0);
  EXPECT_EQ(log.CloseFiles(), 0);
  EXPECT_FALSE(machine.Exists(kLogDir));
}

TEST(LogFailures, NormalFileThatCannotBeOpenedLeavesTheVerboseOneWorking) {
  TestMachine machine("[[faults]]\nfunction = \"CreateFileW\"\nwhen_arg_contains = \"kvnsetup.log\"\nerror = 32\n");
  CCmpLog log;
  log.SetVerbose(1);
  EXPECT_EQ(log.Open(), 103);
  log.WriteEntry(4, 0, nullptr, 0, L"both");
  log.CloseFiles();
  EXPECT_FALSE(machine.Exists(kLogDir + L"kvnsetup.log"));
  EXPECT_EQ(machine.Read(kLogDir + log.GetVerboseName()), "both");
}

TEST(LogFailures, FailingWritesLoseNothingWrittenBefore) {
  TestMachine machine("[[faults]]\nfunction = \"WriteFile\"\nnth = 2\nerror = 112\n");
  CCmpLog log;
  log.Open();
  log.WriteEntry(0, 0, nullptr, 0, L"one ");
  log.WriteEntry(0, 0, nullptr, 0, L"two ");
  log.WriteEntry(0, 0, nullptr, 0, L"three");
  log.CloseFiles();
  EXPECT_EQ(machine.Read(kLogDir + L"kvnsetup.log"), "one three");
}

TEST(LogFailures, DirectoryLongerThanMaxPathLeavesNoFileRecord) {
  std::string longDir(300, 'd');
  TestMachine machine("[env]\nSystemDrive = 'C:\\" + longDir + "'\n");
  CCmpLog log;
  EXPECT_EQ(log.GetConstructionError(), 104);
  EXPECT_STREQ(log.GetVerboseName(), L"");
  log.SetVerbose(1);
  EXPECT_EQ(log.Open(), 0);
  log.WriteEntry(4, 0, nullptr, 0, L"nowhere");
  log.WriteLogHeader();
  log.RelocateVerboseLog(L"x.log", L"C:\\x\\");
  EXPECT_EQ(log.CloseFiles(), 0);
}

TEST(LogFailures, VerboseDirectoryLongerThanMaxPathKeepsTheNormalLog) {
  TestMachine machine;
  std::wstring longDir = L"C:\\" + std::wstring(300, L'v');
  CCmpLog log(L"v.log", longDir.c_str());
  EXPECT_EQ(log.GetConstructionError(), 104);
  log.SetVerbose(1);
  EXPECT_EQ(log.Open(), 0);
  log.WriteEntry(4, 0, nullptr, 0, L"normal only");
  log.CloseFiles();
  EXPECT_EQ(machine.Read(kLogDir + L"kvnsetup.log"), "normal only");
}
