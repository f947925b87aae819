// Reading INF files as SetupAPI reads them (the Setup* INF calls of inf.cpp use this), and the
// section headers of initialization files as the profile calls read them.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// A line's key and fields view the text of the INF they were read from (InfData::texts).
struct InfLine {
  bool hasKey = false;  // "key = fields", or a line of one field, whose key is that field
  std::wstring_view key;
  std::span<const std::wstring_view> fields;  // after %strkey% substitution; at least one
};

struct InfSection {
  std::wstring name;  // as first written
  std::vector<InfLine> lines;
};

// The text of one parsed INF and the views of its keys and fields that the lines' spans
// point into: a key or field written as one run of the file views the file's text in place,
// any other (quotes doubled, blanks or lines joined, %strkey% replaced) its copy in `chars`.
// Nothing moves once parsed.
struct InfText {
  std::wstring source;
  std::vector<wchar_t> chars;
  std::vector<std::wstring_view> fields;
};

struct InfData {
  std::vector<InfSection> sections;  // in order of first appearance; repeated sections merged
  // The section of that name (compared without regard to case), or null.
  const InfSection *Find(std::wstring_view name) const;
  std::map<std::wstring, size_t> index;  // upcased name -> position in `sections`
  // What the lines view: the file's text, then that of each INF appended to it.
  std::vector<std::unique_ptr<const InfText>> texts;
};

// The text of a file: UTF-16 (LE or BE) or UTF-8 after a byte-order mark, else the machine's
// ANSI code page. NUL characters read as blanks; an INF's text ends at its first Ctrl-Z
// (`endAtCtrlZ`), an initialization file's does not.
std::wstring DecodeSetupText(const std::string &bytes, bool endAtCtrlZ);

// The values the %dirid% forms stand for in this file (10 the Windows folder, 24 the root
// of the system drive, ...).
using DirIds = std::map<unsigned, std::wstring>;

// Parses a decoded INF file; %strkey% reads the strings section of `language`, the system's
// LANGID (LANG_NEUTRAL: [Strings] only). Answers 0 or the SetupAPI error of the first bad
// line (ERROR_EXPECTED_SECTION_NAME, ERROR_BAD_SECTION_NAME_LINE, ERROR_SECTION_NAME_TOO_LONG)
// with its 1-based line number in *errorLine, or ERROR_WRONG_INF_STYLE with line 0 for a
// file without any section. The [Version] signature is not checked here. `out` is left
// empty on failure.
DWORD ParseInf(std::wstring text, const DirIds &dirIds, LANGID language, InfData &out, UINT *errorLine);

// Field `index` of a line, 1-based as SetupAPI numbers them; null past the last field.
inline const std::wstring_view *Field(const InfLine &line, size_t index) {
  return index >= 1 && index <= line.fields.size() ? &line.fields[index - 1] : nullptr;
}

// A field read as SetupGetIntField reads it: an optional sign, then hexadecimal after "0x",
// else decimal; an empty field is 0. A value beyond the range of INT is held at its nearest
// end, as strtol holds it. False (nothing stored) for any other character.
bool ParseInfInt(std::wstring_view text, INT *value);

// The section names of an initialization file's text, in file order, repeats included, the
// blanks inside the brackets removed; an empty name is not listed.
std::vector<std::wstring> ProfileSectionNames(std::wstring_view text);

}  // namespace winsim
