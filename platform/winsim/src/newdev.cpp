// newdev.dll: the driver update of the present devices that match a hardware ID.
#include <windows.h>
#include <newdev.h>

#include "hooks.h"
#include "machine.h"

using namespace winsim;

extern "C" {

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired) {
  WINSIM_ENTRY("newdev.dll", UpdateDriverForPlugAndPlayDevicesW, FALSE, HardwareId, FullInfPath);
  (void)hwndParent, (void)InstallFlags, (void)bRebootRequired;
  NotModelled("UpdateDriverForPlugAndPlayDevicesW", "driver updates");
  return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

}  // extern "C"
