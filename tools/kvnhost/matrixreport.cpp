// kvnhost matrix's rows: their outcomes, the exit status they give, and their forms (a table,
// JSON Lines, CSV, JUnit XML, one self-contained HTML page); and the reading of JSON Lines that
// earlier runs wrote.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "matrix.h"

using nlohmann::json;

namespace {

constexpr Outcome kOutcomes[] = {Outcome::Failed,   Outcome::Restart,     Outcome::Installed,   Outcome::WillInstall,
                                 Outcome::UpToDate, Outcome::NothingToDo, Outcome::NotSupported};

// A field as text: strings as they are, null as "", lists joined, numbers and booleans as JSON.
std::string Text(const json &row, const char *field) {
  const json value = row.value(field, json());
  if (value.is_null()) return "";
  if (value.is_string()) return value.get<std::string>();
  if (value.is_array()) {
    std::string joined;
    for (const json &item : value)
      joined += (joined.empty() ? "" : " | ") + (item.is_string() ? item.get<std::string>() : item.dump());
    return joined;
  }
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  return value.dump();
}

std::string OneLine(std::string text) {
  for (char &c : text)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// What the row says beside its outcome: the error, else the install's or the check's message.
std::string Remark(const json &row) {
  if (!row.value("error", json()).is_null()) return OneLine(Text(row, "error"));
  const std::string install = OneLine(Text(row, "install_message"));
  return install.empty() ? OneLine(Text(row, "preinstall_message")) : install;
}

void Sort(std::vector<json> &rows) {
  std::stable_sort(rows.begin(), rows.end(), [](const json &a, const json &b) {
    const Outcome x = OutcomeOf(a), y = OutcomeOf(b);
    if (x != y) return int(x) < int(y);
    const std::string m = a.value("machine", ""), n = b.value("machine", "");
    return m != n ? m < n : a.value("path", "") < b.value("path", "");
  });
}

std::map<Outcome, size_t> Count(const std::vector<json> &rows) {
  std::map<Outcome, size_t> counts;
  for (const json &row : rows) ++counts[OutcomeOf(row)];
  return counts;
}

std::string Summary(const std::vector<json> &rows, bool install) {
  std::map<Outcome, size_t> n = Count(rows);
  std::string text = std::to_string(install ? n[Outcome::Installed] : n[Outcome::WillInstall]) +
                     (install ? " installed, " : " will install, ") + std::to_string(n[Outcome::Restart]) +
                     " need a restart, " + std::to_string(n[Outcome::UpToDate]) + " up to date, " +
                     std::to_string(n[Outcome::NothingToDo]) + " nothing to do, " +
                     std::to_string(n[Outcome::NotSupported]) + " not supported, " +
                     std::to_string(n[Outcome::Failed]) + " failed";
  return text + " (" + std::to_string(rows.size()) + " machine" + (rows.size() == 1 ? ")" : "s)");
}

// ---- table ---------------------------------------------------------------------------------

std::string Table(std::vector<json> rows, bool install) {
  Sort(rows);
  std::vector<std::vector<std::string>> cells;
  std::vector<std::string> header = {"MACHINE", "OUTCOME", "OS", "INSTALLED", "VERSION", "PRE-INSTALL"};
  if (install) header.insert(header.end(), {"RESULT", "DEVICES", "SERVICES", "FILES"});
  header.push_back("MESSAGE");
  cells.push_back(header);
  for (const json &row : rows) {
    std::vector<std::string> line = {Text(row, "machine"),        OutcomeName(OutcomeOf(row)),
                                     Text(row, "os_supported"),   Text(row, "installed"),
                                     Text(row, "version_status"), Text(row, "preinstall_status")};
    if (install)
      for (const char *field : {"install_result", "devices_changed", "services_changed", "files_changed"})
        line.push_back(Text(row, field));
    line.push_back(Remark(row));
    cells.push_back(line);
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto &line : cells)
    for (size_t i = 0; i + 1 < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
  std::string out;
  for (const auto &line : cells) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i)
      text += i + 1 < line.size() ? line[i] + std::string(widths[i] - line[i].size() + 2, ' ') : line[i];
    out += OneLine(text) + "\n";
  }
  return out + "\n" + Summary(rows, install) + "\n";
}

// ---- CSV -----------------------------------------------------------------------------------

const char *const kCsvFields[] = {"machine",
                                  "path",
                                  "outcome",
                                  "os_supported",
                                  "installed",
                                  "version_status",
                                  "preinstall_status",
                                  "preinstall_message",
                                  "install_result",
                                  "restart_required",
                                  "install_message",
                                  "devices_changed",
                                  "services_changed",
                                  "files_changed",
                                  "registry_changed",
                                  "prompts",
                                  "simulator_notes",
                                  "installed_after",
                                  "version_status_after",
                                  "error"};

std::string CsvField(const std::string &text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string Csv(const std::vector<json> &rows) {
  std::string out;
  for (const char *field : kCsvFields) out += std::string(out.empty() ? "" : ",") + field;
  out += "\r\n";
  for (const json &row : rows) {
    std::string line;
    for (const char *field : kCsvFields) {
      const std::string text = std::string(field) == "outcome" ? OutcomeName(OutcomeOf(row)) : Text(row, field);
      line += (line.empty() && field == kCsvFields[0] ? "" : ",") + CsvField(text);
    }
    out += line + "\r\n";
  }
  return out;
}

// ---- JUnit XML and HTML --------------------------------------------------------------------

std::string Escape(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // Control characters other than tab and line ends are not allowed in XML 1.0.
        if ((unsigned char)c < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += ' ';
        else
          out += c;
    }
  }
  return out;
}

std::string Seconds(const json &row) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", row.value("seconds", 0.0));
  return text;
}

