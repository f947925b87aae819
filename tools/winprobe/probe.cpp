// winprobe: runs a fixed set of Win32 calls on inputs it creates itself and prints one JSON
// object, a stable key per case. Built for Linux (over winsim) and for Windows, so the two
// answers can be compared key by key. Values hold only what must not differ between two
// correct systems: no absolute temporary paths, times or block sizes.
#include <windows.h>
#include <cfgmgr32.h>
#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>
#include <newdev.h>
#include <shellapi.h>
#include <shlguid.h>
#include <shlobj.h>
#include <wbemidl.h>
// The property keys are defined here, once for the program.
#include <initguid.h>
#include <devpkey.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "infshapes.h"
#include "pewriter.h"
#include "place.h"
#include "utf8text.h"

using nlohmann::json;

namespace {
constexpr DWORD kSentinel = 0xDEADBEEF;

using toolcommon::Utf8;

// Text of a case's input inside its key: keys never hold blanks, so that lists of keys can
// be written one per line with a comment behind.
std::string KeyText(const std::wstring &input) {
  std::string out;
  for (char c : Utf8(input)) out += c == ' ' ? std::string("<space>") : std::string(1, c);
  return out;
}

// {"ok": true} or {"ok": false, "error": GetLastError()}. Called directly on the result of
// the call under test, so nothing runs in between.
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

void WriteImage(const std::wstring &path, const mkpe::VersionInfo *info, mkpe::FileType type,
                mkpe::Architecture arch = mkpe::Architecture::X64) {
  std::vector<uint8_t> image = mkpe::BuildImage(info, type, arch);
  WriteBytes(path, image.data(), image.size());
}

void MakeDirectory(const std::wstring &path) { Fixture(CreateDirectoryW(path.c_str(), nullptr) != 0, path); }

// The contents of a file, or null when it cannot be opened.
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

// Removes a folder left by an earlier run, with everything in it.
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

// ---- version resources -------------------------------------------------------------------
json QueryString(const std::vector<uint8_t> &block, const std::wstring &subBlock) {
  LPVOID value = nullptr;
  UINT length = kSentinel;
  BOOL ok = VerQueryValueW(block.data(), subBlock.c_str(), &value, &length);
  json r = {{"ok", ok != 0}};
  if (ok && value) {
    r["len"] = length;
    r["text"] = Utf8(static_cast<const WCHAR *>(value));
  }
  return r;
}

void ProbeVersionFile(json &out, const std::string &key, const std::wstring &path) {
  DWORD handle = kSentinel;
  SetLastError(kSentinel);
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  json r = Status(size != 0);
  r["handle"] = unsigned(handle);
  out[key + ".size"] = r;
  if (!size) return;

  std::vector<uint8_t> block(size);
  SetLastError(kSentinel);
  out[key + ".read"] = Status(GetFileVersionInfoW(path.c_str(), 0, size, block.data()) != 0);

  LPVOID value = nullptr;
  UINT length = kSentinel;
  BOOL ok = VerQueryValueW(block.data(), L"\\", &value, &length);
  json root = {{"ok", ok != 0}};
  if (ok && value && length >= sizeof(VS_FIXEDFILEINFO)) {
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
    root["len"] = length;
    root["dwSignature"] = unsigned(fixed->dwSignature);
    root["dwFileVersionMS"] = unsigned(fixed->dwFileVersionMS);
    root["dwFileVersionLS"] = unsigned(fixed->dwFileVersionLS);
    root["dwProductVersionMS"] = unsigned(fixed->dwProductVersionMS);
    root["dwProductVersionLS"] = unsigned(fixed->dwProductVersionLS);
    root["dwFileOS"] = unsigned(fixed->dwFileOS);
    root["dwFileType"] = unsigned(fixed->dwFileType);
  }
  out[key + ".root"] = root;

  value = nullptr;
  length = kSentinel;
  ok = VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length);
  json translation = {{"ok", ok != 0}};
  if (ok && value && length >= 4) {
    const auto *words = static_cast<const WORD *>(value);
    translation["len"] = length;
    translation["language"] = unsigned(words[0]);
    translation["codepage"] = unsigned(words[1]);
  }
  out[key + ".translation"] = translation;

  const wchar_t *const queries[] = {
      L"\\StringFileInfo\\040904B0\\CompanyName",   L"\\StringFileInfo\\040904B0\\InternalName",
      L"\\StringFileInfo\\040904B0\\FileVersion",   L"\\StringFileInfo\\040904B0\\LegalCopyright",
      L"\\StringFileInfo\\040904b0\\companyname",   L"\\StringFileInfo\\04070000\\CompanyName",
      L"\\StringFileInfo\\040904B0\\ProductVersion"};
  for (const wchar_t *q : queries) out[key + ".query[" + KeyText(q) + "]"] = QueryString(block, q);
}

void ProbeVersions(json &out) {
  const std::wstring dir = L"C:\\probe\\ver";
  MakeDirectory(dir);

  mkpe::VersionInfo dll;
  dll.fileVersion = {1, 2, 3, 4};
  dll.productVersion = {5, 6, 7, 8};
  dll.companyName = "Probe Works Inc.";
  dll.internalName = "probeint";
  dll.fileDescription = "Version fixture";
  WriteImage(dir + L"\\withver.dll", &dll, mkpe::FileType::Dll);

  mkpe::VersionInfo app;
  app.fileVersion = {65535, 0, 1, 65534};
  app.productVersion = {10, 0, 17763, 1};
  app.companyName = "Probe Works Inc.";
  app.internalName = "probe32";
  app.productVersionText = "10.0 (build 17763)";
  WriteImage(dir + L"\\withver32.exe", &app, mkpe::FileType::App, mkpe::Architecture::X86);

  mkpe::VersionInfo drv;
  drv.fileVersion = {4, 3, 2, 1};
  drv.productVersion = {4, 3, 2, 1};
  drv.internalName = "probedrv.sys";
  WriteImage(dir + L"\\driver.sys", &drv, mkpe::FileType::Drv);

  WriteImage(dir + L"\\nores.dll", nullptr, mkpe::FileType::Dll);
  WriteText(dir + L"\\text.dll", "This file is not an executable image.\r\n");
  WriteText(dir + L"\\empty.dll", "");

  for (const wchar_t *name :
       {L"withver.dll", L"withver32.exe", L"driver.sys", L"nores.dll", L"text.dll", L"empty.dll", L"missing.dll"})
    ProbeVersionFile(out, "ver." + Utf8(name), dir + L"\\" + name);
  ProbeVersionFile(out, "ver.missing_dir", L"C:\\probe\\nodir\\withver.dll");
}

// ---- environment -------------------------------------------------------------------------
void ProbeEnvironment(json &out) {
  SetLastError(kSentinel);
  out["env.set[KvnProbe]"] = Status(SetEnvironmentVariableW(L"KvnProbe", L"Value1") != 0);
  SetEnvironmentVariableW(L"KvnEmpty", L"");
  SetEnvironmentVariableW(L"KvnGone", L"x");
  SetLastError(kSentinel);
  out["env.delete[KvnGone]"] = Status(SetEnvironmentVariableW(L"KvnGone", nullptr) != 0);
  SetLastError(kSentinel);
  out["env.set[a=b]"] = Status(SetEnvironmentVariableW(L"a=b", L"x") != 0);

  const wchar_t *const inputs[] = {L"%KvnProbe%",
                                   L"%KVNPROBE%",
                                   L"%kvnprobe%",
                                   L"%unknown_var%",
                                   L"a%KvnProbe%b%unknown%c",
                                   L"100%",
                                   L"%%",
                                   L"%KvnProbe%%KvnProbe%",
                                   L"%KvnProbe",
                                   L"KvnProbe%",
                                   L"%%KvnProbe%%",
                                   L"%unknown%KvnProbe%",
                                   L"%KvnEmpty%",
                                   L"[%KvnGone%]",
                                   L"%SystemDrive%\\vadorurev",
                                   L"no references",
                                   L""};
  for (const wchar_t *in : inputs) {
    WCHAR buffer[256];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    SetLastError(kSentinel);
    DWORD n = ExpandEnvironmentStringsW(in, buffer, 256);
    json r = {{"ret", unsigned(n)}};
    if (n == 0) r["error"] = unsigned(GetLastError());
    if (n > 0 && n <= 256) r["text"] = Utf8(buffer);
    out["env.expand[" + KeyText(in) + "]"] = r;
  }

  // Too small: the size needed comes back, including the terminator.
  WCHAR small[3];
  out["env.expand_small[%KvnProbe%,3]"] = unsigned(ExpandEnvironmentStringsW(L"%KvnProbe%", small, 3));
  out["env.expand_size[%KvnProbe%,0]"] = unsigned(ExpandEnvironmentStringsW(L"%KvnProbe%", nullptr, 0));

  WCHAR value[64] = L"";
  SetLastError(kSentinel);
  DWORD n = GetEnvironmentVariableW(L"kvnprobe", value, 64);
  out["env.get[kvnprobe]"] = {{"ret", unsigned(n)}, {"text", Utf8(value)}};
  SetLastError(kSentinel);
  n = GetEnvironmentVariableW(L"KvnProbe", value, 3);
  out["env.get_small[KvnProbe,3]"] = unsigned(n);
  SetLastError(kSentinel);
  n = GetEnvironmentVariableW(L"KvnGone", value, 64);
  out["env.get[KvnGone]"] = {{"ret", unsigned(n)}, {"error", unsigned(GetLastError())}};
  SetLastError(kSentinel);
  value[0] = L'#';
  n = GetEnvironmentVariableW(L"KvnEmpty", value, 64);
  DWORD error = GetLastError();
  out["env.get[KvnEmpty]"] = {{"ret", unsigned(n)}, {"error", unsigned(error)}, {"text", Utf8(value)}};
}

// ---- temporary file names ----------------------------------------------------------------
std::string HexText(UINT n) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", n);
  return text;
}

// The name with its number replaced by '#': "C:\probe\tmp\_VQ#.tmp".
std::string NameShape(const std::string &name, size_t prefixLength) {
  size_t slash = name.rfind('\\');
  size_t start = (slash == std::string::npos ? 0 : slash + 1) + prefixLength;
  size_t end = start;
  while (end < name.size() && std::isxdigit(static_cast<unsigned char>(name[end]))) ++end;
  return name.substr(0, start) + "#" + name.substr(end);
}

void ProbeTempNames(json &out) {
  MakeDirectory(L"C:\\probe\\tmp");
  struct Case {
    const char *key;
    const wchar_t *dir;
    const wchar_t *prefix;
    UINT unique;
  };
  const Case given[] = {
      {"tmp.given[.]", L".", L"_VQ", 0x1A2B},
      {"tmp.given[C:\\probe\\]", L"C:\\probe\\", L"_VQ", 0x1A2B},
      {"tmp.given[C:\\probe]", L"C:\\probe", L"_VQ", 0x1A2B},
      {"tmp.given[long_prefix]", L"C:\\probe\\tmp", L"ABCDEF", 0x1A2B},
      {"tmp.given[empty_prefix]", L"C:\\probe\\tmp", L"", 0xBEEF},
      {"tmp.given[above_16_bits]", L"C:\\probe\\tmp", L"_VQ", 0x12345},
      {"tmp.given[missing_dir]", L"C:\\probe\\nodir", L"_VQ", 0x1A2B},
  };
  for (const Case &c : given) {
    WCHAR name[MAX_PATH] = L"";
    SetLastError(kSentinel);
    UINT n = GetTempFileNameW(c.dir, c.prefix, c.unique, name);
    json r = {{"ret", unsigned(n)}};
    if (n == 0) r["error"] = unsigned(GetLastError());
    r["name"] = Utf8(name);
    r["created"] = Exists(name);
    out[c.key] = r;
  }

  const Case generated[] = {
      {"tmp.generated[.]", L".", L"_VQ", 0},
      {"tmp.generated[C:\\probe\\tmp\\]", L"C:\\probe\\tmp\\", L"_VQ", 0},
      {"tmp.generated[missing_dir]", L"C:\\probe\\nodir", L"_VQ", 0},
      {"tmp.generated[file_as_dir]", L"C:\\probe\\tmp\\file.txt", L"_VQ", 0},
      {"tmp.generated[TMP_prefix]", L"C:\\probe\\tmp", L"TMP", 0},
  };
  WriteText(L"C:\\probe\\tmp\\file.txt", "x");
  for (const Case &c : generated) {
    WCHAR name[MAX_PATH] = L"";
    SetLastError(kSentinel);
    UINT n = GetTempFileNameW(c.dir, c.prefix, 0, name);
    json r = Status(n != 0);
    if (n) {
      std::string text = Utf8(name);
      r["shape"] = NameShape(text, 3);
      size_t slash = text.rfind('\\');
      std::string number = text.substr(slash + 4, text.find('.', slash + 4) - slash - 4);
      for (auto &ch : number) ch = char(std::toupper(static_cast<unsigned char>(ch)));
      r["number_is_ret"] = number == HexText(n);
      r["created"] = Exists(name);
      HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        r["size"] = unsigned(GetFileSize(file, nullptr));
        CloseHandle(file);
      }
      DeleteFileW(name);
    }
    out[c.key] = r;
  }
}

// ---- directory searches ------------------------------------------------------------------
void ProbeFind(json &out) {
  const std::wstring dir = L"C:\\probe\\find";
  MakeDirectory(dir);
  for (const wchar_t *name :
       {L"VQ1.XML", L"vq.xml", L"vqa.xml.bak", L"vq.a.xml", L"vqz40e.xml", L"readme.txt", L"noext"})
    WriteText(dir + L"\\" + name, Utf8(name));
  MakeDirectory(dir + L"\\sub");

  const wchar_t *const patterns[] = {L"find\\vq*.xml",  L"find\\*.xml",        L"find\\*.*",
                                     L"find\\*",        L"find\\vq?.xml",      L"find\\VQ*",
                                     L"find\\*.bak",    L"find\\nomatch*.xml", L"find\\*.",
                                     L"find\\vq??.xml", L"find\\*.XML",        L"find\\VQ.XML",
                                     L"find",           L"find\\sub\\*",       L"C:\\probe\\find\\*.txt",
                                     L"find\\",         L"nodir\\*.xml",       L"find\\nodir\\*",
                                     L"find\\*xml*",    L"find\\vq.xml\\*"};
  for (const wchar_t *pattern : patterns) {
    WIN32_FIND_DATAW data;
    SetLastError(kSentinel);
    HANDLE find = FindFirstFileW(pattern, &data);
    json r = Status(find != INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) {
      std::vector<std::string> names;
      json directories = json::array();
      BOOL more = TRUE;
      while (more) {
        names.push_back(Utf8(data.cFileName));
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) directories.push_back(names.back());
        SetLastError(kSentinel);
        more = FindNextFileW(find, &data);
      }
      r["end_error"] = unsigned(GetLastError());
      FindClose(find);
      std::sort(names.begin(), names.end());
      std::vector<std::string> dirs = directories.get<std::vector<std::string>>();
      std::sort(dirs.begin(), dirs.end());
      r["names"] = names;
      r["directories"] = dirs;
    }
    out["find[" + KeyText(pattern) + "]"] = r;
  }
}

