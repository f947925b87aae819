// The INF syntax, as SetupAPI reads it:
//
//   - "[name]" starts a section (the name runs to the first ']'; the rest of the line is
//     ignored); a repeated section continues the first one. Names are compared without
//     regard to case and may be at most MAX_INF_SECTION_NAME_LENGTH characters.
//   - Other lines are "key = field, field, ..." or "field, field, ...". A line of one field
//     and no '=' is also found by that field as its key. Blanks around fields are dropped.
//   - '"' quotes (with "" for a quote), ';' starts a comment outside quotes, and a '\' that
//     only blanks, further backslashes or a comment follow joins the next line; any other
//     backslash is text. An unterminated quote ends with its line.
//   - %name% is replaced by the value of that name in the one strings section chosen for the
//     system's language (used as written: a value is not substituted again, so keys that
//     name each other cannot loop), else by the folder of a DIRID number, else kept as
//     written; "%%" is one '%' and a lone '%' is kept. The section is [Strings.<LANGID>]
//     (four hexadecimal digits) of the system's LANGID, else that primary language's
//     SUBLANG_NEUTRAL one, else the first of that primary language, else [Strings]; a name
//     missing from it is not looked for in another.
//   - A field (or key) is cut at MAX_INF_STRING_LENGTH characters, as written and again after
//     substitution, as Windows Vista and later cut it; a longer one is not an error.
//   - Lines before the first section are an error unless the file has a [Strings] section;
//     a file without any section has the wrong style (ERROR_WRONG_INF_STYLE, line 0).
#include "setupapi/infparse.h"

#include <setupapi.h>

#include <algorithm>
#include <cstdint>
#include <cwctype>

#include "base/names.h"

