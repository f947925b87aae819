// Scenario tests: kvnhost run as a packaging engineer runs it, over the example machine and
// package, with its JSON, its exit status and the machine state afterwards checked.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <windows.h>
#include <winsim.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testmachine.h"

namespace fs = std::filesystem;

namespace {
struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct KvnhostFixture : ::testing::Test {
  fs::path scratch;
  fs::path state;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvnhost-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch = pattern;
    state = scratch / "state";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(scratch, ec);
  }

  Result Run(const std::string &args) const {
    Result r;
    fs::path out = scratch / "out.txt", err = scratch / "err.txt";
    std::string command = Quote(KVNHOST) + " " + args + " >" + Quote(out.string()) + " 2>" + Quote(err.string());
    int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
  }
  std::string WithState(const std::string &args) const { return "--state " + Quote(state.string()) + " " + args; }
};
}  // namespace

TEST_F(KvnhostFixture, InfoAnswersTheInterfaceVersionAndThePackageProperties) {
  Result r = Run(WithState("--json --lang fr info"));
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["interface_version"], 100);
  EXPECT_EQ(j["silent_capable"], 1);
  EXPECT_EQ(j["silent_capable_alt"], 1);
  EXPECT_EQ(j["constant_property"], 1);
  EXPECT_EQ(j["package_name"], "Pilote de carte réseau Ethernet");
  EXPECT_EQ(j["package_description"].get<std::string>().rfind("Installe le pilote miniport NDIS", 0), 0u);
  EXPECT_EQ(j["package_version"], "1.12.150.0");
  // The driver file the default machine has installed.
  EXPECT_EQ(j["installed_version"], "1.10.128.0");
  EXPECT_EQ(j["state_dir"], fs::absolute(state).string());
  // The package was copied in; the template was not touched.
  EXPECT_TRUE(fs::exists(state / "drive_c/Package/vqz40e.xml"));
  EXPECT_TRUE(fs::exists(state / "drive_c/Package/kvncomp.dll"));

  // A language without its own texts answers the English ones.
  j = nlohmann::json::parse(Run(WithState("--json --lang pt info")).out);
  EXPECT_EQ(j["package_name"], "Ethernet Network Adapter Driver");
}

