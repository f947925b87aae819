// The installing half of CInf on the simulated machine: DIRID folders, the "DestinationDirs"
// pairs, the file directives of an install section (files, PendingFileRenameOperations and
// the registry checked afterwards) and the order of the steps of a whole installation.
#include <gtest/gtest.h>
#include <winsim.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driverinstall/inf.h"
#include "testmachine.h"

namespace {

const std::wstring kInf = L"C:\\pkg\\z40e64.inf";
const std::wstring kDrivers = L"C:\\Windows\\system32\\drivers\\";
const std::string kVersion =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n";

// The strings of the session manager's PendingFileRenameOperations, in order.
std::vector<std::wstring> PendingOperations() {
  WCHAR data[2048];
  DWORD bytes = sizeof data;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                   L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data, &bytes) != ERROR_SUCCESS)
    return {};
  std::vector<std::wstring> out;
  size_t chars = bytes / sizeof(WCHAR);
  for (size_t pos = 0; pos < chars && data[pos];) {
    out.emplace_back(&data[pos]);
    pos += out.back().size() + 1;
    // A delete's target is an empty string: kept, so that each pair stays visible.
    if (out.size() % 2 == 1 && pos < chars && !data[pos]) {
      out.emplace_back();
      ++pos;
    }
  }
  return out;
}