// ---- copy, move, delete, create ----------------------------------------------------------
void ProbeFileOperations(json &out) {
  const std::wstring d = L"C:\\probe\\ops\\";
  MakeDirectory(L"C:\\probe\\ops");
  WriteText(d + L"a.txt", "alpha");
  WriteText(d + L"b.txt", "beta");
  WriteText(d + L"b2.txt", "beta2");
  MakeDirectory(d + L"dir");
  WriteText(d + L"dir\\inner.txt", "inner");

  auto copy = [&](const char *key, const std::wstring &from, const std::wstring &to, BOOL failIfExists) {
    SetLastError(kSentinel);
    json r = Status(CopyFileW(from.c_str(), to.c_str(), failIfExists) != 0);
    r["target"] = ReadText(to);
    out[key] = r;
  };
  copy("copy.new", d + L"a.txt", d + L"c.txt", TRUE);
  copy("copy.existing_fail", d + L"a.txt", d + L"b.txt", TRUE);
  copy("copy.existing_overwrite", d + L"a.txt", d + L"b2.txt", FALSE);
  copy("copy.missing_source", d + L"none.txt", d + L"x1.txt", FALSE);
  copy("copy.missing_source_dir", d + L"nodir\\none.txt", d + L"x2.txt", FALSE);
  copy("copy.missing_target_parent", d + L"a.txt", d + L"nodir\\x3.txt", FALSE);
  copy("copy.source_is_dir", d + L"dir", d + L"x4.txt", FALSE);
  copy("copy.target_is_dir", d + L"a.txt", d + L"dir", FALSE);
  copy("copy.onto_itself", d + L"a.txt", d + L"a.txt", FALSE);
  copy("copy.onto_itself_other_case", d + L"a.txt", d + L"A.TXT", FALSE);

  auto move = [&](const char *key, const std::wstring &from, const std::wstring &to) {
    SetLastError(kSentinel);
    json r = Status(MoveFileW(from.c_str(), to.c_str()) != 0);
    r["source_exists"] = Exists(from);
    r["target"] = ReadText(to);
    out[key] = r;
  };
  move("move.new", d + L"c.txt", d + L"m.txt");
  move("move.existing", d + L"a.txt", d + L"b.txt");
  move("move.missing_source", d + L"none.txt", d + L"x5.txt");
  move("move.missing_target_parent", d + L"a.txt", d + L"nodir\\x6.txt");
  move("move.into_dir_name", d + L"b2.txt", d + L"dir");
  move("move.dir", d + L"dir", d + L"dir2");
  move("move.case_only", d + L"m.txt", d + L"M.TXT");
  {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((d + L"m.txt").c_str(), &data);
    out["move.case_only.listed_as"] = find == INVALID_HANDLE_VALUE ? json(nullptr) : json(Utf8(data.cFileName));
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }

  auto remove = [&](const char *key, const std::wstring &path) {
    SetLastError(kSentinel);
    json r = Status(DeleteFileW(path.c_str()) != 0);
    r["exists_after"] = Exists(path);
    out[key] = r;
  };
  remove("delete.file", d + L"M.TXT");
  remove("delete.missing", d + L"none.txt");
  remove("delete.missing_dir", d + L"nodir\\none.txt");
  remove("delete.dir", d + L"dir2");

  auto mkdir = [&](const char *key, const std::wstring &path) {
    SetLastError(kSentinel);
    json r = Status(CreateDirectoryW(path.c_str(), nullptr) != 0);
    DWORD attributes = GetFileAttributesW(path.c_str());
    r["is_dir_after"] = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    out[key] = r;
  };
  mkdir("mkdir.new", d + L"newdir");
  mkdir("mkdir.existing", d + L"newdir");
  mkdir("mkdir.trailing_backslash", d + L"newdir2\\");
  mkdir("mkdir.missing_parent", d + L"nodir\\sub");
  mkdir("mkdir.on_file", d + L"a.txt");

  auto rmdir = [&](const char *key, const std::wstring &path) {
    SetLastError(kSentinel);
    json r = Status(RemoveDirectoryW(path.c_str()) != 0);
    r["exists_after"] = Exists(path);
    out[key] = r;
  };
  rmdir("rmdir.not_empty", d + L"dir2");
  rmdir("rmdir.empty", d + L"newdir");
  rmdir("rmdir.missing", d + L"newdir");
  rmdir("rmdir.file", d + L"a.txt");
}

// ---- MoveFileExW -------------------------------------------------------------------------
// The immediate forms on files of their own, then the delayed ones, which only add to
// PendingFileRenameOperations: what this probe added is reported and the value restored.
constexpr const wchar_t *kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::wstring PendingRenames() {
  std::wstring list(4096, L'\0');
  DWORD type = 0, bytes = DWORD(list.size() * sizeof(WCHAR));
  LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                           &type, list.data(), &bytes);
  list.resize(e == ERROR_SUCCESS ? bytes / sizeof(WCHAR) : 0);
  return list;
}

void ProbeMoveFileEx(json &out) {
  const std::wstring d = L"C:\\probe\\movex\\";
  MakeDirectory(L"C:\\probe\\movex");
  for (const wchar_t *name : {L"a.txt", L"b.txt", L"c.txt", L"d.txt", L"e.txt", L"f.txt"})
    WriteText(d + name, Utf8(name));
  MakeDirectory(d + L"dir");
  struct MoveCase {
    const char *key;
    const wchar_t *from, *to;
    DWORD flags;
  } cases[] = {
      {"movex.existing", L"a.txt", L"b.txt", 0},
      {"movex.replace", L"a.txt", L"b.txt", MOVEFILE_REPLACE_EXISTING},
      {"movex.replace_missing_source", L"none.txt", L"c.txt", MOVEFILE_REPLACE_EXISTING},
      {"movex.replace_dir", L"c.txt", L"dir", MOVEFILE_REPLACE_EXISTING},
      {"movex.dir_onto_file", L"dir", L"f.txt", MOVEFILE_REPLACE_EXISTING},
      {"movex.write_through", L"c.txt", L"c2.txt", MOVEFILE_WRITE_THROUGH | MOVEFILE_COPY_ALLOWED},
      {"movex.delay_with_copy", L"d.txt", L"d2.txt", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED},
  };
  for (const MoveCase &c : cases) {
    std::wstring from = d + c.from, to = d + c.to;
    SetLastError(kSentinel);
    json r = Status(MoveFileExW(from.c_str(), to.c_str(), c.flags) != FALSE);
    r["source_exists"] = Exists(from);
    r["target"] = ReadText(to);
    out[c.key] = r;
  }
  std::wstring before = PendingRenames();
  struct DelayCase {
    const char *key;
    const wchar_t *from, *to;  // to: null for a deletion
    DWORD flags;
  } delayed[] = {
      {"movex.delay[rename]", L"d.txt", L"d3.txt", MOVEFILE_DELAY_UNTIL_REBOOT},
      {"movex.delay[replace]", L"e.txt", L"b.txt", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING},
      {"movex.delay[delete]", L"e.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT},
      {"movex.delay[missing_source]", L"none.txt", L"x.txt", MOVEFILE_DELAY_UNTIL_REBOOT},
  };
  for (const DelayCase &c : delayed) {
    std::wstring from = d + c.from, to = c.to ? d + c.to : L"";
    SetLastError(kSentinel);
    json r = Status(MoveFileExW(from.c_str(), c.to ? to.c_str() : nullptr, c.flags) != FALSE);
    r["source_exists"] = Exists(from);
    out[c.key] = r;
  }
  std::wstring after = PendingRenames();
  json added = json::array();
  if (after.size() >= before.size()) {
    // The strings after the ones that were there, without the list's closing empty string.
    size_t start = before.empty() ? 0 : before.size() - 1;
    std::wstring tail = after.substr(start);
    while (tail.size() > 1 && tail.back() == L'\0' && tail[tail.size() - 2] == L'\0') tail.pop_back();
    size_t p = 0;
    while (p < tail.size()) {
      size_t end = tail.find(L'\0', p);
      if (end == std::wstring::npos) end = tail.size();
      added.push_back(Utf8(tail.substr(p, end - p)));
      p = end + 1;
    }
  }
  out["movex.pending_added"] = added;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    if (before.empty())
      RegDeleteValueW(key, L"PendingFileRenameOperations");
    else
      RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                     reinterpret_cast<const BYTE *>(before.data()), DWORD(before.size() * sizeof(WCHAR)));
    RegCloseKey(key);
  }
}

// ---- full path names ---------------------------------------------------------------------
void ProbeFullPaths(json &out) {
  const wchar_t *const inputs[] = {L".\\x",
                                   L"a\\..\\b.txt",
                                   L"x/y",
                                   L"\\root.txt",
                                   L"C:rel",
                                   L"c:rel\\sub",
                                   L"D:rel",
                                   L"x.txt.",
                                   L"x.txt ",
                                   L"C:\\a\\b\\..\\..\\..\\c",
                                   L"C:",
                                   L"C:\\",
                                   L"dir\\",
                                   L"dir\\.",
                                   L"..\\..\\..",
                                   L"C:\\probe\\.\\find\\\\vq.xml",
                                   L"\\\\server\\share\\..\\x",
                                   L"..."};
  for (const wchar_t *in : inputs) {
    WCHAR buffer[MAX_PATH];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    LPWSTR part = reinterpret_cast<LPWSTR>(uintptr_t(1));
    SetLastError(kSentinel);
    DWORD n = GetFullPathNameW(in, MAX_PATH, buffer, &part);
    json r = {{"ret", unsigned(n)}};
    if (n == 0) r["error"] = unsigned(GetLastError());
    if (n > 0 && n < MAX_PATH) {
      r["text"] = Utf8(buffer);
      r["file_part"] = part == nullptr                         ? json(nullptr)
                       : (part >= buffer && part < buffer + n) ? json(Utf8(part))
                                                               : json("(not set)");
    }
    out["fullpath[" + KeyText(in) + "]"] = r;
  }

  // "C:\probe\b.txt" has 14 characters: too small, no room for the terminator, exact.
  for (DWORD size : {5u, 14u, 15u}) {
    WCHAR buffer[32];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    DWORD n = GetFullPathNameW(L"a\\..\\b.txt", size, buffer, nullptr);
    out["fullpath_buffer[a\\..\\b.txt," + std::to_string(size) + "]"] = unsigned(n);
  }
}

// ---- registry ----------------------------------------------------------------------------
// Everything happens below HKEY_CURRENT_USER\Software\KvnProbe, which the probe creates and
// removes. Sizes are reported per unit so that both WCHAR widths compare: "chars" (bytes /
// sizeof(WCHAR)) for the string types, "bytes" for the others.
const wchar_t *const kRegScratch = L"Software\\KvnProbe";

bool IsRegText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

void PutSize(json &r, DWORD type, DWORD bytes) {
  if (IsRegText(type)) {
    r["chars"] = unsigned(bytes / sizeof(WCHAR));
    if (bytes % sizeof(WCHAR)) r["odd_bytes"] = unsigned(bytes % sizeof(WCHAR));
  } else {
    r["bytes"] = unsigned(bytes);
  }
}

std::string Hex(const BYTE *data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

// Data as read: text (terminators included, as "\u0000") for the string types, a number for
// REG_DWORD and REG_QWORD of their size, hexadecimal bytes otherwise.
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

// Deletes a key and everything below it, deepest first (RegDeleteKeyW only deletes leaves).
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

LSTATUS OpenStatus(HKEY parent, const std::wstring &path) {
  HKEY key = nullptr;
  LSTATUS e = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key);
  if (e == ERROR_SUCCESS) RegCloseKey(key);
  return e;
}

struct RegValueCase {
  const wchar_t *name;
  DWORD type;
  std::wstring text;        // string types: the characters in the caller's buffer
  size_t chars;             // string types: how many of them cbData counts
  std::vector<BYTE> bytes;  // the other types
};

// The caller's buffer (all of it, so that what follows the counted data is defined) and cbData.
std::vector<BYTE> ValueBuffer(const RegValueCase &c, DWORD &count) {
  if (!IsRegText(c.type)) {
    count = DWORD(c.bytes.size());
    return c.bytes;
  }
  std::vector<BYTE> out(c.text.size() * sizeof(WCHAR));
  if (!out.empty()) std::memcpy(out.data(), c.text.data(), out.size());
  count = DWORD(c.chars * sizeof(WCHAR));
  return out;
}

std::vector<RegValueCase> RegValueCases() {
  using namespace std::string_literals;
  return {
      {L"sz", REG_SZ, L"Probe text\0"s, 11, {}},
      {L"sz_empty", REG_SZ, L"\0"s, 1, {}},
      // cbData without the terminator: followed in memory by another character, or by a NUL.
      {L"sz_unterminated", REG_SZ, L"abcX"s, 3, {}},
      {L"sz_unterminated_nul_after", REG_SZ, L"abc\0"s, 3, {}},
      {L"expand", REG_EXPAND_SZ, L"%KvnRegDir%\\bin\0"s, 16, {}},
      {L"multi", REG_MULTI_SZ, L"one\0two\0\0"s, 9, {}},
      {L"dword", REG_DWORD, {}, 0, {0x78, 0x56, 0x34, 0x12}},
      {L"qword", REG_QWORD, {}, 0, {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}},
      {L"binary", REG_BINARY, {}, 0, {0x00, 0x01, 0x7F, 0x80, 0xFF}},
      {L"binary4", REG_BINARY, {}, 0, {0x2A, 0x00, 0x00, 0x00}},
      {L"none", REG_NONE, {}, 0, {0xAB, 0xCD}},
      {L"none_empty", REG_NONE, {}, 0, {}},
  };
}

