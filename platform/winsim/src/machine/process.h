// The simulated process: its image, command line, current directory, error mode and
// environment (the Windows defaults with [env] over them), and the prompts it would have
// shown.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "machine/part.h"

namespace winsim {

class ProcessState : public MachinePart {
 public:
  std::wstring imagePath = L"C:\\Windows\\System32\\kvnhost.exe";
  std::wstring commandLine;
  std::wstring currentDirectory = L"C:\\";
  UINT errorMode = 0;
  // Upper-cased name -> (name as set, value).
  std::map<std::wstring, std::pair<std::wstring, std::wstring>> environment;
  // Calls that would have shown UI on Windows since the machine was opened, each as a text;
  // the call went on as if nobody answered (RecordPrompt).
  std::vector<std::string> prompts;

  bool Load(MachineFile &file) override;
};

// The open machine's process.
ProcessState &Process();

}  // namespace winsim
