// The machine's clock and the locale formatting of dates and times.
#include <cstring>
#include <string>

#include "base/calendar.h"
#include "plumbing/hooks.h"
#include "base/names.h"
#include "kernel32/locale.h"
#include "machine/clock.h"
#include "machine/system.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {
constexpr int64_t kTicksPerMs = 10000;

// Calendar of a FILETIME value (1601-01-01 was a Monday).
SYSTEMTIME ToSystemTime(int64_t ft) {
  int64_t days = ft / kTicksPerDay;
  int64_t rem = ft % kTicksPerDay;
  CivilDate date = DateOfDay(days);
  SYSTEMTIME st;
  st.wYear = WORD(date.year);
  st.wMonth = WORD(date.month);
  st.wDay = WORD(date.day);
  st.wDayOfWeek = WORD((days + 1) % 7);
  st.wHour = WORD(rem / 36000000000LL);
  st.wMinute = WORD(rem / 600000000LL % 60);
  st.wSecond = WORD(rem / 10000000LL % 60);
  st.wMilliseconds = WORD(rem / kTicksPerMs % 1000);
  return st;
}

bool FromSystemTime(const SYSTEMTIME &st, int64_t &ft) {
  if (!IsValidDate(st.wYear, st.wMonth, st.wDay) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
      st.wMilliseconds > 999)
    return false;
  ft = DaysFrom1601(st.wYear, st.wMonth, st.wDay) * kTicksPerDay + int64_t(st.wHour) * 36000000000LL +
       int64_t(st.wMinute) * 600000000LL + int64_t(st.wSecond) * 10000000LL + int64_t(st.wMilliseconds) * kTicksPerMs;
  return true;
}

int64_t Join(const FILETIME &ft) { return int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime); }
FILETIME Split(int64_t v) { return FILETIME{DWORD(uint64_t(v) & 0xFFFFFFFFu), DWORD(uint64_t(v) >> 32)}; }

// Regional formats of the locales winsim knows, as Windows ships them.
struct LocaleFormats {
  const char *name;
  UINT ansiCodePage;  // LOCALE_IDEFAULTANSICODEPAGE
  const wchar_t *shortDate;
  const wchar_t *longDate;
  const wchar_t *time;
  const wchar_t *am;
  const wchar_t *pm;
  const wchar_t *months[12];
  const wchar_t *days[7];
};

