// The package definition file ("vq*.xml", document element "kvn_package"): finding it,
// reading what it states, and the localised name, description and version texts it holds.
#pragma once

#include <windows.h>

#include <vector>

#include "osinfo/ossupport.h"
#include "package/kvnxml.h"
#include "support/cstr.h"

// What a package definition states. Reading a file changes only what the file states (and
// appends to the lists), so the caller starts from its current values.
struct PackageDefinition {
  WCHAR szPackageFileName[128] = L"";  // the package's file name without its extension
  CStr strSoftwareKeyPath;             // the installed file the installed version is read from
  BOOL bSilentCapable = 1;
  BOOL bRebootRequired = 0;
  UINT nRequiredDiskKb = 0;
  CStrList supportedDevices;  // hardware IDs
  CStrList scsiIds;
  std::vector<OSDescriptor> supportedOS;
};

// The first "vq*.xml" of the current directory that loads and has a "kvn_package" element,
// its name copied to `path` (MAX_PATH characters). False, `path` untouched, when none does.
[[nodiscard]] bool FindPackageDefinition(WCHAR *path);

// Loads `path` into `xml` (which keeps the document for the text queries below) and updates
// `definition` from it. One of XmlLoadResult; on a failed load `definition` is untouched, and
// a document without "kvn_package" loads and changes nothing.
[[nodiscard]] int ReadPackageDefinitionFile(CKvnXMLReader &xml, const WCHAR *path, PackageDefinition &definition);

// Texts of a loaded package definition; null when the document does not hold them. The name
// and description are those of `languageCode`, or only when there is none, the English ones.
const WCHAR *PackageNameText(const CKvnXMLReader &xml, const WCHAR *languageCode);
const WCHAR *PackageDescriptionText(const CKvnXMLReader &xml, const WCHAR *languageCode);
const WCHAR *PackageVersionText(const CKvnXMLReader &xml);
