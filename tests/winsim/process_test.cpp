// Modules, child processes and the console of the simulated process: system DLLs and
// their exports, load failures, module names, programs run on the virtual clock.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "testmachine.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

const char *const kPrograms = R"(
[[programs]]
name = "direvo.exe"
exit_code = 3
runs_ms = 500

[[programs]]
name = "forever.exe"
never_exits = true
)";

struct Started {
  BOOL ok;
  DWORD error;
  PROCESS_INFORMATION pi;
};

Started Start(const wchar_t *application, const wchar_t *commandLine, const wchar_t *directory = nullptr,
              DWORD flags = CREATE_NO_WINDOW) {
  STARTUPINFOW si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  Started s;
  s.pi = PROCESS_INFORMATION{reinterpret_cast<HANDLE>(uintptr_t(kSentinel)),
                             reinterpret_cast<HANDLE>(uintptr_t(kSentinel)), kSentinel, kSentinel};
  std::wstring line = commandLine ? commandLine : L"";  // CreateProcessW may write into it
  SetLastError(kSentinel);
  s.ok = CreateProcessW(application, commandLine ? line.data() : nullptr, nullptr, nullptr, FALSE, flags, nullptr,
                        directory, &si, &s.pi);
  s.error = GetLastError();
  return s;
}

DWORD ExitCode(HANDLE process) {
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeProcess(process, &code));
  return code;
}

}  // namespace

// ---- modules ----------------------------------------------------------------------------

