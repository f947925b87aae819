// The agent service and the diagnostic driver: InstallOcdAgent over the machine's programs
// and services with both logs, and the command and INF helpers.
#include "adapter/agent.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "adapter/component.h"
#include "system/servicecontrol.h"
#include "testmachine.h"

namespace {

const std::wstring kLogDir = L"C:\\vadorurev\\log\\";
const std::wstring kSystem = L"C:\\Windows\\System32";

// The text both logs gained while `action` ran, as (normal, verbose).
template <class Action>
std::pair<std::string, std::string> LogsOf(const TestMachine &machine, Action action) {
  auto read = [&](bool normal) {
    std::string text;
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(machine.Host(kLogDir), ec))
      if ((e.path().filename() == "kvnsetup.log") == normal)
        text = machine.Read(kLogDir + e.path().filename().wstring());
    return text;
  };
  std::string normal = read(true), verbose = read(false);
  action();
  return {read(true).substr(normal.size()), read(false).substr(verbose.size())};
}

// A component loaded by a host in C:\Package with a verbose log, binding the log the agent
// functions write to.
struct Adapter : CComponent {
  explicit Adapter(const TestMachine &machine) {
    machine.SetProcess(L"C:\\Package\\setup.exe", L"\"C:\\Package\\setup.exe\" /verbose_log", L"C:\\Package");
    Initialize();
  }
};

std::string Verbose(const char *source, int line, const std::string &text) {
  return std::string("[14:30:00]::") + source + "[" + std::to_string(line) + "] " + text;
}

const std::string kFileInstalled = Verbose("component.cpp", 1603, "Entering InstallDriverFile function.\n") +
                                   Verbose("component.cpp", 1612, "InstallDriverFile: success.\n");
const std::string kFileFailed = Verbose("component.cpp", 1603, "Entering InstallDriverFile function.\n") +
                                Verbose("component.cpp", 1656, "InstallDriverFile: failure\n");
const std::string kRunInstall =
    Verbose("installation.cpp", 64, "executecommand: C:\\Windows\\system32\\direvo.exe /install\r\n");

// The agent program: its "/install" run creates the service unless `creates` is false.
std::string Agent(bool creates = true) {
  std::string text = "[[programs]]\nname = \"direvo.exe\"\nexit_code = 5\n";
  if (creates) text += "[programs.creates_service]\nwhen_args = \"/install\"\nname = \"direvo\"\n";
  return text;
}

}  // namespace

