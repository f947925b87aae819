// Hardware IDs formed from device codes, and edition codes from edition names.
#include <gtest/gtest.h>

#include <string>

#include "osinfo/editions.h"
#include "devices/hardwareid.h"
#include "xmltext.h"

namespace {
TEST(MakeHardwareId, ByTheLengthOfTheCode) {
  const struct {
    const WCHAR *code, *id;
  } cases[] = {
      {nullptr, L""},
      {L"", L""},
      {L"PNP0A0", L""},
      {L"pnp0A03", L"*pnp0A03"},
      {L"8086154c", L"PCI\\VEN_8086&DEV_154c"},
      {L"808615720", L""},
      {L"808615728086", L""},
      {L"808615728086000", L""},
      {L"8086157280860001", L"PCI\\VEN_8086&DEV_1572&SUBSYS_00018086"},
      {L"ABCDEFGHIJKLMNOP", L"PCI\\VEN_ABCD&DEV_EFGH&SUBSYS_MNOPIJKL"},
      {L"80861572808600011", L""},
  };
  for (const auto &c : cases) EXPECT_EQ(Show(MakeHardwareId(c.code)), c.id) << Show(c.code);
}

TEST(EditionCodeFromName, NamesWithoutRegardToCase) {
  const struct {
    const WCHAR *name;
    WORD code;
  } cases[] = {
      {nullptr, EDITION_ANY}, {L"", EDITION_ANY}, {L"srvr", 0xFF05}, {L"SrVr", 0xFF05},
      {L"DCR2CORE", 0x0408},  {L"srv", 0},        {L"srvr ", 0},     {L" srvr", 0},
      {L"dcr2corex", 0},      {L"server", 0},
  };
  for (const auto &c : cases) EXPECT_EQ(EditionCodeFromName(c.name), c.code) << Show(c.name);
}
}  // namespace
