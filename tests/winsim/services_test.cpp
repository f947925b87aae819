// The service control manager of winsim: connections, creation and its refusals, start and
// stop after [[services]], deferred deletion, configuration changes and the database lock;
// every effect read back through the registry or machine.toml.
#include <windows.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testmachine.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";

// A service key as registry.reg holds it.
std::string ServiceKeyText(const std::string &name, int start = 3, bool deleteFlag = false) {
  std::string text = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name + "]\n" +
                     "\"Type\"=dword:00000010\n\"Start\"=dword:0000000" + std::to_string(start) + "\n" +
                     "\"ErrorControl\"=dword:00000001\n\"ImagePath\"=\"C:\\\\bin\\\\" + name + ".exe\"\n" +
                     "\"DisplayName\"=\"" + name + " display\"\n";
  if (deleteFlag) text += "\"DeleteFlag\"=dword:00000001\n";
  return text + "\n";
}

// Reopens the machine on a registry.reg written while it is closed.
void WithRegistry(TestMachine &machine, const std::string &keys) {
  winsim::CloseMachine();
  std::ofstream(machine.Dir() / "registry.reg", std::ios::binary) << "Windows Registry Editor Version 5.00\n\n" << keys;
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(machine.Dir(), error)) << error;
}

std::string ReadToml(const TestMachine &machine) {
  std::ifstream in(machine.Dir() / "machine.toml");
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool KeyExists(const std::wstring &path) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

DWORD ReadDword(const std::wstring &service, const wchar_t *value) {
  DWORD data = kSentinel, size = sizeof data;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, (kServices + service).c_str(), value, RRF_RT_REG_DWORD, nullptr, &data, &size) !=
      ERROR_SUCCESS)
    return kSentinel;
  return data;
}

std::wstring ReadText(const std::wstring &service, const wchar_t *value) {
  wchar_t data[512] = L"";
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, (kServices + service).c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, nullptr, data,
                   &size) != ERROR_SUCCESS)
    return L"(none)";
  return data;
}

SC_HANDLE Scm(DWORD access = SC_MANAGER_ALL_ACCESS) { return OpenSCManagerW(nullptr, nullptr, access); }

DWORD StateOf(SC_HANDLE service, DWORD *exitCode = nullptr) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return 0;
  if (exitCode) *exitCode = status.dwWin32ExitCode;
  return status.dwCurrentState;
}

