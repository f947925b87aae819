#include "support/cstr.h"

#include <cwchar>

CStr &CStr::operator=(const WCHAR *text) {
  m_str = text ? text : L"";
  return *this;
}

CStr &CStr::Append(const WCHAR *text) {
  if (text) m_str += text;
  return *this;
}

CStr &CStr::operator+=(WCHAR c) {
  m_str += c;
  return *this;
}

int CStr::CompareNoCase(const WCHAR *other) const {
  if (!other) return 1;
  for (size_t i = 0;; ++i) {
    WCHAR a = i < m_str.size() ? AsciiUpper(m_str[i]) : L'\0';
    WCHAR b = AsciiUpper(other[i]);
    if (a != b) return a < b ? -1 : 1;
    if (a == L'\0') return 0;
  }
}

int CStr::FindNoCase(const WCHAR *text, int start) const {
  if (!text || start < 0) return -1;
  size_t n = std::wcslen(text);
  if (n == 0) return start <= GetLength() ? start : -1;
  for (size_t i = size_t(start); i + n <= m_str.size(); ++i) {
    size_t k = 0;
    while (k < n && AsciiUpper(m_str[i + k]) == AsciiUpper(text[k])) ++k;
    if (k == n) return int(i);
  }
  return -1;
}

int CStr::Find(WCHAR c, int start) const {
  if (start < 0) return -1;
  size_t pos = m_str.find(c, size_t(start));
  return pos == std::wstring::npos ? -1 : int(pos);
}

int CStr::ReverseFind(WCHAR c) const {
  size_t pos = m_str.rfind(c);
  return pos == std::wstring::npos ? -1 : int(pos);
}

CStr CStr::Mid(int start, int count) const {
  if (start < 0) start = 0;
  if (start >= GetLength()) return CStr();
  size_t n = count < 0 ? std::wstring::npos : size_t(count);
  CStr out;
  out.m_str = m_str.substr(size_t(start), n);
  return out;
}

namespace {
bool IsBlank(WCHAR c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }
}  // namespace

void CStr::TrimLeft() {
  size_t i = 0;
  while (i < m_str.size() && IsBlank(m_str[i])) ++i;
  m_str.erase(0, i);
}

void CStr::TrimRight() {
  size_t n = m_str.size();
  while (n > 0 && IsBlank(m_str[n - 1])) --n;
  m_str.resize(n);
}

void CStr::MakeUpper() {
  for (auto &c : m_str) c = AsciiUpper(c);
}

void CStr::MakeLower() {
  for (auto &c : m_str) c = AsciiLower(c);
}

WCHAR *CStr::GetBuffer(int chars) {
  size_t want = chars < 0 ? 0 : size_t(chars);
  if (m_str.size() < want) m_str.resize(want, L'\0');
  m_str.reserve(want + 1);
  return m_str.data();
}

void CStr::ReleaseBuffer(int length) {
  size_t n = length < 0 ? std::wcslen(m_str.c_str()) : size_t(length);
  if (n < m_str.size()) m_str.resize(n);
}

bool CopyText(WCHAR *dest, size_t capacity, const WCHAR *src) {
  if (!dest || capacity == 0) return false;
  if (!src) src = L"";
  size_t n = std::wcslen(src);
  bool fits = n < capacity;
  if (!fits) n = capacity - 1;
  std::wmemcpy(dest, src, n);
  dest[n] = L'\0';
  return fits;
}