TEST(Modules, Kernel32ExportsWhatItRegistered) {
  TestMachine machine;
  HMODULE k32 = LoadLibraryW(L"kernel32.dll");
  ASSERT_NE(k32, nullptr);
  FARPROC tick = GetProcAddress(k32, "GetTickCount");
  ASSERT_NE(tick, nullptr);
  EXPECT_EQ(reinterpret_cast<DWORD (*)(void)>(reinterpret_cast<void (*)(void)>(tick))(), GetTickCount());
  EXPECT_NE(GetProcAddress(k32, "GetSystemDirectoryW"), nullptr);

  SetLastError(kSentinel);
  EXPECT_EQ(GetProcAddress(k32, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_EQ(GetProcAddress(k32, "gettickcount"), nullptr);  // export names keep their case
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

  // The same module by other spellings.
  EXPECT_EQ(LoadLibraryW(L"KERNEL32"), k32);
  EXPECT_EQ(GetModuleHandleW(L"Kernel32.DLL"), k32);
  const std::wstring expected = L"C:\\Windows\\system32\\kernel32.dll";
  wchar_t path[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameW(k32, path, MAX_PATH), expected.size());
  EXPECT_EQ(std::wstring(path), expected);
  EXPECT_TRUE(FreeLibrary(k32));
  EXPECT_TRUE(FreeLibrary(k32));
}

TEST(Modules, MissingExportsOfTheMachine) {
  TestMachine machine("[os]\nmissing_exports = [\"kernel32.dll!GetTickCount\"]\n");
  HMODULE k32 = LoadLibraryW(L"kernel32.dll");
  ASSERT_NE(k32, nullptr);
  SetLastError(kSentinel);
  EXPECT_EQ(GetProcAddress(k32, "GetTickCount"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_NE(GetProcAddress(k32, "GetSystemDirectoryW"), nullptr);
}

TEST(Modules, LoadLibraryFailures) {
  TestMachine machine("[os]\nmissing_dlls = [\"kernel32.dll\"]\n");
  machine.SetProcess(L"C:\\Package\\kvnhost.exe", L"kvnhost.exe", L"C:\\Package");
  machine.WritePe(L"C:\\Package\\native.dll", "1.2.3.4");
  machine.Write(L"C:\\Package\\text.dll", "not an image at all");
  // clang-format off
  struct Case {
    const wchar_t *name;
    DWORD error;
  } cases[] = {
      {L"kernel32.dll",                        ERROR_MOD_NOT_FOUND},  // listed in missing_dlls
      {L"C:\\Windows\\System32\\KERNEL32.DLL", ERROR_MOD_NOT_FOUND},
      {L"nosuch.dll",                          ERROR_MOD_NOT_FOUND},
      {L"nosuch",                              ERROR_MOD_NOT_FOUND},
      {L"C:\\Package\\nosuch.dll",             ERROR_MOD_NOT_FOUND},
      {L"C:\\Package\\native.dll",             ERROR_BAD_EXE_FORMAT},  // Windows code: not for winsim
      {L"native.dll",                          ERROR_BAD_EXE_FORMAT},  // found next to the image
      {L"C:\\Package\\text.dll",               ERROR_BAD_EXE_FORMAT},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name));
    SetLastError(kSentinel);
    EXPECT_EQ(LoadLibraryW(c.name), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  SetLastError(kSentinel);
  EXPECT_EQ(GetModuleHandleW(L"kernel32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Modules, FreeLibraryOfAModuleThatIsNotLoaded) {
  TestMachine machine;
  HMODULE k32 = LoadLibraryW(L"kernel32.dll");
  ASSERT_NE(k32, nullptr);
  EXPECT_TRUE(FreeLibrary(k32));
  SetLastError(kSentinel);
  EXPECT_FALSE(FreeLibrary(k32));  // its last reference is gone
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  SetLastError(kSentinel);
  EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(uintptr_t(0x12345678))));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  wchar_t path[MAX_PATH];
  SetLastError(kSentinel);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(uintptr_t(0x12345678)), path, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Modules, GetModuleFileNameOfTheImageTruncates) {
  TestMachine machine;
  const std::wstring image = L"C:\\Package\\kvnhost.exe";  // 22 characters
  machine.SetProcess(image, L"kvnhost.exe /s", L"C:\\");
  // clang-format off
  struct Case {
    DWORD size;
    DWORD result;
    const wchar_t *text;
    DWORD error;  // kSentinel: not set
  } cases[] = {
      {64, 22, L"C:\\Package\\kvnhost.exe", kSentinel},
      {23, 22, L"C:\\Package\\kvnhost.exe", kSentinel},
      {22, 22, L"C:\\Package\\kvnhost.ex",  ERROR_INSUFFICIENT_BUFFER},  // cut, terminated, nSize returned
      {5,  5,  L"C:\\P",                    ERROR_INSUFFICIENT_BUFFER},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    wchar_t buffer[80];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, c.size), c.result);
    EXPECT_EQ(std::wstring(buffer), c.text);
    if (c.error != kSentinel) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    for (DWORD i = c.size; i < 80; ++i) ASSERT_EQ(buffer[i], L'#') << "written at " << i;
  }
  HMODULE self = GetModuleHandleW(nullptr);
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(GetModuleHandleW(L"KVNHOST.EXE"), self);
  wchar_t buffer[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameW(self, buffer, MAX_PATH), 22u);
  EXPECT_EQ(std::wstring(buffer), image);
  SetLastError(kSentinel);
  EXPECT_EQ(GetModuleHandleW(L"notloaded.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Modules, SetErrorModeAnswersThePreviousMode) {
  TestMachine machine;
  EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS), 0u);
  EXPECT_EQ(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX), UINT(SEM_FAILCRITICALERRORS));
  EXPECT_EQ(SetErrorMode(0), UINT(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
  EXPECT_EQ(SetErrorMode(0), 0u);
}

// ---- processes --------------------------------------------------------------------------

TEST(Processes, AProgramRunsForItsTimeOnTheVirtualClock) {
  TestMachine machine(kPrograms);
  machine.SetProcess(L"C:\\Package\\kvnhost.exe", L"kvnhost.exe", L"C:\\Package");
  machine.Write(L"C:\\Package\\direvo.exe", "MZ");
  const DWORD t0 = GetTickCount();

  Started s = Start(nullptr, L"\"C:\\Package\\direvo.exe\" /install");
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_NE(s.pi.hProcess, nullptr);
  EXPECT_NE(s.pi.hThread, nullptr);
  EXPECT_NE(s.pi.hProcess, s.pi.hThread);
  EXPECT_NE(s.pi.dwProcessId, kSentinel);
  EXPECT_NE(s.pi.dwThreadId, kSentinel);
  EXPECT_EQ(GetTickCount(), t0);  // starting takes no time

  EXPECT_EQ(ExitCode(s.pi.hProcess), DWORD(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 0), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount(), t0);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 200), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount(), t0 + 200);  // the whole timeout passed
  EXPECT_EQ(ExitCode(s.pi.hProcess), DWORD(STILL_ACTIVE));

  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(GetTickCount(), t0 + 500);  // only until it ended
  EXPECT_EQ(ExitCode(s.pi.hProcess), 3u);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s.pi.hThread, 0), WAIT_OBJECT_0);
  EXPECT_EQ(GetTickCount(), t0 + 500);

  EXPECT_TRUE(CloseHandle(s.pi.hThread));
  EXPECT_TRUE(CloseHandle(s.pi.hProcess));
  EXPECT_DEATH(WaitForSingleObject(s.pi.hProcess, 0), "WaitForSingleObject: handle .* was used after it was closed");
}

