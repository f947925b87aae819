// The library's six exports: the whole contract with the host setup engine. Their types, and
// the property numbers and records they use, are in framework/hostinterface.h. The exported
// names are listed in kvncomp.def (Windows) and kvncomp.map (the shared object).
#pragma once

#include <windows.h>

#include "framework/hostinterface.h"

// Writes the interface version (kInterfaceVersion); always 1 (0 for a null pointer, nothing
// written).
extern "C" int GetInterfaceVersion(int *version);
// Properties 1 to 9; 1 answered, 0 not answered or unknown (nothing written).
extern "C" int GetProperty(UINT id, void *output, UINT size, ULONG_PTR extra);
extern "C" int IsOSSupported();
extern "C" int IsInstalled();
extern "C" int GetVersionStatus();
// 0 failed, 1 installed, 2 installed and a restart is required.
extern "C" int Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode);
