// kvnhost lint over the example packages and over broken copies of them: one case per rule,
// each made by changing a copy of an example package, which must give that rule at its file
// and line and no other rule of the table; the SARIF form checked against what SARIF 2.1.0
// requires.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "hostrun.h"
#include "testmachine.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

HostRun Kvnhost(const fs::path &scratch, const std::string &args) { return RunProgram(KVNHOST, args, scratch); }
const auto Quote = ShellQuote;

// Replaces the first `from` of a package file (which must hold it) by `to`; in a file of CRLF
// lines, the line ends of both are CRLF.
void Change(const fs::path &file, std::string from, std::string to) {
  std::string text = ReadAll(file);
  if (text.find("\r\n") != std::string::npos)
    for (std::string *s : {&from, &to})
      for (size_t at = s->find('\n'); at != std::string::npos; at = s->find('\n', at + 2)) s->insert(at, "\r");
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from << " is not in " << file;
  text.replace(at, from.size(), to);
  WriteAll(file, text);
}

// The 1-based line of the first line of `file` that holds `text`.
unsigned LineOf(const fs::path &file, const std::string &text) {
  std::ifstream in(file);
  unsigned n = 0;
  for (std::string line; std::getline(in, line);)
    if (++n && line.find(text) != std::string::npos) return n;
  return 0;
}

struct Case {
  const char *rule;
  const char *example;  // the example package the case changes
  std::function<void(const fs::path &)> make;
  const char *file;  // where the finding is ("" for the package as a whole, "*" for any file)
  const char *at;    // a text of the line it names in that file (null: the file as a whole)
};

const char kInf[] = "z40e64.inf";
const char kDefinition[] = "vqz40e.xml";