namespace winsim {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\f' || c == L'\v'; }

std::vector<std::wstring_view> SplitLines(std::wstring_view text) {
  std::vector<std::wstring_view> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring_view::npos) {
      if (start < text.size()) lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

struct RawLine {
  bool hasKey = false;
  std::wstring key;
  std::vector<std::wstring> fields;
};

void Cut(std::wstring &text) {
  if (text.size() > MAX_INF_STRING_LENGTH) text.resize(MAX_INF_STRING_LENGTH);
}

// Reads one logical line starting at lines[*i], position `pos` (its first non-blank), and
// moves *i past the physical lines it used. False when the line holds nothing.
bool ScanLine(const std::vector<std::wstring_view> &lines, size_t *i, size_t pos, RawLine &out) {
  std::wstring_view line = lines[*i];
  std::wstring cur, pending;
  bool started = false, any = false, inQuote = false;
  auto flush = [&] {
    if (started) cur += pending;
    pending.clear();
  };
  auto endField = [&] {
    Cut(cur);
    out.fields.push_back(std::move(cur));
    cur.clear();
    pending.clear();
    started = false;
  };
  size_t p = pos;
  for (;;) {
    if (p >= line.size()) {
      if (inQuote) inQuote = false;  // a quote ends with its line
      break;
    }
    wchar_t c = line[p];
    if (inQuote) {
      if (c == L'"') {
        if (p + 1 < line.size() && line[p + 1] == L'"') {
          cur += L'"';
          p += 2;
        } else {
          inQuote = false;
          ++p;
        }
      } else {
        cur += c;
        ++p;
      }
      continue;
    }
    if (c == L'"') {
      flush();
      inQuote = started = any = true;
      ++p;
    } else if (c == L';') {
      break;
    } else if (c == L'\\') {
      size_t q = p + 1;
      while (q < line.size() && (IsBlank(line[q]) || line[q] == L'\\')) ++q;
      if (q == line.size() || line[q] == L';') {
        // Continuation: the blanks before the backslash go, the next line joins.
        pending.clear();
        if (++*i >= lines.size()) break;
        line = lines[*i];
        p = 0;
        while (p < line.size() && IsBlank(line[p])) ++p;
        continue;
      }
      flush();
      cur.append(line.substr(p, q - p));
      started = any = true;
      p = q;
    } else if (c == L'=' && !out.hasKey && out.fields.empty()) {
      out.hasKey = any = true;
      out.key = std::move(cur);
      Cut(out.key);
      cur.clear();
      pending.clear();
      started = false;
      ++p;
    } else if (c == L',') {
      any = true;
      endField();
      ++p;
    } else if (IsBlank(c)) {
      if (started) pending += c;
      ++p;
    } else {
      flush();
      cur += c;
      started = any = true;
      ++p;
    }
  }
  ++*i;
  if (!any) return false;
  endField();
  return true;
}

struct Substituter {
  const std::map<std::wstring, std::wstring> &strings;  // upcased key -> value as written
  const DirIds &dirIds;

  std::wstring operator()(const std::wstring &text) const {
    if (text.find(L'%') == std::wstring::npos) return text;
    std::wstring out;
    size_t p = 0;
    while (p < text.size()) {
      wchar_t c = text[p];
      if (c != L'%') {
        out += c;
        ++p;
        continue;
      }
      size_t close = text.find(L'%', p + 1);
      if (close == std::wstring::npos) {
        out.append(text, p, std::wstring::npos);
        break;
      }
      std::wstring name = text.substr(p + 1, close - p - 1);
      p = close + 1;
      if (name.empty()) {
        out += L'%';
        continue;
      }
      if (auto it = strings.find(Upcased(name)); it != strings.end()) {
        out += it->second;
        continue;
      }
      if (const std::wstring *dir = DirId(name)) {
        out += *dir;
        // A folder ending with a backslash absorbs the one written after it.
        if (!dir->empty() && dir->back() == L'\\' && p < text.size() && text[p] == L'\\') ++p;
        continue;
      }
      out += L'%' + name + L'%';
    }
    Cut(out);
    return out;
  }

  const std::wstring *DirId(const std::wstring &name) const {
    if (name.empty() || name.size() > 5) return nullptr;
    unsigned value = 0;
    for (wchar_t c : name) {
      if (c < L'0' || c > L'9') return nullptr;
      value = value * 10 + unsigned(c - L'0');
    }
    auto it = dirIds.find(value);
    return it == dirIds.end() ? nullptr : &it->second;
  }
};

// "Strings.0407" -> 0x0407; false for any other name.
bool LocalisedStringsId(const std::wstring &name, LANGID *id) {
  if (name.size() != 12 || !EqualNoCase(name.substr(0, 8), L"Strings.")) return false;
  constexpr std::wstring_view kDigits = L"0123456789ABCDEF";
  unsigned value = 0;
  for (wchar_t c : name.substr(8)) {
    size_t digit = kDigits.find(wchar_t(std::towupper(c)));
    if (digit == std::wstring_view::npos) return false;
    value = value * 16 + unsigned(digit);
  }
  *id = LANGID(value);
  return true;
}

// The position of the strings section %strkey% reads for this language, or SIZE_MAX.
size_t StringsSection(const InfData &data, LANGID language) {
  size_t neutral = SIZE_MAX, related = SIZE_MAX;
  for (size_t i = 0; language != LANG_NEUTRAL && i < data.sections.size(); ++i) {
    LANGID id;
    if (!LocalisedStringsId(data.sections[i].name, &id) || PRIMARYLANGID(id) != PRIMARYLANGID(language)) continue;
    if (id == language) return i;
    size_t &slot = SUBLANGID(id) == SUBLANG_NEUTRAL ? neutral : related;
    if (slot == SIZE_MAX) slot = i;
  }
  if (neutral != SIZE_MAX) return neutral;
  if (related != SIZE_MAX) return related;
  auto it = data.index.find(L"STRINGS");
  return it == data.index.end() ? SIZE_MAX : it->second;
}

}  // namespace

const InfSection *InfData::Find(std::wstring_view name) const {
  auto it = index.find(Upcased(name));
  return it == index.end() ? nullptr : &sections[it->second];
}

DWORD ParseInf(std::wstring_view text, const DirIds &dirIds, LANGID language, InfData &out, UINT *errorLine) {
  std::vector<std::wstring_view> lines = SplitLines(text);
  struct Pending {
    size_t section;
    RawLine line;
  };
  std::vector<Pending> raw;
  size_t orphanLine = 0;  // first line before any section
  size_t current = SIZE_MAX;
  DWORD error = 0;
  size_t errorAt = 0;
  for (size_t i = 0; i < lines.size() && !error;) {
    std::wstring_view line = lines[i];
    size_t pos = 0;
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos == line.size() || line[pos] == L';') {
      ++i;
      continue;
    }
    if (line[pos] == L'[') {
      size_t close = line.find(L']', pos + 1);
      if (close == std::wstring_view::npos) {
        error = ERROR_BAD_SECTION_NAME_LINE;
        errorAt = i + 1;
        break;
      }
      std::wstring name(line.substr(pos + 1, close - pos - 1));
      if (name.size() > MAX_INF_SECTION_NAME_LENGTH) {
        error = ERROR_SECTION_NAME_TOO_LONG;
        errorAt = i + 1;
        break;
      }
      auto [it, added] = out.index.try_emplace(Upcased(name), out.sections.size());
      if (added) out.sections.push_back(InfSection{name, {}});
      current = it->second;
      ++i;
      continue;
    }
    size_t first = i;
    RawLine rl;
    if (!ScanLine(lines, &i, pos, rl)) continue;
    if (current == SIZE_MAX) {
      if (!orphanLine) orphanLine = first + 1;
      continue;
    }
    raw.push_back(Pending{current, std::move(rl)});
  }
  // A file without sections is not an INF of any style; text before the first section is
  // tolerated only in a file with [Strings].
  if (!error && out.sections.empty()) {
    error = ERROR_WRONG_INF_STYLE;
    errorAt = 0;
  } else if (orphanLine && (error || !out.Find(L"Strings"))) {
    error = ERROR_EXPECTED_SECTION_NAME;
    errorAt = orphanLine;
  }
  if (error) {
    if (errorLine) *errorLine = UINT(errorAt);
    out = InfData{};
    return error;
  }

