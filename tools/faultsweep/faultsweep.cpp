// faultsweep: fails every winsim call a kvnhost command makes, one run per call, and checks
// after each run that the failure was survived and reported without loss:
//
//   crash      the process ended by itself, without a signal, a sanitizer report or a
//              winsim simulation error
//   hang       it ended within the time limit
//   exit       its exit status is one kvnhost documents (0, 1, 2, 3010)
//   installed  an install that answered success (exit 0 or 3010) is seen as installed by a
//              following check on the same state
//   adapter    every device that was started is started again (or waits for the restart the
//              run asked for), every disabled one is still disabled, the others as they were
//              or started
//   log        the setup log starts with everything it held before the run
//   load       the state directory loads again
//
// With --crash the failing call ends the process instead (a crash fault: as if the host were
// killed there); the sweep then runs the command again, unfaulted, on the state the crash left,
// and checks the invariants after that run, which must install (exit 0 or 3010), and
//   journal    no adapter journal is left
// --crash-twice crashes the second run too, at the same call and at a later one, before a
// third, unfaulted run.
//
// With --pairs FUNCTION:N every run also fails the Nth call of FUNCTION (a first fault that
// stays, such as the re-enable walk's device set), and the sweep fails each later call as the
// second fault; --pairs FROM-TO takes each call the counting run numbered FROM to TO in turn as
// the first fault, and --pairs FUNCTION:N..UNTIL each call from the Nth of FUNCTION to the
// next call of UNTIL (SetupDiGetClassDevsW:9..SetupDiDestroyDeviceInfoList: the re-enable
// walk's first pass, from its device set to its end). An adapter left disabled
// is then accepted only when the run answered 3010, named it in the setup log as not restored, kept it in the adapter
// journal, and a following unfaulted install starts it again.
//
// The calls come from a counting run with WINSIM_CALL_TRACE set (see platform/winsim's
// README); every faulted run is traced too, to confirm the call it failed is the one counted.
// Each run starts from the same primed state: a copy of the machine on which an unfaulted
// check has run, so that the setup log has something to keep.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <toml++/toml.h>

#include <winsim.h>

#include "hostfiles.h"
#include "sweeplogic.h"

extern char **environ;

namespace fs = std::filesystem;
using namespace faultsweep;

namespace {

struct Options {
  std::string kvnhost, machine, package, command, mode = "grouped", exceptions, work, only;
  double timeoutSeconds = 60;
  unsigned jobs = 1;
  long long from = 1, to = 0;  // the call numbers a sweep is narrowed to (0: to the last)
  bool verboseLog = false, keep = false, listPoints = false;
  bool crash = false, crashTwice = false;
  std::string pairs;          // FUNCTION:N or FROM-TO, the first faults of a pair sweep
  std::string pairsFunction;  // FUNCTION:N's parts
  long long pairsNth = 0;
  std::string pairsUntil;                // FUNCTION:N..UNTIL's end
  long long pairsFrom = 0, pairsTo = 0;  // FROM-TO's
};

// A pair sweep's first fault: the nth call of `function`, the call'th hooked call of the run.
struct FirstFault {
  std::string function;
  long long nth = 0, call = 0;
};

struct Violation {
  std::string invariant;
  std::string what;
};

struct Exception {
  std::string function, caller, invariant, reason;
  int line = 0;
  int used = 0;
};

// ---- files and processes ------------------------------------------------------------------

using hostfiles::ReadAll;

// A fresh copy: whatever `to` held goes first.
bool CopyTree(const fs::path &from, const fs::path &to, std::string &error) {
  std::error_code ec;
  fs::remove_all(to, ec);
  return hostfiles::CopyTree(from, to, error);
}

// A path below `root` found without regard to case, as winsim finds it; empty when absent.
fs::path FindNoCase(const fs::path &root, const std::vector<std::string> &parts) {
  fs::path at = root;
  for (const std::string &part : parts) {
    std::error_code ec;
    fs::path found;
    for (auto &entry : fs::directory_iterator(at, ec)) {
      std::string name = entry.path().filename().string();
      if (std::equal(name.begin(), name.end(), part.begin(), part.end(),
                     [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); })) {
        found = entry.path();
        break;
      }
    }
    if (found.empty()) return {};
    at = found;
  }
  return at;
}

