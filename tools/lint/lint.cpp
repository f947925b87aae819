#include "lint.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "checks.h"
#include "support/handles.h"
#include "utf8text.h"

namespace lint {

std::string Narrow(const std::wstring &text) { return toolcommon::Utf8(text); }

bool EqualNoCase(const std::wstring &a, const std::wstring &b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towupper(wint_t(x)) == std::towupper(wint_t(y));
         });
}

bool StartsWithNoCase(const std::wstring &text, const std::wstring &prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

std::wstring Upper(std::wstring text) {
  for (wchar_t &c : text) c = wchar_t(std::towupper(wint_t(c)));
  return text;
}

std::optional<std::wstring> Package::Find(const std::wstring &name) const {
  for (const std::wstring &file : files)
    if (EqualNoCase(file, name)) return file;
  return std::nullopt;
}

void Findings::Add(const char *rule, Place place, std::string message, std::vector<Place> related,
                   std::optional<Severity> severity) {
  Finding f;
  f.rule = rule;
  const Rule *known = FindRule(rule);
  f.severity = severity ? *severity : known ? known->severity : Severity::Error;
  f.place = std::move(place);
  f.message = std::move(message);
  f.related = std::move(related);
  findings_.push_back(std::move(f));
}

namespace {

std::vector<std::wstring> ListFiles(const std::wstring &dir) {
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW data;
  unique_hfind find(FindFirstFileW((dir + L"\\*").c_str(), &data));
  if (!find) return files;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(data.cFileName);
  } while (FindNextFileW(find.get(), &data));
  return files;
}

bool HasExtension(const std::wstring &name, const wchar_t *extension) {
  const std::wstring ext(extension);
  return name.size() > ext.size() && EqualNoCase(name.substr(name.size() - ext.size()), ext);
}

// The component reads the package files from the process's current directory; lint reads them
// from there too, and puts the directory back afterwards.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::wstring &dir) {
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    if (n) {
      previous_.resize(n);
      previous_.resize(GetCurrentDirectoryW(n, previous_.data()));
    }
    entered_ = SetCurrentDirectoryW(dir.c_str()) != FALSE;
  }
  ~CurrentDirectory() {
    if (entered_ && !previous_.empty()) SetCurrentDirectoryW(previous_.c_str());
  }
  bool Entered() const { return entered_; }

 private:
  std::wstring previous_;
  bool entered_ = false;
};

}  // namespace

Result LintPackage(const std::wstring &packageDir) {
  Result result;
  Package package;
  package.dir = packageDir;
  while (package.dir.size() > 3 && (package.dir.back() == L'\\' || package.dir.back() == L'/')) package.dir.pop_back();
  DWORD attributes = GetFileAttributesW(package.dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    result.readable = false;
    result.error = "does not exist";
    return result;
  }
  package.files = ListFiles(package.dir);
  const bool anyPackageFile = std::any_of(package.files.begin(), package.files.end(), [](const std::wstring &f) {
    return (StartsWithNoCase(f, L"vq") && HasExtension(f, L".xml")) || EqualNoCase(f, L"install.xml") ||
           HasExtension(f, L".inf");
  });
  CurrentDirectory here(package.dir);
  if (!anyPackageFile || !here.Entered()) {
    result.readable = false;
    result.error = here.Entered() ? "holds no package files (vq*.xml, install.xml, *.inf)" : "cannot be entered";
    return result;
  }

  Findings findings;
  PackageFacts facts;
  CheckPackageFiles(package, facts, findings);
  std::optional<InfFacts> inf;
  if (!facts.infFile.empty()) {
    inf = ReadInf(package, facts.infFile);
    CheckInf(package, facts, *inf, findings);
  }
  CheckAcross(package, facts, inf && inf->open ? &*inf : nullptr, findings);

  // Grouped by file, in the order each file first had a finding.
  result.findings = findings.Take();
  std::vector<std::string> order;
  for (const Finding &f : result.findings)
    if (std::find(order.begin(), order.end(), f.place.file) == order.end()) order.push_back(f.place.file);
  std::stable_sort(result.findings.begin(), result.findings.end(), [&](const Finding &a, const Finding &b) {
    return std::find(order.begin(), order.end(), a.place.file) < std::find(order.begin(), order.end(), b.place.file);
  });
  return result;
}

}  // namespace lint
