// The service control manager's database: each service is a key under
// HKLM\SYSTEM\CurrentControlSet\Services holding a Type value (with Start, ErrorControl,
// ImagePath, DisplayName ...), as on Windows; what the registry does not hold, the run-time
// state (running or stopped, what a start does) comes from machine.toml [[services]] and is
// written back there when the machine closes.
//
// Deletion is deferred as Windows defers it: DeleteService writes DeleteFlag = 1 and the
// key goes once the service is stopped and its last handle closed. A key that already holds
// DeleteFlag = 1 when the machine loads belongs to a service another process still holds
// open: it stays marked for the whole run (a restart would complete the deletion).
//
// The SCM keeps its own database, read from the registry at boot: a service's start type
// and its deletion mark are what the SCM holds, changed by CreateServiceW,
// ChangeServiceConfigW and DeleteService at once. A program that writes Start or DeleteFlag
// into the registry itself changes what the next boot reads (`kvnhost reboot`), not what
// the running SCM does: until then a start follows the old start type, and a cleared
// DeleteFlag does not save a service DeleteService marked. Where the two differ when the
// machine closes, the SCM's side goes into the service's [[services]] entry (start_type,
// marked_for_delete), so the next run continues the same boot.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "machine/part.h"

namespace winsim {

struct RegKey;

struct ServiceSpec {
  enum class State { Running, Stopped, StartPending };
  enum class OnStart { Runs, Pending, Fails, Stops };
  std::wstring name;
  State state = State::Stopped;
  OnStart onStart = OnStart::Runs;
  DWORD startError = 1053;  // ERROR_SERVICE_REQUEST_TIMEOUT
  // What the service control manager's own database holds where the registry was written
  // behind its back since the last boot (see above); absent: the registry's value.
  std::optional<DWORD> startType;
  std::optional<bool> markedForDelete;
};

struct ServiceRuntime {
  std::wstring name;  // the key name
  DWORD state = SERVICE_STOPPED;
  ServiceSpec::OnStart onStart = ServiceSpec::OnStart::Runs;
  DWORD startError = ERROR_SERVICE_REQUEST_TIMEOUT;
  DWORD exitCode = ERROR_SERVICE_NEVER_STARTED;
  bool heldElsewhere = false;  // marked for deletion before the run, open in another process
  // The SCM's record: read from the registry the first time the service is used after a
  // boot, then changed only through the SCM's own calls.
  bool recorded = false;
  DWORD startType = SERVICE_DEMAND_START;
  bool marked = false;
};

// The service part. Load (after the registry): the runtime of every [[services]] entry,
// the services marked before the run. Save: completes the deletions that the end of the
// process allows (its handles are closed then) and writes [[services]] back when it changed;
// it runs before the registry is saved.
class ServiceDatabase : public MachinePart {
 public:
  // By upcased service name; a service without an entry is stopped and starts normally.
  std::map<std::wstring, ServiceRuntime> runtime;
  bool changed = false;  // [[services]] is rewritten on save only when something changed
  // The database lock of machines before Windows Vista: held by another process for
  // [machine] service_lock_held_ms of virtual time from the opening, or by this process.
  int64_t openedUtc = 0;
  bool lockedHere = false;
  bool LockedElsewhere() const;

  // The run-time entry of a service (made when missing).
  ServiceRuntime &RuntimeOf(const std::wstring &name);
  // The service as the SCM's database holds it: the registry's start type and deletion mark
  // as they were when the SCM first met the service after the boot.
  ServiceRuntime &RecordOf(const std::wstring &name);
  // The deletion DeleteService asked for, once the service is stopped and no handle is open.
  void CompleteDeletion(const std::wstring &name, size_t openHandles);
  // The boot of a restart: the SCM reads its database from the registry again, and no other
  // process holds a service open any longer.
  void Boot();

  bool Load(MachineFile &file) override;
  bool Save(MachineFile &file, std::string &error) override;

 private:
  std::vector<ServiceSpec> specs_;
  int64_t lockHeldMs_ = 0;
};

// The open machine's service database.
ServiceDatabase &Services();

// HKLM\SYSTEM\CurrentControlSet\Services, and the key of a service: a subkey of it with
// a Type value. Null when missing.
RegKey *ServicesKey();
RegKey *ServiceKey(std::wstring_view name);
// A name the SCM accepts: 1 to 256 characters, no slash or backslash.
bool ValidServiceName(std::wstring_view name);
bool MarkedForDelete(const RegKey &key);
// Another service whose name or display name is `text` (other than `self`).
bool ServiceNameTaken(std::wstring_view text, std::wstring_view self);
// A type, start type and error control CreateServiceW accepts together.
bool ValidServiceConfig(DWORD type, DWORD startType, DWORD errorControl);
// DependOnService and DependOnGroup ("+group" entries) from one list.
void WriteDependencies(RegKey &key, const std::vector<std::wstring> &dependencies);

// What CreateServiceW does once its arguments are checked; also the effect of a program's
// [programs.creates_service]. ERROR_SUCCESS or the error CreateServiceW answers.
DWORD CreateServiceEntry(const std::wstring &name, const std::wstring *displayName, DWORD type, DWORD startType,
                         DWORD errorControl, const std::wstring &binaryPath, const std::wstring *group,
                         const std::vector<std::wstring> *dependencies, const std::wstring *account);

}  // namespace winsim
