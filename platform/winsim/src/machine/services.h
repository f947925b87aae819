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

#include <map>
#include <string>
#include <vector>

#include "machine/machinefile.h"

namespace winsim {

class Machine;

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

class ServiceDatabase {
 public:
  // By upcased service name; a service without an entry is stopped and starts normally.
  std::map<std::wstring, ServiceRuntime> runtime;
  bool changed = false;  // [[services]] is rewritten on save only when something changed
  // The database lock of machines before Windows Vista: held by another process for
  // [machine] service_lock_held_ms of virtual time from the opening, or by this process.
  int64_t openedUtc = 0;
  bool lockedHere = false;
};

// After the registry: the runtime of every [[services]] entry, the services marked before
// the run.
void LoadServices(Machine &machine);
// Completes the deletions that the end of the process allows (handles are closed then) and
// writes [[services]] back when it changed. Runs before the registry is saved.
void SaveServices(Machine &machine);

// The boot of a restart: the SCM reads its database from the registry again, and no other
// process holds a service open any longer.
void BootServices(Machine &machine);

// What CreateServiceW does once its arguments are checked; also the effect of a program's
// [programs.creates_service]. ERROR_SUCCESS or the error CreateServiceW answers.
DWORD CreateServiceEntry(const std::wstring &name, const std::wstring *displayName, DWORD type, DWORD startType,
                         DWORD errorControl, const std::wstring &binaryPath, const std::wstring *group,
                         const std::vector<std::wstring> *dependencies, const std::wstring *account);

}  // namespace winsim
