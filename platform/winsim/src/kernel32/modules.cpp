#include "kernel32/modules.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "plumbing/hooks.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "machine/process.h"
#include "machine/system.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

namespace winsim {

namespace {
using DllMainFn = BOOL (*)(HINSTANCE, DWORD, LPVOID);

struct Module {
  std::wstring path;  // full Windows path
  std::wstring name;  // base name
  bool system = false;
  void *dl = nullptr;
  DllMainFn dllMain = nullptr;
  int refs = 0;
};

std::list<std::unique_ptr<Module>> &Loaded() {
  static std::list<std::unique_ptr<Module>> loaded;
  return loaded;
}

// The module record of the process's own image (GetModuleHandleW(NULL)).
Module &MainModule() {
  static Module main;
  main.path = Process().imagePath;
  main.name = LastName(main.path);
  return main;
}

Module *ModuleOf(HMODULE h) {
  if (!h) return nullptr;
  if (reinterpret_cast<Module *>(h) == &MainModule()) return &MainModule();
  for (auto &m : Loaded())
    if (reinterpret_cast<HMODULE>(m.get()) == h) return m.get();
  return nullptr;
}

std::wstring SystemDirectory() {
  wchar_t buf[MAX_PATH];
  UINT n = GetSystemDirectoryW(buf, MAX_PATH);
  return n && n < MAX_PATH ? std::wstring(buf) : L"C:\\Windows\\system32";
}

bool ListedIn(const std::vector<std::wstring> &list, const std::wstring &value) {
  for (const std::wstring &entry : list)
    if (EqualNoCase(entry, value)) return true;
  return false;
}

bool IsSystemDll(const std::wstring &name) { return IsProvidedDll(name) && !ListedIn(System().os.missingDlls, name); }

// A name looked up by GetProcAddress, for when_arg_contains (an ordinal has no text).
std::wstring ProcNameText(LPCSTR name) {
  return reinterpret_cast<uintptr_t>(name) < 0x10000 ? std::wstring() : FromAscii(name);
}

std::wstring WithDllExtension(std::wstring name) {
  if (LastName(name).find(L'.') == std::wstring::npos) name += L".dll";
  return name;
}

HMODULE Attach(std::unique_ptr<Module> m) {
  Module *raw = m.get();
  raw->refs = 1;
  Loaded().push_back(std::move(m));
  HMODULE h = reinterpret_cast<HMODULE>(raw);
  if (raw->dllMain && !raw->dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_ATTACH, nullptr)) {
    raw->dllMain(reinterpret_cast<HINSTANCE>(h), DLL_PROCESS_DETACH, nullptr);
    dlclose(raw->dl);
    Loaded().remove_if([&](auto &p) { return p.get() == raw; });
    return Fail(ERROR_DLL_INIT_FAILED, HMODULE(nullptr));
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

HMODULE LoadFile(const std::wstring &full) {
  for (auto &m : Loaded())
    if (EqualNoCase(m->path, full)) {
      ++m->refs;
      return reinterpret_cast<HMODULE>(m.get());
    }
  Resolved r = Resolve(full);
  if (r.error || !r.exists || r.isDir) return Fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
  char magic[4] = {};
  std::ifstream(r.host, std::ios::binary).read(magic, 4);
  if (std::memcmp(magic,
                  "\x7f"
                  "ELF",
                  4) != 0) {
    NotModelled("LoadLibraryW", "running Windows code (" + ToUtf8(full) + " is not built for winsim)");
    return Fail(ERROR_BAD_EXE_FORMAT, HMODULE(nullptr));
  }
  void *dl = dlopen(r.host.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    std::fprintf(stderr, "winsim: LoadLibraryW: %s\n", dlerror());
    return Fail(ERROR_DLL_INIT_FAILED, HMODULE(nullptr));
  }
  auto m = std::make_unique<Module>();
  m->path = r.key;
  m->name = LastName(r.key);
  m->dl = dl;
  m->dllMain = reinterpret_cast<DllMainFn>(dlsym(dl, "DllMain"));
  return Attach(std::move(m));
}

HMODULE LoadSystem(const std::wstring &name) {
  for (auto &m : Loaded())
    if (m->system && EqualNoCase(m->name, name)) {
      ++m->refs;
      return reinterpret_cast<HMODULE>(m.get());
    }
  auto m = std::make_unique<Module>();
  m->system = true;
  m->name = name;
  m->path = SystemDirectory() + L"\\" + name;
  return Attach(std::move(m));
}
}  // namespace

void UnloadAllModules() {
  while (!Loaded().empty()) {
    Module *m = Loaded().back().get();
    if (m->dllMain) m->dllMain(reinterpret_cast<HINSTANCE>(m), DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1));
    if (m->dl) dlclose(m->dl);
    Loaded().pop_back();
  }
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  WINSIM_ENTRY("kernel32.dll", LoadLibraryW, HMODULE(nullptr), lpLibFileName);
  if (!lpLibFileName || !*lpLibFileName) return Fail(ERROR_INVALID_PARAMETER, HMODULE(nullptr));
  std::wstring requested = lpLibFileName;
  bool hasPath = requested.find_first_of(L"\\/:") != std::wstring::npos;
  if (!hasPath) {
    std::wstring name = WithDllExtension(requested);
    for (auto &m : Loaded())
      if (EqualNoCase(m->name, name)) {
        ++m->refs;
        return reinterpret_cast<HMODULE>(m.get());
      }
    if (IsSystemDll(name)) return LoadSystem(name);
    // The search order of a plain name: the image's directory, the system and Windows
    // directories, the current directory.
    wchar_t windir[MAX_PATH];
    GetWindowsDirectoryW(windir, MAX_PATH);
    for (const std::wstring &dir :
         {ParentOf(Process().imagePath), SystemDirectory(), std::wstring(windir), Process().currentDirectory}) {
      std::wstring candidate = dir + (dir.back() == L'\\' ? L"" : L"\\") + name;
      Resolved r = Resolve(candidate);
      if (!r.error && r.exists && !r.isDir) return LoadFile(r.key);
    }
    return Fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
  }
  DWORD err = 0;
  std::wstring full = FullPath(WithDllExtension(requested), &err);
  if (full.empty()) return Fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
  if (EqualNoCase(ParentOf(full), SystemDirectory()) && IsProvidedDll(LastName(full))) {
    if (!IsSystemDll(LastName(full))) return Fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
    return LoadSystem(LastName(full));
  }
  return LoadFile(full);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  WINSIM_ENTRY("kernel32.dll", FreeLibrary, FALSE);
  if (!hLibModule) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Module *m = ModuleOf(hLibModule);
  // The loader knows no module at that address.
  if (!m) return Fail(ERROR_MOD_NOT_FOUND, FALSE);
  // The image itself stays loaded for the life of the process.
  if (m == &MainModule()) return TRUE;
  if (--m->refs > 0) return TRUE;
  if (m->dllMain) m->dllMain(reinterpret_cast<HINSTANCE>(hLibModule), DLL_PROCESS_DETACH, nullptr);
  if (m->dl) dlclose(m->dl);
  Loaded().remove_if([&](auto &p) { return p.get() == m; });
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  WINSIM_ENTRY("kernel32.dll", GetProcAddress, nullptr, ProcNameText(lpProcName));
  Module *m = ModuleOf(hModule);
  if (!m) return Fail(ERROR_INVALID_HANDLE, FARPROC(nullptr));
  if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
    NotModelled("GetProcAddress", "lookup by ordinal");
    return Fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
  }
  std::wstring wname = FromAscii(lpProcName);
  if (m->system) {
    FARPROC fn = FindSystemExport(m->name, lpProcName);
    if (!fn || ListedIn(System().os.missingExports, m->name + L"!" + wname))
      return Fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
    return fn;
  }
  if (!m->dl) return Fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
  void *sym = dlsym(m->dl, lpProcName);
  if (!sym) return Fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
  return reinterpret_cast<FARPROC>(sym);
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  WINSIM_ENTRY("kernel32.dll", GetModuleFileNameW, 0u);
  Module *m = hModule ? ModuleOf(hModule) : &MainModule();
  if (!m) return Fail(ERROR_MOD_NOT_FOUND, 0u);
  const std::wstring &path = m->path;
  if (nSize == 0 || !lpFilename) return Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  if (path.size() >= nSize) {
    // Truncated and terminated, as Windows XP and later do.
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = L'\0';
    return Fail(ERROR_INSUFFICIENT_BUFFER, nSize);
  }
  path.copy(lpFilename, path.size());
  lpFilename[path.size()] = L'\0';
  SetLastError(ERROR_SUCCESS);
  return DWORD(path.size());
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  WINSIM_ENTRY("kernel32.dll", GetModuleHandleW, nullptr, lpModuleName);
  if (!lpModuleName) return reinterpret_cast<HMODULE>(&MainModule());
  std::wstring requested = WithDllExtension(lpModuleName);
  bool hasPath = requested.find_first_of(L"\\/:") != std::wstring::npos;
  DWORD err;
  std::wstring full = hasPath ? FullPath(requested, &err) : L"";
  if (EqualNoCase(hasPath ? full : requested, hasPath ? MainModule().path : MainModule().name))
    return reinterpret_cast<HMODULE>(&MainModule());
  for (auto &m : Loaded())
    if (hasPath ? EqualNoCase(m->path, full) : EqualNoCase(m->name, requested))
      return reinterpret_cast<HMODULE>(m.get());
  // kernel32 is mapped into every process from its start.
  if (!hasPath && EqualNoCase(requested, L"kernel32.dll") && IsSystemDll(requested)) return LoadSystem(requested);
  return Fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
}

UINT WINAPI SetErrorMode(UINT uMode) {
  UINT previous = Process().errorMode;
  Process().errorMode = uMode;
  return previous;
}

}  // extern "C"
