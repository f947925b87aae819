// The INF walk of kvnbench's section 3, one code for winsim and for Windows: an INF opened
// with SetupOpenInfFileW, every section that its [Sections] list names walked line by line
// with SetupFindFirstLineW / SetupFindNextLine, and every field of every line (the key as
// field 0) read with SetupGetStringFieldW. The counts let the two sides be compared.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace infwalk {

struct Counts {
  long sections = 0;
  long lines = 0;
  long fields = 0;
  long long chars = 0;  // the characters of every field read, terminators included
  bool operator==(const Counts &) const = default;
};

// False with the Windows error in `error` when the INF does not open or its [Sections] list
// is missing; a named section that is missing counts no lines.
inline bool Walk(const wchar_t *path, Counts &counts, DWORD &error) {
  counts = Counts();
  UINT errorLine = 0;
  HINF inf = SetupOpenInfFileW(path, nullptr, INF_STYLE_WIN4, &errorLine);
  if (inf == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  std::vector<wchar_t> field(4096);
  std::vector<std::wstring> sections;
  INFCONTEXT line;
  for (BOOL more = SetupFindFirstLineW(inf, L"Sections", nullptr, &line); more;
       more = SetupFindNextLine(&line, &line)) {
    DWORD required = 0;
    if (SetupGetStringFieldW(&line, 1, field.data(), DWORD(field.size()), &required))
      sections.emplace_back(field.data());
  }
  if (sections.empty()) {
    error = ERROR_SECTION_NOT_FOUND;
    SetupCloseInfFile(inf);
    return false;
  }
  for (const std::wstring &section : sections) {
    ++counts.sections;
    for (BOOL more = SetupFindFirstLineW(inf, section.c_str(), nullptr, &line); more;
         more = SetupFindNextLine(&line, &line)) {
      ++counts.lines;
      DWORD last = SetupGetFieldCount(&line);
      for (DWORD f = 0; f <= last; ++f) {
        DWORD required = 0;
        if (!SetupGetStringFieldW(&line, f, field.data(), DWORD(field.size()), &required)) continue;
        ++counts.fields;
        counts.chars += required;
      }
    }
  }
  SetupCloseInfFile(inf);
  error = 0;
  return true;
}

}  // namespace infwalk
