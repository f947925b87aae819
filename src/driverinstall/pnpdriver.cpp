#include "driverinstall/pnpdriver.h"

#include <setupapi.h>
#include <newdev.h>

#include <cwchar>
#include <memory>

#include "driverinstall/inf.h"
#include "support/fileversion.h"
#include "support/handles.h"
#include "support/safefolder.h"

namespace {
constexpr DWORD kSectionListChars = 4096;
const WCHAR kNewDevName[] = L"\\newdev.dll";
const WCHAR kStagingFolder[] = L"\\VADORUREV\\pnpdrvs";
const WCHAR *const kCatalogKeys[] = {L"CatalogFile", L"CatalogFile.nt", L"CatalogFile.ntx86", L"CatalogFile.ntia64",
                                     L"CatalogFile.ntamd64"};

// The name a compressed copy of the file has on the distribution media: the last character
// of a three-letter (or longer) extension becomes '_', a shorter one gains it, and a name
// without an extension gains "._".
CStr CompressedName(const CStr &name) {
  int dot = name.ReverseFind(L'.');
  if (dot < 0) return name + L"._";
  if (name.GetLength() - dot > 3) return name.Left(name.GetLength() - 1) + L"_";
  return name + L"_";
}

// Field `index` of a line into `into` (up to `chars` characters with the terminator); false
// when the line has no such field or it does not fit.
bool ReadField(INFCONTEXT *context, DWORD index, DWORD chars, CStr &into) {
  auto text = std::make_unique<WCHAR[]>(chars);
  if (!SetupGetStringFieldW(context, index, text.get(), chars, nullptr)) return false;
  into = text.get();
  return true;
}
}  // namespace

CNewDevLibrary::CNewDevLibrary() {
  WCHAR path[MAX_PATH] = L"";
  UINT chars = GetSystemDirectoryW(path, MAX_PATH);
  if (chars >= MAX_PATH || chars + std::wcslen(kNewDevName) >= MAX_PATH) return;
  std::wcscat(path, kNewDevName);
  UINT formerMode = SetErrorMode(SEM_FAILCRITICALERRORS);
  m_module.reset(LoadLibraryW(path));
  SetErrorMode(formerMode);
  if (m_module)
    m_update = reinterpret_cast<UpdateDriverFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_module.get(), "UpdateDriverForPlugAndPlayDevicesW")));
}

CStr PnpStagingFolder() {
  // The staging folder sits at the root of the system drive ("C:" of the system directory).
  WCHAR systemDir[MAX_PATH] = L"";
  UINT chars = GetSystemDirectoryW(systemDir, MAX_PATH);
  if (chars < 2 || chars >= MAX_PATH) return CStr();
  return CStr(systemDir).Left(2) + kStagingFolder;
}

CWin2000PnPDriver::CWin2000PnPDriver(const WCHAR *infPath, BOOL force) : m_strInfPath(infPath), m_bForce(force != 0) {}

int CWin2000PnPDriver::AddPackageFile(const WCHAR *fileName) {
  if (!fileName || !*fileName) return 1;
  for (const CStr &listed : m_packageFiles)
    if (listed == fileName) return 1;
  CStr name(fileName);
  m_packageFiles.Add(name);
  m_packageFiles.Add(CompressedName(name));
  return 1;
}

int CWin2000PnPDriver::CopyPackageFiles(const WCHAR *targetFolder) {
  bool complete = false;
  return StagePackageFiles(targetFolder, &complete);
}