// `pattern` with '*' standing for any run of characters.
bool Matches(const std::wstring &pattern, const std::wstring &text) {
  size_t star = pattern.find(L'*');
  if (star == std::wstring::npos) return pattern == text;
  std::wstring head = pattern.substr(0, star), tail = pattern.substr(star + 1);
  return text.size() >= head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CInfInstall, DirIdFolders) {
  TestMachine m;
  m.Write(kInf, kVersion);
  CInf inf(kInf.c_str());
  const std::wstring longRoot(MAX_PATH, L'x');
  struct Case {
    DWORD id;
    const WCHAR *variable;  // set to `value` first (null: removed) when given
    const WCHAR *value;
    bool ok;
    std::wstring folder;
  } cases[] = {
      {10, nullptr, nullptr, true, L"C:\\Windows"},
      {11, nullptr, nullptr, true, L"C:\\Windows\\system32"},
      {12, nullptr, nullptr, true, L"C:\\Windows\\system32\\drivers"},
      {17, nullptr, nullptr, true, L"C:\\Windows\\inf"},
      {18, nullptr, nullptr, true, L"C:\\Windows\\help"},
      {20, nullptr, nullptr, true, L"C:\\Windows\\fonts"},
      {24, nullptr, nullptr, true, L"C:"},
      {50, nullptr, nullptr, true, L"C:\\Windows\\system"},
      {0x4016, nullptr, nullptr, true, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu"},  // the shell's
      {0x4017, nullptr, nullptr, true, L"C:\\ProgramData\\Start Menu\\Programs"},
      {0x4018, nullptr, nullptr, true, L"C:\\ProgramData\\Start Menu\\Programs\\Startup"},
      {0x4019, nullptr, nullptr, true, L"C:\\ProgramData\\Desktop"},
      {0x401F, nullptr, nullptr, true, L"C:\\ProgramData\\Favorites"},
      {0x4023, nullptr, nullptr, true, L"C:\\ProgramData\\Application Data"},
      {0x4026, nullptr, nullptr, true, L"C:\\Program Files"},
      {0x402B, nullptr, nullptr, true, L"C:\\Program Files\\Common Files"},
      {13, nullptr, nullptr, true, L""},  // not in the table: an empty piece
      {0x4026, L"ProgramFiles", nullptr, false, L""},
      {24, L"SystemDrive", L"", false, L""},
      {12, L"SystemRoot", longRoot.c_str(), false, L""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.id);
    if (c.variable) {
      ASSERT_TRUE(SetEnvironmentVariableW(c.variable, c.value));
    }
    CStr folder(L"sentinel");
    EXPECT_EQ(inf.GetDirIdPath(c.id, folder) != FALSE, c.ok);
    EXPECT_EQ(std::wstring(folder), c.folder);
  }
}

TEST(CInfInstall, DestinationFolders) {
  const std::string longName(300, 'n');
  struct Case {
    const char *what;
    std::string lines;   // of [DestinationDirs]; no section at all when "-"
    const WCHAR *unset;  // an environment variable removed first
    const WCHAR *list;
    bool loads, found;
    std::wstring folder;
  } cases[] = {
      {"no section", "-", nullptr, L"Drv", false, false, L""},
      {"a section without lines", "", nullptr, L"Drv", false, false, L""},
      {"the only pair serves every list", "Other = 12\n", nullptr, L"Drv", true, true,
       L"C:\\Windows\\system32\\drivers"},
      {"the list's own pair, with a subfolder", "Drv = 12,z40e\nDefaultDestDir = 11\n", nullptr, L"Drv", true, true,
       L"C:\\Windows\\system32\\drivers\\z40e"},
      {"a key differing in case falls back to DefaultDestDir", "Drv = 12\nDefaultDestDir = 11\n", nullptr, L"drv", true,
       true, L"C:\\Windows\\system32"},
      {"neither the list nor DefaultDestDir", "A = 10\nB = 11\n", nullptr, L"C", true, false, L""},
      {"an unknown DIRID is an empty piece", "Drv = 999,sub\\dir\nB = 11\n", nullptr, L"Drv", true, true, L"sub\\dir"},
      {"an unknown DIRID alone gives no pair", "Drv = 999\nB = 11\n", nullptr, L"Drv", true, true,
       L"C:\\Windows\\system32"},
      {"a subfolder of digits is a DIRID", "Drv = 10,12\nB = 11\n", nullptr, L"Drv", true, true,
       L"C:\\Windows\\C:\\Windows\\system32\\drivers"},
      {"an unset variable: its list fails", "Drv = 16422,Kvn\nDefaultDestDir = 12\n", L"ProgramFiles", L"Drv", true,
       false, L""},
      {"an unset variable: DefaultDestDir does not stand in", "Drv = 16422\nDefaultDestDir = 12\n", L"ProgramFiles",
       L"Drv", true, false, L""},
      {"an unset variable: other lists still have theirs", "Drv = 16422\nDefaultDestDir = 12\n", L"ProgramFiles",
       L"Other", true, true, L"C:\\Windows\\system32\\drivers"},
      {"a subfolder too long for a path", "Drv = 12," + longName + "\nDefaultDestDir = 11\n", nullptr, L"Drv", true,
       false, L""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m;
    if (c.unset) {
      ASSERT_TRUE(SetEnvironmentVariableW(c.unset, nullptr));
    }
    m.Write(kInf, kVersion + (c.lines == "-" ? "" : "[DestinationDirs]\n" + c.lines));
    CInf inf(kInf.c_str());
    ASSERT_TRUE(inf.IsOpen());
    EXPECT_EQ(inf.LoadDestinationDirs() != FALSE, c.loads);
    CStr folder(L"sentinel");
    EXPECT_EQ(inf.GetDestinationDir(c.list, folder) != FALSE, c.found);
    EXPECT_EQ(std::wstring(folder), c.folder);
  }
}

// InstallSection over CopyFiles, DelFiles and RenFiles lists, with "AddReg" showing whether
// SetupAPI was reached. Every case starts from: C:\pkg\new.sys, src.sys and next.sys; in the
// drivers folder old.sys, old2.sys, old3.sys, locked.sys (in use) and a file "blocker".
TEST(CInfInstall, FileDirectivesOfASection) {
  struct File {
    std::wstring path;    // under the drivers folder unless it starts with "C:"
    std::string content;  // "-": absent
  };
  struct Case {
    const char *what;
    std::string directives, lists;
    std::string dirs;    // DestinationDirs lines
    std::string toml;    // added to the machine
    const WCHAR *unset;  // an environment variable removed first
    bool ok, reboot;
    std::vector<File> files;
    std::vector<std::wstring> pending;  // '*' for the generated part of a temporary name
  };
  const std::string dirs = "DefaultDestDir = 12\n";
  const std::string diskFull = "[[faults]]\nfunction = 'CopyFileW'\nnth = 1\nerror = 112\n";
  const std::string deleteFails = "[[faults]]\nfunction = 'DeleteFileW'\nnth = 1\nerror = 1117\n";
  const std::string moveFails = "[[faults]]\nfunction = 'MoveFileExW'\nnth = 1\nerror = 5\n";
  const std::wstring drv = L"\\??\\" + kDrivers;
  const std::string longName(300, 'n'), longList(600, 'l');
  // clang-format off
  const Case cases[] = {
      {"copies, a source named by field 2, new folders", "CopyFiles=Drv.Copy,Next.Copy\n",
       "[Drv.Copy]\nnew.sys\nrenamed.sys,src.sys\ndeep\\er\\x.sys,new.sys\n", dirs, "", nullptr, true, false,
       {{L"new.sys", "new"}, {L"renamed.sys", "src"}, {L"deep\\er\\x.sys", "new"}, {L"next.sys", "next"}}, {}},
      {"flag 0x10 and 0x10000 keep an existing file, 0x8 overwrites", "CopyFiles=Drv.Copy\n",
       "[Drv.Copy]\nold.sys,new.sys,,0x10\nold2.sys,new.sys,,0x8\nold3.sys,new.sys,,0x10000\nnew.sys,,,0x10\n",
       dirs, "", nullptr, true, false,
       {{L"old.sys", "old"}, {L"old2.sys", "new"}, {L"old3.sys", "old"}, {L"new.sys", "new"}}, {}},
      {"a missing source stops its list; the next list still runs", "CopyFiles=Drv.Copy\nCopyFiles=Next.Copy\n",
       "[Drv.Copy]\nmissing.sys\nnew.sys\n", dirs, "", nullptr, false, false,
       {{L"new.sys", "-"}, {L"next.sys", "next"}}, {}},
      {"a file in use is replaced at the restart from a copy beside it", "CopyFiles=Drv.Copy\n",
       "[Drv.Copy]\nlocked.sys,new.sys\n", dirs, "", nullptr, true, true,
       {{L"locked.sys", "old"}}, {drv + L"new*.tmp.sys", L"!" + drv + L"locked.sys"}},
      {"in use, and the restart cannot be booked", "CopyFiles=Drv.Copy\n",
       "[Drv.Copy]\nlocked.sys,new.sys\n", dirs, moveFails, nullptr, false, false,
       {{L"locked.sys", "old"}}, {}},
      {"TMP on another drive plays no part", "CopyFiles=Drv.Copy\n",
       "[Drv.Copy]\nlocked.sys,new.sys\n", dirs, "[env]\nTMP = 'D:\\Temp'\n", nullptr, true, true,
       {{L"locked.sys", "old"}}, {drv + L"new*.tmp.sys", L"!" + drv + L"locked.sys"}},
      {"a full disk fails the list", "CopyFiles=Drv.Copy,Next.Copy\n",
       "[Drv.Copy]\nnew.sys\n", dirs, diskFull, nullptr, false, false,
       {{L"new.sys", "-"}, {L"next.sys", "next"}}, {}},
      {"a file where a folder should be", "CopyFiles=Drv.Copy,Next.Copy\n",
       "[Drv.Copy]\nblocker\\sub\\x.sys,new.sys\n", dirs, "", nullptr, false, false,
       {{L"next.sys", "next"}}, {}},
      {"a name too long fails its line", "CopyFiles=Drv.Copy\n",
       "[Drv.Copy]\n" + longName + ",new.sys\nnew.sys\n", dirs, "", nullptr, false, false,
       {{L"new.sys", "-"}}, {}},
      {"a list name too long fails the directive", "CopyFiles=" + longList + ",Next.Copy\n",
       "", dirs, "", nullptr, false, false,
       {{L"next.sys", "next"}}, {}},
      {"an unset DIRID variable: nothing copied anywhere", "CopyFiles=Drv.Copy\n",
       "[Drv.Copy]\nnew.sys\n", "Drv.Copy = 16422,Kvn\nDefaultDestDir = 12\n", "", L"ProgramFiles", false, false,
       {{L"new.sys", "-"}, {L"C:\\pkg\\Kvn\\new.sys", "-"}, {L"C:\\Kvn\\new.sys", "-"}}, {}},
      {"DestinationDirs without lines fails the section", "CopyFiles=Next.Copy\n",
       "", "", "", nullptr, false, false,
       {{L"next.sys", "-"}}, {}},
      {"deletes: present, absent, at the restart by flag or when in use", "DelFiles=Drv.Del\n",
       "[Drv.Del]\nold.sys\nmissing.sys\nold2.sys,,,1\nold3.sys,,,0x10000\nlocked.sys\n", dirs, "", nullptr, true, true,
       {{L"old.sys", "-"}, {L"old2.sys", "old"}, {L"old3.sys", "old"}, {L"locked.sys", "old"}},
       {drv + L"old2.sys", L"", drv + L"old3.sys", L"", drv + L"locked.sys", L""}},
      {"a delete failing otherwise stops its list", "DelFiles=Drv.Del\n",
       "[Drv.Del]\nold.sys\nold2.sys\n", dirs, deleteFails, nullptr, false, false,
       {{L"old.sys", "old"}, {L"old2.sys", "old"}}, {}},
      {"renames, a file in use at the restart", "RenFiles=Drv.Ren\n",
       "[Drv.Ren]\nnew_name.sys,old.sys\nlocked.new,locked.sys\n", dirs, "", nullptr, true, true,
       {{L"old.sys", "-"}, {L"new_name.sys", "old"}, {L"locked.sys", "old"}},
       {drv + L"locked.sys", L"!" + drv + L"locked.new"}},
      {"a rename line of one field fails its list", "RenFiles=Drv.Ren\n",
       "[Drv.Ren]\nold.sys\nn2.sys,old2.sys\n", dirs, "", nullptr, false, false,
       {{L"old.sys", "old"}, {L"old2.sys", "old"}}, {}},
      {"a rename line of three fields fails its list", "RenFiles=Drv.Ren\n",
       "[Drv.Ren]\nn.sys,old.sys,x\n", dirs, "", nullptr, false, false,
       {{L"old.sys", "old"}, {L"n.sys", "-"}}, {}},
      {"a missing file to rename", "RenFiles=Drv.Ren\n",
       "[Drv.Ren]\nn.sys,missing.sys\n", dirs, "", nullptr, false, false,
       {{L"n.sys", "-"}}, {}},
      {"copy, delete and rename in turn", "RenFiles=Drv.Ren\nDelFiles=Drv.Del\nCopyFiles=Drv.Copy\n",
       "[Drv.Copy]\nold.sys,new.sys\n[Drv.Del]\nold.sys\n[Drv.Ren]\nold.sys,old2.sys\n", dirs, "", nullptr, true, false,
       {{L"old.sys", "old"}, {L"old2.sys", "-"}}, {}},
      {"no file directives: SetupAPI does the rest", "",
       "", dirs, "", nullptr, true, false,
       {}, {}},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(c.toml + "[[locked_files]]\npath = 'C:\\Windows\\system32\\drivers\\locked.sys'\nerror = 32\n");
    m.SetProcess(L"C:\\pkg\\kvnhost.exe", L"kvnhost.exe", L"C:\\pkg");
    if (c.unset) {
      ASSERT_TRUE(SetEnvironmentVariableW(c.unset, nullptr));
    }
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Windows", nullptr));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Windows\\Temp", nullptr));
    for (const char *name : {"new", "src", "next"}) m.Write(L"C:\\pkg\\" + winsim::FromUtf8(name) + L".sys", name);
    for (const char *name : {"old.sys", "old2.sys", "old3.sys", "locked.sys", "blocker"})
      m.Write(kDrivers + winsim::FromUtf8(name), "old");
    m.Write(kInf, kVersion + "[DestinationDirs]\n" + c.dirs + "[Install]\n" + c.directives +
                      "AddReg=Reg\n[Reg]\nHKLM,\"Software\\Kvn\",Installed,0x10001,1\n[Next.Copy]\nnext.sys\n" +
                      c.lists);
    CInf inf(kInf.c_str());
    ASSERT_TRUE(inf.IsOpen());
    EXPECT_EQ(inf.InstallSection(L"Install", HKEY_LOCAL_MACHINE) != FALSE, c.ok);
    EXPECT_EQ(inf.GetRebootNeeded() != FALSE, c.reboot);
    for (const File &f : c.files) {
      std::wstring path = f.path.rfind(L"C:", 0) == 0 ? f.path : kDrivers + f.path;
      SCOPED_TRACE(winsim::ToUtf8(path));
      EXPECT_EQ(m.Exists(path), f.content != "-");
      if (f.content != "-") {
        EXPECT_EQ(m.Read(path), f.content);
      }
    }
    std::vector<std::wstring> pending = PendingOperations();
    ASSERT_EQ(pending.size(), c.pending.size());
    for (size_t i = 0; i < pending.size(); ++i) {
      EXPECT_TRUE(Matches(c.pending[i], pending[i])) << winsim::ToUtf8(pending[i]);
      // The temporary copy holds the new file until the restart moves it into place.
      if (c.pending[i].find(L'*') != std::wstring::npos) {
        EXPECT_EQ(m.Read(pending[i].substr(4)), "new");
      }
    }
    // Nothing is left in TMP.
    EXPECT_TRUE(std::filesystem::is_empty(m.Host(L"C:\\Windows\\Temp")));
    DWORD installed = 0, bytes = sizeof installed;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Kvn", L"Installed", RRF_RT_REG_DWORD, nullptr, &installed,
                           &bytes) == ERROR_SUCCESS,
              c.ok);
  }
}

