// The installing half of CInf: the whole-INF and install-section installations, the three
// file directives with their destination folders, and the helpers that make folders and
// temporary copies. File operations are carried out here with the Win32 file calls; SetupAPI
// only applies the other directives of a section.
#include "driverinstall/inf.h"

#include <shlobj.h>

#include <vector>

#include "system/servicecontrol.h"

namespace {
constexpr DWORD kListNameChars = 512;     // a file-list name in a CopyFiles/DelFiles/RenFiles line
constexpr DWORD kFileNameChars = 256;     // a file name in a copy or rename list
constexpr DWORD kDeleteNameChars = 512;   // a file name in a delete list
constexpr DWORD kDirKeyChars = 512;       // the key of a "DestinationDirs" line
constexpr DWORD kServiceNameChars = 254;  // the INF's service name for the root device test
constexpr DWORD kSectionListChars = 0x4000;
constexpr DWORD kSectionFlags = SPINST_LOGCONFIG | SPINST_INIFILES | SPINST_REGISTRY | SPINST_INI2REG |
                                SPINST_PROFILEITEMS;  // no SPINST_FILES: the files are done here
constexpr INT kCopyNoOverwrite = 0x10;                // COPYFLG_NO_OVERWRITE
constexpr INT kCopyNoOverwriteAlso = 0x10000;
constexpr INT kDeleteAtRestart = 1;
constexpr INT kDeleteAtRestartAlso = 0x10000;

// Field `index` of `line` when it exists and fits `chars` characters with its terminator.
bool ReadField(INFCONTEXT *line, DWORD index, DWORD chars, CStr &out) {
  std::vector<WCHAR> buffer(chars, L'\0');
  if (!SetupGetStringFieldW(line, index, buffer.data(), chars, nullptr)) return false;
  out = buffer.data();
  return true;
}

bool ReadInt(INFCONTEXT *line, DWORD index, INT *value) { return SetupGetIntField(line, index, value) != FALSE; }

// Paths live in buffers of MAX_PATH characters, the terminator included.
bool FitsPath(const CStr &path) { return path.GetLength() < MAX_PATH; }

bool IsInUse(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A DIRID's folder: an environment variable's value and a suffix, or (`variable` null) the
// shell's special folder `csidl`, where the environment has nothing that names it.
struct DirIdFolder {
  DWORD id;
  const WCHAR *variable;
  const WCHAR *suffix;
  int csidl = 0;
};

const DirIdFolder kDirIdFolders[] = {
    {10, L"SystemRoot", L""},
    {11, L"SystemRoot", L"\\system32"},
    {12, L"SystemRoot", L"\\system32\\drivers"},
    {17, L"SystemRoot", L"\\inf"},
    {18, L"SystemRoot", L"\\help"},
    {20, L"SystemRoot", L"\\fonts"},
    {24, L"SystemDrive", L""},
    {50, L"SystemRoot", L"\\system"},
    {0x4016, nullptr, nullptr, CSIDL_COMMON_STARTMENU},
    {0x4017, L"ALLUSERSPROFILE", L"\\Start Menu\\Programs"},
    {0x4018, L"ALLUSERSPROFILE", L"\\Start Menu\\Programs\\Startup"},
    {0x4019, L"ALLUSERSPROFILE", L"\\Desktop"},
    {0x401F, L"ALLUSERSPROFILE", L"\\Favorites"},
    {0x4023, L"ALLUSERSPROFILE", L"\\Application Data"},
    {0x4026, L"ProgramFiles", L""},
    {0x402B, nullptr, nullptr, CSIDL_PROGRAM_FILES_COMMON},
};

// The path of special folder `csidl`, created when it is missing, as files are about to be
// copied into it.
// Clears the read-only and hidden attributes of an existing file, keeping its others; false
// when it has neither or they cannot be cleared.
bool ClearCopyBlockingAttributes(const WCHAR *path) {
  constexpr DWORD kBlocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) || !(attributes & kBlocking))
    return false;
  DWORD kept = attributes & ~kBlocking;
  return SetFileAttributesW(path, kept ? kept : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

BOOL ShellFolderPath(int csidl, CStr &folder) {
  unique_pidl list;
  WCHAR path[MAX_PATH] = L"";
  if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl | CSIDL_FLAG_CREATE, list.put())) ||
      !SHGetPathFromIDListW(list.get(), path))
    return FALSE;
  folder = path;
  return TRUE;
}
}  // namespace

