// The library's six exports: the whole contract with the host setup engine.
#pragma once

#include <windows.h>

#ifdef _WIN32
#define KVN_EXPORT extern "C"
#else
#define KVN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Writes the interface version (100); always 1 (0 for a null pointer, nothing written).
KVN_EXPORT int GetInterfaceVersion(int *version);
// Properties 1 to 9; 1 answered, 0 not answered or unknown (nothing written).
KVN_EXPORT int GetProperty(UINT id, void *output, UINT size, ULONG_PTR extra);
KVN_EXPORT int IsOSSupported();
KVN_EXPORT int IsInstalled();
KVN_EXPORT int GetVersionStatus();
// 0 failed, 1 installed, 2 installed and a restart is required.
KVN_EXPORT int Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode);

using GetInterfaceVersionFn = int (*)(int *);
using GetPropertyFn = int (*)(UINT, void *, UINT, ULONG_PTR);
using IsOSSupportedFn = int (*)();
using IsInstalledFn = int (*)();
using GetVersionStatusFn = int (*)();
using InstallFn = int (*)(int, ULONG_PTR, WCHAR *, int, const WCHAR *);