// CopyFileW refuses to overwrite a read-only or hidden file: those two attributes are cleared
// and the file replaced at once, never taken for a file in use. A no-overwrite flag keeps the
// file and its attributes; a file in use stays in use whatever its attributes.
TEST(CInfInstall, ReadOnlyOrHiddenDestinationIsReplacedAtOnce) {
  const DWORD kReadOnly = FILE_ATTRIBUTE_READONLY, kHidden = FILE_ATTRIBUTE_HIDDEN, kSystem = FILE_ATTRIBUTE_SYSTEM;
  const struct {
    const char *what;
    const char *line;
    DWORD attributes;  // of the existing old.sys (locked.sys for the file in use)
    std::string content;
    DWORD attributesAfter;  // the archive and normal bits left aside
    bool reboot;
  } cases[] = {
      {"read-only", "old.sys,new.sys", kReadOnly, "new", 0, false},
      {"hidden", "old.sys,new.sys", kHidden, "new", 0, false},
      {"read-only, hidden and system: the copy takes the new file's attributes", "old.sys,new.sys",
       kReadOnly | kHidden | kSystem, "new", 0, false},
      {"a no-overwrite flag keeps the file as it is", "old.sys,new.sys,,0x10", kReadOnly, "old", kReadOnly, false},
      {"read-only and in use: replaced at the restart", "locked.sys,new.sys", kReadOnly, "old", 0, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m("[[locked_files]]\npath = 'C:\\Windows\\system32\\drivers\\locked.sys'\nerror = 32\n");
    m.SetProcess(L"C:\\pkg\\kvnhost.exe", L"kvnhost.exe", L"C:\\pkg");
    m.Write(L"C:\\pkg\\new.sys", "new");
    std::wstring target = kDrivers + (c.reboot ? L"locked.sys" : L"old.sys");
    m.Write(target, "old");
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), c.attributes));
    m.Write(kInf, kVersion + "[DestinationDirs]\nDefaultDestDir = 12\n[Install]\nCopyFiles=Drv.Copy\n[Drv.Copy]\n" +
                      c.line + "\n");
    CInf inf(kInf.c_str());
    EXPECT_TRUE(inf.InstallSection(L"Install", HKEY_LOCAL_MACHINE));
    EXPECT_EQ(m.Read(target), c.content);
    EXPECT_EQ(GetFileAttributesW(target.c_str()) & ~DWORD(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL),
              c.attributesAfter);
    EXPECT_EQ(inf.GetRebootNeeded() != FALSE, c.reboot);
    EXPECT_EQ(PendingOperations().size(), c.reboot ? 2u : 0u);
  }
}

