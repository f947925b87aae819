// SetupAPI's INF calls over the files of the machine (the syntax is infparse.cpp's), and
// GetPrivateProfileSectionNamesW, which lists an initialization file's sections.
//
// An open INF is an object of the handle table (handles.h): its HINF is checked on every use,
// a closed one stops the run, and it is released with the process. An INFCONTEXT names its
// INF by that handle and its line by section and line number, as on Windows.
//
// SetupOpenInfFileW reads INF_STYLE_WIN4 files only: an old-style (Windows NT 3.x) file is
// not modelled.
#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "kernel32/files.h"
#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "setupapi/inf.h"
#include "setupapi/infparse.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "shell32/shellfolders.h"
#include "kernel32/locale.h"
#include "machine/process.h"
#include "machine/system.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {

// The line a context names; null (with the last error set) for a context that names none.
const InfLine *LineOf(const INFCONTEXT *ctx, std::shared_ptr<InfFile> *inf = nullptr) {
  if (!ctx) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  auto file = FindInf(ctx->CurrentInf);
  if (!file) return Fail(ERROR_INVALID_HANDLE, nullptr);
  if (ctx->Section >= file->data.sections.size() || ctx->Line >= file->data.sections[ctx->Section].lines.size())
    return Fail(ERROR_INVALID_PARAMETER, nullptr);
  if (inf) *inf = file;
  return &file->data.sections[ctx->Section].lines[ctx->Line];
}