void ProbeRegValues(json &out, HKEY values) {
  const std::vector<RegValueCase> cases = RegValueCases();
  for (const RegValueCase &c : cases) {
    const std::string key = KeyText(c.name);
    DWORD count = 0;
    std::vector<BYTE> data = ValueBuffer(c, count);
    out["reg.set[" + key + "]"] =
        unsigned(RegSetValueExW(values, c.name, 0, c.type, data.empty() ? nullptr : data.data(), count));

    // Sizing call: no buffer.
    DWORD type = kSentinel, size = kSentinel;
    LSTATUS e = RegQueryValueExW(values, c.name, nullptr, &type, nullptr, &size);
    json sizing = {{"ret", unsigned(e)}, {"type", unsigned(type)}};
    PutSize(sizing, type, size);
    out["reg.query_size[" + key + "]"] = sizing;

    // One unit too small.
    if (e == ERROR_SUCCESS && size > 0) {
      DWORD unit = IsRegText(type) ? DWORD(sizeof(WCHAR)) : 1;
      std::vector<BYTE> small(size);
      DWORD smallSize = size - unit;
      type = kSentinel;
      LSTATUS se = RegQueryValueExW(values, c.name, nullptr, &type, small.data(), &smallSize);
      json r = {{"ret", unsigned(se)}, {"type", unsigned(type)}};
      PutSize(r, type, smallSize);
      out["reg.query_small[" + key + "]"] = r;
    }

    // Read with room to spare.
    std::vector<BYTE> buffer(1024, 0xCC);
    DWORD bufferSize = DWORD(buffer.size());
    type = kSentinel;
    e = RegQueryValueExW(values, c.name, nullptr, &type, buffer.data(), &bufferSize);
    json read = {{"ret", unsigned(e)}, {"type", unsigned(type)}};
    PutSize(read, type, bufferSize);
    if (e == ERROR_SUCCESS) {
      read["data"] = RegData(type, buffer.data(), bufferSize);
      // Whether a NUL was written after the data, there being room for one.
      if (IsRegText(type) && bufferSize + sizeof(WCHAR) <= buffer.size()) {
        WCHAR after;
        std::memcpy(&after, buffer.data() + bufferSize, sizeof after);
        read["nul_after"] = after == 0;
      }
    }
    out["reg.query[" + key + "]"] = read;
  }

  DWORD type = kSentinel, size = 16;
  BYTE buffer[16];
  out["reg.query[missing]"] = unsigned(RegQueryValueExW(values, L"missing", nullptr, &type, buffer, &size));

  // RegEnumValueW over the values just set: name, type and size of each under its own key (the
  // order is probed on its own), then how many there were and how the enumeration ended.
  LSTATUS end = ERROR_SUCCESS;
  DWORD count = 0;
  for (; count < 64; ++count) {
    WCHAR name[64];
    DWORD chars = 64, bytes = 0;
    type = kSentinel;
    end = RegEnumValueW(values, count, name, &chars, nullptr, &type, nullptr, &bytes);
    if (end != ERROR_SUCCESS) break;
    json entry = {{"name_chars", unsigned(chars)}, {"type", unsigned(type)}};
    PutSize(entry, type, bytes);
    out["reg.enum_value[" + KeyText(name) + "]"] = entry;
  }
  out["reg.enum_values[values]"] = {{"count", unsigned(count)}, {"end", unsigned(end)}};
}

// Enumeration order: names created in a mixed order and case.
void ProbeRegEnumeration(json &out, HKEY root) {
  const wchar_t *const names[] = {L"b", L"A", L"c", L"a1", L"B2"};

  HKEY keys = nullptr;
  Fixture(RegCreateKeyExW(root, L"enumkeys", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &keys, nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\enumkeys");
  for (const wchar_t *name : names) {
    HKEY sub = nullptr;
    Fixture(RegCreateKeyExW(keys, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == 0, name);
    RegCloseKey(sub);
  }
  json found = json::array();
  LSTATUS end = ERROR_SUCCESS;
  for (DWORD i = 0; i < 64; ++i) {
    WCHAR name[64];
    DWORD chars = 64;
    end = RegEnumKeyExW(keys, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (end != ERROR_SUCCESS) break;
    found.push_back({{"name", Utf8(name)}, {"chars", unsigned(chars)}});
  }
  out["reg.enum_keys[b,A,c,a1,B2]"] = {{"keys", found}, {"end", unsigned(end)}};

  // Index 1 is "a1" (or whatever comes second): a buffer of its length leaves no room for
  // the terminator.
  {
    WCHAR name[8] = L"#######";
    DWORD chars = 2;
    LSTATUS e = RegEnumKeyExW(keys, 1, name, &chars, nullptr, nullptr, nullptr, nullptr);
    out["reg.enum_keys_small[1,2]"] = {{"ret", unsigned(e)}, {"chars", unsigned(chars)}};
  }
  RegCloseKey(keys);

  HKEY values = nullptr;
  Fixture(RegCreateKeyExW(root, L"enumvalues", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &values, nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\enumvalues");
  DWORD n = 0;
  for (const wchar_t *name : names) {
    ++n;
    Fixture(RegSetValueExW(values, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&n), sizeof n) == 0, name);
  }
  found = json::array();
  for (DWORD i = 0; i < 64; ++i) {
    WCHAR name[64];
    DWORD chars = 64;
    end = RegEnumValueW(values, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (end != ERROR_SUCCESS) break;
    found.push_back(Utf8(name));
  }
  out["reg.enum_values[b,A,c,a1,B2]"] = {{"names", found}, {"end", unsigned(end)}};
  RegCloseKey(values);
}

struct RegGetCase {
  const char *flagsText;
  const wchar_t *value;
  DWORD flags;
};

void ProbeRegGetValue(json &out) {
  const std::wstring sub = std::wstring(kRegScratch) + L"\\values";
  const RegGetCase cases[] = {
      {"RRF_RT_REG_SZ", L"dword", RRF_RT_REG_SZ},
      {"RRF_RT_DWORD", L"dword", RRF_RT_DWORD},
      {"RRF_RT_REG_DWORD", L"dword", RRF_RT_REG_DWORD},
      {"RRF_RT_QWORD", L"dword", RRF_RT_QWORD},
      {"RRF_RT_DWORD", L"binary4", RRF_RT_DWORD},
      {"RRF_RT_DWORD", L"binary", RRF_RT_DWORD},
      {"RRF_RT_QWORD", L"qword", RRF_RT_QWORD},
      {"RRF_RT_REG_SZ", L"sz", RRF_RT_REG_SZ},
      {"RRF_RT_REG_SZ", L"sz_unterminated", RRF_RT_REG_SZ},
      {"RRF_RT_REG_SZ", L"expand", RRF_RT_REG_SZ},
      {"RRF_RT_REG_SZ|RRF_NOEXPAND", L"expand", RRF_RT_REG_SZ | RRF_NOEXPAND},
      {"RRF_RT_REG_EXPAND_SZ|RRF_NOEXPAND", L"expand", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND},
      {"RRF_RT_REG_EXPAND_SZ", L"expand", RRF_RT_REG_EXPAND_SZ},
      {"RRF_RT_REG_MULTI_SZ", L"multi", RRF_RT_REG_MULTI_SZ},
      {"RRF_RT_REG_SZ", L"multi", RRF_RT_REG_SZ},
      {"RRF_RT_ANY", L"sz", RRF_RT_ANY},
      {"RRF_RT_ANY", L"sz_empty", RRF_RT_ANY},
      {"RRF_RT_ANY", L"expand", RRF_RT_ANY},
      {"RRF_RT_ANY|RRF_NOEXPAND", L"expand", RRF_RT_ANY | RRF_NOEXPAND},
      {"RRF_RT_ANY", L"multi", RRF_RT_ANY},
      {"RRF_RT_ANY", L"dword", RRF_RT_ANY},
      {"RRF_RT_ANY", L"qword", RRF_RT_ANY},
      {"RRF_RT_ANY", L"binary", RRF_RT_ANY},
      {"RRF_RT_ANY", L"none", RRF_RT_ANY},
      {"RRF_RT_ANY", L"none_empty", RRF_RT_ANY},
      {"RRF_RT_ANY", L"missing", RRF_RT_ANY},
  };
  for (const RegGetCase &c : cases) {
    const std::string key = Utf8(c.value) + "," + c.flagsText;

    DWORD type = kSentinel, size = kSentinel;
    LSTATUS e = RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), c.value, c.flags, &type, nullptr, &size);
    json sizing = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      sizing["type"] = unsigned(type);
      PutSize(sizing, type, size);
    }
    out["reg.get_size[" + key + "]"] = sizing;

    std::vector<BYTE> buffer(1024, 0xCC);
    size = DWORD(buffer.size());
    type = kSentinel;
    e = RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), c.value, c.flags, &type, buffer.data(), &size);
    json read = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      read["type"] = unsigned(type);
      PutSize(read, type, size);
      read["data"] = RegData(type, buffer.data(), size);
    }
    out["reg.get[" + key + "]"] = read;
  }
}

void ProbeRegDeletion(json &out, HKEY root) {
  HKEY leaf = nullptr;
  Fixture(RegCreateKeyExW(root, L"del\\parent\\child\\grandchild", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &leaf,
                          nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\del\\parent\\child\\grandchild");
  RegCloseKey(leaf);

  struct Step {
    const char *key;
    const wchar_t *path;
  };
  const Step steps[] = {
      {"reg.delete[with_subkeys]", L"del\\parent"},
      {"reg.delete[missing]", L"del\\nokey"},
      {"reg.delete[missing_parent]", L"del\\nodir\\nokey"},
      {"reg.delete[grandchild]", L"del\\parent\\child\\grandchild"},
      {"reg.delete[child]", L"del\\parent\\child"},
      {"reg.delete[parent]", L"del\\parent"},
      {"reg.delete[parent_again]", L"del\\parent"},
  };
  for (const Step &s : steps) {
    LSTATUS e = RegDeleteKeyW(root, s.path);
    out[s.key] = {{"ret", unsigned(e)}, {"open_after", unsigned(OpenStatus(root, s.path))}};
  }
}

void ProbeRegOpen(json &out, HKEY root) {
  struct OpenCase {
    const char *key;
    const wchar_t *path;
  };
  const OpenCase cases[] = {
      {"reg.open[values]", L"values"},
      {"reg.open[VALUES]", L"VALUES"},
      {"reg.open[missing]", L"nokey"},
      {"reg.open[missing_parent]", L"nokey\\sub"},
      {"reg.open[values\\missing]", L"values\\nokey"},
  };
  for (const OpenCase &c : cases) {
    HKEY key = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
    LSTATUS e = RegOpenKeyExW(root, c.path, 0, KEY_READ, &key);
    json r = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS)
      RegCloseKey(key);
    else
      r["handle_cleared"] = key == nullptr;
    out[c.key] = r;
  }
}

// Key security: a key whose access list gives Administrators read access only. Opening it
// for more, writing through a read handle and creating a subkey are refused; its creator,
// the owner, can still replace the list (and does, to delete the key).
void ProbeRegAccess(json &out, HKEY root) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  Fixture(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                   &admins) != FALSE,
          L"the Administrators SID");
  std::vector<BYTE> aclBlock(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(admins));
  PACL acl = reinterpret_cast<PACL>(aclBlock.data());
  SECURITY_DESCRIPTOR sd;
  Fixture(InitializeAcl(acl, DWORD(aclBlock.size()), ACL_REVISION) &&
              AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, admins) &&
              InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE),
          L"a read-only access list");
  SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
  HKEY key = nullptr;
  LSTATUS e = RegCreateKeyExW(root, L"acl", 0, nullptr, 0, KEY_READ, &sa, &key, nullptr);
  out["reg.access.create[read_only_list]"] = unsigned(e);
  if (e != ERROR_SUCCESS) {
    FreeSid(admins);
    return;
  }
  RegCloseKey(key);

  struct OpenCase {
    const char *key;
    REGSAM sam;
  };
  const OpenCase cases[] = {
      {"reg.access.open[KEY_READ]", KEY_READ},
      {"reg.access.open[GENERIC_READ]", GENERIC_READ},
      {"reg.access.open[KEY_SET_VALUE]", KEY_SET_VALUE},
      {"reg.access.open[KEY_WRITE]", KEY_WRITE},
      {"reg.access.open[KEY_ALL_ACCESS]", KEY_ALL_ACCESS},
      {"reg.access.open[DELETE]", DELETE},
      {"reg.access.open[READ_CONTROL]", READ_CONTROL},
  };
  for (const OpenCase &c : cases) {
    HKEY h = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
    e = RegOpenKeyExW(root, L"acl", 0, c.sam, &h);
    json r = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS)
      RegCloseKey(h);
    else
      r["handle_cleared"] = h == nullptr;
    HKEY created = nullptr;
    r["create_existing"] = unsigned(RegCreateKeyExW(root, L"acl", 0, nullptr, 0, c.sam, nullptr, &created, nullptr));
    if (created) RegCloseKey(created);
    out[c.key] = r;
  }
  HKEY read = nullptr;
  if (RegOpenKeyExW(root, L"acl", 0, KEY_READ, &read) == ERROR_SUCCESS) {
    DWORD one = 1;
    out["reg.access.set_through_read_handle"] =
        unsigned(RegSetValueExW(read, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), sizeof one));
    RegCloseKey(read);
  }
  HKEY sub = nullptr;
  out["reg.access.create_subkey"] =
      unsigned(RegCreateKeyExW(root, L"acl\\sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
  if (sub) RegCloseKey(sub);
  out["reg.access.delete"] = unsigned(RegDeleteKeyW(root, L"acl"));

  // The owner opens it for WRITE_DAC, opens it to everyone and deletes it.
  HKEY owner = nullptr;
  e = RegOpenKeyExW(root, L"acl", 0, WRITE_DAC, &owner);
  out["reg.access.open[WRITE_DAC]"] = unsigned(e);
  if (e == ERROR_SUCCESS) {
    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    out["reg.access.null_dacl"] = unsigned(RegSetKeySecurity(owner, DACL_SECURITY_INFORMATION, &open));
    RegCloseKey(owner);
  }
  RegDeleteKeyW(root, L"acl\\sub");  // there when the subkey's creation was not refused
  out["reg.access.delete_after_null_dacl"] = unsigned(RegDeleteKeyW(root, L"acl"));
  FreeSid(admins);
}

void ProbeRegConnect(json &out) {
  struct ConnectCase {
    const char *key;
    HKEY root;
    const wchar_t *through;  // a key opened through the handle, or null
  };
  const std::wstring values = std::wstring(kRegScratch) + L"\\values";
  const ConnectCase cases[] = {
      {"reg.connect[NULL,HKEY_CURRENT_USER]", HKEY_CURRENT_USER, values.c_str()},
      {"reg.connect[NULL,HKEY_LOCAL_MACHINE]", HKEY_LOCAL_MACHINE, nullptr},
  };
  for (const ConnectCase &c : cases) {
    HKEY remote = nullptr;
    LSTATUS e = RegConnectRegistryW(nullptr, c.root, &remote);
    json r = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      if (c.through) r["open_through"] = unsigned(OpenStatus(remote, c.through));
      r["close"] = unsigned(RegCloseKey(remote));
    }
    out[c.key] = r;
  }
}

