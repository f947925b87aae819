// The Win32 file functions over the machine's drive folders.
#include "kernel32/files.h"

#include <aclapi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "plumbing/hooks.h"
#include "machine/machine.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "machine/clock.h"
#include "machine/filesystem.h"
#include "machine/process.h"
#include "plumbing/calls.h"
#include "plumbing/faults.h"
#include "base/diagnostics.h"
#include "base/security.h"

namespace winsim {

FileObject::~FileObject() {
  if (fd >= 0) ::close(fd);
}

int64_t FiletimeOf(const struct timespec &ts) {
  return 116444736000000000LL + int64_t(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
}

FILETIME ToFiletime(int64_t value) {
  return FILETIME{DWORD(uint64_t(value) & 0xFFFFFFFFu), DWORD(uint64_t(value) >> 32)};
}

int64_t FromFiletime(const FILETIME &ft) { return int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime); }

namespace {
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void SetStoredAttributes(const std::wstring &key, DWORD attrs, bool isDir) {
  auto &table = FileSystem().fileAttributes;
  DWORD def = isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  auto it = std::find_if(table.begin(), table.end(), [&](auto &e) { return EqualNoCase(e.first, key); });
  if (it != table.end()) table.erase(it);
  if (attrs != def) table[key] = attrs;
}

void ForgetAttributes(const std::wstring &key) {
  auto &table = FileSystem().fileAttributes;
  for (auto it = table.begin(); it != table.end();) {
    // The entry itself and, for a directory, everything below it.
    if (EqualNoCase(it->first, key) ||
        (it->first.size() > key.size() && EqualNoCase(it->first.substr(0, key.size()), key) &&
         it->first[key.size()] == L'\\'))
      it = table.erase(it);
    else
      ++it;
  }
}

void MoveAttributes(const std::wstring &from, const std::wstring &to) {
  auto &table = FileSystem().fileAttributes;
  std::vector<std::pair<std::wstring, DWORD>> moved;
  for (auto it = table.begin(); it != table.end();) {
    if (EqualNoCase(it->first, from)) {
      moved.push_back({to, it->second});
      it = table.erase(it);
    } else if (it->first.size() > from.size() && EqualNoCase(it->first.substr(0, from.size()), from) &&
               it->first[from.size()] == L'\\') {
      moved.push_back({to + it->first.substr(from.size()), it->second});
      it = table.erase(it);
    } else {
      ++it;
    }
  }
  for (auto &m : moved) table[m.first] = m.second;
}

int64_t NowUtc() { return Clock().Now(); }

// A file of the machine may share its data with a file outside it: kvnhost links the
// package's files into C:\Package rather than copying them. Before the machine writes such a
// file, replaces it in place or changes its times, the file gets data of its own (same bytes,
// same times), so no run changes anything outside its machine directory. False when that
// copy cannot be made.
bool OwnData(const std::filesystem::path &host) {
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink < 2) return true;
  std::filesystem::path copy = host;
  copy += ".winsim-own";
  std::error_code ec, ignored;
  std::filesystem::copy_file(host, copy, std::filesystem::copy_options::overwrite_existing, ec);
  if (!ec) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, copy.c_str(), times, 0);
    std::filesystem::rename(copy, host, ec);
  }
  if (ec) std::filesystem::remove(copy, ignored);
  return !ec;
}

// Before the machine changes a file's data: while a power cut is armed, what the disk holds
// for the file, which the cut puts back unless a flush comes first.
void BeforeDataChange(const std::filesystem::path &host, bool exists) {
  if (Faults().PowerCutArmed()) FileSystem().KeepDurable(host, exists);
}

void Touch(const std::filesystem::path &host) {
  OwnData(host);
  int64_t t = NowUtc() - 116444736000000000LL;
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = time_t(t / 10000000);
  ts[0].tv_nsec = ts[1].tv_nsec = long((t % 10000000) * 100);
  ::utimensat(AT_FDCWD, host.c_str(), ts, 0);
}

void TouchFd(int fd) {
  int64_t t = NowUtc() - 116444736000000000LL;
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = time_t(t / 10000000);
  ts[0].tv_nsec = ts[1].tv_nsec = long((t % 10000000) * 100);
  ::futimens(fd, ts);
}

// Another open handle of the same file whose sharing forbids this access (or whose access
// this sharing forbids) makes the open fail with ERROR_SHARING_VIOLATION.
bool SharingConflict(const std::filesystem::path &host, DWORD access, DWORD share) {
  struct stat target;
  if (::stat(host.c_str(), &target) != 0) return false;
  bool wantsRead = access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA);
  bool wantsWrite = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
  bool wantsDelete = access & (DELETE | GENERIC_ALL);
  // Opens for attributes only take no part in sharing, on either side.
  if (!wantsRead && !wantsWrite && !wantsDelete) return false;
  bool conflict = false;
  ForEachObject(Object::Kind::File, [&](Object &o) {
    auto &f = static_cast<FileObject &>(o);
    struct stat st;
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || st.st_dev != target.st_dev || st.st_ino != target.st_ino) return;
    bool hasRead = f.access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA);
    bool hasWrite = f.access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    bool hasDelete = f.access & (DELETE | GENERIC_ALL);
    if (!hasRead && !hasWrite && !hasDelete) return;
    if ((wantsRead && !(f.share & FILE_SHARE_READ)) || (wantsWrite && !(f.share & FILE_SHARE_WRITE)) ||
        (wantsDelete && !(f.share & FILE_SHARE_DELETE)) || (hasRead && !(share & FILE_SHARE_READ)) ||
        (hasWrite && !(share & FILE_SHARE_WRITE)) || (hasDelete && !(share & FILE_SHARE_DELETE)))
      conflict = true;
  });
  return conflict;
}

uint64_t HostSize(const std::filesystem::path &p) {
  std::error_code ec;
  auto n = std::filesystem::file_size(p, ec);
  return ec ? 0 : n;
}

std::shared_ptr<FileObject> FileOf(HANDLE h) {
  return std::static_pointer_cast<FileObject>(FindObject(h, Object::Kind::File));
}

// The path of an open file, for a [[faults]] entry's when_arg_contains.
std::wstring PathOf(HANDLE h) {
  auto f = FileOf(h);
  return f ? f->key : std::wstring();
}

// Removes a directory tree's worth of free-space accounting when files are deleted.
void ReleaseSpace(wchar_t drive, uint64_t bytes) { FileSystem().AdjustFreeBytes(drive, int64_t(bytes)); }

// ---- owners, access lists and junctions ----------------------------------------------
// A file's security is its [[file_security]] entry (owner, explicit entries, protection)
// plus, unless protected, what its parent's access list passes on: inheritance is worked
// out when asked, so a folder's new access list reaches what inherits from it, as NTFS's
// propagation does. Paths without an entry are owned by Administrators. A junction is a
// symbolic link on the host; the security of what lies beyond it is its target's.

bool IsLink(const std::filesystem::path &host) {
  std::error_code ec;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(host, ec));
}

