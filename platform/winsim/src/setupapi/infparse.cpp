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
// A character that is text wherever it stands outside quotes.
bool IsPlain(wchar_t c) { return !IsBlank(c) && c != L'"' && c != L';' && c != L'\\' && c != L'=' && c != L','; }

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

// A key or field while the file is read: its place in the text being built.
struct Piece {
  size_t at = 0, size = 0;
};

// A line while the file is read: its key (when written with '=') and fields are `count`
// pieces from `first`, the key first.
struct RawLine {
  size_t section = 0;
  bool hasKey = false;
  size_t first = 0, count = 0;
};

// The keys and fields as they are read. A piece written as one run of the file's text (most
// are) views that text in place; any other (a quote doubled, blanks or lines joined, a
// substitution) is copied into `chars`. Places below source.size() are in the source, the
// others in `chars` after it, so a piece never moves as `chars` grows.
struct PieceText {
  std::wstring_view source;
  std::vector<wchar_t> chars;
  std::vector<Piece> pieces;
  std::wstring_view View(const Piece &p) const {
    return p.at < source.size() ? source.substr(p.at, p.size)
                                : std::wstring_view(chars.data() + (p.at - source.size()), p.size);
  }
};

// The piece being read: a run of the source while what is added follows on, else a copy.
class PieceBuilder {
 public:
  explicit PieceBuilder(PieceText &text) : text_(text) {}
  // Adds the source text at [at, at + size).
  void Add(size_t at, size_t size) {
    if (!copied_ && (size_ == 0 || at == at_ + size_)) {
      if (size_ == 0) at_ = at;
      size_ += size;
      return;
    }
    Copy(at, size);
  }
  // Ends the piece, cut at MAX_INF_STRING_LENGTH characters as written.
  void End() {
    size_t size = std::min<size_t>(size_, MAX_INF_STRING_LENGTH);
    if (copied_) {
      text_.chars.resize(at_ + size);
      text_.pieces.push_back(Piece{text_.source.size() + at_, size});
    } else {
      text_.pieces.push_back(Piece{at_, size});
    }
    copied_ = false;
    at_ = size_ = 0;
  }

 private:
  void Copy(size_t at, size_t size) {
    std::vector<wchar_t> &chars = text_.chars;
    if (!copied_) {
      copied_ = true;
      std::wstring_view run = text_.source.substr(at_, size_);
      at_ = chars.size();
      chars.insert(chars.end(), run.begin(), run.end());
    }
    std::wstring_view more = text_.source.substr(at, size);
    chars.insert(chars.end(), more.begin(), more.end());
    size_ += size;
  }

  PieceText &text_;
  bool copied_ = false;
  size_t at_ = 0, size_ = 0;  // in the source, or in chars once copied
};

// Reads one logical line starting at lines[*i], position `pos` (its first non-blank), into
// `out` and `text`, and moves *i past the physical lines it used. False (nothing added) when
// the line holds nothing.
bool ScanLine(const std::vector<std::wstring_view> &lines, size_t *i, size_t pos, PieceText &text, RawLine &out) {
  const size_t firstPiece = text.pieces.size(), firstChar = text.chars.size();
  std::wstring_view line = lines[*i];
  PieceBuilder piece(text);
  // Where `line` starts in the source; the blanks read since the piece's last text.
  size_t base = size_t(line.data() - text.source.data()), pendingAt = 0, pendingSize = 0;
  bool started = false, any = false, inQuote = false;
  auto flush = [&] {
    if (started && pendingSize) piece.Add(pendingAt, pendingSize);
    pendingSize = 0;
  };
  auto endPiece = [&] {
    piece.End();
    pendingSize = 0;
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
      if (c != L'"') {
        size_t q = std::min(line.find(L'"', p), line.size());
        piece.Add(base + p, q - p);
        p = q;
      } else if (p + 1 < line.size() && line[p + 1] == L'"') {
        piece.Add(base + p, 1);
        p += 2;
      } else {
        inQuote = false;
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
        pendingSize = 0;
        if (++*i >= lines.size()) break;
        line = lines[*i];
        base = size_t(line.data() - text.source.data());
        p = 0;
        while (p < line.size() && IsBlank(line[p])) ++p;
        continue;
      }
      flush();
      piece.Add(base + p, q - p);
      started = any = true;
      p = q;
    } else if (c == L'=' && !out.hasKey && text.pieces.size() == firstPiece) {
      out.hasKey = any = true;
      endPiece();
      ++p;
    } else if (c == L',') {
      any = true;
      endPiece();
      ++p;
    } else if (IsBlank(c)) {
      if (started) {
        if (!pendingSize) pendingAt = base + p;
        ++pendingSize;
      }
      ++p;
    } else {
      // A run of ordinary characters at once.
      size_t q = p + 1;
      while (q < line.size() && IsPlain(line[q])) ++q;
      flush();
      piece.Add(base + p, q - p);
      started = any = true;
      p = q;
    }
  }
  ++*i;
  if (!any) {
    text.chars.resize(firstChar);
    text.pieces.resize(firstPiece);
    return false;
  }
  endPiece();
  out.first = firstPiece;
  out.count = text.pieces.size() - firstPiece - (out.hasKey ? 1 : 0);
  return true;
}

