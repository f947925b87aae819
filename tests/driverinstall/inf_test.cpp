// CInf on the simulated machine: construction and the [Version] reads, the three section
// lists, the service name and start type, the file-queue callback; and the package file
// list of CWin2000PnPDriver with the files it stages, checked in the machine's folders.
#include "driverinstall/inf.h"

#include <gtest/gtest.h>
#include <winsim.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "driverinstall/pnpdriver.h"
#include "testmachine.h"

namespace {

const std::wstring kInf = L"C:\\pkg\\z40e64.inf";
const std::string kVersion = "[Version]\nSignature=\"$Windows NT$\"\n";

std::vector<std::wstring> Texts(const CStrList &list) {
  std::vector<std::wstring> out;
  for (const CStr &s : list) out.emplace_back(s.GetString());
  return out;
}

std::wstring OrNone(const WCHAR *text) { return text ? text : L"(none)"; }

TEST(CInf, ConstructionReadsTheVersionInOrder) {
  TestMachine m;
  m.SetProcess(L"C:\\pkg\\kvnhost.exe", L"kvnhost.exe", L"C:\\pkg");
  struct Case {
    const char *what;
    std::string content;
    bool open;
    std::wstring signature, cls, guid;
  } cases[] = {
      {"all three", kVersion + "Class=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n", true, L"$Windows NT$",
       L"Net", L"{4d36e972-e325-11ce-bfc1-08002be10318}"},
      {"no Class: no GUID either", kVersion + "ClassGUID={4d36e972}\n", true, L"$Windows NT$", L"(none)", L"(none)"},
      {"no Signature: nothing", "[Version]\nClass=Net\nClassGUID={4d36e972}\n", false, L"(none)", L"(none)", L"(none)"},
      {"the line's text", "[version]\nsignature = $Chicago$ , x\nCLASS=\"Net\"\n", true, L"$Chicago$,x", L"Net",
       L"(none)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    m.Write(kInf, c.content);
    CInf inf(L"z40e64.inf");
    EXPECT_EQ(inf.IsOpen() != FALSE, c.open);
    EXPECT_EQ(std::wstring(inf.GetInfPath()), kInf);
    EXPECT_EQ(std::wstring(inf.GetInfFolder()), L"C:\\pkg\\");
    EXPECT_EQ(OrNone(inf.GetSignature()), c.signature);
    EXPECT_EQ(OrNone(inf.GetClass()), c.cls);
    EXPECT_EQ(OrNone(inf.GetClassGuid()), c.guid);
  }
  CInf missing(L"C:\\nowhere\\x.inf");
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_TRUE(missing.GetCopyFilesSections().IsEmpty());
  WCHAR name[16] = L"untouched";
  EXPECT_FALSE(missing.GetServiceName(nullptr, name, 16));
  EXPECT_EQ(std::wstring(name), L"untouched");
}

TEST(CInf, ListsSectionsInFileOrder) {
  TestMachine m;
  m.Write(kInf, kVersion +
                    "[Install.NT]\nCopyFiles=Drv.Copy\nAddReg=Reg\n"
                    "[Install.NT.Services]\nAddService=z40e,2,Svc\n"
                    "[Both]\naddservice=b,2,Svc\ncopyfiles=@b.sys\n"
                    "[Drv.Copy]\nz40e64.sys\n"
                    "[Z40E.SoftwareSettings]\n[z40e.softwaresettings.nt]\nx=1\n"
                    "[Install.NT]\nCopyFiles=More\n"
                    "[Svc]\nStartType=3\n");
  CInf inf(kInf.c_str());
  ASSERT_TRUE(inf.IsOpen());
  EXPECT_EQ(Texts(inf.GetCopyFilesSections()), (std::vector<std::wstring>{L"Install.NT", L"Both", L"Install.NT"}));
  EXPECT_EQ(Texts(inf.GetServiceSections()), (std::vector<std::wstring>{L"Install.NT.Services", L"Both"}));
  EXPECT_EQ(Texts(inf.GetSoftwareSettingsSections()),
            (std::vector<std::wstring>{L"Z40E.SoftwareSettings", L"z40e.softwaresettings.nt"}));
}

TEST(CInf, ASectionListCutByItsBufferKeepsOnlyWholeNames) {
  TestMachine m;
  // 2000 names of 11 characters overflow the 16384-character list: the names that came
  // whole are kept, the one cut by the buffer is not.
  std::string text = kVersion;
  for (int i = 0; i < 2000; ++i)
    text += "[Section" + std::string(4 - std::to_string(i).size(), '0') + std::to_string(i) + "]\nCopyFiles=x\n";
  m.Write(kInf, text);
  CInf inf(kInf.c_str());
  ASSERT_TRUE(inf.IsOpen());
  const CStrList &sections = inf.GetCopyFilesSections();
  ASSERT_EQ(sections.GetCount(), (0x4000 - 2 - 8) / 12);
  EXPECT_EQ(std::wstring(sections[sections.GetCount() - 1]), L"Section1363");
}

TEST(CInf, ServiceNameAndStartType) {
  TestMachine m;
  m.Write(kInf, kVersion +
                    "[Install.NT.Services]\nAddReg=x\nAddService=z40e,0x2,Svc.Install\nAddService=other,2,Other\n"
                    "[Other.Services]\nAddService=\"long service name\",2,NoSuch\n"
                    "[NoStart.Services]\nAddService=ns,2,NoStart\n"
                    "[BadStart.Services]\nAddService=bs,2,BadStart\n"
                    "[Svc.Install]\nServiceType=1\nStartType=0x3\n"
                    "[NoStart]\nServiceType=1\n[BadStart]\nStartType=demand\n");
  CInf inf(kInf.c_str());
  ASSERT_TRUE(inf.IsOpen());
  struct Case {
    const WCHAR *section;
    DWORD length;
    bool ok;
    std::wstring name;  // "untouched" when it fails
    bool typeOk;
    DWORD type;  // 77 when untouched
  } cases[] = {
      {nullptr, 256, true, L"z40e", true, 3},
      {L"install.nt.services", 5, true, L"z40e", true, 3},
      {L"Install.NT.Services", 4, false, L"untouched", true, 3},  // no room for the terminator
      {L"Other.Services", 254, true, L"long service name", false, 77},
      {L"NoStart.Services", 256, true, L"ns", false, 77},
      {L"BadStart.Services", 256, true, L"bs", false, 77},
      {L"Svc.Install", 256, false, L"untouched", false, 77},
      {L"Missing", 256, false, L"untouched", false, 77},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.section ? winsim::ToUtf8(c.section) : "(first)");
    WCHAR buffer[256] = L"untouched";
    EXPECT_EQ(inf.GetServiceName(c.section, buffer, c.length) != FALSE, c.ok);
    EXPECT_EQ(std::wstring(buffer), c.name);
    DWORD type = 77;
    EXPECT_EQ(inf.GetServiceStartType(c.section, &type) != FALSE, c.typeOk);
    EXPECT_EQ(type, c.type);
  }
  // Without AddService lines there is no first service section.
  m.Write(L"C:\\pkg\\plain.inf", kVersion + "[Install]\nCopyFiles=x\n");
  CInf plain(L"C:\\pkg\\plain.inf");
  WCHAR buffer[32] = L"untouched";
  DWORD type = 77;
  EXPECT_FALSE(plain.GetServiceName(nullptr, buffer, 32));
  EXPECT_FALSE(plain.GetServiceStartType(nullptr, &type));
  EXPECT_EQ(std::wstring(buffer), L"untouched");
  EXPECT_EQ(type, 77u);
}

TEST(CInf, FileQueueCallbackRecordsErrorsAndDelays) {
  TestMachine m;
  m.Write(kInf, kVersion);
  CInf inf(kInf.c_str());
  CInf::s_fileErrors.RemoveAll();
  CInf::s_nNeededMedia = 0;
  FILEPATHS_W paths = {L"C:\\t\\a.sys", L"C:\\s\\a.sys", 5, 0};
  auto param = reinterpret_cast<UINT_PTR>(&paths);
  struct Case {
    const char *what;
    BOOL suppressDeletes;
    UINT notification;
    UINT result;
    BOOL fileError;
    size_t errors;
  } cases[] = {
      {"start", 0, 1, FILEOP_DOIT, 0, 0},
      {"suppressed delete error", 1, SPFILENOTIFY_DELETEERROR, FILEOP_SKIP, 0, 0},
      {"first media request", 0, SPFILENOTIFY_NEEDMEDIA, FILEOP_DOIT, 0, 0},
      {"delayed operation", 0, SPFILENOTIFY_FILEOPDELAYED, FILEOP_DOIT, 0, 0},
      {"delete error", 0, SPFILENOTIFY_DELETEERROR, FILEOP_SKIP, 1, 1},
      {"copy error", 0, SPFILENOTIFY_COPYERROR, FILEOP_SKIP, 1, 2},
      {"second media request", 0, SPFILENOTIFY_NEEDMEDIA, FILEOP_SKIP, 1, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CInf::s_bSuppressDeleteErrors = c.suppressDeletes;
    EXPECT_EQ(CInf::FileQueueCallback(&inf, c.notification, param, 0), c.result);
    EXPECT_EQ(CInf::s_bFileError, c.fileError);
    EXPECT_EQ(size_t(CInf::s_fileErrors.GetCount()), c.errors);
  }
  EXPECT_EQ(Texts(CInf::s_fileErrors), (std::vector<std::wstring>{L"File Delete Error: C:\\t\\a.sys",
                                                                  L"File Copy Error: C:\\s\\a.sys --> C:\\t\\a.sys"}));
  EXPECT_EQ(CInf::s_nNeededMedia, 2);
  EXPECT_TRUE(inf.GetRebootNeeded());
  // A new CInf clears the process-wide flags (not the list).
  CInf::s_bSuppressDeleteErrors = 1;
  CInf again(kInf.c_str());
  EXPECT_FALSE(CInf::s_bFileError);
  EXPECT_FALSE(CInf::s_bSuppressDeleteErrors);
  EXPECT_FALSE(again.GetRebootNeeded());
}

TEST(CWin2000PnPDriver, AddPackageFileAddsTheCompressedVariantOnce) {
  TestMachine m;
  CWin2000PnPDriver driver(L"z40e64.inf", TRUE);
  // A listed variant counts as listed; a variant is added even when it equals its name.
  for (const WCHAR *name : {L"z40e64.inf", L"z40e64.inf", L"README", L"", static_cast<const WCHAR *>(nullptr), L"a.sy",
                            L"a.s", L"a.", L"Z40E64.INF", L"z40e64.in_", L"x.sy_", L"dir.x\\file"})
    EXPECT_EQ(driver.AddPackageFile(name), 1);
  EXPECT_EQ(Texts(driver.GetPackageFiles()),
            (std::vector<std::wstring>{L"z40e64.inf", L"z40e64.in_", L"README", L"README._", L"a.sy", L"a.sy_", L"a.s",
                                       L"a.s_", L"a.", L"a._", L"Z40E64.INF", L"Z40E64.IN_", L"x.sy_", L"x.sy_",
                                       L"dir.x\\file", L"dir.x\\fil_"}));
}

TEST(CWin2000PnPDriver, CopyPackageFilesStagesWhatTheInfNames) {
  TestMachine m;
  // The INF is read from the library's folder; the files are copied from the current one.
  m.SetProcess(L"C:\\lib\\kvnhost.exe", L"kvnhost.exe", L"C:\\pkg");
  m.Write(L"C:\\lib\\z40e64.inf", kVersion +
                                      "CatalogFile=z40e64.cat\nCatalogFile.ntamd64=z40e64a.cat\n"
                                      "[Install.NT]\nCopyFiles=Drv.Copy,@z40ecoin.dll,Empty,Missing\n"
                                      "CopyFiles=Drv.Copy\n"
                                      "[Drv.Copy]\nz40e64.sys\nz40e64.dll,z40src.dll\nlast.dat,\n,\n"
                                      "[Empty]\n");
  struct Case {
    const char *what;
    std::vector<std::string> present;  // in C:\pkg
    int result;
  } cases[] = {
      {"variants missing",
       {"z40e64.inf", "z40e64.cat", "z40e64a.cat", "z40ecoin.dll", "z40e64.sys", "z40src.dll", "last.dat"},
       0},
      {"all present",
       {"z40e64.inf", "z40e64.in_", "z40e64.cat", "z40e64.ca_", "z40e64a.cat", "z40e64a.ca_", "z40ecoin.dll",
        "z40ecoin.dl_", "z40e64.sys", "z40e64.sy_", "z40src.dll", "z40src.dl_", "last.dat", "last.da_"},
       1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string &name : c.present) m.Write(L"C:\\pkg\\" + winsim::FromUtf8(name), name);
    // A read-only copy from an earlier run is overwritten.
    m.Write(L"C:\\stage\\z40e64.sys", "old");
    SetFileAttributesW(L"C:\\stage\\z40e64.sys", FILE_ATTRIBUTE_READONLY);
    CWin2000PnPDriver driver(L"z40e64.inf", TRUE);
    EXPECT_EQ(driver.CopyPackageFiles(L"C:\\stage"), c.result);
    EXPECT_EQ(Texts(driver.GetPackageFiles()),
              (std::vector<std::wstring>{L"z40e64.inf", L"z40e64.in_", L"z40e64.cat", L"z40e64.ca_", L"z40e64a.cat",
                                         L"z40e64a.ca_", L"z40ecoin.dll", L"z40ecoin.dl_", L"z40e64.sys", L"z40e64.sy_",
                                         L"z40src.dll", L"z40src.dl_", L"last.dat", L"last.da_"}));
    for (const std::string &name : c.present) EXPECT_EQ(m.Read(L"C:\\stage\\" + winsim::FromUtf8(name)), name);
  }
  // Without its INF only the INF itself is listed.
  CWin2000PnPDriver missing(L"other.inf", FALSE);
  EXPECT_EQ(missing.CopyPackageFiles(L"C:\\stage2"), 0);
  EXPECT_EQ(Texts(missing.GetPackageFiles()), (std::vector<std::wstring>{L"other.inf", L"other.in_"}));
  EXPECT_TRUE(m.Exists(L"C:\\stage2"));
}

}  // namespace

TEST(CWin2000PnPDriver, CopyPackageFilesStagesOnlyIntoAFolderMadeSafe) {
  const std::string safe = "Administrators protected: Administrators=2032127 SYSTEM=2032127";
  // Made safe in place, and what inherits from such a folder.
  const std::string inPlace = "Administrators protected: Administrators=2032127 SYSTEM=2032127 545=1179817";
  const std::string inherited = "Administrators: Administrators=2032127 SYSTEM=2032127 545=1179817";
  const std::string folder = "path = 'C:\\VADORUREV\\pnpdrvs'\n";
  const std::string foreignFile =
      "[[file_security]]\npath = 'C:\\VADORUREV\\pnpdrvs\\extra.dll'\nowner = 'S-1-5-21-7-7-7-1001'\n";
  struct Case {
    const char *what;
    std::string toml;
    bool precreate;  // the folder exists on the drive with a planted file
    bool plantFile;  // a file stands where the folder should be
    bool hardLink;   // the planted extra.dll has a second name elsewhere
    int result;
    bool plantedStays;               // the planted file is still in the staging folder
    std::string pnpdrvs, vadorurev;  // their security afterwards (when the result is 1)
  } cases[] = {
      // C:\VADORUREV holds a file and has what the drive root passes on (Users may add to it).
      {"missing", "", false, false, false, 1, false, safe, inPlace},
      {"with what the drive root passes on: kept", "", true, false, false, 1, true, inherited, inPlace},
      {"writable by Users: made safe in place",
       "[[file_security]]\n" + folder + "allow = [ { who = 'Users', access = 'modify' } ]\n", true, false, false, 1,
       true, inPlace, inPlace},
      {"Users may change its access list",
       "[[file_security]]\n" + folder + "allow = [ { who = 'Users', access = 'full' } ]\n", true, false, false, 1,
       false, safe, inPlace},
      {"owned by a user", "[[file_security]]\n" + folder + "owner = 'S-1-5-21-7-7-7-1001'\n", true, false, false, 1,
       false, safe, inPlace},
      {"a file in its place", "", false, true, false, 1, false, safe, inPlace},
      {"a junction to System32", "[[file_security]]\n" + folder + "link_target = 'C:\\Windows\\System32'\n", false,
       false, false, 1, false, safe, inPlace},
      {"in use and open to Users' changes: cannot be moved aside",
       "[[locked_files]]\n" + folder +
           "[[file_security]]\npath = 'C:\\VADORUREV'\nowner = "
           "'Administrators'\nprotected = true\nallow = [ { who = 'Administrators', access = 'full' }, { who = "
           "'SYSTEM', access = 'full' } ]\n[[file_security]]\n" +
           folder + "allow = [ { who = 'Users', access = 'full' } ]\n",
       true, false, false, 0, true, "", ""},
      {"already safe",
       "[[file_security]]\npath = 'C:\\VADORUREV'\nprotected = true\nallow = [ { who = 'Administrators', access = "
       "'full' }, { who = 'SYSTEM', access = 'full' } ]\n",
       true, false, false, 1, true, "Administrators: Administrators=2032127 SYSTEM=2032127", safe},
      {"in a folder made safe in place, a file of another owner is moved aside", foreignFile, true, false, false, 1,
       false, inherited, inPlace},
      {"in a folder made safe in place, a file with a second name is moved aside", "", true, false, true, 1, false,
       inherited, inPlace},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m;
    m.Write(L"C:\\Windows\\System32\\kernel32.dll", "system");
    m.Write(L"C:\\pkg\\z40e64.inf", kVersion);
    m.Write(L"C:\\pkg\\z40e64.in_", "compressed");
    m.Write(L"C:\\VADORUREV\\readme.txt", "left at the drive root by whoever came first");
    if (c.precreate) m.Write(L"C:\\VADORUREV\\pnpdrvs\\z40e64.inf", "planted");
    if (c.precreate) m.Write(L"C:\\VADORUREV\\pnpdrvs\\extra.dll", "planted");
    if (c.hardLink)
      std::filesystem::create_hard_link(m.Host(L"C:\\VADORUREV\\pnpdrvs\\extra.dll"), m.Host(L"C:\\extra-link.dll"));
    if (c.plantFile) m.Write(L"C:\\VADORUREV\\pnpdrvs", "a file");
    // The variant's entries are added once its files are on the drive.
    winsim::CloseMachine();
    std::ofstream(m.Dir() / "machine.toml", std::ios::app) << c.toml;
    std::string error;
    ASSERT_TRUE(winsim::OpenMachine(m.Dir(), error)) << error;
    m.SetProcess(L"C:\\pkg\\kvnhost.exe", L"kvnhost.exe", L"C:\\pkg");
    CWin2000PnPDriver driver(L"z40e64.inf", TRUE);
    EXPECT_EQ(driver.CopyPackageFiles(L"C:\\VADORUREV\\pnpdrvs"), c.result);
    std::string staged =
        m.Exists(L"C:\\VADORUREV\\pnpdrvs\\z40e64.inf") ? m.Read(L"C:\\VADORUREV\\pnpdrvs\\z40e64.inf") : "";
    EXPECT_EQ(staged, c.result ? std::string(kVersion) : "planted");
    EXPECT_EQ(m.Exists(L"C:\\VADORUREV\\pnpdrvs\\extra.dll"), c.plantedStays);
    if (c.result) {
      EXPECT_EQ(FileSecurityText(L"C:\\VADORUREV\\pnpdrvs"), c.pnpdrvs);
      EXPECT_EQ(FileSecurityText(L"C:\\VADORUREV"), c.vadorurev);
      EXPECT_EQ(GetFileAttributesW(L"C:\\VADORUREV\\pnpdrvs") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    }
    // Nothing went through a link: System32 holds what it held.
    EXPECT_FALSE(m.Exists(L"C:\\Windows\\System32\\z40e64.inf"));
    EXPECT_EQ(m.Read(L"C:\\Windows\\System32\\kernel32.dll"), "system");
  }
}
