// The installation description file "install.xml" (document element "kvn_install"): the
// INF to install, its installation type, section and service, and a file to open after.
#include "package/installdesc.h"

#include "package/kvnxml.h"

int ReadInstallDescriptionFile(const WCHAR *path, InstallDescription &description) {
  if (!path || !*path) return XML_LOAD_CANNOT_READ;
  // The INF element is chosen by the Windows major version.
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  const WCHAR *infElement = version.dwMajorVersion == 4   ? L"inf_file_nt4"
                            : version.dwMajorVersion == 5 ? L"inf_file_nt5"
                                                          : L"inf_file";
  CKvnXMLReader xml;
  if (int result = xml.Load(path)) return result;
  if (!xml.IsLoaded()) return XML_LOAD_CANNOT_OPEN;
  CKvnXMLNode *install = xml.FindChild(nullptr, L"kvn_install");
  if (!install) return XML_LOAD_OK;

  if (CKvnXMLNode *information = xml.FindChild(install, L"inf_information")) {
    CKvnXMLNode *inf = xml.FindChild(information, infElement);
    if (!inf) inf = xml.FindChild(information, L"inf_file");
    if (inf) {
      if (const WCHAR *file = inf->GetAttribute(L"filename")) description.strInfFile = file;
      if (const WCHAR *type = inf->GetAttribute(L"type")) {
        CStr t(type);
        if (t.CompareNoCase(L"LEGACY") == 0)
          description.nInstallType = INSTALL_LEGACY;
        else if (t.CompareNoCase(L"PNP") == 0)
          description.nInstallType = INSTALL_PNP;
        else if (t.CompareNoCase(L"VIRTUAL") == 0)
          description.nInstallType = INSTALL_VIRTUAL;
      }
      if (const WCHAR *section = inf->GetAttribute(L"section")) description.strInfSection = section;
      if (const WCHAR *service = inf->GetAttribute(L"service_name")) description.strServiceName = service;
    }
  }

  CKvnXMLNode *shellExecute = xml.FindChild(install, L"ShellExecute");
  if (CKvnXMLNode *shell = shellExecute ? xml.FindChild(shellExecute, L"ShellExecute_Info") : nullptr) {
    // Expanded once into the 260-character fields; a text that does not fit leaves the
    // field empty rather than cut.
    if (const WCHAR *file = shell->GetAttribute(L"file")) {
      DWORD n = ExpandEnvironmentStringsW(file, description.szShellExecuteFile, MAX_PATH);
      if (n == 0 || n > MAX_PATH) description.szShellExecuteFile[0] = L'\0';
    }
    if (const WCHAR *dir = shell->GetAttribute(L"DefaultDir")) {
      DWORD n = ExpandEnvironmentStringsW(dir, description.szShellExecuteDir, MAX_PATH);
      if (n == 0 || n > MAX_PATH) description.szShellExecuteDir[0] = L'\0';
    }
  }
  return XML_LOAD_OK;
}
