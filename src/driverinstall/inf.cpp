#include "driverinstall/inf.h"

#include <memory>
#include <vector>

CStrList CInf::s_fileErrors;
BOOL CInf::s_bFileError = 0;
BOOL CInf::s_bSuppressDeleteErrors = 0;
int CInf::s_nNeededMedia = 0;

namespace {
constexpr DWORD kSectionListChars = 0x4000;
constexpr DWORD kServiceSectionChars = 256;  // a service-install section name: 255 characters
}  // namespace

CStrList ReadSectionNames(const WCHAR *infPath, DWORD bufferChars) {
  CStrList names;
  std::vector<WCHAR> buffer(bufferChars, L'\0');
  DWORD length = GetPrivateProfileSectionNamesW(buffer.data(), bufferChars, infPath);
  bool cut = bufferChars >= 2 && length == bufferChars - 2;
  std::vector<CStr> found;
  for (DWORD pos = 0; pos < length && buffer[pos];) {
    CStr name(&buffer[pos]);
    found.push_back(name);
    pos += DWORD(name.GetLength()) + 1;
  }
  if (cut && !found.empty()) found.pop_back();
  for (const CStr &name : found) names.Add(name);
  return names;
}

CInf::CInf(const WCHAR *infPath) {
  s_bSuppressDeleteErrors = 0;
  s_bFileError = 0;

  WCHAR full[MAX_PATH] = L"";
  DWORD length = infPath ? GetFullPathNameW(infPath, MAX_PATH, full, nullptr) : 0;
  if (length > 0 && length < MAX_PATH) m_strInfPath = full;

  m_strInfFolder = FolderOfPath(m_strInfPath);

  m_hInf.reset(SetupOpenInfFileW(m_strInfPath, nullptr, INF_STYLE_WIN4, nullptr));
  ReadVersion();
}

CInf::~CInf() = default;

BOOL CInf::IsOpen() { return m_hInf.is_valid() ? TRUE : FALSE; }

const WCHAR *CInf::GetSignature() { return m_strSignature.IsEmpty() ? nullptr : m_strSignature.GetString(); }
const WCHAR *CInf::GetClass() { return m_strClass.IsEmpty() ? nullptr : m_strClass.GetString(); }
const WCHAR *CInf::GetClassGuid() { return m_strClassGuid.IsEmpty() ? nullptr : m_strClassGuid.GetString(); }

BOOL CInf::ReadVersion() {
  if (!IsOpen()) return FALSE;
  auto read = [this](const WCHAR *key, CStr &into) -> BOOL {
    auto text = std::make_unique<WCHAR[]>(MAX_INF_STRING_LENGTH);
    if (!SetupGetLineTextW(nullptr, m_hInf.get(), L"Version", key, text.get(), MAX_INF_STRING_LENGTH, nullptr))
      return FALSE;
    into = text.get();
    return TRUE;
  };
  BOOL ok = read(L"Signature", m_strSignature);
  if (ok) ok = read(L"Class", m_strClass);
  if (ok) ok = read(L"ClassGUID", m_strClassGuid);
  FindCopyFilesSections();
  FindServiceSections();
  FindSoftwareSettingsSections();
  return ok;
}

template <typename Select>
void CInf::AddSections(CStrList &list, Select select) {
  for (const CStr &name : ReadSectionNames(m_strInfPath, kSectionListChars))
    if (select(name)) list.Add(name);
}

void CInf::FindCopyFilesSections() {
  AddSections(m_copyFilesSections, [this](const CStr &name) {
    INFCONTEXT context;
    return SetupFindFirstLineW(m_hInf.get(), name, L"CopyFiles", &context) != FALSE;
  });
}

void CInf::FindServiceSections() {
  AddSections(m_serviceSections, [this](const CStr &name) {
    INFCONTEXT context;
    return SetupFindFirstLineW(m_hInf.get(), name, L"AddService", &context) != FALSE;
  });
}

void CInf::FindSoftwareSettingsSections() {
  AddSections(m_softwareSettingsSections, [](const CStr &name) { return name.FindNoCase(L".SoftwareSettings") >= 0; });
}

BOOL CInf::FindAddServiceLine(const WCHAR *section, INFCONTEXT *context) {
  if (!section) {
    if (m_serviceSections.IsEmpty()) return FALSE;
    section = m_serviceSections[0];
  }
  return SetupFindFirstLineW(m_hInf.get(), section, L"AddService", context);
}

BOOL CInf::GetServiceName(const WCHAR *section, WCHAR *buffer, DWORD bufferLength) {
  INFCONTEXT context;
  if (!buffer || !FindAddServiceLine(section, &context)) return FALSE;
  // Read whole, then copied only when it fits: the caller's buffer stays untouched otherwise.
  auto name = std::make_unique<WCHAR[]>(MAX_INF_STRING_LENGTH);
  DWORD needed = 0;
  if (!SetupGetStringFieldW(&context, 1, name.get(), MAX_INF_STRING_LENGTH, &needed)) return FALSE;
  if (needed > bufferLength) return FALSE;
  return CopyText(buffer, bufferLength, name.get()) ? TRUE : FALSE;
}

BOOL CInf::GetServiceStartType(const WCHAR *section, DWORD *startType) {
  INFCONTEXT context;
  if (!startType || !FindAddServiceLine(section, &context)) return FALSE;
  WCHAR installSection[kServiceSectionChars] = L"";
  if (!SetupGetStringFieldW(&context, 3, installSection, kServiceSectionChars, nullptr)) return FALSE;
  INFCONTEXT startLine;
  if (!SetupFindFirstLineW(m_hInf.get(), installSection, L"StartType", &startLine)) return FALSE;
  INT value = 0;
  if (!SetupGetIntField(&startLine, 1, &value)) return FALSE;
  *startType = DWORD(value);
  return TRUE;
}

UINT CALLBACK CInf::FileQueueCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR /*param2*/) {
  const auto *paths = reinterpret_cast<const FILEPATHS_W *>(param1);
  auto text = [](const WCHAR *s) { return s ? s : L""; };
  switch (notification) {
    case SPFILENOTIFY_DELETEERROR:
      if (!s_bSuppressDeleteErrors) {
        CStr entry(L"File Delete Error: ");
        if (paths) entry += text(paths->Target);
        s_fileErrors.Add(entry);
        s_bFileError = 1;
      }
      return FILEOP_SKIP;
    case SPFILENOTIFY_COPYERROR: {
      CStr entry(L"File Copy Error: ");
      if (paths) {
        entry += text(paths->Source);
        entry += L" --> ";
        entry += text(paths->Target);
      }
      s_fileErrors.Add(entry);
      s_bFileError = 1;
      return FILEOP_SKIP;
    }
    case SPFILENOTIFY_NEEDMEDIA:
      if (++s_nNeededMedia == 1) return FILEOP_DOIT;
      s_bFileError = 1;
      return FILEOP_SKIP;
    case SPFILENOTIFY_FILEOPDELAYED:
      if (context) static_cast<CInf *>(context)->m_bRebootNeeded = 1;
      return FILEOP_DOIT;
    default: return FILEOP_DOIT;
  }
}
