// ShellExecuteW: a file opened through the association its extension has in
// HKEY_CLASSES_ROOT. A program (an association whose command starts the file itself, "%1")
// is started with CreateProcessW, so the machine's [[programs]] say what it does; any other
// document is opened by its handler, which winsim does not run: the opening is recorded, in
// order, as values of HKLM\SOFTWARE\winsim\ShellExecute ("verb|file|command as expanded"),
// where the machine's state and kvnhost diff show it.
#include <shellapi.h>
#include <windows.h>

#include <string>
#include <vector>

#include "plumbing/hooks.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {
constexpr wchar_t kRecordKey[] = L"SOFTWARE\\winsim\\ShellExecute";

HINSTANCE Result(INT_PTR code) { return reinterpret_cast<HINSTANCE>(code); }

// ShellExecute's error codes are DOS-era numbers; the last error says the same in Win32's.
HINSTANCE Error(INT_PTR code, DWORD lastError) {
  SetLastError(lastError);
  return Result(code);
}

// A default value under HKEY_CLASSES_ROOT (REG_EXPAND_SZ expanded); empty when absent.
std::wstring ClassText(const std::wstring &subKey) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, subKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
          ERROR_SUCCESS ||
      size < sizeof(wchar_t))
    return L"";
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  if (RegGetValueW(HKEY_CLASSES_ROOT, subKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text.data(), &size) !=
      ERROR_SUCCESS)
    return L"";
  return text.data();
}

// The association's command with "%1"/"%L" as the file and "%*" as the parameters.
std::wstring Command(const std::wstring &pattern, const std::wstring &file, const std::wstring &parameters) {
  std::wstring out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == L'%' && i + 1 < pattern.size()) {
      wchar_t c = pattern[i + 1];
      if (c == L'1' || c == L'l' || c == L'L') {
        out += file;
        ++i;
        continue;
      }
      if (c == L'*') {
        out += parameters;
        ++i;
        continue;
      }
    }
    out += pattern[i];
  }
  while (!out.empty() && out.back() == L' ') out.pop_back();
  return out;
}

bool Record(const std::wstring &entry) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  // The next free number: the openings keep their order.
  DWORD count = 0;
  while (RegQueryValueExW(key, std::to_wstring(count).c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
    ++count;
  std::wstring name = std::to_wstring(count);
  LSTATUS status = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(entry.c_str()),
                                  DWORD((entry.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}
}  // namespace

extern "C" {

HINSTANCE WINAPI ShellExecuteW(HWND, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters, LPCWSTR lpDirectory,
                               INT) {
  WINSIM_ENTRY("shell32.dll", ShellExecuteW, Result(SE_ERR_OOM), lpFile, lpOperation);
  if (!lpFile || !*lpFile) return Error(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
  std::wstring verb = lpOperation && *lpOperation ? lpOperation : L"open";
  std::wstring parameters = lpParameters ? lpParameters : L"";

  // A relative name is looked for in the given directory.
  std::wstring file = lpFile;
  bool relative = !(file.size() >= 2 && (file[1] == L':' || (file[0] == L'\\' && file[1] == L'\\')));
  if (relative && lpDirectory && *lpDirectory)
    file = std::wstring(lpDirectory) + (lpDirectory[wcslen(lpDirectory) - 1] == L'\\' ? L"" : L"\\") + file;
  Resolved r = ResolvePath(file.c_str());
  if (r.error == ERROR_PATH_NOT_FOUND || (!r.error && !r.exists && !r.parentExists))
    return Error(SE_ERR_PNF, ERROR_PATH_NOT_FOUND);
  if (r.error || !r.exists) return Error(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
  if (r.isDir) {
    NotModelled("ShellExecuteW", "opening a folder");
    return Error(SE_ERR_NOASSOC, ERROR_CALL_NOT_IMPLEMENTED);
  }

  std::wstring name = LastName(r.key);
  size_t dot = name.rfind(L'.');
  std::wstring progId = dot == std::wstring::npos ? L"" : ClassText(name.substr(dot));
  std::wstring pattern = progId.empty() ? L"" : ClassText(progId + L"\\shell\\" + verb + L"\\command");
  if (pattern.empty()) return Error(SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION);

  std::wstring command = Command(pattern, r.key, parameters);
  // A program's association starts the file itself.
  if (Command(pattern, L"", L"").find_first_not_of(L"\" ") == std::wstring::npos) {
    std::wstring commandLine = Command(pattern, r.key, parameters);
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const wchar_t *directory = lpDirectory && *lpDirectory ? lpDirectory : nullptr;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &process)) {
      DWORD error = GetLastError();
      return Error(error == ERROR_FILE_NOT_FOUND   ? SE_ERR_FNF
                   : error == ERROR_PATH_NOT_FOUND ? SE_ERR_PNF
                                                   : SE_ERR_ACCESSDENIED,
                   error);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (!Record(verb + L"|" + r.key + L"|" + command)) return Error(SE_ERR_ACCESSDENIED, ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return Result(42);  // any value above 32 is success
}

}  // extern "C"
