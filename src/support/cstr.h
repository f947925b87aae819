// CStr: the wide-character string of every path, name, hardware ID and message, and
// CStrList, an ordered growable list of them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CStr {
 public:
  CStr() = default;
  CStr(const WCHAR *text) : m_str(text ? text : L"") {}  // NOLINT: converts like the texts it wraps
  CStr(const WCHAR *text, int count) : m_str(text ? std::wstring(text, size_t(count)) : L"") {}
  CStr(const CStr &) = default;
  CStr &operator=(const CStr &) = default;
  CStr &operator=(const WCHAR *text);

  const WCHAR *GetString() const { return m_str.c_str(); }
  operator const WCHAR *() const { return m_str.c_str(); }  // NOLINT
  int GetLength() const { return int(m_str.size()); }
  bool IsEmpty() const { return m_str.empty(); }
  void Empty() { m_str.clear(); }
  WCHAR GetAt(int index) const { return index >= 0 && index < GetLength() ? m_str[size_t(index)] : L'\0'; }

  CStr &Append(const WCHAR *text);
  CStr &operator+=(const WCHAR *text) { return Append(text); }
  CStr &operator+=(WCHAR c);
  friend CStr operator+(const CStr &a, const WCHAR *b) { return CStr(a).Append(b); }

  // Case-sensitive equality.
  bool operator==(const CStr &other) const { return m_str == other.m_str; }
  bool operator==(const WCHAR *other) const { return other && m_str == other; }
  // 0 when equal with ASCII letters compared without regard to case; a missing text
  // compares unequal (nonzero).
  int CompareNoCase(const WCHAR *other) const;
  // Position of the first occurrence without regard to case, or -1.
  int FindNoCase(const WCHAR *text, int start = 0) const;
  int Find(WCHAR c, int start = 0) const;
  int ReverseFind(WCHAR c) const;

  // The characters from `start`, at most `count` of them (all when count < 0).
  CStr Mid(int start, int count = -1) const;
  CStr Left(int count) const { return Mid(0, count); }
  void TrimLeft();
  void TrimRight();
  void MakeUpper();
  void MakeLower();

  // A writable buffer of at least `chars` characters plus a terminator for Windows calls to
  // fill; ReleaseBuffer takes the text back up to its first NUL (or `length` characters).
  WCHAR *GetBuffer(int chars);
  void ReleaseBuffer(int length = -1);

 private:
  std::wstring m_str;
};

class CStrList {
 public:
  void Add(const CStr &s) { m_items.push_back(s); }
  int GetCount() const { return int(m_items.size()); }
  bool IsEmpty() const { return m_items.empty(); }
  const CStr &GetAt(int i) const { return m_items[size_t(i)]; }
  CStr &operator[](int i) { return m_items[size_t(i)]; }
  const CStr &operator[](int i) const { return m_items[size_t(i)]; }
  void RemoveAll() { m_items.clear(); }
  auto begin() const { return m_items.begin(); }
  auto end() const { return m_items.end(); }

 private:
  std::vector<CStr> m_items;
};

// ASCII-only case folding, the same on every build.
inline WCHAR AsciiUpper(WCHAR c) { return (c >= L'a' && c <= L'z') ? WCHAR(c - 32) : c; }
inline WCHAR AsciiLower(WCHAR c) { return (c >= L'A' && c <= L'Z') ? WCHAR(c + 32) : c; }

// Copies `src` into a buffer of `capacity` characters, cutting it to fit and always
// terminating it (nothing is written when capacity is 0). Answers true when it all fit.
bool CopyText(WCHAR *dest, size_t capacity, const WCHAR *src);