// The full Windows path of a host path inside a drive folder, links on the way followed;
// empty when it is not inside the drive.
std::wstring KeyOfHost(wchar_t drive, const std::filesystem::path &host) {
  std::error_code ec;
  auto folder = std::filesystem::weakly_canonical(FileSystem().DriveFolder(drive), ec);
  auto real = std::filesystem::weakly_canonical(host, ec);
  if (ec) return {};
  auto rel = real.lexically_relative(folder);
  if (rel.empty() || *rel.begin() == "..") return {};
  std::wstring key{drive, L':', L'\\'};
  bool first = true;
  for (auto &part : rel) {
    if (part == ".") continue;
    key += (first ? L"" : L"\\") + FromUtf8(part.string());
    first = false;
  }
  return key;
}

// Where a resolved path really is: the junctions before its last name followed, the last
// name itself not (a junction's own place).
std::wstring PlaceOf(const Resolved &r) {
  if (r.key.size() <= 3) return r.key;
  std::wstring parent = KeyOfHost(r.drive, r.host.parent_path());
  if (parent.empty()) return r.key;
  return parent + (parent.size() > 3 ? L"\\" : L"") + LastName(r.key);
}

// The place of what a path names, a junction at its end followed too.
std::wstring TargetPlaceOf(const Resolved &r) {
  if (!IsLink(r.host)) return PlaceOf(r);
  std::wstring key = KeyOfHost(r.drive, r.host);
  return key.empty() ? PlaceOf(r) : key;
}

std::vector<FileSecuritySpec>::iterator SecurityEntry(const std::wstring &place) {
  auto &table = FileSystem().fileSecurity;
  return std::find_if(table.begin(), table.end(), [&](auto &e) { return EqualNoCase(e.path, place); });
}

bool Below(const std::wstring &path, const std::wstring &folder) {
  return path.size() > folder.size() && EqualNoCase(path.substr(0, folder.size()), folder) &&
         path[folder.size()] == L'\\';
}

std::vector<BYTE> EffectiveDacl(const std::wstring &place, bool isDir) {
  if (place.size() <= 3) return RootFileDacl();
  auto e = SecurityEntry(place);
  bool own = e != FileSystem().fileSecurity.end() && e->hasDacl;
  std::vector<BYTE> explicitAces = own ? e->dacl : std::vector<BYTE>{};
  if (own && e->protectedDacl) return JoinAcl(explicitAces, {});
  return JoinAcl(explicitAces, InheritedAces(EffectiveDacl(ParentOf(place), true), isDir));
}

std::vector<BYTE> OwnerOf(const std::wstring &place) {
  auto e = SecurityEntry(place);
  if (e != FileSystem().fileSecurity.end() && !e->owner.empty()) return e->owner;
  return MakeSid(5, {32, 544});  // Administrators: what the elevated process creates
}

// Whether the elevated administrator has all of `rights` on a place.
bool Granted(const std::wstring &place, bool isDir, ACCESS_MASK rights) {
  return (FileAccessAllowed(EffectiveDacl(place, isDir), OwnerOf(place)) & rights) == rights;
}

