// kvnhost: loads the component as a setup engine does and drives its exports from a
// command line, with a human report or one JSON object.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "support/cmplog.h"
#include "support/cstr.h"
#include "framework/hostinterface.h"
#include "support/handles.h"
#include "support/messages.h"
#include "devices.h"
#include "hostmachine.h"
#include "lint.h"
#include "lintreport.h"
#include "matrix.h"
#include "pending.h"

namespace fs = std::filesystem;

namespace {
constexpr int kExitUsage = 2;
constexpr int kExitInstallFailed = 1;
constexpr int kExitRestartRequired = 3010;
constexpr WCHAR kHostVerboseLogName[] = L"kvnhost-verbose.log";

std::string Utf8(const std::wstring &text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string &text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), n);
  return out;
}

struct Exports {
  GetInterfaceVersionFn getInterfaceVersion = nullptr;
  GetPropertyFn getProperty = nullptr;
  IsOSSupportedFn isOSSupported = nullptr;
  IsInstalledFn isInstalled = nullptr;
  GetVersionStatusFn getVersionStatus = nullptr;
  InstallFn install = nullptr;
};

template <class T>
bool Resolve(HMODULE module, const char *name, T &fn) {
  fn = reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  return fn != nullptr;
}

// One field of the report: its JSON name, its label, its value (absent: not answered) and,
// when not empty, the text the human report shows instead of the value.
struct Field {
  std::string name;
  std::string label;
  nlohmann::json value;
  std::string shown;
};

class Report {
 public:
  void Add(const std::string &name, const std::string &label, nlohmann::json value, std::string shown = {}) {
    fields_.push_back({name, label, std::move(value), std::move(shown)});
  }
  nlohmann::json Json() const {
    nlohmann::json j = nlohmann::json::object();
    for (auto &f : fields_) j[f.name] = f.value;
    return j;
  }
  std::string Text() const {
    std::string out;
    for (auto &f : fields_) {
      std::string value = !f.shown.empty()      ? f.shown
                          : f.value.is_null()   ? "(not answered)"
                          : f.value.is_string() ? f.value.get<std::string>()
                                                : f.value.dump();
      char line[64];
      std::snprintf(line, sizeof line, "%-22s ", f.label.c_str());
      out += line + value + "\n";
    }
    return out;
  }

 private:
  std::vector<Field> fields_;
};

nlohmann::json TextProperty(const Exports &e, UINT id, const std::wstring &lang) {
  WCHAR buffer[1024] = L"";
  if (!e.getProperty(id, buffer, 1024, reinterpret_cast<ULONG_PTR>(lang.c_str()))) return nullptr;
  return Utf8(buffer);
}

nlohmann::json IntProperty(const Exports &e, UINT id) {
  int value = 0;
  if (!e.getProperty(id, &value, sizeof value, 0)) return nullptr;
  return value;
}

void RunInfo(const Exports &e, const std::wstring &lang, Report &r) {
  int version = 0;
  r.Add("interface_version", "interface version",
        e.getInterfaceVersion(&version) ? nlohmann::json(version) : nlohmann::json());
  r.Add("package_name", "package name", TextProperty(e, PROP_PACKAGE_NAME, lang));
  r.Add("package_description", "package description", TextProperty(e, PROP_PACKAGE_DESCRIPTION, lang));
  r.Add("installed_version", "installed version", TextProperty(e, PROP_INSTALLED_VERSION, lang));
  r.Add("package_version", "package version", TextProperty(e, PROP_PACKAGE_VERSION, lang));
  r.Add("silent_capable", "silent capable", IntProperty(e, PROP_SILENT_CAPABILITY));
  r.Add("silent_capable_alt", "silent capable (alt)", IntProperty(e, PROP_SILENT_CAPABILITY_ALT));
  r.Add("constant_property", "constant property", IntProperty(e, PROP_CONSTANT));
}

