// The process-attach glue and the six exports. Each export forwards to one operation of
// the component object and never lets an exception reach the host.
#include "exports.h"

#include "component.h"
#include "fileversion.h"

namespace {
// The one component object: constructed when the library is loaded, destroyed when it is
// unloaded.
CComponent g_component;

template <class F>
int Guarded(F &&call) {
  try {
    return call();
  } catch (...) {
    return 0;
  }
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    SetLibraryModule(instance);
    // Loading never fails on account of the package.
    Guarded([] { return g_component.Initialize(); });
  }
  return TRUE;
}

KVN_EXPORT int GetInterfaceVersion(int *version) {
  if (!version) return 0;
  *version = 100;
  return 1;
}

KVN_EXPORT int GetProperty(UINT id, void *output, UINT size, ULONG_PTR extra) {
  if (!output) return 0;
  return Guarded([&] { return g_component.GetProperty(id, output, size, extra); });
}

KVN_EXPORT int IsOSSupported() {
  return Guarded([] { return g_component.IsOSSupported(); });
}

KVN_EXPORT int IsInstalled() {
  return Guarded([] { return g_component.IsInstalled(); });
}

KVN_EXPORT int GetVersionStatus() {
  return Guarded([] { return g_component.GetVersionStatus(); });
}

KVN_EXPORT int Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode) {
  if (!message) return 0;
  return Guarded([&] { return g_component.Install(reserved1, reserved2, message, reserved4, languageCode); });
}
