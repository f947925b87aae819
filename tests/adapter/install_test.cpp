// The adapter component's installation: the disable and re-enable passes around the driver
// step, the Intel devices' driver update and file staging per Windows family, the generic
// installation with the agent on machines without Intel devices, the reboot requests and the
// log each path writes. Machines and packages are built by each case.
#include <gtest/gtest.h>
#include <winsim.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "adapter/component.h"
#include "adapter/driverfile.h"
#include "devices/devenum.h"
#include "testmachine.h"

namespace {

const std::wstring kLogDir = L"C:\\vadorurev\\log\\";
const std::wstring kStaging = L"C:\\VADORUREV\\pnpdrvs";
const std::string kNdis = "interfaces = ['{AD498944-762F-11D0-8DCB-00C04FC3358C}']\n";
const std::string kNet = "class = 'Net'\nclass_guid = '{4D36E972-E325-11CE-BFC1-08002BE10318}'\n";

// The driver the adapters run before the install.
const std::string kOldDriver =
    "[devices.driver]\ninf = 'C:\\Windows\\INF\\oem3.inf'\nsection = 'Z40E.ndi'\nprovider = 'Intel'\n"
    "version = '1.0.0.0'\ndate = '2019-05-01'\nservice = 'z40e'\n";

// An adapter of device `dev` and subsystem `subsys` running `driver`; `tail` adds keys or
// the behaviour table after the identity.
std::string Adapter(const std::string &dev, const std::string &subsys, const std::string &slot,
                    const std::string &tail = "", const std::string &driver = kOldDriver) {
  std::string id = "PCI\\VEN_8086&DEV_" + dev + "&SUBSYS_" + subsys;
  std::string device = "PCI\\VEN_8086&DEV_" + dev;
  return "[[devices]]\ninstance_id = '" + id + "&REV_01\\4&1A2B&0&" + slot + "'\nhardware_ids = ['" + id +
         "&REV_01', '" + id + "']\ncompatible_ids = ['" + device + "&REV_01', '" + device + "']\n" + kNet + kNdis +
         tail + driver;
}
std::string Started(const std::string &dev, const std::string &slot, const std::string &tail = "",
                    const std::string &driver = kOldDriver) {
  return Adapter(dev, "00018086", slot, tail, driver);
}

// The package: three supported adapters (the 1572 of one subsystem and both Intel devices).
const char kDefinition[] =
    "<?xml version=\"1.0\"?>\n<kvn_package><filename>vqz40e.xml</filename><version value=\"1.12.150.0\"/>"
    "<installation><install><reboot_required value=\"no\"/></install></installation><prerequisites>"
    "<supported_devices><supported_devices_and><supported_device type=\"pci\">"
    "<supported_device_data name=\"ven\">8086</supported_device_data>"
    "<supported_device_data name=\"dev\">1572</supported_device_data>"
    "<supported_device_data name=\"subven\">8086</supported_device_data>"
    "<supported_device_data name=\"subdev\">0001</supported_device_data></supported_device>"
    "</supported_devices_and><supported_devices_and><supported_device type=\"pci\">"
    "<supported_device_data name=\"ven\">8086</supported_device_data>"
    "<supported_device_data name=\"dev\">154C</supported_device_data></supported_device></supported_devices_and>"
    "<supported_devices_and><supported_device type=\"pci\">"
    "<supported_device_data name=\"ven\">8086</supported_device_data>"
    "<supported_device_data name=\"dev\">1571</supported_device_data></supported_device></supported_devices_and>"
    "</supported_devices></prerequisites></kvn_package>\n";

const char kPnpInf[] =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n"
    "Provider=Intel\nDriverVer=11/14/2026,1.12.150.0\n"
    "[Manufacturer]\nIntel=Models,NTamd64\n"
    "[Models.NTamd64]\n%Desc%=Install,PCI\\VEN_8086&DEV_1572&SUBSYS_00018086\n%Desc%=Install,PCI\\VEN_8086&DEV_154C\n"
    "%Desc%=Install,PCI\\VEN_8086&DEV_1571\n"
    "[Install]\nAddReg=Install.reg\n[Install.reg]\nHKR,,Installed,0x10001,1\n"
    "[Install.Services]\nAddService=z40e,2,Svc\n"
    "[Svc]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\z40e64.sys\n"
    "[Strings]\nDesc=\"Ethernet adapter\"\n";

const char kLegacyInf[] =
    "[Version]\nSignature=\"$Windows NT$\"\n"
    "[DefaultInstall]\nAddReg=tool.reg\n[tool.reg]\nHKLM,SOFTWARE\\Vendor\\Tool,Installed,0x10001,1\n";

const char *const kDriverFiles[] = {"NicInI40.dll", "NicInV40.dll", "z40e64.cat", "z40e64.din",
                                    "z40e64.sys",   "v40emsg.dll",  "NicCo36.dll"};

// The agent program: "/install" creates its service.
const std::string kAgentProgram =
    "[[programs]]\nname = 'direvo.exe'\nexit_code = 0\n[programs.creates_service]\nwhen_args = '/install'\n"
    "name = 'direvo'\ndisplay_name = 'OCD Agent'\nbinary = '%SystemRoot%\\system32\\direvo.exe'\n";

// Writes the package into C:\Package: `type` "PNP", "LEGACY" or "VIRTUAL"; without the agent
// program when `agent` is false.
void WritePackage(const TestMachine &machine, const std::string &type, bool agent = true) {
  std::filesystem::create_directories(machine.Host(L"C:\\Windows\\System32\\drivers"));
  machine.Write(L"C:\\Package\\vqz40e.xml", kDefinition);
  std::string inf = type == "PNP" ? "z40e64.inf" : "tool.inf";
  machine.Write(L"C:\\Package\\install.xml",
                "<?xml version=\"1.0\"?>\n<kvn_install><inf_information><inf_file "
                "filename=\"" +
                    inf + "\" type=\"" + type + "\"/></inf_information></kvn_install>\n");
  machine.Write(L"C:\\Package\\z40e64.inf", kPnpInf);
  machine.Write(L"C:\\Package\\tool.inf", kLegacyInf);
  for (const char *name : kDriverFiles)
    machine.WritePe(L"C:\\Package\\" + winsim::FromUtf8(name), "1.12.150.0", "Intel", name);
  machine.WritePe(L"C:\\Package\\vode64r.sys", "4.1.7.0", "Intel", "vode64r.sys");
  if (agent) machine.WritePe(L"C:\\Package\\direvo.exe", "4.1.7.0", "Intel", "direvo.exe");
}

// An existing agent service, running or stopped.
void CreateAgentService(bool running) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE service = CreateServiceW(scm, L"direvo", L"OCD Agent", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, L"C:\\Windows\\system32\\direvo.exe",
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(service, nullptr);
  if (running) {
    EXPECT_TRUE(StartServiceW(service, 0, nullptr));
  }
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
}

struct Logs {
  std::string normal, verbose;
};

Logs ReadLogs(const TestMachine &machine) {
  Logs logs;
  std::error_code ec;
  for (auto &e : std::filesystem::directory_iterator(machine.Host(kLogDir), ec))
    (e.path().filename() == "kvnsetup.log" ? logs.normal : logs.verbose) =
        machine.Read(kLogDir + e.path().filename().wstring());
  return logs;
}

struct Outcome {
  int result = -1;
  Logs logs;  // what the installation added to each log
};

// Loads the component as a host in C:\Package would, with `switches` on its command line,
// and installs; the logs' lines of the installation itself.
Outcome Install(const TestMachine &machine, const std::string &switches = "") {
  machine.SetProcess(L"C:\\Package\\setup.exe",
                     L"\"C:\\Package\\setup.exe\" /verbose_log " + winsim::FromUtf8(switches), L"C:\\Package");
  Outcome outcome;
  Logs before;
  {
    CComponent component;
    component.Initialize();
    before = ReadLogs(machine);
    WCHAR message[512] = L"";
    outcome.result = component.Install(0, 0, message, 0, L"en");
  }
  Logs after = ReadLogs(machine);
  outcome.logs.normal = after.normal.substr(std::min(before.normal.size(), after.normal.size()));
  outcome.logs.verbose = after.verbose.substr(std::min(before.verbose.size(), after.verbose.size()));
  return outcome;
}

// The state of the present adapter in `slot` ("0008"), -1 when there is none.
int StatusOf(const std::string &slot) {
  CDeviceEnumerator devices(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, L"PCI\\VEN_8086");
  int status = -1;
  WCHAR id[CDeviceEnumerator::kInstanceIdChars];
  std::wstring end = L"&0&" + winsim::FromUtf8(slot);
  for (devices.First(); devices.GetCurrentHardwareId(); devices.Next())
    if (devices.GetInstanceId(id) && std::wstring(id).size() > end.size() &&
        std::wstring(id).substr(std::wstring(id).size() - end.size()) == end)
      status = devices.GetDevNodeStatus();
  devices.Close();
  return status;
}

// The DriverVersion of the driver of the adapter in `slot` of device 1572, "" without one.
std::wstring DriverVersionOf(const std::string &slot) {
  std::wstring driver =
      RegistryText(L"SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B&0&" +
                       winsim::FromUtf8(slot),
                   L"Driver");
  if (driver.empty()) return L"";
  return RegistryText(L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driver, L"DriverVersion");
}

// A step entry of the verbose log as the fixed clock tags it.
std::string Step(const char *file, int line, const std::string &text) {
  return "[14:30:00]::" + std::string(file) + "[" + std::to_string(line) + "] " + text;
}

std::vector<std::string> Staged(const TestMachine &machine) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto &e : std::filesystem::directory_iterator(machine.Host(kStaging), ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

namespace {
const std::string kEntering =
    Step("component.cpp", 1243, "[RuzuvAzudizuda]::Entering CComponent::Install function.\r\n");
const std::string kExiting = Step("component.cpp", 1389, "[RuzuvAzudizuda]::Exiting CComponent:Install function.\n");
const std::string kSuccessful = "[RuzuvAzudizuda]::Intel z40e installation was successful.\r\n";
const std::string kRemoved =
    "RuzuvAzudizuda::Intel OCD Agent is not supported on this adapter and has been removed.\r\n";
const std::string kAgentStarted =
    "Intel diagnostic driver installed successfully.\r\nIntel OCD Agent file installed successfully.\r\n"
    "Intel OCD Agent /install processed with return code : 1\r\nIntel OCD Agent service started.\r\n";
const std::string kGeneric = "Initiating installation... \r\n";
std::string Tally(int enabled, int disabled) {
  return Step("component.cpp", 1306,
              "[RuzuvAzudizuda]::[ostrand] SupportEnabled : " + std::to_string(enabled) + ", SupportDisabled : " +
                  std::to_string(disabled) + ", total disabled: " + std::to_string(enabled + disabled) + "\r\n");
}
std::string StartedEntry(const std::string &dev, const std::string &slot) {
  return Step("component.cpp", 1283,
              "[RuzuvAzudizuda]::[ostrand] NIC_STATUS_STARTED: PCI\\VEN_8086&DEV_" + dev +
                  "&SUBSYS_00018086&REV_01\\4&1A2B&0&" + slot + "\r\n");
}
std::string Warning(const std::string &dev, const char *error) {
  return "zemraInstaller warning:  Could not install C:\\Package\\z40e64.inf to PCI\\VEN_8086&DEV_" + dev +
         "&SUBSYS_00018086&REV_01 -- error " + error + " \r\n";
}
}  // namespace

// The main paths on the default Windows (a 64-bit 10.0 server: the whole driver is staged),
// with their results, logs and what they leave on the machine.
TEST(AdapterInstall, PathsResultsAndLogs) {
  const std::string intel = Started("1572", "0008") + Started("154C", "0010");
  const std::string copyFails = "[[faults]]\nfunction = 'CopyFileW'\nnth = 0\nwhen_arg_contains = 'pnpdrvs'\n";
  // The staging folder cannot be created.
  const std::string noFolder = "[[faults]]\nfunction = 'CreateDirectoryW'\nnth = 0\nwhen_arg_contains = 'pnpdrvs'\n";
  // The enable pass cannot open its device set (the run's fifth, after the device list, the
  // status pass, the disable pass and the count of Intel devices).
  const std::string reenableSetFails = "[[faults]]\nfunction = 'SetupDiGetClassDevsW'\nnth = 5\n";
  // Both walks of the enable pass (a fault that fires takes the call from the faults after
  // it, so the second one's fifth call is the run's sixth).
  const std::string bothWalksFail = reenableSetFails + reenableSetFails;
  auto notRestored = [](const std::string &slot) {
    return "**WARNING** - [RuzuvAzudizuda]::[ostrand] NIC_NOT_RESTORED: PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01"
           "\\4&1A2B&0&" +
           slot + "\r\n";
  };
  const std::string agentStops = "[[services]]\nname = 'direvo'\nstate = 'stopped'\non_start = 'stops'\n";
  const std::string agentNoReboot =
      "Intel diagnostic driver installed successfully.\r\nIntel OCD Agent file installed successfully.\r\n"
      "Intel OCD Agent /install processed with return code : 1\r\n"
      "Intel OCD Agent service did not start.  A reboot is required.\r\n"
      "RuzuvAzudizuda::Start OCD Agent failed, requesting reboot.\r\n";
  const std::string reboot = "[devices.behaviour]\nupdate_needs_reboot = true\ndisable_fails = true\n";
  const std::string enableFails = "[devices.behaviour]\nenable_fails = true\n";
  const std::string noNewer = "[devices.behaviour]\nupdate_error = 259\n";
  const std::string updateFails = "[devices.behaviour]\nupdate_error = 31\n";
  const std::string failed = "[RuzuvAzudizuda]::Intel z40e devices did not install successfully.\r\n";
  const std::string intelSteps =
      kEntering + StartedEntry("1572", "0008") + StartedEntry("154C", "0010") + Tally(2, 0) +
      Step("installation.cpp", 212, "[RuzuvAzudizuda]::Entering UpdateDriver4IntelDevice function.\r\n") +
      Step("installation.cpp", 266, "[RuzuvAzudizuda]::Exiting UpdateDriver4IntelDevice function.\r\n") +
      Step("installation.cpp", 287, "Entering CopyDriversToPnPFolder function.\n");
  const int kStarted = NIC_STATUS_STARTED, kDisabled = NIC_STATUS_DISABLED;
  enum Agent { kNone, kStopped, kRunning };
  const struct {
    const char *name;
    std::string toml;
    const char *type;
    Agent agent;          // the agent service before the install
    bool agentInPackage;  // direvo.exe is in the package
    int result;
    std::string normal;   // the whole normal log of the install
    std::string verbose;  // the whole verbose log when it begins with the entry line, else a part of it
    std::vector<std::pair<std::string, int>> states;  // adapter slot and its state afterwards
    size_t staged;                                    // files in the pnpdrvs folder afterwards
  } cases[] = {
      // clang-format off
      {"Intel devices: updated, staged, the stopped agent removed", intel, "PNP", kStopped, true, 1,
       kSuccessful + kRemoved,
       intelSteps + Step("installation.cpp", 311, "Exiting CopyDriversToPnPFolder function.\n") + kExiting,
       {{"0008", kStarted}, {"0010", kStarted}}, 8},
      {"Intel devices: a running agent cannot be removed", intel, "PNP", kRunning, true, 1,
       kSuccessful + "RuzuvAzudizuda::Intel OCD Agent failed to be removed.\r\n", "", {}, 8},
      {"no Intel device, PNP: the agent installed and started", Started("1572", "0008") + kAgentProgram, "PNP",
       kNone, true, 1, kGeneric + kAgentStarted, "", {{"0008", kStarted}}, 3},
      {"no Intel device, LEGACY", Started("1572", "0008") + kAgentProgram, "LEGACY", kNone, true, 1,
       kGeneric + kAgentStarted, "", {{"0008", kStarted}}, 2},
      {"no Intel device, VIRTUAL", Started("1572", "0008") + kAgentProgram, "VIRTUAL", kNone, true, 1,
       kGeneric + kAgentStarted, "", {{"0008", kStarted}}, 2},
      {"the driver's reboot request", Started("1572", "0008") + Started("154C", "0010", reboot), "PNP", kNone, true, 2,
       "[RuzuvAzudizuda]::Intel z40e installation was successful. A reboot is required.\r\n", "", {}, 8},
      // It stays up through the disable, so the update finds it running its old driver.
      {"an adapter that cannot be stopped takes its driver at the restart", Started("1572", "0008") +
       Started("154C", "0010", "[devices.behaviour]\nstate_change_needs_restart = true\n"), "PNP", kNone, true, 2,
       "[RuzuvAzudizuda]::Intel z40e installation was successful. A reboot is required.\r\n", "",
       {{"0010", NIC_STATUS_PROBLEM}, {"0008", kStarted}}, 8},
      {"an adapter that fails to enable asks for a restart", Started("1572", "0008", enableFails) +
       Started("154C", "0010"), "PNP", kNone, true, 2, kSuccessful + notRestored("0008"),
       Step("component.cpp", 1340, "[RuzuvAzudizuda]::[ostrand] NIC_NOT_RESTORED: PCI\\VEN_8086&DEV_1572&SUBSYS_"
            "00018086&REV_01\\4&1A2B&0&0008\r\n"), {{"0008", kDisabled}}, 8},
      {"an agent that does not keep running asks for a restart", Started("1572", "0008") + kAgentProgram + agentStops,
       "PNP", kStopped, true, 2, kGeneric + agentNoReboot, "", {}, 3},
      {"one device without a newer driver, the others updated", Started("154C", "0010", noNewer) +
       Started("1571", "0011"), "PNP", kNone, true, 1, Warning("154C", "0x103") + kSuccessful, "", {}, 8},
      {"an update that fails otherwise: staged and restored all the same", Started("154C", "0010", updateFails) +
       Started("1571", "0011"), "PNP", kStopped, true, 0, Warning("154C", "0x1f") + failed + kRemoved, "",
       {{"0010", kStarted}, {"0011", kStarted}}, 8},
      {"a failed installation with a failed enable stays failed", Started("1572", "0008", enableFails) +
       Started("154C", "0010", updateFails), "PNP", kNone, true, 0, Warning("154C", "0x1f") + failed +
       notRestored("0008"), "", {}, 8},
      {"a failed installation with an agent that stops stays failed", Adapter("1572", "00028086", "0009") +
       kAgentProgram + agentStops, "PNP", kStopped, true, 0, kGeneric + agentNoReboot, "", {{"0009", kStarted}}, 2},
      {"a failed staging copy: the adapters are restored, nothing after it runs", intel + copyFails, "PNP", kStopped,
       true, 0, kSuccessful + "Copy_Drivers_to_PnP_folder failed4.\r\n",
       intelSteps + Step("installation.cpp", 305, "Failed to copy file to PnPdrvs folder: NicInI40.dll"),
       {{"0008", kStarted}, {"0010", kStarted}}, 0},
      {"a staging folder that cannot be created gets no file", intel + noFolder, "PNP", kStopped, true, 0,
       kSuccessful + "Copy_Drivers_to_PnP_folder failed4.\r\n", "", {{"0008", kStarted}}, 0},
      {"the agent's files missing: the adapters are restored", Started("1572", "0008"), "PNP", kNone, false, 0,
       "Copy_OCD_Agent_to_PnP_folder failed0.\r\n", "", {{"0008", kStarted}}, 1},
      {"the fixed 1572 adapter is disabled and restored though the package does not list it",
       Adapter("1572", "0000A5E7", "0020") + kAgentProgram, "PNP", kNone, true, 0, kGeneric + kAgentStarted, Tally(1, 0),
       {{"0020", kStarted}}, 2},
      {"an adapter the user disabled is disabled again after the enable pass reached it",
       Started("1572", "00081") + Started("1572", "0008", "status = 'disabled'\n") + kAgentProgram, "PNP", kNone,
       true, 1, kGeneric + kAgentStarted, Tally(1, 1), {{"00081", kStarted}, {"0008", kDisabled}}, 3},
      {"the device set cannot be opened for the enable pass: a second walk restores the adapter",
       Started("1572", "0008") + kAgentProgram + reenableSetFails, "PNP", kNone, true, 1, kGeneric + kAgentStarted,
       "", {{"0008", kStarted}}, 3},
      {"neither walk can open the device set: the adapter left disabled is a failed enable, named in both logs",
       Started("1572", "0008") + kAgentProgram + bothWalksFail, "PNP", kNone, true, 2,
       kGeneric + notRestored("0008") + kAgentStarted, "", {{"0008", kDisabled}}, 3},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(c.toml);
    WritePackage(machine, c.type, c.agentInPackage);
    if (c.agent != kNone) CreateAgentService(c.agent == kRunning);
    Outcome o = Install(machine);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.logs.normal, c.normal);
    if (c.verbose.rfind(kEntering, 0) == 0)
      EXPECT_EQ(o.logs.verbose, c.verbose);
    else
      EXPECT_NE(o.logs.verbose.find(c.verbose), std::string::npos) << o.logs.verbose;
    for (auto &[slot, state] : c.states) EXPECT_EQ(StatusOf(slot), state) << slot;
    EXPECT_EQ(Staged(machine).size(), c.staged);
  }
}

// "/no_overwrite": an inbox driver is replaced, another vendor's driver is kept.
TEST(AdapterInstall, NoOverwriteKeepsOnlyAnotherVendorsDriver) {
  const struct {
    const char *name;
    std::string driver;
    std::wstring versionAfter;
  } cases[] = {
      {"an inbox driver", "inf = 'C:\\Windows\\INF\\net1ix64.inf'\nprovider = 'Microsoft'\nflags = 0x100000\n",
       L"1.12.150.0"},
      {"another vendor's driver", "inf = 'C:\\Windows\\INF\\oem7.inf'\nprovider = 'Other'\nservice = 'othernet'\n",
       L"1.0.0.0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(Started("1572", "0008", "",
                                "[devices.driver]\nsection = 'Net.ndi'\nversion = '1.0.0.0'\ndate = '2019-05-01'\n"
                                "matching_id = 'PCI\\VEN_8086&DEV_1572&SUBSYS_00018086'\n" +
                                    c.driver) +
                        kAgentProgram);
    WritePackage(machine, "PNP");
    Outcome o = Install(machine, "/no_overwrite");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.logs.normal, kGeneric + kAgentStarted);
    EXPECT_EQ(DriverVersionOf("0008"), c.versionAfter);
    EXPECT_EQ(StatusOf("0008"), NIC_STATUS_STARTED);
  }
}

