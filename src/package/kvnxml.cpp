#include "package/kvnxml.h"

#include <expat.h>

#include <climits>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "support/cstr.h"
#include "support/crtlocale.h"
#include "support/handles.h"

namespace {
// Expat's characters as WCHAR texts: the same units on Windows; UTF-16 code units joined
// into code points where WCHAR is 32 bits wide.
std::wstring Wide(const XML_Char *s, size_t n) {
  if constexpr (sizeof(XML_Char) == sizeof(WCHAR)) {
    return std::wstring(reinterpret_cast<const WCHAR *>(s), n);
  } else {
    std::wstring out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      uint32_t c = s[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
        ++i;
      }
      out += WCHAR(c);
    }
    return out;
  }
}

std::wstring Wide(const XML_Char *s) {
  size_t n = 0;
  while (s && s[n]) ++n;
  return Wide(s, n);
}

// Expat's name for the same text ("SHIFT_JIS" comparisons).
bool EqualsNoCase(const XML_Char *s, const WCHAR *text) { return CStr(Wide(s).c_str()).CompareNoCase(text) == 0; }

// The state one parse carries through the callbacks.
struct ParseCursor {
  XML_Parser parser = nullptr;
  CKvnXMLNode *current = nullptr;
  bool collecting = true;
  bool inCdata = false;
  bool textPending = false;
  CKvnXMLNode *lastText = nullptr;
};

void XMLCALL OnStartElement(void *data, const XML_Char *name, const XML_Char **attributes) {
  auto *cursor = static_cast<ParseCursor *>(data);
  cursor->collecting = true;
  cursor->textPending = true;
  std::vector<std::wstring> texts;
  for (const XML_Char **a = attributes; a && *a; ++a) texts.push_back(Wide(*a));
  cursor->current =
      cursor->current->AddChild(std::make_unique<CKvnXMLNode>(Wide(name), std::move(texts), XML_NODE_ELEMENT));
  cursor->current->SetLine(unsigned(XML_GetCurrentLineNumber(cursor->parser)));
}

void XMLCALL OnEndElement(void *data, const XML_Char *) {
  auto *cursor = static_cast<ParseCursor *>(data);
  if (cursor->current->GetParent()) cursor->current = cursor->current->GetParent();
}

// Most pieces outside CDATA are dropped (the white space between elements): each is judged by
// its first unit before it is converted. A high surrogate there is no space either way.
void XMLCALL OnCharacterData(void *data, const XML_Char *s, int length) {
  auto *cursor = static_cast<ParseCursor *>(data);
  if (length <= 0) return;
  if (cursor->inCdata) {
    std::wstring piece = Wide(s, size_t(length));
    cursor->current->AppendText(piece.c_str(), piece.size());
    return;
  }
  if (!cursor->collecting) return;
  bool startsWithSpace = std::iswspace(wint_t(s[0])) != 0;
  if (cursor->textPending) {
    if (startsWithSpace) {
      // An element whose text begins with white space gets no text at all.
      cursor->collecting = false;
      return;
    }
    cursor->textPending = false;
    if (cursor->current->GetFirstChild()) {
      // The piece is dropped, and with it the pieces that would continue it: they must not
      // reach an earlier text node, which may be another element's.
      cursor->lastText = nullptr;
      return;
    }
    std::wstring piece = Wide(s, size_t(length));
    auto text = std::make_unique<CKvnXMLNode>(L"#TEXT", nullptr, XML_NODE_TEXT);
    text->SetText(piece.c_str(), piece.size());
    cursor->lastText = cursor->current->AddChild(std::move(text));
    return;
  }
  if (startsWithSpace || !cursor->lastText) return;
  std::wstring piece = Wide(s, size_t(length));
  cursor->lastText->AppendText(piece.c_str(), piece.size());
}

void XMLCALL OnStartCdata(void *data) {
  auto *cursor = static_cast<ParseCursor *>(data);
  cursor->collecting = true;
  cursor->inCdata = true;
  cursor->current = cursor->current->AddChild(std::make_unique<CKvnXMLNode>(L"#CDATA", nullptr, XML_NODE_TEXT));
}

void XMLCALL OnEndCdata(void *data) {
  auto *cursor = static_cast<ParseCursor *>(data);
  cursor->inCdata = false;
  cursor->collecting = false;
  if (cursor->current->GetParent()) cursor->current = cursor->current->GetParent();
}

