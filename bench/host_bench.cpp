// Section 4: whole `kvnhost --json check` and `install` processes: on the example machine
// against the same process doing only the machine's part, then on machines with 100 supported
// adapters, each beside the machine's load and save (timed in this process on the same
// machine) and the component's initialisation there (section 2's measure).
#include <algorithm>
#include <string>
#include <vector>

#include <winsim.h>

#include "bench.h"
#include "wineprefix.h"

namespace bench {

namespace {

constexpr int kAdapters = 100;

struct HostSample {
  int devices = 0;
  double check = 0, install = 0, load = 0, save = 0, init = 0;  // ms
};

void CopyMachine(const fs::path &from, const fs::path &to) {
  std::error_code ec;
  fs::remove_all(to, ec);
  fs::copy(from, to, fs::copy_options::recursive, ec);
  if (ec) throw SetupError("cannot copy " + from.string() + ": " + ec.message());
}

// One kvnhost process on a fresh copy of the machine; the copy is not timed.
double HostMilliseconds(const Options &o, const fs::path &machine, const fs::path &work, const std::string &command) {
  fs::path state = work / "state";
  CopyMachine(machine, state);
  double before = ChildrenCpuMilliseconds();
  winetest::RunResult run =
      winetest::Run({o.kvnhost.string(), "--json", "--package", o.package.string(), "--state", state.string(), command},
                    {}, work, work, 3600);
  double ms = ChildrenCpuMilliseconds() - before;
  if (!run.Finished() || run.out.empty() || run.out[0] != '{')
    throw SetupError("kvnhost " + command + " on " + machine.string() + ": " + run.Describe());
  return ms;
}

// One kvnhost process on the machine itself: kvnhost makes its temporary state, runs, and
// removes the state, all of it in the child's time.
double WholeRunMilliseconds(const Options &o, const fs::path &work, const std::string &command) {
  double before = ChildrenCpuMilliseconds();
  winetest::RunResult run = winetest::Run(
      {o.kvnhost.string(), "--json", "--package", o.package.string(), "--machine", o.machine.string(), command}, {},
      work, work, 600);
  double ms = ChildrenCpuMilliseconds() - before;
  if (!run.Finished() || run.out.empty() || (run.out[0] != '{' && run.out[0] != '['))
    throw SetupError("kvnhost " + command + " on " + o.machine.string() + ": " + run.Describe());
  return ms;
}

// The floor is `kvnhost --json devices` on the same machine: the state made, loaded and saved
// and removed again, its devices listed, and no component loaded.
void ExampleMachineRows(const Options &o, Report &report) {
  TempDir dir(o.keep);
  const int repeat = o.quick ? 2 : std::max(o.repeat, 10);
  const double floor = Best(repeat, [&] { return WholeRunMilliseconds(o, dir.Path(), "devices"); });
  const std::string name = o.machine.filename().string();
  const std::string floorText = Fixed(floor, 1) + " ms (devices: the machine's part only)";
  for (auto [command, most] : {std::pair{"check", 2.0}, std::pair{"install", 3.0}}) {
    const double ms = Best(repeat, [&] { return WholeRunMilliseconds(o, dir.Path(), command); });
    report.Add(AtMost(std::string(command) + " on " + name, Fixed(ms, 1) + " ms", floorText, ms / floor, most));
  }
}

HostSample Measure(const Options &o, int count, int repeat) {
  TempDir dir(o.keep);
  fs::path machine = dir.Path() / "machine";
  WriteMachine(o, count, kAdapters, machine);
  HostSample s;
  s.devices = count;
  s.check = Best(repeat, [&] { return HostMilliseconds(o, machine, dir.Path(), "check"); });
  s.install = Best(repeat, [&] { return HostMilliseconds(o, machine, dir.Path(), "install"); });

  fs::path copy = dir.Path() / "inprocess";
  s.load = s.save = 0;
  for (int k = 0; k < repeat; ++k) {
    CopyMachine(machine, copy);
    Clock::time_point t0 = Clock::now();
    OpenMachine(copy);
    double load = MillisecondsSince(t0);
    if (k == 0) {
      winsim::SetProcess(kHostImage, L"\"C:\\Package\\kvnhost.exe\"", kPackageDir);
      s.init = InitialisationMilliseconds(repeat);
    }
    Clock::time_point t1 = Clock::now();
    CloseMachine();
    double save = MillisecondsSince(t1);
    if (k == 0 || load < s.load) s.load = load;
    if (k == 0 || save < s.save) s.save = save;
  }
  return s;
}

}  // namespace

void HostSection(const Options &o, Report &report) {
  report.Section("4 kvnhost --json check and install (whole process), then with 100 supported adapters");
  ExampleMachineRows(o, report);
  const std::vector<int> sizes = o.quick ? std::vector<int>{200, 1000} : std::vector<int>{1000, 10000};
  int repeat = std::min(o.repeat, 3);
  std::vector<HostSample> samples;
  for (int count : sizes) {
    HostSample s = Measure(o, count, repeat);
    samples.push_back(s);
    std::string context = "machine load " + Fixed(s.load, 0) + " ms, save " + Fixed(s.save, 0) +
                          " ms; initialisation " + Fixed(s.init, 0) + " ms";
    for (auto [name, ms] : {std::pair{"check", s.check}, std::pair{"install", s.install}})
      report.Add(Row{std::string(name) + ", " + Grouped(count) + " devices",
                     Fixed(ms, 0) + " ms (" + Fixed(ms * 1000 / count, 1) + " us/device)", context, NAN, "",
                     Verdict::Info});
  }
  const HostSample &a = samples.front(), &b = samples.back();
  for (auto [name, small, large] :
       {std::tuple{"check", a.check, b.check}, std::tuple{"install", a.install, b.install}}) {
    double perSmall = small / a.devices, perLarge = large / b.devices;
    report.Add(AtMost(std::string(name) + " per device at " + Grouped(b.devices) + " against " + Grouped(a.devices),
                      Fixed(perLarge * 1000, 1) + " us", Fixed(perSmall * 1000, 1) + " us", perLarge / perSmall, 1.3));
  }
}

}  // namespace bench