const Case kCases[] = {
    {"KVN101", "package", [](const fs::path &p) { fs::rename(p / kDefinition, p / "definition.xml"); }, "", nullptr},
    {"KVN102", "package", [](const fs::path &p) { fs::copy_file(p / kDefinition, p / "vqz40f.xml"); }, "*", nullptr},
    {"KVN103", "package", [](const fs::path &p) { Change(p / "install.xml", "type=\"PNP\"", "type=\"PNP"); },
     "install.xml", "service_name"},
    {"KVN104", "package", [](const fs::path &p) { Change(p / kDefinition, "<version value=\"1.12.150.0\"/>", ""); },
     kDefinition, "<kvn_package>"},
    {"KVN105", "package", [](const fs::path &p) { Change(p / kDefinition, "1.12.150.0", "1.12.150"); }, kDefinition,
     "<version"},
    {"KVN106", "package",
     [](const fs::path &p) {
       Change(p / kDefinition, "<supported_devices_and>",
              "<supported_devices_and><supported_device type=\"pci\"><supported_device_data name=\"ven\">8086"
              "</supported_device_data><supported_device_data name=\"dev\">15ZZ</supported_device_data>"
              "</supported_device></supported_devices_and>\n<supported_devices_and>");
     },
     kDefinition, "15ZZ"},
    {"KVN107", "package", [](const fs::path &p) { Change(p / kDefinition, "edition=\"core\"", "edition=\"cores\""); },
     kDefinition, "cores"},
    {"KVN108", "package",
     [](const fs::path &p) {
       Change(p / kDefinition, "<name_xlate lang=\"fr\">Pilote de carte réseau Ethernet</name_xlate>", "");
     },
     kDefinition, "<kvn_package>"},
    {"KVN109", "package",
     [](const fs::path &p) { Change(p / kDefinition, "<![CDATA[Installiert", "Installiert <![CDATA["); }, kDefinition,
     "Installiert"},
    {"KVN201", "package", [](const fs::path &p) { Change(p / "install.xml", "<inf_file ", "<inf_file_nt5 "); },
     "install.xml", "<inf_information>"},
    {"KVN202", "package", [](const fs::path &p) { Change(p / "install.xml", "\"PNP\"", "\"PLUG\""); }, "install.xml",
     "<inf_file"},
    {"KVN203", "package", [](const fs::path &p) { Change(p / "install.xml", kInf, "z40e65.inf"); }, "install.xml",
     "<inf_file"},
    {"KVN204", "package",
     [](const fs::path &p) {
       WriteAll(p / "dependency.xml",
                "<componentdependencies>\n<dependent_hardware>\n<platforms>\n<platform/>\n</platforms>\n"
                "</dependent_hardware>\n</componentdependencies>\n");
     },
     "dependency.xml", "<platforms>"},
    {"KVN301", "package", [](const fs::path &p) { Change(p / kInf, "[ControlFlags]", "[ControlFlags"); }, kInf,
     "[ControlFlags"},
    {"KVN302", "package", [](const fs::path &p) { Change(p / kInf, "$Windows NT$", "$Windows XP$"); }, kInf, nullptr},
    {"KVN303", "package",
     [](const fs::path &p) { Change(p / kInf, "{4d36e972-e325-11ce-bfc1", "{4d36e97d-e325-11ce-bfc1"); }, kInf,
     "ClassGUID"},
    {"KVN304", "package", [](const fs::path &p) { Change(p / kInf, "Provider    = %Intel%\n", ""); }, kInf,
     "[Version]"},
    {"KVN305", "package", [](const fs::path &p) { Change(p / kInf, "11/14/2026", "13/14/2026"); }, kInf, "DriverVer"},
    {"KVN306", "package", [](const fs::path &p) { Change(p / kInf, "= z40e64.cat", "= z40e64x.cat"); }, kInf,
     "CatalogFile"},
    {"KVN307", "package", [](const fs::path &p) { Change(p / kInf, "NTamd64.10.0\n", "NTamd64.10.0, NTamd64.11.0\n"); },
     kInf, "NTamd64.11.0"},
    {"KVN308", "package",
     [](const fs::path &p) {
       Change(p / kInf, "z40e.reg, Z40E.params.reg", "z40e.reg, Z40E.params.reg, Z40E.more.reg");
     },
     kInf, "Z40E.more.reg"},
    {"KVN309", "package", [](const fs::path &p) { Change(p / kInf, "%12%\\z40e64.sys", "%12%\\z40e65.sys"); }, kInf,
     "z40e65.sys"},
    {"KVN310", "package",
     [](const fs::path &p) { Change(p / kInf, "v40emsg.dll,,,2\n", "v40emsg.dll,,,2\nextra.dll\n"); }, kInf,
     "extra.dll"},
    {"KVN311", "package",
     [](const fs::path &p) {
       Change(p / kInf, "DefaultDestDir             = 11\n", "");
       Change(p / kInf, "Z40E.CoInstaller.CopyFiles = 11\n", "");
     },
     kInf, "[Z40E.CoInstaller.CopyFiles]"},
    {"KVN312", "package", [](const fs::path &p) { Change(p / kInf, "Z40EVF.DeviceDesc      =", "Z40EVF.Desc ="); },
     kInf, "%Z40EVF.DeviceDesc%"},
    {"KVN313", "package",
     [](const fs::path &p) { Change(p / kInf, "[Strings]", "[Spare.reg]\nHKR,,Spare,,1\n\n[Strings]"); }, kInf,
     "[Spare.reg]"},
    {"KVN401", "package",
     [](const fs::path &p) {
       Change(p / kDefinition, "<supported_devices_and>",
              "<supported_devices_and><supported_device type=\"pci\"><supported_device_data name=\"ven\">8086"
              "</supported_device_data><supported_device_data name=\"dev\">1573</supported_device_data>"
              "</supported_device></supported_devices_and>\n<supported_devices_and>");
     },
     kDefinition, "1573"},
    {"KVN402", "package",
     [](const fs::path &p) {
       Change(p / kInf, "SUBSYS_00028086\n",
              "SUBSYS_00028086\n%Z40E.DeviceDesc% = Z40E.ndi, PCI\\VEN_8086&DEV_1572&SUBSYS_00038086\n");
     },
     kInf, "SUBSYS_00038086"},
    {"KVN403", "package", [](const fs::path &p) { Change(p / kDefinition, "1.12.150.0", "1.12.151.0"); }, kDefinition,
     "<version"},
    {"KVN404", "package", [](const fs::path &p) { Change(p / "install.xml", "\"PNP\"", "\"VIRTUAL\""); }, "install.xml",
     "<inf_file"},
    {"KVN405", "virtual", [](const fs::path &p) { fs::remove(p / "direvo.exe"); }, "vqkvnvirt.xml", nullptr},
    {"KVN406", "package", [](const fs::path &p) { WriteAll(p / "NicInI40.dll", "not a program"); }, "NicInI40.dll",
     nullptr},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.rule; }

