// The one way into winsim: every Win32 function that can fail on Windows starts with an
// entry line,
//
//   WINSIM_ENTRY("kernel32.dll", CreateFileW, INVALID_HANDLE_VALUE, lpFileName);
//   WINSIM_ENTRY_STATUS("advapi32.dll", RegOpenKeyExW, KeyText(hKey), lpSubKey);
//
// which registers the function (at load time, whether it is called or not) as an export of
// its system DLL for GetProcAddress and as a name a [[faults]] entry may use, names the
// function for the simulation errors of the handle tables, and fails the call when a
// [[faults]] entry says so, before the call has looked at or changed anything. The trailing
// arguments are the texts `when_arg_contains` is matched against; they are evaluated only
// when the machine has [[faults]] entries.
//
// WINSIM_ENTRY fails with the fault's error as the last error and answers the given value;
// WINSIM_ENTRY_STATUS answers the fault's error as the function's status (LSTATUS,
// CONFIGRET). Methods of COM interfaces use WINSIM_METHOD(Interface, Method, ...), which
// registers "Interface::Method" and answers the fault's error as the HRESULT.
//
// The functions that cannot fail on Windows have no entry line; hooks.cpp lists them (with
// their DLL) in one table. A test checks that every function declared in include/ is one or
// the other.
#pragma once

#include <windows.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// A text argument of a call, as a [[faults]] entry's when_arg_contains sees it; a null
// string is empty.
struct FaultArg {
  FaultArg(const wchar_t *s) : text(s ? s : L"") {}
  FaultArg(const std::wstring &s) : text(s) {}
  FaultArg(std::wstring_view s) : text(s) {}
  std::wstring_view text;
};

// How a hooked function reports its failure: through the last error (WINSIM_ENTRY), as its
// status (LSTATUS, CONFIGRET: WINSIM_ENTRY_STATUS) or as an HRESULT (WINSIM_METHOD).
enum class FailureKind { LastError, Status, Hresult };

// True when the open machine has [[faults]] entries or the run records its calls (the
// arguments are worth building and every hooked call goes through Faulted).
bool FaultsArmed();
// Fault injection: true when a [[faults]] entry makes this call of `function` fail; *error
// is the entry's code. Counts the call (for the entries that name it, for those of any
// function, and in the call trace).
bool Faulted(const char *function, FailureKind kind, std::initializer_list<FaultArg> args, DWORD *error);
// The error a `function = "*"` fault without an `error` gives this function: one it gives on
// Windows when it fails for a reason outside the caller's control (a lock, a full disk, no
// memory), ERROR_NOT_ENOUGH_MEMORY / ERROR_OUTOFMEMORY (registry) / CR_OUT_OF_MEMORY
// (configuration manager) / E_OUTOFMEMORY (COM, the shell) when it has no more telling one.
DWORD TypicalError(std::string_view function, FailureKind kind);

// The call trace: with WINSIM_CALL_TRACE naming a file, each machine opened appends a
// "# machine DIR" line and then one line per hooked call, in order:
//   N <tab> function <tab> module+0xOFFSET <tab> symbol
// N counts the run's hooked calls from 1 (what a `function = "*"` fault's nth counts), the
// module and offset are the call site of the nearest caller outside winsim, the symbol its
// function when the module exports one. Off (and costing nothing) without the variable.
void OpenCallTrace(const std::string &machineDir);
void CloseCallTrace();

// One entry point winsim serves.
struct EntryPoint {
  std::string name;               // "CreateFileW", or "IWbemLocator::ConnectServer" for a COM method
  std::vector<std::string> dlls;  // the system DLLs exporting it ("kernel32.dll"); none for COM methods
  FARPROC address = nullptr;
  bool canFail = true;  // false: listed in hooks.cpp as a function that cannot fail
};

