// kvnhost matrix on Linux: the machines collected and sharded, each run in kvnhost processes
// of its own on a temporary state, --jobs machines at a time; a machine whose run crashes or
// passes --timeout is a row saying so, and the others go on.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "hostfiles.h"
#include "matrix.h"

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// The machine directories the operands name: a directory with a machine.toml, or a folder
// whose subfolders with one are machines. Sorted by path, so that shards are stable.
bool CollectMachines(const std::vector<std::string> &operands, std::vector<fs::path> &machines, std::string &error) {
  std::error_code ec;
  for (const std::string &operand : operands) {
    const fs::path dir = fs::absolute(operand, ec).lexically_normal();
    if (fs::is_regular_file(dir / "machine.toml", ec)) {
      machines.push_back(dir);
      continue;
    }
    if (!fs::is_directory(dir, ec)) {
      error = operand + " is not a machine directory or a folder of them";
      return false;
    }
    bool any = false;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      if (it->is_directory(ec) && fs::is_regular_file(it->path() / "machine.toml", ec)) {
        machines.push_back(it->path().lexically_normal());
        any = true;
      }
    if (!any) {
      error = "no machines in " + operand + " (a machine is a folder with a machine.toml)";
      return false;
    }
  }
  std::sort(machines.begin(), machines.end());
  machines.erase(std::unique(machines.begin(), machines.end()), machines.end());
  return true;
}

std::string OwnExecutable() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("kvnhost") : self.string();
}

std::string FirstLine(const std::string &text) {
  size_t start = text.find_first_not_of("\r\n");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_first_of("\r\n", start) - start);
}

// The line of standard error that says why a run ended: the last "winsim: the process ended"
// line of a crash, else the first "kvnhost:" line, else the first line.
std::string Reason(const std::string &err) {
  size_t crash = err.rfind("winsim: the process ended");
  if (crash != std::string::npos) return FirstLine(err.substr(crash));
  size_t own = err.find("kvnhost: ");
  return FirstLine(own == std::string::npos ? err : err.substr(own));
}

// One machine's runs, one kvnhost process after the other.
struct Task {
  fs::path machine;
  fs::path state;
  json row;
  std::vector<std::string> steps;  // "check", "install", "diff", "after"
  size_t next = 0;
  pid_t pid = -1;
  Clock::time_point started;
  fs::path out, err;
};

class Runner {
 public:
  Runner(const MatrixOptions &options, fs::path scratch)
      : options_(options), scratch_(std::move(scratch)), self_(OwnExecutable()) {}