// The strings section's keys, upcased, with their values as written (pieces of the text),
// sorted for lookup; of keys written twice the first counts.
class StringTable {
 public:
  void Add(std::wstring_view key, const Piece &value) {
    entries_.push_back(Entry{upper_.size(), key.size(), value});
    for (wchar_t c : key) upper_.push_back(Upcase(c));
  }
  void Sort() {
    std::stable_sort(entries_.begin(), entries_.end(),
                     [this](const Entry &a, const Entry &b) { return KeyOf(a) < KeyOf(b); });
  }
  // The value of an upcased name, or null.
  const Piece *Find(std::wstring_view upcased) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), upcased,
                               [this](const Entry &e, std::wstring_view name) { return KeyOf(e) < name; });
    return it != entries_.end() && KeyOf(*it) == upcased ? &it->value : nullptr;
  }

 private:
  struct Entry {
    size_t at, size;  // in upper_
    Piece value;
  };
  std::wstring_view KeyOf(const Entry &e) const { return {upper_.data() + e.at, e.size}; }
  std::vector<wchar_t> upper_;
  std::vector<Entry> entries_;
};

// Replaces the %name% forms of pieces, appending each result to the text.
class Substituter {
 public:
  Substituter(PieceText &text, const StringTable &strings, const DirIds &dirIds)
      : text_(text), strings_(strings), dirIds_(dirIds) {}

  // The piece with its %name% forms replaced: itself when it has none, else a new piece.
  Piece operator()(const Piece &piece) {
    std::wstring_view written = text_.View(piece);
    if (written.find(L'%') == std::wstring_view::npos) return piece;
    source_.assign(written);  // `chars` grows below
    out_.clear();
    std::wstring_view in = source_;
    size_t p = 0;
    while (p < in.size()) {
      wchar_t c = in[p];
      if (c != L'%') {
        out_ += c;
        ++p;
        continue;
      }
      size_t close = in.find(L'%', p + 1);
      if (close == std::wstring_view::npos) {
        out_.append(in.substr(p));
        break;
      }
      std::wstring_view name = in.substr(p + 1, close - p - 1);
      p = close + 1;
      if (name.empty()) {
        out_ += L'%';
        continue;
      }
      upper_.clear();
      for (wchar_t n : name) upper_ += Upcase(n);
      if (const Piece *value = strings_.Find(upper_)) {
        out_.append(text_.View(*value));
        continue;
      }
      if (const std::wstring *dir = DirId(name)) {
        out_ += *dir;
        // A folder ending with a backslash absorbs the one written after it.
        if (!dir->empty() && dir->back() == L'\\' && p < in.size() && in[p] == L'\\') ++p;
        continue;
      }
      out_ += L'%';
      out_.append(name);
      out_ += L'%';
    }
    if (out_.size() > MAX_INF_STRING_LENGTH) out_.resize(MAX_INF_STRING_LENGTH);
    Piece result{text_.source.size() + text_.chars.size(), out_.size()};
    text_.chars.insert(text_.chars.end(), out_.begin(), out_.end());
    return result;
  }