// The pre-install statuses by their names and meanings.
std::string PreInstallMeaning(int status) {
  switch (status) {
    case PRE_INSTALLED_SAME: return "PRE_INSTALLED_SAME: installed at the package's version, hardware present";
    case PRE_INSTALLED_OLDER: return "PRE_INSTALLED_OLDER: an older version installed, the package upgrades it";
    case PRE_INSTALLED_NEWER: return "PRE_INSTALLED_NEWER: a newer version installed, hardware present";
    case PRE_INSTALLED_NO_HARDWARE: return "PRE_INSTALLED_NO_HARDWARE: installed, no supported hardware";
    case PRE_READY_TO_INSTALL: return "PRE_READY_TO_INSTALL: hardware present, not installed";
    case PRE_NOTHING_TO_DO:
      return "PRE_NOTHING_TO_DO: no supported hardware and not installed, or the dependency check failed";
    case PRE_OS_OR_REQUIREMENT:
      return "PRE_OS_OR_REQUIREMENT: cannot install (operating system, disk space, a requirement, or marked "
             "for removal)";
    case PRE_INSTALLED_OTHER_STATUS: return "PRE_INSTALLED_OTHER_STATUS: installed, version status not 0 to 2";
    default: return "not a pre-install status";
  }
}

std::string YesNo(int value) { return std::to_string(value) + (value == 1 ? " (yes)" : value == 0 ? " (no)" : ""); }

// What waits for the next restart, a line an item, after the label's column.
void AddPendingRestart(Report &r) {
  std::vector<PendingItem> items = PendingRestart();
  nlohmann::json list = nlohmann::json::array();
  std::string shown;
  for (const PendingItem &item : items) {
    list.push_back({{"kind", item.kind}, {"what", item.what}});
    shown += (shown.empty() ? "" : "\n" + std::string(23, ' ')) + item.kind + ": " + item.what;
  }
  r.Add("pending_restart", "pending restart", list, shown.empty() ? "nothing" : shown);
  const bool interrupted = InterruptedInstallPending();
  r.Add("interrupted_install", "interrupted install", interrupted,
        interrupted ? "yes: an interrupted installation left adapters disabled; the next install restores them" : "no");
}

void RunCheck(const Exports &e, const std::wstring &lang, Report &r) {
  int supported = e.isOSSupported(), installed = e.isInstalled();
  r.Add("os_supported", "OS supported", supported, YesNo(supported));
  r.Add("installed", "installed", installed, YesNo(installed));
  int version = e.getVersionStatus();
  const char *versionMeaning = version == 0 ? "older" : version == 1 ? "same" : version == 2 ? "newer" : "unknown";
  r.Add("version_status", "version status", version, std::to_string(version) + " (" + versionMeaning + ")");
  PreInstallStatus status{};
  status.nStatus = 0;
  if (e.getProperty(PROP_PREINSTALL_STATUS, &status, sizeof status, reinterpret_cast<ULONG_PTR>(lang.c_str()))) {
    status.szMessage[1023] = L'\0';
    r.Add("preinstall_status", "pre-install status", status.nStatus,
          std::to_string(status.nStatus) + " " + PreInstallMeaning(status.nStatus));
    r.Add("preinstall_message", "pre-install message", Utf8(status.szMessage));
  } else {
    r.Add("preinstall_status", "pre-install status", nullptr);
    r.Add("preinstall_message", "pre-install message", nullptr);
  }
}

int RunInstall(const Exports &e, const std::wstring &lang, Report &r) {
  WCHAR message[kInstallMessageCapacity] = L"";
  int result = e.install(0, 0, message, 0, lang.c_str());
  message[kInstallMessageCapacity - 1] = L'\0';
  const char *meaning = result == 0   ? "failed"
                        : result == 1 ? "installed"
                        : result == 2 ? "installed, a restart is required"
                                      : "not an install result";
  r.Add("install_result", "install result", result, std::to_string(result) + " (" + meaning + ")");
  r.Add("install_message", "install message", Utf8(message), message[0] ? "" : "(none)");
  return result;
}

// The machine's log folder, "%systemdrive%\\vadorurev\\log\\"; empty when it cannot be named.
std::wstring LogDirectory() {
  WCHAR dir[MAX_PATH];
  DWORD n = ExpandEnvironmentStringsW(L"%systemdrive%\\vadorurev\\log\\", dir, MAX_PATH);
  return n == 0 || n > MAX_PATH ? std::wstring() : std::wstring(dir);
}

// The files of the log folder: the setup log first, then the verbose logs. `bytes` holds a
// file's content when the listing was asked to read it.
struct LogFile {
  std::wstring name;
  std::string bytes;
  bool readable = false;
};

// A log file's bytes; false when it cannot be read.
bool ReadLogBytes(const std::wstring &path, std::string &bytes) {
  unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  bytes.clear();
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read) bytes.append(chunk, read);
  return true;
}