void ProbeRegistry(json &out) {
  DeleteRegTree(HKEY_CURRENT_USER, kRegScratch);  // left by an interrupted run
  SetEnvironmentVariableW(L"KvnRegDir", L"C:\\Kvn");

  HKEY root = nullptr;
  DWORD disposition = kSentinel;
  LSTATUS e =
      RegCreateKeyExW(HKEY_CURRENT_USER, kRegScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, &disposition);
  out["reg.create[scratch]"] = {{"ret", unsigned(e)}, {"disposition", unsigned(disposition)}};
  if (e != ERROR_SUCCESS) return;
  {
    HKEY again = nullptr;
    disposition = kSentinel;
    e = RegCreateKeyExW(HKEY_CURRENT_USER, kRegScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition);
    out["reg.create[scratch_again]"] = {{"ret", unsigned(e)}, {"disposition", unsigned(disposition)}};
    if (e == ERROR_SUCCESS) RegCloseKey(again);
  }

  HKEY values = nullptr;
  Fixture(RegCreateKeyExW(root, L"values", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &values, nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\values");
  ProbeRegValues(out, values);
  RegCloseKey(values);

  ProbeRegEnumeration(out, root);
  ProbeRegGetValue(out);
  ProbeRegOpen(out, root);
  ProbeRegConnect(out);
  ProbeRegDeletion(out, root);
  ProbeRegAccess(out, root);
  RegCloseKey(root);

  e = DeleteRegTree(HKEY_CURRENT_USER, kRegScratch);
  out["reg.remove[scratch]"] = {{"ret", unsigned(e)},
                                {"open_after", unsigned(OpenStatus(HKEY_CURRENT_USER, kRegScratch))}};
}

// ---- operating-system version record -----------------------------------------------------
// GetVersionExW by the record size it is told. The version numbers themselves differ between
// machines and are not reported; the platform is.
void ProbeVersionRecord(json &out) {
  struct SizeCase {
    const char *key;
    DWORD size;
  };
  const SizeCase cases[] = {
      {"osver.size[OSVERSIONINFOW]", DWORD(sizeof(OSVERSIONINFOW))},
      {"osver.size[OSVERSIONINFOEXW]", DWORD(sizeof(OSVERSIONINFOEXW))},
      {"osver.size[0]", 0},
      {"osver.size[OSVERSIONINFOW-1]", DWORD(sizeof(OSVERSIONINFOW) - 1)},
      {"osver.size[OSVERSIONINFOEXW+4]", DWORD(sizeof(OSVERSIONINFOEXW) + 4)},
  };
  for (const SizeCase &c : cases) {
    union {
      OSVERSIONINFOEXW ex;
      BYTE bytes[sizeof(OSVERSIONINFOEXW) + 16];
    } record;
    std::memset(&record, 0xCC, sizeof record);
    record.ex.dwOSVersionInfoSize = c.size;
    SetLastError(kSentinel);
    BOOL ok = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&record.ex));
    DWORD error = GetLastError();
    json r = {{"ret", ok != 0}};
    if (ok) r["dwPlatformId"] = unsigned(record.ex.dwPlatformId);
    r["size_kept"] = record.ex.dwOSVersionInfoSize == c.size;
    // What changed inside the record it was told of, and past its end.
    const size_t head = sizeof record.ex.dwOSVersionInfoSize;
    const size_t end = std::min<size_t>(std::max<size_t>(c.size, head), sizeof record);
    bool inside = false, beyond = false;
    for (size_t i = head; i < sizeof record; ++i)
      if (record.bytes[i] != 0xCC) (i < end ? inside : beyond) = true;
    r["wrote_inside"] = inside;
    r["wrote_beyond"] = beyond;
    out[c.key] = r;
    out[std::string(c.key) + ".last_error"] = unsigned(error);
  }
}

// ---- SetupAPI and the configuration manager --------------------------------------------------
// Only answers that do not depend on the machine's devices: argument checks, record sizes,
// handles and the end of a set.
void ProbeSetupApi(json &out) {
  SetLastError(kSentinel);
  HDEVINFO noClass = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT);
  out["setupapi.classdevs[null_guid,PRESENT]"] = Status(noClass != INVALID_HANDLE_VALUE);
  if (noClass != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(noClass);

  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  out["setupapi.classdevs[null_guid,PRESENT|ALLCLASSES]"] = Status(set != INVALID_HANDLE_VALUE);
  if (set == INVALID_HANDLE_VALUE) return;

  struct EnumCase {
    const char *key;
    HDEVINFO set;
    DWORD index;
    DWORD cbSize;
  };
  const EnumCase enums[] = {
      {"setupapi.enum[cbSize=0]", set, 0, 0},
      {"setupapi.enum[cbSize+1]", set, 0, DWORD(sizeof(SP_DEVINFO_DATA) + 1)},
      {"setupapi.enum[index=1000000]", set, 1000000, DWORD(sizeof(SP_DEVINFO_DATA))},
      {"setupapi.enum[invalid_handle]", INVALID_HANDLE_VALUE, 0, DWORD(sizeof(SP_DEVINFO_DATA))},
  };
  for (const EnumCase &c : enums) {
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = c.cbSize;
    SetLastError(kSentinel);
    out[c.key] = Status(SetupDiEnumDeviceInfo(c.set, c.index, &data) != FALSE);
  }

  for (DWORD cbSize : {DWORD(0), DWORD(sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W))}) {
    SP_DEVINFO_LIST_DETAIL_DATA_W detail;
    std::memset(&detail, 0xCC, sizeof detail);
    detail.cbSize = cbSize;
    SetLastError(kSentinel);
    json r = Status(SetupDiGetDeviceInfoListDetailW(set, &detail) != FALSE);
    if (r["ok"]) {
      static const GUID none = {};
      r["class_guid_null"] = std::memcmp(&detail.ClassGuid, &none, sizeof none) == 0;
      r["remote_handle_null"] = detail.RemoteMachineHandle == nullptr;
      r["remote_name"] = Utf8(detail.RemoteMachineName);
    }
    out[cbSize ? "setupapi.list_detail[ok]" : "setupapi.list_detail[cbSize=0]"] = r;
  }

  // A record that names no member of the set.
  SP_DEVINFO_DATA stranger;
  std::memset(&stranger, 0, sizeof stranger);
  stranger.cbSize = sizeof stranger;
  BYTE buffer[64];
  DWORD required = 0;
  SetLastError(kSentinel);
  out["setupapi.property[not_a_member]"] =
      Status(SetupDiGetDeviceRegistryPropertyW(set, &stranger, SPDRP_HARDWAREID, nullptr, buffer, sizeof buffer,
                                               &required) != FALSE);

  DEVPROPTYPE type = 0;
  SetLastError(kSentinel);
  out["setupapi.device_property[not_a_member]"] =
      Status(SetupDiGetDevicePropertyW(set, &stranger, &DEVPKEY_Device_InstanceId, &type, buffer, sizeof buffer,
                                       &required, 0) != FALSE);

  // Destroying the set again would be a use-after-free on Windows (winsim stops the run), so
  // the probe destroys it once.
  SetLastError(kSentinel);
  out["setupapi.destroy[set]"] = Status(SetupDiDestroyDeviceInfoList(set) != FALSE);
  SetLastError(kSentinel);
  out["setupapi.destroy[invalid_handle]"] = Status(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE) != FALSE);

  WCHAR id[MAX_DEVICE_ID_LEN];
  out["cm.device_id[null_buffer]"] = unsigned(CM_Get_Device_ID_ExW(1, nullptr, MAX_DEVICE_ID_LEN, 0, nullptr));
  out["cm.device_id[flags=1]"] = unsigned(CM_Get_Device_ID_ExW(1, id, MAX_DEVICE_ID_LEN, 1, nullptr));
}

// ---- root devices and driver updates -------------------------------------------------------
// A root device created in a set of the Net class, given a hardware ID and registered; its
// class drivers read from one INF; the documented failures of the driver update, which are
// the only cases run (a success would install a driver on the probing machine). The device
// is removed at the end. Wine has no SetupDiSetSelectedDriverW (a stub that raises), so the
// selection and the class installer's install are left to the machine-level tests, as is a
// null hardware ID (Wine reads through it).
void ProbeRootDevices(json &out) {
  const GUID net = {0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  MakeDirectory(L"C:\\probe\\dev");
  WriteText(L"C:\\probe\\dev\\kvn.inf",
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
            "ClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\nProvider=Kvn\r\nDriverVer=06/01/2026,2.0.0.0\r\n"
            "[Manufacturer]\r\nKvn=Models,NTamd64\r\n"
            "[Models.NTamd64]\r\n\"Kvn Adapter\"=Inst,PCI\\VEN_8086&DEV_1572\r\n\"Kvn Virtual\"=Inst,ROOT\\KVNPROBE\r\n"
            "[Inst]\r\nAddReg=Inst.Reg\r\n[Inst.Reg]\r\nHKR,,Probe,,1\r\n");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&net, nullptr);
  out["rootdev.list"] = Status(set != INVALID_HANDLE_VALUE);
  if (set == INVALID_HANDLE_VALUE) return;
  struct CreateCase {
    const char *key;
    const wchar_t *name;
    DWORD flags;
  } refused[] = {
      {"rootdev.create[flags=0x100]", L"kvnprobe", 0x100},
      {"rootdev.create[empty_name]", L"", DICD_GENERATE_ID},
      {"rootdev.create[not_an_instance_id]", L"kvnprobe", 0},
  };
  for (const CreateCase &c : refused) {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    SetLastError(kSentinel);
    out[c.key] = Status(SetupDiCreateDeviceInfoW(set, c.name, &net, nullptr, nullptr, c.flags, &data) != FALSE);
  }
  SP_DEVINFO_DATA dev = {};
  dev.cbSize = sizeof dev;
  SetLastError(kSentinel);
  json created = Status(SetupDiCreateDeviceInfoW(set, L"kvnprobe", &net, nullptr, nullptr,
                                                 DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS, &dev) != FALSE);
  out["rootdev.create[generated]"] = created;
  if (!created["ok"]) {
    SetupDiDestroyDeviceInfoList(set);
    return;
  }
  BYTE buffer[256];
  DWORD type = 0, required = 0;
  SetLastError(kSentinel);
  out["rootdev.hardware_id[before_set]"] = Status(
      SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, &type, buffer, sizeof buffer, &required) != FALSE);
  const WCHAR ids[] = L"ROOT\\KVNPROBE\0";
  SetLastError(kSentinel);
  out["rootdev.set_hardware_id"] =
      Status(SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids),
                                               sizeof ids) != FALSE);
  SetLastError(kSentinel);
  out["rootdev.set_property[SPDRP_CLASS]"] =
      Status(SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_CLASS, reinterpret_cast<const BYTE *>(ids),
                                               sizeof ids) != FALSE);
  SetLastError(kSentinel);
  json read = Status(
      SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, &type, buffer, sizeof buffer, &required) != FALSE);
  if (read["ok"]) read["value"] = Utf8(reinterpret_cast<const WCHAR *>(buffer)), read["type"] = unsigned(type);
  out["rootdev.hardware_id[after_set]"] = read;
  SetLastError(kSentinel);
  json registered = Status(SetupDiRegisterDeviceInfo(set, &dev, SPRDI_FIND_DUPS, nullptr, nullptr, nullptr) != FALSE);
  WCHAR id[MAX_DEVICE_ID_LEN] = L"";
  if (registered["ok"] && CM_Get_Device_ID_ExW(dev.DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr) == CR_SUCCESS)
    registered["id"] = Utf8(id);
  out["rootdev.register"] = registered;

  SP_DEVINSTALL_PARAMS_W params;
  std::memset(&params, 0, sizeof params);
  SetLastError(kSentinel);
  out["rootdev.install_params[cbSize=0]"] = Status(SetupDiGetDeviceInstallParamsW(set, &dev, &params) != FALSE);
  params.cbSize = sizeof params;
  SetupDiGetDeviceInstallParamsW(set, &dev, &params);
  params.Flags |= DI_ENUMSINGLEINF;
  std::wcscpy(params.DriverPath, L"C:\\probe\\dev\\kvn.inf");
  SetLastError(kSentinel);
  out["rootdev.install_params[set]"] = Status(SetupDiSetDeviceInstallParamsW(set, &dev, &params) != FALSE);
  for (DWORD driverType : {DWORD(SPDIT_CLASSDRIVER), DWORD(SPDIT_COMPATDRIVER)}) {
    SetLastError(kSentinel);
    json list = Status(SetupDiBuildDriverInfoList(set, &dev, driverType) != FALSE);
    json names = json::array();
    SP_DRVINFO_DATA_W drv = {};
    drv.cbSize = sizeof drv;
    for (DWORD i = 0; SetupDiEnumDriverInfoW(set, &dev, driverType, i, &drv); ++i) {
      names.push_back(Utf8(drv.Description) + " / " + Utf8(drv.ProviderName));
    }
    list["drivers"] = names;
    out[driverType == SPDIT_CLASSDRIVER ? "rootdev.drivers[class]" : "rootdev.drivers[compat]"] = list;
  }

  // A package that is not whole: it names a catalogue it lacks. (One that lacks a file its
  // install section copies is not probed: Wine's file queue asks for the disk in a dialog.)
  WriteText(L"C:\\probe\\dev\\nocatalog.inf",
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
            "ClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\nProvider=Kvn\r\nDriverVer=06/01/2026,3.0.0.0\r\n"
            "CatalogFile=kvnprobe_missing.cat\r\n"
            "[Manufacturer]\r\nKvn=Models,NTamd64\r\n[Models.NTamd64]\r\n\"Kvn Virtual\"=Inst,ROOT\\KVNPROBE\r\n"
            "[Inst]\r\nAddReg=Inst.Reg\r\n[Inst.Reg]\r\nHKR,,Probe,,3\r\n");

  typedef BOOL(WINAPI * UpdateFn)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);
  HMODULE newdev = LoadLibraryW(L"newdev.dll");
  auto update = newdev ? reinterpret_cast<UpdateFn>(
                             reinterpret_cast<void (*)()>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW")))
                       : nullptr;
  out["newdev.update[found]"] = update != nullptr;
  if (update) {
    struct UpdateCase {
      const char *key;
      const wchar_t *hardwareId, *inf;
      DWORD flags;
    } updates[] = {
        {"newdev.update[no_such_device]", L"KVN\\NO_SUCH_DEVICE_ID", L"C:\\probe\\dev\\kvn.inf", 0},
        {"newdev.update[missing_inf]", L"ROOT\\KVNPROBE", L"C:\\probe\\dev\\none.inf", 0},
        {"newdev.update[flags=8]", L"ROOT\\KVNPROBE", L"C:\\probe\\dev\\kvn.inf", 8},
        {"newdev.update[missing_catalog]", L"ROOT\\KVNPROBE", L"C:\\probe\\dev\\nocatalog.inf", INSTALLFLAG_FORCE},
    };
    for (const UpdateCase &c : updates) {
      BOOL reboot = 7;
      SetLastError(kSentinel);
      json r = Status(update(nullptr, c.hardwareId, c.inf, c.flags, &reboot) != FALSE);
      r["reboot_untouched"] = reboot == 7;
      out[c.key] = r;
    }
  }
  if (newdev) FreeLibrary(newdev);
  SetLastError(kSentinel);
  out["rootdev.remove"] = Status(SetupDiRemoveDevice(set, &dev) != FALSE);
  SetupDiDestroyDeviceInfoList(set);
}

// ---- INF files -----------------------------------------------------------------------------
// A corpus of INF files, a driver package's and the cases of the INF syntax, each opened
// and walked section by section, line by line and field by field.
struct InfCase {
  const char *name;
  std::string bytes;
  std::vector<std::pair<const wchar_t *, const wchar_t *>> lookups;  // section, key
  bool walk = true;  // false: only the open's answer and the profile's section list
};

// A text with the system and Windows folders written as "%system%" and "%windir%": their
// case is the installation's (Wine's prefixes have C:\windows\system32), not something two
// correct systems agree on.
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

std::string WithoutWindowsFolder(const std::wstring &text) {
  WCHAR windir[MAX_PATH] = L"", system[MAX_PATH] = L"";
  GetWindowsDirectoryW(windir, MAX_PATH);
  GetSystemDirectoryW(system, MAX_PATH);
  return Utf8(ReplaceFolder(ReplaceFolder(text, system, L"%system%"), windir, L"%windir%"));
}

std::string Utf16Le(const std::wstring &text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (wchar_t c : text) {
    char hi = char((unsigned(c) >> 8) & 0xFF), lo = char(unsigned(c) & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}

template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// A text of LF lines with CRLF line ends, as INF files are shipped.
std::string Crlf(const std::string &text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::wstring FromUtf8(const std::string &text) {
  std::wstring out(text.size(), L'\0');
  out.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()))));
  return out;
}

