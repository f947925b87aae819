// CServiceControl and CServiceManager on the simulated machine: what each operation answers
// and what it leaves in the registry, including the waits (virtual time) and the database
// lock of a machine before Windows Vista.
#include "system/servicecontrol.h"

#include <gtest/gtest.h>
#include <winsim.h>

#include <fstream>
#include <string>
#include <vector>

#include "testmachine.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";
const std::wstring kEventLog = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";
const std::wstring kLegacy = L"SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_";

std::string ServiceKey(const std::string &name, int start = 3, bool deleteFlag = false) {
  std::string text = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name +
                     "]\n\"Type\"=dword:00000010\n\"Start\"=dword:0000000" + std::to_string(start) +
                     "\n\"ErrorControl\"=dword:00000001\n\"ImagePath\"=\"C:\\\\bin\\\\agent.exe\"\n";
  if (deleteFlag) text += "\"DeleteFlag\"=dword:00000001\n";
  return text + "\n";
}

std::string EventLogKey(const std::string &name) {
  return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\" + name +
         "]\n\"TypesSupported\"=dword:00000007\n\n";
}

std::string LegacyKey(const std::string &name, const std::string &statusFlags) {
  return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_" + name +
         "\\0000]\n\"StatusFlags\"=dword:" + statusFlags + "\n\n";
}

// Reopens the machine on a registry.reg written while it is closed.
void WithRegistry(TestMachine &machine, const std::string &keys) {
  winsim::CloseMachine();
  std::ofstream(machine.Dir() / "registry.reg", std::ios::binary) << "Windows Registry Editor Version 5.00\n\n" << keys;
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(machine.Dir(), error)) << error;
}

bool KeyExists(const std::wstring &path) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

DWORD ReadDword(const std::wstring &path, const wchar_t *value) {
  DWORD data = kSentinel, size = sizeof data;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), value, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS)
    return kSentinel;
  return data;
}

DWORD StateOf(const wchar_t *name) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE s = OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  DWORD state = s && QueryServiceStatus(s, &status) ? status.dwCurrentState : 0;
  if (s) CloseServiceHandle(s);
  CloseServiceHandle(scm);
  return state;
}

TEST(ServiceControl, ExistsNeedsTheServiceAndItsKeyOpenedWithFullAccess) {
  TestMachine machine(
      "[[key_security]]\npath = 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\guarded'\nowner = \"SYSTEM\"\n"
      "allow = [ { who = \"SYSTEM\", access = \"full\" }, { who = \"Administrators\", access = \"read\" } ]\n");
  WithRegistry(machine, ServiceKey("agent") + ServiceKey("guarded"));
  const std::wstring tooLong(300, L'a');
  struct Case {
    const wchar_t *machineName, *name;
    bool exists;
  } cases[] = {
      {nullptr, L"agent", true},       {L"SRV01", L"AGENT", true},        {nullptr, L"missing", false},
      {nullptr, L"", false},           {nullptr, nullptr, false},         {nullptr, L"guarded", false},
      {L"\\\\OTHER", L"agent", false}, {nullptr, tooLong.c_str(), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name ? c.name : L"(null)"));
    if (c.machineName) {
      CServiceControl service(c.machineName, c.name);
      EXPECT_EQ(service.Exists(), c.exists);
    } else {
      CServiceControl service(c.name);
      EXPECT_EQ(service.Exists(), c.exists);
    }
  }
}

TEST(ServiceControl, StartWaitsForRunningAtMostSixtySeconds) {
  TestMachine machine(
      "[[services]]\nname = \"running\"\nstate = \"running\"\non_start = \"fails\"\n"
      "[[services]]\nname = \"pending\"\non_start = \"pending\"\n"
      "[[services]]\nname = \"fails\"\non_start = \"fails\"\n"
      "[[services]]\nname = \"stops\"\non_start = \"stops\"\n");
  WithRegistry(machine, ServiceKey("running") + ServiceKey("pending") + ServiceKey("fails") + ServiceKey("stops") +
                            ServiceKey("plain") + ServiceKey("disabled", 4));
  struct Case {
    const wchar_t *name;
    bool started, runningAfter;
    DWORD waitedMs;
  } cases[] = {
      {L"running", true, true, 0},                                      // StartServiceW would fail: it is not called
      {L"plain", true, true, 0},      {L"pending", true, true, 60000},  // still START_PENDING, which counts as running
      {L"fails", false, false, 0},    {L"stops", true, false, 60000},
      {L"disabled", false, false, 0}, {L"missing", false, false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name));
    CServiceControl service(c.name);
    DWORD before = GetTickCount();
    EXPECT_EQ(service.Start(), c.started);
    EXPECT_EQ(GetTickCount() - before, c.waitedMs);
    EXPECT_EQ(service.IsRunning(), c.runningAfter);
  }
  EXPECT_EQ(StateOf(L"pending"), DWORD(SERVICE_START_PENDING));
}