std::vector<LogFile> ListLogFiles(const std::wstring &dir, bool readThem) {
  std::vector<LogFile> files;
  if (dir.empty()) return files;
  WIN32_FIND_DATAW found;
  unique_hfind search(FindFirstFileW((dir + L"*").c_str(), &found));
  if (!search) return files;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back({found.cFileName, {}, false});
  } while (FindNextFileW(search.get(), &found));
  std::stable_partition(files.begin(), files.end(),
                        [](const LogFile &f) { return CStr(f.name.c_str()).CompareNoCase(L"kvnsetup.log") == 0; });
  if (readThem)
    for (LogFile &f : files) f.readable = ReadLogBytes(dir + f.name, f.bytes);
  return files;
}

bool IsSetupLog(const std::wstring &name) { return CStr(name.c_str()).CompareNoCase(L"kvnsetup.log") == 0; }

// Log bytes as UTF-8 with LF line ends (the logs are written in the system's ANSI code page
// with CR LF).
std::string LogText(const std::string &bytes) {
  int wn = bytes.empty() ? 0 : MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  std::wstring wide(size_t(wn), L'\0');
  if (wn) MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), wide.data(), wn);
  std::string text;
  for (char c : Utf8(wide))
    if (c != '\r') text += c;
  if (!text.empty() && text.back() != '\n') text += "\n";
  return text;
}

// What the log files gained since `before` was listed, each under a "----- PATH" line: the
// bytes after what the file held then, or the whole file when it does not begin with them
// (a new file under the old one's name, the old one moved aside). The setup log's text and
// the verbose logs' text also go to `setupLog` and `verboseLog` (null when the run wrote none).
std::string LogsWrittenSince(const std::vector<LogFile> &before, nlohmann::json &setupLog, nlohmann::json &verboseLog) {
  std::wstring dir = LogDirectory();
  std::string out;
  setupLog = nullptr;
  verboseLog = nullptr;
  for (const LogFile &f : ListLogFiles(dir, true)) {
    size_t from = 0;
    for (const LogFile &old : before)
      if (CStr(old.name.c_str()).CompareNoCase(f.name.c_str()) == 0 && old.readable &&
          f.bytes.compare(0, old.bytes.size(), old.bytes) == 0)
        from = old.bytes.size();
    std::string text = f.readable ? LogText(f.bytes.substr(from)) : "(cannot be read)\n";
    if (text.empty()) continue;
    out += "----- " + Utf8(dir + f.name) + "\n" + text;
    nlohmann::json &field = IsSetupLog(f.name) ? setupLog : verboseLog;
    field = (field.is_null() ? std::string() : field.get<std::string>()) + text;
  }
  return out;
}

// The setup log and the verbose logs, as they stand in the machine's log directory.
std::string ReadLogs() {
  std::wstring dir = LogDirectory();
  if (dir.empty()) return "(the log directory cannot be named)\n";
  std::vector<LogFile> files = ListLogFiles(dir, true);
  if (files.empty()) return "(no log files in " + Utf8(dir) + ")\n";
  std::string out;
  for (const LogFile &f : files)
    out += "----- " + Utf8(dir + f.name) + "\n" + (f.readable ? LogText(f.bytes) : "(cannot be read)\n");
  return out;
}
}  // namespace

// Progress for a person watching: once a run has taken a second, each step it starts is said
// on standard error with the time so far, when standard error is a terminal.
class Progress {
 public:
  Progress() : start_(std::chrono::steady_clock::now()), shown_(StandardErrorIsTerminal()) {}
  void Step(const char *what) const {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (shown_ && seconds >= 1.0) std::fprintf(stderr, "kvnhost: %s (%.0f s so far)\n", what, seconds);
  }

 private:
  static bool StandardErrorIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
  }
  std::chrono::steady_clock::time_point start_;
  bool shown_;
};