CStr JoinFolder(const CStr &folder, const WCHAR *name) {
  CStr joined(folder);
  if (!name) name = L"";
  if (!joined.IsEmpty() && joined.GetAt(joined.GetLength() - 1) != L'\\' && name[0] != L'\\') joined += L'\\';
  joined += name;
  return joined;
}

CStr FolderOfPath(const CStr &path) {
  int slash = path.ReverseFind(L'\\');
  if (slash >= 0) return path.Left(slash + 1);
  if (path.GetLength() >= 2 && path.GetAt(1) == L':') return path.Left(2);
  return CStr();
}

// ---- Whole installations -------------------------------------------------------------------

BOOL CInf::InstallInf(BOOL *reboot) {
  if (!IsOpen()) return FALSE;
  if (reboot) *reboot = FALSE;
  s_fileErrors.RemoveAll();

  BOOL result = TRUE;
  for (const CStr &section : m_copyFilesSections) {
    BOOL ok = InstallSection(section, HKEY_LOCAL_MACHINE);
    result = result && ok;
  }
  BOOL ok = CreateMissingRootDevice(reboot);
  result = result && ok;
  for (const CStr &section : m_serviceSections) {
    ok = InstallServices(section);
    result = result && ok;
  }
  for (const CStr &section : m_softwareSettingsSections) {
    ok = InstallSoftwareSettings(section);
    result = result && ok;
  }
  return FinishInstall(result, reboot);
}

BOOL CInf::InstallInfSection(const WCHAR *base, BOOL *reboot, BOOL suppressDeleteErrors) {
  if (!IsOpen()) return FALSE;
  s_bSuppressDeleteErrors = suppressDeleteErrors;
  if (reboot) *reboot = FALSE;
  s_fileErrors.RemoveAll();

  CStr services = CStr(base) + L".Services";
  CStr softwareSettings = CStr(base) + L".SoftwareSettings";
  BOOL result = InstallSection(base, HKEY_LOCAL_MACHINE);
  BOOL ok = CreateMissingRootDevice(reboot);
  result = result && ok;

  for (const CStr &name : ReadSectionNames(m_strInfPath, kSectionListChars)) {
    INFCONTEXT line;
    bool hasServices = SetupFindFirstLineW(m_hInf.get(), name, L"AddService", &line) ||
                       SetupFindFirstLineW(m_hInf.get(), name, L"DelService", &line);
    if (hasServices && name.CompareNoCase(services) == 0) {
      ok = InstallServices(services);
      result = result && ok;
      break;
    }
  }
  for (const CStr &name : m_softwareSettingsSections) {
    if (name.FindNoCase(softwareSettings) >= 0) {
      ok = InstallSoftwareSettings(softwareSettings);
      result = result && ok;
      break;
    }
  }
  return FinishInstall(result, reboot);
}

BOOL CInf::CreateMissingRootDevice(BOOL *reboot) {
  WCHAR service[kServiceNameChars] = L"";
  if (!GetServiceName(nullptr, service, kServiceNameChars)) service[0] = L'\0';
  CServiceControl control(service);
  bool exists = m_bVirtualDevice ? control.HasRootInstance() : control.HasLegacyInstance();
  if (exists || !GetClass() || !GetClassGuid()) return TRUE;
  return CreateLegacyDevice(reboot);
}

BOOL CInf::FinishInstall(BOOL result, BOOL *reboot) {
  CreateStartMenuItems();
  if (s_bFileError) result = FALSE;
  if (result && m_bRebootNeeded && reboot) *reboot = TRUE;
  return result;
}

