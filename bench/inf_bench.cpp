// Section 3: a generated INF (models, install and registry sections, strings, quoted fields,
// continuations, comments) walked by infwalk.h: by winsim in this process, and by the Windows
// build of infwalk under Wine on the same file in the same run when both are present.
#include <cstdio>
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

struct WalkResult {
  infwalk::Counts counts;
  double ms = 0;
};

std::string Describe(const infwalk::Counts &c) {
  return Grouped(c.sections) + " sections, " + Grouped(c.lines) + " lines, " + Grouped(c.fields) + " fields, " +
         Grouped(c.chars) + " chars";
}

WalkResult WalkOnWinsim(const wchar_t *path, int repeat) {
  WalkResult r;
  r.ms = Best(repeat, [&] {
    DWORD error = 0;
    Clock::time_point t0 = Clock::now();
    bool ok = infwalk::Walk(path, r.counts, error);
    double ms = MillisecondsSince(t0);
    if (!ok) throw SetupError("winsim cannot walk the generated INF: error " + std::to_string(error));
    return ms;
  });
  return r;
}

// The Windows build of infwalk under Wine, one walk (Wine's setupapi takes minutes on the
// large file); false with the reason in `why` when it cannot run.
bool WalkOnWine(const Options &o, const std::string &text, WalkResult &r, std::string &why) {
  fs::path exe = o.windowsBin / "infwalk.exe";
  std::error_code ec;
  if (!fs::exists(exe, ec)) {
    why = "not measured: no Wine build (" + exe.string() + ")";
    return false;
  }
  winetest::WineTools tools;
  if (!winetest::FindWine(tools, why)) {
    why = "not measured: " + why;
    return false;
  }
  winetest::WinePrefix prefix("kvnbench-inf");
  if (!prefix.Ok()) {
    why = "not measured: " + prefix.Error();
    return false;
  }
  WriteAll(prefix.Host("C:\\bench") / "bench.inf", text);
  winetest::RunResult run = prefix.Wine({exe.string(), "--repeat", "1", "C:\\bench\\bench.inf"}, "C:\\", 1800);
  long long sections = 0, lines = 0, fields = 0, chars = 0;
  double us = 0;
  if (!run.Finished() || run.exitCode != 0 ||
      std::sscanf(run.out.c_str(), "sections=%lld lines=%lld fields=%lld chars=%lld best_us=%lf", &sections, &lines,
                  &fields, &chars, &us) != 5)
    throw SetupError("infwalk.exe under Wine: " + run.Describe() + " " + run.out);
  r.counts = {long(sections), long(lines), long(fields), chars};
  r.ms = us / 1000;
  return true;
}

}  // namespace

void InfSection(const Options &o, Report &report) {
  report.Section("3 INF parsing: winsim against Wine's setupapi on the same file");
  const std::vector<size_t> sizes = o.quick ? std::vector<size_t>{50000, 200000} : std::vector<size_t>{500000, 5000000};
  TempDir dir(o.keep);
  WriteMachine(o, 10, 1, dir.Path());
  OpenMachine(dir.Path());
  const wchar_t *path = L"C:\\Package\\bench.inf";
  fs::path host = winsim::HostPath(path);
  std::vector<WalkResult> walks;
  std::vector<size_t> actual;
  std::string text;
  for (size_t size : sizes) {
    text = GeneratedInf(size);
    WriteAll(host, text);
    walks.push_back(WalkOnWinsim(path, o.repeat));
    actual.push_back(text.size());
    report.Add(
        Row{"winsim walk of " + Megabytes(double(text.size())),
            Fixed(walks.back().ms, 1) + " ms (" + Fixed(double(text.size()) / 1e3 / walks.back().ms, 1) + " MB/s)",
            Describe(walks.back().counts), NAN, "", Verdict::Info});
  }
  CloseMachine();
  double perFirst = walks.front().ms / double(actual.front()), perLast = walks.back().ms / double(actual.back());
  report.Add(AtMost(
      "winsim time per byte at " + Megabytes(double(actual.back())) + " against " + Megabytes(double(actual.front())),
      Fixed(perLast * 1e6, 1) + " ms/MB", Fixed(perFirst * 1e6, 1) + " ms/MB", perLast / perFirst, 1.3));

  std::string figure = "winsim against Wine, " + Megabytes(double(actual.back()));
  if (o.quick) {
    report.Add(Row{figure, "not measured: --quick runs winsim only", "", NAN, "", Verdict::NotMeasured});
    return;
  }
  WalkResult wine;
  std::string why;
  if (!WalkOnWine(o, text, wine, why)) {
    report.Add(Row{figure, why, "", NAN, "", Verdict::NotMeasured});
    return;
  }
  if (!(wine.counts == walks.back().counts))
    report.Fault("winsim and Wine read the generated INF differently: winsim " + Describe(walks.back().counts) +
                 "; Wine " + Describe(wine.counts));
  // Twice as fast as Wine: winsim's time at most half of Wine's.
  report.Add(AtMost(figure, Fixed(walks.back().ms, 1) + " ms", "Wine " + Fixed(wine.ms, 1) + " ms",
                    walks.back().ms / wine.ms, 0.5));
}

}  // namespace bench
