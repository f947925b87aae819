// Operating-system support: the running Windows (platform, version, service pack, edition)
// matched against a package's supported-OS list, and whether the system is 64-bit. Both
// write their trail to the verbose log, tagged with the source file the caller names.
#pragma once

#include <windows.h>

#include <vector>

#include "support/cmplog.h"

// One supported operating system of a package.
struct OSDescriptor {
  WCHAR szOSName[64];
  int nMajor;
  int nMinor;
  int nServicePack;  // -1: any
  WORD nEdition;     // 0xFFFF: any
};

// True when `supported` is empty or one of its entries admits the running system: same
// platform name (without regard to case), major version (-1: any), minor version (-1: any),
// at least the service pack (-1: any), and an edition mask holding the system's edition.
// False as well when kernel32.dll cannot be loaded.
[[nodiscard]] bool MatchSupportedOS(const std::vector<OSDescriptor> &supported, CCmpLog &log, const WCHAR *sourceFile);

// True on a 64-bit system (AMD64, IA-64, or a 32-bit process on 64-bit Windows); false
// otherwise and when kernel32.dll cannot be loaded.
[[nodiscard]] bool DetectOS64Bit(CCmpLog &log, const WCHAR *sourceFile);
