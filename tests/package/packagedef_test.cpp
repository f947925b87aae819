// The package definition: finding it, reading it into the component's members, and the
// name, description and version queries.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/basecomp.h"
#include "testmachine.h"
#include "xmltext.h"

namespace {
const std::wstring kDefinition = L"C:\\Package\\vqz40e.xml";

struct Probe : CBaseComponent {
  using CBaseComponent::m_bRebootRequired;
  using CBaseComponent::m_bSilentCapable;
  using CBaseComponent::m_nRequiredDiskKb;
  using CBaseComponent::m_scsiIds;
  using CBaseComponent::m_strSoftwareKeyPath;
  using CBaseComponent::m_supportedDevices;
  using CBaseComponent::m_supportedOS;
  using CBaseComponent::m_szPackageFileName;
};

std::vector<std::wstring> Texts(const CStrList &list) {
  std::vector<std::wstring> out;
  for (const CStr &s : list) out.emplace_back(s.GetString());
  return out;
}

// A component that has read the definition <kvn_package>body</kvn_package> (result 0).
std::unique_ptr<Probe> Read(const TestMachine &machine, const std::string &body) {
  machine.Write(kDefinition, "<?xml version=\"1.0\"?>\n<kvn_package>" + body + "</kvn_package>\n");
  auto probe = std::make_unique<Probe>();
  EXPECT_EQ(probe->ReadPackageDefinition(kDefinition.c_str()), 0);
  return probe;
}

TEST(PackageDefinition, ResultsAndNothingReadOnFailure) {
  const struct {
    const WCHAR *path;
    const char *content;  // null: no file
    int result;
  } cases[] = {
      {nullptr, nullptr, 4},
      {L"", nullptr, 4},
      {L"C:\\Package\\vqnone.xml", nullptr, 3},
      {L"C:\\Package\\vqbad.xml", "<kvn_package><filename>x.xml</kvn_package>", 5},
      {L"C:\\Package\\vqother.xml", "<other><filename>abcdefgh</filename></other>", 0},
      {L"C:\\Package\\vqdeep.xml", "<o><kvn_package><filename>abcdefgh</filename></kvn_package></o>", 0},
  };
  TestMachine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(Show(c.path));
    if (c.content) machine.Write(c.path, c.content);
    Probe p;
    EXPECT_EQ(p.ReadPackageDefinition(c.path), c.result);
    EXPECT_EQ(std::wstring(p.m_szPackageFileName), L"");
  }
  auto p = Read(machine, "<filename>vqfirst.xml</filename>");
  machine.Write(L"C:\\Package\\vq2.xml",
                "<kvn_package><filename>vqsecond.xml</filename><version value=\"2\"/></kvn_package>");
  EXPECT_EQ(p->ReadPackageDefinition(L"C:\\Package\\vq2.xml"), 1);  // already read
  EXPECT_EQ(std::wstring(p->m_szPackageFileName), L"vqfirst");
  WCHAR version[8];
  EXPECT_EQ(p->GetPackageVersion(version, 8), 0);
}

TEST(PackageDefinition, FileNameLosesFourCharacters) {
  const struct {
    std::string element;
    std::wstring name;
  } cases[] = {
      {"<filename>vqz40e12.xml</filename>", L"vqz40e12"},
      {"<filename>abcde</filename>", L"a"},
      {"<filename>abcd</filename>", L""},
      {"<filename>a</filename>", L""},
      {"<filename>" + std::string(127, 'n') + "</filename>", std::wstring(123, L'n')},
      {"<filename>" + std::string(200, 'n') + "</filename>", std::wstring(123, L'n')},
      {"<filename><![CDATA[vq1.xml]]></filename>", L"vq1"},
      {"<filename>  vq2.xml</filename>", L""},
      {"<filename><i>vq3.xml</i></filename>", L""},
      {"", L""},
  };
  TestMachine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.element);
    EXPECT_EQ(std::wstring(Read(machine, c.element)->m_szPackageFileName), c.name);
  }
}

std::string Key(const std::string &name, const std::string &path) {
  std::string key = name.empty() ? "<sw_key>" : "<sw_key name=\"" + name + "\">";
  if (!path.empty()) key += "<sw_key_expectedpath>" + path + "</sw_key_expectedpath>";
  return "<sw_keys_and>" + key + "</sw_key></sw_keys_and>";
}