// The commands, for --help and COMMAND --help.
struct CommandHelp {
  const char *name, *summary, *details;
};
constexpr CommandHelp kCommands[] = {
    {"info", "the interface version and the package's properties",
     "Loads the component and asks GetInterfaceVersion and properties 1, 2, 3, 4, 6, 7 and 8\n"
     "(name and description in --lang)."},
    {"check", "OS support, installed state, version status, pre-install status, pending restart",
     "IsOSSupported, IsInstalled, GetVersionStatus and the pre-install status (property 5), each\n"
     "with its meaning, and what waits for the next restart (pending_restart)."},
    {"install", "check, then Install: the result, its message and what the run logged",
     "check, then Install. Exit status 0 (installed), 3010 (a restart is required) or 1 (failed);\n"
     "the report adds the message Install left and what the run wrote to the logs."},
    {"devices", "the machine's devices (--matching: those the component works on, and why)",
     "Every device SetupAPI lists: instance ID, status (a problem in words), class, description,\n"
     "driver and hardware IDs. --matching keeps those the component's rules match, with the rule."},
    {"log", "the setup log and the verbose logs of --state", "Prints the logs of the machine in --state."},
    {"diff", "what the runs changed in --state compared with the machine it was made from",
     "Devices, services, files, registry keys with their values before and after, and the file\n"
     "operations waiting for the restart. --json adds items; --reg FILE writes the registry's\n"
     "changes as a .reg file."},
    {"reboot", "restart the machine in --state",
     "Completes what waits for the restart (pending file operations, services marked for\n"
     "deletion, devices waiting) and moves the clock on."},
    {"lint", "check the package alone, before it meets a machine (--format text|json|sarif)",
     "Reads the package definition, install.xml, dependency.xml and the INF (through SetupAPI) and\n"
     "reports each finding with its rule, severity, file and line. Exit status 0 no errors, 1\n"
     "errors found, 2 the package cannot be read. docs/lint.md lists the rules."},
    {"matrix", "one package against many machines: a row per machine (MACHINE: a machine or a folder of them)",
     "Runs check (with --install also install, diff and check after) on a fresh state of each\n"
     "machine, --jobs at a time, each in its own processes (--timeout S per machine). --format\n"
     "table, json (JSON Lines), csv, junit or html; --shard K/N runs a share of the sorted list;\n"
     "--report FILE.jsonl renders earlier rows. Exit status 0, 1 (a machine failed), 3010 (one\n"
     "needs a restart), 2."},
    {"machine", "machine new DIR [--from MACHINE]: write a machine directory to start from",
     "machine new DIR writes a small consistent machine; with --from MACHINE one whose base is\n"
     "MACHINE."},
};

