// The programs the machine can run ([[programs]]): what a child process of each does, by
// its file name.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "machine/part.h"

namespace winsim {

struct CreatesService {
  std::wstring whenArgs, name, displayName, binary;
  DWORD type = 16;  // SERVICE_WIN32_OWN_PROCESS
  DWORD startType = 2;
};

struct ProgramSpec {
  std::wstring name;  // file name, matched without regard to case
  DWORD exitCode = 0;
  int64_t runsMs = 0;
  bool neverExits = false;
  std::optional<CreatesService> createsService;
  toml::table raw;  // the whole entry as written
};

class ProgramTable : public MachinePart {
 public:
  std::vector<ProgramSpec> programs;

  bool Load(MachineFile &file) override;
};

// The open machine's programs.
ProgramTable &Programs();

}  // namespace winsim