TEST(PackageDefinition, SoftwareKeyIsTheFirstExistingCandidateInTreeOrder) {
  // In tree order: the first, the third (taking the name before it, a.sys), the second.
  const std::string three = "<sw_keys>" + Key("a.sys", "C:\\One") + Key("b.sys", "C:\\Two\\") +
                            Key("", "%SystemRoot%\\System32\\drivers") + "</sw_keys>";
  const std::wstring drivers = L"C:\\Windows\\System32\\drivers\\";
  const struct {
    std::string keys;
    std::vector<std::wstring> files;
    std::wstring path;
  } cases[] = {
      {three, {}, L"C:\\One\\a.sys"},
      {three, {L"C:\\TWO\\B.SYS"}, L"C:\\Two\\b.sys"},
      {three, {L"C:\\Two\\b.sys", drivers + L"a.sys"}, drivers + L"a.sys"},
      {three, {drivers + L"b.sys"}, L"C:\\One\\a.sys"},
      {three, {L"C:\\One\\a.sys", L"C:\\Two\\b.sys"}, L"C:\\One\\a.sys"},
      {three, {L"C:\\One\\a.sys\\inside.txt", L"C:\\Two\\b.sys"}, L"C:\\Two\\b.sys"},  // a folder is no file
      {"", {}, L""},
      {"<sw_keys><sw_keys_and/>" + Key("c.sys", "C:\\Three") + "</sw_keys>", {}, L"C:\\Three\\c.sys"},
      {"<sw_keys>" + Key("c.sys", "") + Key("d.sys", "C:\\Four") + "</sw_keys>", {}, L"C:\\Four\\d.sys"},
      {"<sw_keys>" + Key("c.sys", " C:\\Three") + "</sw_keys>", {}, L""},
      {"<sw_keys>" + Key("c.sys", "C:\\" + std::string(MAX_PATH, 'd')) + Key("", "C:\\Five") + "</sw_keys>",
       {},
       L"C:\\Five\\c.sys"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.keys + " " + testing::PrintToString(c.files));
    TestMachine machine;
    for (auto &f : c.files) machine.Write(f, "x");
    EXPECT_EQ(std::wstring(Read(machine, c.keys)->m_strSoftwareKeyPath.GetString()), c.path);
  }
}

TEST(PackageDefinition, SilentRebootAndDiskSpace) {
  const struct {
    std::string body;
    BOOL silent, reboot;
    UINT diskKb;
  } cases[] = {
      {"<installation><install><install_caps silent=\"YES\"/></install></installation>", 1, 0, 0},
      {"<installation><install><install_caps silent=\"no\"/></install></installation>", 0, 0, 0},
      {"<installation><install><install_caps silent=\"maybe\"/></install></installation>", 0, 0, 0},
      {"<installation><install><install_caps/></install></installation>", 1, 0, 0},
      {"<installation><install_caps silent=\"no\"/></installation>", 1, 0, 0},
      {"<installation><install><reboot_required value=\"Yes\"/></install></installation>", 1, 1, 0},
      {"<installation><install><reboot_required value=\"maybe\"/></install></installation>", 1, 0, 0},
      {"<prerequisites><required_diskspace size_kb=\"  +2048kb\"/></prerequisites>", 1, 0, 2048},
      {"<prerequisites><required_diskspace size_kb=\"abc\"/></prerequisites>", 1, 0, 0},
      {"<prerequisites><required_diskspace size_kb=\"99999999999\"/></prerequisites>", 1, 0, 2147483647u},
      {"<prerequisites><required_diskspace/></prerequisites>", 1, 0, 0},
      {"<required_diskspace size_kb=\"10\"/>", 1, 0, 0},
  };
  TestMachine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.body);
    auto p = Read(machine, c.body);
    EXPECT_EQ(p->m_bSilentCapable, c.silent);
    EXPECT_EQ(p->m_bRebootRequired, c.reboot);
    EXPECT_EQ(p->m_nRequiredDiskKb, c.diskKb);
  }
}

// One supported device entry; `data` is name=text pairs in document order.
std::string Device(const std::string &type, std::vector<std::pair<std::string, std::string>> data) {
  std::string s = "<supported_devices_and><supported_device" + (type.empty() ? "" : " type=\"" + type + "\"") + ">";
  for (auto &[name, text] : data)
    s += "<supported_device_data" + (name.empty() ? "" : " name=\"" + name + "\"") + ">" + text +
         "</supported_device_data>";
  return s + "</supported_device></supported_devices_and>";
}

