// The entry mechanism of winsim: every function declared in platform/winsim/include/ is
// either hooked (a [[faults]] entry can fail it) or listed as one that cannot fail; faults
// name hooked functions only; a handle used after it was closed stops the run.
#include <cfgmgr32.h>
#include <objbase.h>
#include <oleauto.h>
#include <setupapi.h>
#include <wbemidl.h>
#include <windows.h>
#include <winsim.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testmachine.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

// The entry points a header declares: "Name" for each `WINAPI Name(` declaration and
// "Interface::Method" for each method of a COM interface (`struct IName ... { ...
// STDMETHOD(Method)` or `virtual HRESULT STDMETHODCALLTYPE Method(`).
std::set<std::string> DeclaredIn(const std::string &text) {
  std::set<std::string> names;
  static const std::regex function(R"(\bWINAPI\s+([A-Za-z_]\w*)\s*\()");
  static const std::regex iface(R"(\b(?:struct|interface)\s+(I[A-Za-z]\w*)\b[^;{]*\{)");
  static const std::regex method(R"(STDMETHOD\s*\(\s*(\w+)\s*\)|\bSTDMETHODCALLTYPE\s+(\w+)\s*\()");
  for (std::sregex_iterator it(text.begin(), text.end(), function), end; it != end; ++it) names.insert((*it)[1]);
  for (std::sregex_iterator it(text.begin(), text.end(), iface), end; it != end; ++it) {
    // The interface's body: up to the brace that closes it.
    size_t open = it->position() + it->length() - 1, depth = 0, close = open;
    for (; close < text.size(); ++close) {
      if (text[close] == '{') ++depth;
      if (text[close] == '}' && --depth == 0) break;
    }
    std::string body = text.substr(open, close - open);
    for (std::sregex_iterator m(body.begin(), body.end(), method), e; m != e; ++m)
      names.insert((*it)[1].str() + "::" + ((*m)[1].matched ? (*m)[1] : (*m)[2]).str());
  }
  return names;
}

std::string ReadText(const fs::path &file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> DeclaredEntryPoints() {
  std::set<std::string> names;
  for (auto &file : fs::directory_iterator(fs::path(WINSIM_SOURCE_DIR) / "include"))
    if (file.path().extension() == ".h") names.merge(DeclaredIn(ReadText(file.path())));
  return names;
}

// The first statement of each `WINAPI Name(...) {` definition in a source text.
std::map<std::string, std::string> FirstStatements(const std::string &text) {
  std::map<std::string, std::string> out;
  static const std::regex function(R"(\bWINAPI\s+([A-Za-z_]\w*)\s*\()");
  for (std::sregex_iterator it(text.begin(), text.end(), function), end; it != end; ++it) {
    size_t i = it->position() + it->length();
    for (int depth = 1; i < text.size() && depth; ++i) depth += text[i] == '(' ? 1 : text[i] == ')' ? -1 : 0;
    i = text.find_first_not_of(" \n", i);
    if (i == std::string::npos || text[i] != '{') continue;  // a declaration
    size_t start = text.find_first_not_of(" \n", i + 1);
    out[(*it)[1]] = text.substr(start, text.find(';', start) - start);
  }
  return out;
}

std::map<std::string, winsim::EntryPointInfo> Registered() {
  std::map<std::string, winsim::EntryPointInfo> out;
  for (auto &e : winsim::EntryPoints()) out[e.name] = e;
  return out;
}

TEST(EntryPoints, TheDeclarationParserFindsFunctionsAndComMethods) {
  const char *header = R"(
WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject);
typedef INT_PTR(WINAPI *FARPROC)(void);
#define WINAPI
struct IWbemLocator : public IUnknown {
  STDMETHOD(ConnectServer)(BSTR, BSTR) PURE;
  virtual HRESULT STDMETHODCALLTYPE Other(int x) = 0;
};
struct NotAnInterface { int x; };
)";
  EXPECT_EQ(DeclaredIn(header),
            (std::set<std::string>{"CloseHandle", "IWbemLocator::ConnectServer", "IWbemLocator::Other"}));
}

// Every declared function has a hook or is listed as one that cannot fail, and everything
// registered is declared (no hook for a function the headers lost).
TEST(EntryPoints, EveryDeclaredFunctionIsHookedOrCannotFail) {
  std::set<std::string> declared = DeclaredEntryPoints();
  auto registered = Registered();
  ASSERT_GT(declared.size(), 100u);
  for (auto &name : declared) EXPECT_TRUE(registered.count(name)) << name << " has no fault hook (hooks.h)";
  for (auto &[name, e] : registered) EXPECT_TRUE(declared.count(name)) << name << " is hooked but not declared";
  for (const char *infallible : {"GetLastError", "GetTickCount", "GetLocalTime", "GetSystemTime"}) {
    ASSERT_TRUE(registered.count(infallible)) << infallible;
    EXPECT_FALSE(registered[infallible].canFail) << infallible;
  }
}

