// The XML reader over arbitrary bytes: any encoding declaration, any nesting. A document
// that loads is walked whole (without recursion, as deep as it is) and searched.
#include <cstddef>
#include <cstdint>

#include "fuzzmachine.h"
#include "package/kvnxml.h"

namespace {

const wchar_t kPath[] = L"C:\\Fuzz\\input.xml";

// Every node once, by first child, next sibling and parent; reads what a reader reads. The
// first nodes are searched from too (every node would make a long document quadratic).
void Walk(const CKvnXMLReader &xml) {
  CKvnXMLNode *root = xml.GetRoot();
  int searches = 64;
  for (CKvnXMLNode *node = root; node;) {
    const WCHAR *name = node->GetName();
    (void)XmlNodeText(node);
    (void)node->GetText();
    (void)node->GetAttribute(L"lang");
    if (node != root && name[0] && searches > 0) {
      --searches;
      (void)xml.FindChild(node, name, L"lang", L"en");
    }
    if (node->GetFirstChild()) {
      node = node->GetFirstChild();
      continue;
    }
    while (node && node != root && !node->GetNextSibling()) node = node->GetParent();
    node = (node && node != root) ? node->GetNextSibling() : nullptr;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::EnsureMachine();
  fuzz::WriteMachineFile(kPath, fuzz::Bytes(data, size));
  CKvnXMLReader xml;
  int result = xml.Load(kPath);
  if (result != XML_LOAD_OK) {
    if (xml.IsLoaded() || xml.FindChild(nullptr, L"kvn_package")) fuzz::Fail("a failed load left a document");
    return 0;
  }
  Walk(xml);
  (void)xml.FindChild(nullptr, L"kvn_package");
  (void)xml.FindChild(nullptr, L"name_xlate", L"lang", L"EN");
  return 0;
}