// The driver files staged on each Windows family, and the entry of each when the copy
// fails. The Windows version is read once per process: each case runs in a process of its own.
TEST(AdapterInstall, StagesTheDriverFilesOfEachWindowsFamily) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string copyFault = "[[faults]]\nfunction = 'CopyFileW'\nnth = 0\nwhen_arg_contains = 'pnpdrvs'\n";
  const std::vector<std::string> full = {"NicCo36.dll", "NicInI40.dll", "NicInV40.dll", "v40emsg.dll",
                                         "z40e64.cat",  "z40e64.din",   "z40e64.inf",   "z40e64.sys"};
  const std::vector<std::string> server2012 = {"NicCo36.dll", "v40emsg.dll", "z40e64.cat",
                                               "z40e64.din",  "z40e64.inf",  "z40e64.sys"};
  const struct {
    const char *name;
    std::string os;
    std::vector<std::string> staged;
    std::string failure;  // the normal entry when the copy fails ("" none is staged)
  } cases[] = {
      {"Server 2012 R2", "major = 6\nminor = 3\nbuild = 9600\n", full, "Copy_Drivers_to_PnP_folder failed2.\r\n"},
      {"Server 2012", "major = 6\nminor = 2\nbuild = 9200\n", server2012, "Copy_Drivers_to_PnP_folder failed3.\r\n"},
      {"Server 2008 R2", "major = 6\nminor = 1\nbuild = 7601\n", full, "Copy_Drivers_to_PnP_folder failed1.\r\n"},
      {"Server 2008 x64", "major = 6\nminor = 0\nbuild = 6002\n", full, "Copy_Drivers_to_PnP_folder failed4.\r\n"},
      {"before 6.0", "major = 5\nminor = 2\nbuild = 3790\n", {}, ""},
  };
  for (const auto &c : cases) {
    for (bool copyFails : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (copyFails ? ", the copy fails" : ""));
      // The child reports what differs on its standard error and exits with 1.
      EXPECT_EXIT(
          {
            TestMachine machine("[os]\n" + c.os + Started("154C", "0010") + (copyFails ? copyFault : ""));
            WritePackage(machine, "PNP");
            CreateAgentService(false);
            Outcome o = Install(machine);
            bool failed = copyFails && !c.staged.empty();
            std::string normal = kSuccessful + (failed ? c.failure : kRemoved);
            std::vector<std::string> staged = Staged(machine);
            bool ok = o.result == (failed ? 0 : 1) && o.logs.normal == normal &&
                      staged == (copyFails ? std::vector<std::string>{} : c.staged) &&
                      StatusOf("0010") == NIC_STATUS_STARTED;
            std::fprintf(stderr, "result %d, staged %zu, log:\n%s\n", o.result, staged.size(), o.logs.normal.c_str());
            std::exit(ok ? 0 : 1);
          },
          ::testing::ExitedWithCode(0), "");
    }
  }
}
