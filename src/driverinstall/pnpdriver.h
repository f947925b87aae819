// CWin2000PnPDriver: a Plug and Play driver package and the hardware IDs to update with it.
// The package's file list is read from its INF (the INF itself, its catalogue files and the
// files its CopyFiles sections name, each with its compressed-file variant) and staged into
// a folder before the devices are updated.
#pragma once

#include <windows.h>

#include "support/cstr.h"
#include "support/handles.h"

// newdev.dll, loaded from the system directory (never imported, so that the library loads on
// systems without it), with its UpdateDriverForPlugAndPlayDevicesW. The library is freed when
// the object goes.
class CNewDevLibrary {
 public:
  using UpdateDriverFn = BOOL(WINAPI *)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);

  // Loads the library with critical-error boxes off and looks the function up.
  CNewDevLibrary();
  bool IsLoaded() const { return m_module.is_valid(); }
  // Null when the library did not load or has no such export.
  UpdateDriverFn Update() const { return m_update; }

 private:
  unique_hmodule m_module;
  UpdateDriverFn m_update = nullptr;
};

// The pnpdrvs folder at the root of the system drive ("C:\VADORUREV\pnpdrvs" when the system
// directory is on C:), where driver files are staged before they are installed; empty when the
// system directory cannot be read.
CStr PnpStagingFolder();

class CWin2000PnPDriver {
 public:
  // `infPath`: the package INF's file name, relative to this library's directory.
  CWin2000PnPDriver(const WCHAR *infPath, BOOL force);
  virtual ~CWin2000PnPDriver() = default;

  // Results of Run.
  enum RunResult {
    kRunDone = 0,          // every update succeeded, or nothing was to be done
    kRunNoHardwareId = 1,  // no hardware ID to update
    kRunNoNewDev = 2,      // newdev.dll could not be loaded
    kRunNoUpdateCall = 3,  // newdev.dll lacks UpdateDriverForPlugAndPlayDevicesW
    kRunUpdateFailed = 4,  // at least one update failed (or the staging folder was unsafe)
  };

  // Adds a hardware ID to update unless the list holds the same text (compared
  // case-sensitively) already; a null ID adds nothing.
  void AddHardwareId(const WCHAR *hardwareId);
  // Stages the package in the pnpdrvs folder at the root of the system drive and updates
  // the driver of the present devices of each hardware ID, in order, from the staged INF.
  // An empty list answers kRunDone when `noOverwrite` and `skipped` are both set (a device
  // kept its own driver on purpose), else kRunNoHardwareId. A failed update does not stop
  // the others. When the staging is not complete (the folder could not be made safe, a file
  // staged earlier could not be deleted, a package file is missing or could not be copied)
  // nothing is updated and the answer is kRunUpdateFailed.
  int Run(BOOL noOverwrite, BOOL skipped);
  // The reboot requests of every update call so far, ORed; nonzero asks for a restart.
  DWORD GetRebootFlag() const { return m_dwRebootFlag; }
  const CStrList &GetHardwareIds() const { return m_hardwareIds; }

  // Adds a file name and its compressed-file variant ("z40e64.sys", "z40e64.sy_") to the
  // package file list; an absent or empty name, or one listed already, adds nothing.
  // Answers 1.
  int AddPackageFile(const WCHAR *fileName);
  // Lists the package's files from its INF in this library's directory and copies each,
  // from the current directory, into `targetFolder` (created when missing), after deleting
  // what the folder held under those names. Answers 1 when every copy succeeded, else 0 (a
  // compressed variant the package does not have counts as a failed copy), and 0 without
  // copying when a file staged earlier cannot be deleted.
  int CopyPackageFiles(const WCHAR *targetFolder);

  const CStrList &GetPackageFiles() const { return m_packageFiles; }

 private:
  // CopyPackageFiles; `*complete` tells whether the staging can be installed from: the folder
  // was made safe, the earlier files were deleted and every file came in one of its forms.
  int StagePackageFiles(const WCHAR *targetFolder, bool *complete);

  CStrList m_hardwareIds;
  CStrList m_packageFiles;
  CStr m_strInfPath;
  DWORD m_dwRebootFlag = 0;
  bool m_bForce = false;
};