  // Starts the next step of `task` (false when it has none left or it could not start).
  bool Start(Task &task) {
    if (task.next >= task.steps.size()) return false;
    const std::string step = task.steps[task.next];
    std::vector<std::string> args = {self_,
                                     "--package",
                                     options_.packageDir,
                                     "--machine",
                                     task.machine.string(),
                                     "--state",
                                     task.state.string(),
                                     "--lang",
                                     options_.lang,
                                     "--json",
                                     step == "after" ? "check" : step};
    task.out = task.state.string() + "." + step + ".out";
    task.err = task.state.string() + "." + step + ".err";
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
      sigset_t none;  // the matrix blocks SIGCHLD to wait for it; kvnhost starts with no signal blocked
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      if (!std::freopen(task.out.c_str(), "w", stdout) || !std::freopen(task.err.c_str(), "w", stderr)) _exit(127);
      std::vector<char *> argv;
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid < 0) {
      task.row["error"] = "cannot start kvnhost for " + step;
      return false;
    }
    task.pid = pid;
    if (task.next == 0) task.started = Clock::now();
    return true;
  }

  // What one step's process left: the row gains its fields, or its error. True when the
  // machine's runs go on.
  bool Finish(Task &task, int status) {
    const std::string step = task.steps[task.next++];
    task.pid = -1;
    const std::string out = hostfiles::ReadAll(task.out), err = hostfiles::ReadAll(task.err);
    std::error_code ec;
    fs::remove(task.out, ec);
    fs::remove(task.err, ec);
    const std::string command = step == "after" ? "check after the install" : step;
    if (WIFSIGNALED(status)) {
      task.row["error"] = command + " was ended by signal " + std::to_string(WTERMSIG(status));
      return false;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const bool ran = code == 0 || (step == "install" && (code == 1 || code == 3010 % 256));
    json answer = json::parse(out, nullptr, false);
    if (!ran || answer.is_discarded() || !answer.is_object()) {
      std::string reason = Reason(err);
      if (code == 137) reason = "crashed (exit status 137)" + (reason.empty() ? "" : ": " + reason);
      task.row["error"] = command + ": " + (reason.empty() ? "exit status " + std::to_string(code) : reason);
      return false;
    }
    json &row = task.row;
    if (step == "check") {
      for (const char *field :
           {"os_supported", "installed", "version_status", "preinstall_status", "preinstall_message", "package_version",
            "installed_version", "pending_restart", "machine_warnings", "simulator_notes", "prompts"})
        row[field] = answer.value(field, json());
    } else if (step == "install") {
      for (const char *field : {"install_result", "install_message", "setup_log"})
        row[field] = answer.value(field, json());
      row["restart_required"] = answer.value("install_result", 0) == 2;
      for (const char *list : {"prompts", "simulator_notes", "machine_warnings"})
        for (const json &item : answer.value(list, json::array()))
          if (std::find(row[list].begin(), row[list].end(), item) == row[list].end()) row[list].push_back(item);
    } else if (step == "diff") {
      int devices = 0, services = 0, files = 0, registry = 0, pending = 0;
      for (const json &item : answer.value("items", json::array())) {
        const std::string kind = item.value("kind", "");
        if (kind == "device") ++devices;
        if (kind == "service") ++services;
        if (kind == "registry") ++registry;
        if (kind == "pending restart") ++pending;
        // The package kvnhost placed in C:\Package is not the install's doing.
        if (kind == "file" && item.value("path", "").rfind("C:\\Package\\", 0) != 0) ++files;
      }
      row["devices_changed"] = devices;
      row["services_changed"] = services;
      row["files_changed"] = files;
      row["registry_changed"] = registry;
      row["pending_restart_operations"] = pending;
      row["diff"] = answer.value("changes", json::array());
    } else {
      row["installed_after"] = answer.value("installed", json());
      row["version_status_after"] = answer.value("version_status", json());
    }
    return true;
  }

  void Kill(Task &task) {
    if (task.pid <= 0) return;
    kill(task.pid, SIGKILL);
    int status = 0;
    waitpid(task.pid, &status, 0);
    task.row["error"] = task.steps[task.next] + " did not end within " + std::to_string(options_.timeoutSeconds) +
                        " s (the run was stopped)";
    task.pid = -1;
    task.next = task.steps.size();
  }

 private:
  const MatrixOptions &options_;
  fs::path scratch_;
  std::string self_;
};

// "matrix: 12/200 done, 1 failed, 3.1/s, about 60 s left" on one line of a terminal.
void ShowProgress(size_t done, size_t total, size_t failed, Clock::time_point start) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double rate = seconds > 0 ? double(done) / seconds : 0;
  const double left = rate > 0 ? double(total - done) / rate : 0;
  std::fprintf(stderr, "\rmatrix: %zu/%zu done, %zu failed, %.1f/s, about %.0f s left   ", done, total, failed, rate,
               left);
  if (done == total) std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

}  // namespace