TEST(ServiceControl, StopAndControl) {
  TestMachine machine("[[services]]\nname = \"running\"\nstate = \"running\"\n");
  WithRegistry(machine, ServiceKey("running") + ServiceKey("stopped"));
  CServiceControl running(L"running");
  SERVICE_STATUS status{};
  EXPECT_TRUE(running.Control(SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_RUNNING));
  EXPECT_TRUE(running.Stop());
  EXPECT_EQ(StateOf(L"running"), DWORD(SERVICE_STOPPED));
  EXPECT_FALSE(running.Stop());
  CServiceControl stopped(L"stopped");
  EXPECT_FALSE(stopped.Stop());
  EXPECT_FALSE(stopped.Control(SERVICE_CONTROL_STOP));
  CServiceControl missing(L"missing");
  EXPECT_FALSE(missing.Stop());
}

TEST(ServiceControl, RemoveDisablesOrDeletesAndTakesTheEventLogSource) {
  struct Case {
    const char *name;
    bool running, force, result;
    DWORD startAfter;       // kSentinel: the key is gone
    DWORD deleteFlagAfter;  // kSentinel: none
    bool eventLogAfter;
  } cases[] = {
      {"agent", true, false, true, SERVICE_DISABLED, kSentinel, true},  // only disabled
      {"agent", true, true, true, 3, 1, false},                         // deleted when it stops
      {"agent", false, false, true, kSentinel, kSentinel, false},       // stopped: gone at once
      {"agent", false, true, true, kSentinel, kSentinel, false},
      {"marked", false, true, false, 3, 1, false},                   // already marked, held elsewhere
      {"missing", false, false, true, kSentinel, kSentinel, false},  // the leftover source goes
      {"guarded", false, false, true, kSentinel, kSentinel, false},  // refused, then granted
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.running ? " running" : " stopped") + (c.force ? " force" : ""));
    std::string toml = "protected_keys = ['HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\guarded']\n";
    if (c.running) toml += "[[services]]\nname = \"agent\"\nstate = \"running\"\n";
    TestMachine machine(toml);
    std::string keys = EventLogKey(c.name);
    if (std::string(c.name) != "missing" && std::string(c.name) != "guarded")
      keys += ServiceKey(c.name, 3, std::string(c.name) == "marked");
    WithRegistry(machine, keys);
    std::wstring name = winsim::FromUtf8(c.name);
    CServiceControl service(name.c_str());
    EXPECT_EQ(service.Remove(c.force), c.result);
    EXPECT_EQ(ReadDword(kServices + name, L"Start"), c.startAfter);
    EXPECT_EQ(ReadDword(kServices + name, L"DeleteFlag"), c.deleteFlagAfter);
    EXPECT_EQ(KeyExists(kEventLog + name), c.eventLogAfter);
  }
}

TEST(ServiceControl, StartTypeDisableAndPendingRemoval) {
  TestMachine machine;
  WithRegistry(machine, ServiceKey("agent") + ServiceKey("marked", 2, true) + LegacyKey("GONE", "00040008") +
                            LegacyKey("OTHER", "00040009") + LegacyKey("AGENT", "00000000"));
  struct Case {
    const wchar_t *name;
    bool pendingRemoval, disabled;
  } cases[] = {
      {L"agent", false, false}, {L"marked", true, false},
      {L"gone", true, false},    // no service, a legacy instance waiting for removal
      {L"other", false, false},  // another StatusFlags value
      {L"", false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name));
    CServiceControl service(c.name);
    EXPECT_EQ(service.IsPendingRemoval(), c.pendingRemoval);
    EXPECT_EQ(service.IsDisabled(), c.disabled);
  }
  CServiceControl agent(L"agent");
  EXPECT_TRUE(agent.Disable());
  EXPECT_TRUE(agent.IsDisabled());
  EXPECT_EQ(ReadDword(kServices + L"agent", L"Start"), DWORD(SERVICE_DISABLED));
  EXPECT_TRUE(agent.HasLegacyInstance());
  EXPECT_FALSE(agent.HasRootInstance());

  // SetStartType clears the deletion mark with the start type.
  CServiceControl marked(L"marked");
  EXPECT_TRUE(marked.SetStartType(SERVICE_DEMAND_START));
  EXPECT_EQ(ReadDword(kServices + L"marked", L"Start"), DWORD(SERVICE_DEMAND_START));
  EXPECT_EQ(ReadDword(kServices + L"marked", L"DeleteFlag"), kSentinel);
  EXPECT_FALSE(marked.IsPendingRemoval());

  CServiceControl missing(L"missing");
  EXPECT_FALSE(missing.Disable());
  EXPECT_FALSE(missing.SetStartType(SERVICE_AUTO_START));
  EXPECT_FALSE(KeyExists(kServices + L"missing"));
}

