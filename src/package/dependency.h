// The dependency file "dependency.xml" (document element "componentdependencies"): the
// computer models a package is restricted to, checked against the model WMI reports.
#pragma once

#include <windows.h>

// True when the computer's model is supported by the dependency file at `path`: when the
// file cannot be loaded (missing, unreadable, malformed), or when one of its platforms'
// "model" attributes equals the model WMI reports (ASCII letter case ignored). False when
// the file lacks the componentdependencies / dependent_hardware / platforms chain, lists no
// matching model, or WMI cannot be read.
[[nodiscard]] bool IsSystemModelSupported(const WCHAR *path);