BOOL CInf::InstallSection(const WCHAR *section, HKEY rootKey) {
  if (!section || !rootKey) return FALSE;
  s_nNeededMedia = 0;
  if (!ProcessCopyFiles(section) || !ProcessDelFiles(section) || !ProcessRenFiles(section)) return FALSE;
  return SetupInstallFromInfSectionW(nullptr, m_hInf.get(), section, kSectionFlags, rootKey, m_strInfFolder, 0, nullptr,
                                     this, nullptr, nullptr);
}

// ---- File directives -----------------------------------------------------------------------

BOOL CInf::ProcessCopyFiles(const WCHAR *section) {
  return ProcessFileDirective(section, L"CopyFiles", &CInf::CopyFileList);
}

BOOL CInf::ProcessDelFiles(const WCHAR *section) {
  return ProcessFileDirective(section, L"DelFiles", &CInf::DeleteFileList);
}

BOOL CInf::ProcessRenFiles(const WCHAR *section) {
  return ProcessFileDirective(section, L"RenFiles", &CInf::RenameFileList);
}

BOOL CInf::ProcessFileDirective(const WCHAR *section, const WCHAR *key, BOOL (CInf::*walk)(const WCHAR *)) {
  if (!LoadDestinationDirs()) return FALSE;
  BOOL result = TRUE;
  INFCONTEXT line;
  BOOL found = SetupFindFirstLineW(m_hInf.get(), section, key, &line);
  while (found) {
    DWORD count = SetupGetFieldCount(&line);
    for (DWORD field = 1; field <= count; ++field) {
      CStr list;
      // Every field exists up to the count, so a read fails only when the name does not fit.
      BOOL ok = ReadField(&line, field, kListNameChars, list) ? (this->*walk)(list) : FALSE;
      result = result && ok;
    }
    found = SetupFindNextMatchLineW(&line, key, &line);
  }
  return result;
}

BOOL CInf::CopyFileList(const WCHAR *list) {
  INFCONTEXT line;
  if (!list || !SetupFindFirstLineW(m_hInf.get(), list, nullptr, &line)) return TRUE;
  do {
    if (!CopyFileLine(list, &line)) return FALSE;
  } while (SetupFindNextLine(&line, &line));
  return TRUE;
}

BOOL CInf::CopyFileLine(const WCHAR *list, INFCONTEXT *line) {
  CStr name;
  if (!ReadField(line, 1, kFileNameChars, name)) return FALSE;
  CStr folder;
  if (!GetDestinationDir(list, folder)) return FALSE;
  CStr destination = JoinFolder(folder, name);
  if (!FitsPath(destination) || !CreateParentDirectory(destination)) return FALSE;

  CStr sourceName;
  if (SetupGetFieldCount(line) >= 2 && !ReadField(line, 2, kFileNameChars, sourceName)) return FALSE;
  CStr source = m_strInfFolder + (sourceName.IsEmpty() ? name : sourceName).GetString();
  if (!FitsPath(source)) return FALSE;
  INT flags = 0;
  BOOL failIfExists = ReadInt(line, 4, &flags) && (flags == kCopyNoOverwrite || flags == kCopyNoOverwriteAlso);

  if (CopyFileW(source, destination, failIfExists)) return TRUE;
  DWORD error = GetLastError();
  if (error == ERROR_FILE_EXISTS && failIfExists) return TRUE;
  // CopyFileW refuses to overwrite a read-only or hidden file although nobody uses it: those
  // two attributes are cleared and the copy tried once more. Only a copy that still fails is
  // taken for a file in use.
  if (error == ERROR_ACCESS_DENIED && !failIfExists && ClearCopyBlockingAttributes(destination)) {
    if (CopyFileW(source, destination, FALSE)) return TRUE;
    error = GetLastError();
  }
  if (IsInUse(error) || error == ERROR_USER_MAPPED_FILE) {
    // The file in place is in use: a copy of the new one replaces it at the next restart. The
    // copy is made beside it, as a move at the restart cannot cross volumes.
    CStr temporary;
    if (!MakeTempCopy(source, FolderOfPath(destination), temporary)) return FALSE;
    if (MoveAtRestart(temporary, destination)) return TRUE;
    DWORD moveError = GetLastError();
    DeleteFileW(temporary);  // nothing will move it into place
    SetLastError(moveError);
    return FALSE;
  }
  return FALSE;
}

