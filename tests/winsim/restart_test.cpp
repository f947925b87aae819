// The restart of an open machine: what waited for it is done while the locks of the
// processes it ends are gone, and what lives only until the restart goes.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim.h>

#include <string>
#include <vector>

#include "testmachine.h"

namespace {

TEST(Restart, ReplacesLockedFilesAndDropsVolatileKeys) {
  TestMachine m("[[locked_files]]\npath = 'C:\\Windows\\drv.sys'\n");
  m.Write(L"C:\\Windows\\drv.sys", "old");
  m.Write(L"C:\\new.sys", "new");
  ASSERT_FALSE(MoveFileExW(L"C:\\new.sys", L"C:\\Windows\\drv.sys", MOVEFILE_REPLACE_EXISTING));
  ASSERT_TRUE(
      MoveFileExW(L"C:\\new.sys", L"C:\\Windows\\drv.sys", MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
  HKEY key = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Run", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Run\\Once", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  std::vector<winsim::RestartStep> steps;
  std::string error;
  ASSERT_TRUE(winsim::RestartMachine(steps, error)) << error;
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].kind + " " + steps[0].what, "replace C:\\new.sys -> C:\\Windows\\drv.sys");
  EXPECT_EQ(steps[0].error, 0u);
  EXPECT_EQ(steps[1].kind + " " + steps[1].what, "volatile key removed HKEY_LOCAL_MACHINE\\SOFTWARE\\Run\\Once");
  EXPECT_EQ(steps[2].kind, "clock");

  EXPECT_EQ(m.Read(L"C:\\Windows\\drv.sys"), "new");
  EXPECT_FALSE(m.Exists(L"C:\\new.sys"));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Run\\Once", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Run", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeleteFileW(L"C:\\Windows\\drv.sys")) << "the new driver is locked again";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
}

}  // namespace
