// Conversions between wide texts and the machine's code pages (through iconv).
#include <errno.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "plumbing/hooks.h"
#include "machine/system.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {
class Converter {
 public:
  Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter &) = delete;
  Converter &operator=(const Converter &) = delete;
  bool ok() const { return cd_ != (iconv_t)-1; }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// The iconv name of a Windows code page; null for one winsim does not know.
const char *IconvName(UINT cp, std::string &storage) {
  switch (cp) {
    case CP_ACP:
    case CP_THREAD_ACP: cp = System().ansiCodePage; break;
    case CP_OEMCP: cp = System().ansiCodePage == 932 ? 932 : 437; break;
    default: break;
  }
  if (cp == CP_UTF8) return "UTF-8";
  if (cp == 20127) return "ASCII";
  if (cp == 28591) return "ISO-8859-1";
  if (cp == 1200) return nullptr;
  storage = "CP" + std::to_string(cp);
  Converter probe(storage.c_str(), "WCHAR_T");
  return probe.ok() ? storage.c_str() : nullptr;
}

bool SingleByte(UINT cp) {
  if (cp == CP_ACP || cp == CP_THREAD_ACP) cp = System().ansiCodePage;
  return cp != CP_UTF8 && cp != 932 && cp != 936 && cp != 949 && cp != 950;
}
}  // namespace

extern "C" {

UINT WINAPI GetACP(void) { return System().ansiCodePage; }

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  WINSIM_ENTRY("kernel32.dll", WideCharToMultiByte, 0);
  if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte && !lpMultiByteStr) ||
      (const void *)lpWideCharStr == (const void *)lpMultiByteStr)
    return Fail(ERROR_INVALID_PARAMETER, 0);
  std::string storage;
  const char *name = IconvName(CodePage, storage);
  if (!name) {
    NotModelled("WideCharToMultiByte", "code page " + std::to_string(CodePage));
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  bool utf8 = std::strcmp(name, "UTF-8") == 0;
  if (utf8 && (lpDefaultChar || lpUsedDefaultChar)) return Fail(ERROR_INVALID_PARAMETER, 0);
  if (dwFlags &
      ~(DWORD)(WC_NO_BEST_FIT_CHARS | WC_ERR_INVALID_CHARS | 0x200 /*WC_COMPOSITECHECK*/ | 0x40 | 0x20 | 0x10))
    return Fail(ERROR_INVALID_FLAGS, 0);
  // UTF-8 takes no flag but WC_ERR_INVALID_CHARS.
  if (utf8 && (dwFlags & ~(DWORD)WC_ERR_INVALID_CHARS)) return Fail(ERROR_INVALID_FLAGS, 0);
  size_t count = cchWideChar < 0 ? std::wcslen(lpWideCharStr) + 1 : size_t(cchWideChar);

  Converter cv(name, "WCHAR_T");
  std::string out;
  const char defaultChar = lpDefaultChar ? *lpDefaultChar : '?';
  if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
  for (size_t i = 0; i < count; ++i) {
    wchar_t wc = lpWideCharStr[i];
    bool invalid = uint32_t(wc) > 0x10FFFF || (wc >= 0xD800 && wc <= 0xDFFF);
    char buf[8];
    size_t produced = 0;
    if (!invalid) {
      char *inp = reinterpret_cast<char *>(&wc);
      size_t inLeft = sizeof wc;
      char *outp = buf;
      size_t outLeft = sizeof buf;
      iconv(cv.get(), nullptr, nullptr, nullptr, nullptr);
      if (iconv(cv.get(), &inp, &inLeft, &outp, &outLeft) != (size_t)-1) produced = sizeof buf - outLeft;
    }
    if (produced) {
      out.append(buf, produced);
    } else if (utf8) {
      if (dwFlags & WC_ERR_INVALID_CHARS) return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
      out += "\xEF\xBF\xBD";
    } else {
      out += defaultChar;
      if (lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
    }
  }
  if (cbMultiByte == 0) return int(out.size());
  if (out.size() > size_t(cbMultiByte)) {
    std::memcpy(lpMultiByteStr, out.data(), size_t(cbMultiByte));
    return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  }
  std::memcpy(lpMultiByteStr, out.data(), out.size());
  return int(out.size());
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  WINSIM_ENTRY("kernel32.dll", MultiByteToWideChar, 0);
  if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar && !lpWideCharStr))
    return Fail(ERROR_INVALID_PARAMETER, 0);
  if (dwFlags & ~(DWORD)(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS | 0x2 | 0x4)) return Fail(ERROR_INVALID_FLAGS, 0);
  std::string storage;
  const char *name = IconvName(CodePage, storage);
  if (!name) {
    NotModelled("MultiByteToWideChar", "code page " + std::to_string(CodePage));
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  size_t count = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
  bool single = SingleByte(CodePage);
  bool utf8 = std::strcmp(name, "UTF-8") == 0;
  // UTF-8 takes no flag but MB_ERR_INVALID_CHARS (not even the default MB_PRECOMPOSED).
  if (utf8 && (dwFlags & ~(DWORD)MB_ERR_INVALID_CHARS)) return Fail(ERROR_INVALID_FLAGS, 0);
  wchar_t replacement = utf8 ? wchar_t(0xFFFD) : (single ? L'?' : wchar_t(0x30FB));

  Converter cv("WCHAR_T", name);
  std::wstring out;
  char *inp = const_cast<char *>(lpMultiByteStr);
  size_t inLeft = count;
  while (inLeft) {
    wchar_t buf[256];
    char *outp = reinterpret_cast<char *>(buf);
    size_t outLeft = sizeof buf;
    size_t r = iconv(cv.get(), &inp, &inLeft, &outp, &outLeft);
    out.append(buf, (sizeof buf - outLeft) / sizeof(wchar_t));
    if (r == (size_t)-1 && errno != E2BIG) {
      if (dwFlags & MB_ERR_INVALID_CHARS) return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
      // A byte the code page leaves undefined: single-byte pages map it to the same code
      // point, the others to their default character.
      out += single ? wchar_t((unsigned char)*inp) : replacement;
      ++inp;
      --inLeft;
      iconv(cv.get(), nullptr, nullptr, nullptr, nullptr);
    }
  }
  if (cchWideChar == 0) return int(out.size());
  if (out.size() > size_t(cchWideChar)) {
    std::wmemcpy(lpWideCharStr, out.data(), size_t(cchWideChar));
    return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  }
  std::wmemcpy(lpWideCharStr, out.data(), out.size());
  return int(out.size());
}

}  // extern "C"