SC_HANDLE Create(SC_HANDLE scm, const wchar_t *name, const wchar_t *display = nullptr,
                 DWORD type = SERVICE_WIN32_OWN_PROCESS, DWORD start = SERVICE_DEMAND_START) {
  return CreateServiceW(scm, name, display, SERVICE_ALL_ACCESS, type, start, SERVICE_ERROR_NORMAL, L"C:\\bin\\x.exe",
                        nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(ServiceManager, ConnectsToTheLocalActiveDatabaseOnly) {
  TestMachine machine;
  struct Case {
    const wchar_t *machineName, *database;
    DWORD error;  // ERROR_SUCCESS: a handle comes back
  } cases[] = {
      {nullptr, nullptr, ERROR_SUCCESS},
      {L"", SERVICES_ACTIVE_DATABASEW, ERROR_SUCCESS},
      {L"srv01", L"servicesactive", ERROR_SUCCESS},
      {L"\\\\SRV01", nullptr, ERROR_SUCCESS},
      {L"\\\\OTHER", nullptr, RPC_S_SERVER_UNAVAILABLE},
      {nullptr, SERVICES_FAILED_DATABASEW, ERROR_DATABASE_DOES_NOT_EXIST},
      {nullptr, L"Nonsense", ERROR_INVALID_NAME},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.machineName ? c.machineName : L"(null)") + " " +
                 winsim::ToUtf8(c.database ? c.database : L"(null)"));
    SetLastError(kSentinel);
    SC_HANDLE h = OpenSCManagerW(c.machineName, c.database, SC_MANAGER_CONNECT);
    EXPECT_EQ(h != nullptr, c.error == ERROR_SUCCESS);
    if (h) {
      EXPECT_TRUE(CloseServiceHandle(h));
    }
    if (!h) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(uintptr_t(0x7ffc))));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(ServiceManager, CreateWritesTheServiceKey) {
  TestMachine machine;
  SC_HANDLE scm = Scm();
  const wchar_t deps[] = L"Tcpip\0+NDIS\0";
  SC_HANDLE s =
      CreateServiceW(scm, L"direvo", L"Agent", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                     SERVICE_ERROR_NORMAL, L"%SystemRoot%\\direvo.exe", L"NetGroup", nullptr, deps, nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(StateOf(s), DWORD(SERVICE_STOPPED));
  EXPECT_TRUE(CloseServiceHandle(s));
  EXPECT_TRUE(CloseServiceHandle(scm));
  machine.Reopen();
  EXPECT_EQ(ReadDword(L"DIREVO", L"Type"), DWORD(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(ReadDword(L"direvo", L"Start"), DWORD(SERVICE_AUTO_START));
  EXPECT_EQ(ReadDword(L"direvo", L"ErrorControl"), DWORD(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(ReadText(L"direvo", L"ImagePath"), L"%SystemRoot%\\direvo.exe");
  EXPECT_EQ(ReadText(L"direvo", L"DisplayName"), L"Agent");
  EXPECT_EQ(ReadText(L"direvo", L"Group"), L"NetGroup");
  EXPECT_EQ(ReadText(L"direvo", L"DependOnService"), L"Tcpip");
  EXPECT_EQ(ReadText(L"direvo", L"DependOnGroup"), L"NDIS");
  EXPECT_EQ(ReadText(L"direvo", L"ObjectName"), L"LocalSystem");
  EXPECT_EQ(ReadDword(L"direvo", L"DeleteFlag"), kSentinel);
}

TEST(ServiceManager, CreateRefusals) {
  TestMachine machine;
  WithRegistry(machine, ServiceKeyText("existing") + ServiceKeyText("marked", 3, true));
  SC_HANDLE scm = Scm();
  SC_HANDLE readOnly = Scm(SC_MANAGER_CONNECT);
  const std::wstring longName(300, L'a');
  struct Case {
    SC_HANDLE manager;
    const wchar_t *name, *display;
    DWORD type, start, errorControl;
    const wchar_t *binary;
    DWORD error;
  } cases[] = {
      {scm, L"EXISTING", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_SERVICE_EXISTS},
      {scm, L"marked", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_SERVICE_MARKED_FOR_DELETE},
      {scm, L"new", L"existing display", SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_DUPLICATE_SERVICE_NAME},
      {scm, L"new", L"Existing", SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_DUPLICATE_SERVICE_NAME},
      {scm, L"existing display", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_DUPLICATE_SERVICE_NAME},
      {scm, L"", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_INVALID_NAME},
      {scm, longName.c_str(), nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_INVALID_NAME},
      {scm, L"a\\b", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_INVALID_NAME},
      {scm, nullptr, nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_INVALID_ADDRESS},
      {scm, L"new", nullptr, 0x40, 3, 1, L"x.exe", ERROR_INVALID_PARAMETER},
      {scm, L"new", nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, 1, L"x.exe", ERROR_INVALID_PARAMETER},
      {scm, L"new", nullptr, SERVICE_KERNEL_DRIVER, 5, 1, L"x.sys", ERROR_INVALID_PARAMETER},
      {scm, L"new", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 4, L"x.exe", ERROR_INVALID_PARAMETER},
      {scm, L"new", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, nullptr, ERROR_INVALID_PARAMETER},
      {readOnly, L"new", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe", ERROR_ACCESS_DENIED},
      {reinterpret_cast<SC_HANDLE>(uintptr_t(0x7ffc)), L"new", nullptr, SERVICE_WIN32_OWN_PROCESS, 3, 1, L"x.exe",
       ERROR_INVALID_HANDLE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name ? std::wstring(c.name).substr(0, 20) : L"(null)") + " error " +
                 std::to_string(c.error));
    SetLastError(kSentinel);
    EXPECT_EQ(CreateServiceW(c.manager, c.name, c.display, SERVICE_ALL_ACCESS, c.type, c.start, c.errorControl,
                             c.binary, nullptr, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_FALSE(KeyExists(kServices + L"new"));
  EXPECT_EQ(ReadText(L"existing", L"ImagePath"), L"C:\\bin\\existing.exe");
  // A boot-start driver is valid.
  SC_HANDLE driver = Create(scm, L"drv", nullptr, SERVICE_KERNEL_DRIVER, SERVICE_BOOT_START);
  EXPECT_NE(driver, nullptr);
  EXPECT_EQ(ReadText(L"drv", L"ObjectName"), L"(none)");
  CloseServiceHandle(driver);
  CloseServiceHandle(readOnly);
  CloseServiceHandle(scm);
}

TEST(ServiceManager, OpenServiceNames) {
  TestMachine machine;
  WithRegistry(machine, ServiceKeyText("direvo") +
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NoType]\n\"Start\"=dword:3\n\n");
  SC_HANDLE scm = Scm();
  struct Case {
    const wchar_t *name;
    DWORD error;
  } cases[] = {
      {L"DIREVO", ERROR_SUCCESS},
      {L"direvo display", ERROR_SERVICE_DOES_NOT_EXIST},
      {L"NoType", ERROR_SERVICE_DOES_NOT_EXIST},
      {L"", ERROR_INVALID_NAME},
      {L"x/y", ERROR_INVALID_NAME},
      {nullptr, ERROR_INVALID_ADDRESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name ? c.name : L"(null)"));
    SetLastError(kSentinel);
    SC_HANDLE s = OpenServiceW(scm, c.name, SERVICE_QUERY_STATUS);
    EXPECT_EQ(s != nullptr, c.error == ERROR_SUCCESS);
    if (s) CloseServiceHandle(s);
    if (!s) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  CloseServiceHandle(scm);
}

TEST(ServiceManager, StartFollowsOnStartAndIsSavedBack) {
  TestMachine machine(
      "[[services]]\nname = \"runs\"\n"
      "[[services]]\nname = \"pending\"\non_start = \"pending\"\n"
      "[[services]]\nname = \"fails\"\non_start = \"fails\"\nstart_error = 1067\n"
      "[[services]]\nname = \"stops\"\non_start = \"stops\"\nstart_error = 1066\n"
      "[[services]]\nname = \"running\"\nstate = \"running\"\n");
  WithRegistry(machine, ServiceKeyText("runs") + ServiceKeyText("pending") + ServiceKeyText("fails") +
                            ServiceKeyText("stops") + ServiceKeyText("running") + ServiceKeyText("disabled", 4) +
                            ServiceKeyText("unlisted"));
  struct Case {
    const wchar_t *name;
    BOOL started;
    DWORD error, state, exitCode;
  } cases[] = {
      {L"runs", TRUE, ERROR_SUCCESS, SERVICE_RUNNING, ERROR_SUCCESS},
      {L"unlisted", TRUE, ERROR_SUCCESS, SERVICE_RUNNING, ERROR_SUCCESS},
      {L"pending", TRUE, ERROR_SUCCESS, SERVICE_START_PENDING, ERROR_SUCCESS},
      {L"fails", FALSE, 1067, SERVICE_STOPPED, ERROR_SERVICE_NEVER_STARTED},
      {L"stops", TRUE, ERROR_SUCCESS, SERVICE_STOPPED, 1066},
      {L"running", FALSE, ERROR_SERVICE_ALREADY_RUNNING, SERVICE_RUNNING, ERROR_SUCCESS},
      {L"disabled", FALSE, ERROR_SERVICE_DISABLED, SERVICE_STOPPED, ERROR_SERVICE_NEVER_STARTED},
  };
  SC_HANDLE scm = Scm();
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name));
    SC_HANDLE s = OpenServiceW(scm, c.name, SERVICE_ALL_ACCESS);
    ASSERT_NE(s, nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(StartServiceW(s, 0, nullptr), c.started);
    if (!c.started) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    DWORD exitCode = kSentinel;
    EXPECT_EQ(StateOf(s, &exitCode), c.state);
    EXPECT_EQ(exitCode, c.exitCode);
    CloseServiceHandle(s);
  }
  // A handle without SERVICE_START may only look.
  SC_HANDLE query = OpenServiceW(scm, L"stops", SERVICE_QUERY_STATUS);
  SetLastError(kSentinel);
  EXPECT_FALSE(StartServiceW(query, 0, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseServiceHandle(query);
  CloseServiceHandle(scm);

  machine.Reopen();
  std::string toml = ReadToml(machine);
  EXPECT_NE(toml.find("name = 'unlisted'\non_start = 'runs'\nstart_error = 1053\nstate = 'running'"), std::string::npos)
      << toml;
  EXPECT_NE(toml.find("name = 'pending'\non_start = 'pending'\nstart_error = 1053\nstate = 'start_pending'"),
            std::string::npos)
      << toml;
  EXPECT_EQ(toml.find("'disabled'"), std::string::npos) << "a service that never ran needs no entry";
  scm = Scm();
  SC_HANDLE s = OpenServiceW(scm, L"runs", SERVICE_QUERY_STATUS);
  EXPECT_EQ(StateOf(s), DWORD(SERVICE_RUNNING));
  CloseServiceHandle(s);
  CloseServiceHandle(scm);
}

TEST(ServiceManager, StopAcceptedOnlyByARunningService) {
  TestMachine machine(
      "[[services]]\nname = \"running\"\nstate = \"running\"\n"
      "[[services]]\nname = \"pending\"\nstate = \"start_pending\"\n");
  WithRegistry(machine, ServiceKeyText("running") + ServiceKeyText("pending") + ServiceKeyText("stopped"));
  struct Case {
    const wchar_t *name;
    DWORD control;
    BOOL accepted;
    DWORD error, stateAfter;
  } cases[] = {
      {L"running", SERVICE_CONTROL_INTERROGATE, TRUE, ERROR_SUCCESS, SERVICE_RUNNING},
      {L"running", SERVICE_CONTROL_STOP, TRUE, ERROR_SUCCESS, SERVICE_STOPPED},
      {L"running", SERVICE_CONTROL_STOP, FALSE, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
      {L"stopped", SERVICE_CONTROL_STOP, FALSE, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
      {L"pending", SERVICE_CONTROL_STOP, FALSE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_START_PENDING},
      {L"pending", 0, FALSE, ERROR_INVALID_PARAMETER, SERVICE_START_PENDING},
  };
  SC_HANDLE scm = Scm();
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name) + " control " + std::to_string(c.control));
    SC_HANDLE s = OpenServiceW(scm, c.name, SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    SetLastError(kSentinel);
    EXPECT_EQ(ControlService(s, c.control, &status), c.accepted);
    if (!c.accepted) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(StateOf(s), c.stateAfter);
    CloseServiceHandle(s);
  }
  CloseServiceHandle(scm);
}

TEST(ServiceManager, DeletionWaitsForTheStopAndTheLastHandle) {
  TestMachine machine("[[services]]\nname = \"agent\"\nstate = \"running\"\n");
  WithRegistry(machine, ServiceKeyText("agent") + ServiceKeyText("idle") + ServiceKeyText("held", 3, true));
  SC_HANDLE scm = Scm();
  SC_HANDLE agent = OpenServiceW(scm, L"agent", SERVICE_ALL_ACCESS);
  SC_HANDLE second = OpenServiceW(scm, L"agent", SERVICE_QUERY_STATUS);
  ASSERT_TRUE(DeleteService(agent));
  EXPECT_EQ(ReadDword(L"agent", L"DeleteFlag"), 1u);

  // Marked: it still opens, but nothing else is done to it.
  SC_HANDLE third = OpenServiceW(scm, L"agent", SERVICE_ALL_ACCESS);
  ASSERT_NE(third, nullptr);
  struct Case {
    const char *call;
    BOOL result;
  } refused[] = {
      {"DeleteService", DeleteService(third)},
      {"StartServiceW", StartServiceW(third, 0, nullptr)},
      {"ChangeServiceConfigW", ChangeServiceConfigW(third, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)},
      {"CreateServiceW", Create(scm, L"agent") != nullptr},
  };
  for (const Case &c : refused) {
    SCOPED_TRACE(c.call);
    EXPECT_FALSE(c.result);
  }
  SetLastError(kSentinel);
  EXPECT_EQ(Create(scm, L"Agent"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(ReadDword(L"agent", L"Start"), 3u);

  // Running with handles open, then stopped with handles open: the key stays.
  CloseServiceHandle(third);
  CloseServiceHandle(second);
  EXPECT_TRUE(KeyExists(kServices + L"agent"));
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(agent, SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(KeyExists(kServices + L"agent"));
  EXPECT_TRUE(CloseServiceHandle(agent));
  EXPECT_FALSE(KeyExists(kServices + L"agent"));
  SetLastError(kSentinel);
  EXPECT_EQ(OpenServiceW(scm, L"agent", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));

  // A service marked before the run is held by another process: it stays marked.
  SC_HANDLE held = OpenServiceW(scm, L"held", SERVICE_ALL_ACCESS);
  ASSERT_NE(held, nullptr);
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteService(held));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
  CloseServiceHandle(held);
  EXPECT_TRUE(KeyExists(kServices + L"held"));

  // A stopped service marked with its handle left open goes when the process ends.
  SC_HANDLE idle = OpenServiceW(scm, L"idle", DELETE);
  ASSERT_TRUE(DeleteService(idle));
  machine.Reopen();
  EXPECT_FALSE(KeyExists(kServices + L"idle"));
  EXPECT_TRUE(KeyExists(kServices + L"held"));
  EXPECT_EQ(ReadToml(machine).find("agent"), std::string::npos);
}

TEST(ServiceManager, ChangeConfigKeepsWhatIsNotChanged) {
  TestMachine machine;
  WithRegistry(machine, ServiceKeyText("direvo") + ServiceKeyText("other"));
  SC_HANDLE scm = Scm();
  SC_HANDLE s = OpenServiceW(scm, L"direvo", SERVICE_CHANGE_CONFIG);
  ASSERT_TRUE(ChangeServiceConfigW(s, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, L"New name"));
  EXPECT_EQ(ReadDword(L"direvo", L"Start"), DWORD(SERVICE_DISABLED));
  EXPECT_EQ(ReadDword(L"direvo", L"Type"), DWORD(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(ReadText(L"direvo", L"ImagePath"), L"C:\\bin\\direvo.exe");
  EXPECT_EQ(ReadText(L"direvo", L"DisplayName"), L"New name");
  struct Case {
    DWORD type, start;
    const wchar_t *display;
    DWORD error;
  } refused[] = {
      {SERVICE_NO_CHANGE, 7, nullptr, ERROR_INVALID_PARAMETER},
      {SERVICE_NO_CHANGE, SERVICE_BOOT_START, nullptr, ERROR_INVALID_PARAMETER},
      {SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, L"other display", ERROR_DUPLICATE_SERVICE_NAME},
  };
  for (const Case &c : refused) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ChangeServiceConfigW(s, c.type, c.start, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, c.display));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(ReadDword(L"direvo", L"Start"), DWORD(SERVICE_DISABLED));
  CloseServiceHandle(s);
  CloseServiceHandle(scm);
}

TEST(ServiceManager, DatabaseLock) {
  struct Case {
    const char *toml;
    bool firstGranted;   // at the opening
    bool secondGranted;  // while this process holds the first
    DWORD waitMs;        // after which the held lock is gone
  } cases[] = {
      {"[machine]\nclock = \"2026-12-08T14:30:00\"\nservice_lock_held_ms = 5000\n", true, true, 0},
      {"[os]\nmajor = 5\nminor = 2\n[machine]\nclock = \"2026-12-08T14:30:00\"\n", true, false, 0},
      {"[os]\nmajor = 5\nminor = 2\n[machine]\nclock = \"2026-12-08T14:30:00\"\nservice_lock_held_ms = 5000\n", false,
       false, 5000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.toml);
    TestMachine machine(c.toml);
    SC_HANDLE scm = Scm();
    SetLastError(kSentinel);
    SC_LOCK first = LockServiceDatabase(scm);
    EXPECT_EQ(first != nullptr, c.firstGranted);
    if (!first) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DATABASE_LOCKED));
      Sleep(c.waitMs - 1);
      EXPECT_EQ(LockServiceDatabase(scm), nullptr);
      Sleep(1);
      first = LockServiceDatabase(scm);
      ASSERT_NE(first, nullptr);
    }
    SetLastError(kSentinel);
    SC_LOCK second = LockServiceDatabase(scm);
    EXPECT_EQ(second != nullptr, c.secondGranted);
    if (second) {
      EXPECT_TRUE(UnlockServiceDatabase(second));
    }
    if (!second) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DATABASE_LOCKED));
    }
    EXPECT_TRUE(UnlockServiceDatabase(first));
    SC_LOCK again = LockServiceDatabase(scm);
    EXPECT_NE(again, nullptr);
    EXPECT_TRUE(UnlockServiceDatabase(again));
    SetLastError(kSentinel);
    EXPECT_FALSE(UnlockServiceDatabase(nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SERVICE_LOCK));
    SC_HANDLE noLockRight = Scm(SC_MANAGER_CONNECT);
    EXPECT_EQ(LockServiceDatabase(noLockRight), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    CloseServiceHandle(noLockRight);
    CloseServiceHandle(scm);
  }
}

TEST(ServiceManager, ProgramThatInstallsAServiceCreatesIt) {
  TestMachine machine(
      "[[programs]]\nname = \"direvo.exe\"\n[programs.creates_service]\nwhen_args = \"/install\"\n"
      "name = \"direvo\"\ndisplay_name = \"Agent\"\nstart_type = 2\n");
  machine.Write(L"C:\\bin\\direvo.exe", "MZ");
  struct Case {
    const wchar_t *commandLine;
    bool creates;
  } cases[] = {{L"C:\\bin\\direvo.exe /version", false}, {L"C:\\bin\\direvo.exe /install", true}};
  for (const Case &c : cases) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring line = c.commandLine;
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_EQ(KeyExists(kServices + L"direvo"), c.creates);
  }
  EXPECT_EQ(ReadText(L"direvo", L"ImagePath"), L"C:\\bin\\direvo.exe");
  EXPECT_EQ(ReadDword(L"direvo", L"Start"), DWORD(SERVICE_AUTO_START));
  EXPECT_EQ(ReadText(L"direvo", L"DisplayName"), L"Agent");
}

}  // namespace