int XMLCALL ConvertShiftJis(void *, const char *s) {
  WCHAR c;
  // A pair the locale cannot convert becomes the replacement character.
  if (!ConvertDoubleByteChar(s, &c) || c == 0 || (c >= 0xD800 && c <= 0xDFFF)) return 0xFFFD;
  return int(c);
}

int XMLCALL OnUnknownEncoding(void *, const XML_Char *name, XML_Encoding *info) {
  if (!EqualsNoCase(name, L"SHIFT_JIS")) return XML_STATUS_ERROR;
  for (int b = 0; b < 256; ++b) {
    if (b <= 0x08 || (b >= 0x10 && b <= 0x1F) || b == 0xFF)
      info->map[b] = -1;
    else if (b <= 0x7F)
      info->map[b] = b;
    else if ((b >= 0x80 && b <= 0x9F) || b >= 0xE0)
      info->map[b] = -2;
    else
      info->map[b] = 0xFF60 + (b - 0xA0);
  }
  info->data = nullptr;
  info->convert = ConvertShiftJis;
  info->release = nullptr;
  return XML_STATUS_OK;
}

// The linked Expat must be the build whose characters are 16-bit units.
bool ExpatIsUtf16() {
  static const bool ok = [] {
    for (const XML_Feature *f = XML_GetFeatureList(); f && f->feature != XML_FEATURE_END; ++f)
      if (f->feature == XML_FEATURE_SIZEOF_XML_CHAR) return f->value == 2;
    return false;
  }();
  return ok;
}

struct ParserDeleter {
  void operator()(XML_ParserStruct *p) const { XML_ParserFree(p); }
};
}  // namespace

CKvnXMLNode::CKvnXMLNode(const WCHAR *name, const WCHAR *const *attributes, int kind)
    : m_nKind(kind), m_strName(name ? name : L"") {
  for (const WCHAR *const *a = attributes; a && *a; ++a) m_attributes.emplace_back(*a);
  if (m_attributes.size() % 2) m_attributes.pop_back();  // a name without its value
}

CKvnXMLNode::CKvnXMLNode(std::wstring name, std::vector<std::wstring> attributes, int kind)
    : m_nKind(kind), m_strName(std::move(name)), m_attributes(std::move(attributes)) {
  if (m_attributes.size() % 2) m_attributes.pop_back();  // a name without its value
}

CKvnXMLNode::~CKvnXMLNode() {
  // Detach what this node owns and free it with an explicit work list: each node goes
  // only after its own first child and next sibling were taken from it.
  std::vector<std::unique_ptr<CKvnXMLNode>> pending;
  if (m_pFirstChild) pending.push_back(std::move(m_pFirstChild));
  if (m_pNextSibling) pending.push_back(std::move(m_pNextSibling));
  while (!pending.empty()) {
    std::unique_ptr<CKvnXMLNode> node = std::move(pending.back());
    pending.pop_back();
    if (node->m_pNextSibling) pending.push_back(std::move(node->m_pNextSibling));
    if (node->m_pFirstChild) pending.push_back(std::move(node->m_pFirstChild));
  }
}

void CKvnXMLNode::SetText(const WCHAR *text, size_t count) {
  m_strText.assign(text ? text : L"", text ? count : 0);
  m_bHasText = true;
}

void CKvnXMLNode::AppendText(const WCHAR *text, size_t count) {
  if (!text) return;
  m_strText.append(text, count);
  m_bHasText = true;
}

const WCHAR *CKvnXMLNode::GetAttribute(const WCHAR *name) const {
  if (!name) return nullptr;
  for (size_t i = 0; i + 1 < m_attributes.size(); i += 2)
    if (m_attributes[i] == name) return m_attributes[i + 1].c_str();
  return nullptr;
}

CKvnXMLNode *CKvnXMLNode::FindChild(const WCHAR *name) const {
  if (!name) return nullptr;
  for (CKvnXMLNode *c = m_pFirstChild.get(); c; c = c->m_pNextSibling.get())
    if (c->m_strName == name) return c;
  return nullptr;
}

