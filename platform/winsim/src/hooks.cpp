#include "hooks.h"

#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "machine.h"
#include "names.h"

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

// Where the n-th [[faults]] entry of machine.toml starts ("machine.toml:12"), as far as the
// parsed document still knows it.
std::string FaultPlace(const Machine &m, size_t index) {
  std::string place = (m.root / "machine.toml").string();
  if (auto arr = m.config["faults"].as_array(); arr && index < arr->size()) {
    auto line = (*arr)[index].source().begin.line;
    if (line) place += ":" + std::to_string(line);
  }
  return place;
}
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

bool FaultsArmed() { return HasMachine() && !Current().faults.empty(); }

bool Faulted(const char *function, std::initializer_list<FaultArg> args, DWORD *error) {
  if (!HasMachine()) return false;
  for (Fault &f : Current().faults) {
    if (f.function != function) continue;
    if (!f.whenArgContains.empty()) {
      bool hit = false;
      for (const FaultArg &a : args) hit = hit || ContainsNoCase(a.text, f.whenArgContains);
      if (!hit) continue;
    }
    ++f.seen;
    if (f.nth == 0 || f.seen == f.nth) {
      *error = f.error;
      return true;
    }
  }
  return false;
}

bool ValidateFaults(const Machine &machine, std::string &error) {
  for (size_t i = 0; i < machine.faults.size(); ++i) {
    const std::string &name = machine.faults[i].function;
    const EntryPoint *e = FindEntry(name);
    if (e && e->canFail) continue;
    std::ostringstream s;
    s << FaultPlace(machine, i) << ": [[faults]] entry " << i + 1 << ": function \"" << name << "\" "
      << (e ? "cannot fail on Windows" : "is not a function winsim can fail (no fault hook)");
    error = s.str();
    return false;
  }
  return true;
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
