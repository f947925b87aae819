#include "crtlocale.h"

#include <clocale>
#include <cstdlib>
#include <cwchar>

void SetUserDefaultLocale() {
#ifdef _WIN32
  std::setlocale(LC_ALL, "");
#else
  // The Linux C library would take the host's LANG; the simulated machine's conversions
  // are made by ConvertDoubleByteChar, and wide-character classes follow Unicode as the
  // Windows runtime's do.
  std::setlocale(LC_ALL, "C.UTF-8");
#endif
}

bool ConvertDoubleByteChar(const char bytes[2], WCHAR *out) {
#ifdef _WIN32
  wchar_t wc = 0;
  if (std::mbtowc(&wc, bytes, 2) <= 0) return false;
  *out = wc;
  return true;
#else
  // The Linux C library knows no SHIFT_JIS locale: the simulated machine's user-default
  // locale and its ANSI code page stand for the runtime's locale.
  WCHAR codePage[8] = L"";
  if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, codePage, 8)) return false;
  WCHAR converted[2];
  int n = MultiByteToWideChar(UINT(std::wcstoul(codePage, nullptr, 10)), MB_ERR_INVALID_CHARS, bytes, 2, converted, 2);
  if (n <= 0) return false;
  *out = converted[0];
  return true;
#endif
}
