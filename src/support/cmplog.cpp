#include "support/cmplog.h"

#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "support/cstr.h"
#include "support/format.h"
#include "support/safefolder.h"

CMessageWriter g_messageWriter;

namespace {
const WCHAR kDefaultDirectory[] = L"%systemdrive%\\vadorurev\\log\\";
const WCHAR kNormalName[] = L"kvnsetup.log";
const WCHAR kRule[] = L"===========================================================================";

const WCHAR *SeverityPrefix(int severity) {
  switch (severity) {
    case SEV_NONE: return L"";
    case SEV_WARNING: return L"**WARNING** - ";
    case SEV_ERROR: return L"**ERROR** - ";
    case SEV_CRITICAL: return L"**CRITICAL** - ";
    default: return nullptr;
  }
}

// Expands a directory into `out`; false when the expansion needs more than MAX_PATH.
bool ExpandDirectory(const WCHAR *directory, WCHAR (&out)[MAX_PATH]) {
  DWORD needed = ExpandEnvironmentStringsW(directory, out, MAX_PATH);
  if (needed == 0 || needed > MAX_PATH) return false;
  size_t n = std::wcslen(out);
  if (n > 0 && out[n - 1] != L'\\' && out[n - 1] != L'/') {
    if (n + 1 >= MAX_PATH) return false;
    out[n] = L'\\';
    out[n + 1] = L'\0';
  }
  return true;
}

// The final component of a path ("..\..\Source\basecomp.cpp" -> "basecomp.cpp").
const WCHAR *FileNameOf(const WCHAR *path) {
  if (!path) return L"";
  const WCHAR *name = path;
  for (const WCHAR *p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
  return name;
}

// The entry time: the system's time format on a 24-hour clock without marker.
std::wstring EntryTime() {
  WCHAR text[64] = L"";
  GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, nullptr, nullptr, text, 64);
  return text;
}

bool FullPathOf(const LogFileRecord &file, WCHAR (&out)[MAX_PATH]) {
  return std::swprintf(out, MAX_PATH, L"%ls%ls", file.szDirectory, file.szName) > 0;
}

// "_VQ" and a random hexadecimal number, with the extension GetTempFileNameW gives.
void GenerateVerboseName(WCHAR (&name)[256]) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  std::srand(unsigned((ticks - 116444736000000000ULL) / 10000000ULL));
  WCHAR temp[MAX_PATH] = L"";
  name[0] = L'\0';
  if (!GetTempFileNameW(L".", L"_VQ", UINT(std::rand()), temp)) return;
  const WCHAR *base = FileNameOf(temp);
  const WCHAR *dot = std::wcsrchr(base, L'.');
  std::wstring stem = dot ? std::wstring(base, size_t(dot - base)) : std::wstring(base);
  std::wstring joined = dot ? stem + L"." + (dot + 1) : stem;
  CopyText(name, 256, joined.c_str());
}
}  // namespace