struct LintTest : ::testing::TestWithParam<Case> {
  const ScratchFolder folder{"kvnhost-lint"};
  const fs::path &scratch = folder.Path();
};

TEST_P(LintTest, EachRuleFiresOnItsCaseAtItsPlaceAndNoOtherRuleOfTheTable) {
  const Case &c = GetParam();
  const fs::path package = scratch / "package";
  fs::copy(fs::path(KVN_EXAMPLES) / c.example, package, fs::copy_options::recursive);
  c.make(package);
  if (::testing::Test::HasFatalFailure()) return;
  HostRun r = Kvnhost(scratch, "--package " + Quote(package.string()) + " --json lint");
  const json findings = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(findings.is_array()) << r.out << r.err;
  const unsigned line = c.at ? LineOf(package / c.file, c.at) : 0;
  if (c.at) {
    ASSERT_NE(line, 0u) << c.at;
  }
  bool found = false;
  std::set<std::string> rules;
  for (const json &f : findings) {
    rules.insert(f["rule"].get<std::string>());
    if (f["rule"] != c.rule) continue;
    if (std::string(c.file) != "*" && f["file"] != c.file) continue;
    found = found || f["line"] == line;
  }
  EXPECT_TRUE(found) << c.rule << " at " << c.file << ":" << line << "\n" << findings.dump(1);
  // The other rules of the table stay silent (the example's own warnings aside).
  for (const Case &other : kCases) {
    if (std::string(other.rule) != c.rule &&
        !(std::string(other.rule) == "KVN405" && std::string(c.example) != "package")) {
      EXPECT_EQ(rules.count(other.rule), 0u) << other.rule << " also fires\n" << findings.dump(1);
    }
  }
  // The exit status says whether errors were found.
  bool error = false;
  for (const json &f : findings) error = error || f["severity"] == "error";
  EXPECT_EQ(r.status, error ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Lint, LintTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.rule); });

// The three example packages have no errors; the two that do not carry the adapter driver
// are warned that a machine with Intel z40e devices would fail their install, and nothing more.
// A directory that does not exist, or holds no package file, is exit status 2 and one line.
TEST(LintExamples, LintCleanAndAnUnreadableDirectoryIsOneLine) {
  const ScratchFolder folder("kvnhost-lint");
  const fs::path &scratch = folder.Path();
  for (const char *example : {"package", "legacy", "virtual"}) {
    SCOPED_TRACE(example);
    HostRun r = Kvnhost(scratch, "--package " + Quote((fs::path(KVN_EXAMPLES) / example).string()) + " --json lint");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> rules;
    for (const json &f : json::parse(r.out))
      rules.push_back(f["rule"].get<std::string>() + " " + f["severity"].get<std::string>());
    EXPECT_EQ(rules, std::string(example) == "package" ? std::vector<std::string>{}
                                                       : std::vector<std::string>{"KVN405 warning"});
    EXPECT_EQ(r.err, "");
  }
  fs::create_directories(scratch / "empty");
  WriteAll(scratch / "empty" / "readme.txt", "no package here");
  for (const fs::path &dir : {scratch / "missing", scratch / "empty"}) {
    HostRun r = Kvnhost(scratch, "--package " + Quote(dir.string()) + " lint");
    EXPECT_EQ(r.status, 2) << dir;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(dir.string()), std::string::npos) << r.err;
  }
}

