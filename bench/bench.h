// kvnbench's shared parts: the options, the table every section adds its rows to, the clock,
// and the generated machine the sections run on.
#pragma once

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

struct SetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::vector<int> sections;  // 1..7; empty: all
  std::vector<int> sizes;     // devices of section 2 (default 100 1000 10000 100000)
  int repeat = 5;
  bool quick = false;  // the smoke run: small sizes, one repeat
  bool keep = false;
  fs::path package = KVN_EXAMPLE_PACKAGE;
  fs::path machine = KVN_DEFAULT_MACHINE;
  fs::path component = KVN_COMPONENT_LIBRARY;
  fs::path kvnhost = KVN_LINUX_KVNHOST;
  fs::path windowsBin = KVN_WINDOWS_BIN;
};

// How a row compares with its goal. Info rows carry context (no goal); NotMeasured rows say
// in their value why.
enum class Verdict { Met, NotMet, Info, NotMeasured };

struct Row {
  std::string figure;  // what was measured, with its size
  std::string value;   // the measurement, with its unit
  std::string floor;   // the least it could cost, with its unit; empty when none
  double ratio = NAN;  // value against floor (or against the smaller size for linearity)
  std::string goal;    // e.g. "<= 1.30"
  Verdict verdict = Verdict::Info;
};

// Ratio rows: met when `ratio` <= `most` (or >= `least` for throughputs).
Row AtMost(std::string figure, std::string value, std::string floor, double ratio, double most);
Row AtLeast(std::string figure, std::string value, std::string floor, double ratio, double least);

class Report {
 public:
  void Section(const std::string &title);
  void Add(Row row);
  // A fault of the measured code the benchmark found (a save that is not byte-identical,
  // winsim and Wine reading an INF differently): the run exits with 1.
  void Fault(const std::string &what);
  void Print() const;
  bool Faulty() const { return !faults_.empty(); }

 private:
  struct Entry {
    std::string section;  // set on the first row of a section
    Row row;
  };
  std::vector<Entry> rows_;
  std::string pendingSection_;
  std::vector<std::string> faults_;
};

// The process's CPU time (user and system): what the measured code costs, without the time
// other programs on the machine take from it. Every section measures with it, so figures and
// floors are alike; kvnhost runs are measured by the CPU time of the child process.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<Clock>;
  static constexpr bool is_steady = true;
  static time_point now() noexcept;
};

// CPU time of the finished child processes this process waited for, in milliseconds.
double ChildrenCpuMilliseconds();

inline double MillisecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The least of `repeat` timings of `run` in milliseconds; `run` answers its own time (so it
// can leave its preparation and checks out).
double Best(int repeat, const std::function<double()> &run);

std::string Fixed(double value, int decimals);
std::string Grouped(long long value);  // 100,000
std::string Megabytes(double bytes);   // "10.0 MB"

std::string ReadAll(const fs::path &p);
void WriteAll(const fs::path &p, const std::string &bytes);
// A new directory under the temporary folder; `keep` leaves it in place at destruction.
class TempDir {
 public:
  explicit TempDir(bool keep);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const fs::path &Path() const { return path_; }

 private:
  fs::path path_;
  bool keep_;
};

// ---- the generated machine (machines.cpp) ----------------------------------------------------

// The template machine's [os], [machine], registry and drive C: with `count` generated devices
// of four setup classes, `adapters` of them supported adapters of the example package spread
// evenly, and the package with the component at C:\Package. Writes the directory `dir`.
void WriteMachine(const Options &o, int count, int adapters, const fs::path &dir);
// Opens `dir` in winsim; throws SetupError with the reason when it does not load.
void OpenMachine(const fs::path &dir);
void CloseMachine();

extern const wchar_t kComponent[];
extern const wchar_t kHostImage[];
extern const wchar_t kPackageDir[];

// ---- the sections ----------------------------------------------------------------------------

void XmlSection(const Options &o, Report &report);
void InitialisationSection(const Options &o, Report &report);
void InfSection(const Options &o, Report &report);
void HostSection(const Options &o, Report &report);
void RegistrySection(const Options &o, Report &report);
void MatrixSection(const Options &o, Report &report);
void LargeMachineSection(const Options &o, Report &report);
// The child of section 7 (kvnbench --load-machine DIR): opens the machine and prints the
// load's CPU milliseconds and the process's peak resident kilobytes.
int LoadMachineAndReport(const fs::path &machine);

// The initialisation of the component (LoadLibraryW + FreeLibrary) on the open machine, best
// of `repeat`; item 4 shows it beside the whole check.
double InitialisationMilliseconds(int repeat);

}  // namespace bench
