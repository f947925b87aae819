// The consistency warnings of a machine: facts of its machine.toml and registry.reg that
// Windows would never show together, found once when it opens (winsim.h, MachineWarnings);
// the machine loads all the same.
#pragma once

namespace winsim {

class Machine;

void CheckConsistency(Machine &machine);

}  // namespace winsim
