// kvnhost matrix over the example machines: each row is what kvnhost answers on that machine
// alone; every form parses back (JSON Lines, CSV, JUnit XML and the page by an XML reader);
// a machine that crashes, one that hangs and one that does not load are rows of their own while
// the others finish; shards cover the fleet once; bad arguments are one line and exit status 2.
#include <sys/wait.h>

#include <expat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hostrun.h"
#include "testmachine.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const auto Quote = ShellQuote;

struct MatrixTest : ::testing::Test {
  const ScratchFolder folder{"kvnhost-matrix-test"};
  const fs::path &scratch = folder.Path();
  HostRun Kvnhost(const std::string &args) const { return RunProgram(KVNHOST, args, scratch); }
};

std::vector<json> JsonLines(const std::string &text) {
  std::vector<json> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) rows.push_back(json::parse(line));
  return rows;
}

// An XML document read with Expat: each element's name and attributes, and the text of the
// elements named in `texts`, in document order.
struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
  int depth = 0;
};
std::string Narrow(const XML_Char *s, int length = -1) {
  std::string out;
  for (int i = 0; length < 0 ? s[i] != 0 : i < length; ++i) out += s[i] < 0x80 ? char(s[i]) : '?';
  return out;
}
bool ReadXml(const std::string &text, std::vector<Element> &elements, std::string &error) {
  struct State {
    std::vector<Element> *elements;
    std::vector<size_t> open;
  } state{&elements, {}};
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(
      parser,
      [](void *data, const XML_Char *name, const XML_Char **attributes) {
        auto *s = static_cast<State *>(data);
        Element e;
        e.name = Narrow(name);
        e.depth = int(s->open.size());
        for (const XML_Char **a = attributes; *a; a += 2) e.attributes[Narrow(a[0])] = Narrow(a[1]);
        s->open.push_back(s->elements->size());
        s->elements->push_back(e);
      },
      [](void *data, const XML_Char *) { static_cast<State *>(data)->open.pop_back(); });
  XML_SetCharacterDataHandler(parser, [](void *data, const XML_Char *s, int length) {
    auto *st = static_cast<State *>(data);
    if (!st->open.empty()) (*st->elements)[st->open.back()].text += Narrow(s, length);
  });
  const bool ok = XML_Parse(parser, text.data(), int(text.size()), XML_TRUE) != XML_STATUS_ERROR;
  if (!ok)
    error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
            std::to_string(XML_GetCurrentLineNumber(parser));
  XML_ParserFree(parser);
  return ok;
}

// CSV records (quoted fields with "" for a quote, CRLF between records).
std::vector<std::vector<std::string>> ReadCsv(const std::string &text) {
  std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        records.back().back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        records.back().back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      records.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      records.emplace_back(1);
      ++i;
    } else {
      records.back().back() += c;
    }
  }
  if (records.back().size() == 1 && records.back()[0].empty()) records.pop_back();
  return records;
}

