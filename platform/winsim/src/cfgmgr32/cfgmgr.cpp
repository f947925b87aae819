// The configuration manager's device-node calls over the devices of the machine
// (devices.h). A DEVINST is the device's number (its machine.toml entry + 1), as
// SetupDiEnumDeviceInfo hands it out. They return their CONFIGRET; an injected fault is
// returned the same way. Other computers (hMachine) are not modelled.
#include <windows.h>
#include <cfgmgr32.h>

#include <cstring>

#include "machine/devices.h"
#include "plumbing/hooks.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {

// Windows exports the configuration manager from cfgmgr32.dll and, for older callers, from
// setupapi.dll too.
constexpr char kCmExporters[] = "cfgmgr32.dll setupapi.dll";

Device *DeviceOf(DEVINST devInst) { return Devices().ByDevInst(devInst); }

bool Remote(const char *function, HMACHINE hMachine) {
  if (!hMachine) return false;
  NotModelled(function, "another computer's configuration manager (hMachine)");
  return true;
}

}  // namespace

extern "C" {

// Copies the instance ID into a buffer of BufferLen characters: with its terminator when
// there is room for it, without when the ID fills the buffer exactly (both CR_SUCCESS).
CONFIGRET WINAPI CM_Get_Device_ID_ExW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags,
                                      HMACHINE hMachine) {
  WINSIM_ENTRY_STATUS(kCmExporters, CM_Get_Device_ID_ExW);
  if (Remote("CM_Get_Device_ID_ExW", hMachine)) return CR_CALL_NOT_IMPLEMENTED;
  if (!Buffer) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  const Device *d = DeviceOf(dnDevInst);
  if (!d) return CR_INVALID_DEVNODE;
  const std::wstring &id = d->instanceId;
  if (id.size() > BufferLen) return CR_BUFFER_SMALL;
  std::memcpy(Buffer, id.data(), id.size() * sizeof(WCHAR));
  if (id.size() < BufferLen) Buffer[id.size()] = L'\0';
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Status_Ex(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags,
                                          HMACHINE hMachine) {
  WINSIM_ENTRY_STATUS(kCmExporters, CM_Get_DevNode_Status_Ex);
  if (Remote("CM_Get_DevNode_Status_Ex", hMachine)) return CR_CALL_NOT_IMPLEMENTED;
  if (!pulStatus || !pulProblemNumber) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  const Device *d = DeviceOf(dnDevInst);
  if (!d) return CR_INVALID_DEVNODE;
  if (!d->present) return CR_NO_SUCH_DEVINST;  // a device that is not present has no device node
  *pulStatus = d->StatusBits();
  *pulProblemNumber = d->ProblemNumber();
  return CR_SUCCESS;
}

}  // extern "C"