// The SARIF log holds what SARIF 2.1.0 requires of each object it uses: the log's version and
// runs, each run's tool.driver with its name, each rule's id, each result's message text, a
// ruleId that is a rule of the driver at ruleIndex, a level of the schema's enumeration, and
// locations whose regions start at a line of 1 or more; the text form's lines are the findings.
TEST(LintSarif, HoldsTheRequiredPropertiesOfSarif210) {
  const ScratchFolder folder("kvnhost-lint");
  const fs::path &scratch = folder.Path(), package = scratch / "package";
  fs::copy(fs::path(KVN_EXAMPLES) / "package", package, fs::copy_options::recursive);
  Change(package / kDefinition, "1.12.150.0", "1.12.151.0");  // two findings with related places
  Change(package / kInf, "[Strings]", "[Spare.reg]\nHKR,,Spare,,1\n\n[Strings]");
  HostRun r = Kvnhost(scratch, "--package " + Quote(package.string()) + " --format sarif lint");
  EXPECT_EQ(r.status, 1) << r.err;
  const json log = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(log.is_object()) << r.out;
  EXPECT_EQ(log["version"], "2.1.0");
  ASSERT_TRUE(log["runs"].is_array() && log["runs"].size() == 1);
  const json &run = log["runs"][0];
  const json &driver = run["tool"]["driver"];
  ASSERT_TRUE(driver["name"].is_string());
  ASSERT_TRUE(driver["rules"].is_array());
  for (const json &rule : driver["rules"]) {
    EXPECT_TRUE(rule["id"].is_string());
    EXPECT_TRUE(rule["help"]["text"].is_string());
  }
  EXPECT_TRUE(run["originalUriBaseIds"]["PACKAGE"]["uri"].get<std::string>().rfind("file:///", 0) == 0);
  const std::set<std::string> levels = {"none", "note", "warning", "error"};
  auto checkLocation = [&](const json &location) {
    const json &physical = location["physicalLocation"];
    EXPECT_TRUE(physical["artifactLocation"]["uri"].is_string());
    EXPECT_EQ(physical["artifactLocation"]["uriBaseId"], "PACKAGE");
    if (physical.contains("region")) {
      EXPECT_GE(physical["region"]["startLine"].get<int>(), 1);
    }
  };
  std::map<std::string, int> byRule;
  for (const json &result : run["results"]) {
    EXPECT_TRUE(result["message"]["text"].is_string());
    const size_t index = result["ruleIndex"].get<size_t>();
    ASSERT_LT(index, driver["rules"].size());
    EXPECT_EQ(driver["rules"][index]["id"], result["ruleId"]);
    EXPECT_EQ(levels.count(result["level"].get<std::string>()), 1u);
    for (const json &location : result.value("locations", json::array())) checkLocation(location);
    std::set<int> ids;
    for (const json &location : result.value("relatedLocations", json::array())) {
      checkLocation(location);
      EXPECT_TRUE(ids.insert(location["id"].get<int>()).second);
    }
    ++byRule[result["ruleId"].get<std::string>()];
  }
  EXPECT_EQ(byRule["KVN403"], 2);
  EXPECT_EQ(byRule["KVN313"], 1);
  HostRun text = Kvnhost(scratch, "--package " + Quote(package.string()) + " lint");
  EXPECT_NE(text.out.find("z40e64.inf:" + std::to_string(LineOf(package / kInf, "[Spare.reg]")) +
                          ": warning KVN313: nothing refers to [Spare.reg]\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("2 errors, 1 warning, 0 notes\n"), std::string::npos) << text.out;
}

}  // namespace
