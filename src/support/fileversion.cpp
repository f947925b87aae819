#include "support/fileversion.h"

#include <cwchar>
#include <new>
#include <vector>

#include "support/format.h"

namespace {
HMODULE g_libraryModule = nullptr;

CStr DottedVersion(DWORD ms, DWORD ls) {
  return CStr(FormatText(L"%d.%d.%d.%d", int(HIWORD(ms)), int(LOWORD(ms)), int(HIWORD(ls)), int(LOWORD(ls))).c_str());
}
}  // namespace

void SetLibraryModule(HMODULE module) { g_libraryModule = module; }
HMODULE GetLibraryModule() { return g_libraryModule; }

CFileVersion::CFileVersion(const WCHAR *path) : m_strPath(path) { Read(); }

CFileVersion::CFileVersion(DWORD productVersionMS, DWORD productVersionLS, DWORD fileVersionMS, DWORD fileVersionLS,
                           DWORD timeHigh, DWORD timeLow, const WCHAR *companyName, DWORD extra, DWORD size)
    : m_strCompanyName(companyName),
      m_dwFileVersionMS(fileVersionMS),
      m_dwFileVersionLS(fileVersionLS),
      m_dwProductVersionMS(productVersionMS),
      m_dwProductVersionLS(productVersionLS),
      m_dwTimeHigh(timeHigh),
      m_dwTimeLow(timeLow),
      m_dwExtra(extra),
      m_dwSize(size) {}

void CFileVersion::Read() {
  if (m_strPath.IsEmpty()) return;
  if (m_strPath.GetAt(1) != L':') {
    WCHAR dir[MAX_PATH];
    GetLibraryDirectory(dir, MAX_PATH);
    WCHAR full[MAX_PATH];
    if (std::swprintf(full, MAX_PATH, L"%ls\\%ls", dir, m_strPath.GetString()) < 0) return;
    m_strPath = full;
  }

  unique_hfile file(
      CreateFileW(m_strPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) {
    m_dwSize = SetFilePointer(file.get(), 0, nullptr, FILE_END);
    if (m_dwSize == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) m_dwSize = 0;
    FILETIME written, local;
    if (GetFileTime(file.get(), nullptr, nullptr, &written) && FileTimeToLocalFileTime(&written, &local)) {
      m_dwTimeHigh = local.dwHighDateTime;
      m_dwTimeLow = local.dwLowDateTime;
    }
  }
  file.reset();

  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(m_strPath, &ignored);
  if (size == 0) return;
  std::vector<BYTE> block;
  try {
    block.resize(size);
  } catch (const std::bad_alloc &) {
    return;
  }
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT len = 0;
  if (!GetFileVersionInfoW(m_strPath, 0, size, block.data()) ||
      !VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID *>(&fixed), &len) || !fixed ||
      len < sizeof(VS_FIXEDFILEINFO))
    return;
  m_dwFileVersionMS = fixed->dwFileVersionMS;
  m_dwFileVersionLS = fixed->dwFileVersionLS;
  m_dwProductVersionMS = fixed->dwProductVersionMS;
  m_dwProductVersionLS = fixed->dwProductVersionLS;

  struct {
    const WCHAR *key;
    CStr *target;
  } const strings[] = {{L"\\StringFileInfo\\040904B0\\CompanyName", &m_strCompanyName},
                       {L"\\StringFileInfo\\040904B0\\InternalName", &m_strInternalName}};
  for (auto &s : strings) {
    WCHAR *text = nullptr;
    UINT chars = 0;
    if (VerQueryValueW(block.data(), s.key, reinterpret_cast<LPVOID *>(&text), &chars) == 1 && text)
      *s.target = CStr(text, int(wcsnlen(text, chars)));
  }
  m_strProductVersion = DottedVersion(m_dwProductVersionMS, m_dwProductVersionLS);
  m_strFileVersion = DottedVersion(m_dwFileVersionMS, m_dwFileVersionLS);

  FILETIME local{m_dwTimeLow, m_dwTimeHigh};
  SYSTEMTIME st;
  if (FileTimeToSystemTime(&local, &st)) {
    WCHAR text[256];
    if (GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &st, nullptr, text, 255)) m_strDate = text;
    if (GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_NOSECONDS, &st, nullptr, text, 255)) m_strTime = text;
  }
}