// The hook is the first statement of its function, so it fires before any check or change.
TEST(EntryPoints, EachHookIsTheFirstStatementOfItsFunction) {
  auto registered = Registered();
  size_t defined = 0;
  for (auto &file : fs::recursive_directory_iterator(fs::path(WINSIM_SOURCE_DIR) / "src")) {
    if (file.path().extension() != ".cpp") continue;
    for (auto &[name, first] : FirstStatements(ReadText(file.path()))) {
      ++defined;
      SCOPED_TRACE(file.path().filename().string() + ": " + name);
      ASSERT_TRUE(registered.count(name));
      bool hooked = std::regex_search(first, std::regex("^WINSIM_ENTRY\\w*\\([^,]+,\\s*" + name + "\\b"));
      EXPECT_EQ(hooked, registered[name].canFail) << first;
    }
  }
  EXPECT_GT(defined, 100u);
}

// The registration is what GetProcAddress answers from: each entry is found in each DLL
// it names and not in another one.
TEST(EntryPoints, SystemDllsExportTheirRegisteredFunctions) {
  TestMachine machine;
  std::map<std::string, HMODULE> dlls;
  for (auto &e : winsim::EntryPoints()) {
    if (e.name.find("::") != std::string::npos) continue;  // a COM method
    ASSERT_FALSE(e.dlls.empty()) << e.name;
    for (auto &dll : e.dlls) {
      HMODULE &m = dlls[dll];
      if (!m) m = LoadLibraryW(std::wstring(dll.begin(), dll.end()).c_str());
      ASSERT_NE(m, nullptr) << dll;
      EXPECT_NE(GetProcAddress(m, e.name.c_str()), nullptr) << dll << "!" << e.name;
    }
  }
  const struct {
    const wchar_t *dll;
    const char *name;
    bool found;
  } cases[] = {
      {L"kernel32.dll", "CreateFileW", true},          {L"kernel32.dll", "SetupDiGetClassDevsW", false},
      {L"advapi32.dll", "RegOpenKeyExW", true},        {L"setupapi.dll", "CM_Get_Device_ID_ExW", true},
      {L"cfgmgr32.dll", "CM_Get_Device_ID_ExW", true}, {L"cfgmgr32.dll", "SetupDiGetClassDevsW", false},
      {L"version.dll", "VerQueryValueW", true},        {L"user32.dll", "GetSystemMetrics", true},
      {L"user32.dll", "GetTickCount", false},
  };
  for (auto &c : cases) {
    HMODULE m = LoadLibraryW(c.dll);
    ASSERT_NE(m, nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(m, c.name) != nullptr, c.found) << c.name;
    if (!c.found) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
  }
  for (auto &[name, m] : dlls) FreeLibrary(m);
}

