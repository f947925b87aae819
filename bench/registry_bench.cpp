// Section 5: a machine whose registry.reg holds many keys and values, opened and closed
// unchanged: the save must give back the same bytes; load and save throughput in MB/s of
// registry text beside plain reading and writing of the same bytes.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

namespace {

constexpr double kGoalMegabytesPerSecond = 20;

// A registry.reg in the form winsim writes (so an unchanged save is byte-identical): `keys`
// keys of five values each (two strings with escapes, a DWORD, a binary, a QWORD) below
// HKLM\SOFTWARE\Bench, in the order Windows enumerates them, and the CurrentVersion value
// that every machine's [os] sets at load.
std::string GeneratedRegistry(int keys) {
  std::string out = "Windows Registry Editor Version 5.00\r\n\r\n";
  out.reserve(size_t(keys) * 300);
  char text[1024];
  for (int k = 0; k < keys; ++k) {
    unsigned u = unsigned(k);
    std::snprintf(text, sizeof text,
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Group%04u\\Key%07u]\r\n"
                  "\"DisplayName\"=\"Bench key %u \\\"quoted\\\"\"\r\n"
                  "\"ImagePath\"=\"C:\\\\Windows\\\\System32\\\\drivers\\\\bench%u.sys\"\r\n"
                  "\"Index\"=dword:%08x\r\n"
                  "\"Data\"=hex:%02x,%02x,%02x,%02x,00,11,22,33\r\n"
                  "\"Stamp\"=hex(b):%02x,%02x,00,00,00,00,00,00\r\n\r\n",
                  u / 1000, u, u, u, u, u & 0xFF, (u >> 8) & 0xFF, (u >> 16) & 0xFF, (u >> 24) & 0xFF, u & 0xFF,
                  (u >> 8) & 0xFF);
    out += text;
  }
  out +=
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
      "\"CurrentVersion\"=\"6.3\"\r\n\r\n";
  return out;
}

struct RegistrySample {
  size_t bytes = 0;
  double load = 0, save = 0, read = 0, write = 0;  // ms
};

RegistrySample Measure(const Options &o, int keys, Report &report) {
  TempDir dir(o.keep);
  fs::path machine = dir.Path() / "machine";
  std::string text = GeneratedRegistry(keys);
  WriteAll(machine / "machine.toml", "");
  WriteAll(machine / "registry.reg", text);
  fs::create_directories(machine / "drive_c");
  RegistrySample s;
  s.bytes = text.size();
  int repeat = std::min(o.repeat, 3);
  for (int k = 0; k < repeat; ++k) {
    Clock::time_point t0 = Clock::now();
    OpenMachine(machine);
    double load = MillisecondsSince(t0);
    Clock::time_point t1 = Clock::now();
    CloseMachine();
    double save = MillisecondsSince(t1);
    if (k == 0 || load < s.load) s.load = load;
    if (k == 0 || save < s.save) s.save = save;
    if (k == 0 && ReadAll(machine / "registry.reg") != text) {
      report.Fault("the unchanged machine's registry.reg of " + Grouped(keys) + " keys is not saved byte-identical" +
                   (o.keep ? " (" + (machine / "registry.reg").string() + ")" : std::string()));
      WriteAll(machine / "registry.reg", text);
    }
  }
  s.read = Best(repeat, [&] {
    Clock::time_point t0 = Clock::now();
    std::string bytes = ReadAll(machine / "registry.reg");
    return MillisecondsSince(t0);
  });
  s.write = Best(repeat, [&] {
    Clock::time_point t0 = Clock::now();
    WriteAll(dir.Path() / "plain.reg", text);
    return MillisecondsSince(t0);
  });
  return s;
}

Row Throughput(const std::string &figure, size_t bytes, double ms, double floorMs) {
  double rate = double(bytes) / 1e3 / ms, floorRate = double(bytes) / 1e3 / floorMs;
  Row r{figure,
        Fixed(rate, 1) + " MB/s",
        Fixed(floorRate, 0) + " MB/s",
        rate / floorRate,
        ">= " + Fixed(kGoalMegabytesPerSecond, 0) + " MB/s",
        Verdict::NotMet};
  if (rate >= kGoalMegabytesPerSecond) r.verdict = Verdict::Met;
  return r;
}

}  // namespace

void RegistrySection(const Options &o, Report &report) {
  report.Section("5 Machine load and save of registry.reg against plain reading and writing");
  const std::vector<int> sizes = o.quick ? std::vector<int>{2000, 10000} : std::vector<int>{10000, 100000};
  std::vector<RegistrySample> samples;
  for (int keys : sizes) {
    RegistrySample s = Measure(o, keys, report);
    samples.push_back(s);
    std::string what = Megabytes(double(s.bytes)) + " (" + Grouped(keys) + " keys, " + Grouped(5LL * keys) + " values)";
    report.Add(Throughput("load of " + what, s.bytes, s.load, s.read));
    report.Add(Throughput("save of " + what, s.bytes, s.save, s.write));
  }
  const RegistrySample &a = samples.front(), &b = samples.back();
  for (auto [name, small, large] : {std::tuple{"load", a.load, b.load}, std::tuple{"save", a.save, b.save}}) {
    double perSmall = small / double(a.bytes), perLarge = large / double(b.bytes);
    report.Add(AtMost(std::string(name) + " time per byte at " + Megabytes(double(b.bytes)) + " against " +
                          Megabytes(double(a.bytes)),
                      Fixed(perLarge * 1e6, 1) + " ms/MB", Fixed(perSmall * 1e6, 1) + " ms/MB", perLarge / perSmall,
                      1.3));
  }
}

}  // namespace bench
