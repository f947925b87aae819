// Section 7: a large machine (100,000 generated devices, machine.toml of about 37 MB) opened
// by winsim: the load's CPU time beside plain reading of the same file, and the peak memory
// of the process that loads it (VmHWM). Each load runs in a child process of its own, whose
// high-water mark is reset before the load, so the figure is the load's and not what this
// process held before.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <winsim.h>

#include "bench.h"

namespace bench {

namespace {

constexpr double kGoalMilliseconds = 2000, kGoalMegabytes = 600;

struct LoadSample {
  double ms = 0;    // CPU time of winsim::OpenMachine
  long peakKb = 0;  // VmHWM of the loading process
};

long HighWaterKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// Opens the machine in a child process and answers what the load cost there.
LoadSample LoadInChild(const fs::path &machine) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw SetupError("cannot create a pipe");
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) throw SetupError("cannot fork");
  if (pid == 0) {
    close(pipeFds[0]);
    // "5" resets the process's peak resident size to its current one.
    std::ofstream("/proc/self/clear_refs") << "5";
    LoadSample s;
    std::string error;
    Clock::time_point t0 = Clock::now();
    bool ok = winsim::OpenMachine(machine, error);
    s.ms = MillisecondsSince(t0);
    s.peakKb = HighWaterKb();
    if (!ok) s.ms = -1;
    // The machine is left as it is: the process ends without saving it.
    if (write(pipeFds[1], &s, sizeof s) != sizeof s) _exit(1);
    _exit(ok ? 0 : 1);
  }
  close(pipeFds[1]);
  LoadSample s;
  ssize_t got = read(pipeFds[0], &s, sizeof s);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got != ssize_t(sizeof s) || s.ms < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw SetupError("winsim cannot load the machine " + machine.string());
  return s;
}

// A row whose goal is a bound on the measured value itself; the ratio shows it beside its floor.
Row Bounded(std::string figure, double value, const std::string &unit, double floor, const std::string &floorText,
            double most) {
  Row r{std::move(figure), Fixed(value, 0) + " " + unit,        floorText,
        value / floor,     "<= " + Fixed(most, 0) + " " + unit, Verdict::NotMet};
  if (value <= most) r.verdict = Verdict::Met;
  return r;
}

}  // namespace

void LargeMachineSection(const Options &o, Report &report) {
  const int devices = o.quick ? 2000 : 100000;
  report.Section("7 Large machine: winsim's load of " + Grouped(devices) + " devices");
  TempDir dir(o.keep);
  fs::path machine = dir.Path() / "machine";
  WriteMachine(o, devices, 100, machine);
  fs::path toml = machine / "machine.toml";
  double bytes = double(fs::file_size(toml));
  int repeat = std::min(o.repeat, 3);
  LoadSample best;
  for (int k = 0; k < repeat; ++k) {
    LoadSample s = LoadInChild(machine);
    if (k == 0 || s.ms < best.ms) best.ms = s.ms;
    if (k == 0 || s.peakKb < best.peakKb) best.peakKb = s.peakKb;
  }
  double read = Best(repeat, [&] {
    Clock::time_point t0 = Clock::now();
    std::string text = ReadAll(toml);
    return MillisecondsSince(t0);
  });
  std::string what = Grouped(devices) + " devices (machine.toml of " + Megabytes(bytes) + ")";
  report.Add(Bounded("load of " + what, best.ms, "ms", read, Fixed(read, 1) + " ms (plain read)", kGoalMilliseconds));
  report.Add(Bounded("peak memory of the load, " + Grouped(devices) + " devices", double(best.peakKb) / 1024, "MB",
                     bytes / 1048576, Fixed(bytes / 1048576, 1) + " MB (machine.toml)", kGoalMegabytes));
}

}  // namespace bench