BOOL CInf::DeleteFileList(const WCHAR *list) {
  CStr folder;
  if (!GetDestinationDir(list, folder)) return FALSE;
  INFCONTEXT line;
  if (!SetupFindFirstLineW(m_hInf.get(), list, nullptr, &line)) return TRUE;
  do {
    if (!DeleteFileLine(folder, &line)) return FALSE;
  } while (SetupFindNextLine(&line, &line));
  return TRUE;
}

BOOL CInf::DeleteFileLine(const CStr &folder, INFCONTEXT *line) {
  CStr name;
  if (!ReadField(line, 1, kDeleteNameChars, name)) return FALSE;
  CStr path = JoinFolder(folder, name);
  if (!FitsPath(path)) return FALSE;
  INT flags = 0;
  bool atRestart = ReadInt(line, 4, &flags) && (flags == kDeleteAtRestart || flags == kDeleteAtRestartAlso);
  if (atRestart ? MoveAtRestart(path, nullptr) : DeleteFileW(path)) return TRUE;
  DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return TRUE;  // nothing to delete
  if (IsInUse(error)) return MoveAtRestart(path, nullptr);
  return FALSE;
}

BOOL CInf::RenameFileList(const WCHAR *list) {
  CStr folder;
  if (!GetDestinationDir(list, folder)) return FALSE;
  INFCONTEXT line;
  if (!SetupFindFirstLineW(m_hInf.get(), list, nullptr, &line)) return TRUE;
  do {
    if (!RenameFileLine(folder, &line)) return FALSE;
  } while (SetupFindNextLine(&line, &line));
  return TRUE;
}

BOOL CInf::RenameFileLine(const CStr &folder, INFCONTEXT *line) {
  CStr newName, oldName;
  if (SetupGetFieldCount(line) != 2 || !ReadField(line, 1, kFileNameChars, newName) ||
      !ReadField(line, 2, kFileNameChars, oldName))
    return FALSE;
  CStr newPath = JoinFolder(folder, newName);
  CStr oldPath = JoinFolder(folder, oldName);
  if (!FitsPath(newPath) || !FitsPath(oldPath)) return FALSE;
  if (MoveFileW(oldPath, newPath)) return TRUE;
  if (IsInUse(GetLastError())) return MoveAtRestart(oldPath, newPath);
  return FALSE;
}

BOOL CInf::MoveAtRestart(const WCHAR *from, const WCHAR *to) {
  DWORD flags = MOVEFILE_DELAY_UNTIL_REBOOT | (to ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExW(from, to, flags)) return FALSE;
  m_bRebootNeeded = TRUE;
  return TRUE;
}

// ---- Destination folders -------------------------------------------------------------------

BOOL CInf::LoadDestinationDirs() {
  if (!m_destinationDirs.IsEmpty()) return TRUE;
  INFCONTEXT line;
  if (!SetupFindFirstLineW(m_hInf.get(), L"DestinationDirs", nullptr, &line)) return FALSE;
  do {
    CStr key;
    if (!ReadField(&line, 0, kDirKeyChars, key)) continue;  // no list name could match it
    CStr folder;
    bool usable = true;
    DWORD count = SetupGetFieldCount(&line);
    for (DWORD field = 1; field <= count; ++field) {
      CStr piece;
      INT dirId = 0;
      if (ReadInt(&line, field, &dirId)) {
        if (!GetDirIdPath(DWORD(dirId), piece)) usable = false;
      } else if (!ReadField(&line, field, MAX_PATH, piece)) {
        usable = false;
      }
      folder = JoinFolder(folder, piece);
    }
    if (!usable || !FitsPath(folder)) {
      // Kept, so that the lists it serves fail rather than go to a folder made of what is left.
      m_destinationDirs.Add(key);
      m_destinationDirs.Add(CStr());
    } else if (!folder.IsEmpty()) {
      m_destinationDirs.Add(key);
      m_destinationDirs.Add(folder);
    }
  } while (SetupFindNextLine(&line, &line));
  return m_destinationDirs.IsEmpty() ? FALSE : TRUE;
}