std::string Ansi1252(const std::wstring &text) {
  std::string out(text.size() * 2, '\0');
  out.resize(size_t(
      WideCharToMultiByte(1252, 0, text.data(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr)));
  return out;
}

// The folder of a driver package in the driver store.
std::wstring StorePackage() {
  WCHAR system[MAX_PATH] = L"";
  GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system) + L"\\DriverStore\\FileRepository\\kvnfilt.inf_amd64_5e2f3a9c0b1d4e87";
}

std::vector<InfCase> InfCorpus() {
  const std::string header = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
  const std::string strings =
      "[Strings]\nfoo=aaa\nbar=bbb\nloop=%loop2%\nloop2=%loop%\nper=1\ncent=2\nmydrive=\"C:\\\"\n";
  const std::string a255(255, 'a');
  std::string big = header + "[Big]\n";
  for (int i = 0; i < 2000; ++i) {
    std::string n = std::to_string(i);
    big.append("k").append(n).append("=").append(n).append("\n");
  }
  return {
      {"driver",
       "; a driver package\r\n[Version]\r\nSignature   = \"$Windows NT$\"\r\nClass       = Net\r\n"
       "ClassGUID   = {4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider    = %Intel%\r\n"
       "CatalogFile = z40e64.cat\r\nDriverVer   = 11/14/2026,1.12.150.0\r\n\r\n"
       "[Manufacturer]\r\n%Intel%     = Intel, NTamd64.6.1\r\n\r\n"
       "[Intel.NTamd64.6.1]\r\n%Z40E.DeviceDesc% = Z40E.ndi, PCI\\VEN_8086&DEV_1572&SUBSYS_00018086\r\n\r\n"
       "[Z40E.ndi]\r\nCharacteristics = 0x84 ; NCF_HAS_UI | NCF_PHYSICAL\r\nBusType = 5\r\n"
       "AddReg = z40e.reg\r\nCopyFiles = z40e.CopyFiles, @z40ecoin.dll\r\n\r\n"
       "[Z40E.ndi.Services]\r\nAddService = z40e, 2, z40e.Service, z40e.EventLog\r\n\r\n"
       "[z40e.Service]\r\nDisplayName = %Z40E.Service.DispName%\r\nServiceType = 1\r\nStartType = 3\r\n"
       "ErrorControl = 1\r\nServiceBinary = %12%\\z40e64.sys\r\n\r\n"
       "[z40e.CopyFiles]\r\nz40e64.sys,,,2\r\nz40e64.din,z40src.din\r\n\r\n"
       "[DestinationDirs]\r\nDefaultDestDir = 11\r\nz40e.CopyFiles = 12\r\n\r\n"
       "[Z40E.SoftwareSettings]\r\n[z40e.reg]\r\nHKR, Ndi, Service, 0, \"z40e\"\r\n"
       "HKR, Ndi\\Interfaces, UpperRange, 0, \"ndis5\"\r\n\r\n"
       "[Strings]\r\nIntel = \"Intel\"\r\nZ40E.DeviceDesc = \"Intel(R) Ethernet Converged Network Adapter\"\r\n"
       "Z40E.Service.DispName = \"Intel(R) z40e Miniport\"\r\n",
       {{L"Version", L"signature"},
        {L"z40e.service", L"StartType"},
        {L"Z40E.ndi", L"copyfiles"},
        {L"Manufacturer", L"Intel"},
        {L"Manufacturer", L"%Intel%"}}},
      {"syntax",
       header +
           "[Test]\nab=cd,ef,gh\nab\nab,cd\nab,cd=ef\n=abcd,ef\nba\\\ncd=ef\nab  \\ ;cc\ncd=ef\n"
           "ba \\ dc=xx\na=b\\\\c\nba=c \\ \n \\ a\nAb\"Cd\"=Ef\nab\"\"\"cd,ef=gh\"\nab=cd\",\"ef\n"
           "HKLM,A,B,'C',D\n a b = c ,\" d\" \na=b,,,c,,,d\na=b,\"\",c,\" \",d\n,=,,b\na=\n=\n"
           "%foo%=%bar%\n%% %foo%=%bar%\n%f\"o\"o%=ccc\nabc=%bar;bla%\nloop=%loop%\n%per%%cent%=100\n"
           "a=%undefined%,%\nab=\"%24%\\fred\"\nab=\"%mydrive%\\fred\"\n"
           "[Test2]\nx=1\n[test]\nmerged=yes\n" +
           strings,
       {{L"Test", L"AB"}, {L"test", L"aaa"}, {L"Test", L"%foo%"}, {L"TEST", L"merged"}, {L"Test", L"ba \\ dc"}}},
      {"integers",
       header + "[Ints]\nk=48\nk=0x4\nk=0X1f\nk=-12\nk=+7\nk=-0x10\nk=0xFFFFFFFF\nk=2147483648\n"
                "k=-2147483649\nk=12abc\nk=0x\nk=-\nk=\n123=x\n",
       {}},
      {"integer_leading_zero", header + "[Ints]\nk=010\n", {}},
      {"sections",
       header +
           "[TESTSECTION]\r\n   [Spaced]   dummy\r\n [  Test Section  ] dummy\r\n[Test[S]ection]\r\n"
           "[[[]\n[Test;Section]\r\n[]\r\n[" +
           a255 + "]\r\n;[Commented]\n",
       {}},
      {"style_lowercase", "[version]\nsignature=$chicago$\n[s]\nx=1\n", {}},
      {"style_missing", "[Version]\nClass=Net\n", {}},
      {"style_wrong", "[Version]\nSignature=foo\n", {}},
      {"empty", "", {}},
      {"bom_only", "\xFF\xFE", {}},
      {"binary", Bytes("MZ\x90\0\x03\0\0\0\x04\0\0\0\xFF\xFF\0\0\xB8\0\0\0"), {}},
      {"bad_section_line", header + "\n\n[ab\n", {}},
      {"section_too_long", header + "[" + a255 + "a]\r\n", {}},
      {"text_before_section", ";\n;\nabc\r\n" + header, {}},
      {"text_before_strings", "garbage1\ngarbage2\n[Strings]\n" + header, {}},
      {"open_quote", header + "[s]\na=\"unterminated, still\n", {}},
      {"nul_bytes", header + Bytes("[s]\nabcd=ef\0gh\nfoo=%bar%\n[Strings]\nbar=aaa\0bbb \0\n"), {}},
      {"ctrl_z",
       header + "[s]\nab=c\x1a"
                "d\n[t]\n",
       {}},
      {"field_4096", header + "[s]\na=" + std::string(4096, 'x') + "\n", {}},
      {"field_5000", header + "[s]\nb=" + std::string(5000, 'y') + "\n", {}},
      {"no_section", "abcd\r\n", {}},
      {"utf16le", Utf16Le(L"[Version]\r\nSignature=$Windows NT$\r\n[s]\r\nname=Caf\u00e9 \u0416\r\n", false), {}},
      {"utf16be", Utf16Le(L"[Version]\r\nSignature=$Windows NT$\r\n[s]\r\nname=Caf\u00e9\r\n", true), {}, false},
      {"ansi", header + "[s]\nname=Caf\xE9\n", {}},
      {"big_section", big, {{L"Big", L"k1999"}}},
      // The strings section of the system language (the probe runs on English (United States)).
      {"strings_0409",
       header + "[s]\nname=%name%\n[Strings]\nname=generic\n[Strings.0809]\nname=gb\n[Strings.0009]\nname=neutral\n"
                "[Strings.0409]\nname=us\n[Strings.0407]\nname=de\n",
       {}},
      {"strings_0809",
       header + "[s]\nname=%name%\n[Strings]\nname=generic\n[Strings.0407]\nname=de\n[Strings.0809]\nname=gb\n",
       {}},
      // Packages in real shapes (infshapes.h).
      {"shape_net",
       Utf16Le(FromUtf8(Crlf(kShapeNetInf)), false),
       {{L"Version", L"DriverVer"},
        {L"KVN1572.ndi", L"AddReg"},
        {L"Kvn.NTamd64.10.0...16299", L"Kvn(R) Ethernet Controller X710 for 10GbE SFP+"},
        {L"strings.0407", L"SpeedDuplex"}}},
      {"shape_filter", Ansi1252(FromUtf8(Crlf(kShapeFilterInf))), {{L"Kvn.Filter.Service", L"ServiceBinary"}}},
  };
}

json InfLineRecord(INFCONTEXT &ctx) {
  json line;
  WCHAR buffer[MAX_INF_STRING_LENGTH + 8];
  DWORD need = kSentinel;
  SetLastError(kSentinel);
  if (SetupGetStringFieldW(&ctx, 0, buffer, MAX_INF_STRING_LENGTH + 8, &need)) {
    line["key"] = Utf8(buffer);
  } else {
    line["key"] = nullptr;
  }
  DWORD count = SetupGetFieldCount(&ctx);
  line["count"] = count;
  json fields = json::array(), ints = json::array();
  for (DWORD i = 1; i <= count; ++i) {
    need = kSentinel;
    BOOL sized = SetupGetStringFieldW(&ctx, i, nullptr, 0, &need);
    SetLastError(kSentinel);
    if (SetupGetStringFieldW(&ctx, i, buffer, MAX_INF_STRING_LENGTH + 8, nullptr)) {
      std::string text = WithoutWindowsFolder(buffer);
      // Long texts are compared by length and ends.
      if (text.size() > 64) text = text.substr(0, 16) + "...(" + std::to_string(text.size()) + ")";
      fields.push_back({{"text", text}, {"sized", sized != 0}, {"need", need}});
    } else {
      fields.push_back(Status(false));
    }
    INT value = -7;
    SetLastError(kSentinel);
    BOOL ok = SetupGetIntField(&ctx, i, &value);
    json r = Status(ok != 0);
    if (ok) r["value"] = value;
    ints.push_back(r);
  }
  line["fields"] = fields;
  line["ints"] = ints;
  need = kSentinel;
  SetLastError(kSentinel);
  json text = Status(SetupGetLineTextW(&ctx, nullptr, nullptr, nullptr, nullptr, 0, &need) != FALSE);
  text["need"] = need;
  line["text"] = text;
  return line;
}

void ProbeInfFile(json &out, const std::string &key, const std::wstring &path, const InfCase &c) {
  std::vector<WCHAR> names(0x4000, L'\0');
  SetLastError(kSentinel);
  DWORD length = GetPrivateProfileSectionNamesW(names.data(), DWORD(names.size()), path.c_str());
  json list = json::array();
  std::vector<std::wstring> sections;
  for (DWORD pos = 0; pos < length && names[pos];) {
    std::wstring name(&names[pos]);
    list.push_back(Utf8(name));
    sections.push_back(name);
    pos += DWORD(name.size()) + 1;
  }
  out[key + ".profile_sections"] = {{"result", length}, {"names", list}};

  UINT errorLine = kSentinel;
  SetLastError(kSentinel);
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  json open = Status(inf != INVALID_HANDLE_VALUE);
  if (inf == INVALID_HANDLE_VALUE) open["line"] = errorLine;
  out[key + ".open"] = open;
  if (inf == INVALID_HANDLE_VALUE) return;
  if (!c.walk) {
    SetupCloseInfFile(inf);
    return;
  }

  for (const std::wstring &section : sections) {
    std::string sectionKey = key + ".section[" + KeyText(section) + "]";
    if (out.contains(sectionKey + ".count")) continue;  // a repeated section is walked once
    SetLastError(kSentinel);
    LONG count = SetupGetLineCountW(inf, section.c_str());
    json r = Status(count >= 0);
    r["count"] = count;
    out[sectionKey + ".count"] = r;
    if (count > 40) continue;
    INFCONTEXT ctx;
    json lines = json::array();
    for (BOOL more = SetupFindFirstLineW(inf, section.c_str(), nullptr, &ctx); more;
         more = SetupFindNextLine(&ctx, &ctx))
      lines.push_back(InfLineRecord(ctx));
    out[sectionKey + ".lines"] = lines;
  }
  for (const auto &[section, lineKey] : c.lookups) {
    INFCONTEXT ctx;
    SetLastError(kSentinel);
    BOOL found = SetupFindFirstLineW(inf, section, lineKey, &ctx);
    json r = Status(found != FALSE);
    if (found) {
      r["line"] = InfLineRecord(ctx);
      SetLastError(kSentinel);
      r["next_match"] = Status(SetupFindNextMatchLineW(&ctx, lineKey, &ctx) != FALSE);
    }
    out[key + ".find[" + KeyText(section) + "," + KeyText(lineKey) + "]"] = r;
  }
  INFCONTEXT none;
  SetLastError(kSentinel);
  out[key + ".find[missing_section]"] = Status(SetupFindFirstLineW(inf, L"NoSuchSection", nullptr, &none) != FALSE);
  SetLastError(kSentinel);
  out[key + ".count[missing_section]"] = Status(SetupGetLineCountW(inf, L"NoSuchSection") >= 0);
  SetupCloseInfFile(inf);
}

// Makes a folder and the folders above it that are missing.
void MakeDirectories(const std::wstring &path) {
  if (Exists(path)) return;
  size_t cut = path.rfind(L'\\');
  if (cut != std::wstring::npos && cut > 2) MakeDirectories(path.substr(0, cut));
  MakeDirectory(path);
}

void ProbeInf(json &out) {
  const std::wstring dir = L"C:\\probe\\inf";
  MakeDirectory(dir);
  for (const InfCase &c : InfCorpus()) {
    std::wstring path = dir + L"\\" + std::wstring(c.name, c.name + std::strlen(c.name)) + L".inf";
    WriteText(path, c.bytes);
    ProbeInfFile(out, std::string("inf.") + c.name, path, c);
  }
  // The filter package as the driver store holds it, where %13% names its folder.
  const std::wstring package = StorePackage();
  RemoveTree(package);
  MakeDirectories(package);
  const InfCase stored = {"shape_filter_store", Ansi1252(FromUtf8(Crlf(kShapeFilterInf))), {}};
  WriteText(package + L"\\kvnfilt.inf", stored.bytes);
  ProbeInfFile(out, "inf.shape_filter_store", package + L"\\kvnfilt.inf", stored);
  RemoveTree(package);
  SetLastError(kSentinel);
  out["inf.open[missing]"] =
      Status(SetupOpenInfFileW(L"C:\\probe\\inf\\none.inf", nullptr, INF_STYLE_WIN4, nullptr) != INVALID_HANDLE_VALUE);
  WCHAR small[12];
  std::memset(small, 0xCC, sizeof small);
  DWORD cut = GetPrivateProfileSectionNamesW(small, 12, L"C:\\probe\\inf\\driver.inf");
  json r = {{"result", cut}};
  json chars = json::array();
  for (WCHAR ch : small) chars.push_back(unsigned(ch));
  r["chars"] = chars;
  out["inf.profile_sections[cut]"] = r;
}

