// Section 3: INF files walked by infwalk.h, by winsim in this process and by the Windows build
// of infwalk under Wine on the same file in the same run when both are present: a generated INF
// (models, install and registry sections, strings, quoted fields, continuations, comments) of
// two sizes, and one of the shape large real INFs have (a few sections of long lines of many
// fields). Both sides are timed by the wall clock around the walk.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <winsim.h>

#include "bench.h"
#include "infwalk.h"
#include "wineprefix.h"

namespace bench {

namespace {

// An INF of about `bytes` bytes. Its [Sections] list names every section the walk reads.
std::string GeneratedInf(size_t bytes) {
  std::string body, strings = "[Strings]\r\nProvider = \"Example Networks\"\r\nMfg = \"Example Networks, Inc.\"\r\n";
  std::vector<std::string> sections = {"Version", "Manufacturer"};
  body.reserve(bytes + 4096);
  body +=
      "[Version]\r\nSignature = \"$Windows NT$\"\r\nClass = Net\r\n"
      "ClassGuid = {4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider = %Provider%\r\n"
      "DriverVer = 05/01/2019,1.10.128.0\r\n\r\n[Manufacturer]\r\n%Mfg% = Models, NTamd64\r\n\r\n";
  char text[1024];
  for (unsigned i = 0; body.size() + strings.size() < bytes; ++i) {
    std::string n = std::to_string(i);
    sections.insert(sections.end(), {"Models.NTamd64." + n, "Install." + n, "Reg." + n, "Files." + n});
    body += "[Models.NTamd64." + n + "]\r\n";
    for (unsigned j = 0; j < 8; ++j) {
      std::snprintf(text, sizeof text,
                    "%%Dev.%u.%u%% = Install.%u, PCI\\VEN_8086&DEV_%04X&SUBSYS_%04X8086, PCI\\VEN_8086&DEV_%04X\r\n", i,
                    j, i, 0x1000 + i % 0xF000, j, 0x1000 + i % 0xF000);
      body += text;
      std::snprintf(text, sizeof text, "Dev.%u.%u = \"Ethernet Adapter %u, port %u\"\r\n", i, j, i, j);
      strings += text;
    }
    std::snprintf(text, sizeof text,
                  "\r\n[Install.%u]\r\nAddReg = Reg.%u\r\nCopyFiles = Files.%u\r\n"
                  "Characteristics = 0x84 ; NCF_HAS_UI | NCF_PHYSICAL\r\nBusType = 5\r\n\r\n"
                  "[Reg.%u]\r\nHKR, Ndi, Service, 0, \"z40e\"\r\nHKR, Ndi\\Interfaces, UpperRange, 0, \"ndis5\"\r\n"
                  "HKR, \"Ndi\\params\\*SpeedDuplex\\enum\", \"0\", 0, \"Auto, negotiated\"\r\n"
                  "HKR, Ndi\\params\\*JumboPacket, ParamDesc, 0, %%Provider%%\r\n"
                  "HKR, , Ports%u, 0x10000, \"a\", \"b\", \\\r\n      \"c\", \"d\" ; continued\r\n\r\n"
                  "[Files.%u]\r\nz40e64.sys,,,0x00000002\r\nz40e64.din\r\n\r\n",
                  i, i, i, i, i, i);
    body += text;
  }
  std::string list = "[Sections]\r\n";
  for (const std::string &s : sections) list += s + "\r\n";
  return list + "Strings\r\n\r\n" + body + strings;
}

// An INF of the shape real drivers' large INFs have: a few sections of thousands of long lines,
// each of 20 to 60 short fields (flags, numbers, names, some quoted, some %strkey%), about
// `bytes` bytes in all.
std::string LongLineInf(size_t bytes) {
  const std::vector<std::string> sections = {"Version", "Strings", "Ids.NTamd64", "Params.NTamd64", "Values"};
  std::string out = "[Sections]\r\n";
  for (const std::string &s : sections) out += s + "\r\n";
  out +=
      "\r\n[Version]\r\nSignature = \"$Windows NT$\"\r\nClass = Net\r\n"
      "ClassGuid = {4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider = %Provider%\r\n"
      "DriverVer = 05/01/2019,1.10.128.0\r\n\r\n[Strings]\r\nProvider = \"Example Networks\"\r\n"
      "Port = \"port\"\r\nAuto = \"Auto negotiation\"\r\n";
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  char text[64];
  for (unsigned line = 0; out.size() < bytes; ++line) {
    if (line % 1500 == 0) out += "\r\n[" + sections[2 + (line / 1500) % 3] + "]\r\n";
    std::snprintf(text, sizeof text, "Key%u = ", line);
    out += text;
    unsigned fields = 20 + next(41);
    for (unsigned f = 0; f < fields; ++f) {
      if (f) out += ", ";
      switch (next(8)) {
        case 0: std::snprintf(text, sizeof text, "0x%X", next(0x100)); break;
        case 1: std::snprintf(text, sizeof text, "\"v %u\"", next(10)); break;
        case 2: std::snprintf(text, sizeof text, "%s", next(2) ? "%Port%" : "%Auto%"); break;
        case 3: text[0] = 0; break;
        default: std::snprintf(text, sizeof text, "%u", next(100)); break;
      }
      out += text;
    }
    out += "\r\n";
  }
  return out;
}

struct Shape {
  std::string name;  // in the rows' figures
  std::string text;
};

struct WalkResult {
  infwalk::Counts counts;
  double ms = 0;
};

std::string Describe(const infwalk::Counts &c) {
  return Grouped(c.sections) + " sections, " + Grouped(c.lines) + " lines, " + Grouped(c.fields) + " fields, " +
         Grouped(c.chars) + " chars";
}

double NanosecondsPerField(const WalkResult &r) { return r.ms * 1e6 / double(std::max(1L, r.counts.fields)); }

// The walk timed by the wall clock, as infwalk times it under Wine.
WalkResult WalkOnWinsim(const wchar_t *path, int repeat) {
  WalkResult r;
  r.ms = Best(repeat, [&] {
    DWORD error = 0;
    auto t0 = std::chrono::steady_clock::now();
    bool ok = infwalk::Walk(path, r.counts, error);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!ok) throw SetupError("winsim cannot walk the generated INF: error " + std::to_string(error));
    return ms;
  });
  return r;
}

// The Windows build of infwalk under Wine, in one prefix for every file.
class WineWalker {
 public:
  explicit WineWalker(const Options &o) : exe_(o.windowsBin / "infwalk.exe") {
    std::error_code ec;
    winetest::WineTools tools;
    if (!fs::exists(exe_, ec)) {
      why_ = "not measured: no Wine build (" + exe_.string() + ")";
    } else if (!winetest::FindWine(tools, why_)) {
      why_ = "not measured: " + why_;
    } else {
      prefix_ = std::make_unique<winetest::WinePrefix>("kvnbench-inf");
      if (!prefix_->Ok()) why_ = "not measured: " + prefix_->Error();
    }
  }
  // Empty when Wine can walk; else why not.
  const std::string &Why() const { return why_; }

