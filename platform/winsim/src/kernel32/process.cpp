// Child processes: CreateProcessW runs what the machine's [[programs]] entries describe, on
// the machine's virtual clock.
#include <memory>
#include <string>
#include <vector>

#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "machine/services.h"
#include "machine/clock.h"
#include "machine/process.h"
#include "machine/programs.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

namespace winsim {
namespace {
struct ProcessObject : Object {
  explicit ProcessObject(Kind k) : Object(k) {}
  std::wstring image;
  int64_t startUtc = 0;
  int64_t runsMs = 0;
  DWORD exitCode = 0;
  bool neverExits = false;
  DWORD id = 0;

  int64_t RemainingMs() const {
    if (neverExits) return INT64_MAX;
    int64_t elapsed = (Clock().Now() - startUtc) / 10000;
    return runsMs > elapsed ? runsMs - elapsed : 0;
  }
};

DWORD g_nextId = 1000;

// The names a command line's program may have: the quoted first token, or else each
// run of text up to a blank, shortest first ("C:\Program Files\a b.exe" unquoted is tried
// as "C:\Program", then "C:\Program Files\a", then the whole).
std::vector<std::wstring> ProgramCandidates(const std::wstring &cmd) {
  size_t i = 0;
  while (i < cmd.size() && (cmd[i] == L' ' || cmd[i] == L'\t')) ++i;
  if (i < cmd.size() && cmd[i] == L'"') {
    size_t end = cmd.find(L'"', i + 1);
    return {cmd.substr(i + 1, end == std::wstring::npos ? std::wstring::npos : end - i - 1)};
  }
  std::vector<std::wstring> names;
  for (size_t end = cmd.find_first_of(L" \t", i);; end = cmd.find_first_of(L" \t", end + 1)) {
    std::wstring name = cmd.substr(i, end == std::wstring::npos ? std::wstring::npos : end - i);
    while (!name.empty() && (name.back() == L' ' || name.back() == L'\t')) name.pop_back();
    if (!name.empty() && (names.empty() || names.back() != name)) names.push_back(name);
    if (end == std::wstring::npos) break;
  }
  return names;
}

// Finds the program file: a path as given, or a plain name in the image's directory, the
// current directory, the system and Windows directories and PATH; ".exe" is implied.
std::wstring FindProgram(std::wstring program) {
  if (LastName(program).find(L'.') == std::wstring::npos) program += L".exe";
  auto existing = [](const std::wstring &path) -> std::wstring {
    DWORD err;
    std::wstring full = FullPath(path, &err);
    if (full.empty()) return {};
    Resolved r = Resolve(full);
    return (!r.error && r.exists && !r.isDir) ? r.key : std::wstring();
  };
  if (program.find_first_of(L"\\/:") != std::wstring::npos) return existing(program);
  wchar_t sys[MAX_PATH], win[MAX_PATH], path[4096];
  GetSystemDirectoryW(sys, MAX_PATH);
  GetWindowsDirectoryW(win, MAX_PATH);
  std::vector<std::wstring> dirs = {ParentOf(Process().imagePath), Process().currentDirectory, sys, win};
  DWORD n = GetEnvironmentVariableW(L"PATH", path, 4096);
  if (n && n < 4096) {
    std::wstring p = path;
    for (size_t start = 0; start <= p.size();) {
      size_t end = p.find(L';', start);
      if (end == std::wstring::npos) end = p.size();
      if (end > start) dirs.push_back(p.substr(start, end - start));
      start = end + 1;
    }
  }
  for (auto &d : dirs) {
    std::wstring found = existing(d + (d.back() == L'\\' ? L"" : L"\\") + program);
    if (!found.empty()) return found;
  }
  return {};
}
}  // namespace
}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID, LPCWSTR lpCurrentDirectory,
                           LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  WINSIM_ENTRY("kernel32.dll", CreateProcessW, FALSE, lpApplicationName, lpCommandLine);
  if (!lpStartupInfo || !lpProcessInformation || (!lpApplicationName && !lpCommandLine))
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (lpStartupInfo->cb < sizeof(STARTUPINFOW)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // Programs run to their end on the machine clock; one held suspended or under this
  // process's debugger would need a thread model winsim does not have. Window, console and
  // priority flags change nothing a program of [[programs]] does.
  if (dwCreationFlags & (DEBUG_PROCESS | DEBUG_ONLY_THIS_PROCESS | CREATE_SUSPENDED)) {
    NotModelled("CreateProcessW", "a process started suspended or under a debugger");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  if (lpCurrentDirectory) {
    Resolved dir = ResolvePath(lpCurrentDirectory);
    if (dir.error || !dir.exists || !dir.isDir) return Fail(ERROR_DIRECTORY, FALSE);
  }
  std::wstring image;
  if (lpApplicationName) {
    // Taken as written (against the current directory): no search, no implied extension.
    Resolved r = ResolvePath(lpApplicationName);
    if (r.error) return Fail(r.error, FALSE);
    if (!r.exists || r.isDir) return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
    image = r.key;
  } else {
    for (const std::wstring &name : ProgramCandidates(lpCommandLine)) {
      image = FindProgram(name);
      if (!image.empty()) break;
    }
    if (image.empty()) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
  }

  const ProgramSpec *described = nullptr;
  for (auto &p : Programs().programs)
    if (EqualNoCase(p.name, LastName(image))) described = &p;
  if (!described) {
    NotModelled("CreateProcessW", "running " + ToUtf8(image) + " (no [[programs]] entry describes it)");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  // A program that installs a service (its "/install" run) creates it as CreateServiceW would.
  if (const auto &cs = described->createsService;
      cs && (cs->whenArgs.empty() ||
             std::wstring(lpCommandLine ? lpCommandLine : L"").find(cs->whenArgs) != std::wstring::npos)) {
    std::wstring binary = cs->binary.empty() ? image : cs->binary;
    CreateServiceEntry(cs->name, cs->displayName.empty() ? nullptr : &cs->displayName, cs->type, cs->startType,
                       SERVICE_ERROR_NORMAL, binary, nullptr, nullptr, nullptr);
  }

  auto process = std::make_shared<ProcessObject>(Object::Kind::Process);
  process->image = image;
  process->startUtc = Clock().Now();
  process->runsMs = described->runsMs;
  process->exitCode = described->exitCode;
  process->neverExits = described->neverExits;
  process->id = g_nextId;
  // The primary thread ends with its process.
  auto thread = std::make_shared<ProcessObject>(Object::Kind::Thread);
  thread->image = process->image;
  thread->startUtc = process->startUtc;
  thread->runsMs = process->runsMs;
  thread->exitCode = process->exitCode;
  thread->neverExits = process->neverExits;
  thread->id = g_nextId + 1;
  g_nextId += 4;
  lpProcessInformation->hProcess = AddObject(process);
  lpProcessInformation->hThread = AddObject(thread);
  lpProcessInformation->dwProcessId = process->id;
  lpProcessInformation->dwThreadId = thread->id;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  WINSIM_ENTRY("kernel32.dll", WaitForSingleObject, WAIT_FAILED);
  auto obj = FindObject(hHandle, Object::Kind::Process);
  if (!obj) obj = FindObject(hHandle, Object::Kind::Thread);
  if (!obj) {
    if (hHandle && hHandle != INVALID_HANDLE_VALUE && FindObject(hHandle, Object::Kind::File))
      NotModelled("WaitForSingleObject", "waiting on a file handle");
    return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  }
  auto &p = static_cast<ProcessObject &>(*obj);
  int64_t remaining = p.RemainingMs();
  if (remaining == 0) return WAIT_OBJECT_0;
  if (dwMilliseconds == INFINITE) {
    if (p.neverExits) {
      NotModelled("WaitForSingleObject",
                  "an infinite wait on " + ToUtf8(p.image) + ", which never exits (the process would hang)");
      return Fail(ERROR_CALL_NOT_IMPLEMENTED, WAIT_FAILED);
    }
    Clock().Advance(remaining);
    return WAIT_OBJECT_0;
  }
  if (int64_t(dwMilliseconds) >= remaining) {
    Clock().Advance(remaining);
    return WAIT_OBJECT_0;
  }
  Clock().Advance(dwMilliseconds);
  return WAIT_TIMEOUT;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  WINSIM_ENTRY("kernel32.dll", GetExitCodeProcess, FALSE);
  auto obj = FindObject(hProcess, Object::Kind::Process);
  if (!obj) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpExitCode) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto &p = static_cast<ProcessObject &>(*obj);
  *lpExitCode = p.RemainingMs() > 0 ? DWORD(STILL_ACTIVE) : p.exitCode;
  return TRUE;
}

}  // extern "C"
