// kvncapture over winsim machines: each example machine's capture answers kvnhost as the
// machine itself does and captures to itself again; and what the capture cannot read is
// recorded, never written as a machine that does not load.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <toml++/toml.h>

namespace fs = std::filesystem;

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

std::string ReadAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string Lower(std::string text) {
  for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The text without its first line (a header naming the moment or the state folder).
std::string AfterFirstLine(const std::string &text) {
  size_t end = text.find('\n');
  return end == std::string::npos ? "" : text.substr(end + 1);
}

struct CaptureFixture : ::testing::Test {
  fs::path scratch;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvncapture-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(scratch, ec);
  }

  Result Run(const char *program, const std::string &args) const {
    Result r;
    fs::path out = scratch / "out.txt", err = scratch / "err.txt";
    std::string command = Quote(program) + " " + args + " >" + Quote(out.string()) + " 2>" + Quote(err.string());
    int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
  }
  Result Capture(const fs::path &machine, const fs::path &out, const std::string &options = "") const {
    return Run(KVNCAPTURE, "--machine " + Quote(machine.string()) + " --package " + Quote(KVN_EXAMPLE_PACKAGE) + " " +
                               options + " " + Quote(out.string()));
  }
  // kvnhost's JSON (without state_dir), the setup log (without the line naming the state)
  // and the diff (without the lines naming the machine and the state) of one command.
  std::string Answers(const fs::path &machine, const std::string &command, const std::string &name) const {
    fs::path state = scratch / ("state-" + name + "-" + command);
    std::string common = "--machine " + Quote(machine.string()) + " --state " + Quote(state.string()) + " ";
    Result r = Run(KVNHOST, common + "--json " + command);
    EXPECT_LE(r.status, 1) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << r.out;
    if (j.is_object()) j.erase("state_dir");
    std::string diff;
    std::istringstream lines(Run(KVNHOST, common + "diff").out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("machine", 0) != 0) diff += line + "\n";
    return j.dump(2) + "\n--- log\n" + AfterFirstLine(Run(KVNHOST, common + "log").out) + "--- diff\n" + diff;
  }
};

// A machine over `base` that adds the behaviour tables of `original` a capture cannot see
// (what a program does when started): the what-if on a capture is given them by hand.
void WriteOverlay(const fs::path &dir, const fs::path &base, const fs::path &original) {
  fs::create_directories(dir / "drive_c");
  toml::table overlay{{"base", base.string()}};
  toml::table machine = toml::parse_file((original / "machine.toml").string());
  if (const toml::array *programs = machine["programs"].as_array()) overlay.insert("programs", *programs);
  std::ofstream(dir / "machine.toml") << overlay << "\n";
}

class RoundTrip : public CaptureFixture, public ::testing::WithParamInterface<const char *> {};

TEST_P(RoundTrip, TheCaptureAnswersAsTheMachineAndCapturesToItself) {
  const fs::path machine = fs::path(KVN_EXAMPLE_MACHINES) / GetParam();
  const fs::path captured = scratch / "captured", overlay = scratch / "overlay", again = scratch / "again";
  Result r = Capture(machine, captured);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(ReadAll(captured / "CAPTURE.txt").find("Omissions: none."), std::string::npos);

  // Every entry of the machine's [[devices]] is the capture's entry at the same place, with
  // each of its keys (its behaviour aside) holding the same value.
  toml::table m = toml::parse_file((machine / "machine.toml").string());
  toml::table c = toml::parse_file((captured / "machine.toml").string());
  const toml::array *mine = m["devices"].as_array(), *theirs = c["devices"].as_array();
  ASSERT_EQ(mine ? mine->size() : 0, theirs ? theirs->size() : 0);
  for (size_t i = 0; mine && i < mine->size(); ++i) {
    const toml::table &a = *(*mine)[i].as_table(), &b = *(*theirs)[i].as_table();
    SCOPED_TRACE(a["instance_id"].value_or(std::string()));
    for (auto &&[key, value] : a) {
      if (key.str() == "behaviour") continue;
      if (const toml::table *driver = value.as_table()) {
        for (auto &&[k, v] : *driver) {
          if (k.str() == "matching_id") {
            // Windows keeps a driver key's MatchingDeviceId in lower case.
            EXPECT_EQ(Lower(v.value_or(std::string())), b["driver"]["matching_id"].value_or(std::string()));
            continue;
          }
          EXPECT_EQ(toml::node_view(v), b["driver"][k.str()]) << "driver." << k.str();
        }
      } else if (value.value_or(std::string("?")).empty()) {
        EXPECT_EQ(b[key.str()].value_or(std::string()), "") << key.str();  // an empty text is no text
      } else if (key.str() != "problem" ||
                 a["status"].value_or(std::string()) != "disabled") {  // 22 goes without saying
        EXPECT_EQ(toml::node_view(value), b[key.str()]) << key.str();
      }
    }
  }

  WriteOverlay(overlay, captured, machine);
  for (const char *command : {"check", "install"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Answers(overlay, command, "captured"), Answers(machine, command, "machine"));
  }

  // What the capture reads of the copy is what it read of the machine.
  r = Capture(captured, again);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char *file : {"machine.toml", "registry.reg", "binaries.txt"})
    EXPECT_EQ(AfterFirstLine(ReadAll(again / file)), AfterFirstLine(ReadAll(captured / file))) << file;
}

