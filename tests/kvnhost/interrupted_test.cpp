// An install the host process did not live to finish loses nothing: the default machine's two
// adapters, interrupted at each stage of the adapter flow (a crash fault ends kvnhost there),
// are started again by the next install, which finds the adapter journal; a journal written by
// hand, one naming a device that is gone, a cut one and a foreign file are each handled as the
// journal's rules say.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include <winsim.h>

#include "hostrun.h"
#include "testmachine.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char kFirst[] = "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008";
const char kSecond[] = "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0009";

const auto Quote = ShellQuote;

// A crash fault: the process ends at the nth call of `function`; a power cut also loses the
// file writes not flushed and restarts the machine.
std::string Crash(const char *function, int nth, bool power = false) {
  return "[[faults]]\nfunction = \"" + std::string(function) + "\"\nnth = " + std::to_string(nth) +
         "\nkind = \"crash\"\n" + (power ? "power = true\n" : "");
}

// The journal's bytes as the component writes them (UTF-16LE with its byte order mark).
std::string Utf16(const std::string &text) {
  std::string bytes = "\xFF\xFE";
  for (char c : text) bytes += std::string{c, '\0'};
  return bytes;
}

struct Case {
  const char *name;
  std::vector<std::string> crashes;  // one interrupted install per entry, in order
  // Changes the state before the clean install (a journal written or cut by hand).
  std::function<void(const fs::path &journal)> meanwhile;
  const char *first = "started";  // the first adapter's status after the clean install
  bool interruptedLine = true;    // the clean install logs NIC_STATUS_INTERRUPTED
  bool setAside = false;          // the file was not a journal: renamed adapters.jnl.bad1
};
const std::function<void(const fs::path &)> kNothing;

const Case kCases[] = {
    {"before the disable pass", {Crash("SetupDiSetClassInstallParamsW", 1)}, kNothing, "started", false},
    {"in the middle of the disable pass", {Crash("SetupDiSetClassInstallParamsW", 2)}, kNothing},
    {"during the driver step", {Crash("UpdateDriverForPlugAndPlayDevicesW", 1)}, kNothing},
    {"in the re-enable walk", {Crash("SetupDiSetClassInstallParamsW", 3)}, kNothing},
    // The journal was flushed before the disable pass, so it outlives the power; the setup
    // log's lines of the cut install were not, and go.
    {"by a power cut during the driver step", {Crash("UpdateDriverForPlugAndPlayDevicesW", 1, true)}, kNothing},
    {"twice in a row",
     {Crash("SetupDiSetClassInstallParamsW", 2), Crash("SetupDiSetClassInstallParamsW", 1)},
     kNothing},
    {"a journal whose adapters were enabled by hand meanwhile",
     {},
     [](const fs::path &journal) {
       WriteAll(journal, Utf16(std::string("kvncomp adapter journal 1\r\nstarted\t") + kFirst + "\r\nstarted\t" +
                               kSecond + "\r\nend 2\r\n"));
     },
     "started",
     false},
    {"a journal naming a device that is no longer present",
     {Crash("SetupDiSetClassInstallParamsW", 2)},
     [](const fs::path &journal) {
       WriteAll(journal, Utf16(std::string("kvncomp adapter journal 1\r\nstarted\t") + kFirst +
                               "\r\nstarted\tPCI\\VEN_8086&DEV_1572\\GONE\r\nend 2\r\n"));
     }},
    // The journal of an interruption cut short: never trusted, so the adapter the interruption
    // left disabled is recorded as disabled and stays so.
    {"a cut journal",
     {Crash("SetupDiSetClassInstallParamsW", 2)},
     [](const fs::path &journal) {
       WriteAll(journal, Utf16(std::string("kvncomp adapter journal 1\r\nstarted\t") + kFirst + "\r\n"));
     },
     "disabled",
     false,
     true},
    {"a foreign file",
     {},
     [](const fs::path &journal) { WriteAll(journal, "[settings]\nmode = fast\n"); },
     "started",
     false,
     true},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

struct InterruptedInstall : ::testing::TestWithParam<Case> {
  const ScratchFolder folder{"kvnhost-interrupted"};
  const fs::path &scratch = folder.Path();
  HostRun Kvnhost(const std::string &args) const { return RunProgram(KVNHOST, args, scratch); }
};

// The state's folder of that name, found without regard to case (winsim keeps the name it was
// created with).
fs::path FolderOf(const fs::path &dir, const std::string &name);

// The setup log's bytes in the state ("" while there is none).
std::string SetupLog(const fs::path &state) {
  std::error_code ec;
  for (const auto &entry : fs::recursive_directory_iterator(state / "drive_c", ec))
    if (entry.path().filename() == "kvnsetup.log") return ReadAll(entry.path());
  return "";
}

fs::path FolderOf(const fs::path &dir, const std::string &name) {
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    std::string a = entry.path().filename().string(), b = name;
    for (char &c : a) c = char(std::tolower((unsigned char)c));
    for (char &c : b) c = char(std::tolower((unsigned char)c));
    if (a == b) return entry.path();
  }
  return dir / name;
}

