// printf-style formatting of wide texts into a text of any length.
#pragma once

#include <cstdarg>
#include <string>

#include <windows.h>

// Formats into a buffer that starts at 1024 characters and grows by 1024 until the text
// fits (up to 16 M characters; a text that never fits, or a format error, gives "").
std::wstring FormatTextV(const WCHAR *format, va_list args);
std::wstring FormatText(const WCHAR *format, ...);