  std::map<std::wstring, std::wstring> strings;
  if (size_t chosen = StringsSection(out, language); chosen != SIZE_MAX) {
    for (const Pending &p : raw)
      if (p.section == chosen && p.line.hasKey) strings.try_emplace(Upcased(p.line.key), p.line.fields.front());
  }
  Substituter subst{strings, dirIds};
  for (Pending &p : raw) {
    InfLine line;
    line.fields.reserve(p.line.fields.size());
    for (const std::wstring &f : p.line.fields) line.fields.push_back(subst(f));
    if (p.line.hasKey) {
      line.hasKey = true;
      line.key = subst(p.line.key);
    } else if (line.fields.size() == 1) {
      line.hasKey = true;
      line.key = line.fields.front();
    }
    out.sections[p.section].lines.push_back(std::move(line));
  }
  return 0;
}

std::vector<std::wstring> ProfileSectionNames(std::wstring_view text) {
  std::vector<std::wstring> names;
  for (std::wstring_view line : SplitLines(text)) {
    size_t b = 0, e = line.size();
    while (b < e && IsBlank(line[b])) ++b;
    while (e > b && IsBlank(line[e - 1])) --e;
    if (b == e || line[b] != L'[') continue;
    size_t close = line.substr(0, e).rfind(L']');
    if (close == std::wstring_view::npos || close <= b) continue;
    size_t nb = b + 1, ne = close;
    while (nb < ne && IsBlank(line[nb])) ++nb;
    while (ne > nb && IsBlank(line[ne - 1])) --ne;
    if (nb < ne) names.emplace_back(line.substr(nb, ne - nb));
  }
  return names;
}

std::wstring DecodeSetupText(const std::string &bytes, bool endAtCtrlZ) {
  std::wstring text;
  auto utf16 = [&](size_t from, bool bigEndian) {
    for (size_t i = from; i + 1 < bytes.size(); i += 2) {
      unsigned char a = bytes[i], b = bytes[i + 1];
      text += wchar_t(bigEndian ? (a << 8 | b) : (b << 8 | a));
    }
    // Surrogate pairs become one character (wchar_t holds any code point here).
    std::wstring joined;
    for (size_t i = 0; i < text.size(); ++i) {
      wchar_t c = text[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        joined += wchar_t(0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00));
        ++i;
      } else {
        joined += c;
      }
    }
    text = std::move(joined);
  };
  auto multiByte = [&](UINT codePage, size_t from) {
    if (from >= bytes.size()) return;
    const char *data = bytes.data() + from;
    int size = int(std::min<size_t>(bytes.size() - from, 0x7FFFFFFF));
    int n = MultiByteToWideChar(codePage, 0, data, size, nullptr, 0);
    if (n <= 0) return;
    text.resize(size_t(n));
    n = MultiByteToWideChar(codePage, 0, data, size, text.data(), n);
    text.resize(size_t(n > 0 ? n : 0));
  };
  if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE)
    utf16(2, false);
  else if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFE && (unsigned char)bytes[1] == 0xFF)
    utf16(2, true);
  else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    multiByte(CP_UTF8, 3);
  else
    multiByte(CP_ACP, 0);
  if (size_t eof = endAtCtrlZ ? text.find(wchar_t(0x1A)) : std::wstring::npos; eof != std::wstring::npos)
    text.resize(eof);
  for (wchar_t &c : text)
    if (c == 0) c = L' ';
  return text;
}

bool ParseInfInt(const std::wstring &text, INT *value) {
  size_t p = 0;
  bool negative = false;
  if (p < text.size() && (text[p] == L'+' || text[p] == L'-')) negative = text[p++] == L'-';
  unsigned base = 10;
  if (p + 1 < text.size() && text[p] == L'0' && (text[p + 1] == L'x' || text[p + 1] == L'X')) {
    base = 16;
    p += 2;
  }
  if (p == text.size() && !text.empty()) return false;
  uint64_t magnitude = 0;
  for (; p < text.size(); ++p) {
    wchar_t c = text[p];
    unsigned digit;
    if (c >= L'0' && c <= L'9')
      digit = unsigned(c - L'0');
    else if (base == 16 && c >= L'a' && c <= L'f')
      digit = unsigned(c - L'a' + 10);
    else if (base == 16 && c >= L'A' && c <= L'F')
      digit = unsigned(c - L'A' + 10);
    else
      return false;
    magnitude = std::min<uint64_t>(magnitude * base + digit, uint64_t(1) << 32);
  }
  if (negative)
    *value = magnitude > uint64_t(INT32_MAX) + 1 ? INT32_MIN : INT(-int64_t(magnitude));
  else
    *value = magnitude > uint64_t(INT32_MAX) ? INT32_MAX : INT(magnitude);
  return true;
}

}  // namespace winsim