BOOL CInf::GetDestinationDir(const WCHAR *list, CStr &folder) {
  folder.Empty();
  int pairs = m_destinationDirs.GetCount() / 2;
  int chosen = -1;
  if (pairs == 1) chosen = 0;
  for (int i = 0; chosen < 0 && i < pairs; ++i)
    if (m_destinationDirs[2 * i] == list) chosen = i;
  for (int i = 0; chosen < 0 && i < pairs; ++i)
    if (m_destinationDirs[2 * i] == L"DefaultDestDir") chosen = i;
  if (chosen < 0) return FALSE;
  folder = m_destinationDirs[2 * chosen + 1];
  return folder.IsEmpty() ? FALSE : TRUE;
}

BOOL CInf::GetDirIdPath(DWORD dirId, CStr &folder) {
  folder.Empty();
  for (const DirIdFolder &entry : kDirIdFolders) {
    if (entry.id != dirId) continue;
    if (!entry.variable) return ShellFolderPath(entry.csidl, folder);
    WCHAR value[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(entry.variable, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;  // not set, empty, or too long
    CStr path = CStr(value) + entry.suffix;
    if (!FitsPath(path)) return FALSE;
    folder = path;
    return TRUE;
  }
  return TRUE;
}

// ---- Folders and temporary copies ----------------------------------------------------------

BOOL CInf::CreateParentDirectory(const WCHAR *filePath) {
  if (!filePath) return FALSE;
  return CreateDirectoryTree(FolderOfPath(filePath));
}

BOOL CInf::CreateDirectoryTree(const WCHAR *folder) {
  if (!folder) return FALSE;
  if (CreateDirectoryW(folder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return TRUE;
  if (GetLastError() != ERROR_PATH_NOT_FOUND) return FALSE;
  CStr parent(folder);
  if (parent.GetAt(parent.GetLength() - 1) == L'\\') parent = parent.Left(parent.GetLength() - 1);
  int slash = parent.ReverseFind(L'\\');
  if (slash < 0) return TRUE;
  if (!CreateDirectoryTree(parent.Left(slash + 1))) return FALSE;
  // One more attempt now that the parent exists. A folder that still finds no parent (a file
  // stands where a folder should be, the drive is missing) fails here rather than climbing
  // again for ever.
  return CreateDirectoryW(folder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

BOOL CInf::MakeTempCopy(const WCHAR *existing, const WCHAR *folder, CStr &newPath) {
  newPath.Empty();
  if (!existing || !folder) return FALSE;
  CStr path(existing);
  CStr fileName = path.Mid(FolderOfPath(path).GetLength());
  int dot = fileName.ReverseFind(L'.');
  CStr baseName = dot >= 0 ? fileName.Left(dot) : fileName;
  CStr extension = dot >= 0 ? fileName.Mid(dot) : CStr();
  CStr tempFolder = *folder ? CStr(folder) : CStr(L".");

  // GetTempFileNameW reserves a unique name by creating it; the copy goes to that name
  // followed by the file's extension, and the reservation is removed again.
  WCHAR reserved[MAX_PATH] = L"";
  if (!GetTempFileNameW(tempFolder, baseName, 0, reserved)) return FALSE;
  CStr target = CStr(reserved) + extension.GetString();
  BOOL copied = FitsPath(target) && CopyFileW(path, target, FALSE);
  DWORD error = GetLastError();
  DeleteFileW(reserved);
  SetLastError(error);
  if (copied) newPath = target;
  return copied;
}