// Disable and SetStartType write the service key behind the SCM's back: the running SCM,
// in this run and the next one, still starts and deletes as its database says, and the
// values take effect at the restart.
TEST(ServiceControl, StartTypeWritesTakeEffectAtTheRestart) {
  struct Case {
    const char *what;
    std::string keys;
    bool (*act)(CServiceControl &);
    bool startsBefore, startsAfterRestart, keptByRestart;
  } cases[] = {
      {"disabled", ServiceKey("agent"), [](CServiceControl &s) { return s.Disable(); }, true, false, true},
      {"demand start, was disabled", ServiceKey("agent", SERVICE_DISABLED),
       [](CServiceControl &s) { return s.SetStartType(SERVICE_DEMAND_START); }, false, true, true},
      // The deletion mark cleared in the registry: the SCM still refuses the start, and the
      // boot reads no mark, so the service stays.
      {"mark cleared", ServiceKey("agent", 3, true),
       [](CServiceControl &s) { return s.SetStartType(SERVICE_AUTO_START); }, false, true, true},
      // Marked by DeleteService while it runs, then its deletion mark cleared: the SCM deletes
      // it once stopped, in this run.
      {"deleted, mark cleared", ServiceKey("agent"),
       [](CServiceControl &s) { return s.Remove(true) && s.SetStartType(SERVICE_AUTO_START); }, false, false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine("[[services]]\nname = \"agent\"\nstate = \"running\"\n");
    WithRegistry(machine, c.keys);
    CServiceControl service(L"agent");
    ASSERT_TRUE(c.act(service));
    (void)service.Stop();
    // The next run continues the same boot.
    winsim::CloseMachine();
    std::string error;
    ASSERT_TRUE(winsim::OpenMachine(machine.Dir(), error)) << error;
    EXPECT_EQ(service.Start(), c.startsBefore);
    (void)service.Stop();
    std::vector<winsim::RestartStep> steps;
    ASSERT_TRUE(winsim::RestartMachine(steps, error)) << error;
    EXPECT_EQ(KeyExists(kServices + L"agent"), c.keptByRestart);
    EXPECT_EQ(service.Start(), c.startsAfterRestart);
  }
}

TEST(ServiceControl, CreateTakesTheDatabaseLockAndWaitsForIt) {
  const std::string preVista = "[os]\nmajor = 5\nminor = 2\n[machine]\nclock = \"2026-12-08T14:30:00\"\n";
  struct Case {
    std::string toml;
    const wchar_t *name;
    bool created;
    DWORD waitedMs;
  } cases[] = {
      {"", L"agent", true, 0},
      {preVista, L"agent", true, 0},
      {preVista + "service_lock_held_ms = 4500\n", L"agent", true, 5000},
      {preVista + "service_lock_held_ms = 60000\n", L"agent", true, 60000},  // the 60th retry
      {preVista + "service_lock_held_ms = 60001\n", L"agent", false, 60000},
      {"", L"", false, 0},
      {preVista, L"existing", false, 0},  // the failed creation gives the lock back too
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.toml + winsim::ToUtf8(c.name));
    TestMachine machine(c.toml);
    WithRegistry(machine, ServiceKey("existing"));
    {
      CServiceControl service(c.name);
      DWORD before = GetTickCount();
      EXPECT_EQ(service.Create(L"Agent", L"C:\\bin\\agent.exe", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, nullptr,
                               nullptr),
                c.created);
      EXPECT_EQ(GetTickCount() - before, c.waitedMs);
    }
    if (*c.name) {
      EXPECT_EQ(KeyExists(kServices + c.name), c.created || std::wstring(c.name) == L"existing");
    }
    if (c.created) {
      EXPECT_EQ(ReadDword(kServices + c.name, L"Start"), DWORD(SERVICE_AUTO_START));
    }
    // The lock was given back: another connection gets it at once.
    if (c.waitedMs < 60000) {
      CServiceManager manager;
      ASSERT_TRUE(manager.Open());
      DWORD before = GetTickCount();
      EXPECT_TRUE(manager.Lock());
      EXPECT_EQ(GetTickCount(), before);
      EXPECT_TRUE(manager.Unlock());
      EXPECT_FALSE(manager.Unlock());
      EXPECT_TRUE(manager.Close());
      EXPECT_FALSE(manager.Lock());  // not open
    }
  }
}

TEST(ServiceControl, RemoveLegacyDevice) {
  TestMachine machine(
      "[[devices]]\ninstance_id = 'ROOT\\LEGACY_VODE\\0000'\nclass = \"LegacyDriver\"\n"
      "class_guid = \"{8ECC055D-047F-11D1-A537-0000F8753ED1}\"\n");
  struct Case {
    const wchar_t *service, *className;
    bool removed;
  } cases[] = {
      {L"vode", L"Net", false},  // another class's set refuses the device
      {L"vode", L"", false},
      {L"vode", L"NoSuchClass", false},  // no setup class of that name: nothing is removed
      {L"", L"LegacyDriver", false},
      {L"other", L"LegacyDriver", false},
      {L"vode", L"LegacyDriver", true},
      {L"vode", L"LegacyDriver", false},  // gone
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.service) + " " + winsim::ToUtf8(c.className));
    CServiceControl service(c.service);
    EXPECT_EQ(service.RemoveLegacyDevice(c.className), c.removed);
  }
  EXPECT_FALSE(KeyExists(kLegacy + L"VODE\\0000"));
}

}  // namespace