  WalkResult Walk(const std::string &text, int repeat) {
    WriteAll(prefix_->Host("C:\\bench") / "bench.inf", text);
    winetest::RunResult run =
        prefix_->Wine({exe_.string(), "--repeat", std::to_string(repeat), "C:\\bench\\bench.inf"}, "C:\\", 3600);
    long long sections = 0, lines = 0, fields = 0, chars = 0;
    double us = 0;
    if (!run.Finished() || run.exitCode != 0 ||
        std::sscanf(run.out.c_str(), "sections=%lld lines=%lld fields=%lld chars=%lld best_us=%lf", &sections, &lines,
                    &fields, &chars, &us) != 5)
      throw SetupError("infwalk.exe under Wine: " + run.Describe() + " " + run.out);
    WalkResult r;
    r.counts = {long(sections), long(lines), long(fields), chars};
    r.ms = us / 1000;
    return r;
  }

 private:
  fs::path exe_;
  std::string why_;
  std::unique_ptr<winetest::WinePrefix> prefix_;
};

}  // namespace

void InfSection(const Options &o, Report &report) {
  report.Section("3 INF parsing: winsim against Wine's setupapi on the same file (wall clock)");
  const std::vector<size_t> sizes = o.quick ? std::vector<size_t>{50000, 200000} : std::vector<size_t>{500000, 5000000};
  std::vector<Shape> shapes;
  for (size_t size : sizes) {
    std::string text = GeneratedInf(size);
    shapes.push_back({"generated INF of " + Megabytes(double(text.size())), std::move(text)});
  }
  std::string longLines = LongLineInf(o.quick ? 100000 : 1000000);
  shapes.push_back({"INF of long lines, " + Megabytes(double(longLines.size())), std::move(longLines)});

  TempDir dir(o.keep);
  WriteMachine(o, 10, 1, dir.Path());
  OpenMachine(dir.Path());
  const wchar_t *path = L"C:\\Package\\bench.inf";
  fs::path host = winsim::HostPath(path);
  std::vector<WalkResult> walks;
  for (const Shape &shape : shapes) {
    WriteAll(host, shape.text);
    walks.push_back(WalkOnWinsim(path, o.repeat));
    const WalkResult &w = walks.back();
    report.Add(Row{"winsim walk of the " + shape.name,
                   Fixed(w.ms, 1) + " ms (" + Fixed(double(shape.text.size()) / 1e3 / w.ms, 1) + " MB/s, " +
                       Fixed(NanosecondsPerField(w), 0) + " ns/field)",
                   Describe(w.counts), NAN, "", Verdict::Info});
  }
  CloseMachine();
  const size_t small = 0, large = sizes.size() - 1, longest = shapes.size() - 1;
  double perFirst = walks[small].ms / double(shapes[small].text.size());
  double perLast = walks[large].ms / double(shapes[large].text.size());
  report.Add(AtMost("winsim time per byte at " + Megabytes(double(shapes[large].text.size())) + " against " +
                        Megabytes(double(shapes[small].text.size())),
                    Fixed(perLast * 1e6, 1) + " ms/MB", Fixed(perFirst * 1e6, 1) + " ms/MB", perLast / perFirst, 1.3));

  // At most 50 ns a field on the long lines, beside Wine's time a field when it is measured.
  const double fieldNs = NanosecondsPerField(walks[longest]), goalNs = 50;
  Row perField{"winsim time a field, " + shapes[longest].name,
               Fixed(fieldNs, 1) + " ns",
               "",
               NAN,
               "<= " + Fixed(goalNs, 0) + " ns",
               fieldNs <= goalNs ? Verdict::Met : Verdict::NotMet};

  WineWalker wine(o);
  std::string why = o.quick ? "not measured: --quick runs winsim only" : wine.Why();
  std::vector<WalkResult> wineWalks;
  for (size_t i = 0; why.empty() && i < shapes.size(); ++i) {
    // Wine's setupapi takes minutes on the large generated file: one walk of it.
    wineWalks.push_back(wine.Walk(shapes[i].text, i == longest ? std::min(o.repeat, 5) : 1));
    if (!(wineWalks.back().counts == walks[i].counts))
      report.Fault("winsim and Wine read the " + shapes[i].name + " differently: winsim " + Describe(walks[i].counts) +
                   "; Wine " + Describe(wineWalks.back().counts));
  }
  if (!wineWalks.empty()) {
    perField.floor = "Wine " + Fixed(NanosecondsPerField(wineWalks[longest]), 1) + " ns";
    perField.ratio = fieldNs / NanosecondsPerField(wineWalks[longest]);
  }
  report.Add(perField);
  for (size_t i = 0; i < shapes.size(); ++i) {
    std::string figure = "winsim against Wine, " + shapes[i].name;
    if (wineWalks.empty()) {
      report.Add(Row{figure, why, "", NAN, "", Verdict::NotMeasured});
      continue;
    }
    // Twice as fast as Wine: winsim's time at most half of Wine's.
    report.Add(AtMost(figure, Fixed(walks[i].ms, 1) + " ms", "Wine " + Fixed(wineWalks[i].ms, 1) + " ms",
                      walks[i].ms / wineWalks[i].ms, 0.5));
  }
}

}  // namespace bench