std::string JUnit(std::vector<json> rows) {
  Sort(rows);
  size_t failures = 0, skipped = 0;
  double total = 0;
  std::string cases;
  for (const json &row : rows) {
    const Outcome outcome = OutcomeOf(row);
    total += row.value("seconds", 0.0);
    cases += "    <testcase classname=\"kvnhost.matrix\" name=\"" + Escape(Text(row, "machine")) + "\" file=\"" +
             Escape(Text(row, "path")) + "\" time=\"" + Seconds(row) + "\">\n";
    if (outcome == Outcome::Failed) {
      ++failures;
      const bool ran = row.value("error", json()).is_null();
      cases += "      <failure type=\"" + std::string(ran ? "install failed" : "machine could not run") +
               "\" message=\"" + Escape(Remark(row)) + "\"/>\n";
    } else if (outcome == Outcome::NothingToDo || outcome == Outcome::NotSupported) {
      ++skipped;
      cases += "      <skipped message=\"" + Escape(std::string(OutcomeName(outcome)) + ": " + Remark(row)) + "\"/>\n";
    }
    cases += "      <system-out>" + Escape(row.dump(2)) + "</system-out>\n    </testcase>\n";
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", total);
  const std::string counts = "tests=\"" + std::to_string(rows.size()) + "\" failures=\"" + std::to_string(failures) +
                             "\" errors=\"0\" skipped=\"" + std::to_string(skipped) + "\" time=\"" + time + "\"";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"kvnhost matrix\" " + counts +
         ">\n  <testsuite name=\"kvnhost matrix\" " + counts + ">\n" + cases + "  </testsuite>\n</testsuites>\n";
}

const char *Colour(Outcome outcome) {
  switch (outcome) {
    case Outcome::Failed: return "#d9534f";
    case Outcome::Restart: return "#f0ad4e";
    case Outcome::Installed:
    case Outcome::WillInstall: return "#5cb85c";
    case Outcome::UpToDate: return "#5bc0de";
    case Outcome::NothingToDo: return "#a0a7ae";
    default: return "#6c757d";
  }
}

std::string Html(std::vector<json> rows, bool install) {
  Sort(rows);
  std::map<Outcome, size_t> counts = Count(rows);
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>kvnhost matrix</title>\n"
      "<style>\nbody { font-family: sans-serif; font-size: 14px; margin: 1.5em; color: #222; }\n"
      "table { border-collapse: collapse; }\nth, td { padding: 0.3em 0.7em; border-bottom: 1px solid #ddd; "
      "text-align: left; vertical-align: top; white-space: nowrap; }\nth { background: #f4f4f4; }\n"
      "td.message { white-space: normal; min-width: 20em; }\n"
      "td.outcome { color: #fff; font-weight: bold; }\npre { font-size: 0.8em; background: #f8f8f8; padding: 0.5em; "
      "max-width: 60em; overflow: auto; }\nsummary { cursor: pointer; }\n</style>\n</head>\n<body>\n"
      "<h1>kvnhost matrix</h1>\n<p id=\"summary\">" +
      Escape(Summary(rows, install)) + "</p>\n";
  // The summary as bars, one per outcome that occurs.
  const size_t most =
      std::max<size_t>(1, rows.empty() ? 1 : std::max_element(counts.begin(), counts.end(), [](auto &a, auto &b) {
                                               return a.second < b.second;
                                             })->second);
  std::string bars;
  int y = 0;
  for (Outcome outcome : kOutcomes) {
    if (!counts[outcome]) continue;
    const int width = int(300 * counts[outcome] / most);
    bars += "<rect x=\"110\" y=\"" + std::to_string(y) + "\" width=\"" + std::to_string(std::max(width, 2)) +
            "\" height=\"16\" fill=\"" + Colour(outcome) + "\"/>\n<text x=\"0\" y=\"" + std::to_string(y + 12) +
            "\" font-size=\"12\">" + OutcomeName(outcome) + "</text>\n<text x=\"" + std::to_string(116 + width) +
            "\" y=\"" + std::to_string(y + 12) + "\" font-size=\"12\">" + std::to_string(counts[outcome]) + "</text>\n";
    y += 20;
  }
  page += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"480\" height=\"" + std::to_string(std::max(y, 20)) +
          "\" role=\"img\" aria-label=\"outcomes\">\n" + bars + "</svg>\n";
  page +=
      "<table>\n<thead>\n<tr><th>machine</th><th>outcome</th><th>OS supported</th><th>installed</th>"
      "<th>version status</th><th>pre-install status</th>";
  if (install) page += "<th>install result</th><th>devices</th><th>services</th><th>files</th>";
  page += "<th>message</th></tr>\n</thead>\n<tbody>\n";
  for (const json &row : rows) {
    const Outcome outcome = OutcomeOf(row);
    std::string details;
    if (row.contains("setup_log") && !row["setup_log"].is_null())
      details += "<h3>Install report</h3>\n<pre>" + Escape(Text(row, "setup_log")) + "</pre>\n";
    if (row.contains("diff")) {
      std::string diff;
      for (const json &line : row["diff"]) diff += line.get<std::string>() + "\n";
      details += "<h3>Diff</h3>\n<pre>" + Escape(diff.empty() ? "no changes\n" : diff) + "</pre>\n";
    }
    details += "<h3>Row</h3>\n<pre>" + Escape(row.dump(2)) + "</pre>\n";
    page += "<tr class=\"" + std::string(OutcomeName(outcome)) + "\"><td><details><summary>" +
            Escape(Text(row, "machine")) + "</summary>\n<p>" + Escape(Text(row, "path")) + "</p>\n" + details +
            "</details></td><td class=\"outcome\" style=\"background: " + Colour(outcome) + "\">" +
            OutcomeName(outcome) + "</td>";
    for (const char *field : {"os_supported", "installed", "version_status", "preinstall_status"})
      page += "<td>" + Escape(Text(row, field)) + "</td>";
    if (install)
      for (const char *field : {"install_result", "devices_changed", "services_changed", "files_changed"})
        page += "<td>" + Escape(Text(row, field)) + "</td>";
    page += "<td class=\"message\">" + Escape(Remark(row)) + "</td></tr>\n";
  }
  return page + "</tbody>\n</table>\n</body>\n</html>\n";
}

}  // namespace

