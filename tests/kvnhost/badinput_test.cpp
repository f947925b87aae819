// Bad input through kvnhost: packages and machines that are empty, noise, huge, deeply nested
// or locked. Every case must end with a documented answer (README "Bad input") within its
// time and memory bounds: `check` and then `install` on a fresh copy of the machine, and `lint`
// of the package alone.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testmachine.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Reproducible noise: the same bytes for the same seed on every run.
std::string Noise(size_t size, uint64_t seed) {
  std::string bytes(size, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < size; i += 8) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    for (size_t b = 0; b < 8 && i + b < size; ++b) bytes[i + b] = char(x >> (8 * b));
  }
  return bytes;
}

void ForEachFile(const fs::path &dir, const std::function<void(const fs::path &, size_t)> &change) {
  std::vector<fs::path> files;
  for (const auto &e : fs::directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (size_t i = 0; i < files.size(); ++i) change(files[i], i);
}

void ReplaceAll(std::string &text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

void Edit(const fs::path &file, const std::vector<std::pair<std::string, std::string>> &edits) {
  std::string text = ReadAll(file);
  for (const auto &[from, to] : edits) {
    ASSERT_NE(text.find(from), std::string::npos) << from << " not in " << file;
    ReplaceAll(text, from, to);
  }
  WriteAll(file, text);
}

void Append(const fs::path &file, const std::string &text) {
  std::ofstream(file, std::ios::binary | std::ios::app) << text;
}

// One run of kvnhost: exit status (-signal when killed), output, wall time and peak memory.
struct RunResult {
  int status = 0;
  std::string out, err;
  double seconds = 0;
  long peakMb = 0;
};

RunResult RunKvnhost(const std::vector<std::string> &args, const fs::path &scratch, int limitSeconds) {
  RunResult r;
  fs::path out = scratch / "out.txt", err = scratch / "err.txt";
  // The child starts as a copy of this process: give back what the generators freed, so that
  // its peak memory is kvnhost's own, and write out what is buffered, so it is not written twice.
  malloc_trim(0);
  fflush(stdout);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
    std::vector<char *> argv{const_cast<char *>(KVNHOST)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(KVNHOST, argv.data());
    _exit(127);
  }
  int raw = 0;
  rusage usage{};
  for (;;) {
    pid_t done = wait4(pid, &raw, WNOHANG, &usage);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (done == pid) break;
    if (r.seconds > limitSeconds) {
      kill(pid, SIGKILL);
      wait4(pid, &raw, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
  r.peakMb = usage.ru_maxrss / 1024;
  r.out = ReadAll(out);
  r.err = ReadAll(err);
  return r;
}

struct Dirs {
  fs::path package, machine;
};

struct BadInput {
  const char *name;
  std::function<void(const Dirs &)> make;  // changes copies of the example package and machine
  const char *check;                       // the fields `check --json` must answer
  int installStatus;                       // install's exit status (3010 seen as 3010 % 256)
  const char *install;                     // the fields `install --json` must answer
  int seconds;                             // bound on each run's wall time
  long megabytes;                          // bound on each run's peak memory
  bool large = false;                      // measured in the normal build only
};

const std::string kLong(300, 'n');

void AppendDevices(const fs::path &machineToml, int count) {
  std::string text;
  char entry[640];
  for (int i = 0; i < count; ++i) {
    snprintf(entry, sizeof entry,
             "\n[[devices]]\ninstance_id = 'PCI\\VEN_14E4&DEV_16D8&SUBSYS_1402%04X&REV_01\\%08X'\n"
             "hardware_ids = ['PCI\\VEN_14E4&DEV_16D8&SUBSYS_1402%04X&REV_01', 'PCI\\VEN_14E4&DEV_16D8']\n"
             "class = \"Net\"\nclass_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n"
             "interfaces = [\"{AD498944-762F-11D0-8DCB-00C04FC3358C}\"]\n"
             "description = \"Other Gigabit Ethernet\"\npresent = true\nstatus = \"started\"\n",
             i % 0x10000, i, i % 0x10000);
    text += entry;
  }
  Append(machineToml, text);
}

void AppendValues(const fs::path &registry, int keys, int valuesPerKey) {
  std::string text;
  for (int k = 0; k < keys; ++k) {
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Key" + std::to_string(k) + "]\r\n";
    for (int v = 0; v < valuesPerKey; ++v)
      text += "\"Value" + std::to_string(v) + "\"=\"text " + std::to_string(v) + "\"\r\n";
    text += "\r\n";
  }
  Append(registry, text);
}

const char kUnreadable[] = R"({"os_supported": 1, "installed": 0, "version_status": 0, "preinstall_status": 5})";
const char kUnknownInf[] = R"({"install_result": 0,
                               "install_message": "Unknown INF file type -- installation will not continue."})";
const char kAsExample[] = R"({"os_supported": 1, "installed": 1, "version_status": 0, "preinstall_status": 2})";
const char kInstalled[] = R"({"install_result": 1, "install_message": ""})";

const BadInput kCases[] = {
    {"EveryPackageFileEmpty",
     [](const Dirs &d) { ForEachFile(d.package, [](const fs::path &f, size_t) { WriteAll(f, ""); }); }, kUnreadable, 1,
     kUnknownInf, 10, 64},
    {"EveryPackageFileNoise",
     [](const Dirs &d) {
       ForEachFile(d.package, [](const fs::path &f, size_t i) { WriteAll(f, Noise(64 * 1024, i)); });
     },
     kUnreadable, 1, kUnknownInf, 10, 64},
    {"EveryPackageFile50MB",
     [](const Dirs &d) {
       ForEachFile(d.package, [](const fs::path &f, size_t i) { WriteAll(f, Noise(50 << 20, i)); });
     },
     kUnreadable, 1, kUnknownInf, 30, 256},
    {"NamesOf300Characters",
     [](const Dirs &d) {
       Edit(d.package / "install.xml", {{"z40e64.inf", kLong + ".inf"}, {"\"z40e\"", "\"" + kLong + "\""}});
       Edit(d.package / "vqz40e.xml", {{"1.12.150.0", kLong}, {"Ethernet Network Adapter Driver", kLong}});
     },
     kAsExample, 1,
     R"({"install_result": 0, "install_message": "Installation failed on at least one device.  One of the devices may have been deleted through Device Manager and a reboot may be necessary to complete the driver installation for this device."})",
     10, 64},
    {"XmlNested100000Deep",
     [](const Dirs &d) {
       std::string deep = "<?xml version=\"1.0\"?>";
       for (int i = 0; i < 100000; ++i) deep += "<a>";
       for (int i = 0; i < 100000; ++i) deep += "</a>";
       WriteAll(d.package / "vqz40e.xml", deep);
       WriteAll(d.package / "install.xml", deep);
     },
     kUnreadable, 1, kUnknownInf, 10, 128},
    {"InfWith100000Sections",
     [](const Dirs &d) {
       std::string sections;
       for (int i = 0; i < 100000; ++i)
         sections += "[Extra" + std::to_string(i) + "]\r\nHKR,,Value" + std::to_string(i) + ",,\"x\"\r\n";
       Append(d.package / "z40e64.inf", sections);
     },
     kAsExample, 0, kInstalled, 30, 512},
    {"MachineWith100000Devices", [](const Dirs &d) { AppendDevices(d.machine / "machine.toml", 100000); }, kAsExample,
     0, kInstalled, 120, 3072, true},
    {"RegistryOfAMillionValues", [](const Dirs &d) { AppendValues(d.machine / "registry.reg", 1000, 1000); },
     kAsExample, 0, kInstalled, 60, 1024, true},
    {"DriveFull",
     [](const Dirs &d) {
       Edit(d.machine / "machine.toml", {{"free_disk = { \"C:\" = 53687091200 }", "free_disk = { \"C:\" = 0 }"}});
     },
     R"({"installed": 1, "preinstall_status": 7,
         "preinstall_message": "There is not enough disk space to install this component.\r\n"})",
     // The agent's files cannot be staged: the install stops there (the adapters restored) and
     // the setup log says why; no message, as the install never reached the driver.
     1, R"({"install_result": 0, "install_message": ""})", 10, 64},
    {"DriverFileInUse",
     [](const Dirs &d) {
       Append(d.machine / "machine.toml",
              "\n[[locked_files]]\npath = 'C:\\Windows\\System32\\drivers\\z40e64.sys'\nerror = 32\nrename = false\n");
     },
     kAsExample, 3010 % 256, R"({"install_result": 2, "install_message": ""})", 10, 64},
    // Before Windows Vista another process can hold the service database lock; here it holds it
    // for a day of the machine's clock while the legacy package installs its service.
    {"ServiceDatabaseLockedForADay",
     [](const Dirs &d) {
       fs::remove_all(d.package);
       fs::copy(fs::path(KVN_EXAMPLES) / "legacy", d.package, fs::copy_options::recursive);
       Edit(d.machine / "machine.toml", {{"major = 10\nminor = 0\nbuild = 17763", "major = 5\nminor = 2\nbuild = 3790"},
                                         {"clock = ", "service_lock_held_ms = 86400000\nclock = "}});
     },
     R"({"installed": 0, "preinstall_status": 5})", 0, kInstalled, 10, 64},
};

