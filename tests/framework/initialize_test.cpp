// The component's initialisation as a whole: its switches, the package files it reads, the
// device list it builds, and the verbose log that tells each step.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/basecomp.h"
#include "testmachine.h"

namespace {
const std::wstring kLogDir = L"C:\\vadorurev\\log\\";

const char kAdapter[] =
    "[[devices]]\n"
    "instance_id = 'PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008'\n"
    "hardware_ids = ['PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01', 'PCI\\VEN_8086&DEV_1572&SUBSYS_00018086',\n"
    "                'PCI\\VEN_8086&DEV_1572&CC_020000', 'PCI\\VEN_8086&DEV_1572&CC_0200']\n"
    "class = \"Net\"\n"
    "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n";

std::string Definition(bool withDevices) {
  std::string devices =
      "<prerequisites><supported_devices><supported_devices_and>"
      "<supported_device type=\"pci\"><supported_device_data name=\"ven\">8086</supported_device_data>"
      "<supported_device_data name=\"dev\">1572</supported_device_data>"
      "<supported_device_data name=\"subven\">8086</supported_device_data>"
      "<supported_device_data name=\"subdev\">0001</supported_device_data></supported_device>"
      "</supported_devices_and></supported_devices></prerequisites>";
  return "<?xml version=\"1.0\"?>\n<kvn_package><filename>vqz40e.xml</filename><version value=\"25.0.0.3\"/>" +
         (withDevices ? devices : std::string()) + "</kvn_package>\n";
}

const char kInstallXml[] =
    "<?xml version=\"1.0\"?>\n<kvn_install><inf_information>"
    "<inf_file filename=\"z40e64.inf\" type=\"PNP\" service_name=\"z40e\"/></inf_information></kvn_install>\n";

struct Probe : CBaseComponent {
  using CBaseComponent::m_bIs64BitOS;
  using CBaseComponent::m_bNoOverwrite;
  using CBaseComponent::m_nInstallType;
};

struct Outcome {
  int result = -2;
  BOOL noOverwrite = -1;
  int installType = -2;
  size_t entries = 0;
};

// Runs one initialisation with `commandLine` (after the program's own name) in C:\Package.
Outcome Initialize(const TestMachine &machine, const std::wstring &switches) {
  machine.SetProcess(L"C:\\Package\\setup.exe", L"\"C:\\Package\\setup.exe\"" + switches, L"C:\\Package");
  Probe component;
  Outcome out;
  out.result = component.Initialize();
  out.noOverwrite = component.m_bNoOverwrite;
  out.installType = component.m_nInstallType;
  out.entries = component.GetDeviceList().size();
  return out;  // the component goes, and its log files are closed
}

// The machine's log files: the setup log's text and the verbose log's ("" when none).
struct Logs {
  std::string setup, verbose;
  size_t files = 0;
};
Logs ReadLogs(const TestMachine &machine) {
  Logs logs;
  std::error_code ec;
  for (auto &e : std::filesystem::directory_iterator(machine.Host(kLogDir), ec)) {
    ++logs.files;
    std::wstring name = e.path().filename().wstring();
    (name == L"kvnsetup.log" ? logs.setup : logs.verbose) = machine.Read(kLogDir + name);
  }
  return logs;
}

const char kHead[] =
    "[14:30:00]::basecomp.cpp[108] Detecting if 64-bit operating system... \r\n"
    "[14:30:00]::basecomp.cpp[723]     - Operating system is 64-bit.\r\n"
    "[14:30:00]::basecomp.cpp[724]     - Operating system is x64 based.\r\n";
const char kAbsent[] = "[14:30:00]::basecomp.cpp[103] \r\n/no_overwrite ABSENT";
const char kDetected[] = "[14:30:00]::basecomp.cpp[99] \r\n/no_overwrite DETECTED";
const char kPackageRead[] =
    "[14:30:00]::basecomp.cpp[111] Locating package definition file... Done.\r\n"
    "[14:30:00]::basecomp.cpp[117]     - Reading package definition file... Done.\r\n";
const char kInstallRead[] =
    "[14:30:00]::basecomp.cpp[134] Checking for install.xml... Found.\r\n"
    "[14:30:00]::basecomp.cpp[141]     - Reading installer XML... Done.\r\n";
const char kDeviceList[] = "[14:30:00]::basecomp.cpp[160] Building PnP device list... Done.\r\n";

}  // namespace

