// Open files of the simulated process (shared with the version-resource and process code).
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "plumbing/handles.h"

namespace winsim {

struct LockedFile;

struct FileObject : Object {
  FileObject() : Object(Kind::File) {}
  ~FileObject() override;
  int fd = -1;
  std::filesystem::path host;
  std::wstring key;  // full Windows path as stored on disk
  wchar_t drive = L'C';
  DWORD access = 0;
  DWORD share = 0;
  // A folder opened with FILE_FLAG_BACKUP_SEMANTICS (no data to read or write), or a
  // junction itself (FILE_FLAG_OPEN_REPARSE_POINT); `place` is where its security lives.
  bool isDir = false;
  bool isLink = false;
  std::wstring place;
};

// Windows FILETIME units for a host time.
int64_t FiletimeOf(const struct timespec &ts);
FILETIME ToFiletime(int64_t value);
int64_t FromFiletime(const FILETIME &ft);

// Attributes of an existing file or directory as Windows reports them.
DWORD AttributesOf(const std::wstring &key, bool isDir);

// The error a [[locked_files]] entry gives for writing or deleting this path, else 0.
DWORD LockedError(const std::wstring &key);
// The [[locked_files]] entry of this path, or null.
LockedFile *LockedEntry(const std::wstring &key);
// Why an existing file cannot be deleted because it is in use: its [[locked_files]] error,
// or ERROR_SHARING_VIOLATION while an open handle does not share deletion; else 0.
DWORD InUseError(const std::wstring &path);

// Reads a whole file of the machine (for winsim's own use: version resources, INF files).
bool ReadWholeFile(const std::wstring &path, std::string &data, DWORD *error);

// Makes the junctions [[file_security]] declares on the drives; false with the reason when a
// link's place or target is not usable.
bool MakeDeclaredLinks(std::string &error);

}  // namespace winsim
