// CWin2000PnPDriver: a Plug and Play driver package and the hardware IDs to update with it.
// The package's file list is read from its INF (the INF itself, its catalogue files and the
// files its CopyFiles sections name, each with its compressed-file variant) and staged into
// a folder before the devices are updated.
#pragma once

#include <windows.h>

#include "support/cstr.h"

class CWin2000PnPDriver {
 public:
  // `infPath`: the package INF's file name, relative to this library's directory.
  CWin2000PnPDriver(const WCHAR *infPath, BOOL force);
  virtual ~CWin2000PnPDriver() = default;

  // Adds a file name and its compressed-file variant ("z40e64.sys", "z40e64.sy_") to the
  // package file list; an absent or empty name, or one listed already, adds nothing.
  // Answers 1.
  int AddPackageFile(const WCHAR *fileName);
  // Lists the package's files from its INF in this library's directory and copies each,
  // from the current directory, into `targetFolder` (created when missing). Answers 1 when
  // every copy succeeded, else 0.
  int CopyPackageFiles(const WCHAR *targetFolder);

  const CStrList &GetPackageFiles() const { return m_packageFiles; }

 private:
  CStrList m_hardwareIds;
  CStrList m_packageFiles;
  CStr m_strInfPath;
  DWORD m_dwRebootFlag = 0;
  bool m_bForce = false;
};
