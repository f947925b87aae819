// The contract between the component and the setup engine that hosts it: the six exports'
// types, the property numbers of GetProperty and the records they answer. A host includes
// this header alone (with the log class of support/ when it hands the component its log).
#pragma once

#include <windows.h>

#include <cstddef>

// The interface version GetInterfaceVersion writes.
constexpr int kInterfaceVersion = 100;

// Property identifiers of GetProperty.
enum PropertyId {
  PROP_PACKAGE_NAME = 1,
  PROP_PACKAGE_DESCRIPTION = 2,
  PROP_INSTALLED_VERSION = 3,
  PROP_PACKAGE_VERSION = 4,
  PROP_PREINSTALL_STATUS = 5,
  PROP_SILENT_CAPABILITY = 6,
  PROP_SILENT_CAPABILITY_ALT = 7,
  PROP_CONSTANT = 8,
  PROP_ATTACH_HOST_LOG = 9,
};

// The record of property 5: a status code and a localised message.
struct PreInstallStatus {
  int nStatus;
  WCHAR szMessage[1024];
};

// The pre-install status codes of the record.
enum PreInstallCode {
  PRE_INSTALLED_SAME = 1,          // hardware present; installed, same version as the package's
  PRE_INSTALLED_OLDER = 2,         // hardware present; installed, older (the package upgrades it)
  PRE_INSTALLED_NEWER = 3,         // hardware present; installed, newer
  PRE_INSTALLED_NO_HARDWARE = 4,   // no supported hardware; installed
  PRE_READY_TO_INSTALL = 5,        // hardware present; not installed
  PRE_NOTHING_TO_DO = 6,           // no hardware and not installed, or the dependency check failed
  PRE_OS_OR_REQUIREMENT = 7,       // cannot install: OS, disk space, requirement, marked for removal
  PRE_INSTALLED_OTHER_STATUS = 8,  // hardware present; installed; version status outside 0 to 2
};

// GetVersionStatus's answers: the installed version against the package's.
enum VersionStatus { VERSION_OLDER = 0, VERSION_SAME = 1, VERSION_NEWER = 2 };

// The host's message buffer of Install has no stated size: at most this many characters
// (terminator included) are written to it.
constexpr size_t kInstallMessageCapacity = 1024;

// The exports as a host finds them with GetProcAddress.
using GetInterfaceVersionFn = int (*)(int *);
using GetPropertyFn = int (*)(UINT, void *, UINT, ULONG_PTR);
using IsOSSupportedFn = int (*)();
using IsInstalledFn = int (*)();
using GetVersionStatusFn = int (*)();
using InstallFn = int (*)(int, ULONG_PTR, WCHAR *, int, const WCHAR *);
