// Opening and closing the machine (winsim.h): the machine's parts loaded, the junctions it
// declares made, its consistency checked; at the close, the simulated process ends (its
// libraries detach, its handles, console, COM and heap go) and the state is written back.
#include <cstdio>
#include <memory>
#include <vector>

#include "advapi32/security.h"
#include "base/diagnostics.h"
#include "kernel32/console.h"
#include "kernel32/files.h"
#include "kernel32/modules.h"
#include "machine/machine.h"
#include "machine/process.h"
#include "ole32/com.h"
#include "plumbing/faults.h"
#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "plumbing/paths.h"
#include "session/machinecheck.h"
#include "winsim.h"

namespace winsim {

bool OpenMachine(const std::filesystem::path &dir, std::string &error) {
  if (HasMachine()) CloseMachine(nullptr);
  ClearNotes();
  if (!LoadMachine(dir, error)) return false;
  // Junctions are made on the drive once the machine can resolve its paths.
  if (!MakeDeclaredLinks(error)) {
    DropMachine();
    return false;
  }
  CheckConsistency(Current());
  Faults().restartAfterPowerCut = [](std::string &why) {
    std::vector<RestartStep> steps;
    return RestartMachine(steps, why);
  };
  OpenCallTrace(dir.string());
  return true;
}

bool CloseMachine(std::string *error) {
  if (!HasMachine()) return true;
  // Process exit: libraries detach, handles close, the console goes away.
  UnloadAllModules();
  ReleaseAllObjects();
  ResetConsole();
  ResetCom();
  ReleaseHeapBlocks();
  std::string err;
  bool ok = SaveMachine(err);
  if (!ok && error) *error = err;
  CloseCallTrace();
  DropMachine();
  return ok;
}

bool IsMachineOpen() { return HasMachine(); }

std::vector<std::string> SimulatorNotes() { return Notes(); }

std::vector<std::string> Prompts() { return HasMachine() ? Process().prompts : std::vector<std::string>(); }

void SetProcess(const std::wstring &imagePath, const std::wstring &commandLine, const std::wstring &currentDirectory) {
  ProcessState &p = Process();
  p.imagePath = imagePath;
  p.commandLine = commandLine;
  p.currentDirectory = currentDirectory;
}

std::filesystem::path HostPath(const std::wstring &windowsPath) {
  DWORD err = 0;
  std::wstring full = FullPath(windowsPath, &err);
  if (full.empty()) return {};
  Resolved r = Resolve(full);
  return r.host;
}

}  // namespace winsim
