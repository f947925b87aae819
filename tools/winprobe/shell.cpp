#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlguid.h>
#include <shlobj.h>

#include <cstdint>
#include <cwctype>
#include <string>

#include "probe.h"

namespace winprobe {
// ---- ShellExecuteW's failures ------------------------------------------------------------
// A file that is missing, in a folder that is missing, and one whose extension has no
// association: the result (32 or less) and the last error.
void ProbeShellExecute(json &out) {
  MakeDirectory(L"C:\\probe\\shellexec");
  WriteText(L"C:\\probe\\shellexec\\data.zq9", "x");
  const struct {
    const char *key;
    const wchar_t *file, *directory;
  } cases[] = {
      {"shell.open[missing]", L"C:\\probe\\shellexec\\missing.txt", nullptr},
      {"shell.open[missing_folder]", L"C:\\probe\\nofolder\\missing.txt", nullptr},
      {"shell.open[relative_missing]", L"missing.txt", L"C:\\probe\\shellexec"},
      {"shell.open[no_association]", L"C:\\probe\\shellexec\\data.zq9", nullptr},
      {"shell.open[relative_no_association]", L"data.zq9", L"C:\\probe\\shellexec"},
  };
  for (const auto &c : cases) {
    SetLastError(kSentinel);
    INT_PTR result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", c.file, nullptr, c.directory, SW_HIDE));
    json r = {{"ret", result > 32 ? json("above 32") : json(int(result))}};
    if (result <= 32) r["error"] = unsigned(GetLastError());
    out[c.key] = r;
  }
}

namespace {
std::string Lower(std::wstring text) {
  for (auto &c : text) c = wchar_t(std::towlower(c));
  return Utf8(text);
}
}  // namespace

// Special folders through their item lists, and a shell link saved and read back.
void ProbeShell(json &out) {
  // These folders exist on Windows; a probe machine may lack them.
  CreateDirectoryW(L"C:\\Windows\\System32", nullptr);
  std::wstring programs = L"C:";
  for (const wchar_t *part : {L"\\ProgramData", L"\\Microsoft", L"\\Windows", L"\\Start Menu", L"\\Programs"}) {
    programs += part;
    CreateDirectoryW(programs.c_str(), nullptr);
  }
  IMalloc *shellMalloc = nullptr;
  out["shell.malloc"] = Hr(SHGetMalloc(&shellMalloc));
  const struct {
    const char *key;
    int csidl;
  } folders[] = {
      {"shell.folder[common_programs]", CSIDL_COMMON_PROGRAMS},
      {"shell.folder[system]", CSIDL_SYSTEM},
      {"shell.folder[windows]", CSIDL_WINDOWS},
      {"shell.folder[unknown]", 0xff},
  };
  for (auto &f : folders) {
    LPITEMIDLIST pidl = reinterpret_cast<LPITEMIDLIST>(uintptr_t(kSentinel));
    json r = {{"hr", Hr(SHGetSpecialFolderLocation(nullptr, f.csidl, &pidl))}};
    r["out_null"] = pidl == nullptr;
    if (pidl && pidl != reinterpret_cast<LPITEMIDLIST>(uintptr_t(kSentinel))) {
      WCHAR path[MAX_PATH] = L"";
      r["path_ok"] = SHGetPathFromIDListW(pidl, path) != FALSE;
      r["path"] = Lower(path);
      if (shellMalloc) shellMalloc->Free(pidl);
    }
    out[f.key] = r;
  }
  WCHAR path[MAX_PATH] = L"x";
  out["shell.path[null]"] = {{"ok", SHGetPathFromIDListW(nullptr, path) != FALSE}, {"emptied", path[0] == 0}};
  out["shell.folder[null_out]"] = Hr(SHGetSpecialFolderLocation(nullptr, CSIDL_SYSTEM, nullptr));
  if (shellMalloc) shellMalloc->Release();

  MakeDirectory(L"C:\\probe\\shell");
  WriteText(L"C:\\probe\\shell\\tool.exe", "x");
  out["shell.link.init"] = Hr(CoInitialize(nullptr));
  IShellLinkW *link = nullptr;
  out["shell.link.create"] = Hr(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                                 reinterpret_cast<void **>(&link)));
  IPersistFile *file = nullptr;
  if (link) link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
  if (link && file) {
    link->SetPath(L"C:\\probe\\shell\\tool.exe");
    out["shell.link.set[arguments]"] = Hr(link->SetArguments(L"/monitor \"a b\""));
    out["shell.link.set[description]"] = Hr(link->SetDescription(L"Tool Monitor"));
    out["shell.link.set[working_directory]"] = Hr(link->SetWorkingDirectory(L"C:\\probe\\shell"));
    out["shell.link.save"] = Hr(file->Save(L"C:\\probe\\shell\\Tool Monitor.lnk", TRUE));
    out["shell.link.saved_file"] = Exists(L"C:\\probe\\shell\\Tool Monitor.lnk");
    out["shell.link.save[missing_folder]"] = Hr(file->Save(L"C:\\probe\\shell\\none\\x.lnk", FALSE));
  }
  IShellLinkW *read = nullptr;
  IPersistFile *readFile = nullptr;
  CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&read));
  if (read) read->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&readFile));
  if (read && readFile) {
    out["shell.link.load"] = Hr(readFile->Load(L"C:\\probe\\shell\\Tool Monitor.lnk", STGM_READ));
    WCHAR text[MAX_PATH] = L"";
    read->GetArguments(text, MAX_PATH);
    out["shell.link.loaded[arguments]"] = Utf8(text);
    read->GetDescription(text, MAX_PATH);
    out["shell.link.loaded[description]"] = Utf8(text);
    read->GetWorkingDirectory(text, MAX_PATH);
    out["shell.link.loaded[working_directory]"] = Lower(text);
  }
  for (IUnknown *p : {static_cast<IUnknown *>(readFile), static_cast<IUnknown *>(read), static_cast<IUnknown *>(file),
                      static_cast<IUnknown *>(link)})
    if (p) p->Release();
  CoUninitialize();
}
}  // namespace winprobe
