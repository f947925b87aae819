// The OCD agent service and the diagnostic driver: installed from the package on machines
// without Intel devices, and the command runners of the installation helpers.
#pragma once

#include <windows.h>

#include <cstddef>

// One file to install: its name in the target directory and in the source directory.
struct DriverFilePair {
  const WCHAR *targetName;
  const WCHAR *sourceName;
};

// Installs the diagnostic driver into <system>\drivers and the agent into <system>, runs
// "<system>\direvo.exe /install" and starts the "direvo" service. 1 when the agent file was
// installed (0 otherwise); `*rebootNeeded` is 1 only when the service was started but is not
// running afterwards.
int InstallOcdAgent(int *rebootNeeded);

// Installs each pair from `sourceDir` into `targetDir` with InstallDriverFile, stopping at
// the first failure; true when every pair was installed (an empty list included).
bool InstallDriverFiles(const DriverFilePair *pairs, size_t count, const WCHAR *sourceDir, const WCHAR *targetDir);

// Runs `commandLine` hidden and waits for it to end. True when the process started and
// ended; `*exitCode` (when given) receives its exit code, 0 when it cannot be read, and 98
// when the process could not be started.
bool executecommand(WCHAR *commandLine, DWORD *exitCode = nullptr);

// Hands <system drive>\VADORUREV\pnpdrvs\<infName> to Windows' driver store
// (SetupCopyOEMInfW, looked up in the system's setupapi.dll); true when Windows accepted it.
bool InstallOemINF(const WCHAR *infName);

// Runs `commandLine` in a window titled "QZ Intel OCD Agent" and waits for it; its exit code,
// or 15 when it could not be started.
DWORD RunOcdAgentCommand(const WCHAR *commandLine);
