// Compares the answers of winprobe on winsim and on a real Win32 implementation, key by
// key, against the allow-list of differences that are expected.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace winetest {

// key -> reason. Lines "key<TAB or spaces>reason"; '#' starts a comment line; blank lines
// are skipped. A line without a reason, or a key listed twice, is reported in `problems`.
std::map<std::string, std::string> ParseAllowList(const std::string &text, std::vector<std::string> &problems);

// One message per problem: a key whose values differ (or that one side lacks) and that is
// not allowed, and an allowed key that no longer differs or that neither side knows.
std::vector<std::string> CompareProbes(const nlohmann::json &winsim, const nlohmann::json &windows,
                                       const std::map<std::string, std::string> &allowed);

}  // namespace winetest
