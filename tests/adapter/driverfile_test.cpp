// The adapter component's driver file: its installed state and version status with Intel
// devices present, and InstallDriverFile, with the verbose log lines each writes.
#include "adapter/driverfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "adapter/component.h"
#include "testmachine.h"

namespace {

const std::wstring kLogDir = L"C:\\vadorurev\\log\\";
const std::wstring kInstalled = L"C:\\Windows\\System32\\drivers\\z40e64.sys";
const std::wstring kPackaged = L"C:\\Package\\z40e64.sys";
const wchar_t kSoftwareKey[] = L"C:\\Program Files\\z40e\\z40e.dll";

std::string Device(const std::string &dev) {
  return "[[devices]]\ninstance_id = 'PCI\\VEN_8086&DEV_" + dev + "&SUBSYS_00018086&REV_01\\4&1A2B&0&0008'\n" +
         "hardware_ids = ['PCI\\VEN_8086&DEV_" + dev + "&SUBSYS_00018086&REV_01', 'PCI\\VEN_8086&DEV_" + dev +
         "&SUBSYS_00018086']\nclass = \"Net\"\nclass_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n";
}

// The verbose log's lines from the adapter component's source file.
std::string ComponentLines(const TestMachine &machine) {
  std::string lines;
  std::error_code ec;
  for (auto &e : std::filesystem::directory_iterator(machine.Host(kLogDir), ec)) {
    if (e.path().filename() == "kvnsetup.log") continue;
    std::string text = machine.Read(kLogDir + e.path().filename().wstring());
    size_t at = text.find("[14:30:00]::component.cpp");
    if (at != std::string::npos) lines += text.substr(at);
  }
  return lines;
}

// A component loaded by a host in C:\Package with a verbose log.
struct Adapter : CComponent {
  explicit Adapter(const TestMachine &machine) {
    machine.SetProcess(L"C:\\Package\\setup.exe", L"\"C:\\Package\\setup.exe\" /verbose_log", L"C:\\Package");
    Initialize();
  }
};

// A file's content, or "missing".
std::string Content(const TestMachine &machine, const std::wstring &path) {
  return machine.Exists(path) ? machine.Read(path) : "missing";
}

// The names in a folder with the numbers of temporary names hidden: "TMP#.tmp".
std::vector<std::string> Names(const TestMachine &machine, const std::wstring &folder) {
  std::vector<std::string> names;
  for (auto &e : std::filesystem::directory_iterator(machine.Host(folder)))
    names.push_back(std::regex_replace(e.path().filename().string(), std::regex("^(TMP|VER)[0-9A-Fa-f]+"), "$1#"));
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(AdapterDriverFile, InstalledStateAndVersionStatus) {
  const std::optional<std::string> none;
  const struct {
    const char *name;
    std::string toml;
    std::optional<std::string> installed, packaged;  // none: no file; "": without version; "size0": empty
    bool softwareKey;                                // what the generic forms find
    int installedState, status;
  } cases[] = {
      {"1.2.3.10 against 1.2.3.9", Device("154C"), "1.2.3.10", "1.2.3.9", false, 1, 2},
      {"1.3.0.0 against 1.2.65535.65535", Device("1571"), "1.3.0.0", "1.2.65535.65535", false, 1, 2},
      {"the same version", Device("154C"), "1.2.3.4", "1.2.3.4", false, 1, 1},
      {"an older installed file", Device("154C"), "1.2.3.4", "1.2.3.5", false, 1, 0},
      {"an installed file without version", Device("154C"), "", "1.2.3.4", false, 1, 0},
      {"neither file with version", Device("154C"), "", "", false, 1, 1},
      {"a locked installed file",
       Device("154C") + "[[locked_files]]\npath = 'C:\\Windows\\System32\\drivers\\z40e64.sys'\n", "1.2.3.4", "1.2.3.4",
       false, 1, 1},
      {"an installed file of size 0, the generic form says installed", Device("154C"), "size0", "1.2.3.4", true, 1, 0},
      {"an installed file of size 0, the generic form says not", Device("154C"), "size0", "1.2.3.4", false, 0, 0},
      {"no installed file", Device("154C"), none, "1.2.3.4", false, 0, 0},
      {"no Intel device: the generic forms answer", Device("1572"), "1.2.3.4", "1.2.3.4", true, 1, 0},
      {"no device at all", "", "1.2.3.4", "1.2.3.4", false, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(c.toml);
    for (auto [file, version] : {std::pair{kInstalled, c.installed}, std::pair{kPackaged, c.packaged}}) {
      if (!version) continue;
      if (*version == "size0")
        machine.Write(file, "");
      else
        machine.WritePe(file, *version, "Intel", "z40e64");
    }
    if (c.softwareKey) machine.WritePe(kSoftwareKey, "1.0.0.0");
    {
      Adapter component(machine);
      component.SetSoftwareKeyPath(kSoftwareKey);
      EXPECT_EQ(component.IsInstalled(), c.installedState);
      EXPECT_EQ(component.GetVersionStatus(), c.status);
      bool intel = c.toml.find("DEV_154C") != std::string::npos || c.toml.find("DEV_1571") != std::string::npos;
      EXPECT_EQ(g_nIntelDeviceCount, intel ? 1 : 0);
    }
    EXPECT_EQ(ComponentLines(machine), "[14:30:00]::component.cpp[1179] [RuzuvAzudizuda] -- GetVersionStatus.\r\n");
  }
}

TEST(AdapterDriverFile, CountsEveryIntelDeviceOfBothPrefixes) {
  TestMachine machine(Device("154C") + Device("1572") + Device("1571"));
  EXPECT_TRUE(CountIntelDevices());
  EXPECT_EQ(g_nIntelDeviceCount, 2);
}

TEST(AdapterDriverFile, InstallDriverFileMovesAnOldFileInUseAside) {
  const std::string entering = "[14:30:00]::component.cpp[1603] Entering InstallDriverFile function.\n";
  const std::string success = entering + "[14:30:00]::component.cpp[1612] InstallDriverFile: success.\n";
  const std::string failure = entering + "[14:30:00]::component.cpp[1656] InstallDriverFile: failure\n";
  const std::string lockedRenamable =
      "[[locked_files]]\npath = 'C:\\Windows\\System32\\direvo.exe'\nerror = 32\nrename = true\n";
  const struct {
    const char *name;
    std::string toml;
    bool old, source;  // the target and the source exist
    bool result;
    std::string target;               // the target's content afterwards
    std::vector<std::string> folder;  // the target folder afterwards
    std::string log;
  } cases[] = {
      {"a new file", "", false, true, true, "new", {"direvo.exe"}, success},
      {"a file replaced", "", true, true, true, "new", {"direvo.exe"}, success},
      {"a file in use moved aside", lockedRenamable, true, true, true, "new", {"TMP#.tmp", "direvo.exe"}, success},
      {"a second failure restores the old file",
       lockedRenamable + "[[faults]]\nfunction = \"VerInstallFileW\"\nnth = 2\nerror = 8192\n",
       true,
       true,
       false,
       "old",
       {"VER#.tmp", "direvo.exe"},
       failure},
      {"a file in use that cannot be renamed",
       "[[locked_files]]\npath = 'C:\\Windows\\System32\\direvo.exe'\n",
       true,
       true,
       false,
       "old",
       {"VER#.tmp", "direvo.exe"},
       failure},
      {"no target, the retry succeeds",
       "[[faults]]\nfunction = \"VerInstallFileW\"\nnth = 1\nerror = 8192\n",
       false,
       true,
       true,
       "new",
       {"direvo.exe"},
       success},
      {"no target, the retry fails too", "", false, false, false, "missing", {}, failure},
      {"no name for the old file",
       "[[faults]]\nfunction = \"GetTempFileNameW\"\nwhen_arg_contains = \"System32\"\nerror = 5\n" + lockedRenamable,
       true,
       true,
       false,
       "old",
       {"direvo.exe"},
       failure},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(c.toml);
    std::filesystem::create_directories(machine.Host(L"C:\\Windows\\System32"));
    if (c.old) machine.Write(L"C:\\Windows\\System32\\direvo.exe", "old");
    if (c.source) machine.Write(L"C:\\Package\\direvo.exe", "new");
    {
      Adapter component(machine);
      EXPECT_EQ(InstallDriverFile(L"direvo.exe", L"direvo.exe", L"C:\\Package", L"C:\\Windows\\System32"), c.result);
    }
    EXPECT_EQ(Content(machine, L"C:\\Windows\\System32\\direvo.exe"), c.target);
    EXPECT_EQ(Names(machine, L"C:\\Windows\\System32"), c.folder);
    EXPECT_EQ(ComponentLines(machine), c.log);
  }
}