// ---- INF installation ----------------------------------------------------------------------
// A section's AddReg and DelReg lines applied below HKEY_CURRENT_USER\Software\KvnProbe\inf
// (HKR), over values set beforehand; the key's values and subkeys are reported afterwards.
const char kInstallInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n"
    "[Install]\r\nNeeds=Needed\r\nDelReg=Install.DelReg\r\nAddReg=Install.AddReg\r\n"
    "[Needed]\r\nAddReg=Needed.AddReg\r\n"
    "[Needed.AddReg]\r\nHKR,,FromNeeds,,\"needed\"\r\n"
    "[NeedsMissing]\r\nNeeds=NoSuchSection\r\n"
    "[Install.DelReg]\r\nHKR,,DelMe\r\nHKR,,Strings,0x18002,\"B\"\r\nHKR,OldKey\r\n"
    "HKR,,Kept,0x10000\r\n"
    "[Install.AddReg]\r\n"
    "HKR,,Sz,,\"text\"\r\n"
    "HKR,,Expand,0x20000,\"%10%\\x\"\r\n"
    "HKR,,Multi,0x10000,\"a\",\"b\"\r\n"
    "HKR,,MultiNone,0x10000\r\n"
    "HKR,,Dword,0x10001,0x12\r\n"
    "HKR,,DwordOctal,0x10001,010\r\n"
    "HKR,,DwordBytes,0x10001,1,2,3,4\r\n"
    "HKR,,Binary,1,de,ad,be,ef\r\n"
    "HKR,,None,0x20001\r\n"
    "HKR,,Qword,0x000B0001,1,0,0,0,0,0,0,0\r\n"
    "HKR,,Kept,0x2,\"new\"\r\n"
    "HKR,,OnlyOver,0x20,\"x\"\r\n"
    "HKR,,Over,0x20,\"y\"\r\n"
    "HKR,,Append,0x10008,\"B\",\"c\"\r\n"
    "HKR,Sub,,0x10\r\n"
    "HKR,Common,Val,0x2000,\"v\"\r\n"
    "HKR,,Gone,0x4\r\n"
    "HKR,,Empty\r\n"
    "HKR,Sub2,Val,,\"v\"\r\n"
    "HKR,Wide,Val,0x1000,\"64\"\r\n"
    "HKXX,,Ignored,,\"z\"\r\n";

json KeyContents(HKEY key) {
  json r = json::object();
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    BYTE data[1024];
    DWORD nameSize = 256, type = 0, bytes = sizeof data;
    if (RegEnumValueW(key, i, name, &nameSize, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
    r["value." + Utf8(name)] = {{"type", unsigned(type)}, {"data", RegData(type, data, bytes)}};
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD nameSize = 256;
    if (RegEnumKeyExW(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    r["key." + Utf8(name)] = true;
  }
  return r;
}

void ProbeInfInstall(json &out) {
  const std::wstring path = L"C:\\probe\\inf\\install.inf";
  WriteText(path, kInstallInf);
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  Fixture(inf != INVALID_HANDLE_VALUE, path);
  const std::wstring keyPath = std::wstring(kRegScratch) + L"\\inf";
  HKEY key = nullptr;
  Fixture(RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
              ERROR_SUCCESS,
          L"the scratch key");
  auto setText = [&](const wchar_t *name, DWORD type, const std::wstring &image) {
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(image.data()),
                   DWORD(image.size() * sizeof(WCHAR)));
  };
  setText(L"Kept", REG_SZ, std::wstring(L"old", 4));
  setText(L"Over", REG_SZ, std::wstring(L"old", 4));
  setText(L"Gone", REG_SZ, std::wstring(L"x", 2));
  setText(L"DelMe", REG_SZ, std::wstring(L"x", 2));
  setText(L"Append", REG_MULTI_SZ, std::wstring(L"a\0b\0", 5));
  setText(L"Strings", REG_MULTI_SZ, std::wstring(L"a\0b\0c\0", 7));
  HKEY old = nullptr;
  RegCreateKeyExW(key, L"OldKey\\Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &old, nullptr);
  if (old) RegCloseKey(old);

  struct Call {
    const char *key;
    HINF inf;  // an invalid handle is not probed: Wine's parser dereferences it
    const wchar_t *section;
    UINT flags;
  } calls[] = {
      {"infinst.install", inf, L"Install", SPINST_REGISTRY},
      {"infinst.missing_section", inf, L"NoSuchSection", SPINST_REGISTRY},
      {"infinst.needs_missing", inf, L"NeedsMissing", SPINST_REGISTRY},
  };
  for (const Call &c : calls) {
    SetLastError(kSentinel);
    out[c.key] = Status(SetupInstallFromInfSectionW(nullptr, c.inf, c.section, c.flags, key, nullptr, 0, nullptr,
                                                    nullptr, nullptr, nullptr) != FALSE);
  }
  json contents = KeyContents(key);
  for (auto &[name, value] : contents.items()) {
    if (value.is_object() && value.contains("data") && value["data"].is_string()) {
      std::string text = value["data"].get<std::string>();
      value["data"] = WithoutWindowsFolder(std::wstring(text.begin(), text.end()));
    }
    out["infinst.after." + name] = value;
  }
  RegCloseKey(key);
  DeleteRegTree(HKEY_CURRENT_USER, keyPath);
  if (inf != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf);
}

// A service installed from an INF, reinstalled with NOCLOBBER flags, then deleted; a section
// missing a required key. Each step is read back from the service's key.
const char kServiceInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n"
    "[Svc.Services]\r\nAddService=KvnProbeInfSvc,,Svc.Install,Svc.EventLog\r\n"
    "[Svc.Install]\r\nServiceType=16\r\nStartType=3\r\nErrorControl=1\r\n"
    "ServiceBinary=%11%\\kvnprobe.exe\r\nDisplayName=\"Kvn probe INF service\"\r\n"
    "Description=\"Installed from an INF\"\r\nLoadOrderGroup=KvnGroup\r\n"
    "Dependencies=RpcSs\r\nAddReg=Svc.AddReg\r\n"
    "[Svc.AddReg]\r\nHKR,Parameters,Level,0x10001,3\r\n"
    "[Svc.EventLog]\r\nAddReg=Svc.EventLog.AddReg\r\n"
    "[Svc.EventLog.AddReg]\r\nHKR,,TypesSupported,0x10001,7\r\n"
    "[Update.Services]\r\nAddService=KvnProbeInfSvc,0x18,Svc.Update\r\n"
    "[Svc.Update]\r\nServiceType=16\r\nStartType=2\r\nErrorControl=0\r\n"
    "ServiceBinary=%11%\\kvnprobe2.exe\r\nDisplayName=\"Changed\"\r\n"
    "[Bad.Services]\r\nAddService=KvnProbeInfBad,,Bad.Install\r\n"
    "[Bad.Install]\r\nServiceType=16\r\nStartType=3\r\nServiceBinary=%11%\\x.exe\r\n"
    "[Del.Services]\r\nDelService=KvnProbeInfSvc,0x4\r\nDelService=KvnProbeNoSuchSvc\r\n"
    "[Empty.Services]\r\n";

json InfServiceValues() {
  const std::wstring base = L"SYSTEM\\CurrentControlSet\\Services\\KvnProbeInfSvc";
  json r = json::object();
  struct Read {
    const char *key;
    std::wstring subkey;
    const wchar_t *value;
  } reads[] = {
      {"Type", base, L"Type"},
      {"Start", base, L"Start"},
      {"ErrorControl", base, L"ErrorControl"},
      {"ImagePath", base, L"ImagePath"},
      {"DisplayName", base, L"DisplayName"},
      {"Description", base, L"Description"},
      {"Group", base, L"Group"},
      {"DependOnService", base, L"DependOnService"},
      {"Parameters.Level", base + L"\\Parameters", L"Level"},
      {"EventLog.TypesSupported", L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\KvnProbeInfSvc",
       L"TypesSupported"},
  };
  for (const Read &read : reads) {
    BYTE data[512] = {};
    DWORD type = 0, size = sizeof data;
    LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, read.subkey.c_str(), read.value, RRF_RT_ANY | RRF_NOEXPAND, &type,
                             data, &size);
    json v = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      // ImagePath's type is reported on its own (Wine writes REG_SZ).
      if (std::string(read.key) == "ImagePath")
        r["ImagePath.type"] = unsigned(type);
      else
        v["type"] = unsigned(type);
      if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
        v["value"] = WithoutWindowsFolder(std::wstring(reinterpret_cast<const wchar_t *>(data)));
      else if (type == REG_DWORD)
        v["value"] = unsigned(*reinterpret_cast<DWORD *>(data));
    }
    r[read.key] = v;
  }
  return r;
}

void ProbeInfServices(json &out) {
  const std::wstring path = L"C:\\probe\\inf\\services.inf";
  WriteText(path, kServiceInf);
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  Fixture(inf != INVALID_HANDLE_VALUE, path);
  struct Step {
    const char *key;
    const wchar_t *section;
    bool readBack;
  } steps[] = {
      {"infsvc.missing_section", L"NoSuchSection", false},
      {"infsvc.empty_section", L"Empty.Services", false},
      {"infsvc.missing_required_key", L"Bad.Services", false},
      {"infsvc.add", L"Svc.Services", true},
      {"infsvc.add_again", L"Svc.Services", false},
      {"infsvc.update_noclobber", L"Update.Services", true},
      {"infsvc.delete", L"Del.Services", true},
  };
  for (const Step &step : steps) {
    SetLastError(kSentinel);
    out[step.key] = Status(SetupInstallServicesFromInfSectionW(inf, step.section, 0) != FALSE);
    if (step.readBack) {
      json values = InfServiceValues();
      for (auto &[name, value] : values.items()) out[std::string(step.key) + "." + name] = value;
    }
  }
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm) {
    // Left by a run that stopped early.
    for (const wchar_t *name : {L"KvnProbeInfSvc", L"KvnProbeInfBad"})
      if (SC_HANDLE s = OpenServiceW(scm, name, DELETE)) {
        DeleteService(s);
        CloseServiceHandle(s);
      }
    CloseServiceHandle(scm);
  }
  SetupCloseInfFile(inf);
}

// Publishing an INF: a first copy, a rerun that finds it, the refusals and the sizes. Names
// are reported by shape ("oem#.inf") and by whether a rerun gives the same one; the copies
// are removed afterwards.
void ProbeCopyOemInf(json &out) {
  const std::wstring source = L"C:\\probe\\inf\\kvnpublish.inf";
  WriteText(source,
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\nDriverVer=01/02/2026,1.2.3.4\r\n"
            "[KvnProbePublish]\r\nUnique=\"3f1c9e\"\r\n");
  auto shape = [](const std::wstring &name) {
    std::wstring s;
    for (wchar_t c : name) {
      if (c >= L'0' && c <= L'9') {
        if (s.empty() || s.back() != L'#') s += L'#';
      } else {
        s += c;
      }
    }
    return Utf8(s);
  };
  std::vector<std::wstring> published;
  struct Case {
    const char *key;
    const wchar_t *source;
    DWORD style, bufferSize;
  } cases[] = {
      {"oeminf.first", source.c_str(), 0, MAX_PATH},
      {"oeminf.again", source.c_str(), 0, MAX_PATH},
      {"oeminf.again_nooverwrite", source.c_str(), SP_COPY_NOOVERWRITE, MAX_PATH},
      {"oeminf.again_small_buffer", source.c_str(), 0, 4},
      {"oeminf.missing_source", L"C:\\probe\\inf\\none.inf", 0, MAX_PATH},
  };
  std::wstring first;
  for (const Case &c : cases) {
    WCHAR name[MAX_PATH];
    std::fill(std::begin(name), std::end(name), WCHAR(0xCCCC));
    DWORD required = kSentinel;
    PWSTR component = nullptr;
    SetLastError(kSentinel);
    json r = Status(
        SetupCopyOEMInfW(c.source, nullptr, SPOST_PATH, c.style, name, c.bufferSize, &required, &component) != FALSE);
    bool filled = name[0] != WCHAR(0xCCCC);
    r["name_filled"] = filled;
    if (filled) {
      std::wstring full = name;
      r["component_is_file_name"] = component && std::wstring(component) == full.substr(full.rfind(L'\\') + 1);
      r["required_is_length"] = required == full.size() + 1;
      if (first.empty()) {
        first = full;
        r["shape"] = shape(full.substr(full.rfind(L'\\') + 1));
        published.push_back(full);
      } else {
        r["same_as_first"] = full == first;
      }
    } else if (!first.empty() && required != kSentinel) {
      r["required_is_length"] = required == first.size() + 1;
    }
    out[c.key] = r;
  }
  for (const std::wstring &path : published) {
    DeleteFileW(path.c_str());
    std::wstring pnf = path.substr(0, path.size() - 4) + L".pnf";
    DeleteFileW(pnf.c_str());
  }
}

// ---- service control manager ---------------------------------------------------------------
// One service whose binary is winservice.exe (a real service under Windows and Wine; under
// winsim a service starts as [[services]] says, here by default): created, read back from its
// key, started, stopped, disabled and deleted, with the refusals on the way. The waits poll
// until the state settles, so only the settled state is reported.
constexpr const wchar_t *kProbeService = L"KvnProbeSvc";
constexpr const wchar_t *kProbeServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\KvnProbeSvc";

// The service's status once it has reached `settled` (0: at once). A service reports its own
// pending states after the SCM has answered the start or the stop, so the state right after
// the call may still be the previous one on a busy machine: the wait polls for up to 20 s.
// A machine that is still starting its automatic services holds the database: a start is
// refused with ERROR_SERVICE_DATABASE_LOCKED until they are up; on a loaded machine the
// service process may also miss the SCM's start timeout. Both are retried for a while.
json StartPatiently(SC_HANDLE service) {
  BOOL started = StartServiceW(service, 0, nullptr);
  for (int i = 0; !started && i < 300; ++i) {
    DWORD error = GetLastError();
    if (error != ERROR_SERVICE_DATABASE_LOCKED && error != ERROR_SERVICE_REQUEST_TIMEOUT) break;
    Sleep(100);
    started = StartServiceW(service, 0, nullptr);
  }
  return Status(started != FALSE);
}

json ServiceState(SC_HANDLE service, DWORD settled) {
  SERVICE_STATUS status = {};
  BOOL ok = QueryServiceStatus(service, &status);
  for (int i = 0; ok && settled && status.dwCurrentState != settled && i < 200; ++i) {
    Sleep(100);
    ok = QueryServiceStatus(service, &status);
  }
  json r = Status(ok != FALSE);
  if (ok) {
    r["state"] = unsigned(status.dwCurrentState);
    r["type"] = unsigned(status.dwServiceType);
    if (status.dwCurrentState == SERVICE_STOPPED) r["exit_code"] = unsigned(status.dwWin32ExitCode);
  }
  return r;
}

json ServiceValue(const wchar_t *name) {
  BYTE data[512] = {};
  DWORD type = kSentinel, size = sizeof data;
  LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, kProbeServiceKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size);
  json r = {{"ret", unsigned(e)}};
  if (e != ERROR_SUCCESS) return r;
  r["type"] = unsigned(type);
  if (type == REG_DWORD)
    r["value"] = unsigned(*reinterpret_cast<DWORD *>(data));
  else if (type == REG_SZ || type == REG_EXPAND_SZ)
    r["value"] = Utf8(reinterpret_cast<const wchar_t *>(data));
  return r;
}

