#include "adapter/journal.h"

#include <string>
#include <vector>

#include "adapter/component.h"
#include "support/cmplog.h"
#include "support/handles.h"
#include "support/safefolder.h"

namespace {

const WCHAR kHeader[] = L"kvncomp adapter journal 1";
// A journal names a few adapters; a file much larger than that is not one.
constexpr DWORD kLargestJournal = 1 << 20;

// The journal's folder, "C:\VADORUREV"; empty when the system directory cannot be read.
CStr JournalFolder() {
  WCHAR systemDir[MAX_PATH] = L"";
  UINT chars = GetSystemDirectoryW(systemDir, MAX_PATH);
  if (chars < 2 || chars >= MAX_PATH) return CStr();
  return CStr(systemDir).Left(2) + L"\\VADORUREV";
}

bool Contains(const CStrList &list, const WCHAR *instanceId) {
  for (const CStr &entry : list)
    if (entry.CompareNoCase(instanceId) == 0) return true;
  return false;
}

// The file's text: UTF-16LE after its byte order mark. False when it cannot be read or is no
// such text.
bool ReadText(const WCHAR *path, std::wstring &text) {
  unique_hfile file(
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD high = 0, size = GetFileSize(file.get(), &high);
  if (size == INVALID_FILE_SIZE || high || size > kLargestJournal || size < 2 || size % 2) return false;
  std::vector<BYTE> bytes(size);
  DWORD read = 0;
  if (!ReadFile(file.get(), bytes.data(), size, &read, nullptr) || read != size) return false;
  if (bytes[0] != 0xFF || bytes[1] != 0xFE) return false;
  text.clear();
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += WCHAR(bytes[i] | (bytes[i + 1] << 8));
  return true;
}

// Renames a file that is not a journal aside, as adapters.jnl.bad1, .bad2, ...
void SetAside(const CStr &path) {
  for (int n = 1; n < 1000; ++n) {
    const CStr aside = path + (L".bad" + std::to_wstring(n)).c_str();
    if (MoveFileExW(path, aside, 0)) {
      g_messageWriter.Warning(COMPONENT_SOURCE, 1298,
                              L"[RuzuvAzudizuda]::%ls is not an adapter journal of this component; it was renamed "
                              L"%ls and is not used.\r\n",
                              path.GetString(), aside.GetString());
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  g_messageWriter.Warning(COMPONENT_SOURCE, 1299,
                          L"[RuzuvAzudizuda]::%ls is not an adapter journal of this component and could not be "
                          L"renamed; it is not used.\r\n",
                          path.GetString());
}

}  // namespace

bool ParseAdapterJournal(const std::wstring &text, AdapterJournalText &journal) {
  std::vector<std::wstring> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() < 3 || lines.front() != kHeader) return false;
  const std::wstring &last = lines.back();
  const size_t adapters = lines.size() - 2;
  if (last != L"end " + std::to_wstring(adapters)) return false;
  AdapterJournalText read;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::wstring &line = lines[i];
    size_t tab = line.find(L'\t');
    if (tab == std::wstring::npos || tab + 1 >= line.size()) return false;
    const std::wstring state = line.substr(0, tab), id = line.substr(tab + 1);
    if (state == L"started")
      read.started.Add(CStr(id.c_str()));
    else if (state == L"disabled")
      read.disabled.Add(CStr(id.c_str()));
    else
      return false;
  }
  journal = read;
  return true;
}

std::wstring FormatAdapterJournal(const AdapterJournalText &journal) {
  std::wstring text = std::wstring(kHeader) + L"\r\n";
  for (const CStr &id : journal.started) text += std::wstring(L"started\t") + id.GetString() + L"\r\n";
  for (const CStr &id : journal.disabled) text += std::wstring(L"disabled\t") + id.GetString() + L"\r\n";
  return text + L"end " + std::to_wstring(journal.started.GetCount() + journal.disabled.GetCount()) + L"\r\n";
}

CStr AdapterJournalPath() {
  CStr folder = JournalFolder();
  return folder.IsEmpty() ? folder : folder + L"\\adapters.jnl";
}

void CAdapterJournal::Load() {
  m_earlier = AdapterJournalText();
  const CStr path = AdapterJournalPath();
  if (path.IsEmpty() || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return;
  std::wstring text;
  AdapterJournalText journal;
  if (!ReadText(path, text) || !ParseAdapterJournal(text, journal)) {
    SetAside(path);
    return;
  }
  m_earlier = journal;
}

bool CAdapterJournal::WasStarted(const WCHAR *instanceId) const { return Contains(m_earlier.started, instanceId); }

bool CAdapterJournal::Write(const CStrList &started, const CStrList &disabled) {
  AdapterJournalText journal;
  for (const CStr &id : m_earlier.started) journal.started.Add(id);
  for (const CStr &id : started)
    if (!Contains(journal.started, id)) journal.started.Add(id);
  for (const CStr &id : disabled)
    if (!Contains(journal.started, id)) journal.disabled.Add(id);
  if (journal.started.IsEmpty() && journal.disabled.IsEmpty()) return true;
  return WriteText(journal);
}

bool CAdapterJournal::WriteText(const AdapterJournalText &journal) {
  const CStr folder = JournalFolder(), path = AdapterJournalPath();
  if (folder.IsEmpty() || !MakeSafeFolder(folder)) return false;
  const CStr fresh = path + L".new";
  const std::wstring text = FormatAdapterJournal(journal);
  std::vector<BYTE> bytes = {0xFF, 0xFE};
  for (WCHAR c : text) {
    bytes.push_back(BYTE(c & 0xFF));
    bytes.push_back(BYTE(c >> 8));
  }
  {
    unique_hfile file(CreateFileW(fresh, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get())) {
      file.reset();
      DeleteFileW(fresh);
      return false;
    }
  }
  if (MoveFileExW(fresh, path, MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileW(fresh);
  return false;
}

void CAdapterJournal::Finish(const CStrList &notRestored) {
  const CStr path = AdapterJournalPath();
  if (path.IsEmpty()) return;
  if (notRestored.IsEmpty()) {
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES && !DeleteFileW(path))
      g_messageWriter.Warning(COMPONENT_SOURCE, 1344,
                              L"[RuzuvAzudizuda]::The adapter journal %ls could not be removed.\r\n", path.GetString());
    return;
  }
  AdapterJournalText keep;
  for (const CStr &id : notRestored) keep.started.Add(id);
  if (!WriteText(keep))
    g_messageWriter.Warning(COMPONENT_SOURCE, 1345,
                            L"[RuzuvAzudizuda]::The adapter journal %ls could not be written: the next install does "
                            L"not know which adapters to enable.\r\n",
                            path.GetString());
}
