// The operations of CInf that install what an INF declares beyond files and section
// directives: its services, the per-service settings of its ".SoftwareSettings" sections,
// the root-enumerated device of its class and the Windows NT 4 shortcuts.
//
// Not built yet: until they are, each answers failure with ERROR_CALL_NOT_IMPLEMENTED, so an
// installation that needs them reports that it failed while its file and section steps
// still run.
#include "driverinstall/inf.h"

#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include <cwchar>

BOOL CInf::InstallServices(const WCHAR * /*section*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CInf::InstallSoftwareSettings(const WCHAR * /*section*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CInf::CreateLegacyDevice(BOOL * /*reboot*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CInf::CreateRootDevice(HDEVINFO * /*deviceInfoSet*/, SP_DEVINFO_DATA * /*deviceInfoData*/,
                            const WCHAR * /*deviceName*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

namespace {

// The first field of the `key` line of item section `item` into `buffer` of `chars`
// characters; false when the line is missing or its text does not fit.
bool ReadItemLine(HINF inf, const WCHAR *item, const WCHAR *key, WCHAR *buffer, DWORD chars) {
  INFCONTEXT line;
  if (!SetupFindFirstLineW(inf, item, key, &line)) return false;
  return SetupGetStringFieldW(&line, 1, buffer, chars, nullptr) != FALSE;
}

// The `key` line of item section `item` with its environment variables expanded.
bool ReadExpandedItemLine(HINF inf, const WCHAR *item, const WCHAR *key, WCHAR *buffer) {
  WCHAR text[MAX_PATH];
  if (!ReadItemLine(inf, item, key, text, MAX_PATH)) return false;
  DWORD needed = ExpandEnvironmentStringsW(text, buffer, MAX_PATH);
  return needed != 0 && needed <= MAX_PATH;
}

// One shortcut from item section `item`. A line that is missing, or whose text does not fit
// its buffer, leaves its property unset. Without a "Name" there is no name for the link
// file, so none is written, as without a "Group".
void CreateStartMenuItem(HINF inf, const WCHAR *item) {
  unique_com_ptr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void **>(link.put()))))
    return;
  unique_com_ptr<IPersistFile> file;
  if (FAILED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(file.put())))) return;

  WCHAR name[MAX_PATH] = L"";
  bool named = ReadItemLine(inf, item, L"Name", name, MAX_PATH);
  if (named) link.get()->SetDescription(name);
  WCHAR text[MAX_PATH];
  if (ReadExpandedItemLine(inf, item, L"Path", text)) link.get()->SetPath(text);
  if (ReadItemLine(inf, item, L"Args", text, MAX_PATH)) link.get()->SetArguments(text);
  if (ReadExpandedItemLine(inf, item, L"WorkingDir", text)) link.get()->SetWorkingDirectory(text);

  WCHAR group[MAX_PATH];
  if (!named || !ReadItemLine(inf, item, L"Group", group, MAX_PATH)) return;
  WCHAR programs[MAX_PATH];
  {
    unique_pidl folder;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, folder.put())) ||
        !SHGetPathFromIDListW(folder.get(), programs))
      return;
  }
  WCHAR groupFolder[MAX_PATH], linkPath[MAX_PATH];
  int n = std::swprintf(groupFolder, MAX_PATH, L"%ls\\%ls", programs, group);
  if (n < 0 || n >= MAX_PATH) return;
  n = std::swprintf(linkPath, MAX_PATH, L"%ls\\%ls\\%ls.lnk", programs, group, name);
  if (n < 0 || n >= MAX_PATH) return;
  CreateDirectoryW(groupFolder, nullptr);  // it may exist already; Save says whether it can be used
  file.get()->Save(linkPath, TRUE);
}

}  // namespace

void CInf::CreateStartMenuItems() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version) || version.dwMajorVersion != 4) return;
  if (FAILED(CoInitialize(nullptr))) return;
  INFCONTEXT line;
  if (!m_copyFilesSections.IsEmpty() &&
      SetupFindFirstLineW(m_hInf.get(), m_copyFilesSections[0], L"KvnStartMenuItems", &line)) {
    DWORD count = SetupGetFieldCount(&line);
    for (DWORD field = 1; field <= count; ++field) {
      WCHAR item[MAX_PATH];
      if (SetupGetStringFieldW(&line, field, item, MAX_PATH, nullptr)) CreateStartMenuItem(m_hInf.get(), item);
    }
  }
  CoUninitialize();
}