// Each row of the example fleet answers as kvnhost does on that machine alone, with and without
// --install; the other forms of the same rows parse back to the same machines and outcomes.
TEST_F(MatrixTest, RowsAreWhatEachMachineAnswersAloneInEveryForm) {
  for (bool install : {false, true}) {
    SCOPED_TRACE(install ? "--install" : "check");
    HostRun matrix =
        Kvnhost(std::string("--json matrix --jobs 2 ") + (install ? "--install " : "") + Quote(KVN_EXAMPLE_MACHINES));
    ASSERT_EQ(matrix.status, 0) << matrix.err;
    std::vector<json> rows = JsonLines(matrix.out);
    ASSERT_EQ(rows.size(), 8u) << matrix.out;
    for (const json &row : rows) {
      SCOPED_TRACE(row["machine"].get<std::string>());
      EXPECT_TRUE(row["error"].is_null()) << row["error"];
      const std::string state = (scratch / ("alone-" + row["machine"].get<std::string>())).string();
      HostRun alone = Kvnhost("--machine " + Quote(row["path"]) + " --state " + Quote(state) + " --json check");
      json answer = json::parse(alone.out);
      for (const char *field :
           {"os_supported", "installed", "version_status", "preinstall_status", "preinstall_message"})
        EXPECT_EQ(row[field], answer[field]) << field;
      if (!install) continue;
      alone = Kvnhost("--machine " + Quote(row["path"]) + " --state " + Quote(state) + " --json install");
      answer = json::parse(alone.out);
      for (const char *field : {"install_result", "install_message", "setup_log"})
        EXPECT_EQ(row[field], answer[field]) << field;
      answer = json::parse(Kvnhost("--state " + Quote(state) + " --json check").out);
      EXPECT_EQ(row["installed_after"], answer["installed"]);
      EXPECT_EQ(row["version_status_after"], answer["version_status"]);
    }
    if (!install) continue;

    // The same rows in the other forms.
    const fs::path report = scratch / "fleet.jsonl";
    WriteAll(report, matrix.out);
    std::map<std::string, std::string> outcomes;
    HostRun table = Kvnhost("matrix --report " + Quote(report.string()));
    for (const json &row : rows) {
      const std::string machine = row["machine"];
      const size_t line = table.out.find("\n" + machine + " ");
      ASSERT_NE(line, std::string::npos) << machine << "\n" << table.out;
      outcomes[machine] = table.out.substr(line + 1, table.out.find('\n', line + 1) - line - 1);
    }
    EXPECT_NE(table.out.find("2 installed, 0 need a restart, 0 up to date, 4 nothing to do, 2 not supported, 0 failed"),
              std::string::npos)
        << table.out;

    auto csv = ReadCsv(Kvnhost("--format csv matrix --report " + Quote(report.string())).out);
    ASSERT_EQ(csv.size(), 9u);
    EXPECT_EQ(csv[0][0], "machine");
    EXPECT_EQ(csv[0][2], "outcome");
    for (size_t i = 1; i < csv.size(); ++i) {
      ASSERT_EQ(csv[i].size(), csv[0].size());
      EXPECT_NE(outcomes[csv[i][0]].find(csv[i][2]), std::string::npos) << csv[i][0];
    }

    std::vector<Element> junit;
    std::string error;
    ASSERT_TRUE(ReadXml(Kvnhost("--format junit matrix --report " + Quote(report.string())).out, junit, error))
        << error;
    size_t cases = 0, skipped = 0, failures = 0;
    for (const Element &e : junit) {
      cases += e.name == "testcase";
      skipped += e.name == "skipped";
      failures += e.name == "failure";
    }
    EXPECT_EQ(cases, 8u);
    EXPECT_EQ(skipped, 6u);  // nothing to do or not supported
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(junit[0].name, "testsuites");
    EXPECT_EQ(junit[0].attributes["tests"], "8");

    std::vector<Element> page;
    const std::string html = Kvnhost("--format html matrix --report " + Quote(report.string())).out;
    ASSERT_TRUE(ReadXml(html.substr(html.find("<html")), page, error)) << error;
    std::vector<std::string> machines;
    bool inBody = false;
    for (size_t i = 0; i < page.size(); ++i) {
      inBody = inBody || page[i].name == "tbody";
      if (inBody && page[i].name == "summary") machines.push_back(page[i].text);
      EXPECT_TRUE(page[i].name != "script" && !page[i].attributes.count("src")) << page[i].name;
    }
    EXPECT_EQ(machines.size(), 8u);
    EXPECT_EQ(machines.front(), "default");  // installed first, then by name
    EXPECT_NE(html.find("<h3>Diff</h3>"), std::string::npos);
  }
}

