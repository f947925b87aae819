// The helpers the probe's areas share (probe.h).
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <stdexcept>
#include <string>
#include <vector>

#include "probe.h"

namespace winprobe {
namespace {
std::string Hex(const BYTE *data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

std::wstring Upper(std::wstring text) {
  for (auto &c : text) c = wchar_t(std::towupper(c));
  return text;
}

std::wstring ReplaceFolder(const std::wstring &text, const std::wstring &folder, const std::wstring &name) {
  if (folder.empty()) return text;
  std::wstring upper = Upper(text), key = Upper(folder), out;
  size_t from = 0;
  for (size_t at; (at = upper.find(key, from)) != std::wstring::npos; from = at + key.size())
    out += text.substr(from, at - from) + name;
  return out + text.substr(from);
}
}  // namespace

std::string KeyText(const std::wstring &input) {
  std::string out;
  for (char c : Utf8(input)) out += c == ' ' ? std::string("<space>") : std::string(1, c);
  return out;
}

json Status(bool ok) {
  DWORD error = GetLastError();
  json r = {{"ok", ok}};
  if (!ok) r["error"] = unsigned(error);
  return r;
}

// ---- fixtures ----------------------------------------------------------------------------
void Fixture(bool ok, const std::wstring &what) {
  if (!ok)
    throw std::runtime_error("cannot create the fixture " + Utf8(what) + " (error " +
                             std::to_string(unsigned(GetLastError())) + ")");
}

void WriteBytes(const std::wstring &path, const void *data, size_t size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  Fixture(file != INVALID_HANDLE_VALUE, path);
  DWORD written = 0;
  BOOL ok = size == 0 || WriteFile(file, data, DWORD(size), &written, nullptr);
  CloseHandle(file);
  Fixture(ok && written == size, path);
}

void WriteText(const std::wstring &path, const std::string &text) { WriteBytes(path, text.data(), text.size()); }

void WriteImage(const std::wstring &path, const mkpe::VersionInfo *info, mkpe::FileType type, mkpe::Architecture arch) {
  std::vector<uint8_t> image = mkpe::BuildImage(info, type, arch);
  WriteBytes(path, image.data(), image.size());
}

void MakeDirectory(const std::wstring &path) { Fixture(CreateDirectoryW(path.c_str(), nullptr) != 0, path); }

json ReadText(const std::wstring &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  std::string text;
  char buffer[512];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::wstring &dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring path = dir + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      RemoveTree(path);
    else
      DeleteFileW(path.c_str());
  } while (FindNextFileW(find, &data));
  FindClose(find);
  RemoveDirectoryW(dir.c_str());
}

// ---- texts of results --------------------------------------------------------------------
std::string HexText(UINT n) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", n);
  return text;
}

std::string NameShape(const std::string &name, size_t prefixLength) {
  size_t slash = name.rfind('\\');
  size_t start = (slash == std::string::npos ? 0 : slash + 1) + prefixLength;
  size_t end = start;
  while (end < name.size() && std::isxdigit(static_cast<unsigned char>(name[end]))) ++end;
  return name.substr(0, start) + "#" + name.substr(end);
}

std::string WithoutWindowsFolder(const std::wstring &text) {
  WCHAR windir[MAX_PATH] = L"", system[MAX_PATH] = L"";
  GetWindowsDirectoryW(windir, MAX_PATH);
  GetSystemDirectoryW(system, MAX_PATH);
  return Utf8(ReplaceFolder(ReplaceFolder(text, system, L"%system%"), windir, L"%windir%"));
}

std::string Hr(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(hr));
  return text;
}

// ---- registry values and keys ------------------------------------------------------------
bool IsRegText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

json RegData(DWORD type, const BYTE *data, DWORD bytes) {
  if (IsRegText(type)) {
    std::wstring text(bytes / sizeof(WCHAR), L'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * sizeof(WCHAR));
    return Utf8(text);
  }
  if (type == REG_DWORD && bytes == 4) {
    DWORD n;
    std::memcpy(&n, data, 4);
    return unsigned(n);
  }
  if (type == REG_QWORD && bytes == 8) {
    uint64_t n;
    std::memcpy(&n, data, 8);
    return n;
  }
  return Hex(data, bytes);
}

LSTATUS DeleteRegTree(HKEY parent, const std::wstring &path) {
  HKEY key = nullptr;
  LSTATUS e = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key);
  if (e != ERROR_SUCCESS) return e;
  for (int guard = 0; guard < 1000; ++guard) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (DeleteRegTree(key, name) != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return RegDeleteKeyW(parent, path.c_str());
}
}  // namespace winprobe
