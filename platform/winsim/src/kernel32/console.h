// The simulated process's console.
#pragma once

namespace winsim {

// Ends the console (the process exits).
void ResetConsole();

}  // namespace winsim
