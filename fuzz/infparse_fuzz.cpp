// winsim's INF parser over arbitrary bytes, through the SetupAPI calls that read it: every
// section the profile listing names (and the ones an installation looks up) walked line by
// line and field by field. The size answers must agree with what the calls then copy.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzzmachine.h"

namespace {

const wchar_t kPath[] = L"C:\\Fuzz\\input.inf";

// A heap buffer of exactly `chars` characters, so that a write past it is caught.
std::unique_ptr<WCHAR[]> Buffer(DWORD chars) { return std::make_unique<WCHAR[]>(chars ? chars : 1); }

// A field (or the line text when `index` is ~0) read with the size the call asks for; a
// buffer one character short must be refused.
std::wstring ReadText(INFCONTEXT *line, HINF inf, DWORD index) {
  auto read = [&](WCHAR *buffer, DWORD size, DWORD *needed) {
    return index == ~DWORD(0) ? SetupGetLineTextW(line, inf, nullptr, nullptr, buffer, size, needed)
                              : SetupGetStringFieldW(line, index, buffer, size, needed);
  };
  DWORD needed = 0;
  if (!read(nullptr, 0, &needed)) return {};
  if (needed == 0) fuzz::Fail("a text that exists needs no room");
  auto exact = Buffer(needed);
  DWORD copied = 0;
  if (!read(exact.get(), needed, &copied) || copied != needed) fuzz::Fail("the size asked for does not hold the text");
  if (exact[needed - 1] != 0 || std::wstring(exact.get()).size() != needed - 1)
    fuzz::Fail("the text copied is not the size it was said to be");
  if (needed > 1) {
    auto shorter = Buffer(needed - 1);
    if (read(shorter.get(), needed - 1, nullptr) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      fuzz::Fail("a buffer one character short was not refused");
  }
  return exact.get();
}

void WalkSection(HINF inf, const std::wstring &section) {
  LONG count = SetupGetLineCountW(inf, section.c_str());
  INFCONTEXT line{};
  LONG walked = 0;
  for (BOOL more = SetupFindFirstLineW(inf, section.c_str(), nullptr, &line); more;
       more = SetupFindNextLine(&line, &line)) {
    ++walked;
    (void)ReadText(&line, inf, ~DWORD(0));
    DWORD fields = SetupGetFieldCount(&line);
    for (DWORD i = 0; i <= fields + 1; ++i) {
      INT value = 0;
      (void)SetupGetIntField(&line, i, &value);
      std::wstring text = ReadText(&line, inf, i);
      if (i == 0 && !text.empty()) {
        INFCONTEXT match{};
        if (SetupFindFirstLineW(inf, section.c_str(), text.c_str(), &match))
          (void)SetupFindNextMatchLineW(&match, text.c_str(), &match);
      }
    }
  }
  if (walked != (count < 0 ? 0 : count)) fuzz::Fail("the line count differs from the lines found");
}

// The section names the profile listing gives, in a buffer of `chars` characters.
std::vector<std::wstring> SectionNames(DWORD chars) {
  auto buffer = Buffer(chars);
  DWORD length = GetPrivateProfileSectionNamesW(buffer.get(), chars, kPath);
  if (chars > 0 && length >= chars) fuzz::Fail("the section listing overran its buffer");
  std::vector<std::wstring> names;
  for (DWORD at = 0; at < length && buffer[at];) {
    std::wstring name(buffer.get() + at);
    at += DWORD(name.size()) + 1;
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::EnsureMachine();
  fuzz::WriteMachineFile(kPath, fuzz::Bytes(data, size));
  (void)SectionNames(7);
  // Names and their separators take no more characters than the input has bytes.
  std::vector<std::wstring> sections = SectionNames(DWORD(size) + 2);
  UINT errorLine = 0;
  for (DWORD style : {DWORD(INF_STYLE_WIN4), DWORD(INF_STYLE_OLDNT | INF_STYLE_WIN4)}) {
    HINF inf = SetupOpenInfFileW(kPath, nullptr, style, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) continue;
    for (const wchar_t *fixed : {L"Version", L"Strings", L"DestinationDirs", L"Manufacturer", L""})
      WalkSection(inf, fixed);
    for (size_t i = 0; i < sections.size() && i < 256; ++i) WalkSection(inf, sections[i]);
    SetupCloseInfFile(inf);
  }
  return 0;
}
