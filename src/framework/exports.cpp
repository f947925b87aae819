// The process-attach glue and the six exports. Each export forwards to one operation of
// the component object and never lets an exception reach the host.
#include "framework/exports.h"

#include "framework/componentfactory.h"
#include "support/fileversion.h"

namespace {
// The one component object: constructed when the library is loaded, destroyed when it is
// unloaded.
const std::unique_ptr<CBaseComponent> g_component = CreateComponent();

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
    Guarded([] { return g_component->Initialize(); });
  }
  return TRUE;
}

extern "C" int GetInterfaceVersion(int *version) {
  if (!version) return 0;
  *version = kInterfaceVersion;
  return 1;
}

extern "C" int GetProperty(UINT id, void *output, UINT size, ULONG_PTR extra) {
  if (!output) return 0;
  return Guarded([&] { return g_component->GetProperty(id, output, size, extra); });
}

extern "C" int IsOSSupported() {
  return Guarded([] { return g_component->IsOSSupported(); });
}

extern "C" int IsInstalled() {
  return Guarded([] { return g_component->IsInstalled(); });
}

extern "C" int GetVersionStatus() {
  return Guarded([] { return g_component->GetVersionStatus(); });
}

extern "C" int Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode) {
  if (!message) return 0;
  return Guarded([&] { return g_component->Install(reserved1, reserved2, message, reserved4, languageCode); });
}
