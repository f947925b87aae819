// End-to-end tests of the Windows build under Wine: the DLL's exports and imports, kvnhost.exe
// driving kvncomp.dll, its logs compared with the Linux build's, and winprobe's answers
// compared with winsim's. Each test that runs Windows code gets a fresh Wine prefix.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "probecompare.h"
#include "wineprefix.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace winetest;

namespace {

constexpr unsigned kServiceRunning = 4;  // SERVICE_RUNNING, as sc prints it

std::string ReadText(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// A log's lines with what depends on the moment of the run masked: "[H:MM:SS]" stamps (the
// hour has one digit before 10) and the header's "Log Date:" (the Linux machine has a fixed
// clock, Wine the host's).
std::vector<std::string> MaskedLogLines(const fs::path &file) {
  static const std::regex stamp(R"(\[\d{1,2}:\d{2}:\d{2}\])");
  static const std::regex date(R"(^(Log Date:\s*).*$)");
  std::vector<std::string> lines = Lines(ReadText(file));
  for (auto &line : lines) {
    line = std::regex_replace(line, stamp, "[HH:MM:SS]");
    line = std::regex_replace(line, date, "$1<date>");
  }
  return lines;
}

std::vector<std::string> FileNames(const fs::path &dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto &entry : fs::directory_iterator(dir, ec)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Joined(const std::vector<std::string> &items, const std::string &separator = ", ") {
  std::string text;
  for (auto &item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

bool ParseJson(const std::string &text, json &out, std::string &error) {
  try {
    out = json::parse(text);
    return true;
  } catch (const std::exception &e) {
    error = std::string("not JSON (") + e.what() + "):\n" + text;
    return false;
  }
}

// The Linux kvnhost over a fresh copy of the default machine in `state`, with the example
// package or the one in `package`.
RunResult RunLinuxKvnhost(const fs::path &state, const std::vector<std::string> &args, const fs::path &scratch,
                          const fs::path &package = KVN_PACKAGE_DIR) {
  std::vector<std::string> argv{KVN_LINUX_KVNHOST, "--machine", KVN_DEFAULT_MACHINE, "--package",
                                package.string(),  "--state",   state.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, {}, scratch, scratch);
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
  return text;
}

// One registry value as "REG_TYPE data", the way reg.exe's query prints it: a DWORD as 0x
// and lower-case hex digits, strings as they are, the strings of a REG_MULTI_SZ joined by \0.
using RegValues = std::map<std::string, std::string>;  // by "UPPER KEY\\UPPER NAME"

// The values of a winsim registry.reg (keys and names upcased), in the form above.
RegValues ValuesOfRegFile(const fs::path &file) {
  RegValues values;
  std::vector<std::string> lines;
  for (std::string &line : Lines(ReadText(file))) {
    if (!lines.empty() && !lines.back().empty() && lines.back().back() == '\\') {
      lines.back().pop_back();
      size_t start = line.find_first_not_of(' ');
      lines.back() += start == std::string::npos ? "" : line.substr(start);
    } else {
      lines.push_back(line);
    }
  }
  auto utf16 = [](const std::string &hex) {
    std::vector<unsigned> bytes;
    std::istringstream in(hex);
    std::string byte;
    while (std::getline(in, byte, ',')) bytes.push_back(unsigned(std::stoul(byte, nullptr, 16)));
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      unsigned c = bytes[i] | bytes[i + 1] << 8;
      text += c == 0 ? std::string("\\0") : std::string(1, char(c < 0x80 ? c : '?'));
    }
    while (text.size() >= 2 && text.compare(text.size() - 2, 2, "\\0") == 0) text.resize(text.size() - 2);
    return text;
  };
  static const std::regex value(R"re(^"((?:[^"\\]|\\.)*)"=(.*)$)re");
  std::string key;
  for (const std::string &line : lines) {
    std::smatch m;
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      key = Upper(line.substr(1, line.size() - 2));
    } else if (std::regex_match(line, m, value)) {
      std::string data = m[2], shown;
      if (data.rfind("dword:", 0) == 0) {
        std::ostringstream hex;
        hex << "REG_DWORD 0x" << std::hex << std::stoul(data.substr(6), nullptr, 16);
        shown = hex.str();
      } else if (data.rfind("hex(2):", 0) == 0) {
        shown = "REG_EXPAND_SZ " + utf16(data.substr(7));
      } else if (data.rfind("hex(7):", 0) == 0) {
        shown = "REG_MULTI_SZ " + utf16(data.substr(7));
      } else if (data.size() >= 2 && data.front() == '"') {
        shown = "REG_SZ " + std::regex_replace(data.substr(1, data.size() - 2), std::regex(R"(\\(.))"), "$1");
      } else {
        shown = data;
      }
      values[key + "\\" + Upper(m[1])] = shown;
    }
  }
  return values;
}

// The prefix's value `name` of `key` through Wine's reg.exe, in the form above; "(absent)"
// when reg.exe finds none.
std::string WineValue(WinePrefix &prefix, const std::string &key, const std::string &name) {
  RunResult r = prefix.Wine({"reg", "query", key, "/v", name}, "C:\\");
  static const std::regex line(R"(^ {4}(.*?) {4}(REG_[A-Z_]+)(?: {4}(.*))?$)");
  for (const std::string &l : Lines(r.out)) {
    std::smatch m;
    if (std::regex_match(l, m, line) && Upper(m[1]) == Upper(name)) return std::string(m[2]) + " " + std::string(m[3]);
  }
  return "(absent)";
}

fs::path Objdump() {
  for (const char *dir : {"/usr/bin", "/usr/local/bin"}) {
    fs::path candidate = fs::path(dir) / "x86_64-w64-mingw32-objdump";
    std::error_code ec;
    if (fs::exists(candidate, ec)) return candidate;
  }
  return {};
}

// objdump -p of the Windows kvncomp.dll. Fails the test when it cannot be had.
std::string DllHeaders() {
  std::string error;
  if (!RequireWindowsFiles({"kvncomp.dll"}, error)) {
    ADD_FAILURE() << error;
    return {};
  }
  fs::path objdump = Objdump();
  if (objdump.empty()) {
    ADD_FAILURE() << "x86_64-w64-mingw32-objdump is not installed (apt-get install mingw-w64)";
    return {};
  }
  const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path scratch =
      fs::path(KVN_PREFIX_ROOT) / (std::string(test->test_suite_name()) + "." + test->name() + ".scratch");
  RunResult r = Run({objdump.string(), "-p", (WindowsBin() / "kvncomp.dll").string()}, {}, fs::current_path(), scratch);
  std::error_code ec;
  fs::remove_all(scratch, ec);
  if (!r.Finished() || r.exitCode != 0) {
    ADD_FAILURE() << "objdump -p kvncomp.dll failed: " << r.Describe();
    return {};
  }
  return r.out;
}

class UnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(RequireWindowsFiles({"kvncomp.dll", "kvnhost.exe"}, error)) << error;
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    prefix_ = std::make_unique<WinePrefix>(std::string(info->test_suite_name()) + "." + info->name());
    ASSERT_TRUE(prefix_->Ok()) << prefix_->Error();
  }
  void TearDown() override { prefix_.reset(); }

  // kvnhost.exe in C:\Package with the example package; asserts a clean exit.
  RunResult RunKvnhost(const std::vector<std::string> &args) {
    std::vector<std::string> argv{"C:\\Package\\kvnhost.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = prefix_->Wine(argv, "C:\\Package");
    EXPECT_TRUE(r.Finished() && r.exitCode == 0) << "kvnhost.exe " << Joined(args, " ") << ": " << r.Describe();
    return r;
  }

  std::unique_ptr<WinePrefix> prefix_;
};

// ---- the DLL as the linker made it -------------------------------------------------------

TEST(WindowsBuild, ExportsExactlyTheSixFunctions) {
  std::string headers = DllHeaders();
  ASSERT_FALSE(headers.empty());
  std::vector<std::string> lines = Lines(headers);
  auto table = std::find_if(lines.begin(), lines.end(), [](const std::string &l) {
    return l.find("[Ordinal/Name Pointer] Table") != std::string::npos;
  });
  ASSERT_NE(table, lines.end()) << "kvncomp.dll has no export name table";
  static const std::regex entry(R"(^\s*\[\s*\d+\]\s+(\S+)\s*$)");
  std::vector<std::string> names;
  for (auto it = table + 1; it != lines.end(); ++it) {
    std::smatch m;
    if (!std::regex_match(*it, m, entry)) break;
    names.push_back(m[1]);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"GetInterfaceVersion", "GetProperty", "GetVersionStatus", "Install",
                                             "IsInstalled", "IsOSSupported"}));
}

TEST(WindowsBuild, ImportsOnlySystemLibraries) {
  std::string headers = DllHeaders();
  ASSERT_FALSE(headers.empty());
  static const std::regex dllName(R"(^\s*DLL Name:\s*(\S+)\s*$)");
  static const std::set<std::string> system = {
      "advapi32.dll", "bcrypt.dll",  "cfgmgr32.dll", "comctl32.dll", "crypt32.dll", "gdi32.dll",    "iphlpapi.dll",
      "kernel32.dll", "msvcrt.dll",  "netapi32.dll", "ntdll.dll",    "ole32.dll",   "oleaut32.dll", "psapi.dll",
      "rpcrt4.dll",   "secur32.dll", "setupapi.dll", "shell32.dll",  "shlwapi.dll", "ucrtbase.dll", "user32.dll",
      "userenv.dll",  "version.dll", "wintrust.dll", "ws2_32.dll",   "wtsapi32.dll"};
  std::vector<std::string> imported;
  for (auto &line : Lines(headers)) {
    std::smatch m;
    if (!std::regex_match(line, m, dllName)) continue;
    std::string name = m[1];
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    imported.push_back(name);
  }
  ASSERT_FALSE(imported.empty()) << "objdump shows no import of kvncomp.dll";
  for (auto &name : imported) {
    // The compiler's runtime must be linked in, and newdev.dll is loaded at run time only
    // (it is missing from some editions).
    EXPECT_TRUE(system.count(name) || name.rfind("api-ms-win-", 0) == 0)
        << "kvncomp.dll imports " << name << ", which is not a system library";
    EXPECT_NE(name, "newdev.dll") << "newdev.dll must be loaded with LoadLibrary, not imported";
  }
}

// ---- kvnhost.exe and kvncomp.dll -------------------------------------------------------------

TEST_F(UnderWine, InfoAnswersInterfaceVersionAndTheSamePackageFieldsAsLinux) {
  std::string error;
  ASSERT_TRUE(prefix_->InstallPackage(error)) << error;
  RunResult r = RunKvnhost({"--json", "--lang", "fr", "info"});
  json info;
  ASSERT_TRUE(ParseJson(r.out, info, error)) << error;
  EXPECT_EQ(info.value("interface_version", json()), 100);
  EXPECT_EQ(info.value("silent_capable", json()), 1);
  EXPECT_EQ(info.value("silent_capable_alt", json()), 1);
  EXPECT_EQ(info.value("constant_property", json()), 1);
  // A fresh prefix has no driver installed: no installed version to read.
  ASSERT_TRUE(info.contains("installed_version")) << r.out;
  EXPECT_TRUE(info["installed_version"].is_null()) << info["installed_version"].dump();

  fs::path state = prefix_->Scratch() / "linux-state";
  RunResult linux = RunLinuxKvnhost(state, {"--json", "--lang", "fr", "info"}, prefix_->Scratch());
  ASSERT_TRUE(linux.Finished() && linux.exitCode == 0) << "Linux kvnhost: " << linux.Describe();
  json linuxInfo;
  ASSERT_TRUE(ParseJson(linux.out, linuxInfo, error)) << error;
  for (const char *field : {"package_name", "package_description", "package_version"}) {
    ASSERT_TRUE(info.contains(field) && info[field].is_string()) << field << " in " << r.out;
    EXPECT_EQ(info[field], linuxInfo[field]) << field;
  }
}

TEST_F(UnderWine, VerboseLogMatchesLinuxBuild) {
  std::string error;
  ASSERT_TRUE(prefix_->InstallPackage(error)) << error;
  RunKvnhost({"--verbose-log", "info"});
  fs::path windowsLogs = prefix_->Host("C:\\vadorurev\\log");
  std::vector<std::string> windowsFiles = FileNames(windowsLogs);
  ASSERT_EQ(windowsFiles.size(), 2u) << "expected kvnsetup.log and one verbose log in " << windowsLogs << ", found "
                                     << Joined(windowsFiles);
  ASSERT_TRUE(fs::exists(windowsLogs / "kvnsetup.log")) << Joined(windowsFiles);
  std::string windowsVerbose = windowsFiles[0] == "kvnsetup.log" ? windowsFiles[1] : windowsFiles[0];
  EXPECT_TRUE(std::regex_match(windowsVerbose, std::regex("_VQ[0-9A-Fa-f]{1,4}\\.tmp", std::regex::icase)))
      << windowsVerbose;

  fs::path state = prefix_->Scratch() / "linux-state";
  RunResult linux = RunLinuxKvnhost(state, {"--verbose-log", "info"}, prefix_->Scratch());
  ASSERT_TRUE(linux.Finished() && linux.exitCode == 0) << "Linux kvnhost: " << linux.Describe();
  fs::path linuxLogs = state / "drive_c" / "vadorurev" / "log";
  std::vector<std::string> linuxFiles = FileNames(linuxLogs);
  ASSERT_EQ(linuxFiles.size(), 2u) << Joined(linuxFiles);
  std::string linuxVerbose = linuxFiles[0] == "kvnsetup.log" ? linuxFiles[1] : linuxFiles[0];

  std::vector<std::string> windowsLines = MaskedLogLines(windowsLogs / windowsVerbose);
  EXPECT_FALSE(windowsLines.empty()) << "the verbose log is empty";
  EXPECT_EQ(windowsLines, MaskedLogLines(linuxLogs / linuxVerbose));
  EXPECT_EQ(MaskedLogLines(windowsLogs / "kvnsetup.log"), MaskedLogLines(linuxLogs / "kvnsetup.log"));
}

TEST_F(UnderWine, HostLogTakesOverTheComponentsVerboseLog) {
  std::string error;
  ASSERT_TRUE(prefix_->InstallPackage(error)) << error;
  RunKvnhost({"--verbose-log", "--host-log", "info"});
  fs::path logs = prefix_->Host("C:\\vadorurev\\log");
  std::vector<std::string> files = FileNames(logs);
  std::vector<std::string> merged;
  for (auto &name : files) {
    EXPECT_FALSE(std::regex_match(name, std::regex("_VQ.*\\.tmp", std::regex::icase)))
        << "the component's own verbose file " << name << " is still there";
    if (name.size() >= 8 && name.compare(name.size() - 8, 8, ".exe.log") == 0) merged.push_back(name);
  }
  ASSERT_EQ(merged.size(), 1u) << "expected one verbose log named after the package, found " << Joined(files);
  std::vector<std::string> lines = MaskedLogLines(logs / merged[0]);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [](const std::string &l) { return l.find("basecomp.cpp[") != std::string::npos; }))
      << "the host's verbose log holds none of the component's lines:\n"
      << Joined(lines, "\n");

  fs::path state = prefix_->Scratch() / "linux-state";
  RunResult linux = RunLinuxKvnhost(state, {"--verbose-log", "--host-log", "info"}, prefix_->Scratch());
  ASSERT_TRUE(linux.Finished() && linux.exitCode == 0) << "Linux kvnhost: " << linux.Describe();
  fs::path linuxLogs = state / "drive_c" / "vadorurev" / "log";
  EXPECT_EQ(FileNames(linuxLogs), files);
  EXPECT_EQ(lines, MaskedLogLines(linuxLogs / merged[0]));
  EXPECT_EQ(MaskedLogLines(logs / "kvnsetup.log"), MaskedLogLines(linuxLogs / "kvnsetup.log"));
}

// The pre-install report over what Wine models: the OS (a server release the package lists),
// the free disk space, the files, the services and the INF. Wine has no PCI adapter and its
// configuration manager reports no devnode status, so the adapter questions answer "No" here;
// the device-dependent answers are covered on winsim.
TEST_F(UnderWine, CheckReportsAServerWithoutTheAdapters) {
  std::string error;
  ASSERT_TRUE(prefix_->InstallPackage(error)) << error;
  RunResult version =
      prefix_->Wine({"reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", "win2008r2", "/f"}, "C:\\");
  ASSERT_TRUE(version.Finished() && version.exitCode == 0) << version.Describe();
  RunResult r = RunKvnhost({"--json", "--lang", "de", "check"});
  json check;
  ASSERT_TRUE(ParseJson(r.out, check, error)) << error;
  EXPECT_EQ(check.value("os_supported", json()), 1) << r.out;
  EXPECT_EQ(check.value("installed", json()), 0) << r.out;
  EXPECT_EQ(check.value("version_status", json()), 0) << r.out;
  EXPECT_EQ(check.value("preinstall_status", json()), 6) << r.out;
  EXPECT_EQ(check.value("preinstall_message", json()), "") << r.out;
  std::vector<std::string> report = MaskedLogLines(prefix_->Host("C:\\vadorurev\\log") / "kvnsetup.log");
  std::vector<std::string> expected = {
      "    - Is operating system supported... Yes",
      "    - Is necessary disk space available... Yes",
      "    - Is hardware present... No",
      "    - Is component already installed... No",
      "    - Is component marked for removal... No",
      "    - Installed component version status... Older",
      "    - Checking dependency list... Done.",
  };
  for (const std::string &line : expected)
    EXPECT_NE(std::find(report.begin(), report.end(), line), report.end()) << line << " in:\n" << Joined(report, "\n");
}

TEST_F(UnderWine, ComponentLoadsAndUnloadsTwiceInOneProcess) {
  std::string error;
  ASSERT_TRUE(RequireWindowsFiles({"loadtwice.exe"}, error)) << error;
  ASSERT_TRUE(prefix_->InstallPackage(error)) << error;
  ASSERT_TRUE(prefix_->CopyIn({WindowsBin() / "loadtwice.exe"}, "C:\\Package", error)) << error;
  RunResult r = prefix_->Wine({"C:\\Package\\loadtwice.exe"}, "C:\\Package");
  ASSERT_TRUE(r.Finished() && r.exitCode == 0) << r.Describe();
  json rounds;
  ASSERT_TRUE(ParseJson(r.out, rounds, error)) << error;
  ASSERT_TRUE(rounds.is_array() && rounds.size() == 2) << r.out;
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("round " + std::to_string(i + 1));
    const json &round = rounds[i];
    EXPECT_EQ(round.value("loaded_before", json()), false);
    ASSERT_EQ(round.value("load", json()), true) << round.dump();
    EXPECT_EQ(round.value("exports_found", json()), 6);
    EXPECT_EQ(round.value("interface_version_result", json()), 1);
    EXPECT_EQ(round.value("interface_version", json()), 100);
    EXPECT_EQ(round.value("constant_property_result", json()), 1);
    EXPECT_EQ(round.value("constant_property", json()), 1);
    EXPECT_EQ(round.value("free", json()), true);
    EXPECT_EQ(round.value("loaded_after", json()), false) << "FreeLibrary left kvncomp.dll loaded";
  }
}

