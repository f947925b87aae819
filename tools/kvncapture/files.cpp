// drive_c/ and binaries.txt: the folders of Windows a setup writes into, the INF files of
// the captured drivers, and the version resources (never the contents) of the drivers'
// files, the package's destination files and the system files the component reads.
#include <windows.h>

#include <cstdio>

#include "capture.h"
#include "support/handles.h"

namespace kvncapture {
namespace {

constexpr DWORD kMaxInfBytes = 16u << 20;  // far beyond any INF file

// The folders a setup writes into; each that exists is made (empty) in the copy.
constexpr const wchar_t *kFolders[] = {
    L"Windows\\INF",  L"Windows\\System32\\drivers", L"Windows\\Temp", L"Windows\\Help",
    L"Program Files", L"Program Files (x86)",        L"ProgramData"};

bool IsFolder(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CopyInf(const std::wstring &path, MachineCapture &capture) {
  unique_hfile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    // An INF the machine does not have is left out as the machine has it; one it has but
    // does not let the capture read is an omission.
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      capture.Omit("INF file " + Utf8Of(path) + ": it cannot be opened (" + ErrorText(error) + "); left out");
    return;
  }
  CapturedFile captured{path, {}};
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
      capture.Omit("INF file " + Utf8Of(path) + ": it cannot be read (" + ErrorText(GetLastError()) + "); left out");
      return;
    }
    if (read == 0) break;
    captured.bytes.append(buffer, read);
    if (captured.bytes.size() > kMaxInfBytes) {
      capture.Omit("INF file " + Utf8Of(path) + ": larger than 16 MB; left out");
      return;
    }
  }
  capture.files.push_back(std::move(captured));
}

std::string VersionText(DWORD ms, DWORD ls) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(ms >> 16), unsigned(ms & 0xFFFF), unsigned(ls >> 16),
                unsigned(ls & 0xFFFF));
  return text;
}

// A string of the version resource's first language, or empty.
std::wstring VersionString(const std::vector<BYTE> &block, const wchar_t *name) {
  struct Translation {
    WORD language, codePage;
  } *translation = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID *>(&translation), &size) ||
      size < sizeof(Translation))
    return {};
  WCHAR query[80];
  std::swprintf(query, 80, L"\\StringFileInfo\\%04x%04x\\%ls", unsigned(translation->language),
                unsigned(translation->codePage), name);
  WCHAR *text = nullptr;
  if (!VerQueryValueW(block.data(), query, reinterpret_cast<LPVOID *>(&text), &size) || !text) return {};
  return std::wstring(text);
}

// Blanks would split a binaries.txt field; each is written as '_'.
std::wstring Field(std::wstring text, const std::wstring &fallback) {
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t')) text.pop_back();
  if (text.empty()) text = fallback;
  for (wchar_t &c : text)
    if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') c = L'_';
  return text;
}

// "drive_c/Windows/System32/drivers/ndis.sys" for C:\Windows\System32\drivers\ndis.sys;
// empty for a path that is not on a drive.
std::string MachinePath(const std::wstring &windowsPath) {
  if (windowsPath.size() < 3 || windowsPath[1] != L':' || windowsPath[2] != L'\\') return {};
  wchar_t letter = windowsPath[0];
  if (letter >= L'A' && letter <= L'Z') letter = wchar_t(letter + 32);
  if (letter < L'a' || letter > L'z') return {};
  std::string path = std::string("drive_") + char(letter) + "/" + Utf8Of(windowsPath.substr(3));
  for (char &c : path)
    if (c == '\\') c = '/';
  return path;
}

// The path with each name in the case the file system stores it ("system32" of an INF's
// DIRID is the folder "System32"), so that the copy has one folder where the machine has one.
std::wstring StoredCase(const std::wstring &path) {
  if (path.size() < 3) return path;
  std::wstring stored = path.substr(0, 2);
  size_t at = 3;
  while (at <= path.size()) {
    size_t end = path.find(L'\\', at);
    if (end == std::wstring::npos) end = path.size();
    std::wstring name = path.substr(at, end - at), next = stored + L"\\" + name;
    WIN32_FIND_DATAW found;
    HANDLE search = name.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW(next.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      unique_hfind owner(search);
      next = stored + L"\\" + found.cFileName;
    }
    stored = next;
    at = end + 1;
  }
  return stored;
}

void ListBinary(const std::wstring &given, MachineCapture &capture) {
  DWORD attributes = GetFileAttributesW(given.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;  // not there
  const std::wstring path = StoredCase(given);
  std::string machinePath = MachinePath(path);
  if (machinePath.empty() || machinePath.find(' ') != std::string::npos) {
    capture.Omit("file " + Utf8Of(path) + ": binaries.txt cannot list a path with blanks; left out");
    return;
  }
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  std::vector<BYTE> block(size ? size : 1);
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT fixedSize = 0;
  if (!size || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID *>(&fixed), &fixedSize) ||
      fixedSize < sizeof(VS_FIXEDFILEINFO)) {
    capture.Omit("file " + Utf8Of(path) + ": it has no version resource that can be read (" +
                 ErrorText(GetLastError()) + "); left out");
    return;
  }
  const char *type = fixed->dwFileType == VFT_DRV ? "drv" : fixed->dwFileType == VFT_DLL ? "dll" : "app";
  std::string version = VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  std::string product = VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  if (product != version) version += "/" + product;
  std::wstring fileName = path.substr(path.rfind(L'\\') + 1);
  std::wstring description = VersionString(block, L"FileDescription");
  while (!description.empty() && description.back() == L' ') description.pop_back();
  for (wchar_t &c : description)
    if (c == L'\r' || c == L'\n' || c == L'\t') c = L' ';
  std::string line = machinePath + "  " + type + "  " + version + "  " +
                     Utf8Of(Field(VersionString(block, L"InternalName"), fileName)) + "  " +
                     Utf8Of(description.empty() ? fileName : description);
  capture.binaries.push_back(line);
}

}  // namespace

void CaptureFiles(const CaptureOptions &options, MachineCapture &capture) {
  WCHAR windows[MAX_PATH] = L"";
  UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring drive = n >= 2 && n < MAX_PATH ? std::wstring(windows, 2) : std::wstring(L"C:");
  for (const wchar_t *folder : kFolders) {
    std::wstring path = drive + L"\\" + folder;
    if (IsFolder(path)) capture.folders.push_back(path);
  }
  if (options.noFiles) {
    capture.summary.push_back("no INF files and no version resources (--no-files)");
    return;
  }
  for (const std::wstring &inf : capture.infFiles.Names()) CopyInf(inf, capture);
  for (const std::wstring &file : capture.versionFiles.Names()) ListBinary(file, capture);
  capture.summary.push_back(std::to_string(capture.files.size()) + " INF files and the version resources of " +
                            std::to_string(capture.binaries.size()) + " files");
}

}  // namespace kvncapture