const char *OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::Failed: return "failed";
    case Outcome::Restart: return "restart";
    case Outcome::Installed: return "installed";
    case Outcome::WillInstall: return "will install";
    case Outcome::UpToDate: return "up to date";
    case Outcome::NothingToDo: return "nothing to do";
    default: return "not supported";
  }
}

Outcome OutcomeOf(const json &row) {
  if (!row.value("error", json()).is_null()) return Outcome::Failed;
  const json status = row.value("preinstall_status", json());
  const int pre = status.is_number() ? status.get<int>() : -1;
  // A package that does not apply to the machine is skipped, whatever its install answered.
  if (pre == 7 || row.value("os_supported", json(1)) == 0) return Outcome::NotSupported;
  if (pre == 6) return Outcome::NothingToDo;
  const json result = row.value("install_result", json());
  if (result.is_number()) {
    const int r = result.get<int>();
    return r == 2 ? Outcome::Restart : r == 1 ? Outcome::Installed : Outcome::Failed;
  }
  if (pre == 2 || pre == 5) return Outcome::WillInstall;
  if (pre < 0) return Outcome::NotSupported;
  return Outcome::UpToDate;
}

bool ParseShard(const std::string &text, int &shard, int &shards) {
  size_t slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 >= text.size() || text.size() > 19) return false;
  const std::string k = text.substr(0, slash), n = text.substr(slash + 1);
  if (k.find_first_not_of("0123456789") != std::string::npos || n.find_first_not_of("0123456789") != std::string::npos)
    return false;
  shard = std::stoi(k);
  shards = std::stoi(n);
  return shard >= 1 && shards >= 1 && shard <= shards;
}

bool ReadMatrixReport(const std::string &file, std::vector<json> &rows, std::string &error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read " + file;
    return false;
  }
  size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    json row = json::parse(line, nullptr, false);
    if (row.is_discarded() || !row.is_object() || !row.contains("machine") || !row["machine"].is_string() ||
        !row.contains("path") || !row["path"].is_string() || !row.contains("error")) {
      error = file + ":" + std::to_string(number) + ": not a row of kvnhost matrix (JSON with machine, path, error)";
      return false;
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty()) {
    error = file + ": holds no rows";
    return false;
  }
  return true;
}

std::string MatrixOutput(std::vector<json> rows, const std::string &format, bool install) {
  if (format == "json") {
    std::string out;
    for (const json &row : rows) out += row.dump() + "\n";
    return out;
  }
  if (format == "csv") return Csv(rows);
  if (format == "junit") return JUnit(std::move(rows));
  if (format == "html") return Html(std::move(rows), install);
  return Table(std::move(rows), install);
}

int MatrixExitStatus(const std::vector<json> &rows) {
  bool restart = false;
  for (const json &row : rows) {
    const Outcome outcome = OutcomeOf(row);
    if (outcome == Outcome::Failed) return 1;
    restart = restart || outcome == Outcome::Restart;
  }
  return restart ? 3010 : 0;
}
