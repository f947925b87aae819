#include "support/fileversion.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "testmachine.h"

namespace {
// Sets a file's last-write time to a UTC calendar time.
void SetWriteTime(const std::filesystem::path &p, int y, int mo, int d, int h, int mi) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = timegm(&tm);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, p.c_str(), times, 0);
}
}  // namespace

TEST(FileVersion, ReadsVersionsNamesSizeAndLocalWriteTime) {
  TestMachine machine("[machine]\nclock = \"2026-12-08T14:30:00\"\ntimezone_bias_minutes = -60\n");
  machine.WritePe(L"C:\\Drivers\\z40e64.sys", "10.0.17763.1", "Intel Corporation", "z40e64.sys");
  SetWriteTime(machine.Host(L"C:\\Drivers\\z40e64.sys"), 2026, 1, 2, 13, 4);
  CFileVersion v(L"C:\\Drivers\\z40e64.sys");
  EXPECT_TRUE(v.HasVersion());
  EXPECT_EQ(v.GetFileVersionText(), CStr(L"10.0.17763.1"));
  EXPECT_EQ(v.GetProductVersionText(), CStr(L"10.0.17763.1"));
  EXPECT_EQ(v.GetFileVersionMS(), 0x000A0000u);
  EXPECT_EQ(v.GetFileVersionLS(), 0x45630001u);
  EXPECT_EQ(v.GetCompanyName(), CStr(L"Intel Corporation"));
  EXPECT_EQ(v.GetInternalName(), CStr(L"z40e64.sys"));
  EXPECT_EQ(v.GetSize(), std::filesystem::file_size(machine.Host(L"C:\\Drivers\\z40e64.sys")));
  // 13:04 UTC is 14:04 local one hour east of UTC.
  EXPECT_EQ(v.GetDateText(), CStr(L"1/2/2026"));
  EXPECT_EQ(v.GetTimeText(), CStr(L"2:04 PM"));
}

TEST(FileVersion, RelativePathsAreTakenFromTheLibraryDirectory) {
  TestMachine machine;
  machine.SetProcess(L"C:\\Pkg\\setup.exe", L"setup.exe", L"C:\\Elsewhere");
  machine.WritePe(L"C:\\Pkg\\a.sys", "1.2.3.4");
  machine.WritePe(L"C:\\Pkg\\sub\\b.sys", "5.6.7.8");
  EXPECT_EQ(CFileVersion(L"a.sys").GetFileVersionText(), CStr(L"1.2.3.4"));
  EXPECT_EQ(CFileVersion(L"a.sys").GetPath(), CStr(L"C:\\Pkg\\a.sys"));
  EXPECT_EQ(CFileVersion(L"sub\\b.sys").GetFileVersionText(), CStr(L"5.6.7.8"));
  // A UNC path counts as relative too.
  CFileVersion unc(L"\\\\server\\share\\a.sys");
  EXPECT_EQ(unc.GetPath(), CStr(L"C:\\Pkg\\\\\\server\\share\\a.sys"));
  EXPECT_FALSE(unc.HasVersion());
}

TEST(FileVersion, MissingFileAndFileWithoutResource) {
  TestMachine machine;
  CFileVersion missing(L"C:\\nothing.sys");
  EXPECT_FALSE(missing.HasVersion());
  EXPECT_EQ(missing.GetSize(), 0u);
  EXPECT_TRUE(missing.GetFileVersionText().IsEmpty());
  EXPECT_TRUE(missing.GetCompanyName().IsEmpty());
  EXPECT_TRUE(missing.GetDateText().IsEmpty());

  machine.Write(L"C:\\plain.txt", "not a program");
  CFileVersion plain(L"C:\\plain.txt");
  EXPECT_TRUE(plain.HasVersion());  // it has a last-write time
  EXPECT_TRUE(plain.GetFileVersionText().IsEmpty());
  EXPECT_TRUE(plain.GetDateText().IsEmpty());
  EXPECT_EQ(plain.GetSize(), 13u);

  EXPECT_FALSE(CFileVersion(L"").HasVersion());
}

