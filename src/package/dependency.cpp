// The dependency file and the system model check.
#include "package/dependency.h"

#include "package/kvnxml.h"
#include "package/wmiconnection.h"

bool IsSystemModelSupported(const WCHAR *path) {
  WmiConnection wmi;
  CKvnXMLReader xml;
  if (xml.Load(path) != XML_LOAD_OK || !xml.IsLoaded()) return true;
  CKvnXMLNode *dependencies = xml.FindChild(nullptr, L"componentdependencies");
  CKvnXMLNode *hardware = dependencies ? xml.FindChild(dependencies, L"dependent_hardware") : nullptr;
  CKvnXMLNode *platforms = hardware ? xml.FindChild(hardware, L"platforms") : nullptr;
  if (!platforms) return false;
  // From the first "platform" on, it and every later sibling are tried, whatever their names.
  for (CKvnXMLNode *platform = xml.FindChild(platforms, L"platform"); platform; platform = platform->GetNextSibling()) {
    const WCHAR *model = platform->GetAttribute(L"model");
    if (model && wmi.ModelMatches(model)) return true;
  }
  return false;
}
