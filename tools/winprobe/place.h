// Where the probe runs: a winsim machine directory on Linux, the real C: drive on Windows.
// Either way the process ends up with C:\probe as its current directory.
#pragma once

#include <string>

// Opens the place named by the command line. False with a one-line reason on failure.
bool EnterProbePlace(int argc, char **argv, std::string &error);
// Leaves it (Linux: writes the machine back). False with a reason on failure.
bool LeaveProbePlace(std::string &error);
