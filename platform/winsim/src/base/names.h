// Texts as Windows compares them: case-insensitive names, wildcard patterns, UTF-8 for the host.
#pragma once

#include <string>
#include <string_view>

#include "winsim.h"  // ToUtf8, FromUtf8

namespace winsim {

wchar_t Upcase(wchar_t c);
std::wstring Upcased(std::wstring_view text);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);
bool ContainsNoCase(std::wstring_view haystack, std::wstring_view needle);

std::wstring FromAscii(std::string_view text);

// Matches a file name against a FindFirstFileW pattern as Windows does: '*' and '?' and
// the DOS forms they take before and after a dot ("*.*" matches every name).
bool MatchesFilePattern(std::wstring_view pattern, std::wstring_view name);

// Copies a text into a Windows-style caller buffer of `capacity` characters. Answers the
// length copied (without terminator) when it fits, else the capacity needed (with it).
unsigned CopyOut(std::wstring_view text, wchar_t *buffer, unsigned capacity);

}  // namespace winsim
