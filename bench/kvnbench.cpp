// kvnbench: each cost of the component and of winsim measured beside the least it could be,
// on generated machines as large as real ones. Every figure is a ratio against a floor built
// in the same run from the same machine and data, so it holds on a noisy machine.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include <winsim.h>

#include "bench.h"

namespace bench {

namespace {

const char kUsage[] =
    "usage: kvnbench [--section N]... [--quick] [--repeat K] [--keep] [--package DIR] [--machine DIR]\n"
    "                [--windows-bin DIR] [SIZE...]\n"
    "  one table of figures, each against its floor, its goal and whether it is met:\n"
    "    1 XML load against Expat alone     2 initialisation against its SetupAPI calls\n"
    "    3 INF parsing against Wine         4 kvnhost check and install\n"
    "    5 machine load and save against plain reading and writing\n"
    "    7 a large machine's load: its time and peak memory\n"
    "  --section N     only section N (repeatable; default: all)\n"
    "  --quick         small sizes and one repeat (the smoke run of the tests)\n"
    "  --repeat K      best of K runs (default 5)\n"
    "  SIZE...         the device counts of section 2 (default 100 1000 10000 100000)\n"
    "  --package DIR   the package placed at C:\\Package (default: the built example package)\n"
    "  --machine DIR   the template machine (default: the built default example machine)\n"
    "  --windows-bin DIR  the Windows build's bin folder, for section 3 under Wine\n"
    "  --keep          keep the generated machines and files and print where they are\n"
    "  exits with 1 when a section cannot run or finds a fault (a save that is not\n"
    "  byte-identical, winsim and Wine reading an INF differently); unmet goals are rows\n";

bool ParseCount(const char *text, int low, int high, int &out) {
  char *end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < low || v > high) return false;
  out = int(v);
  return true;
}

// Answers 0 to go on, -1 after --help, or the exit status.
int ParseOptions(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kvnbench: %s needs a value\n%s", a.c_str(), kUsage);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--quick") {
      o.quick = true;
    } else if (a == "--repeat" || a == "--section") {
      const char *v = value();
      if (!v) return 2;
      int n = 0;
      bool repeat = a == "--repeat";
      if (!ParseCount(v, 1, repeat ? 1000 : 7, n)) {
        std::fprintf(stderr, "kvnbench: %s %s is not a number from 1 to %d\n", a.c_str(), v, repeat ? 1000 : 7);
        return 2;
      }
      if (repeat)
        o.repeat = n;
      else
        o.sections.push_back(n);
    } else if (a == "--package" || a == "--machine" || a == "--windows-bin") {
      const char *v = value();
      if (!v) return 2;
      (a == "--package" ? o.package : a == "--machine" ? o.machine : o.windowsBin) = v;
    } else {
      int n = 0;
      if (!ParseCount(a.c_str(), 1, 1000000, n)) {
        std::fprintf(stderr, "kvnbench: %s is neither an option nor a device count from 1 to 1000000\n%s", a.c_str(),
                     kUsage);
        return 2;
      }
      o.sizes.push_back(n);
    }
  }
  if (o.quick) o.repeat = 1;
  if (o.sizes.empty()) o.sizes = o.quick ? std::vector<int>{100, 1000} : std::vector<int>{100, 1000, 10000, 100000};
  return 0;
}

// Two decimals, three for ratios below 0.1 (a floor many times the figure).
std::string RatioText(double ratio) { return Fixed(ratio, ratio < 0.1 ? 3 : 2); }

const char *VerdictText(Verdict v) {
  switch (v) {
    case Verdict::Met: return "met";
    case Verdict::NotMet: return "not met";
    case Verdict::NotMeasured: return "not measured";
    default: return "";
  }
}

}  // namespace

Row AtMost(std::string figure, std::string value, std::string floor, double ratio, double most) {
  Row r{std::move(figure), std::move(value), std::move(floor), ratio, "<= " + Fixed(most, 2), Verdict::NotMet};
  if (ratio <= most) r.verdict = Verdict::Met;
  return r;
}