// The state of a service as `sc query` prints it ("STATE : 4  RUNNING"): 0 when it names
// none (no such service).
unsigned WineServiceState(WinePrefix &prefix, const std::string &name) {
  RunResult r = prefix.Wine({"sc", "query", name}, "C:\\");
  static const std::regex state(R"(^\s*STATE\s*:\s*(\d+)\b.*$)");
  for (const std::string &line : Lines(r.out)) {
    std::smatch m;
    if (std::regex_match(line, m, state)) return unsigned(std::stoul(m[1]));
  }
  return 0;
}

// The run-time state winsim saved for a service in machine.toml ("running", "stopped"); empty
// when the machine has no [[services]] entry for it.
std::string WinsimServiceState(const fs::path &machine, const std::string &name) {
  std::string text = ReadText(machine / "machine.toml");
  static const std::regex nameLine(R"re(^\s*name\s*=\s*['"]([^'"]*)['"]\s*$)re");
  static const std::regex stateLine(R"re(^\s*state\s*=\s*['"]([a-z]+)['"]\s*$)re");
  bool inService = false, named = false;
  std::string state;
  for (const std::string &line : Lines(text)) {
    std::smatch m;
    if (line.rfind("[", 0) == 0) {
      if (inService && named) return state;
      inService = line == "[[services]]";
      named = false;
      state.clear();
    } else if (inService && std::regex_match(line, m, nameLine)) {
      named = Upper(m[1]) == Upper(name);
    } else if (inService && std::regex_match(line, m, stateLine)) {
      state = m[1];
    }
  }
  return inService && named ? state : "";
}

// The LEGACY example package installed by kvnhost.exe under Wine and by the Linux kvnhost on
// the default machine: the same files, registry values, service configuration, legacy root
// device, agent service and normal log. The package's agent direvo.exe is the real service
// program (winservice.exe) under Wine and a stand-in that the machine's [[programs]] entry
// describes on winsim. Where Wine does otherwise than Windows the difference is listed below
// with its reason; a listed difference that no longer shows fails too, so the list stays true.
TEST_F(UnderWine, LegacyInstallLeavesWhatWinsimLeaves) {
  std::string error;
  ASSERT_TRUE(RequireWindowsFiles({"winservice.exe"}, error)) << error;
  ASSERT_TRUE(prefix_->InstallPackage(error, KVN_LEGACY_PACKAGE_DIR)) << error;
  std::error_code ec;
  fs::copy_file(WindowsBin() / "winservice.exe", prefix_->Host("C:\\Package") / "direvo.exe",
                fs::copy_options::overwrite_existing, ec);
  ASSERT_FALSE(ec) << "cannot put winservice.exe in the package as direvo.exe: " << ec.message();
  // The default machine's earlier driver files, which the package deletes and renames.
  const fs::path drivers = fs::path(KVN_DEFAULT_MACHINE) / "drive_c/Windows/System32/drivers";
  ASSERT_TRUE(
      prefix_->CopyIn({drivers / "kvnfilt.prev", drivers / "kvnold.sys"}, "C:\\Windows\\System32\\drivers", error))
      << error;
  // Windows installs the LegacyDriver setup class with its class key; a Wine prefix has no
  // key for it, and Wine's SetupAPI then knows no class of that name. The key is added as
  // Windows has it, so that the root device can be created.
  RunResult added = prefix_->Wine({"reg", "add",
                                   "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                   "{8ECC055D-047F-11D1-A537-0000F8753ED1}",
                                   "/v", "Class", "/d", "LegacyDriver", "/f"},
                                  "C:\\");
  ASSERT_TRUE(added.Finished() && added.exitCode == 0) << added.Describe();
  RunResult r = prefix_->Wine({"C:\\Package\\kvnhost.exe", "--json", "install"}, "C:\\Package");
  ASSERT_TRUE(r.Finished()) << r.Describe();
  fs::path state = prefix_->Scratch() / "linux-state";
  RunResult linux = RunLinuxKvnhost(state, {"--json", "install"}, prefix_->Scratch(), KVN_LEGACY_PACKAGE_DIR);
  ASSERT_TRUE(linux.Finished() && linux.exitCode == 0) << "Linux kvnhost: " << linux.Describe();
  json wine, winsim;
  ASSERT_TRUE(ParseJson(r.out, wine, error)) << error;
  ASSERT_TRUE(ParseJson(linux.out, winsim, error)) << error;
  EXPECT_EQ(winsim.value("install_result", json()), 1) << linux.out;
  // Wine's gap: its SetupDiBuildDriverInfoList builds no class driver list (SPDIT_CLASSDRIVER
  // is unhandled there), so the root device is registered but its creation, and with it the
  // install, fails (the device is removed again, checked below); winsim builds the list and
  // the install succeeds.
  EXPECT_EQ(wine.value("install_result", json()), 0) << r.Describe();

  for (const char *file : {"C:\\Windows\\System32\\drivers\\kvnfilt.sys", "C:\\Windows\\System32\\drivers\\kvnfilt.bak",
                           "C:\\Program Files\\Kvn\\Tools\\kvnctl.exe", "C:\\Program Files\\Kvn\\Tools\\kvnfilt.cfg",
                           "C:\\Windows\\Help\\kvnfilt.txt"}) {
    SCOPED_TRACE(file);
    std::error_code ec;
    fs::path onWine = prefix_->Host(file), onWinsim = HostPath(state / "drive_c", file);
    ASSERT_TRUE(fs::is_regular_file(onWine, ec)) << "missing under Wine";
    ASSERT_TRUE(fs::is_regular_file(onWinsim, ec)) << "missing on winsim";
    EXPECT_EQ(fs::file_size(onWine, ec), fs::file_size(onWinsim, ec));
  }
  // The agent, staged and installed on both sides: a real program under Wine, a stand-in
  // on winsim, so only their presence compares; the diagnostic driver is the same file.
  for (const char *file : {"C:\\VADORUREV\\pnpdrvs\\direvo.exe", "C:\\VADORUREV\\pnpdrvs\\vode64r.sys",
                           "C:\\Windows\\System32\\direvo.exe", "C:\\Windows\\System32\\drivers\\vode64r.sys"}) {
    SCOPED_TRACE(file);
    std::error_code ec;
    fs::path onWine = prefix_->Host(file), onWinsim = HostPath(state / "drive_c", file);
    EXPECT_TRUE(fs::is_regular_file(onWine, ec)) << "missing under Wine";
    EXPECT_TRUE(fs::is_regular_file(onWinsim, ec)) << "missing on winsim";
    if (std::string(file).find("vode64r") != std::string::npos) {
      EXPECT_EQ(fs::file_size(onWine, ec), fs::file_size(onWinsim, ec));
    }
  }
  for (const char *file :
       {"C:\\Windows\\System32\\drivers\\kvnfilt.prev", "C:\\Windows\\System32\\drivers\\kvnold.sys"}) {
    std::error_code ec;
    EXPECT_FALSE(fs::exists(prefix_->Host(file), ec)) << file << " is still there under Wine";
    EXPECT_FALSE(fs::exists(HostPath(state / "drive_c", file), ec)) << file << " is still there on winsim";
  }

  const std::string services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
  const std::string service = services + "kvnfilt", filter = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kvn\\Filter";
  const std::string agent = services + "direvo";
  const struct {
    std::string key;
    const char *name;
    const char *wineAnswer;  // what Wine answers instead of winsim, with the reason; null: the same
  } values[] = {
      {service, "Type", nullptr},
      {service, "Start", nullptr},
      {service, "ErrorControl", nullptr},
      // Wine's CreateServiceW keeps the path as a REG_SZ with the prefix's folder names.
      {service, "ImagePath", "REG_SZ C:\\windows\\system32\\drivers\\kvnfilt.sys"},
      {service, "DisplayName", nullptr},
      {service, "Group", nullptr},
      {service, "DependOnService", "(absent)"},  // Wine's AddService ignores "Dependencies"
      // Wine's AddService ignores the event-log install section.
      {services + "EventLog\\System\\kvnfilt", "EventMessageFile", "(absent)"},
      {services + "EventLog\\System\\kvnfilt", "TypesSupported", "(absent)"},
      {filter, "InstallDir", nullptr},
      {filter, "Version", nullptr},
      {service + "\\Device0", "Mode", nullptr},
      {service + "\\Device0", "Depth", nullptr},
      // The agent's service, created by its own /install run.
      {agent, "Type", nullptr},
      {agent, "Start", nullptr},
      {agent, "ErrorControl", nullptr},
      {agent, "DisplayName", nullptr},
      {agent, "ImagePath", "REG_SZ C:\\windows\\system32\\direvo.exe"},  // as for kvnfilt above
  };
  RegValues machine = ValuesOfRegFile(state / "registry.reg");
  for (const auto &v : values) {
    SCOPED_TRACE(v.key + " " + v.name);
    auto found = machine.find(Upper(v.key) + "\\" + Upper(v.name));
    std::string expected = found == machine.end() ? "(absent)" : found->second;
    EXPECT_NE(expected, "(absent)") << "winsim has no such value";
    EXPECT_EQ(WineValue(*prefix_, v.key, v.name), v.wineAnswer ? std::string(v.wineAnswer) : expected);
  }

  // The legacy root device: installed on winsim. Under Wine its installation fails after
  // its registration (the class driver list above), so the component removes the half-made
  // device again (DIF_REMOVE), and the next run creates it afresh: no key is left.
  const std::string device = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\LEGACY_KVNFILT\\0000";
  EXPECT_NE(Upper(ReadText(state / "registry.reg")).find("[" + Upper(device) + "]"), std::string::npos);
  RunResult key = prefix_->Wine({"reg", "query", device}, "C:\\");
  EXPECT_TRUE(key.Finished() && key.exitCode != 0) << key.Describe();

  // The agent service runs on winsim once the install has started it. Under Wine, in a
  // freshly made prefix, Wine's service manager does not learn of the service the agent's
  // /install (another process) has just created, although its key is written: the
  // component's OpenServiceW of "direvo" fails right after it (seen with WINEDEBUG=+service)
  // and "sc query" does not know it, while in a prefix that has run before both succeed. So
  // under Wine the install may write "service not found." and not start it; either answer is
  // accepted there, and the service must then run once the prefix's session has restarted,
  // as the automatically started service the real program registered.
  EXPECT_EQ(WinsimServiceState(state, "direvo"), "running");
  std::vector<std::string> log = MaskedLogLines(prefix_->Host("C:\\vadorurev\\log") / "kvnsetup.log");
  std::vector<std::string> winsimLog = MaskedLogLines(state / "drive_c" / "vadorurev" / "log" / "kvnsetup.log");
  const std::string started = "Intel OCD Agent service started.", notFound = "Intel OCD Agent service not found.";
  bool wineStarted = std::find(log.begin(), log.end(), started) != log.end();
  if (!wineStarted) {
    std::replace(log.begin(), log.end(), notFound, started);
    // The prefix's session ends (its wineserver stops) and the next program starts a new one,
    // whose service manager loads the services from the registry and starts the automatic ones.
    prefix_->EndSession();
  }
  unsigned wineState = WineServiceState(*prefix_, "direvo");
  for (int i = 0; i < 100 && wineState != kServiceRunning; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    wineState = WineServiceState(*prefix_, "direvo");
  }
  EXPECT_EQ(wineState, kServiceRunning) << (wineStarted ? "started by the install" : "after a restart");

  EXPECT_EQ(log, winsimLog);
  for (const char *line : {"Intel diagnostic driver installed successfully.",
                           "Intel OCD Agent file installed successfully.", "Intel OCD Agent service started."})
    EXPECT_NE(std::find(winsimLog.begin(), winsimLog.end(), line), winsimLog.end()) << line << " in:\n"
                                                                                    << Joined(winsimLog, "\n");
}

// ---- a capture of the prefix ---------------------------------------------------------------

// kvncapture.exe captures the prefix; kvnhost on Linux over the capture answers info and check
// as kvnhost.exe answers them in the prefix. Then root devices with the adapters' hardware IDs
// are registered and captured again: the capture holds them as SetupAPI lists them. Where
// Wine does otherwise than Windows it is said below; a Wine difference that no longer shows
// fails the test, so the list stays true.
TEST_F(UnderWine, CaptureOfThePrefixAnswersAsThePrefix) {
  std::string error;
  ASSERT_TRUE(RequireWindowsFiles({"kvncapture.exe", "rootdevices.exe"}, error)) << error;
  ASSERT_TRUE(prefix_->InstallPackage(error)) << error;
  ASSERT_TRUE(
      prefix_->CopyIn({WindowsBin() / "kvncapture.exe", WindowsBin() / "rootdevices.exe"}, "C:\\Package", error))
      << error;
  RunResult version =
      prefix_->Wine({"reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", "win2008r2", "/f"}, "C:\\");
  ASSERT_TRUE(version.Finished() && version.exitCode == 0) << version.Describe();

  // Wine's SetupDiGetDriverInstallParamsW is an unimplemented stub that ends the process; the
  // drivers installed on Wine's own devices reach it, so the capture takes the network
  // devices, which have none. The version resources of Wine's built-in ndis.sys, newdev.dll and
  // setupapi.dll are missing (ERROR_RESOURCE_DATA_NOT_FOUND): each is an omission.
  auto capture = [&](const std::string &out) {
    RunResult r = prefix_->Wine({"C:\\Package\\kvncapture.exe", "--devices", "net", "--package", "C:\\Package", out},
                                "C:\\Package");
    EXPECT_TRUE(r.Finished() && r.exitCode == 1) << r.Describe();
    std::string report = ReadText(prefix_->Host(out) / "CAPTURE.txt");
    for (const char *file : {"ndis.sys", "newdev.dll", "setupapi.dll"})
      EXPECT_NE(report.find(std::string(file) + ": it has no version resource that can be read (error 1812)"),
                std::string::npos)
          << report;
    EXPECT_NE(report.find("Omissions (3):"), std::string::npos) << report;
    return prefix_->Host(out);
  };

  // info and check of kvnhost.exe in the prefix, and of the Linux kvnhost over the capture.
  // The machine's warnings are the Linux build's alone (the capture has no [[programs]]
  // entry for the agent, and Wine's system folder no ndis.sys).
  auto sameAnswers = [&](const fs::path &captured, const std::string &name) {
    for (const char *command : {"info", "check"}) {
      SCOPED_TRACE(name + " " + command);
      RunResult r = RunKvnhost({"--json", command});
      fs::path state = prefix_->Scratch() / ("state-" + name + "-" + command);
      RunResult linux = winetest::Run({KVN_LINUX_KVNHOST, "--machine", captured.string(), "--package", KVN_PACKAGE_DIR,
                                       "--state", state.string(), "--json", command},
                                      {}, prefix_->Scratch(), prefix_->Scratch());
      ASSERT_TRUE(linux.Finished() && linux.exitCode == 0) << "Linux kvnhost: " << linux.Describe();
      json wine, winsim;
      ASSERT_TRUE(ParseJson(r.out, wine, error)) << error;
      ASSERT_TRUE(ParseJson(linux.out, winsim, error)) << error;
      winsim.erase("state_dir");  // the Linux build's state, and whether it was kept
      winsim.erase("state_kept");
      winsim.erase("machine_warnings");
      wine.erase("machine_warnings");
      EXPECT_EQ(winsim, wine) << "Linux over the capture:\n" << winsim.dump(2) << "\nWine:\n" << wine.dump(2);
    }
  };
  sameAnswers(capture("C:\\capture-before"), "before");

  // Adapters registered as root devices: the capture holds them as SetupAPI lists them.
  // They expose no network interface and have no driver, so on both sides the component
  // finds no adapter to install on.
  RunResult registered = prefix_->Wine({"C:\\Package\\rootdevices.exe", "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01",
                                        "PCI\\VEN_8086&DEV_1572&SUBSYS_00028086&REV_01"},
                                       "C:\\Package");
  ASSERT_TRUE(registered.Finished() && registered.exitCode == 0) << registered.Describe();
  std::vector<std::string> ids = Lines(registered.out);
  ASSERT_EQ(ids.size(), 2u) << registered.out;
  const fs::path after = capture("C:\\capture-after");
  std::string toml = ReadText(after / "machine.toml");
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_NE(toml.find("instance_id = '" + ids[i] + "'\nhardware_ids = ['PCI\\VEN_8086&DEV_1572&SUBSYS_000" +
                        std::to_string(i + 1) + "8086&REV_01']"),
              std::string::npos)
        << toml;
  }
  sameAnswers(after, "after");
}

// ---- winsim against Wine -----------------------------------------------------------------

TEST_F(UnderWine, ProbeAnswersMatchWinsim) {
  std::string error;
  ASSERT_TRUE(RequireWindowsFiles({"winprobe.exe", "winservice.exe"}, error)) << error;

  fs::path machine = prefix_->Scratch() / "probe-machine";
  RunResult linux = winetest::Run({KVN_LINUX_WINPROBE, machine.string()}, {}, prefix_->Scratch(), prefix_->Scratch());
  ASSERT_TRUE(linux.Finished() && linux.exitCode == 0) << "Linux winprobe: " << linux.Describe();
  json winsim;
  ASSERT_TRUE(ParseJson(linux.out, winsim, error)) << "Linux winprobe: " << error;

  // winservice.exe is the binary of the service the probe creates and starts.
  ASSERT_TRUE(prefix_->CopyIn({WindowsBin() / "winprobe.exe", WindowsBin() / "winservice.exe"}, "C:\\probe", error))
      << error;
  RunResult r = prefix_->Wine({"C:\\probe\\winprobe.exe"}, "C:\\probe");
  ASSERT_TRUE(r.Finished() && r.exitCode == 0) << "winprobe.exe: " << r.Describe();
  json windows;
  ASSERT_TRUE(ParseJson(r.out, windows, error)) << "winprobe.exe: " << error;
  ASSERT_GT(winsim.size(), 100u) << "the probe answered too few cases: " << linux.out;

  std::vector<std::string> problems;
  std::map<std::string, std::string> allowed = ParseAllowList(ReadText(KVN_PROBE_ALLOWLIST), problems);
  std::vector<std::string> differences = CompareProbes(winsim, windows, allowed);
  problems.insert(problems.end(), differences.begin(), differences.end());
  std::cout << "[ probe    ] " << winsim.size() << " cases, " << allowed.size()
            << " allowed differences (" KVN_PROBE_ALLOWLIST ")\n";
  EXPECT_TRUE(problems.empty()) << problems.size() << " problem(s) comparing winsim with Wine:\n"
                                << Joined(problems, "\n");
}

// The INF walk of kvnbench (bench/infwalk.h) reads each INF alike on winsim and under Wine:
// the same sections, lines, fields and characters.
TEST_F(UnderWine, InfWalkReadsEachInfAsWinsimDoes) {
  std::string error;
  ASSERT_TRUE(RequireWindowsFiles({"infwalk.exe"}, error)) << error;
  struct Case {
    const char *name;
    const char *text;
  };
  const Case cases[] = {
      {"plain", "[Sections]\nA\n[A]\nkey = one, two\nlone line\n"},
      {"quoted", "[Sections]\nA\n[A]\nk = \"a, b\", \"say \"\"hi\"\"\", x\"y\"z\n"},
      {"continued", "[Sections]\nA\n[A]\nk = a, \\\n    b, c ; note\nnext = d\n"},
      {"comments", "; head\n[Sections] ; list\nA\n[A]\n; whole line\nk = v ; tail\n  \n"},
      {"strings",
       "[Sections]\nA\nStrings\n[A]\n%Name% = %Desc%, %missing%, 100%%\n"
       "[Strings]\nName = \"Adapter\"\nDesc = \"The adapter, quoted\"\n"},
      {"empty_fields", "[Sections]\nA\n[A]\nk = , , x,\n=v\nk2 =\n"},
      {"repeated_section", "[Sections]\nA\n[A]\na = 1\n[B]\nb = 2\n[a]\nc = 3\n"},
  };
  fs::path machine = prefix_->Scratch() / "infwalk-machine";
  std::error_code ec;
  fs::copy(KVN_DEFAULT_MACHINE, machine, fs::copy_options::recursive, ec);
  ASSERT_FALSE(ec) << ec.message();
  for (const Case &c : cases) {
    std::string file = std::string(c.name) + ".inf";
    // A Windows-style INF opens only with its [Version] signature.
    std::string text = std::string("[Version]\nSignature = \"$Windows NT$\"\n") + c.text;
    std::ofstream(machine / "drive_c" / file, std::ios::binary) << text;
    std::ofstream(prefix_->Host("C:\\") / file, std::ios::binary) << text;
    RunResult linux = winetest::Run({KVN_LINUX_INFWALK, "--machine", machine.string(), "C:\\" + file}, {},
                                    prefix_->Scratch(), prefix_->Scratch());
    RunResult windows = prefix_->Wine({(WindowsBin() / "infwalk.exe").string(), "C:\\" + file}, "C:\\");
    ASSERT_TRUE(linux.Finished() && linux.exitCode == 0) << c.name << ": Linux infwalk: " << linux.Describe();
    ASSERT_TRUE(windows.Finished() && windows.exitCode == 0) << c.name << ": infwalk.exe: " << windows.Describe();
    auto counts = [](const std::string &out) { return out.substr(0, out.find(" best_us=")); };
    EXPECT_EQ(counts(linux.out), counts(windows.out)) << c.name << ":\n" << text;
  }
}

// lint reads a package through the INF calls of the system it runs on: under Wine, Wine's
// SetupAPI and version resources; on Linux, winsim's. Both find the same (rule, severity, file
// and line) in the example packages and in broken copies whose INF both must read alike.
TEST_F(UnderWine, LintFindsInEachPackageWhatWinsimFinds) {
  const fs::path examples = fs::path(KVN_PACKAGE_DIR).parent_path();
  struct Case {
    const char *name, *example, *inf;
    std::vector<std::pair<std::string, std::string>> edits;  // in the INF, CRLF lines
  };
  const Case cases[] = {
      {"package", "package", "z40e64.inf", {}},
      {"legacy", "legacy", "kvnfilt.inf", {}},
      {"virtual", "virtual", "kvnvirt.inf", {}},
      {"broken",
       "package",
       "z40e64.inf",
       {{"[ControlFlags]", "[Spare.reg]\r\nHKR,,Spare,,1\r\n\r\n[ControlFlags]"},
        {"Z40EVF.DeviceDesc      =", "Z40EVF.Desc ="},
        {"v40emsg.dll,,,2\r\n", "v40emsg.dll,,,2\r\nextra.dll\r\n"},
        {"11/14/2026", "02/30/2026"}}},
      {"unreadable", "package", "z40e64.inf", {{"[ControlFlags]", "[ControlFlags"}}},
  };
  auto findings = [](const RunResult &r, std::string &error) {
    std::set<std::string> found;
    json list;
    if (!ParseJson(r.out, list, error) || !list.is_array()) return found;
    for (const json &f : list)
      found.insert(f["rule"].get<std::string>() + " " + f["severity"].get<std::string>() + " " +
                   f["file"].get<std::string>() + ":" + std::to_string(f["line"].get<int>()));
    return found;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path host = prefix_->Host(std::string("C:\\Lint\\") + c.name);
    std::error_code ec;
    fs::create_directories(host.parent_path(), ec);
    fs::copy(examples / c.example, host, fs::copy_options::recursive, ec);
    ASSERT_FALSE(ec) << ec.message();
    std::ifstream in(host / c.inf, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    for (const auto &[from, to] : c.edits) {
      const size_t at = text.find(from);
      ASSERT_NE(at, std::string::npos) << from;
      text.replace(at, from.size(), to);
    }
    std::ofstream(host / c.inf, std::ios::binary) << text;
    RunResult windows = prefix_->Wine(
        {(WindowsBin() / "kvnhost.exe").string(), "--json", "--package", std::string("C:\\Lint\\") + c.name, "lint"},
        "C:\\");
    RunResult linux = winetest::Run({KVN_LINUX_KVNHOST, "--json", "--package", host.string(), "lint"}, {},
                                    prefix_->Scratch(), prefix_->Scratch());
    ASSERT_TRUE(windows.Finished() && windows.exitCode <= 1) << "kvnhost.exe lint: " << windows.Describe();
    ASSERT_TRUE(linux.Finished() && linux.exitCode <= 1) << "kvnhost lint: " << linux.Describe();
    EXPECT_EQ(windows.exitCode, linux.exitCode);
    std::string error;
    const std::set<std::string> wine = findings(windows, error), winsim = findings(linux, error);
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_EQ(wine, winsim) << "Wine:\n" << windows.out << "\nwinsim:\n" << linux.out;
    EXPECT_EQ(winsim.empty(), std::string(c.name) == "package");
  }
}

// ---- the comparison itself ---------------------------------------------------------------

TEST(ProbeComparison, ReportsUnexpectedDifferencesAndStaleAllowances) {
  std::vector<std::string> problems;
  auto allowed = ParseAllowList(
      "# comment\n"
      "\n"
      "a.differs_allowed\tWine answers otherwise\n"
      "b.same   no longer differs\n"
      "c.gone  names nothing\n"
      "d.noreason\n"
      "a.differs_allowed  twice\n",
      problems);
  ASSERT_EQ(problems.size(), 2u) << Joined(problems, "\n");
  EXPECT_NE(problems[0].find("d.noreason gives no reason"), std::string::npos);
  EXPECT_NE(problems[1].find("a.differs_allowed is listed twice"), std::string::npos);
  EXPECT_EQ(allowed.at("a.differs_allowed"), "Wine answers otherwise");

  json winsim = {{"a.differs_allowed", 1}, {"b.same", {{"ok", true}}}, {"e.differs", "x"}, {"f.winsim_only", 0}};
  json windows = {{"a.differs_allowed", 2}, {"b.same", {{"ok", true}}}, {"e.differs", "y"}, {"g.windows_only", 0}};
  std::vector<std::string> found = CompareProbes(winsim, windows, allowed);
  std::string all = Joined(found, "\n");
  EXPECT_EQ(found.size(), 5u) << all;
  EXPECT_EQ(all.find("a.differs_allowed differs"), std::string::npos) << all;
  EXPECT_NE(all.find("b.same is on the allow-list but both sides answer"), std::string::npos) << all;
  EXPECT_NE(all.find("c.gone is on the allow-list but no probe case"), std::string::npos) << all;
  EXPECT_NE(all.find("e.differs differs\n    winsim:  \"x\"\n    windows: \"y\""), std::string::npos) << all;
  EXPECT_NE(all.find("f.winsim_only differs\n    winsim:  0\n    windows: (absent)"), std::string::npos) << all;
  EXPECT_NE(all.find("g.windows_only differs\n    winsim:  (absent)"), std::string::npos) << all;
}

}  // namespace