TEST(Initialize, WholeRunsAndTheirVerboseLogs) {
  const struct {
    const char *name;
    std::wstring switches;
    bool devices;       // the package names supported devices
    bool installXml;    // "install.xml" exists
    const char *fault;  // a [[faults]] entry of the machine
    Outcome expected;
    std::string log;
  } cases[] = {
      {"switches in mixed case",
       L" /Verbose_Log /No_OverWrite",
       true,
       true,
       "",
       {1, 1, INSTALL_PNP, 1},
       std::string(kDetected) + kHead + kPackageRead + kInstallRead + kDeviceList},
      {"switches inside longer words",
       L" /verbose_logging x/no_overwrite_all",
       true,
       true,
       "",
       {1, 1, INSTALL_PNP, 1},
       std::string(kDetected) + kHead + kPackageRead + kInstallRead + kDeviceList},
      {"no supported devices: no device list",
       L" /verbose_log",
       false,
       true,
       "",
       {1, 0, INSTALL_PNP, 0},
       std::string(kAbsent) + kHead + kPackageRead + kInstallRead},
      {"no install.xml",
       L" /verbose_log",
       true,
       false,
       "",
       {1, 0, INSTALL_NONE, 1},
       std::string(kAbsent) + kHead + kPackageRead +
           "[14:30:00]::basecomp.cpp[134] Checking for install.xml... Not found.\r\n" + kDeviceList},
      {"a package definition that cannot be read",
       L" /verbose_log",
       true,
       true,
       // The search opens the file once; the second open is the read's.
       "[[faults]]\nfunction = \"CreateFileW\"\nnth = 2\nwhen_arg_contains = \"vqz40e.xml\"\nerror = 5\n",
       {0, 0, INSTALL_PNP, 0},
       std::string(kAbsent) + kHead +
           "[14:30:00]::basecomp.cpp[111] Locating package definition file... Done.\r\n"
           "[14:30:00]::basecomp.cpp[117]     - Reading package definition file... Failed!\r\n" +
           kInstallRead},
      {"no package definition",
       L" /verbose_log",
       false,
       false,
       "",
       {1, 0, INSTALL_NONE, 0},
       std::string(kAbsent) + kHead +
           "[14:30:00]::basecomp.cpp[111] Locating package definition file... Failed!\r\n"
           "[14:30:00]::basecomp.cpp[134] Checking for install.xml... Not found.\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(std::string(c.fault) + kAdapter);
    machine.Write(L"C:\\Package\\readme.txt", "");  // the package directory is the current one
    if (std::string(c.name) != "no package definition")
      machine.Write(L"C:\\Package\\vqz40e.xml", Definition(c.devices));
    if (c.installXml) machine.Write(L"C:\\Package\\install.xml", kInstallXml);
    Outcome out = Initialize(machine, c.switches);
    EXPECT_EQ(out.result, c.expected.result);
    EXPECT_EQ(out.noOverwrite, c.expected.noOverwrite);
    EXPECT_EQ(out.installType, c.expected.installType);
    EXPECT_EQ(out.entries, c.expected.entries);
    Logs logs = ReadLogs(machine);
    EXPECT_EQ(logs.verbose, c.log);
    EXPECT_EQ(logs.setup, "") << "initialisation writes to the verbose log only";
  }
}

TEST(Initialize, UnreadableInstallDescriptionFailsTheRun) {
  TestMachine machine(kAdapter);
  machine.Write(L"C:\\Package\\vqz40e.xml", Definition(true));
  machine.Write(L"C:\\Package\\install.xml", "<kvn_install><inf_information>");
  Outcome out = Initialize(machine, L" /verbose_log");
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(ReadLogs(machine).verbose, std::string(kAbsent) + kHead + kPackageRead +
                                           "[14:30:00]::basecomp.cpp[134] Checking for install.xml... Found.\r\n"
                                           "[14:30:00]::basecomp.cpp[141]     - Reading installer XML... Failed!\r\n" +
                                           kDeviceList);
}

TEST(Initialize, WithoutVerboseLogNothingIsWritten) {
  for (const std::wstring switches : {L"", L" /no_overwrite"}) {
    SCOPED_TRACE(switches);
    TestMachine machine(kAdapter);
    machine.Write(L"C:\\Package\\vqz40e.xml", Definition(true));
    machine.Write(L"C:\\Package\\install.xml", kInstallXml);
    Outcome out = Initialize(machine, switches);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.noOverwrite, switches.empty() ? 0 : 1);
    EXPECT_EQ(out.entries, 1u);
    Logs logs = ReadLogs(machine);
    EXPECT_EQ(logs.setup, "");
    EXPECT_EQ(logs.verbose, "");
    EXPECT_LE(logs.files, 1u) << "no verbose log file without /verbose_log";
  }
}

TEST(Initialize, SupportedDeviceEntriesThatFormNoIdStillBuildTheListAndMatchNothing) {
  TestMachine machine(kAdapter);
  // A vendor alone (4 characters) and a code of 12 form no hardware ID: empty texts.
  machine.Write(L"C:\\Package\\vqz40e.xml",
                "<?xml version=\"1.0\"?>\n<kvn_package><prerequisites><supported_devices><supported_devices_and>"
                "<supported_device type=\"pci\"><supported_device_data name=\"ven\">8086</supported_device_data>"
                "</supported_device><supported_device type=\"pci\">"
                "<supported_device_data name=\"ven\">8086</supported_device_data>"
                "<supported_device_data name=\"dev\">1572</supported_device_data>"
                "<supported_device_data name=\"subven\">8086</supported_device_data></supported_device>"
                "</supported_devices_and></supported_devices></prerequisites></kvn_package>\n");
  machine.SetProcess(L"C:\\Package\\setup.exe", L"setup.exe /verbose_log", L"C:\\Package");
  Probe component;
  EXPECT_EQ(component.Initialize(), 1);
  EXPECT_EQ(component.GetDeviceList().size(), 1u) << "the list is built for the entries";
  EXPECT_EQ(component.FindDevice(L""), 0);
}