TEST(PackageDefinition, SupportedDevices) {
  const struct {
    std::string entries;
    std::vector<std::wstring> devices, scsi;
  } cases[] = {
      {Device("pci", {{"ven", "8086"}, {"dev", "1572"}}), {L"PCI\\VEN_8086&DEV_1572"}, {}},
      {Device("pci", {{"subdev", "0001"}, {"ven", "8086"}, {"subven", "8086"}, {"dev", "1572"}}),
       {L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086"},
       {}},
      {Device("PCI", {{"VEN", "8086"}, {"Dev", "154c"}}), {L"PCI\\VEN_8086&DEV_154c"}, {}},
      {Device("pci", {{"ven", "8086"}}), {L""}, {}},
      {Device("pci", {{"ven", "8086"}, {"dev", "1572"}, {"subven", "8086"}}), {L""}, {}},
      {Device("pci", {{"ven", " 8086"}, {"dev", "1572"}}), {L""}, {}},
      {Device("eisa", {{"ID", "PNP0A03"}}), {L"*PNP0A03"}, {}},
      {Device("pnp", {{"id", "ACPI\\PNP0C02"}}), {L"ACPI\\PNP0C02"}, {}},
      {Device("scsi", {{"id", "SCSI\\Disk"}}), {}, {L"SCSI\\Disk"}},
      {Device("usb", {{"id", "USB\\VID_1234"}}), {}, {}},
      {Device("", {{"id", "ACPI\\PNP0C02"}}), {}, {}},
      {Device("pnp", {{"hid", "ACPI\\PNP0C02"}}), {}, {}},
      {Device("pnp", {{"", "ACPI\\PNP0C02"}}), {}, {}},
      {Device("pnp", {{"id", ""}}), {}, {}},
      {"<supported_devices_and/>", {}, {}},
      {Device("pnp", {{"id", "1st"}}) + "<other/>" + Device("pnp", {{"id", "2nd"}}) + Device("pnp", {{"id", "3rd"}}),
       {L"1st", L"3rd", L"2nd"},
       {}},
  };
  TestMachine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.entries);
    auto p = Read(machine, "<prerequisites><supported_devices>" + c.entries + "</supported_devices></prerequisites>");
    EXPECT_EQ(Texts(p->m_supportedDevices), c.devices);
    EXPECT_EQ(Texts(p->m_scsiIds), c.scsi);
  }
}

TEST(PackageDefinition, SupportedOperatingSystems) {
  const struct {
    std::string attributes;
    std::wstring name;
    int major, minor, sp;
    WORD edition;
  } cases[] = {
      {"platform=\"Windows\"", L"Windows", -1, -1, -1, 0xFFFF},
      {"platform=\"W\" major=\"10\" minor=\"0\" sr=\"2\" edition=\"SRVR\"", L"W", 10, 0, 2, 0xFF05},
      {"platform=\"x\" edition=\"unknown\"", L"x", -1, -1, -1, 0},
      {"platform=\"x\" edition=\"\"", L"x", -1, -1, -1, 0xFFFF},
      {"major=\"abc\" minor=\" 3x\"", L"", 0, 3, -1, 0xFFFF},
      {"platform=\"" + std::string(100, 'p') + "\"", std::wstring(63, L'p'), -1, -1, -1, 0xFFFF},
  };
  TestMachine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.attributes);
    auto p = Read(machine, "<prerequisites><supported_operating_systems><supported_operating_system " + c.attributes +
                               "/></supported_operating_systems></prerequisites>");
    ASSERT_EQ(p->m_supportedOS.size(), 1u);
    const OSDescriptor &os = p->m_supportedOS[0];
    EXPECT_EQ(std::wstring(os.szOSName), c.name);
    EXPECT_EQ(std::vector<int>({os.nMajor, os.nMinor, os.nServicePack, os.nEdition}),
              std::vector<int>({c.major, c.minor, c.sp, c.edition}));
  }
  auto p = Read(machine,
                "<prerequisites><supported_operating_systems><supported_operating_system platform=\"a\"/>"
                "<other platform=\"o\"/><supported_operating_system platform=\"b\"/>"
                "<supported_operating_system platform=\"c\"/></supported_operating_systems></prerequisites>");
  std::vector<std::wstring> names;
  for (auto &os : p->m_supportedOS) names.emplace_back(os.szOSName);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"a", L"c", L"b"}));
}

TEST(PackageDefinition, LocateTakesTheFirstListedFileWithAPackageElement) {
  const std::string pkg = "<kvn_package/>";
  const struct {
    std::vector<std::pair<std::wstring, std::string>> files;
    std::wstring found;  // empty: none
  } cases[] = {
      {{{L"vqa.xml", "<other/>"}, {L"vqb.xml", pkg}}, L"vqb.xml"},
      {{{L"vqb.xml", pkg}, {L"vqa.xml", pkg}}, L"vqa.xml"},
      {{{L"vqa.xml", "<kvn_package>"}, {L"vqz.xml", pkg}}, L"vqz.xml"},
      {{{L"vqa.xml", "<o><kvn_package/></o>"}}, L""},
      {{}, L""},
      {{{L"vqa.xml.bak", pkg}, {L"avq.xml", pkg}, {L"vqa.txt", pkg}, {L"v.xml", pkg}}, L""},
      {{{L"VQC.XML", pkg}}, L"VQC.XML"},
      {{{L"vq.xml", pkg}}, L"vq.xml"},
      {{{L"vqd.xml\\inside.txt", pkg}, {L"vqe.xml", pkg}}, L"vqe.xml"},  // the folder vqd.xml is passed over
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.files));
    TestMachine machine;
    machine.Write(L"C:\\Package\\setup.exe", "");
    for (auto &[name, content] : c.files) machine.Write(L"C:\\Package\\" + name, content);
    machine.Write(L"C:\\vqroot.xml", pkg);  // outside the current directory
    machine.SetProcess(L"C:\\Package\\setup.exe", L"setup.exe", L"C:\\Package");
    Probe p;
    WCHAR path[MAX_PATH] = L"";
    EXPECT_EQ(p.LocatePackageDefinition(path), c.found.empty() ? 0 : 1);
    EXPECT_EQ(std::wstring(path), c.found);
  }
}

