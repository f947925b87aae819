// winprobe: runs a fixed set of Win32 calls on inputs it creates itself and prints one JSON
// object, a stable key per case. Built for Linux (over winsim) and for Windows, so the two
// answers can be compared key by key. Values hold only what must not differ between two
// correct systems: no absolute temporary paths, times or block sizes.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "place.h"
#include "probe.h"

namespace winprobe {
namespace {
// The areas in the order they run, which the answers depend on: later areas write into
// folders that earlier ones made (C:\probe\inf).
struct Area {
  const char *name;
  void (*probe)(json &out);
};
constexpr Area kAreas[] = {
    {"version resources", ProbeVersions},
    {"environment", ProbeEnvironment},
    {"temporary file names", ProbeTempNames},
    {"directory searches", ProbeFind},
    {"copy, move, delete, create", ProbeFileOperations},
    {"VerInstallFileW", ProbeVerInstall},
    {"ShellExecuteW's failures", ProbeShellExecute},
    {"processes and run-time loading", ProbeProcesses},
    {"MoveFileExW", ProbeMoveFileEx},
    {"full path names", ProbeFullPaths},
    {"registry", ProbeRegistry},
    {"operating-system version record", ProbeVersionRecord},
    {"the computer, its drives and its account", ProbeMachineIdentity},
    {"SetupAPI and the configuration manager", ProbeSetupApi},
    {"root devices and driver updates", ProbeRootDevices},
    {"INF files", ProbeInf},
    {"INF installation", ProbeInfInstall},
    {"services from an INF", ProbeInfServices},
    {"publishing an INF", ProbeCopyOemInf},
    {"service control manager", ProbeServices},
    {"security descriptors", ProbeSecurityCalls},
    {"COM run-time", ProbeComRuntime},
    {"WMI", ProbeWmi},
    {"shell folders and links", ProbeShell},
};

void Run(json &out) {
  WCHAR cwd[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, cwd);
  out["process.current_directory"] = Utf8(cwd);
  for (const wchar_t *area : {L"C:\\probe\\ver", L"C:\\probe\\tmp", L"C:\\probe\\find", L"C:\\probe\\ops",
                              L"C:\\probe\\inf", L"C:\\probe\\vif", L"C:\\probe\\movex", L"C:\\probe\\shell",
                              L"C:\\probe\\dev", L"C:\\probe\\shellexec", L"C:\\probe\\proc"})
    RemoveTree(area);
  for (const Area &area : kAreas) area.probe(out);
}
}  // namespace
}  // namespace winprobe

int main(int argc, char **argv) {
  std::string error;
  if (!EnterProbePlace(argc, argv, error)) {
    std::fprintf(stderr, "winprobe: %s\n", error.c_str());
    return 2;
  }
  json out = json::object();
  int status = 0;
  try {
    winprobe::Run(out);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "winprobe: %s\n", e.what());
    status = 2;
  }
  if (!LeaveProbePlace(error)) {
    std::fprintf(stderr, "winprobe: %s\n", error.c_str());
    status = 2;
  }
  if (status == 0) std::printf("%s\n", out.dump(2).c_str());
  return status;
}
