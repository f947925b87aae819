// The shell on the simulated machine: special folders by Windows version, item lists and the
// shell's allocator, and the shell link object saved to and loaded from its file.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "testmachine.h"

namespace {

std::string Os(int major) { return "[os]\nmajor = " + std::to_string(major) + "\n"; }

// The folder SHGetSpecialFolderLocation and SHGetPathFromIDListW give, or the HRESULT text.
std::wstring FolderPath(int csidl, HRESULT *hr) {
  LPITEMIDLIST pidl = reinterpret_cast<LPITEMIDLIST>(0x1);
  *hr = SHGetSpecialFolderLocation(nullptr, csidl, &pidl);
  if (FAILED(*hr)) {
    EXPECT_EQ(pidl, nullptr);
    return L"";
  }
  WCHAR path[MAX_PATH] = L"x";
  EXPECT_TRUE(SHGetPathFromIDListW(pidl, path));
  IMalloc *shellMalloc = nullptr;
  EXPECT_EQ(SHGetMalloc(&shellMalloc), S_OK);
  shellMalloc->Free(pidl);
  shellMalloc->Release();
  return path;
}

TEST(Shell, SpecialFoldersFollowTheWindowsVersionAndMustExist) {
  struct Case {
    int major;
    int csidl;
    const wchar_t *folder;  // made first when not null
    HRESULT hr;
  } cases[] = {
      {4, CSIDL_COMMON_PROGRAMS, L"C:\\Windows\\Profiles\\All Users\\Start Menu\\Programs", S_OK},
      {5, CSIDL_COMMON_PROGRAMS, L"C:\\ProgramData\\Start Menu\\Programs", S_OK},
      {10, CSIDL_COMMON_PROGRAMS, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs", S_OK},
      {10, CSIDL_PROGRAMS, L"C:\\Users\\Administrator\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
       S_OK},
      {10, CSIDL_SYSTEM, L"C:\\Windows\\System32", S_OK},
      {10, CSIDL_COMMON_PROGRAMS | CSIDL_FLAG_CREATE, L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs",
       S_OK},
      {4, CSIDL_COMMON_PROGRAMS, nullptr, E_FAIL},  // the folder is missing
      {10, 0x3c, nullptr, E_INVALIDARG},            // a number Windows does not have
      {10, -1, nullptr, E_INVALIDARG},
      {10, CSIDL_DESKTOP, nullptr, E_NOTIMPL},  // a virtual folder
  };
  for (const Case &c : cases) {
    TestMachine m(Os(c.major));
    SCOPED_TRACE(std::to_string(c.major) + " " + std::to_string(c.csidl));
    if (c.folder) m.Write(std::wstring(c.folder) + L"\\keep.txt", "");
    HRESULT hr;
    std::wstring path = FolderPath(c.csidl, &hr);
    EXPECT_EQ(hr, c.hr);
    if (c.folder) {
      EXPECT_EQ(path, c.folder);
    }
  }
  TestMachine m;
  EXPECT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_SYSTEM, nullptr), E_INVALIDARG);
  EXPECT_EQ(SHGetMalloc(nullptr), E_INVALIDARG);
  WCHAR path[MAX_PATH] = L"x";
  EXPECT_FALSE(SHGetPathFromIDListW(nullptr, path));
  EXPECT_EQ(path[0], L'\0');
}

TEST(Shell, FreeingAnItemListTwiceStopsTheRun) {
  TestMachine m;
  m.Write(L"C:\\Windows\\keep.txt", "");
  LPITEMIDLIST pidl = nullptr;
  ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_WINDOWS, &pidl), S_OK);
  IMalloc *shellMalloc = nullptr;
  ASSERT_EQ(SHGetMalloc(&shellMalloc), S_OK);
  shellMalloc->Free(pidl);
  EXPECT_DEATH(shellMalloc->Free(pidl), "IMalloc::Free: .* was already freed");
  WCHAR path[MAX_PATH];
  EXPECT_DEATH(SHGetPathFromIDListW(pidl, path), "SHGetPathFromIDListW: item list .* was freed");
}

