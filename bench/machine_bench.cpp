// Section 7: a large machine (100,000 generated devices, machine.toml of about 75 MB) opened
// by winsim: the load's CPU time beside plain reading of the same file, and the peak memory
// of the process that loads it (VmHWM). Each load runs in a fresh process of its own, so the
// figure is the load's and not what this process held before.
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

// Opens the machine in a fresh kvnbench process (`--load-machine DIR`, LoadMachineAndReport)
// and answers what the load cost there. A forked child would start with all this process
// holds, the machines of the earlier sections included, and count it in its peak.
LoadSample LoadInChild(const fs::path &machine) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw SetupError("cannot create a pipe");
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) throw SetupError("cannot fork");
  if (pid == 0) {
    close(pipeFds[0]);
    dup2(pipeFds[1], STDOUT_FILENO);
    execl("/proc/self/exe", "kvnbench", "--load-machine", machine.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  std::string out;
  char chunk[256];
  for (ssize_t got; (got = read(pipeFds[0], chunk, sizeof chunk)) > 0;) out.append(chunk, size_t(got));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  LoadSample s;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::sscanf(out.c_str(), "%lf %ld", &s.ms, &s.peakKb) != 2)
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

int LoadMachineAndReport(const fs::path &machine) {
  std::string error;
  Clock::time_point t0 = Clock::now();
  bool ok = winsim::OpenMachine(machine, error);
  double ms = MillisecondsSince(t0);
  if (!ok) {
    std::fprintf(stderr, "kvnbench: %s\n", error.c_str());
    return 1;
  }
  // The machine is left as it is: the process ends without saving it.
  std::printf("%.3f %ld\n", ms, HighWaterKb());
  std::fflush(stdout);
  _exit(0);
}

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
