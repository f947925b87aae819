// CInf's Start-menu shortcuts on the simulated machine: the link files they leave in the
// all-users Programs folder, read back from the machine.
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <set>
#include <string>

#include "driverinstall/inf.h"
#include "testmachine.h"

namespace {

const std::wstring kInf = L"C:\\pkg\\tool.inf";
const std::wstring kNt4Programs = L"C:\\Windows\\Profiles\\All Users\\Start Menu\\Programs";

std::string Inf() {
  return "[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n"
         "[Install]\nCopyFiles=Files.Tool\n"
         "KvnStartMenuItems=Item.Tool,Item.NoGroup,Item.LongName,Item.NoName,Item.Second\n"
         "[Files.Tool]\ntool.exe\n"
         "[Item.Tool]\nName=\"Tool Monitor\"\nPath=%%SystemRoot%%\\system32\\tool.exe\nArgs=\"/monitor /q\"\n"
         "WorkingDir=%%SystemRoot%%\nGroup=Tools\n"
         "[Item.NoGroup]\nName=Lonely\nPath=C:\\lonely.exe\n"
         "[Item.LongName]\nName=" +
         std::string(300, 'n') + "\nGroup=Tools\n[Item.NoName]\nPath=C:\\x.exe\nGroup=Tools\n" +
         "[Item.Second]\nName=Second\nPath=C:\\second.exe\nGroup=Tools\n";
}

// The names of the files in a folder of the machine.
std::set<std::string> FilesIn(const TestMachine &m, const std::wstring &folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto &entry : std::filesystem::directory_iterator(m.Host(folder), ec))
    names.insert(entry.path().filename().string());
  return names;
}

TEST(CInfShortcuts, LinksGoToTheAllUsersProgramsGroupOnWindowsNt4Only) {
  const std::string nt4 = "[os]\nmajor = 4\nminor = 0\n";
  struct Case {
    const char *name;
    std::string toml;
    bool programsFolder;
    std::set<std::string> links;  // in Programs\Tools
  } cases[] = {
      {"NT 4", nt4, true, {"Tool Monitor.lnk", "Second.lnk"}},
      {"Windows 10", "[os]\nmajor = 10\n", true, {}},
      {"NT 4 without a Programs folder", nt4, false, {}},
      {"NT 4, COM refused", nt4 + "[[faults]]\nfunction = \"CoInitialize\"\nerror = 0x8007000E\n", true, {}},
      {"NT 4, first link object refused",
       nt4 + "[[faults]]\nfunction = \"CoCreateInstance\"\nnth = 1\nerror = 0x80040154\n",
       true,
       {"Second.lnk"}},
      {"NT 4, first save fails",
       nt4 + "[[faults]]\nfunction = \"IPersistFile::Save\"\nnth = 1\nerror = 0x80070070\n",
       true,
       {"Second.lnk"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m(c.toml);
    m.Write(kInf, Inf());
    if (c.programsFolder) m.Write(kNt4Programs + L"\\keep.txt", "");
    CInf inf(kInf.c_str());
    ASSERT_TRUE(inf.IsOpen());
    inf.CreateStartMenuItems();
    EXPECT_EQ(FilesIn(m, kNt4Programs + L"\\Tools"), c.links);
    // The apartment is left as it was found.
    IUnknown *object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void **>(&object)),
              CO_E_NOTINITIALIZED);
  }
}

TEST(CInfShortcuts, LinkFileHoldsTheExpandedTargetArgumentsAndFolder) {
  TestMachine m("[os]\nmajor = 4\nminor = 0\n");
  m.Write(kInf, Inf());
  m.Write(kNt4Programs + L"\\keep.txt", "");
  CInf inf(kInf.c_str());
  inf.CreateStartMenuItems();
  EXPECT_EQ(m.Read(kNt4Programs + L"\\Tools\\Tool Monitor.lnk"),
            "[winsim shell link]\r\nTarget=C:\\Windows\\system32\\tool.exe\r\nArguments=/monitor /q\r\n"
            "WorkingDirectory=C:\\Windows\r\nDescription=Tool Monitor\r\nIconLocation=,0\r\nShowCmd=1\r\n");
  EXPECT_FALSE(m.Exists(kNt4Programs + L"\\Lonely.lnk"));
}

}  // namespace