void ProbeServices(json &out) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  out["svc.open_scm"] = Status(scm != nullptr);
  if (!scm) return;
  // Left by an interrupted run.
  if (SC_HANDLE old = OpenServiceW(scm, kProbeService, SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS status;
    ControlService(old, SERVICE_CONTROL_STOP, &status);
    DeleteService(old);
    CloseServiceHandle(old);
  }
  SC_HANDLE remote = OpenSCManagerW(L"\\\\KVNNOSUCHHOST", nullptr, SC_MANAGER_CONNECT);
  out["svc.open_scm[remote]"] = Status(remote != nullptr);
  if (remote) CloseServiceHandle(remote);
  SC_HANDLE failed = OpenSCManagerW(nullptr, L"ServicesFailed", SC_MANAGER_CONNECT);
  out["svc.open_scm[ServicesFailed]"] = Status(failed != nullptr);
  if (failed) CloseServiceHandle(failed);
  for (const wchar_t *name : {L"KvnProbeNoSuchService", L""}) {
    SC_HANDLE s = OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
    out["svc.open[" + KeyText(name) + "]"] = Status(s != nullptr);
    if (s) CloseServiceHandle(s);
  }

  WCHAR cwd[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, cwd);
  std::wstring binary = std::wstring(cwd) + L"\\winservice.exe";
  auto create = [&](const wchar_t *name, const wchar_t *display, DWORD type, DWORD start) {
    return CreateServiceW(scm, name, display, SERVICE_ALL_ACCESS, type, start, SERVICE_ERROR_NORMAL, binary.c_str(),
                          nullptr, nullptr, nullptr, nullptr, nullptr);
  };
  SC_HANDLE service = create(kProbeService, L"Kvn probe service", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
  out["svc.create"] = Status(service != nullptr);
  if (!service) {
    CloseServiceHandle(scm);
    return;
  }
  struct Refused {
    const char *key;
    const wchar_t *name, *display;
    DWORD type, start;
  } refusals[] = {
      {"svc.create[exists]", kProbeService, nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START},
      {"svc.create[same_display]", L"KvnProbeSvc2", L"Kvn probe service", SERVICE_WIN32_OWN_PROCESS,
       SERVICE_DEMAND_START},
      {"svc.create[name_is_a_display]", L"Kvn probe service", nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START},
      {"svc.create[boot_start_process]", L"KvnProbeSvc3", nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START},
      {"svc.create[bad_type]", L"KvnProbeSvc4", nullptr, 0x40, SERVICE_DEMAND_START},
  };
  for (const Refused &r : refusals) {
    SC_HANDLE s = create(r.name, r.display, r.type, r.start);
    out[r.key] = Status(s != nullptr);
    if (s) {
      DeleteService(s);
      CloseServiceHandle(s);
    }
  }
  for (const wchar_t *value : {L"Type", L"Start", L"ErrorControl", L"DisplayName", L"ObjectName", L"DeleteFlag"})
    out["svc.key.created[" + Utf8(value) + "]"] = ServiceValue(value);

  out["svc.state[created]"] = ServiceState(service, 0);
  out["svc.start"] = StartPatiently(service);
  out["svc.state[started]"] = ServiceState(service, SERVICE_RUNNING);
  out["svc.start[running]"] = Status(StartServiceW(service, 0, nullptr) != FALSE);
  SERVICE_STATUS status = {};
  out["svc.stop"] = Status(ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE);
  out["svc.state[stopped]"] = ServiceState(service, SERVICE_STOPPED);
  out["svc.stop[stopped]"] = Status(ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE);

  out["svc.change[disabled]"] =
      Status(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE);
  out["svc.key.changed[Start]"] = ServiceValue(L"Start");
  out["svc.start[disabled]"] = Status(StartServiceW(service, 0, nullptr) != FALSE);

  SC_LOCK lock = LockServiceDatabase(scm);
  out["svc.lock"] = Status(lock != nullptr);
  if (lock) out["svc.unlock"] = Status(UnlockServiceDatabase(lock) != FALSE);
  out["svc.unlock[null]"] = Status(UnlockServiceDatabase(nullptr) != FALSE);

  out["svc.delete"] = Status(DeleteService(service) != FALSE);
  out["svc.delete[marked]"] = Status(DeleteService(service) != FALSE);
  SC_HANDLE marked = OpenServiceW(scm, kProbeService, SERVICE_ALL_ACCESS);
  out["svc.open[marked]"] = Status(marked != nullptr);
  SC_HANDLE again = create(kProbeService, nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
  out["svc.create[marked]"] = Status(again != nullptr);
  if (again) CloseServiceHandle(again);
  out["svc.key.marked[DeleteFlag]"] = ServiceValue(L"DeleteFlag");
  if (marked) CloseServiceHandle(marked);
  out["svc.close"] = Status(CloseServiceHandle(service) != FALSE);
  SC_HANDLE gone = OpenServiceW(scm, kProbeService, SERVICE_QUERY_STATUS);
  out["svc.open[deleted]"] = Status(gone != nullptr);
  if (gone) CloseServiceHandle(gone);
  out["svc.key.deleted[Type]"] = ServiceValue(L"Type");

  // An INF's DelService of a running service that it does not ask to stop: the service is
  // only marked, and the call tells that a restart completes the deletion.
  SC_HANDLE running = create(kProbeService, nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
  out["infsvc.delete[running].create"] = Status(running != nullptr);
  json start = running ? StartPatiently(running) : json();
  out["infsvc.delete[running].start"] = start;
  if (running && start["ok"] && ServiceState(running, SERVICE_RUNNING)["state"] == SERVICE_RUNNING) {
    const std::wstring path = L"C:\\probe\\inf\\delrunning.inf";
    WriteText(path, "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Del.Services]\r\nDelService=KvnProbeSvc\r\n");
    HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    Fixture(inf != INVALID_HANDLE_VALUE, path);
    SetLastError(kSentinel);
    json deleted = Status(SetupInstallServicesFromInfSectionW(inf, L"Del.Services", 0) != FALSE);
    deleted["last_error"] = unsigned(GetLastError());  // a success tells of the restart here
    out["infsvc.delete[running]"] = deleted;
    SetupCloseInfFile(inf);
    out["infsvc.delete[running].state"] = ServiceState(running, SERVICE_RUNNING);
    out["infsvc.delete[running].DeleteFlag"] = ServiceValue(L"DeleteFlag");
  }
  if (running) {
    SERVICE_STATUS stopped = {};
    ControlService(running, SERVICE_CONTROL_STOP, &stopped);
    ServiceState(running, SERVICE_STOPPED);
    DeleteService(running);
    CloseServiceHandle(running);
  }
  CloseServiceHandle(scm);
}

// The descriptor calls the safe-folder code relies on, on descriptors built here (file
// systems differ in what they store, so no folder's own list is compared).
void ProbeSecurityCalls(json &out) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr, system = nullptr;
  Fixture(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                   &admins) &&
              AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system),
          L"the Administrators and SYSTEM SIDs");
  out["sec.equal_sid[same]"] = EqualSid(admins, admins) != FALSE;
  out["sec.equal_sid[different]"] = EqualSid(admins, system) != FALSE;
  alignas(DWORD) BYTE buffer[128];
  PACL acl = reinterpret_cast<PACL>(buffer);
  Fixture(InitializeAcl(acl, sizeof buffer, ACL_REVISION) != FALSE, L"an access list");
  out["sec.add_ace_ex[inherit]"] =
      Status(AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                                   admins) != FALSE);
  out["sec.add_ace_ex[bad_flags]"] =
      Status(AddAccessAllowedAceEx(acl, ACL_REVISION, 0x80, FILE_ALL_ACCESS, system) != FALSE);
  LPVOID ace = nullptr;
  json first = Status(GetAce(acl, 0, &ace) != FALSE);
  if (ace) {
    first["flags"] = static_cast<ACE_HEADER *>(ace)->AceFlags;
    first["mask"] = unsigned(static_cast<ACCESS_ALLOWED_ACE *>(ace)->Mask);
  }
  out["sec.get_ace[0]"] = first;
  out["sec.get_ace[past_end]"] = Status(GetAce(acl, acl->AceCount, &ace) != FALSE);

  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  BOOL present = TRUE, defaulted = TRUE;
  PACL got = reinterpret_cast<PACL>(uintptr_t(kSentinel));
  json none = Status(GetSecurityDescriptorDacl(&sd, &present, &got, &defaulted) != FALSE);
  none["present"] = present != FALSE;
  out["sec.get_dacl[none]"] = none;
  SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
  json given = Status(GetSecurityDescriptorDacl(&sd, &present, &got, &defaulted) != FALSE);
  given["present"] = present != FALSE;
  given["same_acl"] = got == acl;
  out["sec.get_dacl[given]"] = given;
  PSID owner = reinterpret_cast<PSID>(uintptr_t(kSentinel));
  json noOwner = Status(GetSecurityDescriptorOwner(&sd, &owner, &defaulted) != FALSE);
  noOwner["owner_null"] = owner == nullptr;
  out["sec.get_owner[none]"] = noOwner;
  out["sec.set_control[protected]"] =
      Status(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != FALSE);
  out["sec.control_after"] = unsigned(sd.Control);
  out["sec.set_control[self_relative]"] =
      Status(SetSecurityDescriptorControl(&sd, SE_SELF_RELATIVE, SE_SELF_RELATIVE) != FALSE);
  DWORD needed = kSentinel;
  HANDLE token = nullptr;
  json opened = Status(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != FALSE);
  out["sec.open_process_token"] = opened;
  if (token) {
    DWORD size = 0;
    out["sec.token_owner[sizing]"] = Status(GetTokenInformation(token, TokenOwner, nullptr, 0, &size) != FALSE);
    CloseHandle(token);
  }
  out["sec.get_file_security[missing]"] =
      Status(GetFileSecurityW(L"C:\\probe\\no-such-file", DACL_SECURITY_INFORMATION, nullptr, 0, &needed) != FALSE);
  FreeSid(admins);
  FreeSid(system);
}

// An HRESULT as the key's value: "0x80010106".
std::string Hr(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(hr));
  return text;
}

// COM's apartment rules, process security, BSTRs and VARIANTs.
void ProbeComRuntime(json &out) {
  IUnknown *unknown = reinterpret_cast<IUnknown *>(uintptr_t(kSentinel));
  json notInitialised = {{"hr", Hr(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                                    reinterpret_cast<void **>(&unknown)))}};
  notInitialised["out_null"] = unknown == nullptr;
  out["com.create[not_initialised]"] = notInitialised;
  out["com.security[not_initialised]"] =
      Hr(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr));
  const struct {
    const char *name;
    DWORD model;
  } inits[] = {
      {"mta", COINIT_MULTITHREADED},
      {"mta_again", COINIT_MULTITHREADED},
      {"sta_in_mta", COINIT_APARTMENTTHREADED},
      {"mta_third", COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE},
  };
  for (auto &i : inits) out[std::string("com.init[") + i.name + "]"] = Hr(CoInitializeEx(nullptr, i.model));
  out["com.init[co_initialize_in_mta]"] = Hr(CoInitialize(nullptr));
  for (int i = 0; i < 3; ++i) CoUninitialize();  // the three successful ones
  out["com.init[sta_after_uninit]"] = Hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  out["com.init[mta_in_sta]"] = Hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  CoUninitialize();

  BSTR abc = SysAllocString(L"abc");
  BSTR cut = SysAllocStringLen(L"abcdef", 3);
  BSTR zeros = SysAllocStringLen(nullptr, 4);
  BSTR embedded = SysAllocStringLen(L"a\0b", 3);
  BSTR empty = SysAllocString(L"");
  out["bstr.alloc[abc]"] = {{"len", SysStringLen(abc)}, {"text", Utf8(abc)}};
  out["bstr.alloc_len[abcdef,3]"] = {{"len", SysStringLen(cut)}, {"text", Utf8(cut)}};
  out["bstr.alloc_len[null,4]"] = {{"len", SysStringLen(zeros)}, {"terminated", zeros && zeros[4] == 0}};
  out["bstr.alloc_len[embedded_nul]"] = {{"len", SysStringLen(embedded)}, {"last", Utf8(std::wstring(1, embedded[2]))}};
  out["bstr.alloc[empty]"] = {{"null", empty == nullptr}, {"len", SysStringLen(empty)}};
  out["bstr.alloc[null]"] = SysAllocString(nullptr) == nullptr;
  out["bstr.len[null]"] = SysStringLen(nullptr);
  for (BSTR s : {abc, cut, zeros, embedded, empty}) SysFreeString(s);
  SysFreeString(nullptr);

  const struct {
    const char *name;
    VARTYPE vt;
    bool bstr;
  } variants[] = {
      {"empty", VT_EMPTY, false}, {"i4", VT_I4, false},      {"bstr", VT_BSTR, true},
      {"null", VT_NULL, false},   {"bad_type", 0x7F, false}, {"byref_i4", VT_BYREF | VT_I4, false},
  };
  for (auto &v : variants) {
    VARIANT value;
    value.vt = 0x7777;
    VariantInit(&value);
    json r = {{"init_vt", value.vt}};
    value.vt = v.vt;
    value.lVal = 5;
    if (v.bstr) value.bstrVal = SysAllocString(L"text");
    static LONG referenced = 7;
    if (v.vt & VT_BYREF) value.byref = &referenced;
    r["hr"] = Hr(VariantClear(&value));
    r["vt_after"] = value.vt;
    out[std::string("variant.clear[") + v.name + "]"] = r;
  }
}