// The package directory as a file URI ending in '/', the base of SARIF's locations.
std::string PackageUri(const std::string &dir) {
  std::error_code ec;
  std::string path = fs::absolute(fs::path(dir), ec).generic_string();
  std::string uri = path.rfind('/', 0) == 0 ? "file://" : "file:///";
  for (unsigned char c : path)
    if (std::isalnum(c) || std::strchr("-._~/:", c)) {
      uri += char(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      uri += escaped;
    }
  return uri.back() == '/' ? uri : uri + "/";
}

// kvnhost lint: the package alone, in the form asked for; the exit status says whether it
// holds errors.
int RunLint(HostOptions &options, const std::string &format) {
  HostPlace place;
  std::string error;
  if (!EnterPackageOnly(options, place, error)) {
    std::fprintf(stderr, "kvnhost: %s\n", error.c_str());
#ifndef _WIN32
    RemoveTemporaryState(place);
#endif
    return kExitUsage;
  }
  const lint::Result result = lint::LintPackage(place.packageDir);
  LeaveMachine(error);
#ifndef _WIN32
  RemoveTemporaryState(place);
#endif
  if (!result.readable) {
    std::fprintf(stderr, "kvnhost: lint: package directory %s %s\n", options.packageDir.c_str(), result.error.c_str());
    return kExitUsage;
  }
  if (format == "json")
    std::printf("%s\n", LintJson(result).dump(2).c_str());
  else if (format == "sarif")
    std::printf("%s\n", LintSarif(result, PackageUri(options.packageDir), KVN_VERSION).dump(2).c_str());
  else
    std::fputs(LintText(result, options.packageDir).c_str(), stdout);
  return LintExitStatus(result);
}

// "kvnhost COMMAND --help": that command's own text. False when the arguments ask for none.
bool CommandHelpAsked(const std::vector<std::string> &args) {
  bool help = false;
  const CommandHelp *asked = nullptr;
  for (const std::string &a : args) {
    help = help || a == "--help" || a == "-h";
    for (const CommandHelp &c : kCommands)
      if (a == c.name) asked = &c;
  }
  if (!help || !asked) return false;
  std::printf("kvnhost [options] %s\n  %s\n\n%s\n\n(kvnhost --help lists the options.)\n", asked->name, asked->summary,
              asked->details);
  return true;
}

int main(int argc, char **argv) {
  CLI::App app{"kvnhost: loads the driver component like a setup engine and drives its exports"};
  HostOptions options;
  options.packageDir = DefaultPackageDir();
#ifndef _WIN32
  options.machineDir = KVN_DEFAULT_MACHINE;
#endif
  std::string lang = "en";
  bool verboseLog = false, noOverwrite = false, consoleOut = false, hostLog = false, json = false, keepState = false;
  std::string command, com, from, regFile;
  std::vector<std::string> operands;
  app.add_option("--package", options.packageDir, "the package directory")->capture_default_str();
#ifndef _WIN32
  app.add_option("--machine", options.machineDir, "the machine template")->capture_default_str();
  app.add_option("--state", options.stateDir, "the machine the run acts on (created from --machine when missing)");
  app.add_option("--from", from, "machine new: the machine the new one starts from (its base)");
  app.add_option("--reg", regFile, "diff: also write the registry's changes as a .reg file regedit applies");
  app.add_flag("--keep-state", keepState, "keep the temporary state of a run without --state (its path is printed)");
#endif
  app.add_option("--lang", lang, "language code for properties 1, 2, 5 and Install")->capture_default_str();
  app.add_flag("--verbose-log", verboseLog, "put /verbose_log on the host command line");
  app.add_flag("--no-overwrite", noOverwrite, "put /no_overwrite on the host command line");
  app.add_flag("--consoleout", consoleOut, "put /consoleout on the host command line");
  app.add_flag("--host-log", hostLog, "hand the component a host log through property 9 first");
  app.add_option("--com", com, "initialise COM on the host's thread first, as some hosts do (sta | mta)")
      ->check(CLI::IsMember({"sta", "mta"}));
  std::string format = "text";
  app.add_flag("--json", json, "one JSON object on standard output (--format json)");
  app.add_option("--format", format,
                 "the output: text (the report) or json; for lint also sarif; for matrix table (text), json (JSON "
                 "Lines), csv, junit or html")
      ->check(CLI::IsMember({"text", "json", "sarif", "table", "csv", "junit", "html"}));
  MatrixOptions matrix;
  std::string shard;
  app.add_flag("--install", matrix.install, "matrix: install on each machine too (and check after)");
  app.add_option("--jobs", matrix.jobs, "matrix: machines run at once (default: the number of cores)")
      ->check(CLI::PositiveNumber);
  app.add_option("--timeout", matrix.timeoutSeconds, "matrix: seconds a machine's runs may take (default 120)")
      ->check(CLI::PositiveNumber);
  app.add_option("--shard", shard, "matrix: K/N, run the machines at positions K-1, K-1+N, ... of the sorted list");
  app.add_option("--report", matrix.report, "matrix: render the JSON Lines of earlier runs instead of running");
  std::string commandList;
  for (const CommandHelp &c : kCommands)
    commandList += "  " + std::string(c.name) + std::string(10 - std::strlen(c.name), ' ') + c.summary + "\n";
  app.footer("Commands (kvnhost COMMAND --help tells more of one):\n" + commandList +
             "Exit status: 0 success, 3010 installed and a restart is required, 1 the install failed,\n"
             "2 a usage or load error (one line on standard error).\n"
             "Examples:\n"
             "  kvnhost --machine examples/machines/vf-guest check\n"
             "  kvnhost --state /tmp/srv01 --verbose-log install && kvnhost --state /tmp/srv01 diff\n"
             "  kvnhost --package /path/to/package --json --lang de check");
  app.set_version_flag(
      "--version", std::string("kvnhost " KVN_VERSION "\nkvncomp " KVN_VERSION " (the component built with it)")
#ifndef _WIN32
                       + "\nwinsim " KVN_VERSION " (the simulated Windows, Linux build)"
#endif
  );
  bool matching = false;
  app.add_flag("--matching", matching, "devices: only those the component's rules match, with the rule");
  app.add_option("command", command,
                 "info | check | install | devices | log | diff | reboot | lint | matrix MACHINE... | machine new DIR")
      ->required()
      ->check(
          CLI::IsMember({"info", "check", "install", "devices", "log", "diff", "reboot", "lint", "matrix", "machine"}));
  app.add_option("operands", operands, "matrix: MACHINE...; machine: new DIR");
  // The host switches themselves are accepted as they stand too.
  std::vector<std::string> args;
  for (int i = argc - 1; i > 0; --i) {
    std::string a = argv[i];
    if (CStr(Wide(a).c_str()).CompareNoCase(L"/verbose_log") == 0)
      verboseLog = true;
    else if (CStr(Wide(a).c_str()).CompareNoCase(L"/no_overwrite") == 0)
      noOverwrite = true;
    else if (CStr(Wide(a).c_str()).CompareNoCase(L"/consoleout") == 0)
      consoleOut = true;
    else
      args.push_back(a);
  }
  if (CommandHelpAsked(args)) return 0;
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    std::fprintf(stderr, "kvnhost: %s\n", e.what());
    return kExitUsage;
  }

  if (format == "json") json = true;
  if (json && format == "text") format = "json";
  if (format == "sarif" && command != "lint") {
    std::fprintf(stderr, "kvnhost: --format sarif is a form of lint's findings only\n");
    return kExitUsage;
  }
  if ((format == "table" || format == "csv" || format == "junit" || format == "html") && command != "matrix") {
    std::fprintf(stderr, "kvnhost: --format %s is a form of matrix's rows only\n", format.c_str());
    return kExitUsage;
  }
  if (command == "matrix") {
#ifndef _WIN32
    if (!shard.empty() && !ParseShard(shard, matrix.shard, matrix.shards)) {
      std::fprintf(stderr, "kvnhost: matrix: --shard %s is not K/N with 1 <= K <= N\n", shard.c_str());
      return kExitUsage;
    }
    matrix.packageDir = options.packageDir;
    matrix.machines = operands;
    matrix.format = format == "text" ? "table" : format;
    matrix.lang = lang;
    return RunMatrix(matrix);  // 3010 as kvnhost's own restart status
#else
    std::fprintf(stderr, "kvnhost: matrix runs simulated machines, on Linux only\n");
    return kExitUsage;
#endif
  }

  // A language the component has no texts for is answered in English; said, not refused.
  if (CStr(Wide(lang).c_str()).CompareNoCase(L"en") != 0 && LanguageIndex(Wide(lang).c_str()) == 0) {
    std::string known = "en";
    for (const WCHAR *code : kLanguageCodes) known += ", " + Utf8(code);
    std::fprintf(stderr, "kvnhost: warning: --lang %s is not a language of the component (%s); it answers in English\n",
                 lang.c_str(), known.c_str());
  }

  if (command == "machine") {
#ifndef _WIN32
    std::string error;
    if (operands.size() != 2 || operands[0] != "new") {
      std::fprintf(stderr, "kvnhost: machine: expected machine new DIR [--from MACHINE]\n");
      return kExitUsage;
    }
    if (!NewMachine(operands[1], from, error)) {
      std::fprintf(stderr, "kvnhost: %s\n", error.c_str());
      return kExitUsage;
    }
    std::printf("new machine %s%s\n", operands[1].c_str(), from.empty() ? "" : (" from " + from).c_str());
    return 0;
#else
    std::fprintf(stderr, "kvnhost: machine: machines are simulated on Linux only\n");
    return kExitUsage;
#endif
  }
  if (!operands.empty()) {
    std::fprintf(stderr, "kvnhost: %s takes no operands\n", command.c_str());
    return kExitUsage;
  }

  if (command == "lint") return RunLint(options, format);

#ifndef _WIN32
  // log, diff and reboot read the machine of an earlier run: a state that exists, compared
  // (diff) with the machine it was made from unless --machine names another.
  if (command == "log" || command == "diff" || command == "reboot") {
    std::error_code ec;
    if (options.stateDir.empty() || !fs::is_directory(options.stateDir, ec)) {
      std::fprintf(stderr, "kvnhost: %s needs --state naming an existing machine state%s\n", command.c_str(),
                   options.stateDir.empty() ? "" : (" (" + options.stateDir + " does not exist)").c_str());
      return kExitUsage;
    }
    std::string originMachine, originPackage;
    if (app.count("--machine") == 0 && ReadStateOrigin(options.stateDir, originMachine, originPackage))
      options.machineDir = originMachine;
  }
#endif

  if (command == "diff") {
    MachineDiff diff;
    std::string error;
    if (!DiffMachine(options, diff, error)) {
      std::fprintf(stderr, "kvnhost: %s\n", error.c_str());
      return kExitUsage;
    }
    if (!regFile.empty()) {
      std::ofstream out(fs::path(regFile), std::ios::binary);
      out << diff.regFile;
      out.close();
      if (!out) {
        std::fprintf(stderr, "kvnhost: cannot write %s\n", regFile.c_str());
        return kExitUsage;
      }
    }
    const std::string &report = diff.report;
    if (json) {
      nlohmann::json j = {{"state_dir", options.stateDir}, {"changes", nlohmann::json::array()}};
      size_t start = 0;
      while (start < report.size()) {
        size_t end = report.find('\n', start);
        j["changes"].push_back(report.substr(start, end - start));
        start = end + 1;
      }
      j["items"] = nlohmann::json::array();
      for (const DiffItem &item : diff.items) {
        nlohmann::json i = {{"kind", item.kind}, {"change", item.change}};
        for (auto [name, text] : {std::pair{"path", &item.path}, std::pair{"key", &item.key},
                                  std::pair{"value", &item.value}, std::pair{"type", &item.type}})
          if (!text->empty()) i[name] = *text;
        i["before"] = item.before ? nlohmann::json(*item.before) : nlohmann::json();
        i["after"] = item.after ? nlohmann::json(*item.after) : nlohmann::json();
        j["items"].push_back(std::move(i));
      }
      std::printf("%s\n", j.dump(2).c_str());
    } else {
      std::fputs(report.empty() ? "no changes\n" : report.c_str(), stdout);
    }
    return 0;
  }

  if (command == "reboot") {
    std::vector<RebootStep> steps;
    std::string error;
    if (!RebootMachine(options, steps, error)) {
      std::fprintf(stderr, "kvnhost: %s\n", error.c_str());
      return kExitUsage;
    }
    if (json) {
      nlohmann::json j = {{"state_dir", options.stateDir}, {"reboot", nlohmann::json::array()}};
      for (auto &s : steps) j["reboot"].push_back({{"kind", s.kind}, {"what", s.what}, {"error", s.error}});
      std::printf("%s\n", j.dump(2).c_str());
    } else {
      std::printf("restarted %s\n", options.stateDir.c_str());
      for (auto &s : steps) {
        std::printf("  %-21s %s", s.kind.c_str(), s.what.c_str());
        if (s.error) std::printf(" (failed: error %lu)", s.error);
        std::printf("\n");
      }
    }
    return 0;
  }

  if (verboseLog) options.switches += L" /verbose_log";
  if (noOverwrite) options.switches += L" /no_overwrite";
  if (consoleOut) options.switches += L" /consoleout";
  int relaunched = 0;
  if (RunWithHostSwitches(options, relaunched)) return relaunched;

  const Progress progress;
  HostPlace place;
  // A run without --state works on a temporary state, which goes when the run ends
  // (--keep-state keeps it).
  struct TemporaryState {
    const HostPlace &place;
    bool keep;
    ~TemporaryState() {
#ifndef _WIN32
      if (!keep) RemoveTemporaryState(place);
#endif
    }
  } temporaryState{place, keepState};
  std::string error;
  if (!EnterMachine(options, place, error)) {
    // A machine that does not load tells each of its mistakes on a line of its own.
    std::istringstream lines(error);
    for (std::string line; std::getline(lines, line);) std::fprintf(stderr, "kvnhost: %s\n", line.c_str());
    return kExitUsage;
  }
  // A machine that loads may still hold what no Windows would: said once, before the run.
  const std::vector<std::string> warnings = MachineLoadWarnings();
  for (const std::string &warning : warnings) std::fprintf(stderr, "winsim: warning: %s\n", warning.c_str());

  if (command == "devices") {
    const nlohmann::json devices = ListDevices(matching);
    if (!LeaveMachine(error)) {
      std::fprintf(stderr, "kvnhost: %s\n", error.c_str());
      return kExitUsage;
    }
    std::fputs(json ? (devices.dump(2) + "\n").c_str() : DevicesText(devices).c_str(), stdout);
    return 0;
  }

  // A host that uses COM itself has initialised its thread before it loads the component;
  // the component then meets an apartment it did not choose. Balanced after the unload.
  bool comInitialized = false;
  if (!com.empty()) {
    HRESULT hr = CoInitializeEx(nullptr, com == "sta" ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
    if (FAILED(hr)) {
      std::fprintf(stderr, "kvnhost: cannot initialise COM (%s): 0x%08X\n", com.c_str(), unsigned(hr));
      LeaveMachine(error);
      return kExitUsage;
    }
    comInitialized = true;
  }

  Report report;
  int exitCode = 0;
  // The install report shows what this run adds to the logs, whatever earlier runs left.
  std::vector<LogFile> logsBefore = command == "install" ? ListLogFiles(LogDirectory(), true) : std::vector<LogFile>();
  {
    // The host's own log, handed over before anything else. Its verbose file has a name of
    // its own: the generated names come from the clock, which a simulated machine stops, so
    // the component's would otherwise be the same file and nothing would be merged.
    std::optional<CCmpLog> log;
    if (hostLog) {
      log.emplace(kHostVerboseLogName);
      log->SetVerbose(1);
      // Opened as the host opens its log, and held open through every call.
      log->OpenAsHost();
      log->WriteLogHeader();
    }

    progress.Step("loading the component");
    unique_hmodule module(LoadLibraryW(place.componentPath.c_str()));
    Exports e;
    if (!module || !Resolve(module.get(), "GetInterfaceVersion", e.getInterfaceVersion) ||
        !Resolve(module.get(), "GetProperty", e.getProperty) ||
        !Resolve(module.get(), "IsOSSupported", e.isOSSupported) ||
        !Resolve(module.get(), "IsInstalled", e.isInstalled) ||
        !Resolve(module.get(), "GetVersionStatus", e.getVersionStatus) ||
        !Resolve(module.get(), "Install", e.install)) {
      std::fprintf(stderr, "kvnhost: cannot load the component %s (error %u)\n", Utf8(place.componentPath).c_str(),
                   unsigned(GetLastError()));
      module.reset();
      if (comInitialized) CoUninitialize();
      LeaveMachine(error);
      return kExitUsage;
    }

    if (log) {
      log->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"kvnhost: handing the host log to the component\r\n");
      e.getProperty(PROP_ATTACH_HOST_LOG, &*log, 0, 0);
    }
    std::wstring wlang = Wide(lang);
    if (command == "info") {
      RunInfo(e, wlang, report);
    } else if (command == "check") {
      RunCheck(e, wlang, report);
    } else if (command == "install") {
      RunCheck(e, wlang, report);
      progress.Step("calling Install");
      int result = RunInstall(e, wlang, report);
      exitCode = result == 1 ? 0 : result == 2 ? kExitRestartRequired : kExitInstallFailed;
    }
    module.reset();
    if (comInitialized) CoUninitialize();
    if (command == "check" || command == "install") AddPendingRestart(report);
    if (log) {
      log->WriteLogFooter(exitCode);
      log->CloseFiles();
    }
  }

  nlohmann::json setupLog, verboseText;
  std::string logs = command == "log"       ? ReadLogs()
                     : command == "install" ? LogsWrittenSince(logsBefore, setupLog, verboseText)
                                            : std::string();
  if (!place.stateDir.empty()) {
    const bool removed = place.temporary && !keepState;
    report.Add("state_dir", "machine state", place.stateDir,
               removed ? place.stateDir + " (removed after the run; --keep-state keeps it)" : std::string());
  }
  // A silent installation that would stop at a prompt on Windows is something users must
  // see; the exit status stays the component's.
  std::vector<std::string> prompts = MachinePrompts();
  for (const std::string &prompt : prompts) std::fprintf(stderr, "winsim: prompt: %s\n", prompt.c_str());
  const std::vector<std::string> notes = SimulatorNotes();
  if (!warnings.empty() || !prompts.empty() || !notes.empty())
    std::fprintf(stderr,
                 "winsim: (the lines above that start with \"winsim:\" are the simulated Windows' own, not the "
                 "component's; --json lists them as machine_warnings, prompts and simulator_notes)\n");
  progress.Step("writing the machine back");
#ifndef _WIN32
  if ((!place.temporary || keepState) && !RecordPrompts(place.stateDir, command, prompts, error))
    std::fprintf(stderr, "kvnhost: warning: %s; diff will not list this run's prompts\n", error.c_str());
#endif
  if (!LeaveMachine(error)) {
    std::fprintf(stderr, "kvnhost: %s\n", error.c_str());
    return kExitUsage;
  }
  if (json) {
    nlohmann::json j = report.Json();
    j["prompts"] = prompts;
    j["machine_warnings"] = warnings;
    j["simulator_notes"] = notes;
    if (!place.stateDir.empty()) j["state_kept"] = !place.temporary || keepState;
    if (command == "log") j["log"] = logs;
    if (command == "install") {
      j["setup_log"] = setupLog;
      j["verbose_log"] = verboseText;
    }
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    std::fputs(report.Text().c_str(), stdout);
    std::fputs(logs.c_str(), stdout);
  }
  return exitCode;
}
