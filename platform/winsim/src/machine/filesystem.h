// The machine's file system beyond the files of its drive folders: the files other
// processes hold open ([[locked_files]]), attributes ([file_attributes]), owners, access
// lists and junctions ([[file_security]]) and the free space of each drive ([machine]
// free_disk). The run-time tables are written back when the machine closes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "machine/part.h"

namespace winsim {

struct LockedFile {
  std::wstring path;  // full Windows path
  DWORD error = ERROR_SHARING_VIOLATION;
  bool rename = false;  // it can still be renamed (a running program's image)
};

// [[file_security]]: a file's or folder's owner and explicit access list, or a folder that is
// a junction to another folder of the machine. The run-time table of what the machine's
// files carry besides what they inherit; saved back as [[file_security]] entries.
struct FileSecuritySpec {
  std::wstring path;           // full Windows path (a link's own path, not its target's)
  std::vector<BYTE> owner;     // SID; empty: Administrators
  bool hasDacl = false;        // an explicit access list (else only what the parent passes on)
  std::vector<BYTE> dacl;      // ACL image of the explicit entries
  bool protectedDacl = false;  // nothing inherited from the parent
  std::wstring linkTarget;     // a junction: the full path of the folder it points to
};

class FileSystemState : public MachinePart {
 public:
  std::vector<LockedFile> lockedFiles;
  std::map<std::wstring, DWORD> fileAttributes;  // full Windows path (as on disk) -> attributes
  std::vector<FileSecuritySpec> fileSecurity;    // what files carry besides what they inherit

  // The drive folder of a drive letter ('C' -> root/drive_c); empty when the machine has none.
  std::filesystem::path DriveFolder(wchar_t letter) const;
  uint64_t FreeBytes(wchar_t driveLetter) const;
  void AdjustFreeBytes(wchar_t driveLetter, int64_t delta);

  // What a power cut takes: the data written to a file and not yet flushed. While a power cut
  // is armed the file calls keep, before a file's first change since its last flush, the bytes
  // the disk holds for it (none for a file created since). A file's name, its renames and its
  // deletion are on the disk at once (the file system journals them); only data waits.
  void KeepDurable(const std::filesystem::path &host, bool exists);
  void ForgetUnflushed(const std::filesystem::path &host);  // flushed, or no longer there
  void MoveUnflushed(const std::filesystem::path &from, const std::filesystem::path &to);
  // The power goes: every file written since its last flush holds what the disk held (a file
  // created since is left empty). Returns how many files lost writes.
  size_t LoseUnflushedWrites();

  bool Load(MachineFile &file) override;
  bool Save(MachineFile &file, std::string &error) override;

 private:
  std::filesystem::path root_;
  std::map<std::wstring, uint64_t> freeDisk_;             // "C:" -> bytes available
  std::map<std::filesystem::path, std::string> durable_;  // host path -> the bytes on the disk
};

// The open machine's file system.
FileSystemState &FileSystem();

}  // namespace winsim