// WMI through COM: the locator, ROOT\CIMV2, the Win32_ComputerSystem query, its enumerator
// and the object's properties. The model's text is the machine's own, so only its form is
// compared.
void ProbeWmi(json &out) {
  out["wmi.init"] = Hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  out["wmi.security[first]"] = Hr(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  out["wmi.security[second]"] = Hr(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                        RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  // {0C2A8B1E-4F0D-4E5B-9C47-2D6A1B3E5F70}: no such class.
  const GUID unknownClass = {0x0c2a8b1e, 0x4f0d, 0x4e5b, {0x9c, 0x47, 0x2d, 0x6a, 0x1b, 0x3e, 0x5f, 0x70}};
  void *object = nullptr;
  out["wmi.create[unknown_class]"] =
      Hr(CoCreateInstance(unknownClass, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &object));
  out["wmi.create[other_interface]"] =
      Hr(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemServices, &object));
  IWbemLocator *locator = nullptr;
  out["wmi.create[locator]"] = Hr(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                                   reinterpret_cast<void **>(&locator)));
  if (!locator) {
    CoUninitialize();
    return;
  }
  out["wmi.locator.refs"] = {locator->AddRef(), locator->Release()};
  IWbemServices *services = nullptr;
  for (const wchar_t *ns : {L"ROOT\\CIMV2", L"root\\cimv2", L"\\\\.\\root\\cimv2", L"ROOT\\NOSUCH"}) {
    BSTR path = SysAllocString(ns);
    IWbemServices *got = nullptr;
    json r = {{"hr", Hr(locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &got))}};
    r["got"] = got != nullptr;
    out["wmi.connect[" + KeyText(ns) + "]"] = r;
    SysFreeString(path);
    if (got && !services)
      services = got;
    else if (got)
      got->Release();
  }
  if (!services) {
    locator->Release();
    CoUninitialize();
    return;
  }
  out["wmi.proxy_blanket"] =
      Hr(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE));
  const struct {
    const char *name;
    const wchar_t *language, *query;
  } queries[] = {
      {"sql_language", L"SQL", L"SELECT * FROM Win32_ComputerSystem"},
      {"no_such_class", L"WQL", L"SELECT * FROM Kvn_NoSuchClass"},
      {"computer_system", L"WQL", L"SELECT * FROM Win32_ComputerSystem"},
  };
  IEnumWbemClassObject *enumerator = nullptr;
  for (auto &q : queries) {
    BSTR language = SysAllocString(q.language), text = SysAllocString(q.query);
    IEnumWbemClassObject *got = nullptr;
    json r = {{"hr", Hr(services->ExecQuery(language, text, WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &got))}};
    r["got"] = got != nullptr;
    out[std::string("wmi.query[") + q.name + "]"] = r;
    SysFreeString(language);
    SysFreeString(text);
    if (got && std::string(q.name) == "computer_system")
      enumerator = got;
    else if (got)
      got->Release();
  }
  if (enumerator) {
    IWbemClassObject *objects[4] = {};
    ULONG returned = kSentinel;
    json counted = json::array();
    for (int i = 0; i < 2; ++i) {
      returned = kSentinel;
      HRESULT hr = enumerator->Next(LONG(WBEM_INFINITE), 1, objects, &returned);
      counted.push_back({Hr(hr), returned});
      if (returned == 1) objects[0]->Release();
    }
    out["wmi.next[one_at_a_time]"] = counted;
    out["wmi.reset"] = Hr(enumerator->Reset());
    returned = kSentinel;
    json batch = {{"hr", Hr(enumerator->Next(LONG(WBEM_INFINITE), 4, objects, &returned))}, {"returned", returned}};
    out["wmi.next[four]"] = batch;
    for (ULONG i = 0; i < returned && i < 4; ++i) {
      if (i == 0) {
        for (const wchar_t *name : {L"Model", L"model", L"__CLASS", L"Kvn_NoSuchProperty"}) {
          VARIANT value;
          VariantInit(&value);
          CIMTYPE type = -1;
          json r = {{"hr", Hr(objects[0]->Get(name, 0, &value, &type, nullptr))}, {"vt", value.vt}};
          if (value.vt == VT_BSTR) {
            r["type"] = type;
            if (std::wstring(name) == L"__CLASS")
              r["text"] = Utf8(value.bstrVal);
            else
              r["nonempty"] = SysStringLen(value.bstrVal) > 0;
          }
          VariantClear(&value);
          out["wmi.get[" + KeyText(name) + "]"] = r;
        }
      }
      objects[i]->Release();
    }
    out["wmi.enumerator.release"] = enumerator->Release();
  }
  out["wmi.services.release"] = services->Release();
  out["wmi.locator.release"] = locator->Release();
  CoUninitialize();
}

// ---- VerInstallFileW ----------------------------------------------------------------------
// Each case installs C:\probe\vif\src\<source> as z.sys into a fresh C:\probe\vif\<case>
// and records the result bits, what the target holds afterwards ("old", "new" or null) and
// the files the folder holds (temporary names as shapes).
void ProbeVerInstall(json &out) {
  const std::wstring root = L"C:\\probe\\vif", src = root + L"\\src";
  MakeDirectory(root);
  MakeDirectory(src);
  mkpe::VersionInfo info;
  info.fileVersion = {2, 0, 0, 0};
  info.productVersion = {2, 0, 0, 0};
  std::vector<uint8_t> newImage = mkpe::BuildImage(&info, mkpe::FileType::Drv);
  WriteBytes(src + L"\\new.sys", newImage.data(), newImage.size());
  WriteText(src + L"\\plain.sys", "new");
  info.fileVersion = {3, 0, 0, 0};
  std::vector<uint8_t> newerImage = mkpe::BuildImage(&info, mkpe::FileType::Drv);
  info.fileVersion = {1, 0, 0, 0};
  std::vector<uint8_t> dllImage = mkpe::BuildImage(&info, mkpe::FileType::Dll);
  auto bytes = [](const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); };

  enum Old { NoTarget, OldText, OldNewer, OldDll, OldReadOnly, OldOpen };
  const struct {
    const char *key;
    const wchar_t *source;
    Old old;
    DWORD flags;
    UINT capacity;
    bool destDirExists;
  } cases[] = {
      {"vif[new_forced]", L"new.sys", NoTarget, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[over_unversioned]", L"new.sys", OldText, 0, MAX_PATH, true},
      {"vif[newer_kept]", L"new.sys", OldNewer, 0, MAX_PATH, true},
      {"vif[newer_forced]", L"new.sys", OldNewer, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[other_type]", L"new.sys", OldDll, 0, MAX_PATH, true},
      {"vif[source_unversioned]", L"plain.sys", OldNewer, 0, MAX_PATH, true},
      {"vif[name_buffer_too_small]", L"new.sys", OldNewer, 0, 4, true},
      {"vif[write_protected]", L"new.sys", OldReadOnly, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[missing_source]", L"none.sys", OldText, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[missing_target_dir]", L"new.sys", NoTarget, VIFF_FORCEINSTALL, MAX_PATH, false},
      {"vif[target_open]", L"new.sys", OldText, VIFF_FORCEINSTALL, MAX_PATH, true},
  };
  int n = 0;
  for (const auto &c : cases) {
    std::wstring dir = root + L"\\case" + std::to_wstring(++n);
    if (c.destDirExists) MakeDirectory(dir);
    std::wstring target = dir + L"\\z.sys";
    std::string old;
    if (c.old == OldText || c.old == OldReadOnly || c.old == OldOpen) old = "old";
    if (c.old == OldNewer) old = bytes(newerImage);
    if (c.old == OldDll) old = bytes(dllImage);
    if (c.old != NoTarget) WriteText(target, old);
    if (c.old == OldReadOnly) Fixture(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY) != 0, target);
    HANDLE open = std::string(c.key) == "vif[target_open]"
                      ? CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)
                      : INVALID_HANDLE_VALUE;

    WCHAR temp[MAX_PATH] = L"";
    UINT length = c.capacity;
    // Writable copies: the MinGW headers declare the texts without const.
    std::wstring source = c.source, name = L"z.sys", from = src, to = dir, current = dir;
    DWORD result =
        VerInstallFileW(c.flags, source.data(), name.data(), from.data(), to.data(), current.data(), temp, &length);
    if (open != INVALID_HANDLE_VALUE) CloseHandle(open);
    json r = {{"result", HexText(result)}};
    json now = ReadText(target);
    std::string fresh = std::wstring(c.source) == L"plain.sys" ? "new" : bytes(newImage);
    r["target"] = now.is_null() ? json(nullptr) : json(now == old ? "old" : now == fresh ? "new" : "other");
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::string name = Utf8(data.cFileName);
        if (name == "." || name == "..") continue;
        for (auto &ch : name) ch = char(std::toupper(static_cast<unsigned char>(ch)));
        names.push_back(name.rfind("VER", 0) == 0 ? NameShape(name, 3) : name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    std::sort(names.begin(), names.end());
    r["files"] = names;
    if (result & VIF_TEMPFILE) {
      std::string tempName = Utf8(temp);
      r["temp_name"] = tempName.size() > 3 ? NameShape(tempName, 3) : tempName;
      r["temp_length_is_name"] = length == std::wcslen(temp) + 1;
    }
    if (c.old == OldReadOnly) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    out[c.key] = r;
  }
}

// ---- ShellExecuteW's failures ------------------------------------------------------------
// A file that is missing, in a folder that is missing, and one whose extension has no
// association: the result (32 or less) and the last error.
void ProbeShellExecute(json &out) {
  MakeDirectory(L"C:\\probe\\shellexec");
  WriteText(L"C:\\probe\\shellexec\\data.zq9", "x");
  const struct {
    const char *key;
    const wchar_t *file, *directory;
  } cases[] = {
      {"shell.open[missing]", L"C:\\probe\\shellexec\\missing.txt", nullptr},
      {"shell.open[missing_folder]", L"C:\\probe\\nofolder\\missing.txt", nullptr},
      {"shell.open[relative_missing]", L"missing.txt", L"C:\\probe\\shellexec"},
      {"shell.open[no_association]", L"C:\\probe\\shellexec\\data.zq9", nullptr},
      {"shell.open[relative_no_association]", L"data.zq9", L"C:\\probe\\shellexec"},
  };
  for (const auto &c : cases) {
    SetLastError(kSentinel);
    INT_PTR result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", c.file, nullptr, c.directory, SW_HIDE));
    json r = {{"ret", result > 32 ? json("above 32") : json(int(result))}};
    if (result <= 32) r["error"] = unsigned(GetLastError());
    out[c.key] = r;
  }
}

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

std::string Lower(std::wstring text) {
  for (auto &c : text) c = wchar_t(std::towlower(c));
  return Utf8(text);
}

// Special folders through their item lists, and a shell link saved and read back.
void ProbeShell(json &out) {
  // These folders exist on Windows; a probe machine may lack them.
  CreateDirectoryW(L"C:\\Windows\\System32", nullptr);
  std::wstring programs = L"C:";
  for (const wchar_t *part : {L"\\ProgramData", L"\\Microsoft", L"\\Windows", L"\\Start Menu", L"\\Programs"}) {
    programs += part;
    CreateDirectoryW(programs.c_str(), nullptr);
  }
  IMalloc *shellMalloc = nullptr;
  out["shell.malloc"] = Hr(SHGetMalloc(&shellMalloc));
  const struct {
    const char *key;
    int csidl;
  } folders[] = {
      {"shell.folder[common_programs]", CSIDL_COMMON_PROGRAMS},
      {"shell.folder[system]", CSIDL_SYSTEM},
      {"shell.folder[windows]", CSIDL_WINDOWS},
      {"shell.folder[unknown]", 0xff},
  };
  for (auto &f : folders) {
    LPITEMIDLIST pidl = reinterpret_cast<LPITEMIDLIST>(uintptr_t(kSentinel));
    json r = {{"hr", Hr(SHGetSpecialFolderLocation(nullptr, f.csidl, &pidl))}};
    r["out_null"] = pidl == nullptr;
    if (pidl && pidl != reinterpret_cast<LPITEMIDLIST>(uintptr_t(kSentinel))) {
      WCHAR path[MAX_PATH] = L"";
      r["path_ok"] = SHGetPathFromIDListW(pidl, path) != FALSE;
      r["path"] = Lower(path);
      if (shellMalloc) shellMalloc->Free(pidl);
    }
    out[f.key] = r;
  }
  WCHAR path[MAX_PATH] = L"x";
  out["shell.path[null]"] = {{"ok", SHGetPathFromIDListW(nullptr, path) != FALSE}, {"emptied", path[0] == 0}};
  out["shell.folder[null_out]"] = Hr(SHGetSpecialFolderLocation(nullptr, CSIDL_SYSTEM, nullptr));
  if (shellMalloc) shellMalloc->Release();

  MakeDirectory(L"C:\\probe\\shell");
  WriteText(L"C:\\probe\\shell\\tool.exe", "x");
  out["shell.link.init"] = Hr(CoInitialize(nullptr));
  IShellLinkW *link = nullptr;
  out["shell.link.create"] = Hr(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                                 reinterpret_cast<void **>(&link)));
  IPersistFile *file = nullptr;
  if (link) link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
  if (link && file) {
    link->SetPath(L"C:\\probe\\shell\\tool.exe");
    out["shell.link.set[arguments]"] = Hr(link->SetArguments(L"/monitor \"a b\""));
    out["shell.link.set[description]"] = Hr(link->SetDescription(L"Tool Monitor"));
    out["shell.link.set[working_directory]"] = Hr(link->SetWorkingDirectory(L"C:\\probe\\shell"));
    out["shell.link.save"] = Hr(file->Save(L"C:\\probe\\shell\\Tool Monitor.lnk", TRUE));
    out["shell.link.saved_file"] = Exists(L"C:\\probe\\shell\\Tool Monitor.lnk");
    out["shell.link.save[missing_folder]"] = Hr(file->Save(L"C:\\probe\\shell\\none\\x.lnk", FALSE));
  }
  IShellLinkW *read = nullptr;
  IPersistFile *readFile = nullptr;
  CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&read));
  if (read) read->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&readFile));
  if (read && readFile) {
    out["shell.link.load"] = Hr(readFile->Load(L"C:\\probe\\shell\\Tool Monitor.lnk", STGM_READ));
    WCHAR text[MAX_PATH] = L"";
    read->GetArguments(text, MAX_PATH);
    out["shell.link.loaded[arguments]"] = Utf8(text);
    read->GetDescription(text, MAX_PATH);
    out["shell.link.loaded[description]"] = Utf8(text);
    read->GetWorkingDirectory(text, MAX_PATH);
    out["shell.link.loaded[working_directory]"] = Lower(text);
  }
  for (IUnknown *p : {static_cast<IUnknown *>(readFile), static_cast<IUnknown *>(read), static_cast<IUnknown *>(file),
                      static_cast<IUnknown *>(link)})
    if (p) p->Release();
  CoUninitialize();
}

void Run(json &out) {
  WCHAR cwd[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, cwd);
  out["process.current_directory"] = Utf8(cwd);
  for (const wchar_t *area : {L"C:\\probe\\ver", L"C:\\probe\\tmp", L"C:\\probe\\find", L"C:\\probe\\ops",
                              L"C:\\probe\\inf", L"C:\\probe\\vif", L"C:\\probe\\movex", L"C:\\probe\\shell",
                              L"C:\\probe\\dev", L"C:\\probe\\shellexec", L"C:\\probe\\proc"})
    RemoveTree(area);
  ProbeVersions(out);
  ProbeEnvironment(out);
  ProbeTempNames(out);
  ProbeFind(out);
  ProbeFileOperations(out);
  ProbeVerInstall(out);
  ProbeShellExecute(out);
  ProbeProcesses(out);
  ProbeMoveFileEx(out);
  ProbeFullPaths(out);
  ProbeRegistry(out);
  ProbeVersionRecord(out);
  ProbeSetupApi(out);
  ProbeRootDevices(out);
  ProbeInf(out);
  ProbeInfInstall(out);
  ProbeInfServices(out);
  ProbeCopyOemInf(out);
  ProbeServices(out);
  ProbeSecurityCalls(out);
  ProbeComRuntime(out);
  ProbeWmi(out);
  ProbeShell(out);
}
}  // namespace

int main(int argc, char **argv) {
  std::string error;
  if (!EnterProbePlace(argc, argv, error)) {
    std::fprintf(stderr, "winprobe: %s\n", error.c_str());
    return 2;
  }
  json out = json::object();
  int status = 0;
  try {
    Run(out);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "winprobe: %s\n", e.what());
    status = 2;
  }
  if (!LeaveProbePlace(error)) {
    std::fprintf(stderr, "winprobe: %s\n", error.c_str());
    status = 2;
  }
  if (status == 0) std::printf("%s\n", out.dump(2).c_str());
  return status;
}
