#include "osinfo/editions.h"

#include "support/cstr.h"

WORD EditionCodeFromName(const WCHAR *name) {
  static const struct {
    const WCHAR *name;
    WORD code;
  } kEditions[] = {
      {L"srvr", 0xFF05}, {L"core", 0xFF0A},     {L"r2", 0xFF0C},       {L"r2srvr", 0xFF04}, {L"r2core", 0xFF08},
      {L"sbs", 0x0205},  {L"sbsr2", 0x0204},    {L"dc", 0x040F},       {L"dcsrvr", 0x0405}, {L"dccore", 0x040A},
      {L"dcr2", 0x040C}, {L"dcr2srvr", 0x0404}, {L"dcr2core", 0x0408}, {L"ebs", 0x0206},    {L"ebsr2", 0x0207},
  };
  if (!name || !*name) return EDITION_ANY;
  CStr lower(name);
  lower.MakeLower();
  for (auto &e : kEditions)
    if (lower == e.name) return e.code;
  return 0;
}

WORD GetEditionCode(DWORD productType, bool r2) {
  switch (productType) {
    case 8: return r2 ? 0x0404 : 0x0405;  // PRODUCT_DATACENTER_SERVER
    case 9:
    case 25: return r2 ? 0x0204 : 0x0205;  // small business server (premium)
    case 12: return r2 ? 0x0408 : 0x040A;  // PRODUCT_DATACENTER_SERVER_CORE
    case 13:
    case 14: return r2 ? 0x0108 : 0x0102;  // standard and enterprise core
    case 30:
    case 31:
    case 32: return r2 ? 0x0207 : 0x0206;  // essential business server
    default: return r2 ? 0xFF04 : 0xFF05;
  }
}
