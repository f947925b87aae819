#include "machine/process.h"

#include "base/names.h"
#include "machine/system.h"

namespace winsim {

namespace {
const PartSlot<ProcessState> g_process("process");

const wchar_t *const kDefaultEnvironment[][2] = {
    {L"SystemRoot", L"C:\\Windows"},
    {L"windir", L"C:\\Windows"},
    {L"SystemDrive", L"C:"},
    {L"ProgramFiles", L"C:\\Program Files"},
    {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
    {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
    {L"ProgramData", L"C:\\ProgramData"},
    {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
    {L"TEMP", L"C:\\Windows\\Temp"},
    {L"TMP", L"C:\\Windows\\Temp"},
    {L"ComSpec", L"C:\\Windows\\system32\\cmd.exe"},
    {L"PATHEXT", L".COM;.EXE;.BAT;.CMD"},
    {L"Path", L"C:\\Windows\\system32;C:\\Windows"},
    {L"OS", L"Windows_NT"},
    {L"PROCESSOR_ARCHITECTURE", L"AMD64"},
    {L"NUMBER_OF_PROCESSORS", L"2"},
};
}  // namespace

ProcessState &Process() { return g_process(); }

bool ProcessState::Load(MachineFile &file) {
  for (auto &kv : kDefaultEnvironment) environment[Upcased(kv[0])] = {kv[0], kv[1]};
  environment[L"COMPUTERNAME"] = {L"COMPUTERNAME", System().computerName};
  const toml::table *env = nullptr;
  if (!file.Top().Table("env", env)) return false;
  if (!env) return true;
  bool ok = true;
  TableReader r(*env, file.Name(), "[env]", file.Mistakes());
  for (auto &&[k, v] : *env) {
    std::string name(k.str());
    std::wstring value;
    if (!r.Text(name.c_str(), value)) {
      ok = false;
      continue;
    }
    std::wstring wide = FromUtf8(name);
    environment[Upcased(wide)] = {wide, value};
  }
  return ok;
}

}  // namespace winsim
