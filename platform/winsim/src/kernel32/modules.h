// Modules of the simulated process: the component libraries it loads from the machine's
// files (ELF shared objects built against winsim) and the system DLLs winsim provides.
#pragma once

#include <windows.h>

namespace winsim {

// Process exit: every loaded library gets its detach notification and is unloaded.
void UnloadAllModules();

}  // namespace winsim
