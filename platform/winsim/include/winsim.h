// winsim's own interface for hosts and tests (never included by product code): which
// machine directory the simulated Windows runs on, and who the simulated process is.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#define WINSIM_API __attribute__((visibility("default")))

namespace winsim {

// Loads a machine directory (machine.toml, registry.reg, drive_x/ folders). On failure
// answers false with a one-line reason in `error` and leaves no machine open.
WINSIM_API bool OpenMachine(const std::filesystem::path &dir, std::string &error);

// Writes the run-time state back into the machine directory and closes it. Open handles
// are invalidated. Answers false with a reason when the state could not be written.
WINSIM_API bool CloseMachine(std::string *error = nullptr);

WINSIM_API bool IsMachineOpen();

// The consistency warnings of the open machine, found when it opened: facts of its files that
// Windows would never show together (a device's INF or service missing, a service's device
// list that disagrees with the started devices, a service image missing, no ndis.sys, a
// registry version that is not [os]'s), each naming the file and the entry.
WINSIM_API std::vector<std::string> MachineWarnings();

// Copies a machine directory into `state`, which must not exist yet, as one complete machine
// that OpenMachine loads: the machines its `base` chain names (at most 8, none twice) merged
// under it, and the program images its binaries.txt lists made where it has no such file.
// On failure answers false with a one-line reason ("FILE: base: ..." or "FILE:LINE: ...")
// and leaves nothing at `state`.
WINSIM_API bool CopyMachine(const std::filesystem::path &machine, const std::filesystem::path &state,
                            std::string &error);

// One value of a registry.reg file as it loads (its key's full path, its name, "" for the
// default value, its type and its data image as Windows stores it, strings in UTF-16LE), or
// a key that holds no value and no subkey (keyOnly).
struct RegistryFileValue {
  std::string key;
  std::wstring name;
  unsigned long type = 0;
  std::vector<unsigned char> data;
  bool keyOnly = false;
};
// Reads a registry.reg file with winsim's own reader, keys in the order Windows enumerates
// them. A file that does not exist is an empty registry; false with "FILE:LINE: reason"
// when the file cannot be read or parsed.
WINSIM_API bool ReadRegistryFile(const std::filesystem::path &file, std::vector<RegistryFileValue> &values,
                                 std::string &error);

// The simulated process: its image path, command line and current directory (Windows paths).
WINSIM_API void SetProcess(const std::wstring &imagePath, const std::wstring &commandLine,
                           const std::wstring &currentDirectory);

// Where a Windows path of the open machine lives on the host (the name need not exist;
// existing components are matched without regard to case). Empty when it maps nowhere.
WINSIM_API std::filesystem::path HostPath(const std::wstring &windowsPath);

// One thing a restart did: its kind ("rename", "replace", "delete", "service removed",
// "device started", "device has no driver", "volatile key removed", "clock"), what it acted
// on, and the Windows error it met (0 when it was done).
struct RestartStep {
  std::string kind;
  std::string what;
  unsigned long error = 0;
};

// Restarts the open machine as Windows completes a restart: the pending file renames,
// replacements and deletions in their order (the value is cleared, failed pairs are
// skipped), the services marked for deletion, the devices waiting for a restart given the
// status they wait for (started on their driver for CM_PROB_NEED_RESTART), the volatile
// keys, the clock moved on.
// Appends what it did to `steps`; false with a reason when no machine is open.
WINSIM_API bool RestartMachine(std::vector<RestartStep> &steps, std::string &error);

// The prompts of the open machine since it was opened, in order: calls that would have shown
// UI on Windows (a restart asked of the user, ...), each as "Function: what it would ask".
// Each call went on as if nobody answered: nothing was restarted and its result is unchanged.
WINSIM_API std::vector<std::string> Prompts();

// What winsim met since the machine was opened and does not model (a call, a case of a
// call), in order, each as "Function: what is not modelled"; each was also said on standard
// error as "winsim: note: ...".
WINSIM_API std::vector<std::string> SimulatorNotes();

// The entry points winsim serves: every Win32 function (and COM method, named
// "Interface::Method"), the system DLLs that export it (none for a COM method), and
// whether a [[faults]] entry can fail it (false for the functions that cannot fail).
struct EntryPointInfo {
  std::string name;
  std::vector<std::string> dlls;
  bool canFail = true;
};
WINSIM_API std::vector<EntryPointInfo> EntryPoints();

// UTF-8 <-> wide conversions for hosts that print or take Windows texts.
WINSIM_API std::string ToUtf8(const std::wstring &text);
WINSIM_API std::wstring FromUtf8(const std::string &text);

}  // namespace winsim
