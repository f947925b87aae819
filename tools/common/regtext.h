// Registry values as regedit's text format writes them, in plain standard C++ for what is
// built for Linux and for Windows alike: winsim's registry.reg and the machine a capture
// writes use this one writer, so a captured registry reads back exactly as winsim's own.
//
// A value is given as Windows stores it: its type and its data image, where a string's image
// is UTF-16LE (two bytes a unit, surrogate pairs for code points above U+FFFF).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace toolcommon {

constexpr uint32_t kRegSz = 1, kRegBinary = 3, kRegDword = 4;
constexpr size_t kRegHexColumns = 77;  // regedit breaks hex data after the comma reaching this column

// The UTF-16LE image of a wide text (with its terminator when `terminate`). A wchar_t of 16
// bits is a UTF-16 unit already; one of 32 bits is a code point, split into a surrogate pair
// above U+FFFF (U+FFFD beyond U+10FFFF).
inline std::vector<unsigned char> Utf16LeImage(std::wstring_view text, bool terminate) {
  auto code = [](wchar_t wc) {
    uint32_t c = uint32_t(wc) & (sizeof(wchar_t) == 2 ? 0xFFFFu : 0xFFFFFFFFu);
    return c > 0x10FFFF ? 0xFFFDu : c;
  };
  size_t units = terminate ? 1 : 0;
  for (wchar_t wc : text) units += code(wc) >= 0x10000 ? 2 : 1;
  std::vector<unsigned char> out(units * 2);
  unsigned char *at = out.data();
  auto unit = [&](uint32_t u) {
    *at++ = (unsigned char)(u & 0xFF);
    *at++ = (unsigned char)((u >> 8) & 0xFF);
  };
  for (wchar_t wc : text) {
    uint32_t c = code(wc);
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(0xD800 | (c >> 10));
      unit(0xDC00 | (c & 0x3FF));
    } else {
      unit(c);
    }
  }
  if (terminate) unit(0);
  return out;
}

// The wide text of a UTF-16LE image: units as they are where wchar_t has 16 bits, surrogate
// pairs joined where it has 32 (a lone surrogate stays a unit). An odd last byte is a unit.
inline std::wstring TextOfUtf16Le(const unsigned char *image, size_t bytes) {
  std::wstring out;
  size_t units = bytes / 2;
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = image[2 * i] | (uint32_t(image[2 * i + 1]) << 8);
    if (sizeof(wchar_t) > 2 && u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t low = image[2 * i + 2] | (uint32_t(image[2 * i + 3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out += wchar_t(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    out += wchar_t(u);
  }
  if (bytes % 2) out += wchar_t(image[bytes - 1]);
  return out;
}

namespace regtext_detail {

inline bool Printable(wchar_t c) {
  uint32_t u = uint32_t(c) & (sizeof(wchar_t) == 2 ? 0xFFFFu : 0xFFFFFFFFu);
  if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0)) return false;
  if ((u >= 0xD800 && u <= 0xDFFF) || u == 0xFFFE || u == 0xFFFF || u > 0x10FFFF) return false;
  return true;
}

inline void AppendEscaped(std::wstring &out, std::wstring_view text) {
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') {
      out += L'\\';
      out += c;
    } else if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\r') {
      out += L"\\r";
    } else {
      out += c;
    }
  }
}

inline void AppendHex(std::wstring &out, uint32_t value, int digits) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// The text of a REG_SZ when it can be written as "text": printable, one terminator at the
// end, and exactly the image writing it back gives (no stray surrogate halves).
inline bool PlainText(uint32_t type, const std::vector<unsigned char> &image, std::wstring &text) {
  if (type != kRegSz || image.size() < 2 || image.size() % 2) return false;
  text = TextOfUtf16Le(image.data(), image.size());
  if (text.back() != L'\0') return false;
  text.pop_back();
  for (size_t i = 0; i < text.size(); ++i) {
    // Where wchar_t has 16 bits a code point above U+FFFF is a pair of surrogate units.
    uint32_t u = uint32_t(text[i]) & 0xFFFFu;
    if (sizeof(wchar_t) == 2 && u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() &&
        (uint32_t(text[i + 1]) & 0xFFFFu) >= 0xDC00 && (uint32_t(text[i + 1]) & 0xFFFFu) <= 0xDFFF) {
      ++i;
      continue;
    }
    if (!Printable(text[i])) return false;
  }
  return Utf16LeImage(text, true) == image;
}

}  // namespace regtext_detail

// Appends one value line ("name"=data or @=data, CRLF): a REG_SZ of printable text with one
// terminator as "text", a REG_DWORD of 4 bytes as dword:, everything else as hex: (binary)
// or hex(N): bytes, broken after the comma that reaches column 77 with "\" and continued with
// two spaces.
inline void AppendRegValue(std::wstring &out, std::wstring_view name, uint32_t type,
                           const std::vector<unsigned char> &image) {
  using namespace regtext_detail;
  size_t lineStart = out.size();
  if (name.empty()) {
    out += L"@=";
  } else {
    out += L'"';
    AppendEscaped(out, name);
    out += L"\"=";
  }
  std::wstring text;
  if (PlainText(type, image, text)) {
    out += L'"';
    AppendEscaped(out, text);
    out += L"\"\r\n";
    return;
  }
  if (type == kRegDword && image.size() == 4) {
    uint32_t value = image[0] | (image[1] << 8) | (image[2] << 16) | (uint32_t(image[3]) << 24);
    out += L"dword:";
    AppendHex(out, value, 8);
    out += L"\r\n";
    return;
  }
  if (type == kRegBinary) {
    out += L"hex:";
  } else {
    out += L"hex(";
    char digits[16];
    std::snprintf(digits, sizeof digits, "%x", unsigned(type));
    for (const char *d = digits; *d; ++d) out += wchar_t(*d);
    out += L"):";
  }
  size_t column = out.size() - lineStart;
  for (size_t i = 0; i < image.size(); ++i) {
    AppendHex(out, image[i], 2);
    if (i + 1 == image.size()) break;
    out += L',';
    column += 3;
    if (column >= kRegHexColumns) {
      out += L"\\\r\n  ";
      column = 2;
    }
  }
  out += L"\r\n";
}

}  // namespace toolcommon