CKvnXMLNode *CKvnXMLNode::AddChild(std::unique_ptr<CKvnXMLNode> child) {
  CKvnXMLNode *added = child.get();
  child->m_pParent = this;
  if (!m_pFirstChild) {
    m_pFirstChild = std::move(child);
    return added;
  }
  child->m_pNextSibling = std::move(m_pFirstChild->m_pNextSibling);
  m_pFirstChild->m_pNextSibling = std::move(child);
  return added;
}

const WCHAR *XmlNodeText(const CKvnXMLNode *node) {
  const CKvnXMLNode *first = node ? node->GetFirstChild() : nullptr;
  return first && first->GetKind() == XML_NODE_TEXT ? first->GetText() : nullptr;
}

CKvnXMLReader::CKvnXMLReader() { Reset(); }

CKvnXMLReader::~CKvnXMLReader() = default;

void CKvnXMLReader::Reset() {
  m_pRoot = std::make_unique<CKvnXMLNode>(L"#DOCROOT", nullptr, XML_NODE_ELEMENT);
  m_bLoaded = FALSE;
  m_parseError = ParseError();
  SetUserDefaultLocale();
}

int CKvnXMLReader::Load(const WCHAR *path) {
  Reset();
  if (!m_pRoot) return XML_LOAD_NO_ROOT;
  unique_hfile file(
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return XML_LOAD_CANNOT_OPEN;
  DWORD high = 0;
  DWORD size = GetFileSize(file.get(), &high);
  // Files of 4 GiB or more are refused rather than read short.
  if ((size == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) || high != 0) return XML_LOAD_CANNOT_READ;
  std::vector<char> buffer;
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc &) {
    return XML_LOAD_CANNOT_READ;
  }
  DWORD read = 0;
  if (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !ReadFile(file.get(), buffer.data(), size, &read, nullptr) || read != size)
    return XML_LOAD_CANNOT_READ;
  if (!Parse(buffer.data(), buffer.size())) return XML_LOAD_REJECTED;
  m_bLoaded = TRUE;
  return XML_LOAD_OK;
}

bool CKvnXMLReader::Parse(const char *data, size_t size) {
  if (!ExpatIsUtf16() || size > size_t(INT_MAX)) {
    m_parseError.text = size > size_t(INT_MAX) ? L"file too large for the parser" : L"parser not built for UTF-16";
    return false;
  }
  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
  if (!parser) {
    m_parseError.text = L"out of memory";
    return false;
  }
  ParseCursor cursor;
  cursor.current = m_pRoot.get();
  XML_Parser p = parser.get();
  cursor.parser = p;
  XML_SetUserData(p, &cursor);
  XML_SetElementHandler(p, OnStartElement, OnEndElement);
  XML_SetCharacterDataHandler(p, OnCharacterData);
  XML_SetCdataSectionHandler(p, OnStartCdata, OnEndCdata);
  XML_SetUnknownEncodingHandler(p, OnUnknownEncoding, nullptr);
  // Entity expansion is bounded as Expat's defaults say (the protection is on by default;
  // set it explicitly so it cannot be lost to a build option).
  XML_SetBillionLaughsAttackProtectionMaximumAmplification(p, 100.0f);
  XML_SetBillionLaughsAttackProtectionActivationThreshold(p, 8 * 1024 * 1024);
  if (XML_Parse(p, data, int(size), XML_TRUE) != XML_STATUS_ERROR) return true;
  // Expat's messages are ASCII, whatever its character type.
  if (const XML_LChar *message = XML_ErrorString(XML_GetErrorCode(p)))
    for (const XML_LChar *c = message; *c; ++c) m_parseError.text += WCHAR(*c);
  m_parseError.line = unsigned(XML_GetCurrentLineNumber(p));
  m_parseError.column = unsigned(XML_GetCurrentColumnNumber(p)) + 1;
  return false;
}

CKvnXMLNode *CKvnXMLReader::FindChild(CKvnXMLNode *parent, const WCHAR *name, const WCHAR *attribute,
                                      const WCHAR *value) const {
  if (!m_bLoaded || !name) return nullptr;
  if (!parent) parent = m_pRoot.get();
  for (CKvnXMLNode *c = parent->GetFirstChild(); c; c = c->GetNextSibling()) {
    if (std::wcscmp(c->GetName(), name) != 0) continue;
    if (attribute && value) {
      const WCHAR *v = c->GetAttribute(attribute);
      if (!v || CStr(v).CompareNoCase(value) != 0) continue;
    }
    return c;
  }
  return nullptr;
}
