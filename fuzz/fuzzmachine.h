// What the fuzz targets share: a simulated machine in a temporary directory of its own,
// opened once per process, and the input written into it as files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// The machine directory of this process (made on the first call, removed at exit). It has
// drive C: and a machine.toml that fixes the clock.
const std::filesystem::path &MachineDir();
// Opens the machine of MachineDir() unless a machine is open; the current directory of the
// simulated process is C:\Fuzz.
void EnsureMachine();
// Writes `content` to the open machine's file `windowsPath`, creating its folders.
void WriteMachineFile(const std::wstring &windowsPath, std::string_view content);
// Writes a host file, creating its folders.
void WriteHostFile(const std::filesystem::path &file, std::string_view content);
std::string ReadHostFile(const std::filesystem::path &file);

// The input cut at each `separator` into at most `parts` pieces (the last one keeps the
// rest, separators included); fewer pieces when the separator is missing.
std::vector<std::string_view> Split(std::string_view input, std::string_view separator, size_t parts);

inline std::string_view Bytes(const uint8_t *data, size_t size) { return {reinterpret_cast<const char *>(data), size}; }

// Stops the process as a finding: libFuzzer saves the input that got here.
[[noreturn]] void Fail(const std::string &what);

}  // namespace fuzz