TEST(Agent, InstallOcdAgent) {
  const std::string started = "Intel OCD Agent service started.\r\n";
  const std::string bothFiles =
      "Intel diagnostic driver installed successfully.\r\n"
      "Intel OCD Agent file installed successfully.\r\n";
  const std::string ran = "Intel OCD Agent /install processed with return code : 1\r\n";
  const struct {
    const char *name;
    std::string toml;
    bool driverPackaged, agentPackaged, runningBefore, oldAgent;
    int result, reboot;
    bool runningAfter;
    std::string normal, verbose;
  } cases[] = {
      {"installed and started", Agent(), true, true, false, false, 1, 0, true, bothFiles + ran + started,
       kFileInstalled + kFileInstalled + kRunInstall},
      {"the service already running", Agent(false), true, true, true, false, 1, 0, true, bothFiles + ran + started,
       kFileInstalled + kFileInstalled + kRunInstall},
      {"/install does not create the service", Agent(false), true, true, false, false, 1, 0, false,
       bothFiles + ran + "Intel OCD Agent service not found.\r\n", kFileInstalled + kFileInstalled + kRunInstall},
      {"a service that will not start", Agent() + "[[services]]\nname = \"direvo\"\non_start = \"fails\"\n", true, true,
       false, false, 1, 0, false, bothFiles + ran + "Intel OCD Agent service unable to start.\r\n",
       kFileInstalled + kFileInstalled + kRunInstall},
      {"a service not running after its start", Agent() + "[[services]]\nname = \"direvo\"\non_start = \"stops\"\n",
       true, true, false, false, 1, 1, false,
       bothFiles + ran + "Intel OCD Agent service did not start.  A reboot is required.\r\n",
       kFileInstalled + kFileInstalled + kRunInstall},
      {"the agent program cannot be started", Agent() + "[[faults]]\nfunction = \"CreateProcessW\"\nerror = 2\n", true,
       true, false, false, 1, 0, false,
       bothFiles + "Intel OCD Agent /install processed with return code : 0\r\nIntel OCD Agent service not found.\r\n",
       kFileInstalled + kFileInstalled + kRunInstall +
           Verbose("installation.cpp", 79, "CreateProcess failed with 2.\r\n")},
      {"a locked running agent moved aside",
       Agent() + "[[locked_files]]\npath = 'C:\\Windows\\System32\\direvo.exe'\nerror = 32\nrename = true\n", true,
       true, true, true, 1, 0, true, bothFiles + ran + started, kFileInstalled + kFileInstalled + kRunInstall},
      {"the diagnostic driver fails", Agent(), false, true, false, false, 1, 0, true,
       "Intel diagnostic driver did not install successfully.\r\nIntel OCD Agent file installed successfully.\r\n" +
           ran + started,
       kFileFailed + kFileInstalled + kRunInstall},
      {"the agent file fails", Agent(), true, false, false, false, 0, 0, false,
       "Intel diagnostic driver installed successfully.\r\nIntel OCD Agent did not install successfully.\r\n",
       kFileInstalled + kFileFailed},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(c.toml);
    std::filesystem::create_directories(machine.Host(kSystem + L"\\drivers"));
    if (c.driverPackaged) machine.Write(L"C:\\Package\\vode64r.sys", "driver");
    if (c.agentPackaged) machine.Write(L"C:\\Package\\direvo.exe", "agent");
    if (c.oldAgent) machine.Write(kSystem + L"\\direvo.exe", "old agent");
    Adapter component(machine);
    if (c.runningBefore) {
      CServiceControl service(L"direvo");
      ASSERT_TRUE(service.Create(L"direvo", L"C:\\Windows\\system32\\direvo.exe", SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_AUTO_START, nullptr, nullptr));
      ASSERT_TRUE(service.Start());
    }
    int reboot = -1, result = -1;
    auto [normal, verbose] = LogsOf(machine, [&] { result = InstallOcdAgent(&reboot); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(reboot, c.reboot);
    EXPECT_EQ(normal, c.normal);
    EXPECT_EQ(verbose, c.verbose);
    EXPECT_EQ(CServiceControl(L"direvo").IsRunning(), c.runningAfter);
    EXPECT_EQ(machine.Exists(kSystem + L"\\drivers\\vode64r.sys"), c.driverPackaged);
    if (c.agentPackaged) {
      EXPECT_EQ(machine.Read(kSystem + L"\\direvo.exe"), "agent");
    }
    // The old locked file stays beside the new one under a temporary name.
    size_t others = 0;
    for (auto &e : std::filesystem::directory_iterator(machine.Host(kSystem)))
      if (e.path().filename().string().rfind("TMP", 0) == 0) ++others;
    EXPECT_EQ(others, c.oldAgent ? 1u : 0u);
  }
}

TEST(Agent, CommandRunners) {
  const char *programs = "[[programs]]\nname = \"tool.exe\"\nexit_code = 7\nruns_ms = 2000\n";
  const struct {
    const wchar_t *command;
    bool started;
    DWORD exitCode;
    std::string verbose;
    DWORD agentResult;  // RunOcdAgentCommand
  } cases[] = {
      {L"C:\\Tools\\tool.exe /x", true, 7,
       Verbose("installation.cpp", 64, "executecommand: C:\\Tools\\tool.exe /x\r\n"), 7},
      {L"C:\\Tools\\nosuch.exe", false, 98,
       Verbose("installation.cpp", 64, "executecommand: C:\\Tools\\nosuch.exe\r\n") +
           Verbose("installation.cpp", 79, "CreateProcess failed with 2.\r\n"),
       15},
      {nullptr, false, 98,
       Verbose("installation.cpp", 64, "executecommand: \r\n") +
           Verbose("installation.cpp", 79, "CreateProcess failed with 57.\r\n"),
       15},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.verbose);
    TestMachine machine(programs);
    machine.Write(L"C:\\Tools\\tool.exe", "tool");
    Adapter component(machine);
    std::wstring line = c.command ? c.command : L"";
    DWORD exitCode = 0xdeadbeef;
    bool started = false;
    auto [normal, verbose] =
        LogsOf(machine, [&] { started = executecommand(c.command ? line.data() : nullptr, &exitCode); });
    EXPECT_EQ(started, c.started);
    EXPECT_EQ(exitCode, c.exitCode);
    EXPECT_EQ(normal, "");
    EXPECT_EQ(verbose, c.verbose);
    EXPECT_EQ(executecommand(c.command ? line.data() : nullptr), c.started);  // no out argument
    auto [agentNormal, agentVerbose] =
        LogsOf(machine, [&] { EXPECT_EQ(RunOcdAgentCommand(c.command), c.agentResult); });
    EXPECT_EQ(agentNormal + agentVerbose, "");
  }
}

TEST(Agent, InstallOemInf) {
  const std::string entering = Verbose("installation.cpp", 112, "Entering InstallOemINF function.\n");
  const std::string exiting = Verbose("installation.cpp", 141, "Exiting InstallOemINF function.\n");
  const struct {
    const char *name;
    std::string toml;
    bool staged;
    bool result;
    std::string verbose;
  } cases[] = {
      {"the staged INF", "", true, true, entering + exiting},
      {"no staged INF", "", false, false, entering + exiting},
      {"setupapi.dll without the export", "[os]\nmissing_exports = [\"setupapi.dll!SetupCopyOEMInfW\"]\n", true, false,
       entering + exiting},
      {"no setupapi.dll", "[os]\nmissing_dlls = [\"setupapi.dll\"]\n", true, false, entering},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(c.toml);
    std::filesystem::create_directories(machine.Host(L"C:\\Windows\\INF"));
    // Staged after the log opened: opening it sets a folder made outside the component aside.
    Adapter component(machine);
    if (c.staged)
      machine.Write(L"C:\\VADORUREV\\pnpdrvs\\z40e64.inf",
                    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\nProvider=Intel\r\n");
    bool result = !c.result;
    auto [normal, verbose] = LogsOf(machine, [&] { result = InstallOemINF(L"z40e64.inf"); });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(normal, "");
    EXPECT_EQ(verbose, c.verbose);
    EXPECT_EQ(machine.Exists(L"C:\\Windows\\INF\\oem0.inf"), c.result);
  }
}
