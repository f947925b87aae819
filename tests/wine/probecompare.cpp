#include "probecompare.h"

#include <set>
#include <sstream>

namespace winetest {

std::map<std::string, std::string> ParseAllowList(const std::string &text, std::vector<std::string> &problems) {
  std::map<std::string, std::string> allowed;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    size_t keyEnd = line.find_first_of(" \t", start);
    std::string key = line.substr(start, keyEnd == std::string::npos ? std::string::npos : keyEnd - start);
    size_t reasonStart = keyEnd == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", keyEnd);
    if (reasonStart == std::string::npos) {
      problems.push_back("allow-list line " + std::to_string(number) + ": " + key + " gives no reason");
      continue;
    }
    if (!allowed.emplace(key, line.substr(reasonStart)).second)
      problems.push_back("allow-list line " + std::to_string(number) + ": " + key + " is listed twice");
  }
  return allowed;
}

std::vector<std::string> CompareProbes(const nlohmann::json &winsim, const nlohmann::json &windows,
                                       const std::map<std::string, std::string> &allowed) {
  std::vector<std::string> problems;
  auto shown = [](const nlohmann::json &side, const std::string &key) {
    return side.contains(key) ? side[key].dump() : std::string("(absent)");
  };
  std::set<std::string> keys;
  for (auto &[key, value] : winsim.items()) keys.insert(key);
  for (auto &[key, value] : windows.items()) keys.insert(key);
  for (auto &key : keys) {
    bool same = winsim.contains(key) && windows.contains(key) && winsim[key] == windows[key];
    bool isAllowed = allowed.count(key) != 0;
    if (!same && !isAllowed)
      problems.push_back(key + " differs\n    winsim:  " + shown(winsim, key) +
                         "\n    windows: " + shown(windows, key));
    if (same && isAllowed)
      problems.push_back(key + " is on the allow-list but both sides answer " + shown(winsim, key) +
                         ": remove it from the list");
  }
  for (auto &[key, reason] : allowed)
    if (!keys.count(key)) problems.push_back(key + " is on the allow-list but no probe case has that key");
  return problems;
}

}  // namespace winetest
