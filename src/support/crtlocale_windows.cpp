// The Windows runtime's process locale: the user's default, and its multibyte conversion.
#include <clocale>
#include <cstdlib>

#include "support/crtlocale.h"

void SetUserDefaultLocale() { std::setlocale(LC_ALL, ""); }

bool ConvertDoubleByteChar(const char bytes[2], WCHAR *out) {
  wchar_t wc = 0;
  if (std::mbtowc(&wc, bytes, 2) <= 0) return false;
  *out = wc;
  return true;
}
