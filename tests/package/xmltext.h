// Small helpers of the package tests: printable texts and UTF-16 file contents.
#pragma once

#include <windows.h>

#include <string>

// A possibly missing text, printable: "(null)" stands for none.
inline std::wstring Show(const WCHAR *text) { return text ? std::wstring(text) : std::wstring(L"(null)"); }

// The bytes of a UTF-16 file holding `text`, in either byte order, with or without a BOM.
inline std::string Utf16Bytes(const std::u16string &text, bool bigEndian, bool bom) {
  std::u16string units = bom ? u"\uFEFF" + text : text;
  std::string out;
  for (char16_t u : units) {
    char hi = char(u >> 8), lo = char(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}