 private:
  const std::wstring *DirId(std::wstring_view name) const {
    if (name.empty() || name.size() > 5) return nullptr;
    unsigned value = 0;
    for (wchar_t c : name) {
      if (c < L'0' || c > L'9') return nullptr;
      value = value * 10 + unsigned(c - L'0');
    }
    auto it = dirIds_.find(value);
    return it == dirIds_.end() ? nullptr : &it->second;
  }

  PieceText &text_;
  const StringTable &strings_;
  const DirIds &dirIds_;
  std::wstring source_, out_, upper_;  // scratch, kept between pieces
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

DWORD ParseInf(std::wstring text, const DirIds &dirIds, LANGID language, InfData &out, UINT *errorLine) {
  // The text is kept with what is parsed from it, which views it in place.
  auto parsed = std::make_unique<InfText>();
  parsed->source = std::move(text);
  PieceText pieces;
  pieces.source = parsed->source;
  std::vector<std::wstring_view> lines = SplitLines(pieces.source);
  std::vector<RawLine> raw;
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
    rl.section = current;
    const size_t charMark = pieces.chars.size(), pieceMark = pieces.pieces.size();
    if (!ScanLine(lines, &i, pos, pieces, rl)) continue;
    if (current == SIZE_MAX) {
      if (!orphanLine) orphanLine = first + 1;
      pieces.chars.resize(charMark);
      pieces.pieces.resize(pieceMark);
      continue;
    }
    raw.push_back(rl);
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

  StringTable strings;
  if (size_t chosen = StringsSection(out, language); chosen != SIZE_MAX) {
    for (const RawLine &l : raw)
      if (l.section == chosen && l.hasKey) strings.Add(pieces.View(pieces.pieces[l.first]), pieces.pieces[l.first + 1]);
    strings.Sort();
  }
  Substituter subst(pieces, strings, dirIds);
  for (Piece &p : pieces.pieces) p = subst(p);

  // The pieces become views of the text, the lines spans of them. Moving `chars` into the
  // parsed text keeps its buffer, which the views point into.
  parsed->fields.reserve(pieces.pieces.size());
  for (const Piece &p : pieces.pieces) parsed->fields.push_back(pieces.View(p));
  parsed->chars = std::move(pieces.chars);
  std::vector<size_t> lineCounts(out.sections.size());
  for (const RawLine &l : raw) ++lineCounts[l.section];
  for (size_t s = 0; s < out.sections.size(); ++s) out.sections[s].lines.reserve(lineCounts[s]);
  const std::wstring_view *views = parsed->fields.data();
  for (const RawLine &l : raw) {
    InfLine line;
    const size_t fieldsAt = l.first + (l.hasKey ? 1 : 0);
    line.fields = std::span<const std::wstring_view>(views + fieldsAt, l.count);
    if (l.hasKey || l.count == 1) {
      line.hasKey = true;
      line.key = views[l.first];
    }
    out.sections[l.section].lines.push_back(line);
  }
  out.texts.push_back(std::move(parsed));
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

namespace {
bool AsciiCompatible(UINT codePage) {
  if (codePage == CP_ACP) codePage = GetACP();
  switch (codePage) {
    case CP_UTF8:
    case 874:
    case 932:
    case 936:
    case 949:
    case 950: return true;
    default: return codePage >= 1250 && codePage <= 1258;
  }
}
}  // namespace

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
    // UTF-8 and the ANSI code pages of Windows read the ASCII bytes as themselves: a file of
    // them only is widened directly.
    if (AsciiCompatible(codePage) &&
        std::all_of(bytes.begin() + ptrdiff_t(from), bytes.end(), [](char c) { return (unsigned char)c < 0x80; })) {
      text.assign(bytes.begin() + ptrdiff_t(from), bytes.end());
      return;
    }
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

bool ParseInfInt(std::wstring_view text, INT *value) {
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
