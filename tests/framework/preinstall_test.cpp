// The pre-install report: the status code and message the host receives, and the questions
// and answers it leaves in both logs, for machines and packages built by each case.
#include <gtest/gtest.h>
#include <winsim.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/basecomp.h"
#include "support/messages.h"
#include "testmachine.h"

namespace {
const std::wstring kLogDir = L"C:\\vadorurev\\log\\";
const std::wstring kEnum = L"SYSTEM\\CurrentControlSet\\Services\\z40e\\Enum";
const std::wstring kService = L"SYSTEM\\CurrentControlSet\\Services\\z40e";
constexpr const char *kInstance = "PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008";

const char kAdapter[] =
    "[[devices]]\n"
    "instance_id = 'PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008'\n"
    "hardware_ids = ['PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01', 'PCI\\VEN_8086&DEV_1572&SUBSYS_00018086']\n"
    "class = \"Net\"\n"
    "class_guid = \"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\n";

const char kInf[] =
    "[Version]\nSignature=\"$Windows NT$\"\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n"
    "[Z40E.ndi.Services]\nAddService=z40e,2,z40e.Service\n"
    "[z40e.Service]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\z40e64.sys\n";

const char kInstallXml[] =
    "<?xml version=\"1.0\"?>\n<kvn_install><inf_information>"
    "<inf_file filename=\"z40e64.inf\" type=\"PNP\" service_name=\"z40e\"/></inf_information></kvn_install>\n";

// A package definition of version 25.0.0.3 whose software key is the installed driver file.
std::string Definition(bool devices, int osMajor, unsigned diskKb) {
  std::string text =
      "<?xml version=\"1.0\"?>\n<kvn_package><filename>vqz40e.xml</filename><version value=\"25.0.0.3\"/>"
      "<sw_keys><sw_keys_and><sw_key name=\"z40e64.sys\">"
      "<sw_key_expectedpath>%SystemRoot%\\System32\\drivers\\</sw_key_expectedpath></sw_key></sw_keys_and></sw_keys>"
      "<prerequisites><required_diskspace size_kb=\"" +
      std::to_string(diskKb) + "\"/>";
  if (devices)
    text +=
        "<supported_devices><supported_devices_and><supported_device type=\"pci\">"
        "<supported_device_data name=\"ven\">8086</supported_device_data>"
        "<supported_device_data name=\"dev\">1572</supported_device_data>"
        "<supported_device_data name=\"subven\">8086</supported_device_data>"
        "<supported_device_data name=\"subdev\">0001</supported_device_data></supported_device>"
        "</supported_devices_and></supported_devices>";
  text += "<supported_operating_systems><supported_operating_system platform=\"nt_x86-64\" major=\"" +
          std::to_string(osMajor) +
          "\" minor=\"0\" sr=\"0\" edition=\"srvr\"/></supported_operating_systems></prerequisites></kvn_package>\n";
  return text;
}

void SetDword(const std::wstring &path, const wchar_t *name, DWORD value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
  RegCloseKey(key);
}

void SetString(const std::wstring &path, const wchar_t *name, const std::wstring &value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                 DWORD((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// The base component with a requirement of its own and, when asked, a version status
// outside the usual three answers.
struct Probe : CBaseComponent {
  const wchar_t *requirementMessage = nullptr;  // fails the requirement check when set
  int versionOverride = -1;
  int CheckComponentRequirements(WCHAR *message, UINT capacity, const WCHAR *) override {
    if (!requirementMessage) return 1;
    CopyText(message, capacity, requirementMessage);
    return 0;
  }
  int GetVersionStatus() override {
    return versionOverride >= 0 ? versionOverride : CBaseComponent::GetVersionStatus();
  }
};

// What a case builds on the machine beside the adapter: the installed service and its state.
enum Installed { kNone, kRunning, kDeleted, kEnumeratedLegacy };

struct Case {
  const char *name;
  std::string toml;  // added to the machine
  bool devices;      // the package lists the adapter
  int osMajor;       // the package supports this Windows major version
  unsigned diskKb;
  Installed installed;
  const char *driverVersion;  // the installed driver file's version ("" none)
  const wchar_t *requirementMessage;
  int versionOverride;
  const char *dependencyXml;  // nullptr: no dependency file
  const wchar_t *lang;
  int status;
  MessageTable *table;  // the message comes from this table in the case's language
  std::wstring message;
  std::string answers;  // the report's answers in order, "|" between questions
};

// The report for the answers of a case ("|" between questions): in the normal log each question
// and its answer; in the verbose log (`tagged`) each question after the first tagged with its
// line, since the operating-system check writes its own trace between the first question and
// its answer.
std::string Report(const std::string &answers, bool tagged) {
  static const struct {
    int line;
    const char *text;
  } questions[] = {
      {1115, "    - Is operating system supported... "},
      {1127, "    - Is necessary disk space available... "},
      {1140, "    - Is hardware present... "},
      {1146, "    - Is component already installed... "},
      {1152, "    - Is component marked for removal... "},
      {1158, "    - Installed component version status... "},
      {1175, "    - Checking dependency list... "},
  };
  std::string text;
  size_t start = 0, i = 0;
  while (i < std::size(questions)) {
    size_t bar = answers.find('|', start);
    std::string answer = answers.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    if (!tagged)
      text += std::string(questions[i].text) + answer;
    else if (i > 0)
      text += "[14:30:00]::basecomp.cpp[" + std::to_string(questions[i].line) + "] " + questions[i].text + answer;
    ++i;
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return text;
}

std::string Read(const TestMachine &machine, const std::wstring &name) {
  return machine.Exists(kLogDir + name) ? machine.Read(kLogDir + name) : "";
}

std::string VerboseLog(const TestMachine &machine) {
  std::error_code ec;
  for (auto &e : std::filesystem::directory_iterator(machine.Host(kLogDir), ec))
    if (e.path().filename() != "kvnsetup.log") return machine.Read(kLogDir + e.path().filename().wstring());
  return "";
}

const std::string kDone = "Done.\r\n\r\n";
}  // namespace

TEST(PreInstall, StatusFromTheAnswers) {
  using D = PreInstallDecision;
  // hardware, installed, marked, version, requirements, its message, dependencies, its message
  const struct {
    PreInstallAnswers answers;
    int status;
    D::Message message;
  } cases[] = {
      {{1, 1, 0, 1, 1, false, 1, false}, 1, D::kNone},
      {{1, 1, 0, 0, 1, false, 1, false}, 2, D::kNone},
      {{1, 1, 0, 2, 1, false, 1, false}, 3, D::kNone},
      {{1, 1, 0, 3, 1, false, 1, false}, 8, D::kNone},
      {{1, 1, 0, -1, 1, false, 1, false}, 8, D::kNone},
      {{0, 1, 0, 2, 1, false, 1, false}, 4, D::kNone},
      {{0, 1, 1, 2, 0, true, 1, false}, 4, D::kNone},  // without hardware marks and requirements don't count
      {{1, 0, 0, 0, 1, false, 1, false}, 5, D::kNone},
      {{0, 0, 0, 0, 1, false, 1, false}, 6, D::kNone},
      {{1, 1, 0, 1, 1, false, 0, false}, 6, D::kNone},
      {{1, 0, 0, 0, 1, false, 0, true}, 6, D::kDependencies},
      {{1, 1, 1, 1, 1, false, 1, false}, 7, D::kMarkedForRemoval},
      {{1, 0, 0, 0, 0, false, 1, false}, 7, D::kNone},
      {{1, 0, 0, 0, 0, true, 1, false}, 7, D::kRequirements},
      {{1, 1, 1, 1, 0, true, 1, false}, 7, D::kMarkedForRemoval},  // the mark's message wins
      {{1, 1, 1, 1, 0, true, 0, true}, 6, D::kDependencies},       // and the dependencies' over both
      {{1, 1, 1, 1, 0, true, 0, false}, 6, D::kMarkedForRemoval},  // a failure without text keeps it
  };
  for (const auto &c : cases) {
    const PreInstallAnswers &a = c.answers;
    SCOPED_TRACE(testing::Message() << a.hardware << a.installed << a.marked << a.version << a.requirements
                                    << a.requirementMessage << a.dependencies << a.dependencyMessage);
    PreInstallDecision d = DecidePreInstallStatus(a);
    EXPECT_EQ(d.status, c.status);
    EXPECT_EQ(d.message, c.message);
  }
}

TEST(PreInstall, ReportsOnBuiltMachines) {
  const std::string kTiny = "[machine]\nclock = \"2026-12-08T14:30:00\"\nfree_disk = { \"C:\" = 10485760 }\n";
  const std::string k4TiB = "[machine]\nclock = \"2026-12-08T14:30:00\"\nfree_disk = { \"C:\" = 4398046511104 }\n";
  const std::string kDiskFails = "[[faults]]\nfunction = \"GetDiskFreeSpaceExW\"\nerror = 21\n";
  const std::string kRunningService = "[[services]]\nname = \"z40e\"\nstate = \"running\"\n";
  const std::string kNoAdapter = "[machine]\nclock = \"2026-12-08T14:30:00\"\n";
  const char *kOtherModel =
      "<componentdependencies><dependent_hardware><platforms><platform model=\"XR-9\"/>"
      "</platforms></dependent_hardware></componentdependencies>";
  const char *kThisModel =
      "<componentdependencies><dependent_hardware><platforms><platform model=\"rs-220\"/>"
      "</platforms></dependent_hardware></componentdependencies>";
  // The answers to OS, disk, hardware, installed, marked, version and dependencies.
  const std::string ready = "Yes\r\n|Yes\r\n|Yes\r\n|No\r\n|No\r\n|Older\r\n|";
  const std::string installed = "Yes\r\n|Yes\r\n|Yes\r\n|Yes\r\n|No\r\n|";
  const Case cases[] = {
      {"not installed, adapter present: ready", "", true, 10, 20480, kNone, "", nullptr, -1, nullptr, L"en", 5, nullptr,
       L"", ready + kDone},
      {"installed and the same version", "", true, 10, 20480, kRunning, "25.0.0.3", nullptr, -1, nullptr, L"en", 1,
       nullptr, L"", installed + "Same\r\n|" + kDone},
      {"installed and older", "", true, 10, 20480, kRunning, "24.9.0.0", nullptr, -1, nullptr, L"en", 2, nullptr, L"",
       installed + "Older\r\n|" + kDone},
      {"installed and newer", "", true, 10, 20480, kRunning, "25.0.0.4", nullptr, -1, nullptr, L"en", 3, nullptr, L"",
       installed + "Newer\r\n|" + kDone},
      {"installed, the adapter absent, newer: the version does not count", kNoAdapter, true, 10, 20480, kRunning,
       "26.0.0.0", nullptr, -1, nullptr, L"en", 4, nullptr, L"",
       "Yes\r\n|Yes\r\n|No\r\n|Yes\r\n|No\r\n|Newer\r\n|" + kDone},
      {"listed but absent, not installed", kNoAdapter, true, 10, 20480, kNone, "", nullptr, -1, nullptr, L"en", 6,
       nullptr, L"", "Yes\r\n|Yes\r\n|No\r\n|No\r\n|No\r\n|Older\r\n|" + kDone},
      {"no device listed counts as present", "", false, 10, 20480, kNone, "", nullptr, -1, nullptr, L"en", 5, nullptr,
       L"", ready + kDone},
      {"version status outside 0 to 2: no answer, status 8", "", true, 10, 20480, kRunning, "25.0.0.3", nullptr, 7,
       nullptr, L"en", 8, nullptr, L"", installed + "|" + kDone},
      {"unsupported OS: one question, German message", "", true, 6, 20480, kRunning, "25.0.0.3", nullptr, -1, nullptr,
       L"de", 7, &MSG_OS_NOT_SUPPORTED, L"", "No\r\n\r\n"},
      {"not enough disk space", kTiny, true, 10, 20480, kRunning, "25.0.0.3", nullptr, -1, nullptr, L"es", 7,
       &MSG_NOT_ENOUGH_DISK_SPACE, L"", "Yes\r\n|No\r\n\r\n"},
      {"4 TiB free is enough", k4TiB, true, 10, 20480, kRunning, "25.0.0.3", nullptr, -1, nullptr, L"en", 1, nullptr,
       L"", installed + "Same\r\n|" + kDone},
      {"no space required: the disk is not asked", kDiskFails, true, 10, 0, kRunning, "25.0.0.3", nullptr, -1, nullptr,
       L"en", 1, nullptr, L"", installed + "Same\r\n|" + kDone},
      // A service marked for deletion stays while it runs; a stopped one goes with its last handle.
      {"marked for removal wins over the same version", kRunningService, true, 10, 20480, kDeleted, "25.0.0.3", nullptr,
       -1, nullptr, L"fr", 7, &MSG_MARKED_FOR_REMOVAL, L"", "Yes\r\n|Yes\r\n|Yes\r\n|No\r\n|Yes\r\n|Same\r\n|" + kDone},
      {"a failed requirement with its message", "", true, 10, 20480, kNone, "", L"Needs the RAID firmware 3.1.", -1,
       nullptr, L"en", 7, nullptr, L"Needs the RAID firmware 3.1.", ready + kDone},
      {"dependency check fails: status 6 with its message", "", true, 10, 20480, kNone, "", nullptr, -1, kOtherModel,
       L"en", 6, nullptr, L"System model not supported.", ready + "Failed!\r\n\r\n"},
      {"a model the file lists, in other letter case", "", true, 10, 20480, kRunning, "25.0.0.3", nullptr, -1,
       kThisModel, L"en", 1, nullptr, L"", installed + "Same\r\n|" + kDone},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine(c.toml == kNoAdapter ? c.toml : c.toml + kAdapter);
    machine.Write(L"C:\\Package\\vqz40e.xml", Definition(c.devices, c.osMajor, c.diskKb));
    machine.Write(L"C:\\Package\\install.xml", kInstallXml);
    machine.Write(L"C:\\Package\\z40e64.inf", kInf);
    if (c.dependencyXml) machine.Write(L"C:\\Package\\dependency.xml", c.dependencyXml);
    if (*c.driverVersion) machine.WritePe(L"C:\\Windows\\System32\\drivers\\z40e64.sys", c.driverVersion);
    if (c.installed != kNone) {
      SetDword(kService, L"Start", 3);
      SetDword(kService, L"Type", 1);
      if (c.installed == kDeleted) SetDword(kService, L"DeleteFlag", 1);
      SetDword(kEnum, L"Count", 1);
      SetDword(kEnum, L"NextInstance", 1);
      std::string instance = kInstance;
      SetString(kEnum, L"0", std::wstring(instance.begin(), instance.end()));
    }
    machine.SetProcess(L"C:\\Package\\setup.exe", L"\"C:\\Package\\setup.exe\" /verbose_log", L"C:\\Package");

    PreInstallStatus status;
    status.nStatus = -1;
    std::fill(std::begin(status.szMessage), std::end(status.szMessage), L'#');
    {
      Probe component;
      component.requirementMessage = c.requirementMessage;
      component.versionOverride = c.versionOverride;
      ASSERT_EQ(component.Initialize(), 1);
      ASSERT_EQ(component.GetPreInstallStatus(&status, sizeof status, c.lang), 1);
    }
    EXPECT_EQ(status.nStatus, c.status);
    EXPECT_EQ(std::wstring(status.szMessage), c.table ? LookupMessage(*c.table, c.lang) : c.message);

    std::string normal = Read(machine, L"kvnsetup.log");
    EXPECT_NE(normal.find(Report(c.answers, false)), std::string::npos) << normal;
    std::string verbose = VerboseLog(machine);
    EXPECT_NE(verbose.find("[14:30:00]::basecomp.cpp[1115]     - Is operating system supported... "), std::string::npos)
        << verbose;
    EXPECT_NE(verbose.find(Report(c.answers, true)), std::string::npos) << verbose;
  }
}

TEST(PreInstall, RecordsTooSmallAreRefusedAndLongMessagesCut) {
  TestMachine machine(kAdapter);
  machine.Write(L"C:\\Package\\vqz40e.xml", Definition(true, 10, 0));
  machine.SetProcess(L"C:\\Package\\setup.exe", L"setup.exe", L"C:\\Package");
  Probe component;
  std::wstring longText(4000, L'r');
  component.requirementMessage = longText.c_str();
  ASSERT_EQ(component.Initialize(), 1);
  PreInstallStatus status;
  status.nStatus = -1;
  status.szMessage[0] = L'#';
  EXPECT_EQ(component.GetPreInstallStatus(&status, sizeof status - 1, L"en"), 0);
  EXPECT_EQ(status.nStatus, -1);
  EXPECT_EQ(status.szMessage[0], L'#');
  EXPECT_EQ(component.GetPreInstallStatus(&status, sizeof status, L"en"), 1);
  EXPECT_EQ(status.nStatus, 7);
  EXPECT_EQ(std::wstring(status.szMessage), longText.substr(0, 1023));
}
