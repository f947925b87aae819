// The shell: special folders, item identifier lists, the shell's allocator and the shell
// link object with IPersistFile.
//
// Modelled: SHGetSpecialFolderLocation for the Start menu, Programs and desktop folders
// (all users and the user's), the Windows and system folders and Program Files, laid out as
// the machine's Windows version lays them out and taken from its environment; the folder
// must exist (E_FAIL otherwise, as shell32 6.0 answers). An item list is winsim's own: one
// item holding the folder's path. SHGetPathFromIDListW reads it back. The link object keeps
// its target, arguments, working directory, description, icon and show command; Save writes
// them through winsim's file calls as a small UTF-8 text (winsim is not Windows and does not
// write the binary link format):
//
//   [winsim shell link]
//   Target=C:\Program Files\Tool\tool.exe
//   Arguments=/x
//   WorkingDirectory=C:\Program Files\Tool
//   Description=Tool
//   IconLocation=C:\Program Files\Tool\tool.exe,0
//   ShowCmd=1
//
// and Load reads that text back.
// Not modelled (NotModelled, E_NOTIMPL): the virtual folders (the desktop itself, Control
// Panel ...) and the other special folders Windows has; item lists made elsewhere; link
// resolution and item lists as targets.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "ole32/com.h"
#include "plumbing/hooks.h"
#include "base/names.h"
#include "shell32/shellfolders.h"
#include "machine/process.h"
#include "machine/system.h"
#include "base/diagnostics.h"

namespace winsim {
namespace {

// Blocks of the shell's allocator still live, and those it freed (a second Free stops the run).
std::set<const void *> g_liveBlocks, g_freedBlocks;

// Creates `folder` and the folders above it that are missing, through the file calls; what
// cannot be created shows when the folder is looked at.
void CreateFolderTree(const std::wstring &folder) {
  for (size_t end = folder.find(L'\\', 3);; end = folder.find(L'\\', end + 1)) {
    CreateDirectoryW(folder.substr(0, end).c_str(), nullptr);
    if (end == std::wstring::npos) break;
  }
}

void *AllocBlock(size_t bytes) {
  void *p = std::calloc(1, bytes ? bytes : 1);
  if (p) {
    g_liveBlocks.insert(p);
    g_freedBlocks.erase(p);
  }
  return p;
}

std::string PointerText(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

std::wstring Env(const wchar_t *name, const wchar_t *fallback) {
  auto it = Process().environment.find(Upcased(name));
  return it == Process().environment.end() || it->second.second.empty() ? fallback : it->second.second;
}

}  // namespace

// The folder of a CSIDL on this machine; empty for the folders winsim does not model.
// `known` says whether Windows has the number at all.
std::wstring SpecialFolderPath(int csidl, bool &known) {
  const DWORD major = System().os.major;
  const std::wstring root = Env(L"SystemRoot", L"C:\\Windows");
  const std::wstring programData = Env(L"ProgramData", L"C:\\ProgramData");
  std::wstring commonBase, userBase;  // the folders that hold "Start Menu" and "Desktop"
  if (major < 5) {
    commonBase = root + L"\\Profiles\\All Users";
    userBase = Env(L"USERPROFILE", (root + L"\\Profiles\\Administrator").c_str());
  } else if (major == 5) {
    commonBase = Env(L"ALLUSERSPROFILE", L"C:\\Documents and Settings\\All Users");
    userBase = Env(L"USERPROFILE", L"C:\\Documents and Settings\\Administrator");
  } else {
    commonBase = programData + L"\\Microsoft\\Windows";
    userBase = Env(L"APPDATA", (Env(L"USERPROFILE", L"C:\\Users\\Administrator") + L"\\AppData\\Roaming").c_str()) +
               L"\\Microsoft\\Windows";
  }
  known = true;
  switch (csidl) {
    case CSIDL_STARTMENU: return userBase + L"\\Start Menu";
    case CSIDL_PROGRAMS: return userBase + L"\\Start Menu\\Programs";
    case CSIDL_COMMON_STARTMENU: return commonBase + L"\\Start Menu";
    case CSIDL_COMMON_PROGRAMS: return commonBase + L"\\Start Menu\\Programs";
    case CSIDL_DESKTOPDIRECTORY:
      return major < 6 ? userBase + L"\\Desktop" : Env(L"USERPROFILE", L"C:\\Users\\Administrator") + L"\\Desktop";
    case CSIDL_COMMON_DESKTOPDIRECTORY:
      return major < 6 ? commonBase + L"\\Desktop" : Env(L"PUBLIC", L"C:\\Users\\Public") + L"\\Desktop";
    case CSIDL_WINDOWS: return root;
    case CSIDL_SYSTEM: return root + L"\\System32";
    case CSIDL_PROGRAM_FILES: return Env(L"ProgramFiles", L"C:\\Program Files");
    case CSIDL_PROGRAM_FILES_COMMON:
      return Env(L"CommonProgramFiles", (Env(L"ProgramFiles", L"C:\\Program Files") + L"\\Common Files").c_str());
    default: break;
  }
  // Windows numbers its special folders from 0 to 0x3b.
  known = csidl >= 0 && csidl <= 0x3b;
  return {};
}

namespace {

// winsim's item list for a folder: one item holding the path and its terminator, then the
// zero count that ends the list.
LPITEMIDLIST MakeItemList(const std::wstring &path) {
  size_t textBytes = (path.size() + 1) * sizeof(wchar_t);
  size_t itemBytes = sizeof(USHORT) + textBytes;
  auto *list = static_cast<BYTE *>(AllocBlock(itemBytes + sizeof(USHORT)));
  if (!list) return nullptr;
  USHORT cb = USHORT(itemBytes);
  std::memcpy(list, &cb, sizeof cb);
  std::memcpy(list + sizeof cb, path.c_str(), textBytes);
  return reinterpret_cast<LPITEMIDLIST>(list);
}

class ShellMalloc final : public IMalloc, public ComObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    WINSIM_METHOD(IUnknown, QueryInterface);
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    CheckAlive();
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IMalloc)) return E_NOINTERFACE;
    AddRefObject();
    *ppv = static_cast<IMalloc *>(this);
    return S_OK;
  }
  // The shell's allocator lives as long as the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  void *STDMETHODCALLTYPE Alloc(SIZE_T cb) override { return AllocBlock(cb); }
  void STDMETHODCALLTYPE Free(void *pv) override {
    if (!pv) return;
    if (!g_liveBlocks.count(pv))
      SimulationError(std::string("IMalloc::Free: ") + PointerText(pv) +
                      (g_freedBlocks.count(pv) ? " was already freed" : " is not a block of the shell's allocator"));
    g_liveBlocks.erase(pv);
    g_freedBlocks.insert(pv);
    std::free(pv);
  }
};

