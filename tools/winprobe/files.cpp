// Files and folders: temporary file names, directory searches, copies, moves, deletions and
// new folders, MoveFileExW and its delayed forms, full path names.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "probe.h"

namespace winprobe {
// ---- temporary file names ----------------------------------------------------------------
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
namespace {
constexpr const wchar_t *kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::wstring PendingRenames() {
  std::wstring list(4096, L'\0');
  DWORD type = 0, bytes = DWORD(list.size() * sizeof(WCHAR));
  LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                           &type, list.data(), &bytes);
  list.resize(e == ERROR_SUCCESS ? bytes / sizeof(WCHAR) : 0);
  return list;
}
}  // namespace

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
}  // namespace winprobe
