// The Win32 file functions of winsim over a machine's drive folders: dispositions and
// their last errors, names without regard to case, sharing, attributes, times, free space,
// wildcard searches, temporary names, full paths and injected faults.
#include <windows.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "testmachine.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

struct Opened {
  HANDLE handle;
  DWORD error;
  bool ok() const { return handle != INVALID_HANDLE_VALUE; }
};

Opened Open(const std::wstring &path, DWORD access, DWORD share, DWORD disposition,
            DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  SetLastError(kSentinel);
  HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, attributes, nullptr);
  return {h, GetLastError()};
}

// Writes a whole file through winsim (so its times come from the machine's clock).
void WriteThrough(const std::wstring &path, const std::string &data) {
  Opened f = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(f.ok()) << "error " << f.error;
  DWORD written = kSentinel;
  ASSERT_TRUE(WriteFile(f.handle, data.data(), DWORD(data.size()), &written, nullptr));
  EXPECT_EQ(written, data.size());
  CloseHandle(f.handle);
}

std::string ReadThrough(HANDLE h, DWORD max = 256) {
  std::string data(max, '\0');
  DWORD read = kSentinel;
  EXPECT_TRUE(ReadFile(h, data.data(), max, &read, nullptr));
  data.resize(read == kSentinel ? 0 : read);
  return data;
}

// Every name a search returns, in the order FindNextFileW gives them.
std::vector<std::wstring> Search(const std::wstring &pattern, DWORD *error) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  SetLastError(kSentinel);
  HANDLE h = FindFirstFileW(pattern.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return names;
  }
  do names.push_back(data.cFileName);
  while (FindNextFileW(h, &data));
  *error = GetLastError();
  EXPECT_TRUE(FindClose(h));
  return names;
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> v) {
  std::sort(v.begin(), v.end());
  return v;
}

FILETIME Filetime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
  SYSTEMTIME st{y, mo, 0, d, h, mi, s, 0};
  FILETIME ft{kSentinel, kSentinel};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return ft;
}

std::wstring Upper(std::wstring text) {
  for (auto &c : text) c = wchar_t(std::towupper(wint_t(c)));
  return text;
}

uint64_t Quad(const FILETIME &ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

uint64_t FreeBytes(const wchar_t *dir = L"C:\\") {
  ULARGE_INTEGER avail{}, total{}, free{};
  avail.QuadPart = total.QuadPart = free.QuadPart = kSentinel;
  EXPECT_TRUE(GetDiskFreeSpaceExW(dir, &avail, &total, &free));
  EXPECT_EQ(avail.QuadPart, free.QuadPart);
  EXPECT_GE(total.QuadPart, free.QuadPart);
  return avail.QuadPart;
}

}  // namespace

// ---- CreateFileW ----------------------------------------------------------------------

TEST(Files, CreateFileDispositionsAndTheirLastErrors) {
  const DWORD kAny = 0xFFFFFFFF;  // success whose last error the documentation leaves open
  // clang-format off
  struct Case {
    const wchar_t *path;
    DWORD disposition;
    bool ok;
    DWORD error;
    const char *contentAfter;  // the file afterwards; null: absent
  } cases[] = {
      {L"C:\\data\\existing.txt", CREATE_NEW,        false, ERROR_FILE_EXISTS,    "hello"},
      {L"C:\\data\\existing.txt", CREATE_ALWAYS,     true,  ERROR_ALREADY_EXISTS, ""},
      {L"C:\\data\\existing.txt", OPEN_ALWAYS,       true,  ERROR_ALREADY_EXISTS, "hello"},
      {L"C:\\data\\existing.txt", OPEN_EXISTING,     true,  kAny,                 "hello"},
      {L"C:\\data\\existing.txt", TRUNCATE_EXISTING, true,  kAny,                 ""},
      {L"C:\\data\\new.txt",      CREATE_NEW,        true,  ERROR_SUCCESS,        ""},
      {L"C:\\data\\new.txt",      CREATE_ALWAYS,     true,  ERROR_SUCCESS,        ""},
      {L"C:\\data\\new.txt",      OPEN_ALWAYS,       true,  ERROR_SUCCESS,        ""},
      {L"C:\\data\\new.txt",      OPEN_EXISTING,     false, ERROR_FILE_NOT_FOUND, nullptr},
      {L"C:\\data\\new.txt",      TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
      {L"C:\\nowhere\\new.txt",   CREATE_NEW,        false, ERROR_PATH_NOT_FOUND, nullptr},
      {L"C:\\nowhere\\new.txt",   CREATE_ALWAYS,     false, ERROR_PATH_NOT_FOUND, nullptr},
      {L"C:\\nowhere\\new.txt",   OPEN_ALWAYS,       false, ERROR_PATH_NOT_FOUND, nullptr},
      {L"C:\\nowhere\\new.txt",   OPEN_EXISTING,     false, ERROR_PATH_NOT_FOUND, nullptr},
      {L"C:\\data",               OPEN_EXISTING,     false, ERROR_ACCESS_DENIED,  nullptr},
      {L"C:\\data",               OPEN_ALWAYS,       false, ERROR_ACCESS_DENIED,  nullptr},
      {L"C:\\data",               CREATE_ALWAYS,     false, ERROR_ACCESS_DENIED,  nullptr},
      {L"Q:\\new.txt",            CREATE_ALWAYS,     false, ERROR_PATH_NOT_FOUND, nullptr},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.path) + " disposition " + std::to_string(c.disposition));
    TestMachine machine;
    machine.Write(L"C:\\data\\existing.txt", "hello");
    Opened f = Open(c.path, GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
    EXPECT_EQ(f.ok(), c.ok);
    if (c.error != kAny) {
      EXPECT_EQ(f.error, c.error);
    }
    if (f.ok()) {
      EXPECT_EQ(ReadThrough(f.handle), c.contentAfter);
      EXPECT_TRUE(CloseHandle(f.handle));
    } else if (c.contentAfter) {
      EXPECT_EQ(machine.Read(c.path), c.contentAfter);
    } else if (std::wstring(c.path) != L"C:\\data") {
      EXPECT_FALSE(machine.Exists(c.path));
    }
  }
}