std::string SetupLog(const fs::path &state) {
  fs::path log = FindNoCase(state, {"drive_c", "vadorurev", "log", "kvnsetup.log"});
  return log.empty() ? std::string() : ReadAll(log);
}

struct Outcome {
  bool timedOut = false;
  int signal = 0;  // the signal that ended it, 0 when it exited
  int exitCode = 0;
  std::string out, err;
};

// Runs a program with standard output and error to files in `dir`, killing it after the
// time limit.
Outcome Run(const std::vector<std::string> &args, const fs::path &dir, const std::string &name,
            const std::vector<std::string> &extraEnv, double timeoutSeconds) {
  Outcome o;
  fs::path outFile = dir / (name + ".out"), errFile = dir / (name + ".err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char *> argv, envp;
  for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (char **e = environ; *e; ++e)
    if (std::strncmp(*e, "WINSIM_CALL_TRACE=", 18) != 0) envp.push_back(*e);
  for (auto &e : extraEnv) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    o.signal = -1;
    o.err = "cannot start " + args[0] + ": " + std::strerror(rc);
    return o;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      o.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
  if (WIFEXITED(status)) o.exitCode = WEXITSTATUS(status);
  o.out = ReadAll(outFile);
  o.err = ReadAll(errFile);
  return o;
}

// ---- the call trace -----------------------------------------------------------------------

// Names of the call sites ("CInf::Open at inf.cpp:120"), from addr2line over the built
// modules; the component runs as kvncomp.dll, a copy of libkvncomp.so.
std::map<std::string, std::string> Symbolise(const std::vector<const Call *> &points, const fs::path &bin) {
  std::map<std::string, std::vector<std::string>> byModule;  // module -> offsets
  for (auto *c : points) {
    size_t plus = c->site.rfind('+');
    if (plus == std::string::npos) continue;
    auto &offsets = byModule[c->site.substr(0, plus)];
    std::string offset = c->site.substr(plus + 1);
    if (std::find(offsets.begin(), offsets.end(), offset) == offsets.end()) offsets.push_back(offset);
  }
  std::map<std::string, std::string> names;
  for (auto &[module, offsets] : byModule) {
    fs::path file = bin / (module == "kvncomp.dll" ? "libkvncomp.so" : module);
    std::error_code ec;
    if (!fs::exists(file, ec)) continue;
    fs::path list = fs::temp_directory_path() / ("faultsweep-offsets-" + std::to_string(getpid()));
    {
      std::ofstream o(list);
      for (auto &off : offsets) o << off << "\n";
    }
    std::string command = "addr2line -f -C -p -e '" + file.string() + "' < '" + list.string() + "'";
    FILE *p = popen(command.c_str(), "r");
    if (!p) continue;
    char line[4096];
    for (size_t i = 0; i < offsets.size() && std::fgets(line, sizeof line, p); ++i) {
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      if (size_t d = text.find(" (discriminator"); d != std::string::npos) text.erase(d);
      // "Function(args) at /dir/file.cpp:12" -> "Function(args) at file.cpp:12"
      if (size_t at = text.rfind(" at "); at != std::string::npos) {
        size_t slash = text.rfind('/');
        if (slash != std::string::npos && slash > at) text.erase(at + 4, slash - at - 3);
      }
      names[module + "+" + offsets[i]] = text;
    }
    pclose(p);
    fs::remove(list, ec);
  }
  return names;
}

// ---- machine state ------------------------------------------------------------------------

std::map<std::string, DeviceState> Devices(const fs::path &state, std::string &error) {
  std::map<std::string, DeviceState> devices;
  try {
    toml::table t = toml::parse_file((state / "machine.toml").string());
    if (auto *arr = t["devices"].as_array())
      for (auto &node : *arr) {
        auto *d = node.as_table();
        if (!d) continue;
        DeviceState s;
        s.status = (*d)["status"].value_or(std::string("started"));
        s.problem = (*d)["problem"].value_or(0LL);
        s.pending = (*d)["pending_status"].value_or(std::string());
        devices[(*d)["instance_id"].value_or(std::string())] = s;
      }
  } catch (const toml::parse_error &e) {
    error = std::string("machine.toml does not parse: ") + e.what();
  }
  return devices;
}

// Takes the fault the sweep added (the last [[faults]] entry) out of a state's machine.toml.
bool RemoveSweepFault(const fs::path &state, std::string &error) {
  try {
    toml::table t = toml::parse_file((state / "machine.toml").string());
    if (auto *arr = t["faults"].as_array(); arr && !arr->empty()) {
      arr->erase(arr->end() - 1);
      if (arr->empty()) t.erase("faults");
    }
    std::ofstream o(state / "machine.toml", std::ios::trunc);
    o << t << "\n";
    return true;
  } catch (const toml::parse_error &e) {
    error = std::string("machine.toml does not parse: ") + e.what();
    return false;
  }
}

std::mutex g_winsimLock;  // one machine open per process

bool Loads(const fs::path &state, std::string &error) {
  std::lock_guard<std::mutex> lock(g_winsimLock);
  if (!winsim::OpenMachine(state, error)) return false;
  return winsim::CloseMachine(&error);
}

// ---- the sweep ----------------------------------------------------------------------------

class Sweep {
 public:
  explicit Sweep(Options o) : o_(std::move(o)) {}

  int Main();

 private:
  std::vector<std::string> HostArgs(const fs::path &state, const std::string &command) const {
    std::vector<std::string> args = {o_.kvnhost, "--machine", o_.machine, "--state", state.string(), "--json"};
    if (!o_.package.empty()) args.insert(args.end(), {"--package", o_.package});
    if (o_.verboseLog && command != "log") args.push_back("--verbose-log");
    args.push_back(command);
    return args;
  }

  // Runs the command on a fresh copy of the primed state with the point's call failing (no
  // fault without a point: the counting run), and checks the invariants. `note` says when
  // the run did not make the call that was counted.
  // With --crash-twice, `again` is the call the second run crashes at.
  // In a pair sweep `first` fails in every run, the counting run included.
  std::vector<Violation> RunPoint(const FirstFault *first, const Call *point, const fs::path &dir, std::string &note,
                                  long long again = 0);
  // The pair sweep's first faults, found in the unfaulted counting run's calls.
  std::vector<FirstFault> FirstFaults(const std::vector<Call> &calls) const;

  bool Excepted(const Call &call, const std::string &caller, const Violation &v);
  bool ReadExceptions(std::string &error);

  Options o_;
  fs::path work_, primed_;
  std::map<std::string, DeviceState> devicesBefore_;
  std::string logBefore_;
  std::vector<Exception> exceptions_;
  std::mutex exceptionsLock_;
};

// A pair sweep's first fault: the Nth call of one function fails.
void AddFirstFault(const fs::path &state, const FirstFault &first) {
  std::ofstream toml(state / "machine.toml", std::ios::app);
  toml << "\n[[faults]]\nfunction = \"" << first.function << "\"\nnth = " << first.nth << "\n";
}

std::vector<FirstFault> Sweep::FirstFaults(const std::vector<Call> &calls) const {
  std::vector<FirstFault> firsts;
  std::map<std::string, long long> seen;
  bool within = false;  // between FUNCTION:N and UNTIL
  for (const Call &c : calls) {
    long long nth = ++seen[c.function];
    bool start = c.function == o_.pairsFunction && nth == o_.pairsNth;
    bool named = !o_.pairsFunction.empty() ? start || within : c.n >= o_.pairsFrom && c.n <= o_.pairsTo;
    if (named) firsts.push_back({c.function, nth, c.n});
    if (!o_.pairsUntil.empty()) within = (within || start) && !(c.function == o_.pairsUntil && !start);
  }
  return firsts;
}

// The adapter journal's text (UTF-16LE after its byte order mark), as ASCII; empty when absent.
std::string JournalText(const fs::path &state) {
  fs::path file = FindNoCase(state, {"drive_c", "vadorurev", "adapters.jnl"});
  std::string bytes = file.empty() ? std::string() : ReadAll(file), text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
  return text;
}

// Adds the sweep's fault: the nth hooked call fails, or with --crash ends the process.
void AddSweepFault(const fs::path &state, long long n, bool crash) {
  std::ofstream toml(state / "machine.toml", std::ios::app);
  toml << "\n[[faults]]\nfunction = \"*\"\nnth = " << n << (crash ? "\nkind = \"crash\"" : "") << "\n";
}

std::vector<Violation> Sweep::RunPoint(const FirstFault *first, const Call *point, const fs::path &dir,
                                       std::string &note, long long again) {
  std::vector<Violation> v;
  fs::path state = dir / "state";
  std::string error;
  if (!CopyTree(primed_, state, error)) return {{"setup", error}};
  if (first) AddFirstFault(state, *first);
  // The first fault takes its call from the "*" entry after it: that entry counts one call less.
  if (point) AddSweepFault(state, point->n - (first ? 1 : 0), o_.crash);
  fs::path trace = dir / "calls.trace";
  Outcome r =
      Run(HostArgs(state, o_.command), dir, o_.command, {"WINSIM_CALL_TRACE=" + trace.string()}, o_.timeoutSeconds);
  if (point) {
    std::vector<Call> calls = ReadTrace(trace);
    if (calls.size() < size_t(point->n) || calls[point->n - 1].function != point->function ||
        calls[point->n - 1].site != point->site)
      note = "the run did not make the counted call " + std::to_string(point->n) + " (it diverged earlier)";
  }
  if (r.timedOut) v.push_back({"hang", "no end after " + std::to_string(int(o_.timeoutSeconds)) + " s"});
  if (r.signal) v.push_back({"crash", std::string("ended by signal ") + strsignal(r.signal)});
  for (const char *mark : {"AddressSanitizer", "LeakSanitizer", "runtime error:", "winsim: simulation error"})
    if (size_t at = r.err.find(mark); at != std::string::npos) {
      size_t end = r.err.find('\n', at);
      v.push_back({"crash", r.err.substr(at, end == std::string::npos ? std::string::npos : end - at)});
      break;
    }
  if (r.timedOut || r.signal) return v;
  int code = r.exitCode;
  // The status is taken modulo 256 by the system: 3010 arrives as 194.
  if (code == (3010 & 0xFF)) code = 3010;
  const bool crashed = point && o_.crash;
  if (code != 0 && code != 1 && code != 2 && code != 3010 && !(crashed && code == 137))
    v.push_back({"exit", "exit status " + std::to_string(r.exitCode) + " is not one of kvnhost's"});
  if (crashed) {
    // The crash fault goes; the command runs again on what the crash left (crashing once
    // more first with --crash-twice), and the invariants are those of the last, unfaulted run.
    if (!RemoveSweepFault(state, error)) return {{"load", error}};
    if (again) {
      AddSweepFault(state, again, true);
      Outcome second = Run(HostArgs(state, o_.command), dir, "crash2", {}, o_.timeoutSeconds);
      if (second.timedOut || second.signal) {
        v.push_back({second.timedOut ? "hang" : "crash", "the second crashed run did not end by itself"});
        return v;
      }
      if (!RemoveSweepFault(state, error)) return {{"load", error}};
    }
    Outcome next = Run(HostArgs(state, o_.command), dir, "again", {}, o_.timeoutSeconds);
    if (next.timedOut || next.signal) {
      v.push_back({next.timedOut ? "hang" : "crash", "the run after the crash did not end by itself"});
      return v;
    }
    code = next.exitCode == (3010 & 0xFF) ? 3010 : next.exitCode;
    if (o_.command == "install" && code != 0 && code != 3010)
      v.push_back({"exit", "the install after the crash answered exit status " + std::to_string(next.exitCode)});
    if (FindNoCase(state, {"drive_c", "vadorurev", "adapters.jnl"}) != fs::path())
      v.push_back({"journal", "the adapter journal is left after an unfaulted install"});
  }

  auto after = Devices(state, error);
  if (!error.empty()) v.push_back({"load", error});
  bool success = o_.command == "install" && (code == 0 || code == 3010);
  std::string log = SetupLog(state);
  std::vector<std::string> leftDisabled;  // accepted in a pair sweep if the next install mends them
  for (auto &[id, before] : devicesBefore_) {
    auto it = after.find(id);
    if (it == after.end()) {
      v.push_back({"adapter", id + " was " + before.Text() + " and is gone"});
      continue;
    }
    if (AcceptableChange(before, it->second, code)) continue;
    const bool told = code == 3010 && log.find("NIC_NOT_RESTORED: " + id) != std::string::npos &&
                      JournalText(state).find("started\t" + id) != std::string::npos;
    if (first && told)
      leftDisabled.push_back(id);
    else
      v.push_back({"adapter", id + " was " + before.Text() + ", now " + it->second.Text()});
  }
  if (log.compare(0, logBefore_.size(), logBefore_) != 0)
    v.push_back({"log", "the setup log lost what it held (" + std::to_string(logBefore_.size()) + " bytes before, " +
                            std::to_string(log.size()) + " now)"});

  if (point && !crashed && !RemoveSweepFault(state, error)) {
    v.push_back({"load", error});
    return v;
  }
  if (first && !RemoveSweepFault(state, error)) {
    v.push_back({"load", error});
    return v;
  }
  if (!leftDisabled.empty()) {
    // The adapters the run could not restore: a clean install must start them from the journal.
    Outcome mend = Run(HostArgs(state, "install"), dir, "mend", {}, o_.timeoutSeconds);
    auto mended = Devices(state, error);
    for (const std::string &id : leftDisabled)
      if (mend.timedOut || mend.signal || mended[id].status != "started")
        v.push_back({"adapter", id + " was left disabled, and the next install did not start it"});
  }
  if (!Loads(state, error)) v.push_back({"load", error});
  if (success) {
    Outcome c = Run(HostArgs(state, "check"), dir, "check", {}, o_.timeoutSeconds);
    nlohmann::json j = nlohmann::json::parse(c.out, nullptr, false);
    bool installed = !c.timedOut && !c.signal && c.exitCode == 0 && j.is_object() && j.contains("installed") &&
                     j["installed"].is_number() && j["installed"].get<long long>() != 0;
    if (!installed)
      v.push_back({"installed", std::string("install answered ") + (code == 0 ? "1 (installed)" : "2 (restart)") +
                                    " but the check after it says installed = " +
                                    (j.is_object() && j.contains("installed")
                                         ? j["installed"].dump()
                                         : "nothing (exit " + std::to_string(c.exitCode) + ")")});
  }
  return v;
}

bool Sweep::ReadExceptions(std::string &error) {
  if (o_.exceptions.empty()) return true;
  std::ifstream in(o_.exceptions);
  if (!in) {
    error = "cannot read " + o_.exceptions;
    return false;
  }
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    Exception e;
    e.line = n;
    s >> e.function >> e.caller >> e.invariant;
    std::getline(s >> std::ws, e.reason);
    static const std::set<std::string> kinds = {"crash", "hang", "exit",    "installed", "adapter",
                                                "log",   "load", "journal", "*"};
    if (e.reason.empty() || !kinds.count(e.invariant)) {
      error = o_.exceptions + ":" + std::to_string(n) +
              ": an exception is FUNCTION CALLER INVARIANT REASON (invariant: crash, hang, exit, installed, "
              "adapter, log, load, journal or *; the reason is required)";
      return false;
    }
    exceptions_.push_back(e);
  }
  return true;
}