int CWin2000PnPDriver::StagePackageFiles(const WCHAR *targetFolder, bool *complete) {
  *complete = false;
  AddPackageFile(m_strInfPath);

  WCHAR folder[MAX_PATH] = L"";
  GetLibraryDirectory(folder, MAX_PATH);
  CStr infFile = CStr(folder) + L"\\" + m_strInfPath;
  unique_hinf inf(SetupOpenInfFileW(infFile, nullptr, INF_STYLE_WIN4, nullptr));
  if (inf) {
    INFCONTEXT context;
    CStr name;
    for (const WCHAR *key : kCatalogKeys)
      if (SetupFindFirstLineW(inf.get(), L"Version", key, &context) && ReadField(&context, 1, MAX_PATH, name))
        AddPackageFile(name);

    CStrList fileLists;
    for (const CStr &section : ReadSectionNames(infFile, kSectionListChars)) {
      if (!SetupFindFirstLineW(inf.get(), section, L"CopyFiles", &context)) continue;
      do {
        DWORD count = SetupGetFieldCount(&context);
        for (DWORD i = 1; i <= count; ++i) {
          CStr field;
          if (!ReadField(&context, i, MAX_INF_STRING_LENGTH, field)) continue;
          if (field.GetAt(0) == L'@')
            AddPackageFile(field.Mid(1));
          else if (SetupGetLineCountW(inf.get(), field) > 0)
            fileLists.Add(field);
        }
      } while (SetupFindNextMatchLineW(&context, L"CopyFiles", &context));
    }

    for (const CStr &list : fileLists) {
      if (!SetupFindFirstLineW(inf.get(), list, nullptr, &context)) continue;
      do {
        CStr source;
        if ((ReadField(&context, 2, MAX_INF_STRING_LENGTH, source) && !source.IsEmpty()) ||
            (ReadField(&context, 1, MAX_INF_STRING_LENGTH, source) && !source.IsEmpty()))
          AddPackageFile(source);
      } while (SetupFindNextLine(&context, &context));
    }
  }

  // The driver is installed from here later: a folder anyone else could change (or a link
  // to elsewhere) is replaced, and one that cannot be made safe gets no files.
  if (!MakeSafeFolder(targetFolder)) return 0;

  // What an earlier run staged under these names goes first: a file this package cannot
  // supply must never be installed from what another package left.
  bool cleared = true;
  for (const CStr &name : m_packageFiles) {
    CStr target = CStr(targetFolder) + L"\\" + name;
    SetFileAttributesW(target, FILE_ATTRIBUTE_NORMAL);  // a missing target is fine
    if (!DeleteFileW(target) && GetLastError() != ERROR_FILE_NOT_FOUND) cleared = false;
  }
  if (!cleared) return 0;

  // The list holds each file with its compressed variant, in pairs; a package has one of the
  // two. A staging is complete when each pair gave one file and no copy failed for any other
  // reason than a variant the package does not have.
  int result = 1;
  bool whole = true;
  for (int i = 0; i + 1 < m_packageFiles.GetCount(); i += 2) {
    bool copied = false;
    for (int j = i; j < i + 2; ++j) {
      const CStr &name = m_packageFiles[j];
      if (CopyFileW(name, CStr(targetFolder) + L"\\" + name, FALSE)) {
        copied = true;
        continue;
      }
      result = 0;
      if (GetLastError() != ERROR_FILE_NOT_FOUND) whole = false;
    }
    if (!copied) whole = false;
  }
  *complete = whole;
  return result;
}

void CWin2000PnPDriver::AddHardwareId(const WCHAR *hardwareId) {
  if (!hardwareId) return;
  for (const CStr &listed : m_hardwareIds)
    if (listed == hardwareId) return;
  m_hardwareIds.Add(CStr(hardwareId));
}

int CWin2000PnPDriver::Run(BOOL noOverwrite, BOOL skipped) {
  if (m_hardwareIds.GetCount() == 0) return noOverwrite && skipped ? kRunDone : kRunNoHardwareId;

  CNewDevLibrary newdev;
  if (!newdev.IsLoaded()) return kRunNoNewDev;
  CNewDevLibrary::UpdateDriverFn update = newdev.Update();
  if (!update) return kRunNoUpdateCall;

  CStr staging = PnpStagingFolder();
  if (staging.IsEmpty()) return kRunUpdateFailed;
  // Nothing is updated from a staging folder that could not be made safe, or that lacks a
  // file of the package.
  bool complete = false;
  StagePackageFiles(staging, &complete);
  if (!complete) return kRunUpdateFailed;
  CStr stagedInf = staging + L"\\" + m_strInfPath;

  BOOL reboot = FALSE;  // one variable for the whole run: a request is never lost
  bool failed = false;
  for (const CStr &id : m_hardwareIds) {
    BOOL ok = update(nullptr, id, stagedInf, m_bForce ? INSTALLFLAG_FORCE : 0, &reboot);
    m_dwRebootFlag |= static_cast<DWORD>(reboot);
    if (!ok) failed = true;
  }
  return failed ? kRunUpdateFailed : kRunDone;
}