// A CInf whose steps beyond the file lists and sections record that they ran.
class RecordingInf : public CInf {
 public:
  using CInf::CInf;
  std::vector<std::wstring> calls;
  bool servicesSetFileError = false;

  BOOL InstallSection(const WCHAR *section, HKEY rootKey) override {
    calls.push_back(L"section " + std::wstring(section));
    return CInf::InstallSection(section, rootKey);
  }
  BOOL CreateLegacyDevice(BOOL *) override {
    calls.emplace_back(L"device");
    return TRUE;
  }
  BOOL InstallServices(const WCHAR *section) override {
    calls.push_back(L"services " + std::wstring(section));
    if (servicesSetFileError) s_bFileError = TRUE;
    return TRUE;
  }
  BOOL InstallSoftwareSettings(const WCHAR *section) override {
    calls.push_back(L"settings " + std::wstring(section));
    return TRUE;
  }
  void CreateStartMenuItems() override { calls.emplace_back(L"shortcuts"); }
};

TEST(CInfInstall, InstallationsRunEveryStepInOrder) {
  const std::vector<std::wstring> whole = {L"section Install",
                                           L"section Other",
                                           L"device",
                                           L"services Install.Services",
                                           L"settings Install.SoftwareSettings",
                                           L"shortcuts"};
  const std::vector<std::wstring> noDevice = {L"section Install", L"section Other", L"services Install.Services",
                                              L"settings Install.SoftwareSettings", L"shortcuts"};
  const std::vector<std::wstring> section = {L"section Install", L"device", L"services Install.Services",
                                             L"settings Install.SoftwareSettings", L"shortcuts"};
  const std::vector<std::wstring> sectionNoCase = {L"section install", L"services install.Services",
                                                   L"settings install.SoftwareSettings", L"shortcuts"};
  const std::vector<std::wstring> other = {L"section Other", L"shortcuts"};
  const std::wstring legacyKey = L"System\\CurrentControlSet\\Enum\\Root\\LEGACY_Z40E\\0000";
  const std::wstring virtualKey = L"System\\CurrentControlSet\\Enum\\Root\\Z40E\\0000";
  struct Case {
    const char *what;
    const WCHAR *base;  // InstallInfSection of it; InstallInf when null
    BOOL virtualDevice;
    std::wstring rootKey;  // created first when not empty
    std::string drvLines;
    bool servicesSetFileError;
    BOOL ok, reboot;
    std::vector<std::wstring> calls;
  } cases[] = {
      {"whole INF, a file in use", nullptr, 0, L"", "locked.sys,new.sys\n", false, 1, 1, whole},
      {"a legacy device exists", nullptr, 0, legacyKey, "new.sys\n", false, 1, 0, noDevice},
      {"virtual mode looks for ROOT\\<SERVICE>", nullptr, 1, legacyKey, "new.sys\n", false, 1, 0, whole},
      {"virtual mode, the device exists", nullptr, 1, virtualKey, "new.sys\n", false, 1, 0, noDevice},
      {"a failed list: the later steps run, no restart reported", nullptr, 0, L"", "locked.sys,new.sys\nmissing.sys\n",
       false, 0, 0, whole},
      {"a file error fails the installation", nullptr, 0, L"", "new.sys\n", true, 0, 0, whole},
      {"one section", L"Install", 0, L"", "locked.sys,new.sys\n", false, 1, 1, section},
      {"one section named in another case", L"install", 0, legacyKey, "new.sys\n", false, 1, 0, sectionNoCase},
      {"a section without services or settings", L"Other", 0, legacyKey, "new.sys\n", false, 1, 0, other},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m("[[locked_files]]\npath = 'C:\\Windows\\system32\\drivers\\locked.sys'\nerror = 32\n");
    m.Write(L"C:\\pkg\\new.sys", "new");
    m.Write(L"C:\\pkg\\next.sys", "next");
    m.Write(kDrivers + L"locked.sys", "old");
    if (!c.rootKey.empty()) {
      HKEY key = nullptr;
      ASSERT_EQ(
          RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.rootKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
          0);
      RegCloseKey(key);
    }
    m.Write(kInf, kVersion +
                      "[DestinationDirs]\nDefaultDestDir = 12\n"
                      "[Install]\nCopyFiles=Drv.Copy\n[Install.Services]\nAddService=z40e,2,Svc\n"
                      "[Install.SoftwareSettings]\nx=1\n[Other]\nCopyFiles=Next.Copy\n"
                      "[Svc]\nServiceType=1\nStartType=3\n[Next.Copy]\nnext.sys\n[Drv.Copy]\n" +
                      c.drvLines);
    RecordingInf inf(kInf.c_str());
    ASSERT_TRUE(inf.IsOpen());
    inf.SetVirtualDevice(c.virtualDevice);
    inf.servicesSetFileError = c.servicesSetFileError;
    BOOL reboot = 77;
    BOOL ok = c.base ? inf.InstallInfSection(c.base, &reboot, 1) : inf.InstallInf(&reboot);
    EXPECT_EQ(ok != FALSE, c.ok != FALSE);
    EXPECT_EQ(reboot, c.reboot);
    EXPECT_EQ(inf.calls, c.calls);
    EXPECT_EQ(CInf::s_bSuppressDeleteErrors, c.base ? 1 : 0);
    bool otherInstalled = !c.base || std::wstring(c.base) == L"Other";
    EXPECT_EQ(m.Exists(kDrivers + L"next.sys"), otherInstalled);
  }
  // An INF that is not open installs nothing and leaves the flag alone.
  TestMachine m;
  RecordingInf missing(L"C:\\pkg\\missing.inf");
  BOOL reboot = 77;
  EXPECT_FALSE(missing.InstallInf(&reboot));
  EXPECT_FALSE(missing.InstallInfSection(L"Install", &reboot, 1));
  EXPECT_EQ(reboot, 77);
  EXPECT_TRUE(missing.calls.empty());
}

}  // namespace