bool Sweep::Excepted(const Call &call, const std::string &caller, const Violation &v) {
  std::lock_guard<std::mutex> lock(exceptionsLock_);
  for (auto &e : exceptions_) {
    if (e.function != "*" && e.function != call.function) continue;
    if (e.caller != "*" && caller.find(e.caller) == std::string::npos) continue;
    if (e.invariant != "*" && e.invariant != v.invariant) continue;
    ++e.used;
    return true;
  }
  return false;
}

int Sweep::Main() {
  auto started = std::chrono::steady_clock::now();
  std::string error;
  if (!ReadExceptions(error)) {
    std::fprintf(stderr, "faultsweep: %s\n", error.c_str());
    return 2;
  }
  std::error_code ec;
  if (o_.work.empty()) {
    std::string pattern = (fs::temp_directory_path() / "faultsweep.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::fprintf(stderr, "faultsweep: cannot create a work directory\n");
      return 2;
    }
    work_ = pattern;
  } else {
    work_ = o_.work;
    fs::create_directories(work_, ec);
  }
  // The primed state: the machine after an unfaulted check.
  primed_ = work_ / "primed";
  fs::remove_all(primed_, ec);
  Outcome prime = Run(HostArgs(primed_, "check"), work_, "prime", {}, o_.timeoutSeconds);
  if (prime.timedOut || prime.signal || prime.exitCode != 0) {
    std::fprintf(stderr, "faultsweep: the unfaulted check on %s failed (exit %d):\n%s", o_.machine.c_str(),
                 prime.exitCode, prime.err.c_str());
    return 2;
  }
  devicesBefore_ = Devices(primed_, error);
  logBefore_ = SetupLog(primed_);

  // The counting run, checked like the others.
  fs::path countDir = work_ / "count";
  fs::create_directories(countDir, ec);
  std::string note;
  std::vector<Violation> baseline = RunPoint(nullptr, nullptr, countDir, note);
  std::vector<Call> calls = ReadTrace(countDir / "calls.trace");
  if (calls.empty()) {
    std::fprintf(stderr, "faultsweep: the counting run recorded no calls (%s)\n", (countDir / "calls.trace").c_str());
    return 2;
  }

  // The runs: each point of the counting run; in a pair sweep, each first fault with each point
  // after it of a counting run that has that first fault (the calls after it change with it).
  struct Planned {
    const FirstFault *first;
    const Call *point;
  };
  std::vector<Planned> runs;
  auto narrowed = [&](std::vector<const Call *> points, long long after) {
    std::erase_if(points, [&](const Call *p) {
      return p->n <= after || p->n < o_.from || (o_.to > 0 && p->n > o_.to) ||
             (!o_.only.empty() && p->function != o_.only);
    });
    return points;
  };
  const std::vector<FirstFault> firsts = o_.pairs.empty() ? std::vector<FirstFault>() : FirstFaults(calls);
  std::vector<std::vector<Call>> firstCalls(firsts.size());  // each first fault's counting run
  if (o_.pairs.empty()) {
    for (const Call *p : narrowed(FaultPoints(calls, o_.mode), 0)) runs.push_back({nullptr, p});
  } else if (firsts.empty()) {
    std::fprintf(stderr, "faultsweep: the run makes no call %s\n",
                 o_.pairsFunction.empty() ? ("numbered " + o_.pairs).c_str()
                                          : (std::to_string(o_.pairsNth) + " of " + o_.pairsFunction).c_str());
    return 2;
  }
  for (size_t i = 0; i < firsts.size(); ++i) {
    fs::path dir = work_ / ("count" + std::to_string(firsts[i].call));
    fs::create_directories(dir, ec);
    std::string firstNote;
    for (Violation &b : RunPoint(&firsts[i], nullptr, dir, firstNote))
      baseline.push_back({b.invariant, "with call " + std::to_string(firsts[i].call) + " " + firsts[i].function +
                                           " failed: " + b.what});
    firstCalls[i] = ReadTrace(dir / "calls.trace");
    for (const Call *p : narrowed(FaultPoints(firstCalls[i], o_.mode), firsts[i].call)) runs.push_back({&firsts[i], p});
  }
  std::vector<const Call *> points;
  for (const Planned &r : runs) points.push_back(r.point);
  std::map<std::string, std::string> names = Symbolise(points, fs::path(o_.kvnhost).parent_path());
  auto callerOf = [&](const Call &c) {
    auto it = names.find(c.site);
    std::string name = it != names.end() ? it->second : c.symbol.empty() ? "?" : c.symbol;
    return name + " [" + c.site + "]";
  };
  if (o_.listPoints) {
    for (const Planned &r : runs) {
      if (r.first) std::printf("after %lld %s: ", r.first->call, r.first->function.c_str());
      std::printf("%lld %s %s\n", r.point->n, r.point->function.c_str(), callerOf(*r.point).c_str());
    }
    return 0;
  }

  size_t violations = 0, excepted = 0, diverged = 0;
  for (auto &b : baseline) {
    std::printf("violation: unfaulted run: %s: %s\n", b.invariant.c_str(), b.what.c_str());
    ++violations;
  }

  std::atomic<size_t> next{0};
  std::mutex printLock;
  auto worker = [&] {
    for (size_t i; (i = next++) < runs.size();) {
      const Call &p = *runs[i].point;
      const FirstFault *first = runs[i].first;
      const std::string name = (first ? std::to_string(first->call) + "-" : "") + std::to_string(p.n);
      fs::path dir = work_ / ("call" + name);
      std::error_code dirError;
      fs::create_directories(dir, dirError);
      std::string runNote;
      std::vector<Violation> found = RunPoint(first, &p, dir, runNote);
      if (o_.crashTwice) {
        // The second run crashes at the same call, then at one half-way to the end.
        for (long long again : {p.n, p.n + (static_cast<long long>(calls.size()) - p.n) / 2 + 1}) {
          std::string againNote;
          for (Violation &f : RunPoint(nullptr, &p, dir, againNote, again)) {
            f.what = "(second crash at call " + std::to_string(again) + ") " + f.what;
            found.push_back(f);
          }
        }
      }
      std::string caller = callerOf(p);
      const std::string after =
          first ? " after call " + std::to_string(first->call) + " " + first->function + " failed" : "";
      std::lock_guard<std::mutex> lock(printLock);
      if (!runNote.empty()) {
        ++diverged;
        std::printf("note: call %lld %s from %s%s: %s\n", p.n, p.function.c_str(), caller.c_str(), after.c_str(),
                    runNote.c_str());
      }
      for (auto &f : found) {
        if (Excepted(p, caller, f)) {
          ++excepted;
          continue;
        }
        ++violations;
        std::printf("violation: call %lld %s %s%s, from %s: %s: %s\n", p.n, p.function.c_str(),
                    o_.crash ? "ending the process" : "failing", after.c_str(), caller.c_str(), f.invariant.c_str(),
                    f.what.c_str());
      }
      std::fflush(stdout);
      if (!o_.keep && found.empty()) fs::remove_all(dir, dirError);
    }
  };
  std::vector<std::thread> threads;
  for (unsigned j = 0; j < std::max(1u, o_.jobs); ++j) threads.emplace_back(worker);
  for (auto &t : threads) t.join();

  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::string kind = o_.crashTwice      ? ", crashes twice"
                           : o_.crash         ? ", crashes"
                           : o_.pairs.empty() ? ""
                                              : ", each after " + o_.pairs + " failed";
  std::printf(
      "faultsweep: %s on %s: %zu calls counted, %zu fault points (%s%s), %zu violations, %zu excepted, "
      "%zu diverged, %.0f s\n",
      o_.command.c_str(), fs::path(o_.machine).filename().c_str(), calls.size(), runs.size(), o_.mode.c_str(),
      kind.c_str(), violations, excepted, diverged, seconds);
  for (auto &e : exceptions_)
    if (e.used)
      std::printf("excepted %d time(s): %s:%d: %s\n", e.used, o_.exceptions.c_str(), e.line, e.reason.c_str());
  if (!o_.keep && violations == 0)
    fs::remove_all(work_, ec);
  else
    std::printf("faultsweep: the runs are kept in %s\n", work_.c_str());
  return violations ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"faultsweep: fails each winsim call of a kvnhost command in turn and checks what survives"};
  Options o;
  o.kvnhost = (hostfiles::ExecutableDirectory() / "kvnhost").string();
  app.add_option("--kvnhost", o.kvnhost, "the kvnhost to run")->capture_default_str();
  app.add_option("--machine", o.machine, "the machine template")->required();
  app.add_option("--package", o.package, "the package (default: kvnhost's)");
  app.add_option("--mode", o.mode,
                 "grouped: each call site failed at its first and last call; full: every call; baseline: none, "
                 "only the unfaulted run checked")
      ->check(CLI::IsMember({"grouped", "full", "baseline"}))
      ->capture_default_str();
  app.add_option("--exceptions", o.exceptions, "the documented exceptions");
  app.add_option("--timeout", o.timeoutSeconds, "seconds one run may take")->capture_default_str();
  app.add_option("--jobs", o.jobs, "runs at once")->capture_default_str();
  app.add_option("--work", o.work, "where the runs go (default: a new temporary directory)");
  app.add_option("--from", o.from, "fail no call before this one (a call number of the counting run)");
  app.add_option("--to", o.to, "fail no call after this one");
  app.add_option("--only", o.only, "fail only the calls of this function");
  app.add_option("--pairs", o.pairs,
                 "FUNCTION:N: fail the Nth call of FUNCTION in every run, and each later call too; FROM-TO: each call "
                 "numbered FROM to TO in turn as that first fault; FUNCTION:N..UNTIL: each call from the Nth of "
                 "FUNCTION to the next call of UNTIL");
  app.add_flag("--verbose-log", o.verboseLog, "run kvnhost with --verbose-log");
  app.add_flag("--keep", o.keep, "keep every run's state");
  app.add_flag("--list", o.listPoints, "print the fault points and stop");
  app.add_flag("--crash", o.crash, "end the process at each point instead (a crash fault), then run the command again");
  app.add_flag("--crash-twice", o.crashTwice,
               "as --crash, the second run crashing too (at the same call, and at a later one) before a third");
  app.add_option("command", o.command, "check | install")->required()->check(CLI::IsMember({"check", "install"}));
  CLI11_PARSE(app, argc, argv);
  o.crash = o.crash || o.crashTwice;
  if (!o.pairs.empty()) {
    size_t colon = o.pairs.find(':'), dash = o.pairs.find('-');
    bool ok;
    if (colon != std::string::npos) {
      o.pairsFunction = o.pairs.substr(0, colon);
      o.pairsNth = std::atoll(o.pairs.c_str() + colon + 1);
      if (size_t dots = o.pairs.find("..", colon); dots != std::string::npos) o.pairsUntil = o.pairs.substr(dots + 2);
      ok = !o.pairsFunction.empty() && o.pairsNth >= 1 &&
           (o.pairs.find("..") == std::string::npos || !o.pairsUntil.empty());
    } else {
      o.pairsFrom = std::atoll(o.pairs.c_str());
      o.pairsTo = dash == std::string::npos ? 0 : std::atoll(o.pairs.c_str() + dash + 1);
      ok = o.pairsFrom >= 1 && o.pairsTo >= o.pairsFrom;
    }
    if (!ok || o.crash) {
      std::fprintf(stderr,
                   "faultsweep: --pairs is FUNCTION:N (N from 1), FUNCTION:N..UNTIL or FROM-TO (call numbers), without "
                   "--crash\n");
      return 2;
    }
  }
  o.kvnhost = fs::absolute(o.kvnhost).string();
  o.machine = fs::absolute(o.machine).string();
  if (!o.package.empty()) o.package = fs::absolute(o.package).string();
  unsetenv("WINSIM_CALL_TRACE");  // the sweep's own loads are not traced
  return Sweep(std::move(o)).Main();
}
