#include <windows.h>

#include <string>

#include "probe.h"

namespace winprobe {
// ---- processes and run-time loading ---------------------------------------------------------
// A program that cannot be started with a hidden window at real-time priority and a titled
// STARTUPINFOW (missing, in a missing folder, a plain name found nowhere); the system's
// setupapi.dll loaded by its full path with the error mode set around the load, and the
// export looked up in it.
void ProbeProcesses(json &out) {
  MakeDirectory(L"C:\\probe\\proc");
  const struct {
    const char *key;
    const wchar_t *command;
  } cases[] = {
      {"process.create[missing]", L"C:\\probe\\proc\\nosuch.exe /install"},
      {"process.create[missing_folder]", L"C:\\probe\\nofolder\\nosuch.exe /install"},
      {"process.create[missing_plain_name]", L"kvnprobe-nosuch /install"},
  };
  for (const auto &c : cases) {
    std::wstring line = c.command;
    WCHAR title[] = L"kvn probe";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpTitle = title;
    PROCESS_INFORMATION info = {};
    SetLastError(kSentinel);
    json r =
        Status(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | REALTIME_PRIORITY_CLASS,
                              nullptr, nullptr, &startup, &info) != FALSE);
    if (info.hProcess) CloseHandle(info.hProcess);
    if (info.hThread) CloseHandle(info.hThread);
    out[c.key] = r;
  }

  WCHAR system[MAX_PATH] = L"";
  GetSystemDirectoryW(system, MAX_PATH);
  std::wstring path = std::wstring(system) + L"\\setupapi.dll";
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
  SetLastError(kSentinel);
  HMODULE setupapi = LoadLibraryW(path.c_str());
  out["module.load[system_setupapi]"] = Status(setupapi != nullptr);
  out["module.error_mode[restored_from]"] = SetErrorMode(previous);
  if (!setupapi) return;
  for (const char *name : {"SetupCopyOEMInfW", "SetupCopyOEMInfQ"}) {
    SetLastError(kSentinel);
    out[std::string("module.proc[setupapi!") + name + "]"] = Status(GetProcAddress(setupapi, name) != nullptr);
  }
  SetLastError(kSentinel);
  out["module.free[system_setupapi]"] = Status(FreeLibrary(setupapi) != FALSE);
}
}  // namespace winprobe