int RunMatrix(const MatrixOptions &options) {
  std::vector<json> rows;
  if (!options.report.empty()) {
    std::string error;
    if (!ReadMatrixReport(options.report, rows, error)) {
      std::fprintf(stderr, "kvnhost: matrix: %s\n", error.c_str());
      return 2;
    }
    bool install = false;
    for (const json &row : rows) install = install || row.contains("install_result");
    std::fputs(MatrixOutput(rows, options.format, install).c_str(), stdout);
    return MatrixExitStatus(rows);
  }

  std::vector<fs::path> machines;
  std::string error;
  std::error_code ec;
  if (options.machines.empty()) error = "matrix needs at least one MACHINE (a machine directory or a folder of them)";
  if (!error.empty() || !CollectMachines(options.machines, machines, error)) {
    std::fprintf(stderr, "kvnhost: matrix: %s\n", error.c_str());
    return 2;
  }
  if (!fs::is_directory(options.packageDir, ec)) {
    std::fprintf(stderr, "kvnhost: matrix: package directory %s does not exist\n", options.packageDir.c_str());
    return 2;
  }
  std::string pattern = (fs::temp_directory_path(ec) / "kvnhost-matrix.XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "kvnhost: matrix: cannot create a directory under %s\n",
                 fs::temp_directory_path(ec).string().c_str());
    return 2;
  }
  struct Scratch {
    fs::path dir;
    ~Scratch() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } scratch{pattern};

  MatrixOptions run = options;
  run.packageDir = fs::absolute(options.packageDir, ec).string();
  // The machines of this shard; a task exists only while its machine runs, so the matrix
  // process holds little more than the list of paths (and, for the sorted forms, the rows).
  std::vector<size_t> chosen;
  for (size_t i = 0; i < machines.size(); ++i)
    if (InShard(i, options.shard, options.shards)) chosen.push_back(i);
  auto makeTask = [&](size_t i) {
    Task task;
    task.machine = machines[i];
    task.state = scratch.dir / std::to_string(i);
    task.row = {{"machine", machines[i].filename().string()}, {"path", machines[i].string()}, {"error", nullptr}};
    task.steps = {"check"};
    if (options.install) task.steps.insert(task.steps.end(), {"install", "diff", "after"});
    return task;
  };

  // The page needs each machine's diff and setup log; the other forms do not keep them.
  const bool keepTexts = options.format == "html" || options.format == "json";
  const bool stream = options.format == "json";
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t jobs = size_t(options.jobs > 0 ? options.jobs : int(cores));
  Runner runner(run, scratch.dir);
  const Clock::time_point start = Clock::now();
  size_t next = 0, done = 0, failed = 0;
  bool restart = false;
  std::vector<Task> active;
  auto complete = [&](Task &task) {
    ++done;
    if (task.next > 0) task.row["seconds"] = std::chrono::duration<double>(Clock::now() - task.started).count();
    fs::remove_all(task.state, ec);
    const Outcome outcome = OutcomeOf(task.row);
    failed += outcome == Outcome::Failed;
    restart = restart || outcome == Outcome::Restart;
    if (!keepTexts) {
      task.row.erase("diff");
      task.row.erase("setup_log");
    }
    if (stream) {
      std::printf("%s\n", task.row.dump().c_str());
      std::fflush(stdout);
    } else {
      rows.push_back(std::move(task.row));
    }
    if (terminal) ShowProgress(done, chosen.size(), failed, start);
  };

  // The children's ends arrive as SIGCHLD, waited for with a deadline so that the time-outs
  // are kept without polling.
  sigset_t childSignals;
  sigemptyset(&childSignals);
  sigaddset(&childSignals, SIGCHLD);
  sigprocmask(SIG_BLOCK, &childSignals, nullptr);
  while (done < chosen.size()) {
    while (active.size() < jobs && next < chosen.size()) {
      Task task = makeTask(chosen[next++]);
      if (runner.Start(task))
        active.push_back(std::move(task));
      else
        complete(task);
    }
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      auto task = std::find_if(active.begin(), active.end(), [&](const Task &t) { return t.pid == pid; });
      if (task == active.end()) continue;
      if (!runner.Finish(*task, status) || !runner.Start(*task)) {
        complete(*task);
        active.erase(task);
      }
      continue;
    }
    const Clock::time_point now = Clock::now();
    for (auto task = active.begin(); task != active.end();) {
      if (now - task->started > std::chrono::seconds(options.timeoutSeconds)) {
        runner.Kill(*task);
        complete(*task);
        task = active.erase(task);
      } else {
        ++task;
      }
    }
    const timespec wait = {0, 50 * 1000 * 1000};
    sigtimedwait(&childSignals, nullptr, &wait);
  }
  sigprocmask(SIG_UNBLOCK, &childSignals, nullptr);

  if (stream) return failed ? 1 : restart ? 3010 : 0;
  std::fputs(MatrixOutput(rows, options.format, options.install).c_str(), stdout);
  return MatrixExitStatus(rows);
}
