// Where the capture runs: the real Windows it is started on, or (the Linux build) a winsim
// machine directory named with --machine, copied first so that the capture leaves it as it
// was.
#pragma once

#include <filesystem>
#include <string>

namespace kvncapture {

// Opens the machine. `packageDir` is the --package folder as given (empty without one);
// `packageOnMachine` is where the capture finds it. False with a one-line reason.
bool EnterCapturePlace(const std::string &machineDir, const std::string &packageDir, std::wstring &packageOnMachine,
                       std::string &error);
void LeaveCapturePlace();
// Whether the machine directory written at `out` loads (winsim); always true on Windows,
// where no simulator is at hand. False with the load error.
bool CaptureLoads(const std::filesystem::path &out, std::string &error);

}  // namespace kvncapture
