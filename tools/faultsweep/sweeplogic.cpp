#include "sweeplogic.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

namespace faultsweep {

std::vector<Call> ReadTrace(const std::filesystem::path &file) {
  std::vector<Call> calls;
  std::ifstream in(file);
  int machines = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# machine", 0) == 0) {
      if (++machines > 1) break;
      continue;
    }
    std::istringstream s(line);
    Call c;
    std::string n;
    if (!std::getline(s, n, '\t') || !std::getline(s, c.function, '\t') || !std::getline(s, c.site, '\t')) continue;
    std::getline(s, c.symbol);
    c.n = std::atoll(n.c_str());
    calls.push_back(std::move(c));
  }
  return calls;
}

std::vector<const Call *> FaultPoints(const std::vector<Call> &calls, const std::string &mode) {
  std::vector<const Call *> points;
  if (mode == "baseline") return points;
  if (mode == "full") {
    for (auto &c : calls) points.push_back(&c);
    return points;
  }
  std::map<std::pair<std::string, std::string>, std::pair<const Call *, const Call *>> sites;
  for (auto &c : calls) {
    auto [it, added] = sites.try_emplace({c.function, c.site}, &c, &c);
    if (!added) it->second.second = &c;
  }
  for (auto &[key, firstLast] : sites) {
    points.push_back(firstLast.first);
    if (firstLast.second != firstLast.first) points.push_back(firstLast.second);
  }
  std::sort(points.begin(), points.end(), [](const Call *a, const Call *b) { return a->n < b->n; });
  return points;
}

bool AcceptableChange(const DeviceState &before, const DeviceState &now, int code) {
  if (now == before) return true;
  if (!now.pending.empty()) return code == 3010 && AcceptableChange(before, DeviceState{now.pending, 0, ""}, 1);
  if (now.status == "problem" && now.problem == 14 && code == 3010) return before.status != "disabled";
  if (before.status == "started" || before.status == "disabled") return false;
  return now.status == "started";
}

}  // namespace faultsweep
