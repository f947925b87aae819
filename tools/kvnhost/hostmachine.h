// Where a kvnhost run happens. On Linux: a winsim machine directory (the --state copy of a
// --machine template) with the package copied to C:\Package. On Windows: the real machine,
// with the package directory as it is. The Linux side is hostmachine_linux.cpp (the set-up),
// machinediff_linux.cpp (DiffMachine) and reboot_linux.cpp (RebootMachine).
#pragma once

#include <optional>
#include <string>
#include <vector>

struct HostOptions {
  std::string packageDir;
  std::string machineDir;    // Linux only
  std::string stateDir;      // Linux only
  std::wstring switches;     // "/verbose_log" etc., as they go on the host's command line
  bool packageOnly = false;  // Linux: C:\Package holds the package alone (no component, no host image)
};

struct HostPlace {
  std::wstring packageDir;     // Windows path of the package as the component sees it
  std::wstring componentPath;  // the component library to load
  std::string stateDir;        // Linux only: the machine the run acts on
  bool temporary = false;      // Linux only: made for this run (no --state), removed after it
};

// Where --package points when it is not given.
std::string DefaultPackageDir();
// Windows: the component reads its switches ("/verbose_log" ...) from the process's own
// command line, so a run asked for with --verbose-log and the like starts kvnhost again
// with the switches on its command line. True when it did, with that run's exit status.
bool RunWithHostSwitches(const HostOptions &options, int &exitCode);
// Prepares the machine and the process identity. False with a one-line reason on failure.
bool EnterMachine(HostOptions &options, HostPlace &place, std::string &error);
// The package alone, for lint: on Windows the package directory as it is; on Linux a machine of
// nothing but drive C: with the package in C:\Package, in a temporary state.
bool EnterPackageOnly(HostOptions &options, HostPlace &place, std::string &error);
// Writes the machine state back (Linux) and leaves it.
bool LeaveMachine(std::string &error);
// What the run would have asked of a user on Windows and went on without (the simulated
// machine's prompts, in order); none on Windows, which shows them itself.
std::vector<std::string> MachinePrompts();
// The open machine's consistency warnings (none with a real Windows).
std::vector<std::string> MachineLoadWarnings();
// What the simulated machine met and does not model (none with a real Windows).
std::vector<std::string> SimulatorNotes();
// One change `diff` found: its kind ("device", "service", "file", "registry",
// "pending restart", "prompt"), a file's
// Windows path, a registry key's path (a service's name, a device's instance ID), the value
// that changed ("driver", "status", "state" for devices and services), a registry value's
// type, and its text before and after (none where it did not exist).
struct DiffItem {
  std::string kind, path, key, value, type;
  std::string change;  // "added", "changed", "removed"
  std::optional<std::string> before, after;
};
struct MachineDiff {
  std::string report;  // the human report, grouped: devices, services, files, registry, pending, prompts
  std::vector<DiffItem> items;
  std::string regFile;  // the registry's changes as a .reg file regedit applies
};
// Linux only: what the runs changed in the state compared with the machine it was made from.
bool DiffMachine(const HostOptions &options, MachineDiff &diff, std::string &error);

// One thing a restart did: its kind ("rename", "replace", "delete", "service removed",
// "device started", "device has no driver", "volatile key removed", "clock"), what it acted
// on, and the Windows error it met (0 when done).
struct RebootStep {
  std::string kind;
  std::string what;
  unsigned long error = 0;
};
// Linux only: restarts the machine in --state and writes it back. False with a one-line
// reason when there is no state to restart or it cannot be loaded or written.
bool RebootMachine(const HostOptions &options, std::vector<RebootStep> &steps, std::string &error);

#ifndef _WIN32
// A state remembers the machine and package it was made from, in `.kvnhost-origin` at its
// root (kvnhost's own file, not part of the machine). False when the state has none.
bool ReadStateOrigin(const std::string &stateDir, std::string &machineDir, std::string &packageDir);
// Adds a run's prompts to the state's `.kvnhost-prompts` (kvnhost's own file, beside the
// origin), each line the command and the prompt, so that diff can tell them afterwards.
bool RecordPrompts(const std::string &stateDir, const std::string &command, const std::vector<std::string> &prompts,
                   std::string &error);
// The prompts recorded in a state, oldest first, as "command: prompt".
std::vector<std::string> ReadRecordedPrompts(const std::string &stateDir);
// Removes the temporary state of a run made without --state.
void RemoveTemporaryState(const HostPlace &place);

// `machine new DIR [--from MACHINE]`: writes a new machine directory to start from, a minimal
// one or one whose base is MACHINE. False with a one-line reason, DIR then left as it was.
bool NewMachine(const std::string &dir, const std::string &from, std::string &error);
#endif