TEST(PackageDefinition, NameDescriptionAndVersion) {
  TestMachine machine;
  auto p = Read(machine,
                "<name>\n <name_xlate lang=\"en\">English name</name_xlate>\n"
                " <name_xlate lang=\"de\">Deutsch</name_xlate>\n <name_xlate lang=\"fr\"><b>x</b></name_xlate>\n"
                " <name_xlate lang=\"it\">  spaced</name_xlate>\n</name>\n<description>\n"
                " <description_xlate lang=\"en\"><![CDATA[English text]]></description_xlate>\n"
                " <description_xlate lang=\"de\">Plain</description_xlate>\n"
                " <description_xlate lang=\"ja\">\n  <![CDATA[  first\n second]]>\n </description_xlate>\n"
                " <description_xlate lang=\"fr\">avant<![CDATA[apr\xC3\xA8s]]></description_xlate>\n</description>\n"
                "<version value=\"1.2.3\"/>\n");
  const struct {
    char query;  // n name, d description, v version
    const WCHAR *language;
    UINT capacity;
    std::wstring text;  // empty: answers 0 and leaves the buffer alone
  } cases[] = {
      {'n', L"en", 64, L"English name"},
      {'n', L"DE", 64, L"Deutsch"},
      {'n', L"pt", 64, L"English name"},  // no entry: English
      {'n', nullptr, 64, L"English name"},
      {'n', L"fr", 64, L""},  // an entry whose first child is an element: no fallback
      {'n', L"it", 64, L""},  // an entry without text: no fallback
      {'n', L"en", 12, L""},  // no room for the terminator
      {'n', L"en", 13, L"English name"},
      {'d', L"en", 64, L"English text"},
      {'d', L"ja", 64, L"  first\n second"},
      {'d', L"fr", 64, L"apr\u00e8s"},  // the CDATA child, wherever it is
      {'d', L"de", 64, L""},            // plain text is no description
      {'d', L"pt", 64, L"English text"},
      {'d', L"en", 12, L""},
      {'v', nullptr, 64, L"1.2.3"},
      {'v', nullptr, 6, L"1.2.3"},
      {'v', nullptr, 5, L""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.query << " " << Show(c.language) << " " << c.capacity);
    std::wstring buffer(64, L'#');
    int result = c.query == 'n'   ? p->GetPackageName(buffer.data(), c.capacity, c.language)
                 : c.query == 'd' ? p->GetPackageDescription(buffer.data(), c.capacity, c.language)
                                  : p->GetPackageVersion(buffer.data(), c.capacity);
    EXPECT_EQ(result, c.text.empty() ? 0 : 1);
    EXPECT_EQ(c.text.empty() ? buffer : std::wstring(buffer.c_str()), c.text.empty() ? std::wstring(64, L'#') : c.text);
  }
  WCHAR buffer[16];
  auto german = Read(machine, "<name><name_xlate lang=\"de\">N</name_xlate></name><version value=\"\"/>");
  EXPECT_EQ(german->GetPackageName(buffer, 16, L"fr"), 0);  // no English entry to fall back to
  EXPECT_EQ(german->GetPackageVersion(buffer, 16), 0);      // empty version
  EXPECT_EQ(Read(machine, "")->GetPackageVersion(buffer, 16), 0);
  EXPECT_EQ(Probe().GetPackageName(buffer, 16, L"en"), 0);  // nothing read
}

// A document without kvn_package must not answer from elements outside a package.
TEST(PackageDefinition, ADocumentWithoutAPackageAnswersNoTexts) {
  TestMachine machine;
  machine.Write(L"C:\\Package\\vqv.xml", "<version value=\"9.9\"/>");
  Probe p;
  ASSERT_EQ(p.ReadPackageDefinition(L"C:\\Package\\vqv.xml"), 0);
  WCHAR buffer[16] = L"";
  EXPECT_EQ(p.GetPackageVersion(buffer, 16), 0) << Show(buffer);
}
}  // namespace