// Finds the first line at or after `from` in a section with that key (any line when null).
bool FindFrom(HINF hinf, const InfData &data, UINT section, UINT from, PCWSTR key, PINFCONTEXT out) {
  const InfSection &s = data.sections[section];
  for (size_t i = from; i < s.lines.size(); ++i) {
    if (key && !(s.lines[i].hasKey && EqualNoCase(s.lines[i].key, key))) continue;
    out->Inf = out->CurrentInf = hinf;
    out->Section = section;
    out->Line = UINT(i);
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  return Fail(ERROR_LINE_NOT_FOUND, false);
}

// Copies a text to a SetupAPI caller buffer: the size needed (with the NUL) always; the
// text when a buffer is given and it fits.
BOOL ReturnText(std::wstring_view text, PWSTR buffer, DWORD size, PDWORD required) {
  DWORD need = DWORD(text.size() + 1);
  if (required) *required = need;
  if (buffer) {
    if (size < need) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

std::wstring LineText(const InfLine &line) {
  std::wstring text;
  for (size_t i = 0; i < line.fields.size(); ++i) {
    if (i) text += L',';
    text += line.fields[i];
  }
  return text;
}

}  // namespace

std::shared_ptr<InfFile> winsim::FindInf(HINF hinf) {
  if (!hinf || hinf == INVALID_HANDLE_VALUE) return nullptr;
  return std::static_pointer_cast<InfFile>(FindObject(hinf, Object::Kind::InfFile));
}

// The folders of the DIRIDs an INF of this machine may name.
DirIds winsim::MachineDirIds(const std::wstring &infPath) {
  std::wstring windir = L"C:\\Windows";
  if (auto it = Process().environment.find(L"SYSTEMROOT"); it != Process().environment.end())
    windir = it->second.second;
  std::wstring drive = windir.size() >= 2 ? windir.substr(0, 2) : L"C:";
  std::wstring programFiles = drive + L"\\Program Files";
  if (auto it = Process().environment.find(L"PROGRAMFILES"); it != Process().environment.end())
    programFiles = it->second.second;
  bool known = false;
  DirIds ids{{1, ParentOf(infPath)},       {10, windir},
             {11, windir + L"\\System32"}, {12, windir + L"\\System32\\drivers"},
             {17, windir + L"\\INF"},      {18, windir + L"\\Help"},
             {20, windir + L"\\Fonts"},    {24, drive + L"\\"},
             {50, windir + L"\\system"},   {16406, SpecialFolderPath(CSIDL_COMMON_STARTMENU, known)},
             {16422, programFiles},        {16427, SpecialFolderPath(CSIDL_PROGRAM_FILES_COMMON, known)}};
  // DIRID 13 exists from Windows 8.1 on, for an INF the driver store holds: its package's
  // folder there (FileRepository\<name>.inf_<arch>_<hash>), where the INF lies. Elsewhere it
  // names no folder, and %13% stays as written.
  const OsSpec &os = System().os;
  std::wstring folder = ParentOf(infPath);
  if ((os.major > 6 || (os.major == 6 && os.minor >= 3)) && !folder.empty() &&
      EqualNoCase(ParentOf(folder), windir + L"\\System32\\DriverStore\\FileRepository"))
    ids[13] = folder;
  return ids;
}

DWORD winsim::ParseMachineInf(const std::string &bytes, const std::wstring &infPath, InfData &out, UINT *errorLine) {
  return ParseInf(DecodeSetupText(bytes, true), MachineDirIds(infPath), LangIdOfLocale(System().systemLocale), out,
                  errorLine);
}

namespace {
bool IsWin4Signature(const InfData &data) {
  const InfSection *version = data.Find(L"Version");
  if (!version) return false;
  for (const InfLine &line : version->lines) {
    if (!line.hasKey || !EqualNoCase(line.key, L"Signature")) continue;
    std::wstring_view s = line.fields.front();
    return EqualNoCase(s, L"$Chicago$") || EqualNoCase(s, L"$Windows NT$") || EqualNoCase(s, L"$Windows 95$");
  }
  return false;
}
}  // namespace

// Where SetupOpenInfFileW finds a file: a bare name in %windir%\INF, then in System32;
// anything else as a path.
std::wstring winsim::InfLocation(const std::wstring &name) {
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return name;
  DirIds dirs = MachineDirIds(L"");
  for (unsigned id : {17u, 11u}) {
    std::wstring candidate = dirs[id] + L"\\" + name;
    DWORD error = 0;
    Resolved r = Resolve(FullPath(candidate, &error));
    if (!error && r.exists && !r.isDir) return candidate;
  }
  return dirs[17] + L"\\" + name;
}

extern "C" {

HINF WINAPI SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
  WINSIM_ENTRY("setupapi.dll", SetupOpenInfFileW, INVALID_HANDLE_VALUE, FileName, InfClass);
  if (!FileName || !*FileName) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  std::wstring path = InfLocation(FileName);
  std::string bytes;
  DWORD error = 0;
  if (!ReadWholeFile(path, bytes, &error)) return Fail(error, INVALID_HANDLE_VALUE);
  // An empty file is refused before it is read as an INF (the error line is not set).
  if (bytes.empty()) return Fail(ERROR_FILE_INVALID, INVALID_HANDLE_VALUE);
  if (ErrorLine) *ErrorLine = 0;
  DWORD fullError = 0;
  std::wstring full = FullPath(path, &fullError);

  auto inf = std::make_shared<InfFile>();
  inf->path = full;
  UINT line = 0;
  error = ParseMachineInf(bytes, full, inf->data, &line);
  if (error) {
    if (ErrorLine) *ErrorLine = line;
    return Fail(error, INVALID_HANDLE_VALUE);
  }
  if (!IsWin4Signature(inf->data)) {
    if (InfStyle & INF_STYLE_OLDNT) {
      NotModelled("SetupOpenInfFileW", "INF files of the old Windows NT style");
      return Fail(ERROR_CALL_NOT_IMPLEMENTED, INVALID_HANDLE_VALUE);
    }
    return Fail(ERROR_WRONG_INF_STYLE, INVALID_HANDLE_VALUE);
  }
  if (!(InfStyle & INF_STYLE_WIN4)) return Fail(ERROR_WRONG_INF_STYLE, INVALID_HANDLE_VALUE);
  if (InfClass) {
    const InfSection *version = inf->data.Find(L"Version");
    bool match = false;
    for (const InfLine &l : version->lines)
      if (l.hasKey && EqualNoCase(l.key, L"Class")) {
        match = EqualNoCase(l.fields.front(), InfClass);
        break;
      }
    if (!match) return Fail(ERROR_CLASS_MISMATCH, INVALID_HANDLE_VALUE);
  }
  SetLastError(ERROR_SUCCESS);
  return AddObject(inf);
}

void WINAPI SetupCloseInfFile(HINF InfHandle) {
  EntryScope scope("SetupCloseInfFile", true);
  if (!InfHandle || InfHandle == INVALID_HANDLE_VALUE) return;
  RemoveObject(InfHandle, Object::Kind::InfFile);
}

BOOL WINAPI SetupFindFirstLineW(HINF InfHandle, PCWSTR Section, PCWSTR Key, PINFCONTEXT Context) {
  WINSIM_ENTRY("setupapi.dll", SetupFindFirstLineW, FALSE, Section, Key);
  auto inf = FindInf(InfHandle);
  if (!inf) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!Section || !Context) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto it = inf->data.index.find(Upcased(Section));
  if (it == inf->data.index.end()) return Fail(ERROR_LINE_NOT_FOUND, FALSE);
  return FindFrom(InfHandle, inf->data, UINT(it->second), 0, Key, Context);
}

BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut) {
  WINSIM_ENTRY("setupapi.dll", SetupFindNextLine, FALSE);
  std::shared_ptr<InfFile> inf;
  if (!LineOf(ContextIn, &inf)) return FALSE;
  if (!ContextOut) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return FindFrom(ContextIn->CurrentInf, inf->data, ContextIn->Section, ContextIn->Line + 1, nullptr, ContextOut);
}

BOOL WINAPI SetupFindNextMatchLineW(PINFCONTEXT ContextIn, PCWSTR Key, PINFCONTEXT ContextOut) {
  WINSIM_ENTRY("setupapi.dll", SetupFindNextMatchLineW, FALSE, Key);
  std::shared_ptr<InfFile> inf;
  if (!LineOf(ContextIn, &inf)) return FALSE;
  if (!ContextOut) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return FindFrom(ContextIn->CurrentInf, inf->data, ContextIn->Section, ContextIn->Line + 1, Key, ContextOut);
}