INSTANTIATE_TEST_SUITE_P(ExampleMachines, RoundTrip,
                         ::testing::Values("default", "vf-guest", "server2008-x86", "server2008r2-sp1", "server2012",
                                           "server2012r2", "server2016-core", "windows10-client"),
                         [](const auto &info) {
                           std::string name = info.param;
                           for (char &ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// What the capture meets on a machine it cannot wholly read, and the arguments it refuses:
// each case's exit status and the line that says why (in CAPTURE.txt, or on standard error
// when nothing is written).
TEST_F(CaptureFixture, WhatCannotBeReadIsRecordedAndBadArgumentsWriteNothing) {
  const std::string base = "base = " + Quote((fs::path(KVN_EXAMPLE_MACHINES) / "default").string()) + "\n";
  std::string manyDevices = base;
  for (int i = 0; i < 3000; ++i)
    manyDevices += "[[devices]]\ninstance_id = 'ROOT\\KVNTEST\\" + std::to_string(i) +
                   "'\nhardware_ids = ['ROOT\\KVNTEST']\nclass = \"System\"\n"
                   "class_guid = \"{4D36E97D-E325-11CE-BFC1-08002BE10318}\"\n";
  struct Case {
    const char *name;
    std::string machineToml;  // empty: the default example machine itself
    std::string options;
    int status;
    const char *says;  // in CAPTURE.txt (status 0, 1) or on standard error (2)
  } const cases[] = {
      {"a service key that cannot be opened",
       base + "[[faults]]\nfunction = \"RegOpenKeyExW\"\nwhen_arg_contains = 'Services\\z40e'\nerror = 5\n", "", 1,
       "registry key HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\z40e: RegOpenKeyExW failed with "
       "ERROR_ACCESS_DENIED (5); left out"},
      {"an INF file that cannot be read",
       base + "[[faults]]\nfunction = \"CreateFileW\"\nwhen_arg_contains = \"oem3.inf\"\nerror = 5\n", "", 1,
       "INF file C:\\Windows\\INF\\oem3.inf: it cannot be opened (ERROR_ACCESS_DENIED (5)); left out"},
      {"a driver SetupAPI cannot read",
       base + "[[faults]]\nfunction = \"SetupDiBuildDriverInfoList\"\nnth = 1\nerror = 8\n", "", 1,
       "its installed driver ({50127dc3-0f36-415e-a6cc-4cb3be910b65}\\0000) cannot be read from SetupAPI"},
      {"no device list", base + "[[faults]]\nfunction = \"SetupDiGetClassDevsW\"\nnth = 1\nerror = 8\n", "", 1,
       "[[devices]]: SetupDiGetClassDevsW failed with ERROR_NOT_ENOUGH_MEMORY (8); no device is recorded"},
      {"a service control manager that refuses", base + "[[faults]]\nfunction = \"OpenSCManagerW\"\nerror = 5\n", "", 1,
       "[[services]]: OpenSCManagerW failed with ERROR_ACCESS_DENIED (5)"},
      {"a WMI that does not answer", base + "[wmi]\navailable = false\n", "", 0, "WMI: not available"},
      {"thousands of devices", manyDevices, "", 0, "3051 devices with their status"},
      {"only the network devices", "", "--devices net", 0, "11 network devices"},
      {"an unknown option", "", "--everything", 2, "kvncapture: unknown option --everything"},
      {"a wrong --devices", "", "--devices some", 2, "kvncapture: --devices some: expected all or net"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fs::path machine = fs::path(KVN_EXAMPLE_MACHINES) / "default", out = scratch / "out-machine";
    fs::remove_all(out);
    if (!c.machineToml.empty()) {
      machine = scratch / "machine";
      fs::remove_all(machine);
      fs::create_directories(machine / "drive_c");
      std::ofstream(machine / "machine.toml") << c.machineToml;
    }
    Result r = Capture(machine, out, c.options);
    ASSERT_EQ(r.status, c.status) << r.out << r.err;
    if (c.status == 2) {
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    std::string report = ReadAll(out / "CAPTURE.txt");
    EXPECT_NE(report.find(c.says), std::string::npos) << report;
    // Whatever was left out, what was written loads and answers.
    Result check = Run(KVNHOST, "--machine " + Quote(out.string()) + " --state " +
                                    Quote((scratch / ("state-" + std::to_string(&c - cases))).string()) + " check");
    EXPECT_EQ(check.status, 0) << check.err;
  }

  // An output folder that exists is left as it is; a machine that does not exist writes nothing.
  fs::create_directories(scratch / "exists");
  std::ofstream(scratch / "exists" / "keep.txt") << "mine";
  Result r = Capture(fs::path(KVN_EXAMPLE_MACHINES) / "default", scratch / "exists");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("exists; a capture writes a new folder"), std::string::npos) << r.err;
  EXPECT_EQ(ReadAll(scratch / "exists" / "keep.txt"), "mine");
  r = Capture(scratch / "no-such-machine", scratch / "never");
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(fs::exists(scratch / "never"));
}

}  // namespace