// A machine directory of its own, for the loads that must fail.
class MachineDir {
 public:
  explicit MachineDir(const std::string &toml) {
    std::string pattern = (fs::temp_directory_path() / "kvn-hooks-test.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a machine directory");
    dir_ = pattern;
    fs::create_directories(dir_ / "drive_c");
    std::ofstream(dir_ / "machine.toml") << toml;
  }
  ~MachineDir() {
    winsim::CloseMachine();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  bool Open(std::string &error) const { return winsim::OpenMachine(dir_, error); }
  const fs::path &Dir() const { return dir_; }

 private:
  fs::path dir_;
};

std::string FaultOn(const std::string &function) { return "[[faults]]\nfunction = \"" + function + "\"\nerror = 5\n"; }

TEST(FaultLoad, EveryHookedFunctionCanBeNamed) {
  std::string toml;
  size_t hooked = 0;
  for (auto &e : winsim::EntryPoints())
    if (e.canFail) {
      toml += FaultOn(e.name);
      ++hooked;
    }
  ASSERT_GT(hooked, 90u);
  MachineDir dir(toml);
  std::string error;
  EXPECT_TRUE(dir.Open(error)) << error;
}

TEST(FaultLoad, AnUnhookedOrMisspelledFunctionIsALoadError) {
  const struct {
    std::string function;
    std::string reason;
  } cases[] = {
      {"CreateFileX", "no fault hook"},
      {"createfilew", "no fault hook"},  // names are exact, as GetProcAddress takes them
      {"GetTickCount", "cannot fail"},
      {"IWbemServices::GetObject", "no fault hook"},  // a method winsim does not serve
      {"CoUninitialize", "cannot fail"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.function);
    // The bad entry is the second one, on line 5.
    MachineDir dir(FaultOn("CreateFileW") + "\n" + FaultOn(c.function));
    std::string error;
    EXPECT_FALSE(dir.Open(error));
    EXPECT_FALSE(winsim::IsMachineOpen());
    std::string where = (dir.Dir() / "machine.toml").string() + ":5: [[faults]] entry 2: function \"" + c.function;
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

// A sample of calls, one of each way of failing: the fault's error comes back as the last
// error with the function's failure value, or as its status; the call changed nothing.
TEST(FaultInjection, HookedCallsFailWithTheConfiguredErrorBeforeChangingAnything) {
  struct Case {
    const char *function;
    std::function<bool()> failed;   // made the call; true when it answered its failure value
    std::function<bool()> changed;  // after the faulted call: whether its effect happened
    bool status = false;            // the error is the return value, not the last error
  };
  HANDLE file = nullptr;
  DWORD status = 0;
  auto open = [&] {
    file = CreateFileW(L"C:\\data.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return file != INVALID_HANDLE_VALUE;
  };
  auto never = [] { return false; };
  std::vector<Case> cases = {
      {"CloseHandle", [&] { return !CloseHandle(file); }, [&] { return GetFileSize(file, nullptr) != 3; }},
      {"WriteFile",
       [&] {
         DWORD n = kSentinel;
         return !WriteFile(file, "xyz!", 4, &n, nullptr);
       },
       [&] { return GetFileSize(file, nullptr) != 3; }},
      {"SetFilePointer", [&] { return SetFilePointer(file, 2, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER; },
       [&] {  // still at the start
         char first = 0;
         DWORD n = 0;
         return !ReadFile(file, &first, 1, &n, nullptr) || first != 'a';
       }},
      {"GetFileSize", [&] { return GetFileSize(file, nullptr) == INVALID_FILE_SIZE; }, never},
      {"FindNextFileW",
       [&] {
         WIN32_FIND_DATAW data;
         HANDLE find = FindFirstFileW(L"C:\\*", &data);
         bool failed = !FindNextFileW(find, &data);
         DWORD error = GetLastError();
         FindClose(find);
         SetLastError(error);
         return failed;
       },
       never},
      {"SetEnvironmentVariableW", [&] { return !SetEnvironmentVariableW(L"HOOKED", L"1"); },
       [&] { return GetEnvironmentVariableW(L"HOOKED", nullptr, 0) != 0; }},
      {"GetEnvironmentVariableW", [&] { return GetEnvironmentVariableW(L"windir", nullptr, 0) == 0; }, never},
      {"GetModuleFileNameW",
       [&] {
         wchar_t name[MAX_PATH];
         return GetModuleFileNameW(nullptr, name, MAX_PATH) == 0;
       },
       never},
      {"WaitForSingleObject", [&] { return WaitForSingleObject(file, 0) == WAIT_FAILED; }, never},
      {"DeleteFileW", [&] { return !DeleteFileW(L"C:\\data.txt"); },
       [&] { return GetFileAttributesW(L"C:\\data.txt") == INVALID_FILE_ATTRIBUTES; }},
      {"RegCreateKeyExW",
       [&] {
         HKEY key;
         status = DWORD(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Hooked", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                        &key, nullptr));
         return status != ERROR_SUCCESS;
       },
       [&] {
         HKEY key;
         bool exists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Hooked", 0, KEY_READ, &key) == ERROR_SUCCESS;
         if (exists) RegCloseKey(key);
         return exists;
       },
       true},
      {"CM_Get_DevNode_Status_Ex",
       [&] {
         ULONG st, problem;
         status = DWORD(CM_Get_DevNode_Status_Ex(&st, &problem, 1, 0, nullptr));
         return status != CR_SUCCESS;
       },
       never, true},
      {"GetProcAddress",
       [&] {
         HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
         return k32 && GetProcAddress(k32, "CreateFileW") == nullptr;
       },
       never},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.function);
    TestMachine machine("[[faults]]\nfunction = \"" + std::string(c.function) + "\"\nerror = 1117\n");
    machine.Write(L"C:\\data.txt", "abc");
    ASSERT_TRUE(open());
    SetLastError(kSentinel);
    status = kSentinel;
    EXPECT_TRUE(c.failed());
    if (c.status)
      EXPECT_EQ(status, 1117u);
    else
      EXPECT_EQ(GetLastError(), 1117u);
    EXPECT_FALSE(c.changed());
  }
}

// Using a handle after closing it is undefined on Windows (the value may already name
// another object): winsim stops the run and names the function and the handle.
// `function = "*"`: the n-th hooked call of the run fails, whatever function it is, with
// that function's typical error unless the entry gives one.
TEST(FaultInjection, AnyFunctionFaultFailsTheNthCallWithItsTypicalError) {
  HKEY key = nullptr;
  WCHAR text[MAX_PATH];
  // Four hooked calls in a row; the answer is the error of each (0: it succeeded).
  auto run = [&] {
    std::vector<DWORD> errors;
    SetLastError(0);
    errors.push_back(GetEnvironmentVariableW(L"windir", text, MAX_PATH) ? 0 : GetLastError());
    LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Sweep", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) RegCloseKey(key);  // a fourth call, counted too
    errors.push_back(DWORD(status));
    BSTR b = SysAllocString(L"x");
    errors.push_back(b ? 0 : GetLastError());
    SysFreeString(b);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // a status that is an HRESULT
    if (SUCCEEDED(hr)) CoUninitialize();
    errors.push_back(DWORD(hr));
    return errors;
  };
  const struct {
    std::string entry;
    std::vector<DWORD> errors;
  } cases[] = {
      {"nth = 1", {ERROR_ENVVAR_NOT_FOUND, 0, 0, 0}},
      {"nth = 2", {0, ERROR_ACCESS_DENIED, 0, 0}},
      {"nth = 3", {0, 0, 0, 0}},  // RegCloseKey's failure is not seen here
      {"nth = 4", {0, 0, ERROR_NOT_ENOUGH_MEMORY, 0}},
      {"nth = 4\nerror = 14", {0, 0, ERROR_OUTOFMEMORY, 0}},
      {"nth = 5", {0, 0, 0, DWORD(E_OUTOFMEMORY)}},
      {"nth = 9", {0, 0, 0, 0}},
      {"nth = 2\nwhen_arg_contains = 'SOFTWARE'", {0, 0, 0, 0}},  // the 2nd call naming SOFTWARE: none
      {"nth = 1\nwhen_arg_contains = 'SOFTWARE'", {0, ERROR_ACCESS_DENIED, 0, 0}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.entry);
    TestMachine machine("[[faults]]\nfunction = '*'\n" + c.entry + "\n");
    EXPECT_EQ(run(), c.errors);
  }
}

// A free that a fault fails keeps its block, as on Windows; the block goes with the machine
// (the process's heap), so the sanitizer build sees no leak at exit.
TEST(FaultInjection, ABlockWhoseFreeFailedGoesWithTheMachine) {
  for (const char *function : {"LocalFree", "FreeSid"}) {
    SCOPED_TRACE(function);
    TestMachine machine(std::string("[[faults]]\nfunction = '") + function + "'\nerror = 6\n");
    HLOCAL block = LocalAlloc(LMEM_FIXED, 64);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(block && AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &sid));
    bool localFailed = LocalFree(block) != nullptr;
    bool sidFailed = FreeSid(sid) != nullptr;
    EXPECT_EQ(localFailed, std::string(function) == "LocalFree");
    EXPECT_EQ(sidFailed, std::string(function) == "FreeSid");
  }
}

// The call trace numbers each hooked call as a "*" fault counts it and names the caller
// outside winsim, also for the calls winsim makes through its own entry points.
TEST(CallTrace, RecordsEachHookedCallWithItsCallerOutsideWinsim) {
  fs::path trace = fs::temp_directory_path() / ("kvn-hooks-trace-" + std::to_string(getpid()));
  fs::remove(trace);
  setenv("WINSIM_CALL_TRACE", trace.c_str(), 1);
  {
    TestMachine machine;
    WCHAR name[MAX_PATH];
    ASSERT_NE(GetTempFileNameW(L"C:\\", L"tr", 0, name), 0u);  // opens its file with CreateFileW
    ASSERT_TRUE(DeleteFileW(name));
  }
  unsetenv("WINSIM_CALL_TRACE");
  std::string self = fs::read_symlink("/proc/self/exe").filename().string();
  std::istringstream lines(ReadText(trace));
  fs::remove(trace);
  std::vector<std::string> functions;
  std::set<std::string> sites;
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line.rfind("# machine ", 0), 0u) << line;
  for (int n = 1; std::getline(lines, line); ++n) {
    std::vector<std::string> fields;
    std::istringstream s(line);
    for (std::string f; std::getline(s, f, '\t');) fields.push_back(f);
    ASSERT_GE(fields.size(), 3u) << line;
    EXPECT_EQ(fields[0], std::to_string(n));
    functions.push_back(fields[1]);
    EXPECT_EQ(fields[2].rfind(self + "+0x", 0), 0u) << line;
    sites.insert(fields[2]);
  }
  EXPECT_EQ(functions, (std::vector<std::string>{"GetTempFileNameW", "CreateFileW", "CloseHandle", "DeleteFileW"}));
  EXPECT_EQ(sites.size(), 2u);  // the three calls of GetTempFileNameW have its call site
}

TEST(HandlesDeathTest, UseAfterCloseStopsTheRun) {
  TestMachine machine;
  machine.Write(L"C:\\data.txt", "abc");
  auto file = [] {
    return CreateFileW(L"C:\\data.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  auto key = [] {
    HKEY k = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Hooked", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    return k;
  };

  HANDLE closedFile = file();
  ASSERT_TRUE(CloseHandle(closedFile));
  WIN32_FIND_DATAW data;
  HANDLE closedFind = FindFirstFileW(L"C:\\*", &data);
  ASSERT_TRUE(FindClose(closedFind));
  HDEVINFO destroyedSet = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  ASSERT_NE(destroyedSet, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetupDiDestroyDeviceInfoList(destroyedSet));
  HKEY closedKey = key();
  ASSERT_EQ(RegCloseKey(closedKey), ERROR_SUCCESS);
  SC_HANDLE closedScm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_LOCK releasedLock = LockServiceDatabase(closedScm);
  ASSERT_TRUE(UnlockServiceDatabase(releasedLock));
  ASSERT_TRUE(CloseServiceHandle(closedScm));

  const std::string closed = " was used after it was closed";
  auto message = [&](const char *function, const void *h) {
    char text[32];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
    return std::string("winsim: simulation error: ") + function + ": handle " + text + closed;
  };
  DWORD n;
  char buf[4];
  auto member = [] {
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    return d;
  }();
  EXPECT_DEATH(ReadFile(closedFile, buf, 1, &n, nullptr), message("ReadFile", closedFile));
  EXPECT_DEATH(CloseHandle(closedFile), message("CloseHandle", closedFile));
  EXPECT_DEATH(WaitForSingleObject(closedFile, 0), message("WaitForSingleObject", closedFile));
  EXPECT_DEATH(FindNextFileW(closedFind, &data), message("FindNextFileW", closedFind));
  EXPECT_DEATH(FindClose(closedFind), message("FindClose", closedFind));
  EXPECT_DEATH(SetupDiEnumDeviceInfo(destroyedSet, 0, &member), message("SetupDiEnumDeviceInfo", destroyedSet));
  EXPECT_DEATH(SetupDiDestroyDeviceInfoList(destroyedSet), message("SetupDiDestroyDeviceInfoList", destroyedSet));
  EXPECT_DEATH(RegQueryValueExW(closedKey, L"x", nullptr, nullptr, nullptr, nullptr),
               message("RegQueryValueExW", closedKey));
  EXPECT_DEATH(RegCloseKey(closedKey), message("RegCloseKey", closedKey));
  EXPECT_DEATH(OpenServiceW(closedScm, L"x", SERVICE_ALL_ACCESS), message("OpenServiceW", closedScm));
  EXPECT_DEATH(CloseServiceHandle(closedScm), message("CloseServiceHandle", closedScm));
  EXPECT_DEATH(UnlockServiceDatabase(releasedLock), message("UnlockServiceDatabase", releasedLock));

  // COM objects after their last Release, and BSTRs after they were freed.
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  IWbemLocator *released = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                             reinterpret_cast<void **>(&released)),
            S_OK);
  ASSERT_EQ(released->Release(), 0u);
  BSTR freed = SysAllocString(L"text");
  SysFreeString(freed);
  IWbemServices *services = nullptr;
  EXPECT_DEATH(released->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
               "IWbemLocator::ConnectServer: COM object .* was used after its last Release");
  EXPECT_DEATH(released->Release(), "COM object .* was used after its last Release");
  EXPECT_DEATH(CoSetProxyBlanket(released, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
               "CoSetProxyBlanket: COM object .* was used after its last Release");
  EXPECT_DEATH(SysFreeString(freed), "SysFreeString: .* is a BSTR that was already freed");
  EXPECT_DEATH(SysStringLen(freed), "SysStringLen: .* is a BSTR that was already freed");
  CoUninitialize();

  // A value never given out is no handle: the call fails as on Windows and the run goes on.
  HANDLE unknown = reinterpret_cast<HANDLE>(uintptr_t(0x7ffc));
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(unknown));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(unknown)), ERROR_INVALID_HANDLE);
}

}  // namespace
