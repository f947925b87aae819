#include "base/names.h"

#include <locale.h>
#include <wctype.h>

#include <vector>

#include "utf8text.h"

namespace winsim {

namespace {
locale_t Utf8Locale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  return loc;
}
}  // namespace

wchar_t Upcase(wchar_t c) {
  if (c < 0x80) return (c >= L'a' && c <= L'z') ? wchar_t(c - 32) : c;
  locale_t loc = Utf8Locale();
  return loc ? wchar_t(towupper_l(wint_t(c), loc)) : c;
}

std::wstring Upcased(std::wstring_view text) {
  std::wstring out(text);
  for (auto &c : out) c = Upcase(c);
  return out;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  return true;
}

bool ContainsNoCase(std::wstring_view haystack, std::wstring_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i)
    if (EqualNoCase(haystack.substr(i, needle.size()), needle)) return true;
  return false;
}

std::string ToUtf8(const std::wstring &text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t c = uint32_t(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    toolcommon::AppendUtf8(out, c);
  }
  return out;
}

// Malformed sequences read as U+FFFD (toolcommon::DecodeUtf8).
std::wstring FromUtf8(const std::string &text) {
  std::wstring out;
  out.reserve(text.size());
  toolcommon::DecodeUtf8(text, [&](uint32_t c) { out += wchar_t(c); });
  return out;
}

std::wstring FromAscii(std::string_view text) { return std::wstring(text.begin(), text.end()); }

namespace {
// The NT forms of the DOS wildcards, as FindFirstFileW hands them to the file system.
constexpr wchar_t kDosStar = L'<';  // any characters up to the name's last dot
constexpr wchar_t kDosQm = L'>';    // one character, or nothing at a dot or the end
constexpr wchar_t kDosDot = L'"';   // a dot, or nothing at the end of the name

// Translates the mask as given by the caller. Trailing dots and blanks are dropped as the
// path is made full, but they still decide what the wildcard before them becomes: "*."
// is DOS_STAR alone (names without an extension), and "*.*." is "*".
std::wstring NtPattern(std::wstring_view pattern) {
  std::wstring_view kept = pattern;
  while (!kept.empty() && (kept.back() == L'.' || kept.back() == L' ')) kept.remove_suffix(1);
  if (kept == L"*.*") return L"*";
  std::wstring out(kept);
  for (size_t i = 0; i < out.size(); ++i) {
    wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
    if (pattern[i] == L'?')
      out[i] = kDosQm;
    else if (pattern[i] == L'.' && (next == L'?' || next == L'*'))
      out[i] = kDosDot;
    else if (pattern[i] == L'*' && next == L'.')
      out[i] = kDosStar;
  }
  return out;
}

struct Matcher {
  std::wstring_view pat, name;
  size_t lastDot;
  std::vector<signed char> memo;  // (p, n) -> -1 unknown, 0 no, 1 yes

  bool Match(size_t p, size_t n) {
    signed char &m = memo[p * (name.size() + 1) + n];
    if (m >= 0) return m;
    m = Compute(p, n);
    return m;
  }

  bool Compute(size_t p, size_t n) {
    if (p == pat.size()) return n == name.size();
    wchar_t pc = pat[p];
    switch (pc) {
      case L'*':
        for (size_t j = n; j <= name.size(); ++j)
          if (Match(p + 1, j)) return true;
        return false;
      case kDosStar: {
        size_t limit = (lastDot != std::wstring_view::npos && lastDot >= n) ? lastDot : name.size();
        for (size_t j = n; j <= limit; ++j)
          if (Match(p + 1, j)) return true;
        return false;
      }
      case L'?': return n < name.size() && Match(p + 1, n + 1);
      case kDosQm:
        if (n == name.size() || name[n] == L'.') {
          size_t q = p;
          while (q < pat.size() && pat[q] == kDosQm) ++q;
          return Match(q, n);
        }
        return Match(p + 1, n + 1);
      case kDosDot:
        if (n < name.size() && name[n] == L'.' && Match(p + 1, n + 1)) return true;
        return n == name.size() && Match(p + 1, n);
      default: return n < name.size() && Upcase(pc) == Upcase(name[n]) && Match(p + 1, n + 1);
    }
  }
};
}  // namespace

bool MatchesFilePattern(std::wstring_view pattern, std::wstring_view name) {
  std::wstring nt = NtPattern(pattern);
  Matcher m{nt, name, name.rfind(L'.'), {}};
  m.memo.assign((nt.size() + 1) * (name.size() + 1), -1);
  return m.Match(0, 0);
}

unsigned CopyOut(std::wstring_view text, wchar_t *buffer, unsigned capacity) {
  if (!buffer || text.size() + 1 > capacity) return unsigned(text.size() + 1);
  text.copy(buffer, text.size());
  buffer[text.size()] = L'\0';
  return unsigned(text.size());
}

}  // namespace winsim
