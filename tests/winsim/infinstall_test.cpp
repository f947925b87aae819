
namespace {

// Publishing fills the lowest free oemN.inf; an INF already published under any number is
// found by its content and nothing is copied.
TEST(InfInstall, CopyOemInfNumbersNewInfsAndFindsPublishedOnes) {
  const std::string kA = kHeader + "[A]\r\n", kB = kHeader + "[B]\r\n", kC = kHeader + "[C]\r\n";
  // clang-format off
  struct Case {
    const char *name;
    std::string source;
    DWORD style, error;
    const wchar_t *answer;  // the name answered; null for none
    std::vector<const wchar_t *> infAfter;
  } cases[] = {
      {"new INF, gap at 1",  kC, 0,                   0,                    L"C:\\Windows\\INF\\oem1.inf", {L"oem0.inf", L"oem1.inf", L"oem2.inf"}},
      {"published as oem2", kB, 0,                    0,                    L"C:\\Windows\\INF\\oem2.inf", {L"oem0.inf", L"oem2.inf"}},
      {"no overwrite",      kB, SP_COPY_NOOVERWRITE,  ERROR_FILE_EXISTS,    L"C:\\Windows\\INF\\oem2.inf", {L"oem0.inf", L"oem2.inf"}},
      {"replace only, new", kC, SP_COPY_REPLACEONLY,  ERROR_FILE_NOT_FOUND, nullptr,                       {L"oem0.inf", L"oem2.inf"}},
      {"replace only, old", kA, SP_COPY_REPLACEONLY,  0,                    L"C:\\Windows\\INF\\oem0.inf", {L"oem0.inf", L"oem2.inf"}},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine m;
    m.Write(L"C:\\Windows\\INF\\oem0.inf", kA);
    m.Write(L"C:\\Windows\\INF\\oem2.inf", kB);
    m.Write(L"C:\\pkg\\drv.inf", c.source);
    WCHAR name[MAX_PATH] = L"";
    PWSTR component = nullptr;
    SetLastError(kSentinel);
    BOOL ok = SetupCopyOEMInfW(L"C:\\pkg\\drv.inf", nullptr, SPOST_PATH, c.style, name, MAX_PATH, nullptr, &component);
    EXPECT_EQ(ok != FALSE, c.error == 0);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(std::wstring(name), c.answer ? c.answer : L"");
    if (c.answer) EXPECT_EQ(std::wstring(component), std::wstring(c.answer).substr(17));
    for (const wchar_t *inf : {L"oem0.inf", L"oem1.inf", L"oem2.inf", L"oem3.inf"}) {
      bool listed = false;
      for (const wchar_t *want : c.infAfter) listed = listed || std::wstring(want) == inf;
      EXPECT_EQ(m.Exists(std::wstring(L"C:\\Windows\\INF\\") + inf), listed) << winsim::ToUtf8(inf);
    }
    if (c.answer) EXPECT_EQ(m.Read(c.answer), c.source);
  }
}

}  // namespace
