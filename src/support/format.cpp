#include "support/format.h"

#include <cwchar>
#include <vector>

std::wstring FormatTextV(const WCHAR *format, va_list args) {
  if (!format) return {};
  constexpr size_t kStep = 1024;
  constexpr size_t kLimit = 16u * 1024 * 1024;
  std::vector<WCHAR> buffer(kStep);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0 && size_t(n) < buffer.size()) return std::wstring(buffer.data(), size_t(n));
    if (buffer.size() >= kLimit) return {};
    buffer.resize(buffer.size() + kStep);
  }
}

std::wstring FormatText(const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring out = FormatTextV(format, args);
  va_end(args);
  return out;
}