const LocaleFormats kLocales[] = {
    // LOCALE_INVARIANT: English names with its own, culture-neutral pictures.
    {"",
     1252,
     L"MM/dd/yyyy",
     L"dddd, dd MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     {L"January", L"February", L"March", L"April", L"May", L"June", L"July", L"August", L"September", L"October",
      L"November", L"December"},
     {L"Sunday", L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday"}},
    {"en-US",
     1252,
     L"M/d/yyyy",
     L"dddd, MMMM d, yyyy",
     L"h:mm:ss tt",
     L"AM",
     L"PM",
     {L"January", L"February", L"March", L"April", L"May", L"June", L"July", L"August", L"September", L"October",
      L"November", L"December"},
     {L"Sunday", L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday"}},
    {"en-GB",
     1252,
     L"dd/MM/yyyy",
     L"dd MMMM yyyy",
     L"HH:mm:ss",
     L"AM",
     L"PM",
     {L"January", L"February", L"March", L"April", L"May", L"June", L"July", L"August", L"September", L"October",
      L"November", L"December"},
     {L"Sunday", L"Monday", L"Tuesday", L"Wednesday", L"Thursday", L"Friday", L"Saturday"}},
    {"fr-FR",
     1252,
     L"dd/MM/yyyy",
     L"dddd d MMMM yyyy",
     L"HH:mm:ss",
     L"",
     L"",
     {L"janvier", L"f\u00e9vrier", L"mars", L"avril", L"mai", L"juin", L"juillet", L"ao\u00fbt", L"septembre",
      L"octobre", L"novembre", L"d\u00e9cembre"},
     {L"dimanche", L"lundi", L"mardi", L"mercredi", L"jeudi", L"vendredi", L"samedi"}},
    {"de-DE",
     1252,
     L"dd.MM.yyyy",
     L"dddd, d. MMMM yyyy",
     L"HH:mm:ss",
     L"",
     L"",
     {L"Januar", L"Februar", L"M\u00e4rz", L"April", L"Mai", L"Juni", L"Juli", L"August", L"September", L"Oktober",
      L"November", L"Dezember"},
     {L"Sonntag", L"Montag", L"Dienstag", L"Mittwoch", L"Donnerstag", L"Freitag", L"Samstag"}},
    {"it-IT",
     1252,
     L"dd/MM/yyyy",
     L"dddd d MMMM yyyy",
     L"HH:mm:ss",
     L"",
     L"",
     {L"gennaio", L"febbraio", L"marzo", L"aprile", L"maggio", L"giugno", L"luglio", L"agosto", L"settembre",
      L"ottobre", L"novembre", L"dicembre"},
     {L"domenica", L"luned\u00ec", L"marted\u00ec", L"mercoled\u00ec", L"gioved\u00ec", L"venerd\u00ec", L"sabato"}},
    {"es-ES",
     1252,
     L"dd/MM/yyyy",
     L"dddd, d' de 'MMMM' de 'yyyy",
     L"H:mm:ss",
     L"",
     L"",
     {L"enero", L"febrero", L"marzo", L"abril", L"mayo", L"junio", L"julio", L"agosto", L"septiembre", L"octubre",
      L"noviembre", L"diciembre"},
     {L"domingo", L"lunes", L"martes", L"mi\u00e9rcoles", L"jueves", L"viernes", L"s\u00e1bado"}},
    {"ja-JP",
     932,
     L"yyyy/MM/dd",
     L"yyyy'\u5e74'M'\u6708'd'\u65e5'",
     L"H:mm:ss",
     L"\u5348\u524d",
     L"\u5348\u5f8c",
     {L"1\u6708", L"2\u6708", L"3\u6708", L"4\u6708", L"5\u6708", L"6\u6708", L"7\u6708", L"8\u6708", L"9\u6708",
      L"10\u6708", L"11\u6708", L"12\u6708"},
     {L"\u65e5\u66dc\u65e5", L"\u6708\u66dc\u65e5", L"\u706b\u66dc\u65e5", L"\u6c34\u66dc\u65e5", L"\u6728\u66dc\u65e5",
      L"\u91d1\u66dc\u65e5", L"\u571f\u66dc\u65e5"}},
};

// Locale names and their LANGIDs as Windows numbers them.
const std::pair<const char *, LANGID> kLanguageIds[] = {
    {"ar-SA", 0x0401}, {"bg-BG", 0x0402}, {"ca-ES", 0x0403}, {"zh-TW", 0x0404},      {"cs-CZ", 0x0405},
    {"da-DK", 0x0406}, {"de-DE", 0x0407}, {"el-GR", 0x0408}, {"en-US", 0x0409},      {"fi-FI", 0x040B},
    {"fr-FR", 0x040C}, {"he-IL", 0x040D}, {"hu-HU", 0x040E}, {"is-IS", 0x040F},      {"it-IT", 0x0410},
    {"ja-JP", 0x0411}, {"ko-KR", 0x0412}, {"nl-NL", 0x0413}, {"nb-NO", 0x0414},      {"pl-PL", 0x0415},
    {"pt-BR", 0x0416}, {"ro-RO", 0x0418}, {"ru-RU", 0x0419}, {"hr-HR", 0x041A},      {"sk-SK", 0x041B},
    {"sv-SE", 0x041D}, {"th-TH", 0x041E}, {"tr-TR", 0x041F}, {"uk-UA", 0x0422},      {"sl-SI", 0x0424},
    {"et-EE", 0x0425}, {"lv-LV", 0x0426}, {"lt-LT", 0x0427}, {"vi-VN", 0x042A},      {"hi-IN", 0x0439},
    {"zh-CN", 0x0804}, {"de-CH", 0x0807}, {"en-GB", 0x0809}, {"es-MX", 0x080A},      {"fr-BE", 0x080C},
    {"it-CH", 0x0810}, {"nl-BE", 0x0813}, {"pt-PT", 0x0816}, {"zh-HK", 0x0C04},      {"de-AT", 0x0C07},
    {"en-AU", 0x0C09}, {"es-ES", 0x0C0A}, {"fr-CA", 0x0C0C}, {"de-LU", 0x1007},      {"en-CA", 0x1009},
    {"fr-CH", 0x100C}, {"en-NZ", 0x1409}, {"en-IE", 0x1809}, {"sr-Latn-RS", 0x241A}, {"en-IN", 0x4009},
    {"es-US", 0x540A},
};

const LocaleFormats *FormatsFor(LCID locale) {
  const SystemIdentity &system = System();
  const std::string *name = nullptr;
  if (locale == LOCALE_SYSTEM_DEFAULT || locale == 0)
    name = &system.systemLocale;
  else if (locale == LOCALE_USER_DEFAULT)
    name = &system.userLocale;
  else if (locale == LOCALE_INVARIANT)
    return &kLocales[0];
  if (!name) return nullptr;
  for (auto &l : kLocales)
    if (!name->empty() && *name == l.name) return &l;
  return nullptr;
}

std::wstring Number(int value, size_t width) {
  std::wstring s = std::to_wstring(value);
  while (s.size() < width) s = L"0" + s;
  return s;
}

// Expands a Windows picture format ("h:mm:ss tt", "M/d/yyyy"); quoted text is literal.
std::wstring Expand(const std::wstring &format, const SYSTEMTIME &st, const LocaleFormats &lf, bool force24) {
  std::wstring out;
  for (size_t i = 0; i < format.size();) {
    wchar_t c = format[i];
    if (c == L'\'') {
      size_t end = format.find(L'\'', i + 1);
      if (end == std::wstring::npos) end = format.size();
      out += format.substr(i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    size_t n = 1;
    while (i + n < format.size() && format[i + n] == c) ++n;
    switch (c) {
      case L'h':
        if (force24)
          out += Number(st.wHour, n >= 2 ? 2 : 1);
        else
          out += Number(st.wHour % 12 == 0 ? 12 : st.wHour % 12, n >= 2 ? 2 : 1);
        break;
      case L'H': out += Number(st.wHour, n >= 2 ? 2 : 1); break;
      case L'm': out += Number(st.wMinute, n >= 2 ? 2 : 1); break;
      case L's': out += Number(st.wSecond, n >= 2 ? 2 : 1); break;
      case L't': {
        std::wstring marker = st.wHour < 12 ? lf.am : lf.pm;
        out += n == 1 ? marker.substr(0, 1) : marker;
        break;
      }
      case L'd':
        if (n <= 2)
          out += Number(st.wDay, n);
        else if (n == 3)
          out += std::wstring(lf.days[st.wDayOfWeek]).substr(0, 3);
        else
          out += lf.days[st.wDayOfWeek];
        break;
      case L'M':
        if (n <= 2)
          out += Number(st.wMonth, n);
        else if (n == 3)
          out += std::wstring(lf.months[st.wMonth - 1]).substr(0, 3);
        else
          out += lf.months[st.wMonth - 1];
        break;
      case L'y':
        if (n <= 2)
          out += Number(st.wYear % 100, n == 1 ? 1 : 2);
        else
          out += Number(st.wYear, 4);
        break;
      default: out.append(n, c); break;
    }
    i += n;
  }
  return out;
}

// Removes a format element and the separator that goes with it, as the TIME_NO* flags do.
std::wstring DropElement(const std::wstring &format, wchar_t element) {
  size_t pos = format.find(element);
  if (pos == std::wstring::npos) return format;
  size_t end = pos;
  while (end < format.size() && format[end] == element) ++end;
  // Take the separator before the element (":" before seconds, " " before the marker).
  size_t start = pos;
  while (start > 0 && std::wcschr(L"hHmst'", format[start - 1]) == nullptr) --start;
  if (start == 0) {  // element first: take the separator after it instead
    while (end < format.size() && std::wcschr(L"hHmst'", format[end]) == nullptr) ++end;
  }
  return format.substr(0, start) + format.substr(end);
}

int Deliver(const std::wstring &text, LPWSTR buffer, int capacity) {
  int needed = int(text.size() + 1);
  if (capacity == 0) return needed;
  if (!buffer || capacity < 0) return Fail(ERROR_INVALID_PARAMETER, 0);
  if (capacity < needed) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  text.copy(buffer, text.size());
  buffer[text.size()] = L'\0';
  return needed;
}

SYSTEMTIME LocalNow() { return ToSystemTime(Clock().LocalFromUtc(Clock().Now())); }
}  // namespace

LANGID winsim::LangIdOfLocale(const std::string &name) {
  const std::wstring wanted = FromUtf8(name);
  for (const auto &[known, id] : kLanguageIds)
    if (EqualNoCase(wanted, FromUtf8(known))) return id;
  return LANG_NEUTRAL;
}

extern "C" {

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) { *lpSystemTime = LocalNow(); }
void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) { *lpSystemTime = ToSystemTime(Clock().Now()); }
void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) { *ft = Split(Clock().Now()); }
DWORD WINAPI GetTickCount(void) { return Clock().TickCount(); }
void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    NotModelled("Sleep", "an infinite sleep (the process would never wake)");
    return;
  }
  Clock().Advance(dwMilliseconds);
}

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME *lpFileTime, LPFILETIME lpLocalFileTime) {
  WINSIM_ENTRY("kernel32.dll", FileTimeToLocalFileTime, FALSE);
  if (!lpFileTime || !lpLocalFileTime) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *lpLocalFileTime = Split(Clock().LocalFromUtc(Join(*lpFileTime)));
  return TRUE;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME *lpFileTime, LPSYSTEMTIME lpSystemTime) {
  WINSIM_ENTRY("kernel32.dll", FileTimeToSystemTime, FALSE);
  if (!lpFileTime || !lpSystemTime) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  int64_t v = Join(*lpFileTime);
  if (v < 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *lpSystemTime = ToSystemTime(v);
  return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *lpSystemTime, LPFILETIME lpFileTime) {
  WINSIM_ENTRY("kernel32.dll", SystemTimeToFileTime, FALSE);
  if (!lpSystemTime || !lpFileTime) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  int64_t v;
  if (!FromSystemTime(*lpSystemTime, v)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *lpFileTime = Split(v);
  return TRUE;
}

int WINAPI GetTimeFormatW(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpTime, LPCWSTR lpFormat, LPWSTR lpTimeStr,
                          int cchTime) {
  WINSIM_ENTRY("kernel32.dll", GetTimeFormatW, 0);
  const DWORD known =
      TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT | LOCALE_NOUSEROVERRIDE;
  if (dwFlags & ~known) return Fail(ERROR_INVALID_FLAGS, 0);
  // The TIME_* flags apply to a picture of the caller's too; only the locale's own
  // settings (LOCALE_NOUSEROVERRIDE) make no sense with one.
  if (lpFormat && (dwFlags & LOCALE_NOUSEROVERRIDE)) return Fail(ERROR_INVALID_FLAGS, 0);
  const LocaleFormats *lf = FormatsFor(Locale);
  if (!lf) {
    NotModelled("GetTimeFormatW", "this locale");
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  SYSTEMTIME st = lpTime ? *lpTime : LocalNow();
  if (lpTime && (st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999))
    return Fail(ERROR_INVALID_PARAMETER, 0);
  std::wstring format = lpFormat ? lpFormat : lf->time;
  if (dwFlags & TIME_NOMINUTESORSECONDS)
    format = DropElement(DropElement(format, L's'), L'm');
  else if (dwFlags & TIME_NOSECONDS)
    format = DropElement(format, L's');
  if (dwFlags & TIME_NOTIMEMARKER) format = DropElement(format, L't');
  return Deliver(Expand(format, st, *lf, (dwFlags & TIME_FORCE24HOURFORMAT) != 0), lpTimeStr, cchTime);
}

int WINAPI GetDateFormatW(LCID Locale, DWORD dwFlags, const SYSTEMTIME *lpDate, LPCWSTR lpFormat, LPWSTR lpDateStr,
                          int cchDate) {
  WINSIM_ENTRY("kernel32.dll", GetDateFormatW, 0);
  const DWORD known = DATE_SHORTDATE | DATE_LONGDATE | LOCALE_NOUSEROVERRIDE;
  if (dwFlags & ~known) {
    NotModelled("GetDateFormatW", "these flags");
    return Fail(ERROR_INVALID_FLAGS, 0);
  }
  if ((dwFlags & DATE_SHORTDATE) && (dwFlags & DATE_LONGDATE)) return Fail(ERROR_INVALID_FLAGS, 0);
  if (lpFormat && (dwFlags & (DATE_SHORTDATE | DATE_LONGDATE))) return Fail(ERROR_INVALID_FLAGS, 0);
  const LocaleFormats *lf = FormatsFor(Locale);
  if (!lf) {
    NotModelled("GetDateFormatW", "this locale");
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  SYSTEMTIME st = lpDate ? *lpDate : LocalNow();
  if (lpDate) {
    int64_t v;
    SYSTEMTIME day = st;
    day.wHour = day.wMinute = day.wSecond = day.wMilliseconds = 0;
    if (!FromSystemTime(day, v)) return Fail(ERROR_INVALID_PARAMETER, 0);
    st.wDayOfWeek = ToSystemTime(v).wDayOfWeek;  // Windows recomputes the weekday
  }
  std::wstring format = lpFormat ? lpFormat : ((dwFlags & DATE_LONGDATE) ? lf->longDate : lf->shortDate);
  return Deliver(Expand(format, st, *lf, false), lpDateStr, cchDate);
}

int WINAPI GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData) {
  WINSIM_ENTRY("kernel32.dll", GetLocaleInfoW, 0);
  const LocaleFormats *lf = FormatsFor(Locale);
  if (!lf) {
    NotModelled("GetLocaleInfoW", "this locale");
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  if (cchData < 0 || (cchData && !lpLCData)) return Fail(ERROR_INVALID_PARAMETER, 0);
  bool number = LCType & LOCALE_RETURN_NUMBER;
  std::wstring text;
  switch (LCType & ~(LCTYPE)(LOCALE_RETURN_NUMBER | LOCALE_NOUSEROVERRIDE)) {
    case LOCALE_IDEFAULTANSICODEPAGE:
      if (number) {
        if (cchData == 0) return int(sizeof(DWORD) / sizeof(WCHAR));
        if (size_t(cchData) * sizeof(WCHAR) < sizeof(DWORD)) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
        DWORD value = lf->ansiCodePage;
        std::memcpy(lpLCData, &value, sizeof value);
        return int(sizeof(DWORD) / sizeof(WCHAR));
      }
      text = std::to_wstring(lf->ansiCodePage);
      break;
    case LOCALE_SNAME: text = std::wstring(lf->name, lf->name + std::strlen(lf->name)); break;
    case LOCALE_SSHORTDATE: text = lf->shortDate; break;
    case LOCALE_SLONGDATE: text = lf->longDate; break;
    case LOCALE_STIMEFORMAT: text = lf->time; break;
    default: NotModelled("GetLocaleInfoW", "this LCTYPE"); return Fail(ERROR_INVALID_FLAGS, 0);
  }
  if (number) return Fail(ERROR_INVALID_FLAGS, 0);
  return Deliver(text, lpLCData, cchData);
}

}  // extern "C"
