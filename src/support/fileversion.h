// What Windows can tell about one file (version resource, size, last-write time, company
// and internal name), and small system utilities. None of them logs; failures show in
// their results.
#pragma once

#include <windows.h>

#include "support/cstr.h"
#include "support/handles.h"

class CFileVersion {
 public:
  // Reads the file at once. A path whose second character is not ':' is taken relative to
  // the library's directory. A missing file leaves everything empty and 0.
  explicit CFileVersion(const WCHAR *path);
  // A record with these values and empty texts; nothing is read.
  CFileVersion(DWORD productVersionMS, DWORD productVersionLS, DWORD fileVersionMS, DWORD fileVersionLS, DWORD timeHigh,
               DWORD timeLow, const WCHAR *companyName, DWORD extra, DWORD size);

  // True when any of the product, file or time halves is not 0.
  bool HasVersion() const;
  // "%d.%d.%d.%d" texts when HasVersion, else empty.
  CStr GetFileVersionText() const;
  CStr GetProductVersionText() const;
  DWORD GetFileVersionMS() const { return m_dwFileVersionMS; }
  DWORD GetFileVersionLS() const { return m_dwFileVersionLS; }
  DWORD GetSize() const { return m_dwSize; }
  const CStr &GetPath() const { return m_strPath; }
  const CStr &GetCompanyName() const { return m_strCompanyName; }
  const CStr &GetInternalName() const { return m_strInternalName; }
  const CStr &GetDateText() const { return m_strDate; }
  const CStr &GetTimeText() const { return m_strTime; }

  // Equal file versions.
  bool IsSameVersion(const CFileVersion &other) const;
  // This file version is greater (most significant halves first, unsigned).
  bool IsNewerThan(const CFileVersion &other) const;

 private:
  void Read();

  CStr m_strPath;
  CStr m_strProductVersion;
  CStr m_strFileVersion;
  CStr m_strCompanyName;
  CStr m_strInternalName;
  CStr m_strDate;
  CStr m_strTime;
  DWORD m_dwFileVersionMS = 0, m_dwFileVersionLS = 0;
  DWORD m_dwProductVersionMS = 0, m_dwProductVersionLS = 0;
  DWORD m_dwTimeHigh = 0, m_dwTimeLow = 0;  // last write, local time
  DWORD m_dwExtra = 0;
  DWORD m_dwSize = 0;  // low 32 bits
};

// The library's own directory (its module file name cut before the last backslash), at
// most `size` characters with the terminator. Returns 1.
int GetLibraryDirectory(WCHAR *buffer, DWORD size);

// True when the path exists and is not a directory.
bool FileExists(const WCHAR *path);

// Bytes available to the caller on the volume of `directory` (the system drive when null);
// 0 when the query fails.
ULONGLONG GetFreeDiskSpace(const WCHAR *directory);

// Starts `commandLine` in `workingDirectory` and waits up to `timeoutMs` for it. True when
// the process started; *exitCode is its exit code, or -1 when not waited for or still
// running at the time limit (it then keeps running).
[[nodiscard]] bool RunProcessAndWait(const WCHAR *commandLine, const WCHAR *workingDirectory, int *exitCode,
                                     DWORD timeoutMs);

// One device or file opened for reading and writing.
class CDeviceHandle {
 public:
  explicit CDeviceHandle(const WCHAR *path);
  bool IsValid() const { return m_handle.is_valid(); }
  HANDLE GetHandle() const { return m_handle.get(); }
  // CloseHandle's result when a handle is held; TRUE when there is none.
  BOOL Close();
  // DeviceIoControl with both buffers locked in memory around the call.
  BOOL IoControl(DWORD code, LPVOID outBuffer, DWORD outSize, LPVOID inBuffer, DWORD inSize,
                 LPDWORD bytesReturned = nullptr);

 private:
  unique_hfile m_handle;
};

// The module handle of the library, recorded at process attach (null in a host program).
void SetLibraryModule(HMODULE module);
HMODULE GetLibraryModule();
