// Windows paths of the machine: making them full as GetFullPathNameW does, and finding
// them in the drive folders without regard to case, as NTFS does.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace winsim {

// The full, normalised form of a path against the process's current directory ("." and
// ".." applied, '/' read as '\', trailing dots and blanks of the last name removed).
// Empty, with *error set, when the path is empty or malformed.
std::wstring FullPath(std::wstring_view path, DWORD *error);

struct Resolved {
  DWORD error = 0;             // nonzero: the path cannot name anything on the machine
  std::filesystem::path host;  // where it lives (or would be created) on the host
  std::wstring key;            // the full Windows path with the names as stored on disk
  wchar_t drive = L'C';
  bool exists = false;
  bool isDir = false;
  bool parentExists = false;  // every component but the last exists as a directory
  bool trailingSlash = false;
};

// Resolves a full path (FullPath's result). A path whose parent is missing has
// parentExists false; the names that do not exist keep the case given.
Resolved Resolve(const std::wstring &fullPath);

// Full path + resolution in one step, with the errors CreateFileW & co. report for names
// that cannot exist (invalid characters, over-long names, unknown drives).
Resolved ResolvePath(LPCWSTR path);

// The directory part and the last name of a full path ("C:\a\b" -> "C:\a", "b").
std::wstring ParentOf(const std::wstring &fullPath);
std::wstring LastName(const std::wstring &fullPath);

}  // namespace winsim
