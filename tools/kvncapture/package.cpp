// --package: the services, HKLM keys and destination files that the driver package's INF
// files name, read with the component's own INF reader, so that a capture holds what
// installing that package would look at or replace.
#include <windows.h>
#include <setupapi.h>

#include "capture.h"
#include "driverinstall/inf.h"

namespace kvncapture {
namespace {

// The component's reader, with its handle reachable for the line walks below.
class PackageInf : public CInf {
 public:
  using CInf::CInf;
  HINF Handle() const { return m_hInf.get(); }
};

std::wstring Field(INFCONTEXT &line, DWORD index) {
  WCHAR text[MAX_INF_STRING_LENGTH] = L"";
  DWORD required = 0;
  if (!SetupGetStringFieldW(&line, index, text, MAX_INF_STRING_LENGTH, &required)) return {};
  return text;
}

// Calls visit(line) for each line of `section` whose key is `key`.
template <class Visit>
void ForEachLine(HINF inf, const std::wstring &section, const wchar_t *key, Visit visit) {
  INFCONTEXT line;
  if (!SetupFindFirstLineW(inf, section.c_str(), key, &line)) return;
  do {
    visit(line);
  } while (SetupFindNextMatchLineW(&line, key, &line));
}

// Each list a directive line names (fields 1 and on).
template <class Visit>
void ForEachList(INFCONTEXT &line, Visit visit) {
  DWORD fields = SetupGetFieldCount(&line);
  for (DWORD i = 1; i <= fields; ++i) {
    std::wstring list = Field(line, i);
    if (!list.empty()) visit(list);
  }
}

void ReadInf(const std::wstring &path, MachineCapture &capture) {
  PackageInf inf(path.c_str());
  if (!inf.IsOpen()) {
    capture.Omit("package INF " + Utf8Of(path) + ": it cannot be opened (" + ErrorText(GetLastError()) +
                 "); what it names is left out");
    return;
  }
  inf.LoadDestinationDirs();  // the reader read [Version] and the sections when it opened
  HINF handle = inf.Handle();
  std::vector<std::wstring> sections;
  for (const CStrList *list :
       {&inf.GetCopyFilesSections(), &inf.GetServiceSections(), &inf.GetSoftwareSettingsSections()})
    for (const CStr &name : *list) sections.emplace_back(name.GetString());
  for (const std::wstring &section : sections) {
    ForEachLine(handle, section, L"CopyFiles", [&](INFCONTEXT &line) {
      ForEachList(line, [&](const std::wstring &list) {
        CStr folder;
        if (list[0] == L'@') {
          if (inf.GetDestinationDir(section.c_str(), folder))
            capture.versionFiles.Add(JoinFolder(folder, list.c_str() + 1).GetString());
          return;
        }
        if (!inf.GetDestinationDir(list.c_str(), folder)) return;
        INFCONTEXT file;
        if (!SetupFindFirstLineW(handle, list.c_str(), nullptr, &file)) return;
        do {
          std::wstring name = Field(file, 1);
          if (!name.empty()) capture.versionFiles.Add(JoinFolder(folder, name.c_str()).GetString());
        } while (SetupFindNextLine(&file, &file));
      });
    });
    for (const wchar_t *directive : {L"AddReg", L"DelReg"}) {
      ForEachLine(handle, section, directive, [&](INFCONTEXT &line) {
        ForEachList(line, [&](const std::wstring &list) {
          INFCONTEXT entry;
          if (!SetupFindFirstLineW(handle, list.c_str(), nullptr, &entry)) return;
          do {
            std::wstring root = Field(entry, 1), subkey = Field(entry, 2);
            if ((SameText(root, L"HKLM") || SameText(root, L"HKEY_LOCAL_MACHINE")) && !subkey.empty())
              capture.registryTrees.Add(L"HKEY_LOCAL_MACHINE\\" + subkey);
          } while (SetupFindNextLine(&entry, &entry));
        });
      });
    }
    for (const wchar_t *directive : {L"AddService", L"DelService"})
      ForEachLine(handle, section, directive, [&](INFCONTEXT &line) {
        std::wstring service = Field(line, 1);
        if (!service.empty()) capture.services.Add(service);
      });
  }
}

}  // namespace

void CapturePackage(const std::wstring &packageDir, MachineCapture &capture) {
  WIN32_FIND_DATAW found;
  std::wstring pattern = packageDir + L"\\*.inf";
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    capture.Omit("--package " + Utf8Of(packageDir) + ": no INF file can be found there (" + ErrorText(GetLastError()) +
                 ")");
    return;
  }
  unique_hfind owner(search);
  size_t count = 0;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    ReadInf(packageDir + L"\\" + found.cFileName, capture);
    ++count;
  } while (FindNextFileW(search, &found));
  capture.summary.push_back("what the package's " + std::to_string(count) +
                            " INF files name: services, HKLM keys, destination files");
}

}  // namespace kvncapture