TEST_F(KvnhostFixture, BadArgumentsExitWithStatusTwoAndOneLine) {
  struct {
    std::string args;
    std::string says;
  } const cases[] = {
      {"--package /nonexistent/pkg info", "package directory /nonexistent/pkg does not exist"},
      {"--machine /nonexistent/machine info", "machine directory /nonexistent/machine does not exist"},
      {"--bogus info", "bogus"},
      {"frobnicate", "frobnicate"},
      {"--com both check", "--com"},
      {"", "command"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.args);
    fs::remove_all(state);
    Result r = Run(WithState(c.args));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
}

TEST_F(KvnhostFixture, VerboseLogShowsBothLogFilesAndRunsAppend) {
  ASSERT_EQ(Run(WithState("--verbose-log --host-log info")).status, 0);
  Result r = Run(WithState("--verbose-log --host-log log"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("----- C:\\vadorurev\\log\\kvnsetup.log\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Verbose Log Session Start ..."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Locating package definition file... "), std::string::npos) << r.out;
  // Two runs, each with the host's header and footer, in the one setup log.
  std::string normal = ReadAll(state / "drive_c/vadorurev/log/kvnsetup.log");
  size_t headers = 0;
  for (size_t at = 0; (at = normal.find("Log Session Start...", at)) != std::string::npos; ++at) ++headers;
  EXPECT_EQ(headers, 2u);
  EXPECT_NE(normal.find("Source:          kvnhost.exe\r\nVersion:         1.0.0.0\r\n"), std::string::npos);
}

// With a host log the component's verbose file is merged into the host's, which then moves
// to a file named after the package: the host's lines first, the component's appended.
TEST_F(KvnhostFixture, HostLogMergesTheComponentsVerboseLogIntoTheHosts) {
  Result r = Run(WithState("--verbose-log --host-log info"));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> names;
  for (auto &e : fs::directory_iterator(state / "drive_c/vadorurev/log")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"kvnsetup.log", "vqz40e.exe.log"}));
  std::string merged = ReadAll(state / "drive_c/vadorurev/log/vqz40e.exe.log");
  const char *parts[] = {"Source:          kvnhost.exe\r\n",
                         "Verbose Log Session Start ...\r\n",
                         "kvnhost: handing the host log to the component\r\n",  // the host's file ends here
                         "basecomp.cpp[103] \r\n/no_overwrite ABSENT",          // the component's file
                         "Building PnP device list... Done.\r\n",
                         "Log Session End."};
  size_t at = 0;
  for (const char *part : parts) {
    size_t found = merged.find(part, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << part << "\n" << merged;
    at = found + std::strlen(part);
  }
}

TEST_F(KvnhostFixture, InfoWritesTheWholeInitialisationTraceToTheVerboseLog) {
  ASSERT_EQ(Run(WithState("--verbose-log --json info")).status, 0);
  std::string verbose;
  for (auto &e : fs::directory_iterator(state / "drive_c/vadorurev/log"))
    if (e.path().filename() != "kvnsetup.log") verbose = ReadAll(e.path());
  const char *steps[] = {"[103] \r\n/no_overwrite ABSENT",
                         "[108] Detecting if 64-bit operating system... \r\n",
                         "[111] Locating package definition file... Done.\r\n",
                         "[117]     - Reading package definition file... Done.\r\n",
                         "[134] Checking for install.xml... Found.\r\n",
                         "[141]     - Reading installer XML... Done.\r\n",
                         "[160] Building PnP device list... Done.\r\n"};
  size_t at = 0;
  for (const char *step : steps) {
    size_t found = verbose.find(step, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << step << "\n" << verbose;
    at = found + std::strlen(step);
  }
  // The device list is the initialisation's last step: the host's queries follow it.
  EXPECT_NE(verbose.find("Reading installer XML... Done.\r\n[14:30:00]::basecomp.cpp[160] Building PnP device list... "
                         "Done.\r\n"),
            std::string::npos)
      << verbose;

  // Reading the devices leaves the machine's registry as it was.
  Result diff = Run(WithState("diff"));
  EXPECT_EQ(diff.out.find("registry"), std::string::npos) << diff.out;
}

TEST_F(KvnhostFixture, JsonLogCarriesTheLogText) {
  ASSERT_EQ(Run(WithState("--verbose-log info")).status, 0);
  Result r = Run(WithState("--json --verbose-log log"));
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_NE(j["log"].get<std::string>().find("/no_overwrite ABSENT"), std::string::npos);
}

TEST_F(KvnhostFixture, DiffListsWhatTheRunsChanged) {
  ASSERT_EQ(Run(WithState("--verbose-log info")).status, 0);
  Result r = Run(WithState("diff"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("file added:    C:\\vadorurev\\log\\kvnsetup.log"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("file added:    C:\\Package\\kvncomp.dll"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("file changed"), std::string::npos) << r.out;

  fs::remove_all(state);
  EXPECT_EQ(Run(WithState("diff")).status, 2);
}

TEST_F(KvnhostFixture, DiffListsServicesAddedChangedAndRemoved) {
  auto machineDir = [&](const std::string &name, const std::string &toml, const std::string &reg) {
    fs::path dir = scratch / name;
    fs::create_directories(dir / "drive_c");
    std::ofstream(dir / "machine.toml") << toml;
    std::ofstream(dir / "registry.reg") << "Windows Registry Editor Version 5.00\n\n" << reg;
    return dir;
  };
  auto key = [](const std::string &name, const std::string &values) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name + "]\n" + values + "\n";
  };
  const std::string image = "\"ImagePath\"=hex(2):43,00,3a,00,\\\n  5c,00,00,00\n";
  fs::path before =
      machineDir("before", "[[services]]\nname = \"Running\"\nstate = \"running\"\n",
                 key("Kept", "\"Type\"=dword:00000010\n\"Start\"=dword:00000003\n" + image) +
                     key("Running", "\"Type\"=dword:00000010\n") + key("Gone", "\"Type\"=dword:00000001\n") +
                     key("NotAService", "\"Start\"=dword:00000003\n"));
  fs::path after =
      machineDir("after", "",
                 key("KEPT", "\"Type\"=dword:00000010\n\"Start\"=dword:00000004\n\"DeleteFlag\"=dword:1\n" + image) +
                     key("Running", "\"Type\"=dword:00000010\n") +
                     key("Kept\\Parameters", "\"Type\"=dword:00000001\n") + key("direvo", "\"Type\"=dword:00000010\n"));
  Result r = Run("--machine " + Quote(before.string()) + " --state " + Quote(after.string()) + " diff");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("service added:   direvo\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("service changed: KEPT\n    DeleteFlag: (none) -> 0x00000001 (1)\n"
                       "    Start: 0x00000003 (3) -> 0x00000004 (4)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("service changed: Running\n    state: running -> stopped\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("service removed: Gone\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("service removed: NotAService"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("service added:   Kept"), std::string::npos) << "a subkey is no service: " << r.out;
}

TEST_F(KvnhostFixture, DiffListsDevicesWhoseDriverOrStatusChangedAndThoseCreated) {
  auto machineDir = [&](const std::string &name, const std::string &toml) {
    fs::path dir = scratch / name;
    fs::create_directories(dir / "drive_c");
    std::ofstream(dir / "machine.toml") << toml;
    std::ofstream(dir / "registry.reg") << "Windows Registry Editor Version 5.00\n\n";
    return dir;
  };
  auto device = [](const std::string &id, const std::string &keys) {
    return "[[devices]]\ninstance_id = '" + id + "'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n" + keys;
  };
  const std::string oldDriver = "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem1.inf'\nversion = '1.0.0.0'\n";
  fs::path before = machineDir("before", device("PCI\\A\\1", oldDriver) + device("PCI\\B\\1", oldDriver) +
                                             device("PCI\\C\\1", oldDriver) + device("PCI\\GONE\\1", ""));
  fs::path after =
      machineDir("after", device("PCI\\A\\1",
                                 "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem2.inf'\nversion = '2.0.0.0'\n"
                                 "service = 'kvnnet'\n") +
                              device("pci\\b\\1", "status = 'problem'\nproblem = 14\n" + oldDriver) +
                              device("PCI\\C\\1", oldDriver) +
                              device("ROOT\\KVNVIRT\\0000", "status = 'problem'\nproblem = 28\n"));
  Result r = Run("--machine " + Quote(before.string()) + " --state " + Quote(after.string()) + " diff");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("device changed: PCI\\A\\1: driver oem1.inf 1.0.0.0 -> oem2.inf 2.0.0.0 (service kvnnet)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("device changed: pci\\b\\1: status started -> problem 14\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("device added:   ROOT\\KVNVIRT\\0000: driver none, problem 28\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("device removed: PCI\\GONE\\1\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("PCI\\C\\1"), std::string::npos) << "an unchanged device is not listed: " << r.out;
}

TEST_F(KvnhostFixture, GenericPnPInstallUpdatesThePresentAdaptersOrSaysWhyNot) {
  // The example package is a PNP package: its driver goes onto the adapters the machine has.
  const struct {
    const char *machine;
    int exitStatus, result;
    std::string message;
    int devicesChanged;
  } cases[] = {
      {"default", 0, 1, "", 2},
      {"server2012", 1, 0, "No devices were found to install.", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.machine);
    fs::remove_all(state);
    std::string machine = (fs::path(KVN_EXAMPLE_MACHINES) / c.machine).string();
    Result r = Run("--machine " + Quote(machine) + " " + WithState("--json install"));
    EXPECT_EQ(r.status, c.exitStatus) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["install_result"], c.result);
    EXPECT_EQ(j["install_message"], c.message);
    std::string diff = Run("--machine " + Quote(machine) + " " + WithState("diff")).out;
    int changed = 0;
    for (size_t at = diff.find("device changed:"); at != std::string::npos; at = diff.find("device changed:", at + 1))
      if (diff.find("-> oem", at) < diff.find('\n', at)) ++changed;
    EXPECT_EQ(changed, c.devicesChanged) << diff;
  }
}

// The LEGACY and VIRTUAL example packages on the default machine: what each install leaves,
// read back through diff (files, registry lines, the service, the root device).
TEST_F(KvnhostFixture, GenericLegacyAndVirtualInstallsLeaveFilesValuesServiceAndRootDevice) {
  const struct {
    const char *package;
    std::vector<std::string> lines;  // each one a whole line of the diff
  } cases[] = {
      {"legacy",
       {"file added:    C:\\Windows\\System32\\drivers\\kvnfilt.sys",
        "file added:    C:\\Program Files\\Kvn\\Tools\\kvnctl.exe",
        "file added:    C:\\Windows\\System32\\drivers\\kvnfilt.bak",
        "file removed:  C:\\Windows\\System32\\drivers\\kvnfilt.prev",
        "file removed:  C:\\Windows\\System32\\drivers\\kvnold.sys",
        "file added:    C:\\Program Files\\Kvn\\Tools\\kvnfilt.cfg", "file added:    C:\\Windows\\help\\kvnfilt.txt",
        "registry added:   [HKEY_LOCAL_MACHINE\\SOFTWARE\\Kvn\\Filter]",
        "    \"InstallDir\": \"C:\\\\Program Files\\\\Kvn\\\\Tools\"", "    \"Version\": 0x01020000 (16908288)",
        "registry added:   [HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvnfilt\\Device0]",
        "    \"Mode\": \"filter\"", "    \"Depth\": 0x00000004 (4)", "    \"TypesSupported\": 0x00000007 (7)",
        "service added:   kvnfilt",
        "registry added:   [HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\kvnfilt]",
        "device added:   ROOT\\LEGACY_KVNFILT\\0000: driver none, problem 28"}},
      // The root device takes the driver's hardware ID, so the driver update that follows
      // the class installer finds the INF's driver installed on it: the install succeeds.
      // The class installer is told not to call the configuration manager, so the device
      // waits, not started, for its demand-start service or the restart.
      {"virtual",
       {"file added:    C:\\Windows\\System32\\drivers\\kvnvirt.sys", "service added:   kvnvirt",
        "device added:   ROOT\\KVNVIRT\\0000: driver oem0.inf Install 1.0.0.0 2026-12-01 (service kvnvirt), "
        "not_started (started at the restart)"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.package);
    fs::remove_all(state);
    // The package carries the agent's files, which the adapter component stages first.
    std::string package = "--package " + Quote((fs::path(KVN_EXAMPLES) / c.package).string()) + " ";
    Result r = Run(package + WithState("--json install"));
    EXPECT_TRUE(r.status == 0 || r.status == 3010 % 256) << r.status << " " << r.out << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["install_result"], 1) << r.out;
    std::string diff = "\n" + Run(package + WithState("diff")).out;
    for (const std::string &line : c.lines) EXPECT_NE(diff.find("\n" + line + "\n"), std::string::npos) << line;
    if (::testing::Test::HasFailure()) ADD_FAILURE() << diff;
  }
}

// Machines written by hand: one that starts from the default machine and adds a third
// adapter, the default machine's source folder, whose binaries.txt images are made when it is
// copied into a state, and the two that machine new writes. Each is checked, installed and
// compared.
TEST_F(KvnhostFixture, HandWrittenMachinesStartFromABaseAndMakeTheirListedImages) {
  const fs::path third = scratch / "third-adapter";
  fs::create_directories(third);
  std::ofstream(third / "machine.toml") << "base = '" << KVN_EXAMPLE_MACHINES << "/default'\n"
                                        << R"([[devices]]
instance_id = 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\4&1A2B3C4D&0&0010'
hardware_ids = ['PCI\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01', 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086']
class = "Net"
class_guid = "{4D36E972-E325-11CE-BFC1-08002BE10318}"
[devices.driver]
inf = 'C:\Windows\INF\oem3.inf'
section = "Z40E.ndi"
version = "1.10.128.0"
date = "2019-05-01"
matching_id = 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086'
service = "z40e"
)";
  // Its service's device list, imported over the base's.
  std::ofstream(third / "registry.reg")
      << "Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\z40e\\Enum]\n"
         "\"2\"=\"PCI\\\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\\\4&1A2B3C4D&0&0010\"\n"
         "\"Count\"=dword:00000003\n\"NextInstance\"=dword:00000003\n";
  // Two written by machine new: the minimal one, and one that starts from the default machine.
  const fs::path fresh = scratch / "fresh", based = scratch / "based";
  ASSERT_EQ(Run("machine new " + Quote(fresh.string())).status, 0);
  ASSERT_EQ(Run("machine new " + Quote(based.string()) + " --from " + Quote(KVN_EXAMPLE_MACHINES "/default")).status,
            0);
  Result again = Run("machine new " + Quote(fresh.string()));
  EXPECT_EQ(again.status, 2);
  EXPECT_NE(again.err.find("exists already"), std::string::npos) << again.err;
  const struct {
    fs::path machine;
    int adaptersUpdated;
  } cases[] = {{third, 3}, {fs::path(KVN_SOURCE_MACHINES) / "default", 2}, {fresh, 1}, {based, 2}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.machine.string());
    fs::remove_all(state);
    const std::string machine = "--machine " + Quote(c.machine.string()) + " ";
    Result check = Run(machine + WithState("--json check"));
    ASSERT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(nlohmann::json::parse(check.out)["version_status"], 0);  // older: the adapters' driver
    EXPECT_EQ(nlohmann::json::parse(check.out)["machine_warnings"], nlohmann::json::array()) << check.err;
    Result install = Run(machine + WithState("--json install"));
    EXPECT_EQ(nlohmann::json::parse(install.out)["install_result"], 1) << install.err;
    std::string diff = Run(machine + WithState("diff")).out;
    int updated = 0;
    for (size_t at = diff.find("device changed:"); at != std::string::npos; at = diff.find("device changed:", at + 1))
      if (diff.find("-> oem0.inf", at) < diff.find('\n', at)) ++updated;
    EXPECT_EQ(updated, c.adaptersUpdated) << diff;
    EXPECT_EQ(diff.find("ndis.sys"), std::string::npos) << "a listed image was made for the run only";
  }

  // A machine that loads with a warning says it once, on standard error and in the JSON.
  const fs::path warned = scratch / "warned";
  fs::create_directories(warned);
  std::ofstream(warned / "machine.toml") << "base = '" << KVN_EXAMPLE_MACHINES << "/default'\n"
                                         << "[[devices]]\ninstance_id = 'PCI\\VEN_1\\1'\n"
                                            "class_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n"
                                            "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem9.inf'\n";
  fs::remove_all(state);
  Result warning = Run("--machine " + Quote(warned.string()) + " " + WithState("--json check"));
  EXPECT_EQ(warning.status, 0) << warning.err;
  EXPECT_EQ(nlohmann::json::parse(warning.out)["machine_warnings"].size(), 1u) << warning.out;
  EXPECT_EQ(warning.err.find("winsim: warning: "), warning.err.rfind("winsim: warning: ")) << warning.err;
  EXPECT_NE(warning.err.find("driver.inf C:\\Windows\\INF\\oem9.inf is not on the machine"), std::string::npos)
      << warning.err;

  // A base that cannot be followed: one line naming the file, and no state.
  const fs::path chain = scratch / "chain";
  for (int i = 0; i < 9; ++i) {
    fs::create_directories(chain / std::to_string(i) / "drive_c");
    std::ofstream(chain / std::to_string(i) / "machine.toml") << "base = '../" << i + 1 << "'\n";
  }
  fs::create_directories(chain / "9" / "drive_c");
  const fs::path self = scratch / "self", nowhere = scratch / "nowhere";
  for (const fs::path &dir : {self, nowhere}) fs::create_directories(dir / "drive_c");
  std::ofstream(self / "machine.toml") << "base = '.'\n";
  std::ofstream(nowhere / "machine.toml") << "base = '../no-such-machine'\n";
  const struct {
    fs::path machine;
    std::string reason;
  } refused[] = {{nowhere, ":1: base names machine directory"},
                 {self, ":1: base names " + (self / ".").string() + ", a machine of its own chain"},
                 {chain / "0", ":1: base makes a chain of more than 8 machines"}};
  for (const auto &c : refused) {
    SCOPED_TRACE(c.machine.string());
    fs::remove_all(state);
    Result r = Run("--machine " + Quote(c.machine.string()) + " " + WithState("check"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(state));
  }
}

TEST_F(KvnhostFixture, InstallReportsItsResultThroughTheExitStatus) {
  Result r = Run(WithState("--json install"));
  auto j = nlohmann::json::parse(r.out);
  ASSERT_TRUE(j.contains("install_result"));
  int result = j["install_result"];
  EXPECT_EQ(r.status, result == 1 ? 0 : result == 2 ? 3010 % 256 : 1);
  EXPECT_TRUE(j.contains("os_supported"));
  EXPECT_TRUE(j.contains("preinstall_status"));
}

// The install report: the result, the message Install left in the language it chose for
// --lang (installation failures are English for every language but Japanese), and what this
// run wrote to the setup log and, with --verbose-log, to the verbose log.
TEST_F(KvnhostFixture, InstallReportsResultMessageAndWhatTheRunLogged) {
  const std::string kNoDevices = "No devices were found to install.";
  const struct {
    const char *machine, *lang;
    bool verbose;
    int exitStatus, result;
    std::string message;
  } cases[] = {
      {"default", "en", true, 0, 1, ""},
      {"server2012", "fr", false, 1, 0, kNoDevices},
      {"server2012", "ja", true, 1, 0, "インストールするデバイスが見つかりませんでした。"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.machine) + " " + c.lang);
    fs::remove_all(state);
    std::string machine = "--machine " + Quote((fs::path(KVN_EXAMPLE_MACHINES) / c.machine).string()) + " ";
    // An earlier run's log lines are not this install's.
    ASSERT_EQ(Run(machine + WithState("--verbose-log check")).status, 0);
    std::string options = machine + "--lang " + c.lang + (c.verbose ? " --verbose-log" : "");
    Result r = Run(options + " " + WithState("--json install"));
    EXPECT_EQ(r.status, c.exitStatus) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["install_result"], c.result);
    EXPECT_EQ(j["install_message"], c.message);
    EXPECT_EQ(j["prompts"], nlohmann::json::array());  // a silent installation asks nothing
    std::string setup = j["setup_log"].is_string() ? j["setup_log"].get<std::string>() : "";
    EXPECT_NE(setup.find("Initiating installation... "), std::string::npos) << setup;
    EXPECT_EQ(setup.find("Log Session Start"), setup.rfind("Log Session Start")) << "one run only: " << setup;
    EXPECT_EQ(j["verbose_log"].is_string(), c.verbose) << j["verbose_log"];
    if (c.verbose) {
      EXPECT_NE(j["verbose_log"].get<std::string>().find("Initiating installation... "), std::string::npos);
    }

    // The human report says the same, with both logs under their file names.
    fs::remove_all(state);
    Result text = Run(options + " " + WithState("install"));
    EXPECT_EQ(text.status, c.exitStatus);
    const std::string shown[] = {
        "install result         " + std::to_string(c.result) + (c.result ? " (installed)\n" : " (failed)\n"),
        "install message        " + (c.message.empty() ? "(none)" : c.message) + "\n",
        "----- C:\\vadorurev\\log\\kvnsetup.log\n"};
    for (const std::string &line : shown) EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;
    EXPECT_EQ(text.out.find(".tmp\n") != std::string::npos, c.verbose) << text.out;
  }
}

// The upgrade the demo shows: both adapters of the default machine move from the older driver
// to the package's, after which the component's own questions find the package installed and
// the installed version the same as the package's.
TEST_F(KvnhostFixture, InstallThenCheckFindsTheUpgradeInstalledAtTheSameVersion) {
  Result before = Run(WithState("--json check"));
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(nlohmann::json::parse(before.out)["version_status"], 0) << "the machine starts on the older driver";
  ASSERT_EQ(Run(WithState("--json install")).status, 0);
  Result after = Run(WithState("--json check"));
  ASSERT_EQ(after.status, 0) << after.err;
  auto j = nlohmann::json::parse(after.out);
  EXPECT_EQ(j["installed"], 1);
  EXPECT_EQ(j["version_status"], 1);
  std::string diff = Run(WithState("diff")).out;
  int upgraded = 0;
  for (size_t at = diff.find("device changed:"); at != std::string::npos; at = diff.find("device changed:", at + 1)) {
    std::string line = diff.substr(at, diff.find('\n', at) - at);
    size_t arrow = line.find(" -> ");
    if (arrow != std::string::npos && line.find(" 1.10.128.0 ") < arrow &&
        line.find(" 1.12.150.0 ", arrow) != std::string::npos)
      ++upgraded;
  }
  EXPECT_EQ(upgraded, 2) << diff;
  EXPECT_NE(diff.find("file changed:  C:\\Windows\\System32\\drivers\\z40e64.sys"), std::string::npos) << diff;
  EXPECT_NE(diff.find("service added:   direvo\n"), std::string::npos) << "the agent: " << diff;
}

// A host that initialised COM on its thread, in either model, gets the same answers: the
// component works in the apartment it finds, the model check of a package restricted to
// the machine's model included.
TEST_F(KvnhostFixture, HostComApartmentLeavesTheAnswersAsTheyAre) {
  fs::path package = scratch / "package";
  fs::copy(fs::path(KVN_EXAMPLE_MACHINES).parent_path() / "package", package, fs::copy_options::recursive);
  std::ofstream(package / "dependency.xml")
      << "<componentdependencies><dependent_hardware><platforms><platform model=\"rs-220\"/>"
         "</platforms></dependent_hardware></componentdependencies>";
  nlohmann::json reference;
  for (const char *com : {"", "--com sta ", "--com mta "}) {
    SCOPED_TRACE(com);
    fs::remove_all(state);
    Result r = Run("--package " + Quote(package.string()) + " " + WithState(std::string(com) + "--json check"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    auto j = nlohmann::json::parse(r.out);
    j.erase("state_dir");
    if (reference.is_null()) reference = j;
    EXPECT_EQ(j, reference);
  }
}

TEST_F(KvnhostFixture, CheckAnswersOnEachExampleMachine) {
  // What the example package gives on each machine. Systems of 6.3 and later state "6.3" in
  // the registry and are matched as 6.3. Installed and the version status come from the
  // driver file where Intel adapters are present.
  const std::string kNotSupported = "The OS is not supported.\r\n";
  struct {
    const char *machine;
    int supported, installed, version, status;
    std::string message;
    const char *decidedBy;  // the adapter component's own entry, or the generic trace's last line
  } const cases[] = {
      {"default", 1, 1, 0, 2, "", "IsOSSupported: Leaving IsOSSupported - bMatch is true"},
      {"vf-guest", 1, 1, 0, 4, "", "IsOSSupported: Leaving IsOSSupported - bMatch is true"},
      {"server2012r2", 1, 0, 0, 6, "", "[RuzuvAzudizuda]::Install found Windows 2012 R2 indicated.\n"},
      {"server2012", 1, 0, 0, 6, "", "[RuzuvAzudizuda]::Install found Windows 2012 indicated in 2012 OS.\n"},
      {"server2008r2-sp1", 1, 0, 0, 6, "", "IsOSSupported: Leaving IsOSSupported - bMatch is true"},
      {"server2016-core", 0, 0, 0, 7, kNotSupported, "IsOSSupported: Leaving IsOSSupported - bMatch is false"},
      {"windows10-client", 1, 0, 0, 6, "", "IsOSSupported: Leaving IsOSSupported - bMatch is true"},
      {"server2008-x86", 0, 0, 0, 7, kNotSupported, "IsOSSupported: Leaving IsOSSupported - bMatch is false"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.machine);
    fs::remove_all(state);
    std::string machine = (fs::path(KVN_EXAMPLE_MACHINES) / c.machine).string();
    Result r = Run("--machine " + Quote(machine) + " " + WithState("--json --verbose-log check"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["os_supported"], c.supported);
    EXPECT_EQ(j["installed"], c.installed);
    EXPECT_EQ(j["version_status"], c.version);
    EXPECT_EQ(j["preinstall_status"], c.status);
    EXPECT_EQ(j["preinstall_message"], c.message);
    std::string log = Run(WithState("log")).out;
    EXPECT_NE(log.find(c.decidedBy), std::string::npos) << log;
  }
}

TEST_F(KvnhostFixture, MachineTomlMistakesStopTheRunWithFileLineAndKey) {
  const std::string device =
      "[[devices]]\ninstance_id = 'PCI\\VEN_1\\0'\nclass_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n";
  struct {
    std::string toml;
    int line;
    std::string says;
  } const cases[] = {
      {"[os]\nmajor = \"ten\"\n", 2, "[os]: major must be a number"},
      {"[os]\nproduct_type = \"desktop\"\n", 2, "product_type \"desktop\" is not one of"},
      {"[os]\narchitecture = \"arm\"\n", 2, "architecture \"arm\" is not one of"},
      {"[machine]\ncomputer_name = \"SRV02\"\nenable_fail = true\n", 3, "[machine]: enable_fail is not a known key"},
      {"[machine]\nclock = \"2026-02-31T10:00:00\"\n", 2, "clock \"2026-02-31T10:00:00\" is not a time"},
      {"[machine]\nfree_disk = { \"C:\" = \"lots\" }\n", 2, "C: must be a number"},
      {"[wmi]\navailable = 1\n", 2, "[wmi]: available must be true or false"},
      {"[env]\nPATH = 3\n", 2, "[env]: PATH must be a text"},
      {"enable_fail = true\n", 1, "enable_fail is not a known key"},
      {device + "[devices.driver]\ndate = \"2026-02-31\"\n", 5, "driver.date \"2026-02-31\" is not a date"},
      {device + "[devices.driver]\nversion = \"1.2.3\"\n", 5, "driver.version \"1.2.3\" is not a.b.c.d"},
      {device + "[devices.behaviour]\nenable_fail = true\n", 5, "behaviour.enable_fail is not a known key"},
      {device + "status = \"running\"\n", 4, "status \"running\" is not one of"},
      {"[[services]]\nname = \"direvo\"\nstate = \"paused\"\n", 3, "[[services]] entry 1: state \"paused\""},
      {"[machine]\nservice_lock_held_ms = -5\n", 2, "[machine]: service_lock_held_ms -5 is not from 0"},
      {"[[faults]]\nfunction = \"CopyFileW\"\nnth = \"1\"\n", 3, "[[faults]] entry 1: nth must be a number"},
      {"[[faults]]\nnth = 1\n", 1, "function is missing"},
      {"[[locked_files]]\npath = 'C:\\x.sys'\nrename = \"yes\"\n", 3, "rename must be true or false"},
      {"[[programs]]\nname = \"direvo.exe\"\n[programs.creates_service]\nname = \"direvo\"\nstart = 2\n", 5,
       "creates_service: start is not a known key"},
      {"[[key_security]]\npath = 'SOFTWARE\\X'\nallow = [ { who = \"Nobody\", access = \"full\" } ]\n", 3,
       "who \"Nobody\" is not"},
      {"[[key_security]]\npath = 'SOFTWARE\\X'\nallow = [ { who = \"Users\", access = \"most\" } ]\n", 3,
       "access \"most\" is not one of"},
      {"protected_keys = 'SOFTWARE\\X'\n", 1, "protected_keys must be a list of texts"},
      {"[os\n", 1, ""},  // not TOML at all
  };
  fs::path machine = scratch / "machine";
  fs::create_directories(machine / "drive_c");
  for (auto &c : cases) {
    SCOPED_TRACE(c.toml);
    fs::remove_all(state);
    std::ofstream(machine / "machine.toml", std::ios::binary | std::ios::trunc) << c.toml;
    Result r = Run("--machine " + Quote(machine.string()) + " " + WithState("info"));
    EXPECT_EQ(r.status, 2);
    const std::string file = (fs::absolute(machine) / "machine.toml").string();
    EXPECT_NE(r.err.find(file + ":" + std::to_string(c.line) + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_FALSE(fs::exists(state));
  }
  // Mistakes in several tables and entries are all told, each on a line of its own.
  std::ofstream(machine / "machine.toml", std::ios::binary | std::ios::trunc)
      << "stray = 1\n[os]\nmajor = \"ten\"\n[machine]\nenable_fail = true\nuser_fail = 1\n"
      << device << "status = \"running\"\n[[services]]\nname = \"direvo\"\nstate = \"paused\"\n"
      << "[[faults]]\nfunction = 7\nnth = \"1\"\nwhen = 'x'\n[machine.free_disk]\n'C:' = 'lots'\n"
      << "[devices.driver]\nversion = '1.2.3'\n[devices.behaviour]\nenable_fail = true\n";
  fs::remove_all(state);
  Result all = Run("--machine " + Quote(machine.string()) + " " + WithState("info"));
  EXPECT_EQ(all.status, 2);
  // Within a table or entry too, each wrong value and each unknown key beside them.
  for (const char *says :
       {":1: stray is not a known key", ":3: [os]: major must be a number", ":5: [machine]: enable_fail is not",
        ":6: [machine]: user_fail is not", ":10: [[devices]] entry 1", ":13: [[services]] entry 1: state \"paused\"",
        ":15: [[faults]] entry 1: function must be a text", ":16: [[faults]] entry 1: nth must be a number",
        ":17: [[faults]] entry 1: when is not a known key", ":19: [machine] free_disk: C: must be a number",
        ":21: [[devices]] entry 1 ('PCI\\VEN_1\\0'): driver.version \"1.2.3\"",
        ":23: [[devices]] entry 1 ('PCI\\VEN_1\\0'): behaviour.enable_fail is not a known key"})
    EXPECT_NE(all.err.find(says), std::string::npos) << says << " in " << all.err;
  EXPECT_EQ(std::count(all.err.begin(), all.err.end(), '\n'), 12) << all.err;
  EXPECT_FALSE(fs::exists(state));
  // Every example machine is a correct one without a warning, after a run too (what it saved
  // loads again).
  for (const auto &example : fs::directory_iterator(KVN_EXAMPLE_MACHINES)) {
    SCOPED_TRACE(example.path().string());
    fs::remove_all(state);
    for (int run = 0; run < 2; ++run) {
      Result r = Run("--machine " + Quote(example.path().string()) + " " + WithState("check"));
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err.find("winsim: warning:"), std::string::npos) << r.err;
    }
  }
}

// The setup log is written only into a folder made safe: in place when it is a folder of the
// administrators that others may only write to, else after moving it aside. The install's
// setup_log is what this run wrote, a new file under the old name included.
TEST_F(KvnhostFixture, InstallWritesTheLogOnlyIntoALogFolderMadeSafe) {
  const std::string safe = "Administrators protected: Administrators=2032127 SYSTEM=2032127";
  const std::string inPlace = safe + " 545=1179817";
  const std::string inherited = "Administrators: Administrators=2032127 SYSTEM=2032127 545=1179817";
  const std::string log = "path = 'C:\\vadorurev\\log'\n";
  const std::string safeParent =
      "[[file_security]]\npath = 'C:\\vadorurev'\nprotected = true\nallow = [ { who = 'Administrators', access = "
      "'full' }, { who = 'SYSTEM', access = 'full' } ]\n";
  struct {
    const char *what;
    std::string toml;
    bool folder;  // the log folder is on the drive, with a planted log file in it
    bool file;    // a file stands where the log folder should be
    bool logged;  // a log file was written, in a folder made safe
    bool kept;    // the planted log file was kept (and appended to)
    std::string rootSecurity, logSecurity;
  } const cases[] = {
      {"with what the drive root passes on: made safe in place", "", true, false, true, true, inPlace, inherited},
      {"writable by Users: made safe in place",
       "[[file_security]]\n" + log + "allow = [ { who = 'Users', access = 'modify' } ]\n", true, false, true, true,
       inPlace, inPlace},
      {"owned by a user", "[[file_security]]\n" + log + "owner = 'S-1-5-21-7-7-7-1001'\n", true, false, true, false,
       inPlace, safe},
      {"a log file of another owner in a folder made safe in place",
       "[[file_security]]\npath = 'C:\\vadorurev\\log\\kvnsetup.log'\nowner = 'S-1-5-21-7-7-7-1001'\n", true, false,
       true, false, inPlace, inherited},
      {"a junction to System32", "[[file_security]]\n" + log + "link_target = 'C:\\Windows\\System32'\n", false, false,
       true, false, inPlace, safe},
      {"a file in its place", "", false, true, true, false, inPlace, safe},
      {"in use and open to Users' changes: cannot be moved aside",
       safeParent + "[[locked_files]]\n" + log + "[[file_security]]\n" + log +
           "allow = [ { who = 'Users', access = 'full' } ]\n",
       true, false, false, true, "", ""},
  };
  fs::path machine = scratch / "machine";
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(state);
    fs::remove_all(machine);
    fs::copy(fs::path(KVN_EXAMPLE_MACHINES) / "default", machine, fs::copy_options::recursive);
    fs::path drive = machine / "drive_c";
    fs::create_directories(drive / "vadorurev");
    if (c.folder) {
      fs::create_directories(drive / "vadorurev" / "log");
      std::ofstream(drive / "vadorurev" / "log" / "kvnsetup.log") << "planted\r\n";
    }
    if (c.file) std::ofstream(drive / "vadorurev" / "log") << "a file";
    std::ofstream(machine / "machine.toml", std::ios::app) << "\n" << c.toml;
    Result r = Run("--machine " + Quote(machine.string()) + " " + WithState("--json --verbose-log install"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    fs::path folder = state / "drive_c" / "vadorurev" / "log";
    std::string verbose;
    std::error_code ec;
    for (auto &f : fs::directory_iterator(folder, ec))
      if (f.path().filename().string().rfind("_VQ", 0) == 0) verbose += ReadAll(f.path());

    std::string error;
    ASSERT_TRUE(winsim::OpenMachine(state, error)) << error;
    DWORD attrs = GetFileAttributesW(L"C:\\vadorurev\\log");
    std::string written = ReadAll(folder / "kvnsetup.log");
    EXPECT_EQ(written.rfind("planted\r\n", 0) == 0, c.kept);
    if (c.logged) {
      EXPECT_EQ(attrs, DWORD(FILE_ATTRIBUTE_DIRECTORY));
      EXPECT_EQ(FileSecurityText(L"C:\\vadorurev"), c.rootSecurity);
      EXPECT_EQ(FileSecurityText(L"C:\\vadorurev\\log"), c.logSecurity);
      EXPECT_NE(verbose.find("Locating package definition file"), std::string::npos) << verbose;
      // What the run wrote, whole: all of a new file, all but the planted line of a kept one.
      std::string wrote = written.substr(c.kept ? 9 : 0);
      wrote.erase(std::remove(wrote.begin(), wrote.end(), '\r'), wrote.end());
      EXPECT_EQ(j["setup_log"], wrote);
    } else {
      EXPECT_EQ(written, "planted\r\n");  // the folder was left as it was and not written to
      EXPECT_EQ(verbose, "");
    }
    // Nothing was written through a link: System32 holds no log.
    EXPECT_FALSE(fs::exists(state / "drive_c" / "Windows" / "System32" / "kvnsetup.log"));
    EXPECT_TRUE(fs::is_directory(state / "drive_c" / "Windows" / "System32"));
    winsim::CloseMachine();
  }
}

// The host writes its own setup log in a folder it creates with what the drive root passes
// on, and holds it open through every call: the folder cannot be renamed then. The component
// makes it safe where it stands, installs, and keeps the host's earlier text.
TEST_F(KvnhostFixture, HostLogHeldOpenInAnInheritedFolderInstalls) {
  fs::path machine = scratch / "machine";
  fs::copy(fs::path(KVN_EXAMPLE_MACHINES) / "default", machine, fs::copy_options::recursive);
  fs::create_directories(machine / "drive_c" / "vadorurev" / "log");
  std::ofstream(machine / "drive_c" / "vadorurev" / "log" / "kvnsetup.log") << "an earlier host run\r\n";
  Result r = Run("--machine " + Quote(machine.string()) + " " + WithState("--json --host-log install"));
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["install_result"], 1);
  EXPECT_EQ(ReadAll(state / "drive_c" / "vadorurev" / "log" / "kvnsetup.log").rfind("an earlier host run\r\n", 0), 0u);
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(state, error)) << error;
  EXPECT_EQ(FileSecurityText(L"C:\\vadorurev"),
            "Administrators protected: Administrators=2032127 SYSTEM=2032127 545=1179817");
  EXPECT_TRUE(fs::exists(state / "drive_c" / "VADORUREV" / "pnpdrvs" / "z40e64.sys") ||
              fs::exists(state / "drive_c" / "vadorurev" / "pnpdrvs" / "z40e64.sys"));
  winsim::CloseMachine();
}

// A machine left waiting for a restart: pending renames, a replacement and a deletion (one
// that cannot be carried out), a service marked for deletion, a device waiting on its new
// driver and one with no driver. `reboot` completes them, `diff` shows the link file it moved.
TEST_F(KvnhostFixture, RebootCompletesWhatWaitedForTheRestart) {
  fs::path machine = scratch / "machine";
  const std::string link = "[winsim shell link]\r\nTarget=C:\\tool.exe\r\n";
  auto write = [&](const std::string &relative, const std::string &text) {
    fs::create_directories((machine / relative).parent_path());
    std::ofstream(machine / relative, std::ios::binary) << text;
  };
  write("drive_c/new.sys", "new");
  write("drive_c/Windows/drv.sys", "old");
  write("drive_c/gone.txt", "gone");
  write("drive_c/keep.txt", "keep");
  write("drive_c/tool.lnk", link);
  fs::create_directories(machine / "drive_c/Links");
  const std::string device =
      "\nclass = \"Net\"\nclass_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n"
      "status = \"problem\"\nproblem = 14\n";
  write("machine.toml", "[machine]\nclock = \"2026-12-08T14:30:00\"\n[[devices]]\ninstance_id = 'ROOT\\NET\\0000'" +
                            device + "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem1.inf'\nversion = \"1.0.0.0\"\n" +
                            "[[devices]]\ninstance_id = 'ROOT\\NET\\0001'" + device);
  // A service marked for deletion that another process still held open when the run ended.
  write("registry.reg",
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Doomed]\n"
        "\"Type\"=dword:00000001\n\"DeleteFlag\"=dword:00000001\n");
  fs::copy(machine, state, fs::copy_options::recursive);
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(state, error)) << error;
  const DWORD later = MOVEFILE_DELAY_UNTIL_REBOOT;
  EXPECT_TRUE(MoveFileExW(L"C:\\new.sys", L"C:\\Windows\\drv.sys", later | MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(MoveFileExW(L"C:\\gone.txt", nullptr, later));
  EXPECT_TRUE(MoveFileExW(L"C:\\keep.txt", L"C:\\NoFolder\\keep.txt", later));
  EXPECT_TRUE(MoveFileExW(L"C:\\tool.lnk", L"C:\\Links\\tool.lnk", later));
  ASSERT_TRUE(winsim::CloseMachine(&error)) << error;

  // check says what waits for the restart, in the words reboot uses.
  Result pending = Run("--machine " + Quote(machine.string()) + " " + WithState("--json check"));
  ASSERT_EQ(pending.status, 0) << pending.err;
  const nlohmann::json waiting = nlohmann::json::parse(pending.out)["pending_restart"];
  const nlohmann::json expectedWaiting = nlohmann::json::parse(R"([
    {"kind": "replace", "what": "C:\\new.sys -> C:\\Windows\\drv.sys"},
    {"kind": "delete", "what": "C:\\gone.txt"},
    {"kind": "rename", "what": "C:\\keep.txt -> C:\\NoFolder\\keep.txt"},
    {"kind": "rename", "what": "C:\\tool.lnk -> C:\\Links\\tool.lnk"},
    {"kind": "service marked for deletion", "what": "Doomed"},
    {"kind": "device waiting", "what": "ROOT\\NET\\0000"},
    {"kind": "device waiting", "what": "ROOT\\NET\\0001"}])");
  EXPECT_EQ(waiting, expectedWaiting) << waiting.dump(2);
  // diff shows the file operations the run left for the restart, in the same words.
  std::string pendingDiff = Run("--machine " + Quote(machine.string()) + " " + WithState("diff")).out;
  for (const char *line :
       {"pending restart:  replace: C:\\new.sys -> C:\\Windows\\drv.sys\n", "pending restart:  delete: C:\\gone.txt\n"})
    EXPECT_NE(pendingDiff.find(line), std::string::npos) << pendingDiff;

  Result r = Run("--machine " + Quote(machine.string()) + " " + WithState("--json reboot"));
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json steps = nlohmann::json::parse(r.out)["reboot"];
  const struct {
    const char *kind;
    const char *what;
    unsigned long error;
  } expected[] = {
      {"replace", "C:\\new.sys -> C:\\Windows\\drv.sys", 0},
      {"delete", "C:\\gone.txt", 0},
      {"rename", "C:\\keep.txt -> C:\\NoFolder\\keep.txt", ERROR_PATH_NOT_FOUND},
      {"rename", "C:\\tool.lnk -> C:\\Links\\tool.lnk", 0},
      {"service removed", "Doomed", 0},
      {"device started", "ROOT\\NET\\0000", 0},
      {"device has no driver", "ROOT\\NET\\0001 (problem 28, CM_PROB_FAILED_INSTALL)", 0},
      {"clock", "2026-12-08T14:32:00 (120 s for the restart)", 0},
  };
  ASSERT_EQ(steps.size(), std::size(expected)) << r.out;
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i]["kind"], expected[i].kind) << i;
    EXPECT_EQ(steps[i]["what"], expected[i].what) << i;
    EXPECT_EQ(steps[i]["error"], expected[i].error) << i;
  }

  // The effects, read from the machine directory.
  EXPECT_EQ(ReadAll(state / "drive_c/Windows/drv.sys"), "new");
  for (const char *gone : {"drive_c/new.sys", "drive_c/gone.txt", "drive_c/tool.lnk"})
    EXPECT_FALSE(fs::exists(state / gone)) << gone;
  EXPECT_EQ(ReadAll(state / "drive_c/keep.txt"), "keep") << "a failed pair leaves its file";
  std::string registry = ReadAll(state / "registry.reg");
  EXPECT_EQ(registry.find("PendingFileRenameOperations"), std::string::npos);
  EXPECT_EQ(registry.find("Doomed"), std::string::npos);
  std::string toml = ReadAll(state / "machine.toml");
  EXPECT_NE(toml.find("status = 'started'"), std::string::npos) << toml;
  EXPECT_NE(toml.find("problem = 28"), std::string::npos) << toml;
  EXPECT_NE(toml.find("2026-12-08T14:32:00"), std::string::npos) << toml;

  Result diff = Run("--machine " + Quote(machine.string()) + " " + WithState("diff"));
  EXPECT_NE(diff.out.find("file added:    C:\\Links\\tool.lnk\n               [winsim shell link]\n"
                          "               Target=C:\\tool.exe\n"),
            std::string::npos)
      << diff.out;
  Result again = Run("--machine " + Quote(machine.string()) + " " + WithState("--json reboot"));
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(nlohmann::json::parse(again.out)["reboot"].size(), 1u) << "only the clock moves: " << again.out;
}

// A state remembers the machine it was made from; a run without --state leaves nothing behind
// unless asked to; the commands that read an earlier run's state refuse one that is missing.
TEST_F(KvnhostFixture, StatesRememberTheirMachineAndTemporaryStatesGo) {
  const fs::path tmp = scratch / "tmp";
  fs::create_directories(tmp);
  const std::string inTmp = "env TMPDIR=" + Quote(tmp.string()) + " " + Quote(KVNHOST) + " ";
  struct Case {
    const char *args;
    int status;
    size_t left;  // states left in the temporary folder
  } const cases[] = {
      {"info", 0, 0},
      {"check", 0, 0},
      {"--lang xx --package /no/such/package check", 2, 0},
      {"--keep-state --json check", 0, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    fs::remove_all(tmp);
    fs::create_directories(tmp);
    std::string command = inTmp + c.args + " >" + Quote((scratch / "out.txt").string()) + " 2>/dev/null";
    int raw = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, c.status);
    size_t left = size_t(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()));
    EXPECT_EQ(left, c.left);
    if (std::string(c.args).find("--json") != std::string::npos) {
      auto j = nlohmann::json::parse(ReadAll(scratch / "out.txt"));
      EXPECT_EQ(j["state_kept"], true);
      EXPECT_TRUE(fs::is_directory(j["state_dir"].get<std::string>()));
    }
  }

  const std::string vf = (fs::path(KVN_EXAMPLE_MACHINES) / "vf-guest").string();
  ASSERT_EQ(Run("--machine " + Quote(vf) + " " + WithState("install")).status, 0);
  Result own = Run(WithState("diff")), named = Run("--machine " + Quote(vf) + " " + WithState("diff"));
  EXPECT_EQ(own.status, 0) << own.err;
  EXPECT_EQ(own.out, named.out);
  // The prompts runs recorded in the state come last, as items of their own.
  std::ofstream(state / ".kvnhost-prompts", std::ios::app) << "install: Windows would ask the user to restart now\n";
  Result prompted = Run(WithState("--json diff"));
  auto items = nlohmann::json::parse(prompted.out)["items"];
  ASSERT_FALSE(items.empty()) << prompted.out;
  EXPECT_EQ(items.back()["kind"], "prompt");
  EXPECT_EQ(items.back()["after"], "install: Windows would ask the user to restart now");
  EXPECT_EQ(Run(WithState("diff")).out,
            own.out + "prompt:           install: Windows would ask the user to restart now\n");
  EXPECT_EQ(Run(WithState("--json check")).status, 0);
  EXPECT_EQ(nlohmann::json::parse(Run(WithState("--json check")).out)["state_kept"], true);

  for (const char *command : {"log", "diff", "reboot"}) {
    SCOPED_TRACE(command);
    Result r = Run("--state " + Quote((scratch / "missing").string()) + " " + command);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("needs --state naming an existing machine state"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(scratch / "missing"));
  }
}

// --help names every command, the exit statuses and examples; --version the three builds; a
// language the component lacks is a warning and the run goes on in English.
TEST_F(KvnhostFixture, HelpVersionAndAnUnknownLanguageSayWhatTheyMean) {
  Result help = Run("--help");
  EXPECT_EQ(help.status, 0);
  for (const char *text : {"info ", "check ", "install ", "log ", "diff ", "reboot ", "machine new DIR",
                           "Exit status: 0 success, 3010", "Examples:", "--keep-state"})
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  Result diffHelp = Run("diff --help");
  EXPECT_EQ(diffHelp.status, 0);
  EXPECT_EQ(diffHelp.out.rfind("kvnhost [options] diff\n", 0), 0u) << diffHelp.out;
  EXPECT_NE(diffHelp.out.find("--reg FILE"), std::string::npos) << diffHelp.out;
  EXPECT_EQ(nlohmann::json::parse(Run(WithState("--format json info")).out)["interface_version"], 100);
  Result version = Run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("kvnhost ", 0), 0u) << version.out;
  EXPECT_NE(version.out.find("\nkvncomp "), std::string::npos) << version.out;
  EXPECT_NE(version.out.find("\nwinsim "), std::string::npos) << version.out;
  Result english = Run(WithState("--json --lang xx info"));
  EXPECT_EQ(english.status, 0);
  EXPECT_NE(english.err.find("kvnhost: warning: --lang xx is not a language of the component (en, fr, it, de, es, "
                             "ja); it answers in English"),
            std::string::npos)
      << english.err;
  EXPECT_EQ(nlohmann::json::parse(english.out)["package_name"], "Ethernet Network Adapter Driver");
  EXPECT_EQ(Run(WithState("--lang DE info")).err.find("warning: --lang"), std::string::npos);
}

// What the simulator does not model is its own note, apart from the product's messages: on
// standard error with "winsim:" and a hint, in --json as simulator_notes. The example
// machine has none.
TEST_F(KvnhostFixture, SimulatorNotesAreApartFromTheProductsMessages) {
  Result clean = Run(WithState("--json install"));
  ASSERT_LE(clean.status, 1) << clean.err;
  EXPECT_EQ(nlohmann::json::parse(clean.out)["simulator_notes"], nlohmann::json::array());
  EXPECT_EQ(clean.err.find("winsim:"), std::string::npos) << clean.err;

  fs::path machine = scratch / "no-agent";
  fs::create_directories(machine / "drive_c");
  std::ofstream(machine / "machine.toml") << "base = " << Quote((fs::path(KVN_EXAMPLE_MACHINES) / "default").string())
                                          << "\n[[programs]]\nname = \"direvo.exe\"\nremove = true\n";
  Result r =
      Run("--machine " + Quote(machine.string()) + " --state " + Quote((scratch / "s2").string()) + " --json install");
  ASSERT_LE(r.status, 1) << r.err;
  auto j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j["simulator_notes"].size(), 1u) << r.out;
  EXPECT_EQ(
      j["simulator_notes"][0].get<std::string>().rfind("CreateProcessW: running C:\\Windows\\System32\\direvo.exe", 0),
      0u);
  EXPECT_NE(r.err.find("winsim: note: CreateProcessW: running"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("are the simulated Windows' own, not the component's"), std::string::npos) << r.err;
}

// The diff of the default install: each adapter's driver key under its path with the values
// before and after, as items in --json too; and the .reg file of --reg, applied over the
// machine as regedit imports it, gives the state's registry exactly.
TEST_F(KvnhostFixture, DiffShowsEachKeyWithItsValuesBeforeAndAfterAndWritesThemAsARegFile) {
  ASSERT_EQ(Run(WithState("install")).status, 0);
  const fs::path reg = scratch / "changes.reg";
  Result r = Run(WithState("--json diff --reg " + Quote(reg.string())));
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  std::set<std::string> upgraded;  // the driver keys whose DriverVersion went up
  for (const auto &item : j["items"])
    if (item["kind"] == "registry" && item.value("value", "") == "DriverVersion" &&
        item["before"] == "\"1.10.128.0\"" && item["after"] == "\"1.12.150.0\"" && item["change"] == "changed") {
      EXPECT_EQ(item["type"], "REG_SZ");
      upgraded.insert(item["key"].get<std::string>());
    }
  EXPECT_EQ(upgraded.size(), 2u) << r.out;
  std::string text = Run(WithState("diff")).out;
  for (const std::string &key : upgraded)
    EXPECT_NE(text.find("registry changed: [" + key + "]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    \"DriverVersion\": \"1.10.128.0\" -> \"1.12.150.0\"\n"), std::string::npos) << text;
  // Every line of the report is one of the "changes".
  EXPECT_EQ(j["changes"].size(), size_t(std::count(text.begin(), text.end(), '\n')));

  fs::path applied = scratch / "applied", copy = scratch / "applied-copy";
  fs::create_directories(applied / "drive_c");
  std::ofstream(applied / "machine.toml")
      << "base = " << Quote((fs::path(KVN_EXAMPLE_MACHINES) / "default").string()) << "\n";
  fs::copy_file(reg, applied / "registry.reg");
  std::string error;
  ASSERT_TRUE(winsim::CopyMachine(applied, copy, error)) << error;
  // Keys and values compared without regard to the order of a key's values, which an import
  // does not set.
  auto values = [&](const fs::path &file) {
    std::vector<winsim::RegistryFileValue> list;
    EXPECT_TRUE(winsim::ReadRegistryFile(file, list, error)) << error;
    std::map<std::string, std::pair<unsigned long, std::vector<unsigned char>>> byName;
    for (auto &v : list)
      byName[v.key + "\\" + winsim::ToUtf8(v.name) + (v.keyOnly ? "\\(key)" : "")] = {v.type, v.data};
    return byName;
  };
  auto expected = values(state / "registry.reg"), got = values(copy / "registry.reg");
  EXPECT_EQ(got.size(), expected.size());
  for (auto &[name, value] : expected) {
    auto it = got.find(name);
    EXPECT_TRUE(it != got.end() && it->second == value) << name;
  }
}

// devices lists what SetupAPI lists, problems in words; --matching keeps the devices the
// component's rules match and names the rule: the package's supported devices among the
// network adapters (present or not), the adapter family's prefixes among the present devices.
TEST_F(KvnhostFixture, DevicesListsTheMachinesDevicesAndWhichTheComponentMatches) {
  auto devices = [&](const char *machine, const std::string &args) {
    Result r = Run("--machine " + Quote((fs::path(KVN_EXAMPLE_MACHINES) / machine).string()) + " " +
                   WithState("--json devices " + args));
    EXPECT_EQ(r.status, 0) << r.err;
    fs::remove_all(state);
    return nlohmann::json::parse(r.out);
  };
  nlohmann::json all = devices("default", "");
  ASSERT_EQ(all.size(), 51u);
  std::map<std::string, std::string> unusual;  // instance ID -> status as shown
  for (const auto &d : all)
    if (d["status"] != "started")
      unusual[d["instance_id"]] = d["status"].get<std::string>() +
                                  (d.contains("problem_text") ? " " + d["problem_text"].get<std::string>() : "");
  const std::map<std::string, std::string> expectedUnusual = {
      {"PCI\\VEN_14E4&DEV_165F&SUBSYS_165F14E4&REV_00\\00001866DAFFFE5A3B1D01",
       "disabled CM_PROB_DISABLED: the device is disabled"},
      {"PCI\\VEN_8086&DEV_37C8&SUBSYS_00008086&REV_04\\4&1E6A7B2C&0&0010",
       "problem CM_PROB_FAILED_INSTALL: its drivers are not installed"},
      {"USB\\VID_058F&PID_6387\\C4F5A9B2", "not present"},
      {"USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH_DISK&REV_8.07\\C4F5A9B2&0", "not present"}};
  EXPECT_EQ(unusual, expectedUnusual);

  const struct {
    const char *machine;
    std::map<std::string, std::vector<std::string>> matched;  // instance ID -> rules
  } cases[] = {
      {"default",
       {{"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008",
         {"the package's supported device PCI\\VEN_8086&DEV_1572&SUBSYS_00018086"}},
        {"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0009",
         {"the package's supported device PCI\\VEN_8086&DEV_1572&SUBSYS_00018086"}}}},
      {"vf-guest",
       {{"PCI\\VEN_8086&DEV_154C&SUBSYS_00008086&REV_01\\5&1C2A8D3F&0&0",
         {"the package's supported device PCI\\VEN_8086&DEV_154C",
          "the adapter family's prefix PCI\\VEN_8086&DEV_154C"}},
        {"PCI\\VEN_8086&DEV_154C&SUBSYS_00008086&REV_01\\5&3B7E0C12&0&0",
         {"the package's supported device PCI\\VEN_8086&DEV_154C"}},
        {"PCI\\VEN_8086&DEV_1571&SUBSYS_00008086&REV_01\\5&2F4D6A91&0&0",
         {"the package's supported device PCI\\VEN_8086&DEV_1571",
          "the adapter family's prefix PCI\\VEN_8086&DEV_1571"}}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.machine);
    std::map<std::string, std::vector<std::string>> matched;
    for (const auto &d : devices(c.machine, "--matching"))
      matched[d["instance_id"]] = d["matched_by"].get<std::vector<std::string>>();
    EXPECT_EQ(matched, c.matched);
  }
}

namespace {
// A crash fault ends the process at its call as if it were killed: exit status 137 after one
// winsim line, and the state keeps what the install had done (the adapters it had disabled).
TEST_F(KvnhostFixture, ACrashFaultEndsTheRunAndTheStateKeepsWhatItDid) {
  const fs::path machine = scratch / "crash";
  fs::create_directories(machine / "drive_c");
  std::ofstream(machine / "machine.toml") << "base = " << Quote((fs::path(KVN_EXAMPLE_MACHINES) / "default").string())
                                          << "\n[[faults]]\nfunction = \"RegSetValueExW\"\nnth = 3\nkind = \"crash\"\n";
  Result r = Run("--machine " + Quote(machine.string()) + " " + WithState("install"));
  EXPECT_EQ(r.status, 137);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("winsim: the process ended at call "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" (RegSetValueExW) as a crash fault asked\n"), std::string::npos) << r.err;
  Result diff = Run(WithState("diff"));
  EXPECT_EQ(diff.status, 0) << diff.err;
  EXPECT_NE(diff.out.find("&0&0008: status started -> disabled\n"), std::string::npos) << diff.out;
  // A kind that is neither is a mistake of the machine file.
  std::ofstream(machine / "machine.toml", std::ios::app)
      << "[[faults]]\nfunction = \"RegSetValueExW\"\nkind = \"hang\"\n";
  r = Run("--machine " + Quote(machine.string()) + " --state " + Quote((scratch / "s2").string()) + " check");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("kind"), std::string::npos) << r.err;
}
}  // namespace
