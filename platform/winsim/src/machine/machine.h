// The simulated machine: its description from machine.toml, its drives on the host, and
// the run-time state that is written back when the machine is closed. One machine is open
// per process; every Win32 call of winsim acts on it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

#include "machine/machinefile.h"

namespace winsim {

class Registry;         // registry.h
class DeviceTree;       // devices.h
class ServiceDatabase;  // services.h

struct Fault {
  std::string function;  // "*": any hooked function
  int64_t nth = 0;       // 0: every matching call
  std::wstring whenArgContains;
  uint32_t error = 0;
  bool errorGiven = false;  // false: ERROR_GEN_FAILURE, or for "*" the function's typical error
  int64_t seen = 0;
};

struct LockedFile {
  std::wstring path;  // full Windows path
  DWORD error = ERROR_SHARING_VIOLATION;
  bool rename = false;  // it can still be renamed (a running program's image)
};

struct ProgramSpec {
  std::wstring name;  // file name, matched without regard to case
  DWORD exitCode = 0;
  int64_t runsMs = 0;
  bool neverExits = false;
  std::optional<CreatesService> createsService;
  toml::table raw;  // the whole entry as written
};

class Machine {
 public:
  std::filesystem::path root;
  toml::table config;      // machine.toml as read; saved back with the run-time state
  std::string configFile;  // its path, for the messages of a wrong entry

  OsSpec os;
  WmiSpec wmi;
  std::vector<ServiceSpec> services;
  std::vector<KeySecuritySpec> keySecurity;
  std::vector<std::wstring> protectedKeys;
  bool hasProtectedKeys = false;

  // [machine]
  std::wstring computerName = L"SRV01";
  UINT ansiCodePage = 1252;
  std::string userLocale = "en-US";
  std::string systemLocale = "en-US";
  int timezoneBiasMinutes = 0;
  // Before Windows Vista: how long (virtual ms from the opening) another process holds the
  // service database lock.
  int64_t serviceLockHeldMs = 0;

  std::vector<Fault> faults;
  int64_t hookedCalls = 0;  // the hooked calls of the run so far (hooks.cpp)
  // Calls that would have shown UI on Windows since the machine was opened, each as a text;
  // the call went on as if nobody answered (RecordPrompt).
  std::vector<std::string> prompts;
  // What the machine holds that Windows would never show together (CheckConsistency).
  std::vector<std::string> warnings;
  std::vector<LockedFile> lockedFiles;
  std::vector<ProgramSpec> programs;
  std::map<std::wstring, uint64_t> freeDisk;     // "C:" -> bytes available
  std::map<std::wstring, DWORD> fileAttributes;  // full Windows path (as on disk) -> attributes
  std::vector<FileSecuritySpec> fileSecurity;    // owners, access lists and junctions (files.cpp)
  std::shared_ptr<Registry> registry;            // loaded from and saved to registry.reg (regfile.h)
  std::shared_ptr<DeviceTree> devices;           // machine.toml's [[devices]] (devices.h)
  std::shared_ptr<ServiceDatabase> serviceDb;    // the SCM's run-time state (services.h)

  // Environment of the simulated process: upper-cased name -> (name as set, value).
  std::map<std::wstring, std::pair<std::wstring, std::wstring>> environment;

  // Clock: a fixed start time from [machine] clock, or the host's time; Sleep advances it.
  bool fixedClock = false;
  int64_t clockStartUtc = 0;  // FILETIME units (100 ns since 1601), UTC
  int64_t advancedMs = 0;
  int64_t hostStartMs = 0;  // host monotonic time when the machine opened
  int64_t NowUtc() const;   // FILETIME units, UTC
  int64_t LocalFromUtc(int64_t utc) const { return utc - int64_t(timezoneBiasMinutes) * 600000000LL; }
  DWORD TickCount() const;

  // The simulated process.
  std::wstring imagePath = L"C:\\Windows\\System32\\kvnhost.exe";
  std::wstring commandLine;
  std::wstring currentDirectory = L"C:\\";
  UINT errorMode = 0;

  bool Load(const std::filesystem::path &dir, std::string &error);
  bool Save(std::string &error);

  // The drive folder of a drive letter ('C' -> root/drive_c); empty when the machine has none.
  std::filesystem::path DriveFolder(wchar_t letter) const;

  uint64_t FreeBytes(wchar_t driveLetter) const;
  void AdjustFreeBytes(wchar_t driveLetter, int64_t delta);
};

// The open machine. Calling a Win32 function with no machine open is a host error:
// winsim says so on standard error and stops the process.
Machine &Current();
bool HasMachine();

// The LANGID of a locale name such as [machine] system_locale ("de-DE" -> 0x0407, compared
// without regard to case); LANG_NEUTRAL for a name winsim does not know (timefmt.cpp).
LANGID LangIdOfLocale(const std::string &name);

// Ends the simulated process's console (machine close).
void ResetConsole();
// Ends the simulated process's COM: its objects, apartment and security (com.cpp).
void ResetCom();
// Frees the memory blocks and SIDs a failed free kept: the process's heap ends with it
// (security.cpp).
void ReleaseHeapBlocks();

// Writes a file of the machine directory through a ".new" file renamed over it, so a
// failed write never leaves half a file. False with a reason on failure.
bool WriteFileAtomically(const std::filesystem::path &file, const std::string &content, std::string &error);

// Makes the junctions [[file_security]] declares on the drives (files.cpp); false with the
// reason when a link's place or target is not usable.
bool MakeDeclaredLinks(std::string &error);

// The consistency warnings of the open machine, found once when it opens
// (machinecheck.cpp); the machine loads all the same.
void CheckConsistency(Machine &machine);

// Says on standard error that winsim does not model a call or a case.
void NotModelled(const char *function, const std::string &what);
// A call that would show UI on Windows: recorded in the machine (Prompts()); the caller goes
// on as if nobody answered.
void RecordPrompt(const char *function, const std::string &what);

// Sets the last error and answers `value`: `return Fail(ERROR_X, FALSE);`
template <class T>
T Fail(DWORD error, T value) {
  SetLastError(error);
  return value;
}

}  // namespace winsim
