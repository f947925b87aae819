// Section 6: kvnhost matrix over a fleet of copies of the default machine (each with its own
// computer name and one adapter on an older driver), with --jobs 1 and --jobs 2, beside the
// floor of as many `kvnhost --json check` processes run one after another; and the peak memory
// of the matrix process itself at two fleet sizes. Wall-clock time: the figure is how long an
// administrator waits, and --jobs 2 is faster only by the clock.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <toml++/toml.h>

#include "bench.h"

extern char **environ;

namespace bench {

namespace {

using Wall = std::chrono::steady_clock;

// Writes `count` machines under `fleet`: each based on the default machine, its own computer
// name, and the first adapter's driver one release older.
void WriteFleet(const Options &o, int count, const fs::path &fleet) {
  toml::table base = toml::parse_file((o.machine / "machine.toml").string());
  toml::array *devices = base["devices"].as_array();
  if (!devices || devices->empty() || !devices->front().as_table())
    throw SetupError(o.machine.string() + " has no [[devices]] to make older");
  toml::table adapter = *devices->front().as_table();
  if (toml::table *driver = adapter["driver"].as_table()) driver->insert_or_assign("version", "1.9.100.0");
  std::ostringstream entry;
  entry << toml::table{{"devices", toml::array{adapter}}};
  for (int i = 0; i < count; ++i) {
    const fs::path dir = fleet / ("srv" + std::to_string(10000 + i));
    fs::create_directories(dir / "drive_c");
    WriteAll(dir / "machine.toml", "base = '" + o.machine.string() + "'\n[machine]\ncomputer_name = \"SRV" +
                                       std::to_string(10000 + i) + "\"\n\n" + entry.str() + "\n");
  }
}

struct Run {
  double seconds = 0;
  long peakKb = 0;  // the process's own high-water mark (VmHWM), read while it ran
  int status = -1;
};

// Runs `args` with its output discarded, timing it by the wall clock and watching its own
// memory high-water mark. posix_spawn, not fork: a fork would copy this process's page tables
// (large after the earlier sections) and the child would show this process's high-water mark
// until its exec.
Run Measure(const std::vector<std::string> &args) {
  Run r;
  const Wall::time_point start = Wall::now();
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed) throw SetupError("cannot start " + args[0]);
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  for (;;) {
    int raw = 0;
    if (waitpid(pid, &raw, WNOHANG) == pid) {
      r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      break;
    }
    std::ifstream in(status);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("VmHWM:", 0) == 0) r.peakKb = std::max(r.peakKb, std::stol(line.substr(6)));
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  r.seconds = std::chrono::duration<double>(Wall::now() - start).count();
  return r;
}

std::vector<std::string> Matrix(const Options &o, const fs::path &fleet, int jobs) {
  return {o.kvnhost.string(),   "--json", "--package",   o.package.string(), "--jobs",
          std::to_string(jobs), "matrix", fleet.string()};
}

}  // namespace

void MatrixSection(const Options &o, Report &report) {
  const int count = o.quick ? 20 : 1000, small = o.quick ? 5 : 100;
  report.Section("6 kvnhost matrix over " + Grouped(count) + " machines (wall clock)");
  TempDir dir(o.keep);
  const fs::path fleet = dir.Path() / "fleet", few = dir.Path() / "few";
  WriteFleet(o, count, fleet);
  WriteFleet(o, small, few);

  // The floor: the same checks as separate processes, one after another.
  double floor = 0;
  for (const auto &machine : fs::directory_iterator(fleet)) {
    Run one = Measure(
        {o.kvnhost.string(), "--json", "--package", o.package.string(), "--machine", machine.path().string(), "check"});
    if (one.status != 0) throw SetupError("kvnhost check on " + machine.path().string() + " failed");
    floor += one.seconds;
  }
  Run one = Measure(Matrix(o, fleet, 1)), two = Measure(Matrix(o, fleet, 2)), fewer = Measure(Matrix(o, few, 1));
  for (const Run *r : {&one, &two, &fewer})
    if (r->status != 0) throw SetupError("kvnhost matrix exited with " + std::to_string(r->status));
  report.Add(AtMost("matrix --jobs 1, " + Grouped(count) + " machines", Fixed(one.seconds, 2) + " s",
                    Fixed(floor, 2) + " s (the checks one after another)", one.seconds / floor, 1.1));
  report.Add(AtLeast("matrix --jobs 2 against --jobs 1", Fixed(two.seconds, 2) + " s", Fixed(one.seconds, 2) + " s",
                     one.seconds / two.seconds, 1.8));
  report.Add(AtMost("matrix process peak memory, " + Grouped(count) + " against " + Grouped(small) + " machines",
                    Fixed(double(one.peakKb) / 1024, 1) + " MB", Fixed(double(fewer.peakKb) / 1024, 1) + " MB",
                    double(one.peakKb) / double(std::max(1L, fewer.peakKb)), 1.2));
}

}  // namespace bench
