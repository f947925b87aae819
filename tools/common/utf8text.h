// UTF-8 to and from wide texts, in plain standard C++ for what is built for Linux and for
// Windows alike (the tools, the PE writer, winsim's own names). Written: UTF-16 where
// wchar_t has 16 bits (a lone surrogate is kept as its own three bytes), UTF-32 elsewhere.
// Read: code points, a malformed sequence reading as U+FFFD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace toolcommon {

// Appends the UTF-8 bytes of one code point (at most U+10FFFF).
inline void AppendUtf8(std::string &out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

inline std::string Utf8(const std::wstring &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = uint32_t(text[i]) & (sizeof(wchar_t) == 2 ? 0xFFFFu : 0xFFFFFFFFu);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      uint32_t low = uint32_t(text[i + 1]) & 0xFFFFu;
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    AppendUtf8(out, c);
  }
  return out;
}

// Calls `emit(codePoint)` for each character of a UTF-8 text. A byte that does not start a
// well-formed sequence (a stray continuation byte, a sequence cut short, an overlong form, a
// surrogate, a value past U+10FFFF) reads as U+FFFD and the next byte starts afresh, so what
// is read always writes back as it reads.
template <class Emit>
void DecodeUtf8(std::string_view text, Emit emit) {
  static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};  // shortest form's floor per extra bytes
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = (unsigned char)text[i];
    uint32_t c = 0xFFFD;
    size_t extra = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    }
    bool ok = true;
    for (size_t k = 1; ok && k <= extra; ++k) {
      ok = i + k < text.size() && ((unsigned char)text[i + k] & 0xC0) == 0x80;
      if (ok) c = (c << 6) | ((unsigned char)text[i + k] & 0x3F);
    }
    if (!ok || c < kLeast[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      emit(uint32_t(0xFFFD));
      ++i;
      continue;
    }
    emit(c);
    i += extra + 1;
  }
}

}  // namespace toolcommon
