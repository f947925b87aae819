#include "lintreport.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

std::string PlaceText(const lint::Place &place, const std::string &packageName) {
  if (place.file.empty()) return packageName;
  return place.line ? place.file + ":" + std::to_string(place.line) : place.file;
}

// A relative file name as a URI reference: the characters RFC 3986 does not allow in a path
// segment are percent-encoded.
std::string UriOf(const std::string &file) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri;
  for (unsigned char c : file) {
    if (std::isalnum(c) || std::strchr("-._~!$&'()+,;=:@/", c))
      uri += char(c);
    else
      uri += std::string("%") + kHex[c >> 4] + kHex[c & 15];
  }
  return uri;
}

nlohmann::json SarifLocation(const lint::Place &place) {
  nlohmann::json physical = {{"artifactLocation", {{"uri", UriOf(place.file)}, {"uriBaseId", "PACKAGE"}}}};
  if (place.line) physical["region"] = {{"startLine", place.line}};
  return {{"physicalLocation", physical}};
}

}  // namespace

std::string LintText(const lint::Result &result, const std::string &packageName) {
  std::string text;
  size_t counts[3] = {};
  std::string file = "\x01";
  for (const lint::Finding &f : result.findings) {
    if (f.place.file != file && !text.empty()) text += "\n";
    file = f.place.file;
    text += PlaceText(f.place, packageName) + ": " + lint::SeverityName(f.severity) + " " + f.rule + ": " + f.message +
            "\n";
    for (const lint::Place &r : f.related) text += "  see " + PlaceText(r, packageName) + "\n";
    ++counts[int(f.severity)];
  }
  auto count = [](size_t n, const char *word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); };
  if (!text.empty()) text += "\n";
  return text + count(counts[0], "error") + ", " + count(counts[1], "warning") + ", " + count(counts[2], "note") + "\n";
}

nlohmann::json LintJson(const lint::Result &result) {
  nlohmann::json findings = nlohmann::json::array();
  for (const lint::Finding &f : result.findings) {
    nlohmann::json related = nlohmann::json::array();
    for (const lint::Place &r : f.related) related.push_back({{"file", r.file}, {"line", r.line}});
    findings.push_back({{"rule", f.rule},
                        {"severity", lint::SeverityName(f.severity)},
                        {"file", f.place.file},
                        {"line", f.place.line},
                        {"message", f.message},
                        {"related", related}});
  }
  return findings;
}

nlohmann::json LintSarif(const lint::Result &result, const std::string &packageUri, const std::string &version) {
  nlohmann::json rules = nlohmann::json::array();
  for (const lint::Rule &r : lint::Rules())
    rules.push_back({{"id", r.id},
                     {"name", r.name},
                     {"shortDescription", {{"text", r.name}}},
                     {"fullDescription", {{"text", r.help}}},
                     {"help", {{"text", r.help}}},
                     {"defaultConfiguration", {{"level", lint::SeverityName(r.severity)}}}});
  nlohmann::json results = nlohmann::json::array();
  for (const lint::Finding &f : result.findings) {
    nlohmann::json entry = {
        {"ruleId", f.rule}, {"level", lint::SeverityName(f.severity)}, {"message", {{"text", f.message}}}};
    for (size_t i = 0; i < lint::Rules().size(); ++i)
      if (f.rule == lint::Rules()[i].id) entry["ruleIndex"] = i;
    if (!f.place.file.empty()) entry["locations"] = nlohmann::json::array({SarifLocation(f.place)});
    if (!f.related.empty()) {
      entry["relatedLocations"] = nlohmann::json::array();
      int id = 0;
      for (const lint::Place &r : f.related) {
        if (r.file.empty()) continue;
        nlohmann::json location = SarifLocation(r);
        location["id"] = id++;
        entry["relatedLocations"].push_back(location);
      }
    }
    results.push_back(entry);
  }
  nlohmann::json run = {
      {"tool",
       {{"driver", {{"name", "kvnhost lint"}, {"version", version}, {"semanticVersion", version}, {"rules", rules}}}}},
      {"originalUriBaseIds", {{"PACKAGE", {{"uri", packageUri}}}}},
      {"results", results},
  };
  return {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
          {"version", "2.1.0"},
          {"runs", nlohmann::json::array({run})}};
}

int LintExitStatus(const lint::Result &result) {
  if (!result.readable) return 2;
  for (const lint::Finding &f : result.findings)
    if (f.severity == lint::Severity::Error) return 1;
  return 0;
}