HANDLE OpenLogFile(const WCHAR *directory, const WCHAR *fullPath) {
  // Drive, then every level of the directory, split at '\' and '/'.
  std::wstring dir = directory ? directory : L"";
  std::wstring prefix;
  size_t start = 0;
  if (dir.size() >= 2 && dir[1] == L':') {
    prefix = dir.substr(0, 2);
    start = 2;
  }
  std::wstring part;
  for (size_t i = start; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == L'\\' || dir[i] == L'/') {
      if (!part.empty()) {
        prefix += L"\\" + part;
        CreateDirectoryW(prefix.c_str(), nullptr);
        part.clear();
      }
    } else {
      part += dir[i];
    }
  }
  return CreateFileW(fullPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

CCmpLog::CCmpLog(const WCHAR *verboseName, const WCHAR *verboseDirectory) {
  m_files.reserve(2);
  WCHAR expanded[MAX_PATH];
  if (!ExpandDirectory(kDefaultDirectory, expanded)) {
    m_nConstructionError = LOG_PATH_TOO_LONG;
    return;
  }
  LogFileRecord &normal = m_files.emplace_back();
  CopyText(normal.szDirectory, MAX_PATH, expanded);
  CopyText(normal.szName, 256, kNormalName);

  const WCHAR *dir = (verboseDirectory && *verboseDirectory) ? verboseDirectory : kDefaultDirectory;
  if (!ExpandDirectory(dir, expanded)) {
    m_nConstructionError = LOG_PATH_TOO_LONG;
    return;
  }
  LogFileRecord &verbose = m_files.emplace_back();
  CopyText(verbose.szDirectory, MAX_PATH, expanded);
  if (verboseName && *verboseName)
    CopyText(verbose.szName, 256, verboseName);
  else
    GenerateVerboseName(verbose.szName);
}

CCmpLog::~CCmpLog() = default;

LogFileRecord *CCmpLog::Record(size_t index) { return index < m_files.size() ? &m_files[index] : nullptr; }
const LogFileRecord *CCmpLog::Record(size_t index) const { return index < m_files.size() ? &m_files[index] : nullptr; }

bool CCmpLog::CanWrite(size_t index) const {
  const LogFileRecord *file = Record(index);
  if (!file || !file->bOpen || !file->hFile) return false;
  return index == kNormal || m_bVerbose;
}

int CCmpLog::Open() { return OpenFiles(true); }

int CCmpLog::OpenAsHost() { return OpenFiles(false); }

int CCmpLog::OpenFiles(bool safeFolders) {
  for (size_t index : {kVerbose, kNormal}) {
    LogFileRecord *file = Record(index);
    if (!file || (index == kVerbose && !m_bVerbose)) continue;
    WCHAR path[MAX_PATH];
    file->bOpen = FALSE;
    file->hFile.reset();
    if (!FullPathOf(*file, path)) return LOG_OPEN_FAILED;
    // The elevated process writes its log here: a folder that anyone else could change, or
    // a link a user planted, is replaced first; one that cannot be made safe gets no file.
    if (safeFolders && !MakeSafeFolder(file->szDirectory)) return LOG_OPEN_FAILED;
    file->hFile.reset(OpenLogFile(file->szDirectory, path));
    if (!file->hFile) return LOG_OPEN_FAILED;
    file->bOpen = TRUE;
  }
  return LOG_OK;
}

int CCmpLog::CloseFiles() {
  bool ok = true;
  for (size_t index : {kVerbose, kNormal}) {
    LogFileRecord *file = Record(index);
    if (!file || (index == kVerbose && !m_bVerbose) || !file->hFile) continue;
    if (!CloseHandle(file->hFile.release())) ok = false;
    file->bOpen = FALSE;
  }
  return ok ? LOG_OK : LOG_CLOSE_FAILED;
}

void CCmpLog::SetVerbose(BOOL verbose) { m_bVerbose = verbose; }

const WCHAR *CCmpLog::GetVerboseName() const {
  const LogFileRecord *file = Record(kVerbose);
  return file ? file->szName : L"";
}

const WCHAR *CCmpLog::GetVerboseDirectory() const {
  const LogFileRecord *file = Record(kVerbose);
  return file ? file->szDirectory : L"";
}

void CCmpLog::WriteBytes(LogFileRecord &file, const std::string &bytes) {
  if (bytes.empty() || !file.hFile) return;
  SetFilePointer(file.hFile.get(), 0, nullptr, FILE_END);
  DWORD written = 0;
  WriteFile(file.hFile.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

void CCmpLog::WriteTextV(LogFileRecord &file, const WCHAR *format, va_list args) {
  if (!file.hFile) return;
  std::wstring text = FormatTextV(format, args);
  if (text.empty()) return;
  int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string converted(size_t(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, text.c_str(), int(text.size()), converted.data(), bytes, nullptr, nullptr) !=
      bytes)
    return;
  WriteBytes(file, converted);
}

void CCmpLog::WriteText(LogFileRecord &file, const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  WriteTextV(file, format, args);
  va_end(args);
}

void CCmpLog::WriteEntry(int kind, int severity, const WCHAR *sourceFile, int line, const WCHAR *format, ...) {
  if (kind < LOG_NORMAL || kind > LOG_BOTH_RESULT) return;
  std::wstring time = EntryTime();
  const WCHAR *prefix = SeverityPrefix(severity);
  va_list args;
  if ((kind == LOG_NORMAL || kind == LOG_BOTH_STEP || kind == LOG_BOTH_RESULT) && CanWrite(kNormal)) {
    LogFileRecord &file = m_files[kNormal];
    if (prefix) WriteText(file, L"%ls", prefix);
    va_start(args, format);
    WriteTextV(file, format, args);
    va_end(args);
  }
  if (kind != LOG_NORMAL && CanWrite(kVerbose)) {
    LogFileRecord &file = m_files[kVerbose];
    if (prefix) {
      if (kind == LOG_VERBOSE_STEP || kind == LOG_BOTH_STEP)
        WriteText(file, L"[%ls]::%ls[%d] %ls", time.c_str(), FileNameOf(sourceFile), line, prefix);
      else
        WriteText(file, L"%ls", prefix);
    }
    va_start(args, format);
    WriteTextV(file, format, args);
    va_end(args);
  }
}

void CCmpLog::WriteLogHeader() {
  WCHAR image[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, image, MAX_PATH);
  const WCHAR *source = FileNameOf(image);

  std::wstring version;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(image, &ignored);
  if (size) {
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    if (GetFileVersionInfoW(image, 0, size, block.data()) &&
        VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID *>(&fixed), &len) && fixed &&
        len >= sizeof(VS_FIXEDFILEINFO))
      version = FormatText(L"%d.%d.%d.%d", int(HIWORD(fixed->dwFileVersionMS)), int(LOWORD(fixed->dwFileVersionMS)),
                           int(HIWORD(fixed->dwFileVersionLS)), int(LOWORD(fixed->dwFileVersionLS)));
  }

  WCHAR date[128] = L"";
  GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 128);
  std::wstring logDate = FormatText(L"%ls %ls", date, EntryTime().c_str());
  const WCHAR *stub = m_pszStubVersion ? m_pszStubVersion : L"";

  if (CanWrite(kVerbose))
    WriteText(m_files[kVerbose],
              L"%ls\r\nSource:          %ls\r\nVersion:         %ls\r\nStub Version:    %ls\r\n"
              L"Log Date:        %ls\r\n\r\nVerbose Log Session Start ...\r\n\r\n",
              kRule, source, version.c_str(), stub, logDate.c_str());
  if (CanWrite(kNormal))
    WriteText(m_files[kNormal],
              L"%ls\r\nSource:          %ls\r\nVersion:         %ls\r\nLog Date:        %ls\r\n\r\n"
              L"Log Session Start...\r\n\r\n",
              kRule, source, version.c_str(), logDate.c_str());
}

void CCmpLog::WriteLogFooter(int returnCode) {
  std::wstring time = EntryTime();
  for (size_t index : {kVerbose, kNormal})
    if (CanWrite(index))
      WriteText(m_files[index], L"\r\n\r\nLog Session End. [%ls]\r\nReturn Code (%d)\r\n%ls\r\n\r\n", time.c_str(),
                returnCode, kRule);
}

void CCmpLog::RelocateVerboseLog(const WCHAR *newName, const WCHAR *newDirectory) {
  LogFileRecord *file = Record(kVerbose);
  if (!file || !newName || !*newName) return;
  if (!newDirectory) newDirectory = L"";
  if (std::wcscmp(newName, file->szName) == 0 && std::wcscmp(newDirectory, file->szDirectory) == 0) return;

  // Paths that do not fit their buffers are not cut: a cut path would name another file.
  WCHAR newPath[MAX_PATH], oldPath[MAX_PATH];
  if (std::wcslen(newName) >= 256 || std::wcslen(newDirectory) >= MAX_PATH ||
      std::swprintf(newPath, MAX_PATH, L"%ls%ls", newDirectory, newName) < 0 || !FullPathOf(*file, oldPath))
    return;
  // The callers pass texts of this very record (the host's log is relocated within its own
  // directory): the record takes copies, never its own buffers copied onto themselves.
  const std::wstring name(newName), directory(newDirectory);
  auto takePlace = [&] {
    if (name != file->szName) CopyText(file->szName, 256, name.c_str());
    if (directory != file->szDirectory) CopyText(file->szDirectory, MAX_PATH, directory.c_str());
  };

  if (GetFileAttributesW(newPath) == INVALID_FILE_ATTRIBUTES) {
    // Nothing there: move the file and go on writing at the new place.
    file->hFile.reset();
    file->bOpen = FALSE;
    if (MoveFileW(oldPath, newPath)) takePlace();
    file->hFile.reset(OpenLogFile(directory.c_str(), newPath));
    file->bOpen = file->hFile.is_valid();
    return;
  }

  if (!file->bOpen || !file->hFile) return;
  // A file is there: append the old file's contents to it, then drop the old file.
  unique_hfile target(OpenLogFile(directory.c_str(), newPath));
  if (!target) return;
  DWORD high = 0;
  DWORD low = GetFileSize(file->hFile.get(), &high);
  if ((low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) || high != 0) return;
  std::string contents(low, '\0');
  DWORD read = 0;
  if (SetFilePointer(file->hFile.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !ReadFile(file->hFile.get(), contents.data(), low, &read, nullptr))
    return;
  if (read == 0) return;  // an empty log stays where it is
  contents.resize(read);
  DWORD written = 0;
  SetFilePointer(target.get(), 0, nullptr, FILE_END);
  if (!WriteFile(target.get(), contents.data(), read, &written, nullptr) || written != read) return;
  file->hFile.reset();
  DeleteFileW(oldPath);
  file->hFile = std::move(target);
  file->bOpen = TRUE;
  takePlace();
}

void CMessageWriter::Write(int kind, int severity, const WCHAR *sourceFile, int line, const WCHAR *format,
                           va_list args) {
  if (!m_pLog) return;
  std::wstring text = m_szPrefix + FormatTextV(format, args);
  if (text.size() > 1023) text.resize(1023);
  m_pLog->WriteEntry(kind, severity, sourceFile, line, L"%ls", text.c_str());
}

void CMessageWriter::Step(const WCHAR *sourceFile, int line, const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  Write(LOG_VERBOSE_STEP, SEV_NONE, sourceFile, line, format, args);
  va_end(args);
}

void CMessageWriter::Report(const WCHAR *sourceFile, int line, const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  Write(LOG_NORMAL, SEV_NONE, sourceFile, line, format, args);
  va_end(args);
}

void CMessageWriter::Warning(const WCHAR *sourceFile, int line, const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  Write(LOG_NORMAL, SEV_WARNING, sourceFile, line, format, args);
  va_end(args);
}