// Creating a name in a folder: the folder must let files (or folders) be added.
bool MayCreateIn(const Resolved &r, bool dir) {
  std::wstring parent = KeyOfHost(r.drive, r.host.parent_path());
  if (parent.empty()) return true;
  return Granted(parent, true, dir ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
}

// Deleting or renaming: DELETE on the thing itself or FILE_DELETE_CHILD on its folder.
bool MayDelete(const Resolved &r) {
  std::wstring place = PlaceOf(r);
  return Granted(place, r.isDir || IsLink(r.host), DELETE) || Granted(ParentOf(place), true, FILE_DELETE_CHILD);
}

void ForgetSecurity(const std::wstring &place) {
  auto &table = FileSystem().fileSecurity;
  table.erase(std::remove_if(table.begin(), table.end(),
                             [&](auto &e) { return EqualNoCase(e.path, place) || Below(e.path, place); }),
              table.end());
}

void MoveSecurity(const std::wstring &from, const std::wstring &to) {
  for (auto &e : FileSystem().fileSecurity) {
    if (EqualNoCase(e.path, from))
      e.path = to;
    else if (Below(e.path, from))
      e.path = to + e.path.substr(from.size());
  }
}

// The security a new file or folder is given from the descriptor of its
// SECURITY_ATTRIBUTES; false when the descriptor is not valid.
bool TakeDescriptor(const std::wstring &place, LPSECURITY_ATTRIBUTES sa) {
  if (!sa || !sa->lpSecurityDescriptor) return true;
  DescriptorParts parts;
  if (!ReadDescriptor(sa->lpSecurityDescriptor, parts)) return false;
  if (!parts.daclPresent && parts.owner.empty()) return true;
  FileSecuritySpec e;
  e.path = place;
  e.owner = parts.owner;
  if (parts.daclPresent) {
    e.hasDacl = true;
    e.protectedDacl = parts.daclProtected;
    if (parts.dacl.empty()) {  // a null DACL: everyone may do everything
      e.dacl.assign(8, 0);
      e.dacl[0] = ACL_REVISION;
      AddAceEx(e.dacl, true, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, MakeSid(1, {0}));
      e.protectedDacl = true;
    } else {
      e.dacl = JoinAcl(parts.dacl, {});
    }
  }
  ForgetSecurity(place);
  FileSystem().fileSecurity.push_back(std::move(e));
  return true;
}

// Points the host link at `host` to the folder `target` (a full Windows path), relative to
// the link's folder so that the machine directory can move.
bool MakeLink(const std::filesystem::path &host, const std::wstring &target, std::string &why) {
  DWORD err = 0;
  std::wstring full = FullPath(target, &err);
  Resolved t = full.empty() ? Resolved{} : Resolve(full);
  if (full.empty() || t.error || !t.exists || !t.isDir) {
    why = "is not a folder of the machine";
    return false;
  }
  std::error_code ec;
  auto from = std::filesystem::weakly_canonical(host.parent_path(), ec);
  auto to = std::filesystem::weakly_canonical(t.host, ec);
  std::filesystem::create_directory_symlink(to.lexically_relative(from), host, ec);
  if (ec) {
    why = "cannot be linked to: " + ec.message();
    return false;
  }
  return true;
}

struct FindObject_ : Object {
  FindObject_() : Object(Kind::Find) {}
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

WIN32_FIND_DATAW FindDataOf(const std::filesystem::path &host, const std::wstring &name, const std::wstring &key) {
  WIN32_FIND_DATAW d;
  std::memset(&d, 0, sizeof d);
  struct stat st;
  bool isDir = false;
  if (::stat(host.c_str(), &st) == 0) {
    isDir = S_ISDIR(st.st_mode);
    d.ftCreationTime = ToFiletime(FiletimeOf(st.st_mtim));
    d.ftLastAccessTime = ToFiletime(FiletimeOf(st.st_atim));
    d.ftLastWriteTime = ToFiletime(FiletimeOf(st.st_mtim));
    if (!isDir) {
      d.nFileSizeHigh = DWORD(uint64_t(st.st_size) >> 32);
      d.nFileSizeLow = DWORD(uint64_t(st.st_size) & 0xFFFFFFFFu);
    }
  }
  d.dwFileAttributes = AttributesOf(key, isDir);
  if (IsLink(host)) d.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  size_t n = std::min<size_t>(name.size(), MAX_PATH - 1);
  name.copy(d.cFileName, n);
  d.cFileName[n] = L'\0';
  return d;
}
}  // namespace

DWORD AttributesOf(const std::wstring &key, bool isDir) {
  for (auto &[k, v] : FileSystem().fileAttributes)
    if (EqualNoCase(k, key)) return isDir ? (v | FILE_ATTRIBUTE_DIRECTORY) : v;
  return isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

LockedFile *LockedEntry(const std::wstring &key) {
  for (auto &lf : FileSystem().lockedFiles) {
    DWORD err = 0;
    std::wstring full = FullPath(lf.path, &err);
    if (EqualNoCase(full, key)) return &lf;
  }
  return nullptr;
}

DWORD LockedError(const std::wstring &key) {
  const LockedFile *lf = LockedEntry(key);
  return lf ? lf->error : 0;
}

DWORD InUseError(const std::wstring &path) {
  Resolved r = ResolvePath(path.c_str());
  if (r.error || !r.exists || r.isDir) return 0;
  if (DWORD locked = LockedError(r.key)) return locked;
  if (SharingConflict(r.host, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return ERROR_SHARING_VIOLATION;
  return 0;
}

bool ReadWholeFile(const std::wstring &path, std::string &data, DWORD *error) {
  Resolved r = ResolvePath(path.c_str());
  if (r.error) {
    *error = r.error;
    return false;
  }
  if (!r.exists) {
    *error = r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return false;
  }
  if (r.isDir) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  // One read of the size the file has, not a character at a time.
  std::ifstream in(r.host, std::ios::binary | std::ios::ate);
  std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
  if (size < 0 || !in.seekg(0)) {
    *error = ERROR_READ_FAULT;
    return false;
  }
  data.resize(size_t(size));
  if (size > 0 && !in.read(data.data(), size)) {
    *error = ERROR_READ_FAULT;
    return false;
  }
  return true;
}

bool MakeDeclaredLinks(std::string &error) {
  const std::vector<FileSecuritySpec> &table = FileSystem().fileSecurity;
  for (size_t i = 0; i < table.size(); ++i) {
    const FileSecuritySpec &e = table[i];
    if (e.linkTarget.empty()) continue;
    std::string where = Current().FileName() + ": [[file_security]] entry " + std::to_string(i + 1) + ": ";
    DWORD err = 0;
    std::wstring full = FullPath(e.path, &err);
    Resolved r = full.empty() ? Resolved{} : Resolve(full);
    if (full.empty() || r.error || !r.parentExists) {
      error = where + "path \"" + ToUtf8(e.path) + "\" has no folder to hold the link";
      return false;
    }
    std::error_code ec;
    if (IsLink(r.host))
      std::filesystem::remove(r.host, ec);  // made by an earlier run: pointed afresh
    else if (std::filesystem::exists(std::filesystem::symlink_status(r.host, ec))) {
      error = where + "path \"" + ToUtf8(e.path) + "\" exists and is not a link";
      return false;
    }
    std::string why;
    if (!MakeLink(r.host, e.linkTarget, why)) {
      error = where + "link_target \"" + ToUtf8(e.linkTarget) + "\" " + why;
      return false;
    }
  }
  return true;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
  WINSIM_ENTRY("kernel32.dll", CloseHandle, FALSE, PathOf(hObject));
  if (RemoveObject(hObject, Object::Kind::File) || RemoveObject(hObject, Object::Kind::Process) ||
      RemoveObject(hObject, Object::Kind::Thread) || RemoveObject(hObject, Object::Kind::Token))
    return TRUE;
  return Fail(ERROR_INVALID_HANDLE, FALSE);
}

namespace winsim {
namespace {
// A file open anywhere below `folder`: Windows refuses to rename such a folder
// (ERROR_ACCESS_DENIED, the "folder in use" Windows Explorer shows).
bool FileOpenBelow(const std::wstring &folder) {
  bool found = false;
  ForEachObject(Object::Kind::File, [&](Object &o) {
    auto &f = static_cast<FileObject &>(o);
    if (Below(f.key, folder) || Below(f.place, folder)) found = true;
  });
  return found;
}

// The object of an open file or folder: its host descriptor, where it is, how it was opened.
std::shared_ptr<FileObject> NewFileObject(int fd, const Resolved &r, DWORD access, DWORD share, std::wstring place) {
  auto f = std::make_shared<FileObject>();
  f->fd = fd;
  f->host = r.host;
  f->key = r.key;
  f->drive = r.drive;
  f->access = access;
  f->share = share;
  f->place = std::move(place);
  return f;
}

// The file rights a desired access asks for, generic rights mapped as files map them.
ACCESS_MASK FileRightsOf(DWORD access) {
  ACCESS_MASK rights = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (access & GENERIC_READ) rights |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) rights |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) rights |= FILE_GENERIC_EXECUTE;
  if (access & GENERIC_ALL) rights |= FILE_ALL_ACCESS;
  return rights & ~SYNCHRONIZE;
}

// CreateFileW of an existing folder (FILE_FLAG_BACKUP_SEMANTICS), or of a junction itself
// (with FILE_FLAG_OPEN_REPARSE_POINT): a handle for the folder's information and security.
HANDLE OpenFolder(const Resolved &r, bool ownLink, DWORD access, DWORD share, DWORD disposition) {
  if (disposition == CREATE_NEW) return Fail(ERROR_ALREADY_EXISTS, INVALID_HANDLE_VALUE);
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS)
    return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  std::wstring place = ownLink ? PlaceOf(r) : TargetPlaceOf(r);
  if (!Granted(place, true, FileRightsOf(access))) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (access & DELETE && !MayDelete(r)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  int fd = ::open(r.host.c_str(), ownLink ? O_PATH | O_NOFOLLOW | O_CLOEXEC : O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  auto f = NewFileObject(fd, r, access, share, place);
  f->isDir = !ownLink;
  f->isLink = ownLink;
  HANDLE h = AddObject(f);
  SetLastError(disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}
}  // namespace
}  // namespace winsim

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
  WINSIM_ENTRY("kernel32.dll", CreateFileW, INVALID_HANDLE_VALUE, lpFileName);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
    NotModelled("CreateFileW", "overlapped I/O");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, INVALID_HANDLE_VALUE);
  }
  if (lpFileName && std::wcsncmp(lpFileName, L"\\\\.\\", 4) == 0) {
    NotModelled("CreateFileW", "the device namespace (\\\\.\\)");
    return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  }
  Resolved r = ResolvePath(lpFileName);
  if (r.error) return Fail(r.error, INVALID_HANDLE_VALUE);
  if (!r.parentExists) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (r.trailingSlash && !r.isDir)
    return Fail(r.exists ? ERROR_INVALID_NAME : ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  bool ownLink = r.exists && (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) && IsLink(r.host);
  if (r.isDir || ownLink) {
    if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    return OpenFolder(r, ownLink, dwDesiredAccess, dwShareMode, dwCreationDisposition);
  }

  bool writes = dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
  bool truncates = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
  if (r.exists && (writes || truncates) && !Granted(PlaceOf(r), false, FILE_WRITE_DATA))
    return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (r.exists && (dwDesiredAccess & DELETE) && !MayDelete(r)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (!r.exists && dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != TRUNCATE_EXISTING &&
      !MayCreateIn(r, false))
    return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (r.exists) {
    if (dwCreationDisposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    DWORD attrs = AttributesOf(r.key, false);
    if ((attrs & FILE_ATTRIBUTE_READONLY) && (writes || truncates))
      return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    // Replacing a hidden or system file needs those attributes asked for again.
    DWORD kept = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (dwCreationDisposition == CREATE_ALWAYS && (dwFlagsAndAttributes & kept) != kept)
      return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (DWORD locked = LockedError(r.key); locked && (writes || truncates || (dwDesiredAccess & DELETE)))
      return Fail(locked, INVALID_HANDLE_VALUE);
    if (SharingConflict(r.host, dwDesiredAccess, dwShareMode))
      return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
  } else if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING) {
    return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  }
  if (dwCreationDisposition == TRUNCATE_EXISTING && !writes) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);

  if (r.exists && (writes || truncates) && !OwnData(r.host)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  uint64_t oldSize = r.exists ? HostSize(r.host) : 0;
  int flags = O_CLOEXEC | O_RDWR;
  if (!r.exists) flags |= O_CREAT | O_EXCL;
  if (r.exists && truncates) flags |= O_TRUNC;
  if (!r.exists || truncates) BeforeDataChange(r.host, r.exists);
  int fd = ::open(r.host.c_str(), flags, 0644);
  if (fd < 0) return Fail(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);

  auto f = NewFileObject(fd, r, dwDesiredAccess, dwShareMode, PlaceOf(r));
  if (!r.exists || truncates) {
    TouchFd(fd);
    if (truncates && oldSize) ReleaseSpace(r.drive, oldSize);
    DWORD requested = (dwFlagsAndAttributes & kSettableAttributes) & ~FILE_ATTRIBUTE_NORMAL;
    SetStoredAttributes(r.key, requested | FILE_ATTRIBUTE_ARCHIVE, false);
  }
  HANDLE h = AddObject(f);
  SetLastError(r.exists && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return h;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  WINSIM_ENTRY("kernel32.dll", ReadFile, FALSE, PathOf(hFile));
  auto f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (f->isDir || f->isLink) return Fail(ERROR_INVALID_FUNCTION, FALSE);
  if (lpOverlapped) {
    NotModelled("ReadFile", "overlapped I/O");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  if (!lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *lpNumberOfBytesRead = 0;
  if (!(f->access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA))) return Fail(ERROR_ACCESS_DENIED, FALSE);
  DWORD total = 0;
  while (total < nNumberOfBytesToRead) {
    ssize_t n = ::read(f->fd, static_cast<char *>(lpBuffer) + total, nNumberOfBytesToRead - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(ERROR_READ_FAULT, FALSE);
    }
    if (n == 0) break;
    total += DWORD(n);
  }
  *lpNumberOfBytesRead = total;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  WINSIM_ENTRY("kernel32.dll", WriteFile, FALSE, PathOf(hFile));
  auto f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (f->isDir || f->isLink) return Fail(ERROR_INVALID_FUNCTION, FALSE);
  if (lpOverlapped) {
    NotModelled("WriteFile", "overlapped I/O");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  if (!lpNumberOfBytesWritten || (!lpBuffer && nNumberOfBytesToWrite)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *lpNumberOfBytesWritten = 0;
  if (!(f->access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)))
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  struct stat st;
  ::fstat(f->fd, &st);
  off_t pos = ::lseek(f->fd, 0, SEEK_CUR);
  uint64_t end = uint64_t(pos) + nNumberOfBytesToWrite;
  uint64_t growth = end > uint64_t(st.st_size) ? end - uint64_t(st.st_size) : 0;
  if (growth > FileSystem().FreeBytes(f->drive)) return Fail(ERROR_DISK_FULL, FALSE);
  BeforeDataChange(f->host, true);
  DWORD total = 0;
  while (total < nNumberOfBytesToWrite) {
    ssize_t n = ::write(f->fd, static_cast<const char *>(lpBuffer) + total, nNumberOfBytesToWrite - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT, FALSE);
    }
    total += DWORD(n);
  }
  FileSystem().AdjustFreeBytes(f->drive, -int64_t(growth));
  TouchFd(f->fd);
  *lpNumberOfBytesWritten = total;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  WINSIM_ENTRY("kernel32.dll", SetFilePointer, INVALID_SET_FILE_POINTER, PathOf(hFile));
  auto f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  int64_t distance = lpDistanceToMoveHigh
                         ? int64_t((uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32) | uint32_t(lDistanceToMove))
                         : int64_t(lDistanceToMove);
  int64_t base;
  switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = ::lseek(f->fd, 0, SEEK_CUR); break;
    case FILE_END: {
      struct stat st;
      ::fstat(f->fd, &st);
      base = st.st_size;
      break;
    }
    default: return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  }
  int64_t target = base + distance;
  if (target < 0) return Fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  if (!lpDistanceToMoveHigh && target > 0xFFFFFFFELL) return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  ::lseek(f->fd, off_t(target), SEEK_SET);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = LONG(uint64_t(target) >> 32);
  SetLastError(ERROR_SUCCESS);
  return DWORD(uint64_t(target) & 0xFFFFFFFFu);
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  WINSIM_ENTRY("kernel32.dll", GetFileSize, INVALID_FILE_SIZE, PathOf(hFile));
  auto f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  struct stat st;
  ::fstat(f->fd, &st);
  if (lpFileSizeHigh) *lpFileSizeHigh = DWORD(uint64_t(st.st_size) >> 32);
  SetLastError(ERROR_SUCCESS);
  return DWORD(uint64_t(st.st_size) & 0xFFFFFFFFu);
}

BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                        LPFILETIME lpLastWriteTime) {
  WINSIM_ENTRY("kernel32.dll", GetFileTime, FALSE, PathOf(hFile));
  auto f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  struct stat st;
  ::fstat(f->fd, &st);
  if (lpCreationTime) *lpCreationTime = ToFiletime(FiletimeOf(st.st_mtim));
  if (lpLastAccessTime) *lpLastAccessTime = ToFiletime(FiletimeOf(st.st_atim));
  if (lpLastWriteTime) *lpLastWriteTime = ToFiletime(FiletimeOf(st.st_mtim));
  return TRUE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  WINSIM_ENTRY("kernel32.dll", GetFileInformationByHandle, FALSE, PathOf(hFile));
  auto f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpFileInformation) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  struct stat st;
  if (::fstat(f->fd, &st) != 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
  BY_HANDLE_FILE_INFORMATION info = {};
  info.dwFileAttributes =
      f->isLink ? FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT : AttributesOf(f->key, f->isDir);
  info.ftCreationTime = info.ftLastWriteTime = ToFiletime(FiletimeOf(st.st_mtim));
  info.ftLastAccessTime = ToFiletime(FiletimeOf(st.st_atim));
  info.dwVolumeSerialNumber = 0x1A2B0000u | DWORD(f->drive);
  uint64_t size = f->isDir || f->isLink ? 0 : uint64_t(st.st_size);
  info.nFileSizeHigh = DWORD(size >> 32);
  info.nFileSizeLow = DWORD(size & 0xFFFFFFFFu);
  // The host's link count is the file's number of names; a folder has one.
  info.nNumberOfLinks = f->isDir || f->isLink ? 1 : DWORD(st.st_nlink);
  info.nFileIndexHigh = DWORD(uint64_t(st.st_ino) >> 32);
  info.nFileIndexLow = DWORD(uint64_t(st.st_ino) & 0xFFFFFFFFu);
  *lpFileInformation = info;
  return TRUE;
}

DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl) {
  WINSIM_ENTRY_STATUS("advapi32.dll", SetSecurityInfo, PathOf(handle));
  if (ObjectType != SE_FILE_OBJECT) {
    NotModelled("SetSecurityInfo", "objects other than files and folders");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  auto f = FileOf(handle);
  if (!f) return ERROR_INVALID_HANDLE;
  if (SecurityInfo & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION) || psidGroup || pSacl) {
    NotModelled("SetSecurityInfo", "a group or a SACL");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  bool owner = SecurityInfo & OWNER_SECURITY_INFORMATION, dacl = SecurityInfo & DACL_SECURITY_INFORMATION;
  if (!owner && !dacl) return ERROR_INVALID_PARAMETER;
  if ((owner && !(f->access & (WRITE_OWNER | GENERIC_ALL))) || (dacl && !(f->access & (WRITE_DAC | GENERIC_ALL))))
    return ERROR_ACCESS_DENIED;
  if (owner && (!psidOwner || !SidIsValid(psidOwner))) return ERROR_INVALID_OWNER;
  if (dacl && pDacl && !AclIsValid(pDacl)) return ERROR_INVALID_ACL;
  auto entry = SecurityEntry(f->place);
  if (entry == FileSystem().fileSecurity.end()) {
    FileSecuritySpec fresh;
    fresh.path = f->place;
    FileSystem().fileSecurity.push_back(std::move(fresh));
    entry = FileSystem().fileSecurity.end() - 1;
  }
  if (owner) {
    const BYTE *sid = static_cast<const BYTE *>(psidOwner);
    entry->owner.assign(sid, sid + SidLength(psidOwner));
  }
  if (dacl) {
    entry->hasDacl = true;
    if (!pDacl) {  // a null access list: everyone may do everything
      entry->dacl.assign(8, 0);
      entry->dacl[0] = ACL_REVISION;
      AddAceEx(entry->dacl, true, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, MakeSid(1, {0}));
    } else {
      const BYTE *bytes = reinterpret_cast<const BYTE *>(pDacl);
      entry->dacl = JoinAcl(std::vector<BYTE>(bytes, bytes + pDacl->AclSize), {});
    }
    if (SecurityInfo & PROTECTED_DACL_SECURITY_INFORMATION) entry->protectedDacl = true;
    if (SecurityInfo & UNPROTECTED_DACL_SECURITY_INFORMATION) entry->protectedDacl = false;
  }
  return ERROR_SUCCESS;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  WINSIM_ENTRY("kernel32.dll", FlushFileBuffers, FALSE, PathOf(hFile));
  auto f = FileOf(hFile);
  if (!f) return Fail(ERROR_INVALID_HANDLE, FALSE);
  FileSystem().ForgetUnflushed(f->host);
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  WINSIM_ENTRY("kernel32.dll", GetFileAttributesW, INVALID_FILE_ATTRIBUTES, lpFileName);
  Resolved r = ResolvePath(lpFileName);
  if (r.error) return Fail(r.error, INVALID_FILE_ATTRIBUTES);
  if (!r.exists || (r.trailingSlash && !r.isDir))
    return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
  // A junction reports itself, not its target.
  return AttributesOf(r.key, r.isDir) | (IsLink(r.host) ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
}

BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  WINSIM_ENTRY("kernel32.dll", SetFileAttributesW, FALSE, lpFileName);
  Resolved r = ResolvePath(lpFileName);
  if (r.error) return Fail(r.error, FALSE);
  if (!r.exists) return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  DWORD attrs = dwFileAttributes & kSettableAttributes;
  if (attrs & ~FILE_ATTRIBUTE_NORMAL) attrs &= ~FILE_ATTRIBUTE_NORMAL;
  if (r.isDir) {
    attrs = (attrs & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_DIRECTORY;
  } else if (attrs == 0) {
    attrs = FILE_ATTRIBUTE_NORMAL;
  }
  SetStoredAttributes(r.key, attrs, r.isDir);
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  WINSIM_ENTRY("kernel32.dll", CreateDirectoryW, FALSE, lpPathName);
  if (lpPathName && std::wcslen(lpPathName) > MAX_PATH - 12) return Fail(ERROR_FILENAME_EXCED_RANGE, FALSE);
  Resolved r = ResolvePath(lpPathName);
  if (r.error) return Fail(r.error, FALSE);
  if (r.exists || IsLink(r.host)) return Fail(ERROR_ALREADY_EXISTS, FALSE);
  if (!r.parentExists) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor &&
      !IsValidSecurityDescriptor(lpSecurityAttributes->lpSecurityDescriptor))
    return Fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
  if (!MayCreateIn(r, true)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  std::error_code ec;
  if (!std::filesystem::create_directory(r.host, ec)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  Touch(r.host);
  std::wstring place = PlaceOf(r);
  ForgetSecurity(place);  // nothing of an earlier folder of that name stays
  TakeDescriptor(place, lpSecurityAttributes);
  return TRUE;
}

BOOL WINAPI GetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION RequestedInformation,
                             PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength, LPDWORD lpnLengthNeeded) {
  WINSIM_ENTRY("advapi32.dll", GetFileSecurityW, FALSE, lpFileName);
  if (!lpnLengthNeeded || (!pSecurityDescriptor && nLength)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  Resolved r = ResolvePath(lpFileName);
  if (r.error) return Fail(r.error, FALSE);
  if (!r.exists) return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  if (RequestedInformation & SACL_SECURITY_INFORMATION) return Fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  // The call opens the file, so a junction at the end is followed.
  std::wstring place = TargetPlaceOf(r);
  if (!Granted(place, r.isDir, READ_CONTROL)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  DescriptorParts parts;
  parts.owner = OwnerOf(place);
  parts.group = MakeSid(5, {18});  // SYSTEM, as NTFS gives the elevated process's files
  parts.daclPresent = true;
  parts.dacl = EffectiveDacl(place, r.isDir);
  auto e = SecurityEntry(place);
  parts.daclProtected = e != FileSystem().fileSecurity.end() && e->hasDacl && e->protectedDacl;
  std::vector<BYTE> sd = SelfRelativeDescriptor(parts, RequestedInformation);
  *lpnLengthNeeded = DWORD(sd.size());
  if (nLength < sd.size()) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(pSecurityDescriptor, sd.data(), sd.size());
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  WINSIM_ENTRY("kernel32.dll", RemoveDirectoryW, FALSE, lpPathName);
  Resolved r = ResolvePath(lpPathName);
  if (r.error) return Fail(r.error, FALSE);
  if (!r.exists) return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  if (!r.isDir) return Fail(ERROR_DIRECTORY, FALSE);
  if (r.key.size() <= 3) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!MayDelete(r)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  std::error_code ec;
  if (IsLink(r.host)) {
    // A junction goes; its target and what is in it stay.
    if (DWORD locked = LockedError(r.key)) return Fail(locked, FALSE);
    std::filesystem::remove(r.host, ec);
    if (ec) return Fail(ERROR_ACCESS_DENIED, FALSE);
    ForgetSecurity(PlaceOf(r));
    ForgetAttributes(r.key);
    return TRUE;
  }
  if (!std::filesystem::is_empty(r.host, ec)) return Fail(ERROR_DIR_NOT_EMPTY, FALSE);
  if (AttributesOf(r.key, true) & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED, FALSE);
  std::filesystem::remove(r.host, ec);
  if (ec) return Fail(ERROR_ACCESS_DENIED, FALSE);
  ForgetSecurity(PlaceOf(r));
  ForgetAttributes(r.key);
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  WINSIM_ENTRY("kernel32.dll", DeleteFileW, FALSE, lpFileName);
  Resolved r = ResolvePath(lpFileName);
  if (r.error) return Fail(r.error, FALSE);
  if (!r.exists) return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  if (r.isDir) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (AttributesOf(r.key, false) & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!MayDelete(r)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (DWORD locked = LockedError(r.key)) return Fail(locked, FALSE);
  if (SharingConflict(r.host, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return Fail(ERROR_SHARING_VIOLATION, FALSE);
  uint64_t size = HostSize(r.host);
  std::error_code ec;
  if (!std::filesystem::remove(r.host, ec)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  FileSystem().ForgetUnflushed(r.host);
  ReleaseSpace(r.drive, size);
  ForgetSecurity(PlaceOf(r));
  ForgetAttributes(r.key);
  return TRUE;
}

}  // extern "C"

namespace {
// The path as the session manager reads it at the next start: "\??\C:\dir\file".
std::wstring SessionManagerPath(LPCWSTR path, DWORD *error) {
  std::wstring full = FullPath(path, error);
  if (full.empty()) return full;
  if (full.size() > 2 && full[0] == L'\\' && full[1] == L'\\') return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

// MOVEFILE_DELAY_UNTIL_REBOOT: appends the pair to PendingFileRenameOperations through the
// registry calls, as the session manager expects it: the source, then the target (prefixed
// '!' when it may replace a file) or an empty string for a deletion.
BOOL ScheduleMove(LPCWSTR existing, LPCWSTR target, DWORD flags) {
  DWORD error = 0;
  std::wstring entry = SessionManagerPath(existing, &error);
  if (entry.empty()) return Fail(error, FALSE);
  entry += L'\0';
  if (target) {
    std::wstring to = SessionManagerPath(target, &error);
    if (to.empty()) return Fail(error, FALSE);
    if (flags & MOVEFILE_REPLACE_EXISTING) entry += L'!';
    entry += to;
  }
  entry += L'\0';

  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                                   nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return Fail(DWORD(status), FALSE);
  const wchar_t *value = L"PendingFileRenameOperations";
  std::wstring list;
  DWORD type = 0, bytes = 0;
  status = RegQueryValueExW(key, value, nullptr, &type, nullptr, &bytes);
  if (status == ERROR_SUCCESS && type == REG_MULTI_SZ && bytes >= sizeof(WCHAR)) {
    list.resize(bytes / sizeof(WCHAR));
    status = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE *>(list.data()), &bytes);
    list.resize(status == ERROR_SUCCESS ? bytes / sizeof(WCHAR) : 0);
    // The list's closing NUL goes (a deletion's empty target before it stays); the new pair
    // and a new closing NUL follow.
    if (list.size() >= 2 && list.back() == L'\0' && list[list.size() - 2] == L'\0') list.pop_back();
    if (!list.empty() && list.back() != L'\0') list += L'\0';
  }
  list += entry;
  list += L'\0';
  status = RegSetValueExW(key, value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(list.data()),
                          DWORD(list.size() * sizeof(WCHAR)));
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return Fail(DWORD(status), FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// The move itself, for MoveFileW (which is MOVEFILE_COPY_ALLOWED) and MoveFileExW. A locked
// file whose entry allows renaming (a running program's image) may be moved aside on its
// drive and stays locked under its new name; nothing may replace a locked file.
BOOL MoveNow(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD flags) {
  Resolved from = ResolvePath(lpExistingFileName);
  if (from.error) return Fail(from.error, FALSE);
  if (!from.exists) return Fail(from.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  Resolved to = ResolvePath(lpNewFileName);
  if (to.error) return Fail(to.error, FALSE);
  bool sameName = EqualNoCase(from.key, to.key);
  bool replaces = to.exists && !sameName;
  if (replaces) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS, FALSE);
    if (to.isDir || from.isDir) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (AttributesOf(to.key, false) & FILE_ATTRIBUTE_READONLY) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!MayDelete(to)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (DWORD locked = LockedError(to.key)) return Fail(locked, FALSE);
    if (SharingConflict(to.host, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
      return Fail(ERROR_ACCESS_DENIED, FALSE);
  }
  if (sameName) {
    // A rename that changes only the case: the new name is taken as written.
    DWORD ignored = 0;
    std::wstring name = LastName(FullPath(lpNewFileName, &ignored));
    std::wstring parent = ParentOf(from.key);
    to.host = from.host.parent_path() / ToUtf8(name);
    to.key = parent + (parent.back() == L'\\' ? L"" : L"\\") + name;
  }
  if (!to.parentExists) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  bool link = IsLink(from.host);
  if (!MayDelete(from) || !MayCreateIn(to, from.isDir || link)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  LockedFile *lock = LockedEntry(from.key);
  if (lock && (!lock->rename || from.drive != to.drive)) return Fail(lock->error, FALSE);
  if (!from.isDir && SharingConflict(from.host, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return Fail(ERROR_SHARING_VIOLATION, FALSE);
  if (from.isDir && to.key.size() > from.key.size() && EqualNoCase(to.key.substr(0, from.key.size()), from.key) &&
      to.key[from.key.size()] == L'\\')
    return Fail(ERROR_SHARING_VIOLATION, FALSE);  // a directory into itself
  if (from.isDir && !link && FileOpenBelow(from.key)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  std::error_code ec;
  std::wstring fromPlace = PlaceOf(from), toPlace = PlaceOf(to);
  if (link) {
    // The junction itself moves, pointed afresh from its new folder.
    auto entry = SecurityEntry(fromPlace);
    std::wstring target = entry != FileSystem().fileSecurity.end() ? entry->linkTarget : L"";
    if (target.empty()) target = KeyOfHost(from.drive, from.host);
    if (from.drive != to.drive) return Fail(ERROR_NOT_SAME_DEVICE, FALSE);
    std::string why;
    std::filesystem::remove(from.host, ec);
    if (ec || !MakeLink(to.host, target, why)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    MoveSecurity(fromPlace, toPlace);
    MoveAttributes(from.key, to.key);
    return TRUE;
  }
  uint64_t replaced = replaces ? HostSize(to.host) : 0;
  if (from.drive != to.drive) {
    if (from.isDir || !(flags & MOVEFILE_COPY_ALLOWED)) return Fail(ERROR_NOT_SAME_DEVICE, FALSE);
    uint64_t size = HostSize(from.host);
    if (size > replaced && size - replaced > FileSystem().FreeBytes(to.drive)) return Fail(ERROR_DISK_FULL, FALSE);
    if (replaces && !OwnData(to.host)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    BeforeDataChange(to.host, replaces);
    std::filesystem::copy_file(from.host, to.host, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return Fail(ERROR_ACCESS_DENIED, FALSE);
    std::filesystem::remove(from.host, ec);
    FileSystem().ForgetUnflushed(from.host);
    FileSystem().AdjustFreeBytes(to.drive, int64_t(replaced) - int64_t(size));
    ReleaseSpace(from.drive, size);
  } else {
    std::filesystem::rename(from.host, to.host, ec);
    if (ec) return Fail(ERROR_ACCESS_DENIED, FALSE);
    FileSystem().MoveUnflushed(from.host, to.host);
    ReleaseSpace(to.drive, replaced);
  }
  if (flags & MOVEFILE_WRITE_THROUGH) FileSystem().ForgetUnflushed(to.host);
  if (replaces) {
    ForgetSecurity(toPlace);
    ForgetAttributes(to.key);
  }
  MoveSecurity(fromPlace, toPlace);
  MoveAttributes(from.key, to.key);
  if (lock) lock->path = to.key;
  return TRUE;
}
}  // namespace

extern "C" {

BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  WINSIM_ENTRY("kernel32.dll", MoveFileW, FALSE, lpExistingFileName, lpNewFileName);
  return MoveNow(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

// MOVEFILE_WRITE_THROUGH returns with the moved file on the disk: its data, copied or not,
// survives a power cut.
// Without a target and without MOVEFILE_DELAY_UNTIL_REBOOT the file is deleted, as Wine
// does (the documentation speaks of a missing target only for the delayed form).
BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  WINSIM_ENTRY("kernel32.dll", MoveFileExW, FALSE, lpExistingFileName, lpNewFileName);
  if (!lpExistingFileName) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwFlags & (MOVEFILE_CREATE_HARDLINK | MOVEFILE_FAIL_IF_NOT_TRACKABLE)) {
    NotModelled("MoveFileExW", "MOVEFILE_CREATE_HARDLINK and MOVEFILE_FAIL_IF_NOT_TRACKABLE");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (dwFlags & MOVEFILE_COPY_ALLOWED) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    return ScheduleMove(lpExistingFileName, lpNewFileName, dwFlags);
  }
  if (!lpNewFileName) return DeleteFileW(lpExistingFileName);
  return MoveNow(lpExistingFileName, lpNewFileName, dwFlags);
}

BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
  WINSIM_ENTRY("kernel32.dll", CopyFileW, FALSE, lpExistingFileName, lpNewFileName);
  Resolved from = ResolvePath(lpExistingFileName);
  if (from.error) return Fail(from.error, FALSE);
  if (!from.exists) return Fail(from.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  if (from.isDir) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (SharingConflict(from.host, GENERIC_READ, FILE_SHARE_READ)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
  Resolved to = ResolvePath(lpNewFileName);
  if (to.error) return Fail(to.error, FALSE);
  if (!to.parentExists) return Fail(ERROR_PATH_NOT_FOUND, FALSE);
  if (to.isDir) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (to.exists ? !Granted(PlaceOf(to), false, FILE_WRITE_DATA) : !MayCreateIn(to, false))
    return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (to.exists) {
    if (bFailIfExists) return Fail(ERROR_FILE_EXISTS, FALSE);
    if (EqualNoCase(from.key, to.key)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
    if (AttributesOf(to.key, false) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))
      return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (DWORD locked = LockedError(to.key)) return Fail(locked, FALSE);
    if (SharingConflict(to.host, GENERIC_WRITE, 0)) return Fail(ERROR_SHARING_VIOLATION, FALSE);
  }
  uint64_t size = HostSize(from.host);
  uint64_t old = to.exists ? HostSize(to.host) : 0;
  if (size > old && size - old > FileSystem().FreeBytes(to.drive)) return Fail(ERROR_DISK_FULL, FALSE);
  std::error_code ec;
  if (to.exists && !OwnData(to.host)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  BeforeDataChange(to.host, to.exists);
  std::filesystem::copy_file(from.host, to.host, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return Fail(ERROR_ACCESS_DENIED, FALSE);
  // The copy keeps the source's last-write time and attributes, with the archive bit set.
  auto mtime = std::filesystem::last_write_time(from.host, ec);
  std::filesystem::last_write_time(to.host, mtime, ec);
  FileSystem().AdjustFreeBytes(to.drive, int64_t(old) - int64_t(size));
  DWORD attrs = AttributesOf(from.key, false);
  if (attrs == FILE_ATTRIBUTE_NORMAL) attrs = 0;
  SetStoredAttributes(to.key, attrs | FILE_ATTRIBUTE_ARCHIVE, false);
  return TRUE;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  WINSIM_ENTRY("kernel32.dll", FindFirstFileW, INVALID_HANDLE_VALUE, lpFileName);
  if (!lpFileName || !lpFindFileData) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  DWORD err = 0;
  std::wstring full = FullPath(lpFileName, &err);
  if (full.empty()) return Fail(err, INVALID_HANDLE_VALUE);
  if (full.back() == L'\\') return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  std::wstring dir = ParentOf(full);
  std::wstring pattern = LastName(full);
  {
    // The mask as written: making the path full dropped its trailing dots, which still
    // shape the wildcards ("*." is not "*").
    std::wstring_view given = lpFileName;
    size_t sep = given.find_last_of(L"\\/");
    if (sep != std::wstring_view::npos)
      given.remove_prefix(sep + 1);
    else if (given.size() >= 2 && given[1] == L':')
      given.remove_prefix(2);
    std::wstring_view kept = given;
    while (!kept.empty() && (kept.back() == L'.' || kept.back() == L' ')) kept.remove_suffix(1);
    if (!kept.empty() && kept == pattern) pattern = given;
  }
  Resolved d = ResolvePath(dir.c_str());
  if (d.error) return Fail(d.error, INVALID_HANDLE_VALUE);
  if (!d.exists) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  if (!d.isDir) return Fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);  // a search inside a file

  auto search = std::make_shared<FindObject_>();
  std::vector<std::pair<std::wstring, std::filesystem::path>> names;
  bool root = d.key.size() <= 3;
  if (!root) {
    names.push_back({L".", d.host});
    names.push_back({L"..", d.host.parent_path()});
  }
  std::vector<std::pair<std::wstring, std::filesystem::path>> children;
  std::error_code ec;
  for (auto &entry : std::filesystem::directory_iterator(d.host, ec))
    children.push_back({FromUtf8(entry.path().filename().string()), entry.path()});
  std::sort(children.begin(), children.end(), [](auto &a, auto &b) { return Upcased(a.first) < Upcased(b.first); });
  names.insert(names.end(), children.begin(), children.end());
  std::wstring base = root ? d.key : d.key + L"\\";
  for (auto &[name, host] : names) {
    if (!MatchesFilePattern(pattern, name)) continue;
    std::wstring key = (name == L".") ? d.key : (name == L".." ? ParentOf(d.key) : base + name);
    search->entries.push_back(FindDataOf(host, name, key));
  }
  if (search->entries.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  *lpFindFileData = search->entries[0];
  search->next = 1;
  SetLastError(ERROR_SUCCESS);
  return AddObject(search);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  WINSIM_ENTRY("kernel32.dll", FindNextFileW, FALSE);
  auto search = std::static_pointer_cast<FindObject_>(FindObject(hFindFile, Object::Kind::Find));
  if (!search) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpFindFileData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (search->next >= search->entries.size()) return Fail(ERROR_NO_MORE_FILES, FALSE);
  *lpFindFileData = search->entries[search->next++];
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  WINSIM_ENTRY("kernel32.dll", FindClose, FALSE);
  if (!RemoveObject(hFindFile, Object::Kind::Find)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

UINT WINAPI GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique, LPWSTR lpTempFileName) {
  WINSIM_ENTRY("kernel32.dll", GetTempFileNameW, 0u, lpPathName);
  if (!lpPathName || !lpTempFileName) return Fail(ERROR_INVALID_PARAMETER, 0u);
  std::wstring path = lpPathName;
  if (path.size() > MAX_PATH - 14) return Fail(ERROR_BUFFER_OVERFLOW, 0u);
  std::wstring prefix = lpPrefixString ? std::wstring(lpPrefixString).substr(0, 3) : L"";
  std::wstring base = path;
  if (base.empty() || base.back() != L'\\') base += L'\\';
  base += prefix;
  auto form = [&](UINT n) {
    wchar_t hex[16];
    std::swprintf(hex, 16, L"%X.tmp", n);
    return base + hex;
  };
  // The folder must exist for both forms, also when the name is only formed.
  Resolved dir = ResolvePath(path.c_str());
  if (dir.error) return Fail(dir.error, 0u);
  if (!dir.exists || !dir.isDir) return Fail(ERROR_DIRECTORY, 0u);
  if (uUnique) {
    UINT n = uUnique & 0xFFFF;
    std::wstring name = form(n);
    name.copy(lpTempFileName, name.size());
    lpTempFileName[name.size()] = L'\0';
    return n;
  }
  UINT start = Clock().TickCount() & 0xFFFF;
  if (!start) start = 1;
  UINT n = start;
  do {
    std::wstring name = form(n);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      name.copy(lpTempFileName, name.size());
      lpTempFileName[name.size()] = L'\0';
      SetLastError(ERROR_SUCCESS);
      return n;
    }
    DWORD e = GetLastError();
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return 0;
    n = (n % 0xFFFF) + 1;
  } while (n != start);
  return Fail(ERROR_FILE_EXISTS, 0u);
}

DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR *lpFilePart) {
  WINSIM_ENTRY("kernel32.dll", GetFullPathNameW, 0u, lpFileName);
  DWORD err = 0;
  if (!lpFileName) return Fail(ERROR_INVALID_PARAMETER, 0u);
  std::wstring full = FullPath(lpFileName, &err);
  if (full.empty()) return Fail(err ? err : ERROR_INVALID_NAME, 0u);
  DWORD n = CopyOut(full, lpBuffer, nBufferLength);
  if (n == full.size() && lpFilePart) {
    size_t slash = full.rfind(L'\\');
    *lpFilePart = (slash == std::wstring::npos || slash + 1 == full.size()) ? nullptr : lpBuffer + slash + 1;
  }
  return n;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes, PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  WINSIM_ENTRY("kernel32.dll", GetDiskFreeSpaceExW, FALSE, lpDirectoryName);
  std::wstring dir = lpDirectoryName ? lpDirectoryName : Process().currentDirectory;
  Resolved r = ResolvePath(dir.c_str());
  if (r.error) return Fail(r.error, FALSE);
  if (!r.exists) return Fail(r.parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND, FALSE);
  if (!r.isDir) return Fail(ERROR_DIRECTORY, FALSE);
  uint64_t free = FileSystem().FreeBytes(r.drive);
  // The volume's size is what its files use plus what is free.
  uint64_t used = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(FileSystem().DriveFolder(r.drive), ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec)) used += it->file_size(ec);
  }
  if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = free;
  if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = free + used;
  if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = free;
  return TRUE;
}

// A drive of the machine is a drive_x folder of its directory; each is a fixed disk.
DWORD WINAPI GetLogicalDrives(void) {
  WINSIM_ENTRY("kernel32.dll", GetLogicalDrives, DWORD(0));
  DWORD drives = 0;
  for (wchar_t letter = L'A'; letter <= L'Z'; ++letter)
    if (!FileSystem().DriveFolder(letter).empty()) drives |= DWORD(1) << (letter - L'A');
  return drives;
}

// The root of an existing drive is DRIVE_FIXED; any other path (a folder below a root, a
// drive the machine lacks) DRIVE_NO_ROOT_DIR, as Windows answers a path that is no root.
// NULL asks about the current directory's drive.
UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName) {
  std::wstring root = lpRootPathName ? lpRootPathName : Process().currentDirectory.substr(0, 3);
  if (root.size() == 2) root += L'\\';
  bool isRoot = root.size() == 3 && root[1] == L':' && (root[2] == L'\\' || root[2] == L'/');
  return isRoot && !FileSystem().DriveFolder(root[0]).empty() ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD lpBytesReturned,
                            LPOVERLAPPED) {
  WINSIM_ENTRY("kernel32.dll", DeviceIoControl, FALSE, PathOf(hDevice));
  if (!FileOf(hDevice)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (lpBytesReturned) *lpBytesReturned = 0;
  // A file of the file system answers no device control code.
  return Fail(ERROR_INVALID_FUNCTION, FALSE);
}

BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T) {
  WINSIM_ENTRY("kernel32.dll", VirtualLock, FALSE);
  return lpAddress ? TRUE : Fail(ERROR_INVALID_ADDRESS, FALSE);
}

BOOL WINAPI VirtualUnlock(LPVOID lpAddress, SIZE_T) {
  WINSIM_ENTRY("kernel32.dll", VirtualUnlock, FALSE);
  return lpAddress ? TRUE : Fail(ERROR_INVALID_ADDRESS, FALSE);
}

}  // extern "C"