// A machine that crashes, one that passes --timeout and one that does not load are rows saying
// so, and the others finish; two machines of one name keep their paths; shards cover the fleet
// once and their rows render together; bad arguments and bad reports are one line, exit 2.
TEST_F(MatrixTest, BrokenMachinesAreRowsAndShardsCoverTheFleetOnce) {
  const fs::path fleet = scratch / "fleet", other = scratch / "other";
  const std::string base = "base = " + Quote((fs::path(KVN_EXAMPLE_MACHINES) / "default").string()) + "\n";
  auto machine = [&](const fs::path &dir, const std::string &toml) {
    fs::create_directories(dir / "drive_c");
    WriteAll(dir / "machine.toml", base + toml);
  };
  machine(fleet / "crash", "[[faults]]\nfunction = \"RegSetValueExW\"\nnth = 3\nkind = \"crash\"\n");
  std::string devices;
  for (int i = 0; i < 30000; ++i)
    devices += "[[devices]]\ninstance_id = 'ROOT\\X\\" + std::to_string(i) +
               "'\nhardware_ids = ['ROOT\\X']\nclass = \"System\"\n"
               "class_guid = \"{4D36E97D-E325-11CE-BFC1-08002BE10318}\"\ndescription = \"x\"\nstatus = \"started\"\n";
  machine(fleet / "slow", devices);
  machine(fleet / "broken", "[os]\nmajor = \"ten\"\n");
  machine(fleet / "good", "");
  machine(other / "good", "");
  HostRun r = Kvnhost("--json matrix --install --timeout 2 " + Quote(fleet.string()) + " " + Quote(other.string()));
  EXPECT_EQ(r.status, 1) << r.err;
  std::map<std::string, json> byPath;
  for (const json &row : JsonLines(r.out)) byPath[row["path"].get<std::string>()] = row;
  ASSERT_EQ(byPath.size(), 5u) << r.out;
  auto error = [&](const fs::path &dir) { return byPath[dir.string()]["error"].dump(); };
  EXPECT_NE(error(fleet / "crash").find("crashed (exit status 137): winsim: the process ended at call"),
            std::string::npos);
  EXPECT_NE(error(fleet / "slow").find("did not end within 2 s"), std::string::npos);
  EXPECT_NE(error(fleet / "broken").find("machine.toml"), std::string::npos);
  for (const fs::path &good : {fleet / "good", other / "good"}) {
    EXPECT_EQ(byPath[good.string()]["install_result"], 1) << good;
    EXPECT_EQ(byPath[good.string()]["machine"], "good");
  }

  // Shards: disjoint, together every machine, rendered again as one report.
  const std::string examples = Quote(KVN_EXAMPLE_MACHINES);
  std::string all;
  std::multiset<std::string> paths;
  for (const char *shard : {"1/3", "2/3", "3/3"}) {
    HostRun part = Kvnhost(std::string("--json matrix --shard ") + shard + " " + examples);
    EXPECT_EQ(part.status, 0) << part.err;
    for (const json &row : JsonLines(part.out)) paths.insert(row["path"].get<std::string>());
    all += part.out;
  }
  EXPECT_EQ(paths.size(), 8u);
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 8u);
  WriteAll(scratch / "all.jsonl", all);
  EXPECT_NE(Kvnhost("matrix --report " + Quote((scratch / "all.jsonl").string())).out.find("(8 machines)"),
            std::string::npos);

  WriteAll(scratch / "bad.jsonl", JsonLines(all)[0].dump() + "\n{\"not\": \"a row\"}\n");
  fs::create_directories(scratch / "empty");
  const struct {
    std::string args, says;
  } bad[] = {
      {"matrix " + Quote((scratch / "empty").string()), "no machines in"},
      {"matrix --jobs 0 " + examples, "--jobs"},
      {"matrix --shard 3/2 " + examples, "--shard 3/2"},
      {"matrix --report " + Quote((scratch / "bad.jsonl").string()), "bad.jsonl:2: not a row of kvnhost matrix"},
  };
  for (const auto &b : bad) {
    SCOPED_TRACE(b.args);
    HostRun e = Kvnhost(b.args);
    EXPECT_EQ(e.status, 2);
    EXPECT_EQ(std::count(e.err.begin(), e.err.end(), '\n'), 1) << e.err;
    EXPECT_NE(e.err.find(b.says), std::string::npos) << e.err;
  }
}

// The page as a browser renders it: headless Chromium (installed by ./build.sh test) loads it,
// its rendered table holds a row per machine, and its screenshot goes under build/.
TEST_F(MatrixTest, ThePageRendersInAHeadlessBrowserWithARowPerMachine) {
  if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
  const fs::path out = fs::path(KVN_BINARY_DIR) / "matrix-page";
  fs::create_directories(out);
  HostRun page = Kvnhost("--install --format html matrix " + Quote(KVN_EXAMPLE_MACHINES));
  ASSERT_EQ(page.status, 0) << page.err;
  WriteAll(out / "fleet.html", page.out);
  const std::string chromium =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage "
      "--hide-scrollbars --user-data-dir=" +
      Quote((scratch / "profile").string()) + " ";
  const std::string url = Quote("file://" + (out / "fleet.html").string());
  const int raw = std::system(
      (chromium + "--dump-dom " + url + " >" + Quote((scratch / "dom.html").string()) + " 2>/dev/null").c_str());
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << "chromium --dump-dom failed";
  const std::string dom = ReadAll(scratch / "dom.html");
  const std::string body = dom.substr(std::min(dom.size(), dom.find("<tbody>")));
  size_t rows = 0;
  for (size_t at = body.find("<tr class="); at != std::string::npos; at = body.find("<tr class=", at + 1)) ++rows;
  EXPECT_EQ(rows, 8u) << dom.substr(0, 2000);
  for (const char *machine : {"default", "vf-guest", "server2016-core"})
    EXPECT_NE(body.find(std::string("<summary>") + machine + "</summary>"), std::string::npos) << machine;
  fs::remove(out / "fleet.png");
  std::system((chromium + "--window-size=1480,420 --screenshot=" + Quote((out / "fleet.png").string()) + " " + url +
               " >/dev/null 2>&1")
                  .c_str());
  ASSERT_TRUE(fs::exists(out / "fleet.png"));
  EXPECT_EQ(ReadAll(out / "fleet.png").substr(1, 3), "PNG");
}

}  // namespace
