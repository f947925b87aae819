// What the lint checks share: the package directory, the findings being collected, and what
// the package files and the INF were read to. Each group of rules has its file: packagefiles
// (vq*.xml, install.xml, dependency.xml), infrules (the INF alone), across (between them).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "lint.h"
#include "package/installdesc.h"
#include "package/kvnxml.h"
#include "package/packagedef.h"

namespace lint {

std::string Narrow(const std::wstring &text);
bool EqualNoCase(const std::wstring &a, const std::wstring &b);
bool StartsWithNoCase(const std::wstring &text, const std::wstring &prefix);
std::wstring Upper(std::wstring text);

// The package directory and the names of its files, as the directory lists them.
struct Package {
  std::wstring dir;  // no trailing backslash
  std::vector<std::wstring> files;
  // The name as the directory has it when a file of that name (letter case ignored) is there.
  std::optional<std::wstring> Find(const std::wstring &name) const;
  std::wstring PathOf(const std::wstring &name) const { return dir + L"\\" + name; }
};

class Findings {
 public:
  // A finding of `rule` (its own severity unless `severity` is given).
  void Add(const char *rule, Place place, std::string message, std::vector<Place> related = {},
           std::optional<Severity> severity = std::nullopt);
  std::vector<Finding> Take() { return std::move(findings_); }

 private:
  std::vector<Finding> findings_;
};

// One supported device of the package definition, as the component forms its hardware ID.
struct SupportedDevice {
  std::wstring hardwareId;  // empty when the codes form none
  unsigned line = 0;
};

// What the package files say, for the rules that compare them with the INF.
struct PackageFacts {
  std::string definitionFile;  // "" when there is none
  CKvnXMLReader definitionXml;
  PackageDefinition definition;
  bool definitionRead = false;
  std::wstring version;  // the package version text ("" when absent)
  unsigned versionLine = 0;
  std::vector<SupportedDevice> devices;

  bool installRead = false;  // install.xml loaded
  InstallDescription install;
  unsigned infElementLine = 0;  // the inf_file element's line
  std::wstring infFile;         // the INF lint reads: install.xml's, when it exists
};

// One line of the INF as SetupAPI gives it (strings substituted), with the line of the file it
// was read from (0 when it cannot be placed) and that line's text as written.
struct InfLine {
  bool hasKey = false;
  std::wstring key;
  std::vector<std::wstring> fields;  // field 1 first
  unsigned fileLine = 0;
  std::wstring raw;
  const std::wstring *Field(size_t index) const {  // 1-based, as SetupGetStringFieldW counts
    return index >= 1 && index <= fields.size() ? &fields[index - 1] : nullptr;
  }
};
struct InfSection {
  std::wstring name;
  unsigned headerLine = 0;
  std::vector<InfLine> lines;
  const InfLine *First(const std::wstring &key) const;
};

// The INF as SetupAPI reads it.
struct InfFacts {
  std::string file;  // its name in the package
  bool open = false;
  DWORD openError = 0;
  UINT errorLine = 0;
  std::vector<InfSection> sections;  // in file order
  const InfSection *Find(const std::wstring &name) const;
  const InfLine *First(const std::wstring &section, const std::wstring &key) const;
  Place At(const InfLine &line) const { return {file, line.fileLine}; }
  Place At(const InfSection &section) const { return {file, section.headerLine}; }

  // Derived by the INF rules for the rules across files.
  struct Model {
    const InfLine *line;
    std::wstring section;  // the install section it names, as written
  };
  std::vector<Model> models;                  // the lines of the 64-bit models sections
  std::vector<std::wstring> serviceNames;     // every AddService name
  std::vector<std::wstring> serviceBinaries;  // the ServiceBinary file names, in that order
  std::vector<std::wstring> copiedFiles;      // every file a CopyFiles list copies (source names)
  std::wstring driverVersion;                 // DriverVer's version
  const InfLine *driverVerLine = nullptr;
};

// Opens the INF with SetupOpenInfFileW as the component does and reads every section's
// lines through SetupAPI; the file's own text only places the lines.
InfFacts ReadInf(const Package &package, const std::wstring &name);

void CheckPackageFiles(const Package &package, PackageFacts &facts, Findings &findings);
void CheckInf(const Package &package, const PackageFacts &facts, InfFacts &inf, Findings &findings);
void CheckAcross(const Package &package, const PackageFacts &facts, const InfFacts *inf, Findings &findings);

}  // namespace lint