IMalloc *g_malloc = nullptr;

// Copies a text into a getter's buffer, cut to fit and always ended.
HRESULT CopyCut(const std::wstring &text, LPWSTR buffer, int cch) {
  if (!buffer || cch <= 0) return E_INVALIDARG;
  size_t n = std::min(text.size(), size_t(cch) - 1);
  std::wmemcpy(buffer, text.c_str(), n);
  buffer[n] = L'\0';
  return S_OK;
}

// A setter's text: E_INVALIDARG for NULL or longer than `limit` characters.
HRESULT Take(LPCWSTR text, size_t limit, std::wstring &into, bool &dirty) {
  if (!text) return E_INVALIDARG;
  size_t length = std::wcslen(text);
  if (length >= limit) return E_INVALIDARG;
  into.assign(text, length);
  dirty = true;
  return S_OK;
}

const char kLinkHeader[] = "[winsim shell link]";

class ShellLink final : public IShellLinkW, public IPersistFile, public ComObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
    WINSIM_METHOD(IUnknown, QueryInterface);
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    CheckAlive();
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellLinkW))
      *ppv = static_cast<IShellLinkW *>(this);
    else if (IsEqualIID(riid, IID_IPersistFile) || IsEqualIID(riid, IID_IPersist))
      *ppv = static_cast<IPersistFile *>(this);
    else
      return E_NOINTERFACE;
    AddRefObject();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }

  HRESULT STDMETHODCALLTYPE GetPath(LPWSTR pszFile, int cch, WIN32_FIND_DATAW *pfd, DWORD) override {
    WINSIM_METHOD(IShellLinkW, GetPath);
    CheckAlive();
    if (pfd) std::memset(pfd, 0, sizeof *pfd);
    HRESULT hr = CopyCut(target_, pszFile, cch);
    return FAILED(hr) ? hr : target_.empty() ? S_FALSE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDescription(LPWSTR pszName, int cch) override {
    WINSIM_METHOD(IShellLinkW, GetDescription);
    CheckAlive();
    return CopyCut(description_, pszName, cch);
  }
  HRESULT STDMETHODCALLTYPE SetDescription(LPCWSTR pszName) override {
    WINSIM_METHOD(IShellLinkW, SetDescription, pszName);
    CheckAlive();
    return Take(pszName, INFOTIPSIZE, description_, dirty_);
  }
  HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR pszDir, int cch) override {
    WINSIM_METHOD(IShellLinkW, GetWorkingDirectory);
    CheckAlive();
    return CopyCut(workingDir_, pszDir, cch);
  }
  HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR pszDir) override {
    WINSIM_METHOD(IShellLinkW, SetWorkingDirectory, pszDir);
    CheckAlive();
    return Take(pszDir, MAX_PATH, workingDir_, dirty_);
  }
  HRESULT STDMETHODCALLTYPE GetArguments(LPWSTR pszArgs, int cch) override {
    WINSIM_METHOD(IShellLinkW, GetArguments);
    CheckAlive();
    return CopyCut(arguments_, pszArgs, cch);
  }
  HRESULT STDMETHODCALLTYPE SetArguments(LPCWSTR pszArgs) override {
    WINSIM_METHOD(IShellLinkW, SetArguments, pszArgs);
    CheckAlive();
    return Take(pszArgs, INFOTIPSIZE, arguments_, dirty_);
  }
  HRESULT STDMETHODCALLTYPE GetShowCmd(int *piShowCmd) override {
    WINSIM_METHOD(IShellLinkW, GetShowCmd);
    CheckAlive();
    if (!piShowCmd) return E_INVALIDARG;
    *piShowCmd = showCmd_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetShowCmd(int iShowCmd) override {
    WINSIM_METHOD(IShellLinkW, SetShowCmd);
    CheckAlive();
    showCmd_ = iShowCmd;
    dirty_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIconLocation(LPWSTR pszIconPath, int cch, int *piIcon) override {
    WINSIM_METHOD(IShellLinkW, GetIconLocation);
    CheckAlive();
    if (!piIcon) return E_INVALIDARG;
    *piIcon = iconIndex_;
    return CopyCut(iconPath_, pszIconPath, cch);
  }
  HRESULT STDMETHODCALLTYPE SetIconLocation(LPCWSTR pszIconPath, int iIcon) override {
    WINSIM_METHOD(IShellLinkW, SetIconLocation, pszIconPath);
    CheckAlive();
    HRESULT hr = Take(pszIconPath, MAX_PATH, iconPath_, dirty_);
    if (SUCCEEDED(hr)) iconIndex_ = iIcon;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetPath(LPCWSTR pszFile) override {
    WINSIM_METHOD(IShellLinkW, SetPath, pszFile);
    CheckAlive();
    return Take(pszFile, MAX_PATH, target_, dirty_);
  }

  HRESULT STDMETHODCALLTYPE GetClassID(CLSID *pClassID) override {
    WINSIM_METHOD(IPersist, GetClassID);
    CheckAlive();
    if (!pClassID) return E_INVALIDARG;
    *pClassID = CLSID_ShellLink;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override {
    WINSIM_METHOD(IPersistFile, IsDirty);
    CheckAlive();
    return dirty_ ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR pszFileName, DWORD) override {
    WINSIM_METHOD(IPersistFile, Load, pszFileName);
    CheckAlive();
    if (!pszFileName) return E_INVALIDARG;
    HANDLE file = CreateFileW(pszFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    BOOL ok;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got) text.append(chunk, got);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (error) return HRESULT_FROM_WIN32(error);
    return Parse(text) ? (current_ = pszFileName, dirty_ = false, S_OK) : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR pszFileName, BOOL fRemember) override {
    WINSIM_METHOD(IPersistFile, Save, pszFileName);
    CheckAlive();
    std::wstring name = pszFileName ? std::wstring(pszFileName) : current_;
    if (name.empty()) return E_INVALIDARG;
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    std::string text = Text();
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (error) return HRESULT_FROM_WIN32(error);
    if (fRemember || !pszFileName) {
      current_ = name;
      dirty_ = false;
    }
    return S_OK;
  }

 private:
  std::string Text() const {
    std::string out = std::string(kLinkHeader) + "\r\n";
    auto line = [&out](const char *key, const std::wstring &value) {
      out += std::string(key) + "=" + ToUtf8(value) + "\r\n";
    };
    line("Target", target_);
    line("Arguments", arguments_);
    line("WorkingDirectory", workingDir_);
    line("Description", description_);
    line("IconLocation", iconPath_ + L"," + std::to_wstring(iconIndex_));
    line("ShowCmd", std::to_wstring(showCmd_));
    return out;
  }
  bool Parse(const std::string &text) {
    size_t pos = 0;
    bool first = true;
    ShellLink read;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      pos = end == std::string::npos ? text.size() : end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (first) {
        if (line != kLinkHeader) return false;
        first = false;
        continue;
      }
      size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq);
      std::wstring value = FromUtf8(line.substr(eq + 1));
      if (key == "Target") read.target_ = value;
      if (key == "Arguments") read.arguments_ = value;
      if (key == "WorkingDirectory") read.workingDir_ = value;
      if (key == "Description") read.description_ = value;
      if (key == "ShowCmd") read.showCmd_ = std::wcstol(value.c_str(), nullptr, 10);
      if (key == "IconLocation") {
        size_t comma = value.rfind(L',');
        read.iconPath_ = value.substr(0, comma);
        read.iconIndex_ = comma == std::wstring::npos ? 0 : std::wcstol(value.c_str() + comma + 1, nullptr, 10);
      }
    }
    if (first) return false;
    target_ = read.target_;
    arguments_ = read.arguments_;
    workingDir_ = read.workingDir_;
    description_ = read.description_;
    iconPath_ = read.iconPath_;
    iconIndex_ = read.iconIndex_;
    showCmd_ = read.showCmd_;
    return true;
  }

  std::wstring target_, arguments_, workingDir_, description_, iconPath_, current_;
  int iconIndex_ = 0;
  int showCmd_ = 1;  // SW_SHOWNORMAL
  bool dirty_ = false;
};

}  // namespace

