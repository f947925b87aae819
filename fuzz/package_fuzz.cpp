// The three package readers over a package directory made from the input: the package
// definition, the installation description and the dependency file, cut apart at each
// "\n--8<--\n" (a missing part leaves its file empty).
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzmachine.h"
#include "package/dependency.h"
#include "package/installdesc.h"
#include "package/packagedef.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::EnsureMachine();
  auto parts = fuzz::Split(fuzz::Bytes(data, size), "\n--8<--\n", 3);
  parts.resize(3);
  fuzz::WriteMachineFile(L"C:\\Fuzz\\vqfuzz.xml", parts[0]);
  fuzz::WriteMachineFile(L"C:\\Fuzz\\install.xml", parts[1]);
  fuzz::WriteMachineFile(L"C:\\Fuzz\\dependency.xml", parts[2]);

  WCHAR found[MAX_PATH] = L"";
  const WCHAR *definitionPath = FindPackageDefinition(found) ? found : L"C:\\Fuzz\\vqfuzz.xml";
  CKvnXMLReader xml;
  PackageDefinition definition;
  if (ReadPackageDefinitionFile(xml, definitionPath, definition) == XML_LOAD_OK) {
    for (const WCHAR *lang : {L"en", L"ja", L"", L"zz"}) {
      (void)PackageNameText(xml, lang);
      (void)PackageDescriptionText(xml, lang);
    }
    (void)PackageVersionText(xml);
  }

  InstallDescription description;
  (void)ReadInstallDescriptionFile(L"C:\\Fuzz\\install.xml", description);
  (void)IsSystemModelSupported(L"C:\\Fuzz\\dependency.xml");
  return 0;
}
