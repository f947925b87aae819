#include "plumbing/hooks.h"

#include <cfgmgr32.h>
#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>
#include <winver.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "machine/machine.h"
#include "base/names.h"
#include "plumbing/faults.h"

namespace winsim {

namespace {
std::map<std::string, EntryPoint, std::less<>> &Entries() {
  static std::map<std::string, EntryPoint, std::less<>> entries;
  return entries;
}

// The functions winsim serves that cannot fail on Windows: they answer a value that has
// no failure case (GetTickCount, GetACP), or a predicate (IsValidSid), or nothing at all.
// They have no entry line and a [[faults]] entry cannot name them.
#define WINSIM_CANNOT_FAIL(dll, fn) \
  { #fn, dll, detail::AsFarproc(&::fn) }
const struct {
  const char *name;
  const char *dll;
  FARPROC address;
} kCannotFail[] = {
    WINSIM_CANNOT_FAIL("kernel32.dll", GetLastError),
    WINSIM_CANNOT_FAIL("kernel32.dll", SetLastError),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetCommandLineW),
    WINSIM_CANNOT_FAIL("kernel32.dll", SetErrorMode),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetLocalTime),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetSystemTime),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetSystemTimeAsFileTime),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetTickCount),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetCurrentProcess),
    WINSIM_CANNOT_FAIL("kernel32.dll", Sleep),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetACP),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetSystemInfo),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetNativeSystemInfo),
    WINSIM_CANNOT_FAIL("kernel32.dll", GetDriveTypeW),
    WINSIM_CANNOT_FAIL("user32.dll", GetSystemMetrics),
    WINSIM_CANNOT_FAIL("advapi32.dll", IsValidSecurityDescriptor),
    WINSIM_CANNOT_FAIL("advapi32.dll", IsValidSid),
    WINSIM_CANNOT_FAIL("advapi32.dll", GetLengthSid),
    WINSIM_CANNOT_FAIL("setupapi.dll", SetupCloseInfFile),
    WINSIM_CANNOT_FAIL("ole32.dll", CoUninitialize),
    WINSIM_CANNOT_FAIL("oleaut32.dll", SysFreeString),
    WINSIM_CANNOT_FAIL("oleaut32.dll", SysStringLen),
    WINSIM_CANNOT_FAIL("oleaut32.dll", VariantInit),
};
#undef WINSIM_CANNOT_FAIL

const bool g_cannotFailRegistered = [] {
  for (auto &e : kCannotFail) RegisterEntry(e.name, e.dll, e.address, false);
  return true;
}();

}  // namespace

bool RegisterEntry(const char *name, const char *dlls, FARPROC address, bool canFail) {
  auto [it, added] = Entries().try_emplace(name);
  if (!added) return true;
  EntryPoint &e = it->second;
  e.name = name;
  e.address = address;
  e.canFail = canFail;
  std::istringstream list(dlls ? dlls : "");
  for (std::string dll; list >> dll;) e.dlls.push_back(dll);
  return true;
}

const EntryPoint *FindEntry(std::string_view name) {
  auto it = Entries().find(name);
  return it == Entries().end() ? nullptr : &it->second;
}

FARPROC FindSystemExport(std::wstring_view dll, std::string_view name) {
  if (const EntryPoint *e = FindEntry(name))
    for (auto &d : e->dlls)
      if (EqualNoCase(FromUtf8(d), dll)) return e->address;
  return nullptr;
}

bool IsProvidedDll(std::wstring_view dll) {
  for (auto &[name, e] : Entries())
    for (auto &d : e.dlls)
      if (EqualNoCase(FromUtf8(d), dll)) return true;
  return false;
}

std::vector<EntryPoint> AllEntries() {
  std::vector<EntryPoint> all;
  for (auto &[name, e] : Entries()) all.push_back(e);
  return all;
}

