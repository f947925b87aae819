// The installation description file "install.xml" (document element "kvn_install"): the
// INF to install, its installation type, section and service, and a file to open after.
#pragma once

#include <windows.h>

#include "support/cstr.h"

// Installation types of the installation description.
enum InstallType { INSTALL_NONE = -1, INSTALL_LEGACY = 1, INSTALL_PNP = 2, INSTALL_VIRTUAL = 3 };

// What an installation description states. Reading a file changes only what the file
// states, so the caller starts from its current values.
struct InstallDescription {
  CStr strInfFile;
  int nInstallType = INSTALL_NONE;
  CStr strInfSection;
  CStr strServiceName;
  WCHAR szShellExecuteFile[MAX_PATH] = L"";  // environment expanded
  WCHAR szShellExecuteDir[MAX_PATH] = L"";
};

// Reads `path` and updates `description` from it; the INF element is the one of the running
// Windows major version ("inf_file_nt4", "inf_file_nt5"), else "inf_file". One of
// XmlLoadResult (4 for a missing or empty path); on a failed load `description` is untouched.
[[nodiscard]] int ReadInstallDescriptionFile(const WCHAR *path, InstallDescription &description);