TEST(Processes, AProgramEndsWhileTheCallerSleeps) {
  TestMachine machine(kPrograms);
  machine.Write(L"C:\\Tools\\direvo.exe", "MZ");
  Started s = Start(L"C:\\Tools\\direvo.exe", nullptr);
  ASSERT_TRUE(s.ok) << s.error;
  Sleep(499);
  EXPECT_EQ(ExitCode(s.pi.hProcess), DWORD(STILL_ACTIVE));
  Sleep(1);
  EXPECT_EQ(ExitCode(s.pi.hProcess), 3u);
  const DWORD t = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(GetTickCount(), t);
}

TEST(Processes, AnInfiniteWaitOnAProgramThatNeverExitsFailsInsteadOfHanging) {
  TestMachine machine(kPrograms);
  machine.Write(L"C:\\Tools\\forever.exe", "MZ");
  Started s = Start(nullptr, L"C:\\Tools\\forever.exe");
  ASSERT_TRUE(s.ok) << s.error;
  const DWORD t0 = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 60000), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount(), t0 + 60000);
  SetLastError(kSentinel);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
  EXPECT_EQ(ExitCode(s.pi.hProcess), DWORD(STILL_ACTIVE));
}

TEST(Processes, HowTheProgramFileIsFound) {
  TestMachine machine(kPrograms);
  machine.SetProcess(L"C:\\Package\\kvnhost.exe", L"kvnhost.exe", L"C:\\Work");
  machine.Write(L"C:\\Package\\direvo.exe", "MZ");
  machine.Write(L"C:\\Program Files\\Kvn Tools\\direvo.exe", "MZ");
  machine.Write(L"C:\\Package\\notes.exe", "MZ");
  machine.Write(L"C:\\Work\\readme.txt", "");
  // clang-format off
  struct Case {
    const wchar_t *application, *commandLine, *directory;
    DWORD error;  // 0: started
  } cases[] = {
      {nullptr, L"\"C:\\Package\\direvo.exe\" /install",              nullptr, 0},
      {nullptr, L"C:\\Package\\direvo.exe /install",                  nullptr, 0},
      {nullptr, L"direvo /install",                                  nullptr, 0},  // next to the image, .exe implied
      {nullptr, L"C:\\Program Files\\Kvn Tools\\direvo.exe /install", nullptr, 0},  // unquoted blanks
      {nullptr, L"  \"C:\\Program Files\\Kvn Tools\\direvo.exe\"",    nullptr, 0},
      {L"C:\\Package\\direvo.exe", L"direvo.exe /install",            nullptr, 0},
      {L"C:\\Package\\direvo.exe", nullptr,                           nullptr, 0},
      {L"direvo.exe", L"direvo.exe",              nullptr, ERROR_FILE_NOT_FOUND},  // only the current directory
      {L"C:\\Package\\direvo", nullptr,           nullptr, ERROR_FILE_NOT_FOUND},  // no implied extension
      {nullptr, L"missing.exe /x",                nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, L"\"C:\\Program Files\\Kvn\" /x", nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, L"C:\\Package\\notes.exe",        nullptr, ERROR_CALL_NOT_IMPLEMENTED},  // no [[programs]] entry
      {nullptr, L"direvo.exe", L"C:\\NoSuchDir",           ERROR_DIRECTORY},
      {nullptr, L"direvo.exe", L"C:\\Work\\readme.txt",    ERROR_DIRECTORY},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.application ? c.application : L"(null)") + " | " +
                 winsim::ToUtf8(c.commandLine ? c.commandLine : L"(null)"));
    Started s = Start(c.application, c.commandLine, c.directory);
    EXPECT_EQ(s.ok != FALSE, c.error == 0);
    if (!s.ok) {
      EXPECT_EQ(s.error, c.error);
      continue;
    }
    EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(s.pi.hProcess), 3u);
    CloseHandle(s.pi.hThread);
    CloseHandle(s.pi.hProcess);
  }
  // Window and priority flags change nothing a program does; a suspended or debugged start
  // has no model.
  for (auto [flags, error] : {std::pair<DWORD, DWORD>{CREATE_NO_WINDOW | REALTIME_PRIORITY_CLASS, 0},
                              {CREATE_SUSPENDED, ERROR_CALL_NOT_IMPLEMENTED},
                              {DEBUG_PROCESS, ERROR_CALL_NOT_IMPLEMENTED}}) {
    SCOPED_TRACE(flags);
    Started s = Start(nullptr, L"direvo /install", nullptr, flags);
    EXPECT_EQ(s.ok ? 0 : s.error, error);
    if (!s.ok) continue;
    CloseHandle(s.pi.hThread);
    CloseHandle(s.pi.hProcess);
  }
}

