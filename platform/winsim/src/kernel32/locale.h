// The locales winsim knows (timefmt.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace winsim {

// The LANGID of a locale name such as [machine] system_locale ("de-DE" -> 0x0407, compared
// without regard to case); LANG_NEUTRAL for a name winsim does not know.
LANGID LangIdOfLocale(const std::string &name);

}  // namespace winsim