namespace {
// The call trace's file while a machine is open with WINSIM_CALL_TRACE set; null otherwise.
FILE *g_trace = nullptr;

// Where winsim itself is loaded: the frames of this module are not callers.
const void *WinsimBase() {
  static const void *base = [] {
    Dl_info info{};
    return dladdr(reinterpret_cast<void *>(&WinsimBase), &info) ? info.dli_fbase : nullptr;
  }();
  return base;
}

// The runtime's own libraries: a frame in them is not the caller a trace names either.
bool IsRuntimeModule(const char *path) {
  return std::strncmp(path, "/lib", 4) == 0 || std::strncmp(path, "/usr/lib", 8) == 0;
}

// "module+0xOFFSET<tab>symbol" of the nearest frame outside winsim and the runtime: the
// call instruction's own address (one byte before the return address), relative to the
// module's load address, as addr2line takes it.
std::string CallerOfHook() {
  void *frames[64];
  int n = backtrace(frames, 64);
  for (int i = 1; i < n; ++i) {
    Dl_info info{};
    if (!dladdr(frames[i], &info) || !info.dli_fname || info.dli_fbase == WinsimBase() ||
        IsRuntimeModule(info.dli_fname))
      continue;
    const char *slash = std::strrchr(info.dli_fname, '/');
    uintptr_t offset = reinterpret_cast<uintptr_t>(frames[i]) - 1 - reinterpret_cast<uintptr_t>(info.dli_fbase);
    char place[64];
    std::snprintf(place, sizeof place, "+0x%zx\t", size_t(offset));
    std::string caller = std::string(slash ? slash + 1 : info.dli_fname) + place;
    if (info.dli_sname) {
      int status = 0;
      char *plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
      caller += status == 0 && plain ? plain : info.dli_sname;
      std::free(plain);
    }
    return caller;
  }
  return "?\t";
}

// The typical failures of particular functions; the others fail with the generic error of
// their kind.
const std::map<std::string, DWORD, std::less<>> &TypicalErrors() {
  static const std::map<std::string, DWORD, std::less<>> errors = {
      // Files and folders: held by another program, refused, or the disk is full.
      {"CreateFileW", ERROR_SHARING_VIOLATION},
      {"DeleteFileW", ERROR_ACCESS_DENIED},
      {"RemoveDirectoryW", ERROR_ACCESS_DENIED},
      {"SetFileAttributesW", ERROR_ACCESS_DENIED},
      {"MoveFileW", ERROR_ACCESS_DENIED},
      {"MoveFileExW", ERROR_ACCESS_DENIED},
      {"FindFirstFileW", ERROR_ACCESS_DENIED},
      {"GetFileAttributesW", ERROR_ACCESS_DENIED},
      {"GetFileSecurityW", ERROR_ACCESS_DENIED},
      {"GetTempFileNameW", ERROR_ACCESS_DENIED},
      {"CopyFileW", ERROR_DISK_FULL},
      {"CreateDirectoryW", ERROR_DISK_FULL},
      {"WriteFile", ERROR_DISK_FULL},
      {"FlushFileBuffers", ERROR_DISK_FULL},
      {"ReadFile", ERROR_READ_FAULT},
      {"GetDiskFreeSpaceExW", ERROR_NOT_READY},
      {"SetupCopyOEMInfW", ERROR_ACCESS_DENIED},
      {"SetupOpenInfFileW", ERROR_ACCESS_DENIED},
      // Handles.
      {"CloseHandle", ERROR_INVALID_HANDLE},
      {"FindClose", ERROR_INVALID_HANDLE},
      {"FreeLibrary", ERROR_INVALID_HANDLE},
      {"GetStdHandle", ERROR_INVALID_HANDLE},
      {"WaitForSingleObject", ERROR_INVALID_HANDLE},
      {"GetExitCodeProcess", ERROR_INVALID_HANDLE},
      {"CloseServiceHandle", ERROR_INVALID_HANDLE},
      {"RegCloseKey", ERROR_INVALID_HANDLE},
      // Modules and processes.
      {"LoadLibraryW", ERROR_MOD_NOT_FOUND},
      {"GetModuleHandleW", ERROR_MOD_NOT_FOUND},
      {"GetProcAddress", ERROR_PROC_NOT_FOUND},
      {"CreateProcessW", ERROR_ACCESS_DENIED},
      {"OpenProcessToken", ERROR_ACCESS_DENIED},
      {"GetEnvironmentVariableW", ERROR_ENVVAR_NOT_FOUND},
      // The service control manager.
      {"OpenSCManagerW", ERROR_ACCESS_DENIED},
      {"OpenServiceW", ERROR_ACCESS_DENIED},
      {"CreateServiceW", ERROR_ACCESS_DENIED},
      {"ChangeServiceConfigW", ERROR_ACCESS_DENIED},
      {"DeleteService", ERROR_ACCESS_DENIED},
      {"QueryServiceStatus", ERROR_ACCESS_DENIED},
      {"StartServiceW", ERROR_SERVICE_REQUEST_TIMEOUT},
      {"ControlService", ERROR_SERVICE_REQUEST_TIMEOUT},
      {"LockServiceDatabase", ERROR_SERVICE_DATABASE_LOCKED},
      {"UnlockServiceDatabase", ERROR_INVALID_SERVICE_LOCK},
      // The registry: a key's access list refuses.
      {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
      {"RegCreateKeyExW", ERROR_ACCESS_DENIED},
      {"RegSetValueExW", ERROR_ACCESS_DENIED},
      {"RegDeleteKeyW", ERROR_ACCESS_DENIED},
      {"RegDeleteValueW", ERROR_ACCESS_DENIED},
      {"RegGetKeySecurity", ERROR_ACCESS_DENIED},
      {"RegSetKeySecurity", ERROR_ACCESS_DENIED},
      {"RegConnectRegistryW", ERROR_BAD_NETPATH},
      // Devices: a property the device does not have, a device that went away.
      {"SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA},
      {"CM_Get_DevNode_Status_Ex", CR_NO_SUCH_DEVINST},
      {"CM_Get_Device_ID_ExW", CR_NO_SUCH_DEVINST},
      // Text and time conversions.
      {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
      {"WideCharToMultiByte", ERROR_NO_UNICODE_TRANSLATION},
      {"FileTimeToSystemTime", ERROR_INVALID_PARAMETER},
      {"FileTimeToLocalFileTime", ERROR_INVALID_PARAMETER},
      {"SystemTimeToFileTime", ERROR_INVALID_PARAMETER},
      {"GetDateFormatW", ERROR_INVALID_PARAMETER},
      {"GetTimeFormatW", ERROR_INVALID_PARAMETER},
      // Version resources: a file without one.
      {"GetFileVersionInfoSizeW", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"GetFileVersionInfoW", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"VerQueryValueW", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"VerInstallFileW", VIF_OUTOFMEMORY},
      // COM.
      {"CoCreateInstance", DWORD(REGDB_E_CLASSNOTREG)},
      {"VariantClear", DWORD(DISP_E_BADVARTYPE)},
      {"IUnknown::QueryInterface", DWORD(E_NOINTERFACE)},
      {"IPersistFile::Save", DWORD(E_ACCESSDENIED)},
      {"IPersistFile::Load", DWORD(E_ACCESSDENIED)},
  };
  return errors;
}
}  // namespace

DWORD TypicalError(std::string_view function, FailureKind kind) {
  if (auto it = TypicalErrors().find(function); it != TypicalErrors().end()) return it->second;
  switch (kind) {
    case FailureKind::LastError: return ERROR_NOT_ENOUGH_MEMORY;
    // The statuses that are not the registry's or the configuration manager's are COM's
    // and the shell's HRESULTs.
    case FailureKind::Status:
      return function.starts_with("CM_")   ? CR_OUT_OF_MEMORY
             : function.starts_with("Reg") ? ERROR_OUTOFMEMORY
                                           : DWORD(E_OUTOFMEMORY);
    case FailureKind::Hresult: return DWORD(E_OUTOFMEMORY);
  }
  return ERROR_NOT_ENOUGH_MEMORY;
}

bool FaultsArmed() { return HasMachine() && (g_trace || !Faults().faults.empty()); }

bool Faulted(const char *function, FailureKind kind, std::initializer_list<FaultArg> args, DWORD *error) {
  if (!HasMachine()) return false;
  FaultTable &table = Faults();
  int64_t call = ++table.hookedCalls;
  if (g_trace) std::fprintf(g_trace, "%lld\t%s\t%s\n", static_cast<long long>(call), function, CallerOfHook().c_str());
  for (Fault &f : table.faults) {
    bool any = f.function == "*";
    if (!any && f.function != function) continue;
    if (!f.whenArgContains.empty()) {
      bool hit = false;
      for (const FaultArg &a : args) hit = hit || ContainsNoCase(a.text, f.whenArgContains);
      if (!hit) continue;
    }
    ++f.seen;
    if (f.nth == 0 || f.seen == f.nth) {
      if (f.crash) EndProcessAsCrashed(call, function, f.power);
      *error = any && !f.errorGiven ? TypicalError(function, kind) : f.error;
      return true;
    }
  }
  return false;
}

void OpenCallTrace(const std::string &machineDir) {
  CloseCallTrace();
  const char *path = std::getenv("WINSIM_CALL_TRACE");
  if (!path || !*path) return;
  g_trace = std::fopen(path, "a");
  if (!g_trace) {
    std::fprintf(stderr, "winsim: cannot write the call trace %s: %s\n", path, std::strerror(errno));
    return;
  }
  std::fprintf(g_trace, "# machine %s\n", machineDir.c_str());
}

void CloseCallTrace() {
  if (g_trace) std::fclose(g_trace);
  g_trace = nullptr;
}

void SimulationError(const std::string &what) {
  std::fprintf(stderr, "winsim: simulation error: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void UsedAfterClose(const void *handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  SimulationError(std::string(EntryScope::Current()) + ": handle " + text + " was used after it was closed");
}

std::vector<EntryPointInfo> EntryPoints() {
  std::vector<EntryPointInfo> out;
  for (auto &e : AllEntries()) out.push_back({e.name, e.dlls, e.canFail});
  return out;
}

}  // namespace winsim