// ---- console ----------------------------------------------------------------------------

TEST(Console, AllocConsoleGivesStandardHandlesOnce) {
  TestMachine machine;
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    EXPECT_EQ(GetStdHandle(which), nullptr) << which;  // a setup process starts without a console

  ASSERT_TRUE(AllocConsole());
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE),
         err = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE h : {in, out, err}) {
    EXPECT_NE(h, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
  }
  EXPECT_NE(in, out);
  EXPECT_NE(out, err);
  SetLastError(kSentinel);
  EXPECT_FALSE(AllocConsole());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(kSentinel);
  EXPECT_EQ(GetStdHandle(DWORD(-13)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  ASSERT_TRUE(FreeConsole());
  EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), nullptr);
  EXPECT_TRUE(AllocConsole());
}

TEST(Console, ScreenBufferSize) {
  TestMachine machine;
  ASSERT_TRUE(AllocConsole());
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  ASSERT_TRUE(GetConsoleScreenBufferInfo(out, &info));
  const short width = info.dwSize.X;
  EXPECT_GE(width, 80);

  EXPECT_TRUE(SetConsoleScreenBufferSize(out, COORD{width, 500}));
  std::memset(&info, 0, sizeof info);
  ASSERT_TRUE(GetConsoleScreenBufferInfo(out, &info));
  EXPECT_EQ(info.dwSize.X, width);
  EXPECT_EQ(info.dwSize.Y, 500);

  // clang-format off
  struct Case {
    HANDLE handle;
    COORD size;
    DWORD error;
  } failures[] = {
      {out,                              COORD{width, 10}, ERROR_INVALID_PARAMETER},  // smaller than the window
      {out,                              COORD{20, 500},   ERROR_INVALID_PARAMETER},
      {GetStdHandle(STD_INPUT_HANDLE),   COORD{width, 500}, ERROR_INVALID_HANDLE},
      {nullptr,                          COORD{width, 500}, ERROR_INVALID_HANDLE},
  };
  // clang-format on
  for (const Case &c : failures) {
    SCOPED_TRACE(testing::Message() << c.size.X << "x" << c.size.Y);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetConsoleScreenBufferSize(c.handle, c.size));
    EXPECT_EQ(GetLastError(), c.error);
  }
  ASSERT_TRUE(GetConsoleScreenBufferInfo(out, &info));
  EXPECT_EQ(info.dwSize.Y, 500);
}

