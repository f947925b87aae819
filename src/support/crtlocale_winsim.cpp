// The runtime locale under winsim. The Linux C library would take the host's LANG and knows
// no SHIFT_JIS locale: the simulated machine's user-default locale and its ANSI code page
// stand for the runtime's locale, and wide-character classes follow Unicode as the Windows
// runtime's do.
#include <clocale>
#include <cwchar>

#include "support/crtlocale.h"

void SetUserDefaultLocale() { std::setlocale(LC_ALL, "C.UTF-8"); }

bool ConvertDoubleByteChar(const char bytes[2], WCHAR *out) {
  WCHAR codePage[8] = L"";
  if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, codePage, 8)) return false;
  WCHAR converted[2];
  int n = MultiByteToWideChar(UINT(std::wcstoul(codePage, nullptr, 10)), MB_ERR_INVALID_CHARS, bytes, 2, converted, 2);
  if (n <= 0) return false;
  *out = converted[0];
  return true;
}
