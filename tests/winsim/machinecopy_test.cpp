// A machine's own files: how a machine copied into a state goes over its base, the images
// binaries.txt lists, and the consistency warnings of a machine that loads.
#include <gtest/gtest.h>
#include <winsim.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "testmachine.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
  fs::path dir;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "winsim-copy.XXXXXX").string();
    dir = mkdtemp(pattern.data());
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  void Write(const fs::path &relative, const std::string &text) const {
    fs::create_directories((dir / relative).parent_path());
    std::ofstream(dir / relative, std::ios::binary) << text;
  }
  std::string Read(const fs::path &relative) const {
    std::ifstream in(dir / relative, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

std::vector<std::string> Texts(const toml::array *list, const char *key = nullptr) {
  std::vector<std::string> out;
  if (list)
    for (const toml::node &n : *list)
      out.push_back(key ? (*n.as_table())[key].value_or(std::string()) : n.value_or(std::string()));
  return out;
}

TEST(CopyMachine, MergesTheMachineOverItsBase) {
  Scratch s;
  s.Write("base/machine.toml",
          "protected_keys = ['HKLM\\SOFTWARE\\A']\n"
          "[os]\nmajor = 10\n[machine]\ncomputer_name = 'BASE'\n[env]\nA = 'base'\nB = 'base'\n"
          "[[devices]]\ninstance_id = 'PCI\\X\\1'\ndescription = 'one'\n"
          "[[devices]]\ninstance_id = 'PCI\\X\\2'\ndescription = 'two'\n"
          "[[faults]]\nfunction = 'CopyFileW'\nnth = 5\n");
  s.Write("base/registry.reg",
          "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kvn]\n\"Keep\"=\"1\"\n"
          "\"Drop\"=\"1\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n\"X\"=\"1\"\n");
  s.Write("base/drive_c/a.txt", "base");
  s.Write("base/drive_c/b.txt", "base");
  s.Write("own/machine.toml",
          "base = '../base'\nprotected_keys = ['HKLM\\SOFTWARE\\B']\n[machine]\ncomputer_name = 'OWN'\n"
          "[env]\nB = 'own'\n"
          "[[devices]]\ninstance_id = 'pci\\x\\1'\nremove = true\n"
          "[[devices]]\ninstance_id = 'PCI\\X\\2'\ndescription = 'two, replaced'\n"
          "[[devices]]\ninstance_id = 'PCI\\X\\3'\ndescription = 'three'\n"
          "[[faults]]\nfunction = 'DeleteFileW'\nnth = 1\n");
  s.Write("own/registry.reg",
          "Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kvn]\n\"Drop\"=-\n\"New\"=\"2\"\n");
  s.Write("own/drive_c/b.txt", "own");

  std::string error;
  ASSERT_TRUE(winsim::CopyMachine(s.dir / "own", s.dir / "state", error)) << error;
  toml::table t = toml::parse_file((s.dir / "state/machine.toml").string());
  EXPECT_FALSE(t.contains("base"));
  EXPECT_EQ(t["os"]["major"].value_or(0), 10);
  EXPECT_EQ(t["machine"]["computer_name"].value_or(std::string()), "OWN");
  EXPECT_EQ(t["env"]["A"].value_or(std::string()), "base");
  EXPECT_EQ(t["env"]["B"].value_or(std::string()), "own");
  EXPECT_EQ(Texts(t["devices"].as_array(), "description"), (std::vector<std::string>{"two, replaced", "three"}));
  EXPECT_EQ(Texts(t["faults"].as_array(), "function"), (std::vector<std::string>{"CopyFileW", "DeleteFileW"}));
  EXPECT_EQ(Texts(t["protected_keys"].as_array()),
            (std::vector<std::string>{"HKLM\\SOFTWARE\\A", "HKLM\\SOFTWARE\\B"}));
  const std::string registry = s.Read("state/registry.reg");
  for (const char *kept : {"\"Keep\"=\"1\"", "\"New\"=\"2\""}) EXPECT_NE(registry.find(kept), std::string::npos);
  for (const char *gone : {"Drop", "Gone"}) EXPECT_EQ(registry.find(gone), std::string::npos) << registry;
  EXPECT_EQ(s.Read("state/drive_c/a.txt"), "base");
  EXPECT_EQ(s.Read("state/drive_c/b.txt"), "own");

  // The copy loads; the machine with a base itself does not.
  ASSERT_TRUE(winsim::OpenMachine(s.dir / "state", error)) << error;
  winsim::CloseMachine();
  EXPECT_FALSE(winsim::OpenMachine(s.dir / "own", error));
  EXPECT_NE(error.find("machine.toml:1: base a machine with a base opens as a copy"), std::string::npos) << error;
}

TEST(CopyMachine, MakesTheImagesBinariesTxtListsOrSaysWhichLineIsWrong) {
  const struct {
    const char *line;
    const char *error;  // empty: the image is made
  } cases[] = {
      {"drive_c/Windows/System32/drivers/kvn.sys drv 1.2.3.4 kvn.sys Kvn driver", ""},
      {"drive_c/kvn.dll exe 1.2.3.4 kvn Kvn", "binaries.txt:2: the type exe is not app, dll or drv"},
      {"drive_c/kvn.dll dll 1.2.3 kvn Kvn", "binaries.txt:2: the version 1.2.3 is not four numbers"},
      {"../kvn.dll dll 1.2.3.4 kvn Kvn", "binaries.txt:2: the path ../kvn.dll is not a path inside"},
      {"drive_c/kvn.dll dll 1.2.3.4", "binaries.txt:2: expected: path type version internal-name description"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    Scratch s;
    s.Write("m/drive_c/.keep", "");
    s.Write("m/binaries.txt", std::string("# path type version internal-name description\n") + c.line + "\n");
    std::string error;
    bool copied = winsim::CopyMachine(s.dir / "m", s.dir / "state", error);
    EXPECT_EQ(copied, !*c.error) << error;
    if (*c.error) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_FALSE(fs::exists(s.dir / "state"));
    } else {
      EXPECT_EQ(s.Read("state/drive_c/Windows/System32/drivers/kvn.sys").substr(0, 2), "MZ");
    }
  }
}

// A machine made to have every warning: each is said once, naming its file and entry, and
// the machine loads all the same.
TEST(MachineWarnings, EachInconsistencyOnceWithItsFileAndEntry) {
  TestMachine m(
      "[os]\nmajor = 10\nbuild = 17763\n"
      "[[devices]]\ninstance_id = 'PCI\\VEN_1\\1'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n"
      "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem7.inf'\nservice = 'nokey'\n"
      "[[devices]]\ninstance_id = 'PCI\\VEN_1\\2'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n"
      "[devices.driver]\ninf = 'C:\\Windows\\INF\\machine.inf'\nflags = 0x100000\nservice = 'kvnsvc'\n");
  m.Write(L"C:\\Windows\\System32\\drivers\\ghost.sys", "image");
  winsim::CloseMachine();  // registry.reg is written while the machine is closed
  std::ofstream(m.Dir() / "registry.reg")
      << "Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
         "\"CurrentVersion\"=\"6.1\"\n\"CurrentBuildNumber\"=\"7601\"\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvnsvc]\n\"Type\"=dword:00000001\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\agent]\n\"Type\"=dword:00000010\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ghost]\n\"Type\"=dword:00000001\n"
         "\"ImagePath\"=\"System32\\\\drivers\\\\ghost.sys\"\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ghost\\Enum]\n\"0\"=\"PCI\\\\VEN_9\\\\9\"\n"
         "\"Count\"=dword:00000001\n\n";
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(m.Dir(), error)) << error;
  const std::string toml = (m.Dir() / "machine.toml").string(), reg = (m.Dir() / "registry.reg").string();
  const std::string services = reg + ": [HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
  const std::string version = reg + ": [HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]: ";
  const std::vector<std::string> expected = {
      toml + ": [[devices]] entry 1 ('PCI\\VEN_1\\1'): driver.inf C:\\Windows\\INF\\oem7.inf is not on the machine",
      toml + ": [[devices]] entry 1 ('PCI\\VEN_1\\1'): driver.service nokey has no key in registry.reg",
      services + "kvnsvc\\Enum]: does not list the started device 'PCI\\VEN_1\\2' ([[devices]] entry 2)",
      services + "agent]: has no ImagePath",
      services + "ghost\\Enum]: lists 'PCI\\VEN_9\\9', which is not a started device of the service",
      services + "kvnsvc]: names the image C:\\Windows\\System32\\drivers\\kvnsvc.sys, which is not on the machine",
      m.Dir().string() + ": drive_c/Windows/System32/drivers/ndis.sys is missing (every Windows has it)",
      toml +
          ": [[programs]]: no entry for direvo.exe, which a package runs (\"direvo.exe /install\"); its start would "
          "not be modelled",
      version + "CurrentVersion \"6.1\" is not [os]'s 10.0 (\"6.3\")",
      version + "CurrentBuildNumber \"7601\" is not [os] build 17763",
  };
  std::vector<std::string> warnings = winsim::MachineWarnings();
  std::sort(warnings.begin(), warnings.end());
  std::vector<std::string> sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(warnings, sorted);
}

}  // namespace