TEST_P(InterruptedInstall, TheNextInstallStartsTheAdaptersAgainAndLeavesNoJournal) {
  const Case &c = GetParam();
  const fs::path state = scratch / "state";
  const std::string onState = "--state " + Quote(state.string()) + " ";
  // Each interrupted install runs on the state with its crash fault; the fault goes after it.
  ASSERT_EQ(
      Kvnhost("--machine " + Quote((fs::path(KVN_EXAMPLE_MACHINES) / "default").string()) + " " + onState + "check")
          .status,
      0);
  for (const std::string &crash : c.crashes) {
    WriteAll(state / "machine.toml", ReadAll(state / "machine.toml") + crash);
    const std::string logBefore = SetupLog(state);
    HostRun crashed = Kvnhost(onState + "install");
    ASSERT_EQ(crashed.status, 137) << crash << crashed.err;
    if (crash.find("power = true") != std::string::npos) {
      EXPECT_EQ(SetupLog(state), logBefore);
      EXPECT_NE(crashed.err.find("the machine restarts"), std::string::npos) << crashed.err;
    } else {
      EXPECT_NE(SetupLog(state), logBefore);
    }
    // The machine as the crash saved it, without the fault.
    toml::table machine = toml::parse_file((state / "machine.toml").string());
    ASSERT_TRUE(machine.erase("faults")) << crash;
    std::ostringstream text;
    text << machine;
    WriteAll(state / "machine.toml", text.str());
    HostRun check = Kvnhost(onState + "--json check");
    EXPECT_EQ(json::parse(check.out)["interrupted_install"], true) << crash;
  }
  const fs::path folder = FolderOf(state / "drive_c", "VADORUREV");
  if (c.meanwhile) c.meanwhile(FolderOf(folder, "adapters.jnl"));

  HostRun clean = Kvnhost(onState + "--json install");
  ASSERT_TRUE(clean.status == 0 || clean.status == 3010 % 256) << clean.status << clean.err;
  const json report = json::parse(clean.out);
  std::map<std::string, std::string> status;
  for (const json &d : json::parse(Kvnhost(onState + "--json devices").out))
    status[d["instance_id"].get<std::string>()] = d["status"].get<std::string>();
  EXPECT_EQ(status[kFirst], c.first);
  EXPECT_EQ(status[kSecond], "started");
  EXPECT_FALSE(fs::exists(FolderOf(folder, "adapters.jnl")));
  EXPECT_EQ(fs::exists(FolderOf(folder, "adapters.jnl.bad1")), c.setAside);
  const std::string verbose = report["verbose_log"].is_string() ? report["verbose_log"].get<std::string>() : "";
  const std::string logs = report["setup_log"].dump() + verbose;
  EXPECT_EQ(logs.find("NIC_STATUS_INTERRUPTED") != std::string::npos ||
                logs.find("Restoring adapters left disabled by an interrupted installation.") != std::string::npos,
            c.interruptedLine)
      << logs;
  EXPECT_EQ(json::parse(Kvnhost(onState + "--json check").out)["interrupted_install"], false);
}

INSTANTIATE_TEST_SUITE_P(Kvnhost, InterruptedInstall, ::testing::ValuesIn(kCases), [](const auto &info) {
  std::string name;
  for (char ch : std::string(info.param.name)) name += std::isalnum((unsigned char)ch) ? ch : '_';
  return name;
});

// A machine's save writes its files as one: a kvnhost process ended after each step of the save
// (the new files written, the marker, each rename, the marker removed) leaves a state that
// loads as wholly the old machine or wholly the new one.
TEST(StateSave, EndedAtAnyStepTheStateIsWhollyOldOrWhollyNew) {
  const ScratchFolder folder("kvnhost-save");
  const fs::path &scratch = folder.Path();
  const std::string machine = Quote((fs::path(KVN_EXAMPLE_MACHINES) / "default").string());
  auto run = [&](const fs::path &state, const std::string &command, int stopAfter) {
    const std::string env = stopAfter ? "WINSIM_SAVE_STOP_AFTER=" + std::to_string(stopAfter) + " " : "";
    const int raw = std::system((env + Quote(KVNHOST) + " --machine " + machine + " --state " + Quote(state.string()) +
                                 " " + command + " >/dev/null 2>&1")
                                    .c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  auto files = [](const fs::path &state) {
    return std::pair{ReadAll(state / "machine.toml"), ReadAll(state / "registry.reg")};
  };
  const fs::path primed = scratch / "primed", finished = scratch / "finished";
  ASSERT_EQ(run(primed, "check", 0), 0);
  fs::copy(primed, finished, fs::copy_options::recursive);
  ASSERT_EQ(run(finished, "install", 0), 0);
  const auto before = files(primed), after = files(finished);
  ASSERT_NE(before, after);
  for (int step = 1; step <= 6; ++step) {
    SCOPED_TRACE("ended after step " + std::to_string(step));
    const fs::path state = scratch / ("step" + std::to_string(step));
    fs::copy(primed, state, fs::copy_options::recursive);
    EXPECT_EQ(run(state, "install", step), 138);
    std::string error;
    ASSERT_TRUE(winsim::OpenMachine(state, error)) << error;
    const auto loaded = files(state);
    EXPECT_TRUE(loaded == before || loaded == after);
    EXPECT_EQ(loaded == after, step >= 3);  // from the marker on, the save is completed
    winsim::CloseMachine();
  }
}

}  // namespace