// Registration, at load time; `dlls` is a space-separated list. Answers true.
bool RegisterEntry(const char *name, const char *dlls, FARPROC address, bool canFail);
// The registered entry of that name, or null.
const EntryPoint *FindEntry(std::string_view name);
// GetProcAddress: the function a system DLL exports under that name, or null.
FARPROC FindSystemExport(std::wstring_view dll, std::string_view name);
// True when winsim provides a system DLL of that name ("setupapi.dll").
bool IsProvidedDll(std::wstring_view dll);
std::vector<EntryPoint> AllEntries();

// The Win32 function (or COM method) being run, the innermost one when winsim calls its
// own entry points, for the simulation errors of the handle tables.
class EntryScope {
 public:
  EntryScope(const char *name, bool /*registered*/) : previous_(current_) { current_ = name; }
  ~EntryScope() { current_ = previous_; }
  EntryScope(const EntryScope &) = delete;
  EntryScope &operator=(const EntryScope &) = delete;
  static const char *Current() { return current_ ? current_ : "(winsim)"; }

 private:
  const char *previous_;
  static inline thread_local const char *current_ = nullptr;
};

// Stops the run: the simulated program did something that is undefined on Windows (used a
// handle after closing it). Says so on standard error, naming the function, and aborts.
[[noreturn]] void SimulationError(const std::string &what);
// "<function>: handle 0x104 was used after it was closed".
[[noreturn]] void UsedAfterClose(const void *handle);

namespace detail {
template <size_t N>
struct Literal {
  constexpr Literal(const char (&s)[N]) {
    for (size_t i = 0; i < N; ++i) text[i] = s[i];
  }
  char text[N];
};

template <class F>
FARPROC AsFarproc(F f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
}
inline FARPROC AsFarproc(std::nullptr_t) { return nullptr; }

// One instantiation per hooked name; its member is initialised when the library loads,
// which registers the name even if the function is never called.
template <Literal Name, Literal Dll, auto Address>
struct Hooked {
  static inline const bool registered = RegisterEntry(Name.text, Dll.text, AsFarproc(Address), true);
};

template <class>
struct ReturnOf;
template <class R, class... A>
struct ReturnOf<R (*)(A...)> {
  using type = R;
};

template <class R>
R FailWith(DWORD error, R value) {
  SetLastError(error);
  return value;
}
}  // namespace detail

}  // namespace winsim

#define WINSIM_ENTRY_BEGIN_(label, dll, fn)                                                        \
  ::winsim::EntryScope winsim_entry_(label, ::winsim::detail::Hooked<label, dll, fn>::registered); \
  DWORD winsim_fault_ = 0

#define WINSIM_ENTRY(dll, name, failValue, ...)                                                  \
  WINSIM_ENTRY_BEGIN_(#name, dll, &::name);                                                      \
  if (::winsim::FaultsArmed() &&                                                                 \
      ::winsim::Faulted(#name, ::winsim::FailureKind::LastError, {__VA_ARGS__}, &winsim_fault_)) \
  return ::winsim::detail::FailWith<::winsim::detail::ReturnOf<decltype(&::name)>::type>(winsim_fault_, failValue)

#define WINSIM_ENTRY_STATUS(dll, name, ...)                                                   \
  WINSIM_ENTRY_BEGIN_(#name, dll, &::name);                                                   \
  if (::winsim::FaultsArmed() &&                                                              \
      ::winsim::Faulted(#name, ::winsim::FailureKind::Status, {__VA_ARGS__}, &winsim_fault_)) \
  return static_cast<::winsim::detail::ReturnOf<decltype(&::name)>::type>(winsim_fault_)

#define WINSIM_METHOD(iface, method, ...)                                                                    \
  WINSIM_ENTRY_BEGIN_(#iface "::" #method, "", nullptr);                                                     \
  if (::winsim::FaultsArmed() &&                                                                             \
      ::winsim::Faulted(#iface "::" #method, ::winsim::FailureKind::Hresult, {__VA_ARGS__}, &winsim_fault_)) \
  return static_cast<HRESULT>(winsim_fault_)