// A link made through IShellLinkW, saved, and read back by another link object.
TEST(Shell, LinkSavedAndLoadedKeepsItsProperties) {
  TestMachine m;
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  IShellLinkW *link = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void **>(&link)),
            S_OK);
  IPersistFile *file = nullptr;
  ASSERT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
  EXPECT_EQ(file->IsDirty(), S_FALSE);
  EXPECT_EQ(link->SetPath(L"C:\\Tool\\tool.exe"), S_OK);
  EXPECT_EQ(link->SetArguments(L"/a \"b c\""), S_OK);
  EXPECT_EQ(link->SetWorkingDirectory(L"C:\\Tool"), S_OK);
  EXPECT_EQ(link->SetDescription(L"Tool \u00e9"), S_OK);
  EXPECT_EQ(link->SetIconLocation(L"C:\\Tool\\tool.exe", 2), S_OK);
  EXPECT_EQ(file->IsDirty(), S_OK);
  EXPECT_EQ(file->Save(L"C:\\Links\\tool.lnk", TRUE), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
  ASSERT_TRUE(CreateDirectoryW(L"C:\\Links", nullptr));
  EXPECT_EQ(file->Save(L"C:\\Links\\tool.lnk", TRUE), S_OK);
  EXPECT_EQ(file->IsDirty(), S_FALSE);
  EXPECT_EQ(m.Read(L"C:\\Links\\tool.lnk"),
            "[winsim shell link]\r\nTarget=C:\\Tool\\tool.exe\r\nArguments=/a \"b c\"\r\nWorkingDirectory=C:\\Tool\r\n"
            "Description=Tool \xc3\xa9\r\nIconLocation=C:\\Tool\\tool.exe,2\r\nShowCmd=1\r\n");

  IPersistFile *other = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile,
                             reinterpret_cast<void **>(&other)),
            S_OK);
  EXPECT_EQ(other->Load(L"C:\\Links\\missing.lnk", STGM_READ), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  m.Write(L"C:\\Links\\plain.txt", "not a link");
  EXPECT_EQ(other->Load(L"C:\\Links\\plain.txt", STGM_READ), E_FAIL);
  ASSERT_EQ(other->Load(L"C:\\Links\\tool.lnk", STGM_READ), S_OK);
  IShellLinkW *read = nullptr;
  ASSERT_EQ(other->QueryInterface(IID_IShellLinkW, reinterpret_cast<void **>(&read)), S_OK);
  WCHAR text[MAX_PATH];
  int icon = -1;
  EXPECT_EQ(read->GetPath(text, MAX_PATH, nullptr, 0), S_OK);
  EXPECT_STREQ(text, L"C:\\Tool\\tool.exe");
  EXPECT_EQ(read->GetArguments(text, 4), S_OK);
  EXPECT_STREQ(text, L"/a ") << "cut to the buffer";
  EXPECT_EQ(read->GetDescription(text, MAX_PATH), S_OK);
  EXPECT_STREQ(text, L"Tool \u00e9");
  EXPECT_EQ(read->GetIconLocation(text, MAX_PATH, &icon), S_OK);
  EXPECT_EQ(icon, 2);
  read->Release();
  other->Release();
  file->Release();
  link->Release();
  CoUninitialize();
}

TEST(Shell, LinkCallsRefuseBadArgumentsAndHonourFaults) {
  TestMachine m(
      "[[faults]]\nfunction = \"IPersistFile::Save\"\nnth = 1\nwhen_arg_contains = \"a.lnk\"\nerror = 0x80070070\n");
  IShellLinkW *link = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void **>(&link)),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void **>(&link)),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void **>(&link)),
            S_OK);
  const std::wstring tooLong(MAX_PATH, L'x');
  WCHAR text[8];
  int icon;
  struct Case {
    const char *call;
    HRESULT got;
    HRESULT hr;
  } cases[] = {
      {"SetPath(NULL)", link->SetPath(nullptr), E_INVALIDARG},
      {"SetPath(too long)", link->SetPath(tooLong.c_str()), E_INVALIDARG},
      {"SetArguments(NULL)", link->SetArguments(nullptr), E_INVALIDARG},
      {"SetDescription(NULL)", link->SetDescription(nullptr), E_INVALIDARG},
      {"SetWorkingDirectory(NULL)", link->SetWorkingDirectory(nullptr), E_INVALIDARG},
      {"GetPath(empty)", link->GetPath(text, 8, nullptr, 0), S_FALSE},
      {"GetPath(cch 0)", link->GetPath(text, 0, nullptr, 0), E_INVALIDARG},
      {"GetIconLocation(NULL index)", link->GetIconLocation(text, 8, nullptr), E_INVALIDARG},
      {"GetIconLocation", link->GetIconLocation(text, 8, &icon), S_OK},
  };
  for (const Case &c : cases) EXPECT_EQ(c.got, c.hr) << c.call;
  IPersistFile *file = nullptr;
  ASSERT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)), S_OK);
  EXPECT_EQ(file->Save(nullptr, TRUE), E_INVALIDARG) << "no file to save to";
  EXPECT_EQ(file->Save(L"C:\\a.lnk", TRUE), HRESULT(0x80070070)) << "the injected fault";
  EXPECT_FALSE(m.Exists(L"C:\\a.lnk"));
  EXPECT_EQ(file->Save(L"C:\\a.lnk", TRUE), S_OK);
  EXPECT_TRUE(m.Exists(L"C:\\a.lnk"));
  file->Release();
  link->Release();
  CoUninitialize();
}

}  // namespace