bool CFileVersion::HasVersion() const {
  return m_dwProductVersionMS || m_dwProductVersionLS || m_dwFileVersionMS || m_dwFileVersionLS || m_dwTimeHigh ||
         m_dwTimeLow;
}

CStr CFileVersion::GetFileVersionText() const { return HasVersion() ? m_strFileVersion : CStr(); }
CStr CFileVersion::GetProductVersionText() const { return HasVersion() ? m_strProductVersion : CStr(); }

bool CFileVersion::IsSameVersion(const CFileVersion &other) const {
  return m_dwFileVersionMS == other.m_dwFileVersionMS && m_dwFileVersionLS == other.m_dwFileVersionLS;
}

bool CFileVersion::IsNewerThan(const CFileVersion &other) const {
  if (m_dwFileVersionMS != other.m_dwFileVersionMS) return m_dwFileVersionMS > other.m_dwFileVersionMS;
  return m_dwFileVersionLS > other.m_dwFileVersionLS;
}

int GetLibraryDirectory(WCHAR *buffer, DWORD size) {
  if (!buffer || size == 0) return 1;
  buffer[0] = L'\0';
  WCHAR path[MAX_PATH] = L"";
  GetModuleFileNameW(g_libraryModule, path, MAX_PATH);
  WCHAR *slash = std::wcsrchr(path, L'\\');
  if (slash) *slash = L'\0';
  CopyText(buffer, size, path);
  return 1;
}

bool FileExists(const WCHAR *path) {
  if (!path) return false;
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

ULONGLONG GetFreeDiskSpace(const WCHAR *directory) {
  WCHAR root[MAX_PATH + 2];
  if (directory) {
    if (std::swprintf(root, MAX_PATH + 2, L"%ls\\", directory) < 0) return 0;
  } else {
    WCHAR system[MAX_PATH] = L"";
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n < 3 || n >= MAX_PATH) return 0;
    CopyText(root, 4, system);
  }
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(root, &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}

bool RunProcessAndWait(const WCHAR *commandLine, const WCHAR *workingDirectory, int *exitCode, DWORD timeoutMs) {
  if (!commandLine || !workingDirectory || !exitCode) return false;
  WCHAR previous[MAX_PATH] = L"";
  DWORD n = GetCurrentDirectoryW(MAX_PATH, previous);
  bool remembered = n > 0 && n < MAX_PATH;
  SetCurrentDirectoryW(workingDirectory);

  // CreateProcessW may write into its command line.
  std::vector<WCHAR> command(commandLine, commandLine + std::wcslen(commandLine) + 1);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  bool started =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS,
                     nullptr, *workingDirectory ? workingDirectory : nullptr, &startup, &info) != FALSE;
  if (started) {
    unique_handle process(info.hProcess);
    unique_handle thread(info.hThread);
    DWORD code = 0;
    if (timeoutMs == 0 || WaitForSingleObject(process.get(), timeoutMs) == WAIT_TIMEOUT ||
        !GetExitCodeProcess(process.get(), &code))
      *exitCode = -1;
    else
      *exitCode = int(code);
  }
  if (remembered) SetCurrentDirectoryW(previous);
  return started;
}

CDeviceHandle::CDeviceHandle(const WCHAR *path)
    : m_handle(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr)) {}

BOOL CDeviceHandle::Close() {
  if (!m_handle) return TRUE;
  return CloseHandle(m_handle.release());
}

BOOL CDeviceHandle::IoControl(DWORD code, LPVOID outBuffer, DWORD outSize, LPVOID inBuffer, DWORD inSize,
                              LPDWORD bytesReturned) {
  DWORD returned = 0;
  if (outBuffer) VirtualLock(outBuffer, outSize);
  if (inBuffer && inBuffer != outBuffer) VirtualLock(inBuffer, inSize);
  BOOL result = DeviceIoControl(m_handle.get(), code, inBuffer, inSize, outBuffer, outSize,
                                bytesReturned ? bytesReturned : &returned, nullptr);
  if (outBuffer) VirtualUnlock(outBuffer, outSize);
  if (inBuffer && inBuffer != outBuffer) VirtualUnlock(inBuffer, inSize);
  return result;
}
