// The three forms of kvnhost lint's findings: text (one finding a line, grouped by file, and a
// count), json (an array of findings) and sarif (a SARIF 2.1.0 log that code-review and CI
// services read).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "lint.h"

// `packageName` is how the text form names the package for findings of no single file.
std::string LintText(const lint::Result &result, const std::string &packageName);
nlohmann::json LintJson(const lint::Result &result);
// `packageUri` is the package directory as a file URI ending in '/', the base of every
// location; `version` is kvnhost's.
nlohmann::json LintSarif(const lint::Result &result, const std::string &packageUri, const std::string &version);
// The exit status: 0 no error findings, 1 error findings, 2 the package could not be read.
int LintExitStatus(const lint::Result &result);
