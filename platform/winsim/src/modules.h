// Modules of the simulated process: the component libraries it loads from the machine's
// files (ELF shared objects built against winsim) and the system DLLs winsim provides.
#pragma once

#include <windows.h>

namespace winsim {

// Makes a winsim function available to GetProcAddress of a system DLL ("kernel32.dll").
struct SystemExport {
  SystemExport(const char *dll, const char *name, FARPROC fn);
};
#define WINSIM_SYSTEM_EXPORT(dll, fn)                        \
  static ::winsim::SystemExport winsim_export_##fn(dll, #fn, \
                                                   reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&fn)))

// Process exit: every loaded library gets its detach notification and is unloaded.
void UnloadAllModules();

}  // namespace winsim