// Cases are named by their name alone in the test list.
void PrintTo(const BadInput &c, std::ostream *os) { *os << c.name; }

struct BadInputTest : ::testing::TestWithParam<BadInput> {
  fs::path scratch;
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kvnhost-badinput.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(scratch, ec);
  }
};

void ExpectFields(const std::string &out, const char *expected) {
  json answer = json::parse(out, nullptr, false);
  ASSERT_FALSE(answer.is_discarded()) << out;
  const json fields = json::parse(expected);
  for (const auto &[key, value] : fields.items()) EXPECT_EQ(answer.value(key, json()), value) << key;
}

TEST_P(BadInputTest, EndsWithItsDocumentedAnswerWithinBounds) {
  const BadInput &c = GetParam();
  if (kSanitized && c.large) GTEST_SKIP() << "bounded in the normal build";
  Dirs d{scratch / "package", scratch / "machine"};
  fs::copy(fs::path(KVN_EXAMPLES) / "package", d.package, fs::copy_options::recursive);
  fs::copy(fs::path(KVN_EXAMPLES) / "machines" / "default", d.machine, fs::copy_options::recursive);
  c.make(d);
  // Sanitizer builds run several times slower and keep freed memory in quarantine.
  const int seconds = c.seconds * (kSanitized ? 4 : 1);
  const long megabytes = c.megabytes * (kSanitized ? 8 : 1);
  const std::vector<std::string> common = {"--package", d.package,         "--machine", d.machine,
                                           "--state",   scratch / "state", "--json"};
  for (const char *command : {"check", "install"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = common;
    args.push_back(command);
    RunResult r = RunKvnhost(args, scratch, seconds);
    ASSERT_GE(r.status, 0) << "killed by signal " << -r.status << " after " << r.seconds << " s\n" << r.err;
    EXPECT_LE(r.seconds, seconds);
    EXPECT_LE(r.peakMb, megabytes);
    bool install = std::string(command) == "install";
    EXPECT_EQ(r.status, install ? c.installStatus : 0) << r.err;
    ExpectFields(r.out, install ? c.install : c.check);
    printf("%s %s: %.2f s, %ld MB\n", c.name, command, r.seconds, r.peakMb);
  }
  // lint reads the same package alone: findings (an array, exit status 0 or 1), or exit
  // status 2 with one line when nothing of it can be read.
  RunResult r = RunKvnhost({"--package", d.package, "--json", "lint"}, scratch, seconds);
  ASSERT_GE(r.status, 0) << "lint killed by signal " << -r.status << " after " << r.seconds << " s\n" << r.err;
  EXPECT_LE(r.seconds, seconds);
  EXPECT_LE(r.peakMb, megabytes);
  if (r.status == 2) {
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  } else {
    EXPECT_LE(r.status, 1) << r.err;
    EXPECT_TRUE(json::parse(r.out, nullptr, false).is_array()) << r.out.substr(0, 500);
  }
  printf("%s lint: %.2f s, %ld MB, exit %d\n", c.name, r.seconds, r.peakMb, r.status);
}

INSTANTIATE_TEST_SUITE_P(Kvnhost, BadInputTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });
}  // namespace
