// Environment variables, system directories and the identity of the simulated process.
#include <cstring>

#include "plumbing/hooks.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "machine/process.h"
#include "plumbing/calls.h"

using namespace winsim;

namespace {
const std::pair<std::wstring, std::wstring> *FindVariable(std::wstring_view name) {
  auto &env = Process().environment;
  auto it = env.find(Upcased(name));
  return it == env.end() ? nullptr : &it->second;
}

std::wstring SystemRoot() {
  auto v = FindVariable(L"SystemRoot");
  return v ? v->second : L"C:\\Windows";
}

// Copies a directory name as GetSystemDirectoryW and friends do: the length without
// terminator when it fits, else the size needed with it.
UINT CopyDirectory(const std::wstring &text, LPWSTR buffer, UINT size) { return CopyOut(text, buffer, size); }
}  // namespace

extern "C" {

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  WINSIM_ENTRY("kernel32.dll", ExpandEnvironmentStringsW, 0u, lpSrc);
  if (!lpSrc) return Fail(ERROR_INVALID_PARAMETER, 0u);
  std::wstring out;
  const wchar_t *p = lpSrc;
  while (*p) {
    if (*p != L'%') {
      out += *p++;
      continue;
    }
    const wchar_t *end = std::wcschr(p + 1, L'%');
    if (!end) {  // a lone '%' stays as written
      out += p;
      break;
    }
    std::wstring name(p + 1, end);
    const auto *var = name.empty() ? nullptr : FindVariable(name);
    if (var) {
      out += var->second;
      p = end + 1;
    } else {
      // Unknown: the '%' and the name stay; the closing '%' may open the next reference.
      out += L'%';
      out += name;
      p = end;
    }
  }
  DWORD needed = DWORD(out.size() + 1);
  if (lpDst && nSize >= needed) {
    out.copy(lpDst, out.size());
    lpDst[out.size()] = L'\0';
  }
  return needed;
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  WINSIM_ENTRY("kernel32.dll", GetEnvironmentVariableW, 0u, lpName);
  if (!lpName) return Fail(ERROR_INVALID_PARAMETER, 0u);
  const auto *var = FindVariable(lpName);
  if (!var) return Fail(ERROR_ENVVAR_NOT_FOUND, 0u);
  // The last error is left as it was, also for an empty value.
  return CopyOut(var->second, lpBuffer, nSize);
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  WINSIM_ENTRY("kernel32.dll", SetEnvironmentVariableW, FALSE, lpName);
  if (!lpName || !*lpName || std::wcschr(lpName + 1, L'=')) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto &env = Process().environment;
  if (!lpValue)
    env.erase(Upcased(lpName));
  else
    env[Upcased(lpName)] = {lpName, lpValue};
  return TRUE;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  WINSIM_ENTRY("kernel32.dll", GetSystemDirectoryW, 0u);
  return CopyDirectory(SystemRoot() + L"\\system32", lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  WINSIM_ENTRY("kernel32.dll", GetWindowsDirectoryW, 0u);
  return CopyDirectory(SystemRoot(), lpBuffer, uSize);
}

LPWSTR WINAPI GetCommandLineW(void) { return Process().commandLine.data(); }

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  WINSIM_ENTRY("kernel32.dll", GetCurrentDirectoryW, 0u);
  return CopyOut(Process().currentDirectory, lpBuffer, nBufferLength);
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
  WINSIM_ENTRY("kernel32.dll", SetCurrentDirectoryW, FALSE, lpPathName);
  Resolved r = ResolvePath(lpPathName);
  if (r.error) return Fail(r.error, FALSE);
  if (!r.exists) return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  if (!r.isDir) return Fail(ERROR_DIRECTORY, FALSE);
  Process().currentDirectory = r.key;
  return TRUE;
}

}  // extern "C"