BOOL WINAPI SetupGetLineTextW(PINFCONTEXT Context, HINF InfHandle, PCWSTR Section, PCWSTR Key, PWSTR ReturnBuffer,
                              DWORD ReturnBufferSize, PDWORD RequiredSize) {
  WINSIM_ENTRY("setupapi.dll", SetupGetLineTextW, FALSE, Section, Key);
  const InfLine *line = nullptr;
  if (Context) {
    line = LineOf(Context);
  } else {
    auto inf = FindInf(InfHandle);
    if (!inf) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!Section || !Key) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    INFCONTEXT found;
    auto it = inf->data.index.find(Upcased(Section));
    if (it == inf->data.index.end()) return Fail(ERROR_LINE_NOT_FOUND, FALSE);
    if (FindFrom(InfHandle, inf->data, UINT(it->second), 0, Key, &found))
      line = &inf->data.sections[found.Section].lines[found.Line];
  }
  if (!line) return FALSE;
  return ReturnText(LineText(*line), ReturnBuffer, ReturnBufferSize, RequiredSize);
}

DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context) {
  WINSIM_ENTRY("setupapi.dll", SetupGetFieldCount, 0u);
  const InfLine *line = LineOf(Context);
  if (!line) return 0;
  SetLastError(ERROR_SUCCESS);
  return DWORD(line->fields.size());
}

BOOL WINAPI SetupGetStringFieldW(PINFCONTEXT Context, DWORD FieldIndex, PWSTR ReturnBuffer, DWORD ReturnBufferSize,
                                 PDWORD RequiredSize) {
  WINSIM_ENTRY("setupapi.dll", SetupGetStringFieldW, FALSE);
  const InfLine *line = LineOf(Context);
  if (!line) return FALSE;
  if (FieldIndex == 0) {
    if (!line->hasKey) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    return ReturnText(line->key, ReturnBuffer, ReturnBufferSize, RequiredSize);
  }
  if (FieldIndex > line->fields.size()) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return ReturnText(line->fields[FieldIndex - 1], ReturnBuffer, ReturnBufferSize, RequiredSize);
}

BOOL WINAPI SetupGetIntField(PINFCONTEXT Context, DWORD FieldIndex, PINT IntegerValue) {
  WINSIM_ENTRY("setupapi.dll", SetupGetIntField, FALSE);
  const InfLine *line = LineOf(Context);
  if (!line) return FALSE;
  if (!IntegerValue) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::wstring_view text;
  if (FieldIndex == 0) {
    if (!line->hasKey) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    text = line->key;
  } else {
    if (FieldIndex > line->fields.size()) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    text = line->fields[FieldIndex - 1];
  }
  if (!ParseInfInt(text, IntegerValue)) return Fail(ERROR_INVALID_DATA, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

LONG WINAPI SetupGetLineCountW(HINF InfHandle, PCWSTR Section) {
  WINSIM_ENTRY("setupapi.dll", SetupGetLineCountW, -1, Section);
  auto inf = FindInf(InfHandle);
  if (!inf) return Fail(ERROR_INVALID_HANDLE, -1);
  if (!Section) return Fail(ERROR_INVALID_PARAMETER, -1);
  const InfSection *s = inf->data.Find(Section);
  if (!s) return Fail(ERROR_SECTION_NOT_FOUND, -1);
  SetLastError(ERROR_SUCCESS);
  return LONG(s->lines.size());
}

// A file name without a folder is looked for in the Windows folder, as the profile calls do.
DWORD WINAPI GetPrivateProfileSectionNamesW(LPWSTR lpszReturnBuffer, DWORD nSize, LPCWSTR lpFileName) {
  WINSIM_ENTRY("kernel32.dll", GetPrivateProfileSectionNamesW, 0u, lpFileName);
  if (!lpszReturnBuffer || nSize == 0) return Fail(ERROR_INVALID_PARAMETER, 0u);
  lpszReturnBuffer[0] = 0;
  if (nSize >= 2) lpszReturnBuffer[1] = 0;
  if (!lpFileName || !*lpFileName) return Fail(ERROR_FILE_NOT_FOUND, 0u);
  std::wstring path = lpFileName;
  if (path.find_first_of(L"\\/:") == std::wstring::npos) path = MachineDirIds(L"")[10] + L"\\" + path;
  std::string bytes;
  DWORD error = 0;
  if (!ReadWholeFile(path, bytes, &error)) return Fail(error, 0u);
  std::wstring list;
  for (const std::wstring &name : ProfileSectionNames(DecodeSetupText(bytes, false))) {
    list += name;
    list += L'\0';
  }
  if (nSize < 2) return 0;
  if (list.size() + 1 <= nSize) {
    list.copy(lpszReturnBuffer, list.size());
    lpszReturnBuffer[list.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return DWORD(list.empty() ? 0 : list.size());
  }
  // Cut: as many characters as fit before the two closing NULs.
  list.copy(lpszReturnBuffer, nSize - 2);
  lpszReturnBuffer[nSize - 2] = 0;
  lpszReturnBuffer[nSize - 1] = 0;
  return nSize - 2;
}

}  // extern "C"