TEST(Files, NamesAreFoundWithoutRegardToCaseAndNewNamesKeepTheirCase) {
  TestMachine machine;
  fs::create_directories(machine.Dir() / "drive_c" / "Windows" / "System32");
  std::ofstream(machine.Dir() / "drive_c" / "Windows" / "System32" / "kvn.ini") << "[kvn]";

  Opened f = Open(L"C:\\WINDOWS\\system32\\KVN.INI", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(f.ok()) << f.error;
  EXPECT_EQ(ReadThrough(f.handle), "[kvn]");
  CloseHandle(f.handle);

  f = Open(L"c:\\windows\\SYSTEM32\\NewFile.Txt", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(f.ok()) << f.error;
  CloseHandle(f.handle);
  ASSERT_TRUE(CreateDirectoryW(L"C:\\windows\\system32\\MixedDir", nullptr));

  // The new names went into the existing folders, spelt as given.
  const fs::path sys = machine.Dir() / "drive_c" / "Windows" / "System32";
  EXPECT_TRUE(fs::is_regular_file(sys / "NewFile.Txt"));
  EXPECT_TRUE(fs::is_directory(sys / "MixedDir"));
  EXPECT_FALSE(fs::exists(machine.Dir() / "drive_c" / "windows"));
  DWORD error = kSentinel;
  EXPECT_EQ(Sorted(Search(L"C:\\WINDOWS\\SYSTEM32\\*", &error)),
            Sorted({L".", L"..", L"kvn.ini", L"MixedDir", L"NewFile.Txt"}));

  // Letters beyond ASCII compare without regard to case too.
  fs::create_directories(machine.Dir() / "drive_c" / "Donn\u00e9es");
  f = Open(L"C:\\DONN\u00c9ES\\r\u00e9sum\u00e9.txt", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(f.ok()) << f.error;
  CloseHandle(f.handle);
  EXPECT_TRUE(fs::is_regular_file(machine.Dir() / "drive_c" / "Donn\u00e9es" / "r\u00e9sum\u00e9.txt"));

  // Opening by another spelling finds the same file rather than making a second one.
  f = Open(L"C:\\Windows\\System32\\NEWFILE.TXT", GENERIC_WRITE, 0, CREATE_NEW);
  EXPECT_FALSE(f.ok());
  EXPECT_EQ(f.error, ERROR_FILE_EXISTS);
}

TEST(Files, SharingModesOfOpenHandlesDecideASecondOpen) {
  const DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
  const DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;
  // clang-format off
  struct Case {
    DWORD access1, share1, access2, share2;
    bool secondOpens;
  } cases[] = {
      {R,  SR,      R,  SR,      true},
      {R,  SR,      W,  SR | SW, false},  // the first does not share writing
      {W,  SR | SW, R,  SR,      false},  // the second does not share the first's writing
      {RW, SR | SW, RW, SR | SW, true},
      {R,  0,       R,  SR,      false},
      {R,  SR,      R,  0,       false},  // the second would deny the first's reading
      {R,  SR | SD, DELETE, SR,  true},
      {R,  SR,      DELETE, SR,  false},
      {FILE_READ_ATTRIBUTES, 0, RW, 0, true},  // attribute-only opens take no part
      {RW, 0, FILE_READ_ATTRIBUTES, 0, true},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.access1 << "/" << c.share1 << " then " << c.access2 << "/"
                                    << c.share2);
    TestMachine machine;
    machine.Write(L"C:\\shared.bin", "data");
    Opened first = Open(L"C:\\shared.bin", c.access1, c.share1, OPEN_EXISTING);
    ASSERT_TRUE(first.ok()) << first.error;
    Opened second = Open(L"C:\\shared.bin", c.access2, c.share2, OPEN_EXISTING);
    EXPECT_EQ(second.ok(), c.secondOpens);
    if (!c.secondOpens) {
      EXPECT_EQ(second.error, ERROR_SHARING_VIOLATION);
      // Once the first handle is closed nothing stands in the way.
      EXPECT_TRUE(CloseHandle(first.handle));
      Opened third = Open(L"C:\\shared.bin", c.access2, c.share2, OPEN_EXISTING);
      EXPECT_TRUE(third.ok()) << third.error;
    }
  }
}

TEST(Files, ReadOnlyAttributeBlocksWritingAndDeleting) {
  TestMachine machine;
  machine.Write(L"C:\\ro.txt", "keep");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\ro.txt", FILE_ATTRIBUTE_READONLY));

  // clang-format off
  struct Case {
    DWORD access;
    DWORD disposition;
    bool ok;
  } cases[] = {
      {GENERIC_READ,  OPEN_EXISTING,     true},
      {GENERIC_WRITE, OPEN_EXISTING,     false},
      {GENERIC_WRITE, OPEN_ALWAYS,       false},
      {GENERIC_WRITE, CREATE_ALWAYS,     false},
      {GENERIC_WRITE, TRUNCATE_EXISTING, false},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.access << " disposition " << c.disposition);
    Opened f = Open(L"C:\\ro.txt", c.access, FILE_SHARE_READ, c.disposition);
    EXPECT_EQ(f.ok(), c.ok);
    if (f.ok())
      CloseHandle(f.handle);
    else
      EXPECT_EQ(f.error, ERROR_ACCESS_DENIED);
  }
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(L"C:\\ro.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.Read(L"C:\\ro.txt"), "keep");

  ASSERT_TRUE(SetFileAttributesW(L"C:\\ro.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileW(L"C:\\ro.txt"));
  EXPECT_FALSE(machine.Exists(L"C:\\ro.txt"));
}

TEST(Files, ReplacingAHiddenOrSystemFileNeedsThoseAttributes) {
  // clang-format off
  struct Case {
    DWORD existing, requested;
    bool ok;
  } cases[] = {
      {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_NORMAL, false},
      {FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_NORMAL, false},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN, false},
      {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN, true},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, true},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.existing << " replaced asking " << c.requested);
    TestMachine machine;
    machine.Write(L"C:\\h.dat", "old");
    ASSERT_TRUE(SetFileAttributesW(L"C:\\h.dat", c.existing));
    Opened f = Open(L"C:\\h.dat", GENERIC_WRITE, 0, CREATE_ALWAYS, c.requested);
    EXPECT_EQ(f.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(f.error, ERROR_ACCESS_DENIED);
      continue;
    }
    EXPECT_EQ(f.error, ERROR_ALREADY_EXISTS);
    CloseHandle(f.handle);
    EXPECT_EQ(machine.Read(L"C:\\h.dat"), "");
    EXPECT_EQ(GetFileAttributesW(L"C:\\h.dat"), c.requested | FILE_ATTRIBUTE_ARCHIVE);
  }
}

// ---- ReadFile, WriteFile, SetFilePointer, GetFileTime -----------------------------------

TEST(Files, ReadWriteAndFilePointer) {
  TestMachine machine;
  Opened f = Open(L"C:\\rw.txt", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(f.ok());
  DWORD n = kSentinel;
  ASSERT_TRUE(WriteFile(f.handle, "hello", 5, &n, nullptr));
  EXPECT_EQ(n, 5u);

  SetLastError(kSentinel);
  EXPECT_EQ(SetFilePointer(f.handle, 0, nullptr, FILE_BEGIN), 0u);
  EXPECT_EQ(ReadThrough(f.handle, 64), "hello");
  EXPECT_EQ(ReadThrough(f.handle, 64), "");  // at the end: success with nothing read

  // FILE_END appends.
  EXPECT_EQ(SetFilePointer(f.handle, 0, nullptr, FILE_END), 5u);
  ASSERT_TRUE(WriteFile(f.handle, " world", 6, &n, nullptr));
  EXPECT_EQ(SetFilePointer(f.handle, -5, nullptr, FILE_END), 6u);
  EXPECT_EQ(ReadThrough(f.handle, 3), "wor");

  // A seek before the start fails and leaves the pointer where it was.
  SetLastError(kSentinel);
  EXPECT_EQ(SetFilePointer(f.handle, -100, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  SetLastError(kSentinel);
  EXPECT_EQ(SetFilePointer(f.handle, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(f.handle, 0, nullptr, FILE_CURRENT), 9u);

  // The high part: 4 GiB + 16, beyond the end, which does not grow the file.
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(f.handle, 16, &high, FILE_BEGIN), 16u);
  EXPECT_EQ(high, 1);
  high = 0;
  EXPECT_EQ(SetFilePointer(f.handle, 0, &high, FILE_CURRENT), 16u);
  EXPECT_EQ(high, 1);
  high = -1;  // -1 as 64 bits: one byte back
  EXPECT_EQ(SetFilePointer(f.handle, -1, &high, FILE_CURRENT), 15u);
  EXPECT_EQ(high, 1);
  DWORD sizeHigh = kSentinel;
  EXPECT_EQ(GetFileSize(f.handle, &sizeHigh), 11u);
  EXPECT_EQ(sizeHigh, 0u);
  EXPECT_TRUE(CloseHandle(f.handle));
  EXPECT_EQ(machine.Read(L"C:\\rw.txt"), "hello world");
}

TEST(Files, HandlesAllowOnlyTheAccessTheyWereOpenedFor) {
  TestMachine machine;
  machine.Write(L"C:\\a.txt", "abc");
  Opened reader = Open(L"C:\\a.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  Opened writer = Open(L"C:\\a.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_TRUE(reader.ok() && writer.ok());
  char buf[8];
  DWORD n = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(reader.handle, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  n = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(ReadFile(writer.handle, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);

  // A closed handle is no handle any more: using it stops the run.
  ASSERT_TRUE(CloseHandle(reader.handle));
  EXPECT_DEATH(ReadFile(reader.handle, buf, sizeof buf, &n, nullptr),
               "ReadFile: handle .* was used after it was closed");
  EXPECT_DEATH(CloseHandle(reader.handle), "CloseHandle: handle .* was used after it was closed");
  SetLastError(kSentinel);
  EXPECT_EQ(SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Files, WriteTimesComeFromTheMachineClockInUtc) {
  // 14:30 local, one hour east of UTC: 13:30 UTC.
  TestMachine machine("[machine]\nclock = \"2026-12-08T14:30:00\"\ntimezone_bias_minutes = -60\n");
  WriteThrough(L"C:\\t.log", "first");

  Opened f = Open(L"C:\\t.log", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_TRUE(f.ok());
  FILETIME created{kSentinel, kSentinel}, written{kSentinel, kSentinel};
  ASSERT_TRUE(GetFileTime(f.handle, &created, nullptr, &written));
  EXPECT_EQ(Quad(written), Quad(Filetime(2026, 12, 8, 13, 30, 0)));
  EXPECT_EQ(Quad(created), Quad(Filetime(2026, 12, 8, 13, 30, 0)));

  Sleep(90 * 1000);
  DWORD n;
  SetFilePointer(f.handle, 0, nullptr, FILE_END);
  ASSERT_TRUE(WriteFile(f.handle, "+", 1, &n, nullptr));
  ASSERT_TRUE(GetFileTime(f.handle, nullptr, nullptr, &written));
  EXPECT_EQ(Quad(written), Quad(Filetime(2026, 12, 8, 13, 31, 30)));
  CloseHandle(f.handle);

  // A search reports the same time.
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(L"C:\\t.log", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Quad(data.ftLastWriteTime), Quad(Filetime(2026, 12, 8, 13, 31, 30)));
  EXPECT_EQ(data.nFileSizeLow, 6u);
  FindClose(h);
}

// ---- attributes -------------------------------------------------------------------------

TEST(Files, SetAndGetFileAttributes) {
  // clang-format off
  struct Case {
    DWORD set, get;
  } cases[] = {
      {FILE_ATTRIBUTE_NORMAL,                           FILE_ATTRIBUTE_NORMAL},
      {0,                                               FILE_ATTRIBUTE_NORMAL},
      {FILE_ATTRIBUTE_READONLY,                         FILE_ATTRIBUTE_READONLY},
      {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE,  FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
      {FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "set " << c.set);
    TestMachine machine;
    machine.Write(L"C:\\f.txt", "x");
    SetLastError(kSentinel);
    ASSERT_TRUE(SetFileAttributesW(L"C:\\f.txt", c.set));
    EXPECT_EQ(GetFileAttributesW(L"C:\\F.TXT"), c.get);
  }
}

TEST(Files, NewFilesCarryTheArchiveBitAndDirectoriesTheDirectoryBit) {
  TestMachine machine;
  machine.Write(L"C:\\host.txt", "made outside winsim");
  WriteThrough(L"C:\\plain.txt", "x");
  Opened hidden = Open(L"C:\\hidden.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
  ASSERT_TRUE(hidden.ok());
  CloseHandle(hidden.handle);
  ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));

  // clang-format off
  struct Case {
    const wchar_t *path;
    DWORD attributes;
    DWORD error;
  } cases[] = {
      {L"C:\\host.txt",    FILE_ATTRIBUTE_ARCHIVE,                         0},
      {L"C:\\plain.txt",   FILE_ATTRIBUTE_ARCHIVE,                         0},
      {L"C:\\hidden.txt",  FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, 0},
      {L"C:\\dir",         FILE_ATTRIBUTE_DIRECTORY,                       0},
      {L"C:\\dir\\",       FILE_ATTRIBUTE_DIRECTORY,                       0},
      {L"C:\\missing.txt", INVALID_FILE_ATTRIBUTES,                        ERROR_FILE_NOT_FOUND},
      {L"C:\\nodir\\a",    INVALID_FILE_ATTRIBUTES,                        ERROR_PATH_NOT_FOUND},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.path));
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}

TEST(Files, AttributesSurviveReopeningTheMachine) {
  TestMachine machine;
  machine.Write(L"C:\\Drivers\\z.sys", "sys");
  ASSERT_TRUE(CreateDirectoryW(L"C:\\Locked", nullptr));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\drivers\\Z.SYS", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW(L"C:\\Locked", FILE_ATTRIBUTE_READONLY));
  machine.Reopen();
  EXPECT_EQ(GetFileAttributesW(L"C:\\Drivers\\z.sys"), DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesW(L"C:\\Locked"), DWORD(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(L"C:\\Drivers\\z.sys"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// ---- directories, deleting, moving, copying ---------------------------------------------

TEST(Files, CreateDirectory) {
  // clang-format off
  struct Case {
    const wchar_t *path;
    bool ok;
    DWORD error;
  } cases[] = {
      {L"C:\\Existing",         false, ERROR_ALREADY_EXISTS},
      {L"C:\\existing\\",       false, ERROR_ALREADY_EXISTS},
      {L"C:\\file.txt",         false, ERROR_ALREADY_EXISTS},
      {L"C:\\missing\\child",   false, ERROR_PATH_NOT_FOUND},
      {L"C:\\Existing\\Child",  true,  0},
      {L"C:\\New",              true,  0},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.path));
    TestMachine machine;
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Existing", nullptr));
    machine.Write(L"C:\\file.txt", "");
    SetLastError(kSentinel);
    EXPECT_EQ(CreateDirectoryW(c.path, nullptr) != FALSE, c.ok);
    if (c.ok)
      EXPECT_EQ(GetFileAttributesW(c.path), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    else
      EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST(Files, RemoveDirectory) {
  // clang-format off
  struct Case {
    const wchar_t *path;
    DWORD error;  // 0: removed
  } cases[] = {
      {L"C:\\full",          ERROR_DIR_NOT_EMPTY},
      {L"C:\\full\\a.txt",   ERROR_DIRECTORY},
      {L"C:\\missing",       ERROR_FILE_NOT_FOUND},
      {L"C:\\missing\\x",    ERROR_PATH_NOT_FOUND},
      {L"C:\\EMPTY",         0},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.path));
    TestMachine machine;
    machine.Write(L"C:\\full\\a.txt", "x");
    ASSERT_TRUE(CreateDirectoryW(L"C:\\empty", nullptr));
    SetLastError(kSentinel);
    EXPECT_EQ(RemoveDirectoryW(c.path) != FALSE, c.error == 0);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    } else {
      EXPECT_EQ(GetFileAttributesW(c.path), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_TRUE(machine.Exists(L"C:\\full\\a.txt"));
  }
}

TEST(Files, DeleteFile) {
  TestMachine machine(R"(
[[locked_files]]
path = 'C:\Windows\System32\drivers\z40e64.sys'
error = 32

[[locked_files]]
path = 'c:\windows\system32\DRIVERS\inuse.sys'
error = 1224
)");
  machine.Write(L"C:\\Windows\\System32\\drivers\\z40e64.sys", "driver");
  machine.Write(L"C:\\Windows\\System32\\drivers\\inuse.sys", "driver");
  machine.Write(L"C:\\plain.txt", "x");
  machine.Write(L"C:\\dir\\inside.txt", "x");
  // clang-format off
  struct Case {
    const wchar_t *path;
    DWORD error;  // 0: deleted
  } cases[] = {
      {L"C:\\missing.txt",                              ERROR_FILE_NOT_FOUND},
      {L"C:\\nodir\\missing.txt",                       ERROR_PATH_NOT_FOUND},
      {L"C:\\dir",                                      ERROR_ACCESS_DENIED},
      {L"C:\\Windows\\System32\\drivers\\z40e64.sys",   ERROR_SHARING_VIOLATION},
      {L"C:\\WINDOWS\\system32\\drivers\\inuse.sys",    ERROR_USER_MAPPED_FILE},
      {L"C:\\PLAIN.TXT",                                0},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.path));
    SetLastError(kSentinel);
    BOOL ok = DeleteFileW(c.path);
    EXPECT_EQ(ok != FALSE, c.error == 0);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  EXPECT_FALSE(machine.Exists(L"C:\\plain.txt"));
  EXPECT_TRUE(machine.Exists(L"C:\\dir\\inside.txt"));
  EXPECT_EQ(machine.Read(L"C:\\Windows\\System32\\drivers\\z40e64.sys"), "driver");

  // A locked file can still be read, but not opened for writing.
  Opened reader = Open(L"C:\\Windows\\System32\\drivers\\z40e64.sys", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_TRUE(reader.ok()) << reader.error;
  Opened writer = Open(L"C:\\Windows\\System32\\drivers\\z40e64.sys", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(writer.ok());
  EXPECT_EQ(writer.error, ERROR_SHARING_VIOLATION);
}

TEST(Files, DeleteFileOfAnOpenFileNeedsShareDelete) {
  TestMachine machine;
  machine.Write(L"C:\\open.txt", "x");
  Opened noDelete = Open(L"C:\\open.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_TRUE(noDelete.ok());
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(L"C:\\open.txt"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(noDelete.handle);

  Opened shared = Open(L"C:\\open.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
  ASSERT_TRUE(shared.ok());
  EXPECT_TRUE(DeleteFileW(L"C:\\open.txt"));
  CloseHandle(shared.handle);
  EXPECT_FALSE(machine.Exists(L"C:\\open.txt"));
}

TEST(Files, MoveFile) {
  using Names = std::vector<std::wstring>;
  // clang-format off
  struct Case {
    const wchar_t *from, *to;
    DWORD error;  // 0: moved
    Names rootAfter;
  } cases[] = {
      {L"C:\\a.txt",       L"C:\\b.txt",          ERROR_ALREADY_EXISTS, {L"a.txt", L"b.txt", L"sub"}},
      {L"C:\\missing.txt", L"C:\\c.txt",          ERROR_FILE_NOT_FOUND, {L"a.txt", L"b.txt", L"sub"}},
      {L"C:\\a.txt",       L"C:\\nodir\\a.txt",   ERROR_PATH_NOT_FOUND, {L"a.txt", L"b.txt", L"sub"}},
      {L"C:\\a.txt",       L"C:\\renamed.txt",    0,                    {L"b.txt", L"renamed.txt", L"sub"}},
      {L"C:\\a.txt",       L"C:\\A.TXT",          0,                    {L"A.TXT", L"b.txt", L"sub"}},
      {L"C:\\A.txt",       L"C:\\sub\\Moved.txt", 0,                    {L"b.txt", L"sub"}},
      {L"C:\\sub",         L"C:\\Sub2",           0,                    {L"Sub2", L"a.txt", L"b.txt"}},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.from) + " -> " + winsim::ToUtf8(c.to));
    TestMachine machine;
    machine.Write(L"C:\\a.txt", "A");
    machine.Write(L"C:\\b.txt", "B");
    ASSERT_TRUE(CreateDirectoryW(L"C:\\sub", nullptr));
    ASSERT_TRUE(SetFileAttributesW(L"C:\\a.txt", FILE_ATTRIBUTE_READONLY));  // renaming is still allowed
    SetLastError(kSentinel);
    BOOL ok = MoveFileW(c.from, c.to);
    EXPECT_EQ(ok != FALSE, c.error == 0);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    DWORD error;
    EXPECT_EQ(Sorted(Search(L"C:\\*", &error)), Sorted(c.rootAfter));
    if (!c.error && std::wstring(c.from) != L"C:\\sub") {
      EXPECT_EQ(machine.Read(c.to), "A");
      EXPECT_EQ(GetFileAttributesW(c.to), DWORD(FILE_ATTRIBUTE_READONLY));  // the attributes moved along
    }
  }
}

TEST(Files, MoveFileOfALockedFileFails) {
  TestMachine machine("[[locked_files]]\npath = 'C:\\busy.dll'\nerror = 32\n");
  machine.Write(L"C:\\busy.dll", "x");
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileW(L"C:\\busy.dll", L"C:\\busy.old"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(machine.Exists(L"C:\\busy.dll"));
}

// A running program's image (rename = true) may be moved aside and stays locked under its new
// name; nothing replaces or deletes a locked file. Delayed operations only add to the list.
TEST(Files, MoveFileExOfLockedFilesFollowsTheirRenameFlag) {
  // clang-format off
  struct Case {
    const wchar_t *from, *to;
    DWORD flags, error;  // error 0: done
    const wchar_t *lockedAfter;  // the name a write now fails on
  } cases[] = {
      {L"C:\\run.exe",  L"C:\\run.old",  0,                                                       0,                       L"C:\\run.old"},
      {L"C:\\busy.sys", L"C:\\busy.old", 0,                                                       ERROR_SHARING_VIOLATION, L"C:\\busy.sys"},
      {L"C:\\run.exe",  L"D:\\run.exe",  MOVEFILE_COPY_ALLOWED,                                   ERROR_ACCESS_DENIED,     L"C:\\run.exe"},
      {L"C:\\new.exe",  L"C:\\run.exe",  MOVEFILE_REPLACE_EXISTING,                               ERROR_ACCESS_DENIED,     L"C:\\run.exe"},
      {L"C:\\new.exe",  L"C:\\busy.sys", MOVEFILE_REPLACE_EXISTING,                               ERROR_SHARING_VIOLATION, L"C:\\busy.sys"},
      {L"C:\\new.exe",  L"C:\\busy.sys", MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT, 0,                       L"C:\\busy.sys"},
      {L"C:\\new.exe",  L"D:\\new.exe",  0,                                                       ERROR_NOT_SAME_DEVICE,   L"C:\\run.exe"},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.from) + " -> " + winsim::ToUtf8(c.to));
    TestMachine machine(R"(
[[locked_files]]
path = 'C:\run.exe'
error = 5
rename = true
[[locked_files]]
path = 'C:\busy.sys'
error = 32
)");
    machine.Write(L"C:\\run.exe", "image");
    machine.Write(L"C:\\busy.sys", "driver");
    machine.Write(L"C:\\new.exe", "new");
    fs::create_directories(machine.Dir() / "drive_d");
    SetLastError(kSentinel);
    BOOL ok = MoveFileExW(c.from, c.to, c.flags);
    EXPECT_EQ(ok != FALSE, c.error == 0);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
    } else if (!(c.flags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
      EXPECT_FALSE(machine.Exists(c.from));
    }
    EXPECT_FALSE(DeleteFileW(c.lockedAfter));
    EXPECT_TRUE(machine.Exists(c.lockedAfter));
  }
}

// The session manager's list: the source, then the target ('!' when it may replace) or an
// empty string, appended to what the list held; refused when its key may not be written.
TEST(Files, MoveFileExDelayUntilRebootAppendsToPendingFileRenameOperations) {
  const wchar_t *kKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  {
    TestMachine machine;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    const wchar_t earlier[] = L"\\??\\C:\\old.tmp\0\0";
    ASSERT_EQ(RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE *>(earlier), sizeof earlier),
              0);
    RegCloseKey(key);
    EXPECT_TRUE(MoveFileExW(L"C:\\dir\\a.sys", L"C:\\dir\\b.sys", MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_TRUE(MoveFileExW(L"C:\\t.sys", L"C:\\dir\\b.sys", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(MoveFileExW(L"C:\\gone.sys", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    WCHAR data[256];
    DWORD type = 0, bytes = sizeof data;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"PendingFileRenameOperations", RRF_RT_ANY, &type, data, &bytes),
              0);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    const wchar_t want[] =
        L"\\??\\C:\\old.tmp\0\0\\??\\C:\\dir\\a.sys\0\\??\\C:\\dir\\b.sys\0\\??\\C:\\t.sys\0!\\??\\C:\\dir\\b.sys\0"
        L"\\??\\C:\\gone.sys\0\0";
    EXPECT_EQ(std::wstring(data, bytes / sizeof(WCHAR)), std::wstring(want, sizeof want / sizeof(WCHAR)));
  }

  TestMachine locked(R"(
[[key_security]]
path = 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'
allow = [ { who = "Administrators", access = "read" } ]
)");
  HKEY created = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ, nullptr, &created, nullptr), 0);
  RegCloseKey(created);
  locked.Reopen();  // the access list applies to the key as loaded
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(L"C:\\a.sys", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST(Files, CopyFile) {
  TestMachine machine(R"(
[[locked_files]]
path = 'C:\dst\locked.sys'
error = 32
)");
  machine.Write(L"C:\\dst\\locked.sys", "old");
  machine.Write(L"C:\\dst\\existing.sys", "old");
  machine.Write(L"C:\\dst\\readonly.sys", "old");
  ASSERT_TRUE(SetFileAttributesW(L"C:\\dst\\readonly.sys", FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateDirectoryW(L"C:\\src", nullptr));
  WriteThrough(L"C:\\src\\new.sys", "new content");  // written at 14:30:00
  Sleep(3600 * 1000);

  // clang-format off
  struct Case {
    const wchar_t *from, *to;
    BOOL failIfExists;
    DWORD error;  // 0: copied
  } cases[] = {
      {L"C:\\src\\new.sys",     L"C:\\dst\\existing.sys", TRUE,  ERROR_FILE_EXISTS},
      {L"C:\\src\\new.sys",     L"C:\\dst\\locked.sys",   FALSE, ERROR_SHARING_VIOLATION},
      {L"C:\\src\\new.sys",     L"C:\\dst\\readonly.sys", FALSE, ERROR_ACCESS_DENIED},
      {L"C:\\src\\missing.sys", L"C:\\dst\\x.sys",        FALSE, ERROR_FILE_NOT_FOUND},
      {L"C:\\src\\new.sys",     L"C:\\nodir\\x.sys",      FALSE, ERROR_PATH_NOT_FOUND},
      {L"C:\\src\\new.sys",     L"C:\\dst\\existing.sys", FALSE, 0},
      {L"C:\\SRC\\NEW.SYS",     L"C:\\dst\\fresh.sys",    TRUE,  0},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.from) + " -> " + winsim::ToUtf8(c.to));
    SetLastError(kSentinel);
    BOOL ok = CopyFileW(c.from, c.to, c.failIfExists);
    EXPECT_EQ(ok != FALSE, c.error == 0);
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error);
      continue;
    }
    EXPECT_EQ(machine.Read(c.to), "new content");
    // The copy keeps the source's last-write time, not the (later) time of copying.
    Opened f = Open(c.to, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_TRUE(f.ok());
    FILETIME written{kSentinel, kSentinel};
    EXPECT_TRUE(GetFileTime(f.handle, nullptr, nullptr, &written));
    EXPECT_EQ(Quad(written), Quad(Filetime(2026, 12, 8, 14, 30, 0)));
    CloseHandle(f.handle);
  }
  EXPECT_EQ(machine.Read(L"C:\\dst\\locked.sys"), "old");
  EXPECT_EQ(machine.Read(L"C:\\dst\\readonly.sys"), "old");
}

// ---- searching --------------------------------------------------------------------------

TEST(Files, FindFirstFileWildcardsFollowWindows) {
  TestMachine machine;
  for (const wchar_t *name : {L"VQ1.XML", L"vq.xml", L"vqa.xml.bak", L"vq.a.xml", L"vq12.xml", L"README", L"setup.exe"})
    machine.Write(std::wstring(L"C:\\") + name, "x");
  ASSERT_TRUE(CreateDirectoryW(L"C:\\Sub", nullptr));

  using Names = std::vector<std::wstring>;
  const Names vqXml = {L"VQ1.XML", L"vq.xml", L"vq.a.xml", L"vq12.xml"};
  const Names all = {L"VQ1.XML", L"vq.xml", L"vqa.xml.bak", L"vq.a.xml", L"vq12.xml", L"README", L"setup.exe", L"Sub"};
  // clang-format off
  struct Case {
    const wchar_t *pattern;
    Names names;  // empty: ERROR_FILE_NOT_FOUND
  } cases[] = {
      {L"vq*.xml",      vqXml},  // '*' before a dot stops at the last dot: not vqa.xml.bak
      {L"*.xml",        vqXml},
      {L"VQ*.XML",      vqXml},
      {L"*.*",          all},    // also names without a dot
      {L"*",            all},
      {L"*.",           {L"README", L"Sub"}},  // names without an extension
      {L"*.*.",         all},
      {L"vq?.xml",      {L"VQ1.XML", L"vq.xml"}},  // '?' may match nothing before the dot
      {L"vq??.xml",     {L"VQ1.XML", L"vq.xml", L"vq12.xml"}},
      {L"?q*",          {L"VQ1.XML", L"vq.xml", L"vqa.xml.bak", L"vq.a.xml", L"vq12.xml"}},
      {L"*.ex?",        {L"setup.exe"}},
      {L"readme.*",     {L"README"}},  // ".*" also matches no extension at all
      {L"SETUP.EXE",    {L"setup.exe"}},
      {L"vq.xml.",      {L"vq.xml"}},  // a trailing dot is dropped
      {L"*.bak",        {L"vqa.xml.bak"}},
      {L"nothing*.txt", {}},
      {L"vq.xm",        {}},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.pattern));
    DWORD error = kSentinel;
    Names found = Search(std::wstring(L"C:\\") + c.pattern, &error);
    EXPECT_EQ(Sorted(found), Sorted(c.names));
    EXPECT_EQ(error, c.names.empty() ? ERROR_FILE_NOT_FOUND : ERROR_NO_MORE_FILES);
  }
}

TEST(Files, FindFirstFileListsDotEntriesOutsideTheRootAndReportsEachEntry) {
  TestMachine machine;
  machine.Write(L"C:\\pkg\\a.txt", "12345");
  ASSERT_TRUE(CreateDirectoryW(L"C:\\pkg\\inner", nullptr));

  DWORD error = kSentinel;
  EXPECT_EQ(Sorted(Search(L"C:\\pkg\\*", &error)), Sorted({L".", L"..", L"a.txt", L"inner"}));
  EXPECT_EQ(Sorted(Search(L"C:\\pkg\\*.*", &error)), Sorted({L".", L"..", L"a.txt", L"inner"}));
  EXPECT_EQ(Sorted(Search(L"C:\\*", &error)), Sorted({L"pkg"}));  // the root has neither
  EXPECT_EQ(Search(L"C:/pkg/a.*", &error), std::vector<std::wstring>{L"a.txt"});
  EXPECT_EQ(Search(L"c:\\PKG\\inner\\..\\*.txt", &error), std::vector<std::wstring>{L"a.txt"});

  WIN32_FIND_DATAW data;
  std::memset(&data, 0xAB, sizeof data);
  HANDLE h = FindFirstFileW(L"C:\\pkg\\A.TXT", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::wstring(data.cFileName), L"a.txt");
  EXPECT_EQ(data.nFileSizeLow, 5u);
  EXPECT_EQ(data.nFileSizeHigh, 0u);
  EXPECT_EQ(data.dwFileAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
  SetLastError(kSentinel);
  EXPECT_FALSE(FindNextFileW(h, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(h));
  EXPECT_DEATH(FindClose(h), "FindClose: handle .* was used after it was closed");

  h = FindFirstFileW(L"C:\\pkg\\inn*", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY));
  FindClose(h);

  // clang-format off
  struct Case {
    const wchar_t *pattern;
    DWORD error;
  } failures[] = {
      {L"C:\\nodir\\*",  ERROR_PATH_NOT_FOUND},
      {L"C:\\pkg\\",     ERROR_FILE_NOT_FOUND},
      {L"C:\\pkg\\b.*",  ERROR_FILE_NOT_FOUND},
  };
  // clang-format on
  for (const Case &c : failures) {
    SCOPED_TRACE(winsim::ToUtf8(c.pattern));
    SetLastError(kSentinel);
    EXPECT_EQ(FindFirstFileW(c.pattern, &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

// ---- temporary names, full paths --------------------------------------------------------

TEST(Files, GetTempFileNameWithAGivenNumberMakesANameOnly) {
  TestMachine machine;
  ASSERT_TRUE(CreateDirectoryW(L"C:\\Temp", nullptr));
  // clang-format off
  struct Case {
    const wchar_t *path, *prefix;
    UINT unique;
    const wchar_t *name;
  } cases[] = {
      {L"C:\\Temp",   L"kvn",    0x1234,  L"C:\\Temp\\kvn1234.tmp"},
      {L"C:\\Temp\\", L"kvnXYZ", 0x1234,  L"C:\\Temp\\kvn1234.tmp"},  // three characters of the prefix
      {L"C:\\Temp",   L"k",      0x51234, L"C:\\Temp\\k1234.tmp"},    // the low 16 bits of the number
      {L"C:\\Temp",   L"",       0x7,     L"C:\\Temp\\7.tmp"},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name));
    wchar_t buffer[MAX_PATH];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    UINT n = GetTempFileNameW(c.path, c.prefix, c.unique, buffer);
    EXPECT_EQ(n, c.unique & 0xFFFF);
    EXPECT_EQ(std::wstring(buffer), c.name);
    EXPECT_FALSE(machine.Exists(c.name));
  }
  DWORD error = kSentinel;
  EXPECT_TRUE(Search(L"C:\\Temp\\*.tmp", &error).empty());

  // The directory may hold at most MAX_PATH - 14 characters.
  std::wstring tooLong = L"C:\\" + std::wstring(MAX_PATH - 16, L'd');
  wchar_t buffer[MAX_PATH + 16];
  SetLastError(kSentinel);
  EXPECT_EQ(GetTempFileNameW(tooLong.c_str(), L"kvn", 1, buffer), 0u);
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
}

TEST(Files, GetTempFileNameWithoutANumberCreatesAUniqueFile) {
  TestMachine machine;
  ASSERT_TRUE(CreateDirectoryW(L"C:\\Temp", nullptr));
  wchar_t first[MAX_PATH], second[MAX_PATH];
  UINT a = GetTempFileNameW(L"C:\\Temp", L"kvn", 0, first);
  UINT b = GetTempFileNameW(L"C:\\Temp", L"kvn", 0, second);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  for (auto [n, name] : {std::pair{a, first}, std::pair{b, second}}) {
    wchar_t expected[MAX_PATH];
    swprintf(expected, MAX_PATH, L"C:\\Temp\\kvn%X.tmp", n);
    // The case of the hex digits is not documented.
    EXPECT_EQ(Upper(name), Upper(expected));
    EXPECT_EQ(GetFileAttributesW(name), DWORD(FILE_ATTRIBUTE_ARCHIVE));  // created, empty
    EXPECT_EQ(machine.Read(name), "");
  }
}

TEST(Files, GetFullPathName) {
  TestMachine machine;
  machine.SetProcess(L"C:\\Work\\host.exe", L"host.exe", L"C:\\Work\\Sub");
  // clang-format off
  struct Case {
    const wchar_t *in;
    const wchar_t *full;
    const wchar_t *filePart;  // null: no file part
  } cases[] = {
      {L"file.txt",                 L"C:\\Work\\Sub\\file.txt", L"file.txt"},
      {L".",                        L"C:\\Work\\Sub",           L"Sub"},
      {L"..",                       L"C:\\Work",                L"Work"},
      {L"..\\..\\..\\..\\x.txt",    L"C:\\x.txt",               L"x.txt"},
      {L".\\a\\.\\b\\..\\c.txt",    L"C:\\Work\\Sub\\a\\c.txt", L"c.txt"},
      {L"\\rooted.txt",             L"C:\\rooted.txt",          L"rooted.txt"},
      {L"C:",                       L"C:\\Work\\Sub",           L"Sub"},
      {L"C:rel.txt",                L"C:\\Work\\Sub\\rel.txt",  L"rel.txt"},
      {L"D:rel.txt",                L"D:\\rel.txt",             L"rel.txt"},
      {L"C:/a/b//c.txt",            L"C:\\a\\b\\c.txt",         L"c.txt"},
      {L"C:\\a\\name...",           L"C:\\a\\name",             L"name"},
      {L"C:\\a\\name. .",           L"C:\\a\\name",             L"name"},
      {L"C:\\a\\b\\",               L"C:\\a\\b\\",              nullptr},
      {L"C:\\",                     L"C:\\",                    nullptr},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.in));
    const DWORD length = DWORD(std::wcslen(c.full));
    wchar_t buffer[MAX_PATH];
    LPWSTR filePart = reinterpret_cast<LPWSTR>(uintptr_t(kSentinel));
    EXPECT_EQ(GetFullPathNameW(c.in, MAX_PATH, buffer, &filePart), length);
    EXPECT_EQ(std::wstring(buffer), c.full);
    if (c.filePart) {
      ASSERT_TRUE(filePart >= buffer && filePart < buffer + length);
      EXPECT_EQ(std::wstring(filePart), c.filePart);
    } else {
      EXPECT_EQ(filePart, nullptr);
    }
    // Too small a buffer: the size needed, terminator included.
    EXPECT_EQ(GetFullPathNameW(c.in, 0, nullptr, nullptr), length + 1);
    EXPECT_EQ(GetFullPathNameW(c.in, length, buffer, nullptr), length + 1);
    EXPECT_EQ(GetFullPathNameW(c.in, length + 1, buffer, nullptr), length);
  }
}

// ---- free space -------------------------------------------------------------------------

TEST(Files, FreeDiskSpaceLimitsWritesAndComesBackOnDelete) {
  TestMachine machine("[machine]\nclock = \"2026-12-08T14:30:00\"\nfree_disk = { \"C:\" = 1000 }\n");
  EXPECT_EQ(FreeBytes(), 1000u);
  ASSERT_TRUE(CreateDirectoryW(L"C:\\big", nullptr));
  EXPECT_EQ(FreeBytes(L"C:\\big"), 1000u);

  const std::string block(600, 'x');
  WriteThrough(L"C:\\big\\one.bin", block);
  EXPECT_EQ(FreeBytes(), 400u);

  // 600 more bytes do not fit in the 400 left: nothing is written.
  Opened f = Open(L"C:\\big\\two.bin", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(f.ok());
  DWORD written = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(f.handle, block.data(), DWORD(block.size()), &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(GetFileSize(f.handle, nullptr), 0u);
  CloseHandle(f.handle);
  SetLastError(kSentinel);
  EXPECT_FALSE(CopyFileW(L"C:\\big\\one.bin", L"C:\\big\\copy.bin", TRUE));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(FreeBytes(), 400u);

  // Rewriting a file in place needs no more room than it had.
  f = Open(L"C:\\big\\one.bin", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(WriteFile(f.handle, block.data(), DWORD(block.size()), &written, nullptr));
  CloseHandle(f.handle);
  EXPECT_EQ(FreeBytes(), 400u);

  ASSERT_TRUE(DeleteFileW(L"C:\\big\\one.bin"));
  EXPECT_EQ(FreeBytes(), 1000u);
  WriteThrough(L"C:\\big\\two.bin", block);
  EXPECT_EQ(FreeBytes(), 400u);
}

// ---- faults, long and malformed names ---------------------------------------------------

TEST(Files, FaultsFailTheNthMatchingCreateFile) {
  TestMachine machine(R"(
[[faults]]
function = "CreateFileW"
nth = 2
when_arg_contains = "target"
error = 112

[[faults]]
function = "CreateFileW"
nth = 0
when_arg_contains = "never"
error = 5
)");
  machine.Write(L"C:\\target.txt", "t");
  machine.Write(L"C:\\other.txt", "o");
  machine.Write(L"C:\\never.txt", "n");
  // clang-format off
  struct Case {
    const wchar_t *path;
    DWORD error;  // 0: opens
  } calls[] = {
      {L"C:\\other.txt",  0},
      {L"C:\\TARGET.txt", 0},               // the first matching call
      {L"C:\\other.txt",  0},               // does not count
      {L"C:\\target.txt", ERROR_DISK_FULL}, // the second
      {L"C:\\target.txt", 0},
      {L"C:\\never.txt",  ERROR_ACCESS_DENIED},
      {L"C:\\never.txt",  ERROR_ACCESS_DENIED},
  };
  // clang-format on
  int i = 0;
  for (const Case &c : calls) {
    SCOPED_TRACE(testing::Message() << "call " << ++i << " " << winsim::ToUtf8(c.path));
    Opened f = Open(c.path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_EQ(f.ok(), c.error == 0);
    if (f.ok())
      CloseHandle(f.handle);
    else
      EXPECT_EQ(f.error, c.error);
  }
}

TEST(Files, OverLongAndMalformedNamesAreRefused) {
  TestMachine machine;
  const std::wstring longName = L"C:\\" + std::wstring(300, L'a') + L".txt";
  const std::wstring longPath = L"C:\\" + std::wstring(200, L'd') + L"\\" + std::wstring(100, L'f');
  // clang-format off
  struct Case {
    std::wstring path;
    DWORD error;
  } cases[] = {
      {longName,            ERROR_FILENAME_EXCED_RANGE},
      {longPath,            ERROR_FILENAME_EXCED_RANGE},
      {L"C:\\a<b.txt",      ERROR_INVALID_NAME},
      {L"C:\\a>b.txt",      ERROR_INVALID_NAME},
      {L"C:\\a|b.txt",      ERROR_INVALID_NAME},
      {L"C:\\a\"b.txt",     ERROR_INVALID_NAME},
      {L"C:\\a*b.txt",      ERROR_INVALID_NAME},
      {L"C:\\a?b.txt",      ERROR_INVALID_NAME},
      {L"C:\\a\x01" L"b.txt", ERROR_INVALID_NAME},
      {L"C:\\bad|dir\\a.txt", ERROR_INVALID_NAME},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.path.substr(0, 40)));
    Opened f = Open(c.path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_FALSE(f.ok());
    EXPECT_EQ(f.error, c.error);
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), c.error);
  }
  DWORD error;
  EXPECT_TRUE(Search(L"C:\\*", &error).empty());
}

// A file of the machine that shares its data with a file outside it (kvnhost links the
// package in) gets data of its own before the machine writes it, whichever call writes:
// the outside file never changes, reads before the write see the shared bytes.
TEST(Files, AFileLinkedFromOutsideTheMachineIsCopiedBeforeItIsWritten) {
  TestMachine machine;
  const fs::path outside = machine.Dir().parent_path() / (machine.Dir().filename().string() + "-outside.txt");
  struct Case {
    const char *name;
    std::function<bool(const wchar_t *)> write;
  } const cases[] = {
      {"CreateFileW for writing", [](const wchar_t *p) { return (WriteThrough(p, "mine"), true); }},
      {"CopyFileW over it", [](const wchar_t *p) { return CopyFileW(L"C:\\other.txt", p, FALSE) != FALSE; }},
      {"MoveFileExW over it, across drives",
       [](const wchar_t *p) {
         return MoveFileExW(L"D:\\other.txt", p, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
       }},
  };
  fs::create_directories(machine.Dir() / "drive_d");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    machine.Write(L"C:\\other.txt", "mine");
    std::ofstream(machine.Dir() / "drive_d" / "other.txt") << "mine";
    std::ofstream(outside) << "shared";
    fs::remove(machine.Host(L"C:\\linked.txt"));
    fs::create_hard_link(outside, machine.Host(L"C:\\linked.txt"));
    EXPECT_EQ(machine.Read(L"C:\\linked.txt"), "shared");
    ASSERT_TRUE(c.write(L"C:\\linked.txt"));
    EXPECT_EQ(machine.Read(L"C:\\linked.txt"), "mine");
    std::ifstream in(outside);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "shared");
  }
  fs::remove(outside);
}