// ---- the shell ----------------------------------------------------------------------------

TEST(ShellExecute, OpensThroughTheAssociationAndRecordsEachOpening) {
  TestMachine machine(std::string(kPrograms) + "\n[machine]\nclock = \"2026-12-08T14:30:00\"\n");
  auto setClass = [](const wchar_t *subKey, const wchar_t *value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                   DWORD((std::wcslen(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  };
  setClass(L".txt", L"txtfile");
  setClass(L"txtfile\\shell\\open\\command", L"C:\\Windows\\system32\\NOTEPAD.EXE %1");
  setClass(L".exe", L"exefile");
  setClass(L"exefile\\shell\\open\\command", L"\"%1\" %*");
  for (const wchar_t *file : {L"C:\\docs\\readme.txt", L"C:\\bin\\direvo.exe", L"C:\\bin\\other.exe"})
    machine.Write(file, "x");

  const struct {
    const wchar_t *verb, *file, *parameters, *directory;
    INT_PTR result;  // 42 for success
    DWORD error;
    const wchar_t *recorded;  // the opening recorded, or null
  } cases[] = {
      {L"open", L"C:\\docs\\readme.txt", nullptr, nullptr, 42, 0,
       L"open|C:\\docs\\readme.txt|C:\\Windows\\system32\\NOTEPAD.EXE C:\\docs\\readme.txt"},
      {nullptr, L"readme.txt", nullptr, L"C:\\docs", 42, 0,
       L"open|C:\\docs\\readme.txt|C:\\Windows\\system32\\NOTEPAD.EXE C:\\docs\\readme.txt"},
      {L"open", L"C:\\bin\\direvo.exe", L"/install", L"C:\\bin", 42, 0,
       L"open|C:\\bin\\direvo.exe|\"C:\\bin\\direvo.exe\" /install"},
      // A program no [[programs]] entry describes cannot be run.
      {L"open", L"C:\\bin\\other.exe", nullptr, nullptr, SE_ERR_ACCESSDENIED, ERROR_CALL_NOT_IMPLEMENTED, nullptr},
      {L"print", L"C:\\docs\\readme.txt", nullptr, nullptr, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION, nullptr},
      {L"open", L"C:\\docs\\gone.txt", nullptr, nullptr, SE_ERR_FNF, ERROR_FILE_NOT_FOUND, nullptr},
      {L"open", L"C:\\nowhere\\gone.txt", nullptr, nullptr, SE_ERR_PNF, ERROR_PATH_NOT_FOUND, nullptr},
  };
  DWORD recorded = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.verb ? c.verb : L"(null)") << " " << c.file);
    SetLastError(kSentinel);
    INT_PTR result =
        reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, c.verb, c.file, c.parameters, c.directory, SW_HIDE));
    EXPECT_EQ(result > 32 ? 42 : result, c.result);
    if (c.result <= 32) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    if (!c.recorded) continue;
    wchar_t text[512] = L"";
    DWORD size = sizeof text;
    std::wstring name = std::to_wstring(recorded++);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\winsim\\ShellExecute", name.c_str(), RRF_RT_REG_SZ, nullptr,
                           text, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, c.recorded);
  }
  wchar_t extra[8];
  DWORD size = sizeof extra;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\winsim\\ShellExecute", std::to_wstring(recorded).c_str(),
                         RRF_RT_REG_SZ, nullptr, extra, &size),
            ERROR_FILE_NOT_FOUND)
      << "failed openings are not recorded";
}