IUnknown *CreateShellLink() {
  auto object = std::make_unique<ShellLink>();
  IShellLinkW *link = object.get();
  KeepComObject(std::move(object), link);
  return link;
}

// Process exit: the allocator's blocks go with the process.
void ResetShell() {
  for (const void *p : g_liveBlocks) std::free(const_cast<void *>(p));
  g_liveBlocks.clear();
  g_freedBlocks.clear();
  g_malloc = nullptr;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HRESULT WINAPI SHGetMalloc(IMalloc **ppMalloc) {
  WINSIM_ENTRY_STATUS("shell32.dll", SHGetMalloc);
  if (!ppMalloc) return E_INVALIDARG;
  if (!g_malloc) {
    auto object = std::make_unique<ShellMalloc>();
    g_malloc = object.get();
    KeepComObject(std::move(object), g_malloc);
  }
  *ppMalloc = g_malloc;
  return S_OK;
}

HRESULT WINAPI SHGetSpecialFolderLocation(HWND, int csidl, PIDLIST_ABSOLUTE *ppidl) {
  WINSIM_ENTRY_STATUS("shell32.dll", SHGetSpecialFolderLocation);
  if (!ppidl) return E_INVALIDARG;
  *ppidl = nullptr;
  bool known = false;
  std::wstring folder = SpecialFolderPath(csidl & ~CSIDL_FLAG_CREATE, known);
  if (!known) return E_INVALIDARG;
  if (folder.empty()) {
    NotModelled("SHGetSpecialFolderLocation", "special folder " + std::to_string(csidl));
    return E_NOTIMPL;
  }
  if (csidl & CSIDL_FLAG_CREATE) CreateFolderTree(folder);
  DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return E_FAIL;
  *ppidl = MakeItemList(folder);
  return *ppidl ? S_OK : E_OUTOFMEMORY;
}

BOOL WINAPI SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR pszPath) {
  WINSIM_ENTRY("shell32.dll", SHGetPathFromIDListW, FALSE);
  if (!pszPath) return FALSE;
  pszPath[0] = L'\0';
  if (!pidl) return FALSE;
  if (g_freedBlocks.count(pidl)) SimulationError("SHGetPathFromIDListW: item list " + PointerText(pidl) + " was freed");
  if (!g_liveBlocks.count(pidl)) {
    NotModelled("SHGetPathFromIDListW", "an item list winsim did not make");
    return FALSE;
  }
  USHORT cb = 0;
  std::memcpy(&cb, pidl, sizeof cb);
  if (cb <= sizeof cb) return FALSE;  // the empty list: the desktop, no file-system path
  // The text sits two bytes into the item, off its alignment: copied out, not read in place.
  std::wstring path((cb - sizeof cb) / sizeof(wchar_t), L'\0');
  std::memcpy(path.data(), reinterpret_cast<const BYTE *>(pidl) + sizeof cb, path.size() * sizeof(wchar_t));
  path.resize(std::wcslen(path.c_str()));
  if (path.size() >= MAX_PATH) return FALSE;
  std::wmemcpy(pszPath, path.c_str(), path.size() + 1);
  return TRUE;
}

}  // extern "C"