TEST(FileVersion, ComparisonsUseTheFileVersionAsUnsignedHalves) {
  struct {
    DWORD ms, ls, otherMs, otherLs;
    bool same, newer;
  } const cases[] = {
      {0x00010002, 3, 0x00010002, 3, true, false},  {0x00010002, 4, 0x00010002, 3, false, true},
      {0x00010002, 3, 0x00010002, 4, false, false}, {0x00020000, 0, 0x00010002, 0xFFFFFFFF, false, true},
      {0x80000000, 0, 0x7FFFFFFF, 0, false, true},  {0, 0x80000000, 0, 0x7FFFFFFF, false, true},
  };
  for (auto &c : cases) {
    CFileVersion a(0, 0, c.ms, c.ls, 0, 0, L"", 0, 0);
    CFileVersion b(9, 9, c.otherMs, c.otherLs, 0, 0, L"", 0, 0);
    EXPECT_EQ(a.IsSameVersion(b), c.same);
    EXPECT_EQ(a.IsNewerThan(b), c.newer);
  }
}

TEST(FileUtilities, FileExistsAndFreeDiskSpace) {
  TestMachine machine("[machine]\nfree_disk = { \"C:\" = 123456789 }\n");
  machine.Write(L"C:\\dir\\file.txt", "x");
  EXPECT_TRUE(FileExists(L"C:\\dir\\file.txt"));
  EXPECT_FALSE(FileExists(L"C:\\dir"));
  EXPECT_FALSE(FileExists(L"C:\\dir\\missing.txt"));
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_EQ(GetFreeDiskSpace(nullptr), 123456789u);
  EXPECT_EQ(GetFreeDiskSpace(L"C:\\dir"), 123456789u);
  EXPECT_EQ(GetFreeDiskSpace(L"C:\\missing"), 0u);
}

TEST(FileUtilities, LibraryDirectoryIsCutAtTheLastBackslash) {
  TestMachine machine;
  machine.SetProcess(L"C:\\Package\\setup.exe", L"setup.exe", L"C:\\");
  WCHAR dir[MAX_PATH];
  EXPECT_EQ(GetLibraryDirectory(dir, MAX_PATH), 1);
  EXPECT_STREQ(dir, L"C:\\Package");
  WCHAR small[4];
  GetLibraryDirectory(small, 4);
  EXPECT_STREQ(small, L"C:\\");
}

TEST(FileUtilities, RunProcessAndWaitWaitsWithinItsLimit) {
  TestMachine machine("[[programs]]\nname = \"tool.exe\"\nexit_code = 7\nruns_ms = 500\n");
  machine.Write(L"C:\\Tools\\tool.exe", "MZ");
  machine.Write(L"C:\\Work\\.keep", "");
  int code = 0;
  EXPECT_TRUE(RunProcessAndWait(L"C:\\Tools\\tool.exe /x", L"C:\\Work", &code, 0));
  EXPECT_EQ(code, -1);
  EXPECT_TRUE(RunProcessAndWait(L"\"C:\\Tools\\tool.exe\" /x", L"C:\\Work", &code, 100));
  EXPECT_EQ(code, -1);
  EXPECT_TRUE(RunProcessAndWait(L"C:\\Tools\\tool.exe", L"C:\\Work", &code, 1000));
  EXPECT_EQ(code, 7);
  EXPECT_FALSE(RunProcessAndWait(L"C:\\Tools\\missing.exe", L"C:\\Work", &code, 1000));
  EXPECT_FALSE(RunProcessAndWait(nullptr, L"C:\\Work", &code, 1000));
  EXPECT_FALSE(RunProcessAndWait(L"C:\\Tools\\tool.exe", L"C:\\Work", nullptr, 1000));
  // The current directory is given back.
  WCHAR cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  EXPECT_STREQ(cwd, L"C:\\");
}

TEST(FileUtilities, DeviceHandleOnAFileAnswersNoControlCode) {
  TestMachine machine;
  machine.Write(L"C:\\dev.bin", "data");
  CDeviceHandle missing(L"C:\\none.bin");
  EXPECT_FALSE(missing.IsValid());
  EXPECT_TRUE(missing.Close());
  CDeviceHandle device(L"C:\\dev.bin");
  ASSERT_TRUE(device.IsValid());
  char out[8], in[8] = {};
  DWORD returned = 0xdeadbeef;
  EXPECT_FALSE(device.IoControl(0x220000, out, sizeof out, in, sizeof in, &returned));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(device.Close());
  EXPECT_FALSE(device.IsValid());
}
