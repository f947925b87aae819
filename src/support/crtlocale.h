// The C runtime's process locale, as the XML reader uses it for SHIFT_JIS documents.
#pragma once

#include <windows.h>

// Sets every category of the runtime's process-wide locale to the user's default.
void SetUserDefaultLocale();

// Converts a two-byte character by the process's locale: the first wide character the
// runtime's multibyte conversion produces. False when the locale cannot convert it.
[[nodiscard]] bool ConvertDoubleByteChar(const char bytes[2], WCHAR *out);
