// `kvnhost devices [--matching]` over the machine the run is in.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The devices, one object each: instance_id, status ("started", "not started", "disabled",
// "problem", "not present"), problem and problem_text with a problem, class, description,
// driver (inf, version, date, provider; null without one), hardware_ids; with `matching`
// only the devices a rule of the component matches, with matched_by naming each rule.
nlohmann::json ListDevices(bool matching);
// The human report of that list.
std::string DevicesText(const nlohmann::json &devices);