Row AtLeast(std::string figure, std::string value, std::string floor, double ratio, double least) {
  Row r{std::move(figure), std::move(value), std::move(floor), ratio, ">= " + Fixed(least, 2), Verdict::NotMet};
  if (ratio >= least) r.verdict = Verdict::Met;
  return r;
}

void Report::Section(const std::string &title) {
  pendingSection_ = title;
  std::printf("kvnbench: %s...\n", title.c_str());
  std::fflush(stdout);
}

void Report::Add(Row row) {
  std::printf("  %s: %s%s%s%s%s\n", row.figure.c_str(), row.value.c_str(), row.floor.empty() ? "" : " against ",
              row.floor.c_str(), std::isnan(row.ratio) ? "" : (", ratio " + RatioText(row.ratio)).c_str(),
              row.goal.empty() ? "" : (", goal " + row.goal + ": " + VerdictText(row.verdict)).c_str());
  std::fflush(stdout);
  rows_.push_back(Entry{pendingSection_, std::move(row)});
  pendingSection_.clear();
}

void Report::Fault(const std::string &what) {
  std::fprintf(stderr, "kvnbench: FAULT: %s\n", what.c_str());
  faults_.push_back(what);
}

void Report::Print() const {
  // A Markdown table, so the README can show a run as it is printed.
  std::printf("\n| figure | measured | floor | ratio | goal | |\n|---|--:|--:|--:|--:|---|\n");
  for (const Entry &e : rows_) {
    if (!e.section.empty()) std::printf("| **%s** | | | | | |\n", e.section.c_str());
    const Row &r = e.row;
    std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.value.c_str(), r.floor.c_str(),
                std::isnan(r.ratio) ? "" : RatioText(r.ratio).c_str(), r.goal.c_str(), VerdictText(r.verdict));
  }
  for (const std::string &f : faults_) std::printf("\nFAULT: %s\n", f.c_str());
  std::fflush(stdout);
}

Clock::time_point Clock::now() noexcept {
  // glibc's clock() is the process's CPU time, in microseconds.
  return time_point(duration(rep(std::clock()) * (1000000000 / CLOCKS_PER_SEC)));
}

double ChildrenCpuMilliseconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto ms = [](const timeval &t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double Best(int repeat, const std::function<double()> &run) {
  double best = 0;
  for (int k = 0; k < std::max(repeat, 1); ++k) {
    double ms = run();
    if (k == 0 || ms < best) best = ms;
  }
  return best;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Grouped(long long value) {
  std::string digits = std::to_string(value), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Megabytes(double bytes) { return Fixed(bytes / 1e6, bytes < 1e6 ? 2 : 1) + " MB"; }

std::string ReadAll(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw SetupError("cannot read " + p.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const fs::path &p, const std::string &bytes) {
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  if (!out.flush()) throw SetupError("cannot write " + p.string());
}

TempDir::TempDir(bool keep) : keep_(keep) {
  std::string pattern = (fs::temp_directory_path() / "kvnbench.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw SetupError("cannot create a directory under " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (keep_)
    std::printf("  kept %s\n", path_.c_str());
  else
    fs::remove_all(path_, ec);
}

}  // namespace bench

int main(int argc, char **argv) {
  using namespace bench;
  if (argc == 3 && std::string(argv[1]) == "--load-machine") return LoadMachineAndReport(argv[2]);
  Options o;
  if (int status = ParseOptions(argc, argv, o)) return status < 0 ? 0 : status;

  struct Section {
    int number;
    void (*run)(const Options &, Report &);
  };
  const Section sections[] = {
      {1, XmlSection},      {2, InitialisationSection}, {3, InfSection},          {4, HostSection},
      {5, RegistrySection}, {6, MatrixSection},         {7, LargeMachineSection},
  };
  Report report;
  int status = 0;
  for (const Section &s : sections) {
    if (!o.sections.empty() && std::find(o.sections.begin(), o.sections.end(), s.number) == o.sections.end()) continue;
    try {
      s.run(o, report);
    } catch (const std::exception &e) {
      if (winsim::IsMachineOpen()) winsim::CloseMachine();
      std::fprintf(stderr, "kvnbench: section %d: %s\n", s.number, e.what());
      status = 1;
    }
  }
  report.Print();
  return report.Faulty() ? 1 : status;
}
