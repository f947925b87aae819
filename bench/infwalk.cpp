// infwalk: walks an INF line by line and field by field (infwalk.h) and prints what it read
// and the least wall-clock time of K walks, the open and close included. Built for Windows (run under
// Wine by kvnbench) and for winsim, where --machine names the machine the path is on.
//   infwalk [--machine DIR] [--repeat K] PATH
//   prints: sections=N lines=N fields=N chars=N best_us=N
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "infwalk.h"
#ifndef _WIN32
#include <winsim.h>
#endif

namespace {

// Wall-clock time in microseconds: under Wine the process's CPU clock moves in 10 ms steps,
// too coarse for a walk of a few milliseconds; the steady clock is QueryPerformanceCounter
// there and CLOCK_MONOTONIC on Linux.
double WallMicroseconds() {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char **argv) {
  int repeat = 1;
  std::string path, machine;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else if (a == "--machine" && i + 1 < argc) {
      machine = argv[++i];
    } else if (path.empty() && a[0] != '-') {
      path = a;
    } else {
      std::fprintf(stderr, "usage: infwalk [--machine DIR] [--repeat K] PATH\n");
      return 2;
    }
  }
  if (path.empty() || repeat < 1 || repeat > 1000) {
    std::fprintf(stderr, "usage: infwalk [--machine DIR] [--repeat K] PATH (K from 1 to 1000)\n");
    return 2;
  }
#ifndef _WIN32
  std::string error;
  if (machine.empty() || !winsim::OpenMachine(machine, error)) {
    std::fprintf(stderr, "infwalk: --machine DIR is needed on winsim%s%s\n", error.empty() ? "" : ": ", error.c_str());
    return 2;
  }
#endif
  std::wstring wide(path.begin(), path.end());  // the bench's paths are ASCII
  infwalk::Counts counts;
  double best = 0;
  for (int k = 0; k < repeat; ++k) {
    DWORD error = 0;
    double t0 = WallMicroseconds();
    bool ok = infwalk::Walk(wide.c_str(), counts, error);
    double us = WallMicroseconds() - t0;
    if (!ok) {
      std::fprintf(stderr, "infwalk: %s: error %u\n", path.c_str(), unsigned(error));
      return 1;
    }
    if (k == 0 || us < best) best = us;
  }
#ifndef _WIN32
  winsim::CloseMachine();
#endif
  std::printf("sections=%ld lines=%ld fields=%ld chars=%lld best_us=%.0f\n", counts.sections, counts.lines,
              counts.fields, counts.chars, best);
  return 0;
}
