#include "package/kvnxml.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "support/cstr.h"
#include "support/crtlocale.h"
#include "support/handles.h"

namespace {
// The first block holds a package file's whole tree; each later one is as large as all before.
constexpr size_t kFirstBlockBytes = 8192;

size_t Length(const XML_Char *s) {
  size_t n = 0;
  while (s && s[n]) ++n;
  return n;
}

// Expat's `n` characters written to `out` as WCHARs: the same units on Windows; UTF-16 code
// units joined into code points where WCHAR is 32 bits wide. Answers how many were written
// (at most `n`).
size_t Widen(const XML_Char *s, size_t n, WCHAR *out) {
  if constexpr (sizeof(XML_Char) == sizeof(WCHAR)) {
    if (n) std::wmemcpy(out, reinterpret_cast<const WCHAR *>(s), n);
    return n;
  } else {
    WCHAR *o = out;
    for (size_t i = 0; i < n; ++i) {
      uint32_t c = s[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
        ++i;
      }
      *o++ = WCHAR(c);
    }
    return size_t(o - out);
  }
}

// White space by the runtime's wide-character class; ASCII, the usual case, without the call.
bool IsSpace(XML_Char c) {
  if (c < 0x80) return c == ' ' || (c >= '\t' && c <= '\r');
  return std::iswspace(wint_t(c)) != 0;
}

// Expat's name for the same text ("SHIFT_JIS" comparisons).
bool EqualsNoCase(const XML_Char *s, const WCHAR *text) {
  size_t n = Length(s);
  std::wstring wide(n, L'\0');
  wide.resize(Widen(s, n, wide.data()));
  return CStr(wide.c_str()).CompareNoCase(text) == 0;
}

// The line breaks from `p` up to `to` as Expat counts them (LF, CR, and CR LF as one), in
// bytes that end at `end`.
size_t LineBreaks(const char *p, const char *to, const char *end) {
  size_t n = 0;
  for (const void *q = p; (q = std::memchr(q, '\n', size_t(to - static_cast<const char *>(q))));
       q = static_cast<const char *>(q) + 1)
    ++n;
  for (const void *q = p; (q = std::memchr(q, '\r', size_t(to - static_cast<const char *>(q))));) {
    const char *cr = static_cast<const char *>(q);
    if (cr + 1 == end || cr[1] != '\n') ++n;
    q = cr + 1;
  }
  return n;
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

// ---- the arena ---------------------------------------------------------------------------------

void *CKvnXMLArena::Allocate(size_t bytes, size_t align) {
  size_t pad = (align - (reinterpret_cast<std::uintptr_t>(m_pNext) & (align - 1))) & (align - 1);
  if (size_t(m_pEnd - m_pNext) < pad || size_t(m_pEnd - m_pNext) - pad < bytes) {
    // Blocks start aligned for anything.
    size_t size = std::max({kFirstBlockBytes, m_nAllocated, bytes});
    m_blocks.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
    m_nAllocated += size;
    m_pNext = m_blocks.back().get();
    m_pEnd = m_pNext + size;
    pad = 0;
  }
  m_pLast = m_pNext + pad;
  m_pNext = m_pLast + bytes;
  return m_pLast;
}

bool CKvnXMLArena::Resize(const void *p, size_t bytes) {
  if (!p || p != m_pLast || size_t(m_pEnd - m_pLast) < bytes) return false;
  m_pNext = m_pLast + bytes;
  return true;
}

void CKvnXMLArena::Clear() {
  m_blocks.clear();
  m_pLast = m_pNext = m_pEnd = nullptr;
  m_nAllocated = 0;
}

// ---- the tree ----------------------------------------------------------------------------------

// Builds a document's tree in its arena from Expat's callbacks, carrying the state of one
// parse from one callback to the next.
class XmlTreeBuilder {
 public:
  // Registers the callbacks on `parser`, which is to parse the `size` bytes at `data` under
  // `root`, with this builder as their data.
  XmlTreeBuilder(CKvnXMLArena &arena, XML_Parser parser, CKvnXMLNode *root, const char *data, size_t size)
      : m_arena(arena), m_parser(parser), m_pCurrent(root), m_pData(data), m_nSize(size) {
    // Expat decides UTF-16 by these first bytes; there a line break is no single byte.
    const auto *u = reinterpret_cast<const unsigned char *>(data);
    if (size >= 2 && (u[0] == 0 || u[1] == 0 || (u[0] == 0xFE && u[1] == 0xFF) || (u[0] == 0xFF && u[1] == 0xFE)))
      m_pData = nullptr;
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, OnStartElement, OnEndElement);
    XML_SetCharacterDataHandler(parser, OnCharacterData);
    XML_SetCdataSectionHandler(parser, OnStartCdata, OnEndCdata);
    XML_SetUnknownEncodingHandler(parser, OnEncoding, this);
  }

  static CKvnXMLNode *NewNode(CKvnXMLArena &arena, const WCHAR *name, const WCHAR *const *attributes, int kind) {
    return new (arena.Allocate(sizeof(CKvnXMLNode), alignof(CKvnXMLNode))) CKvnXMLNode(name, attributes, kind);
  }

 private:
  static XmlTreeBuilder &Of(void *data) { return *static_cast<XmlTreeBuilder *>(data); }

  // A terminated copy of Expat's `n` characters in the arena; `*length` gets its length.
  const WCHAR *Copy(const XML_Char *s, size_t n, size_t *length = nullptr) {
    auto *out = static_cast<WCHAR *>(m_arena.Allocate((n + 1) * sizeof(WCHAR), alignof(WCHAR)));
    size_t written = Widen(s, n, out);
    out[written] = L'\0';
    if (written < n) static_cast<void>(m_arena.Resize(out, (written + 1) * sizeof(WCHAR)));
    if (length) *length = written;
    return out;
  }

  // Names and attribute values recur throughout a document: one stored copy serves every
  // node, as far as a small table of the latest ones remembers it. A table entry holds a text
  // whose WCHARs are Expat's units (none with surrogates joined), so the units compare.
  const WCHAR *Shared(const XML_Char *s) {
    size_t n = Length(s);
    if (!n) return Copy(s, 0);
    SharedText &slot = m_shared[(n * 31 + size_t(s[0]) * 7 + size_t(s[n / 2]) * 3 + size_t(s[n - 1])) % kSharedSlots];
    if (slot.length == n && std::equal(s, s + n, slot.text)) return slot.text;
    size_t length = 0;
    const WCHAR *copy = Copy(s, n, &length);
    if (length == n) slot = {copy, n};
    return copy;
  }

  // The node's text followed by Expat's `n` characters: grown where it lies when nothing was
  // allocated after it (the pieces of one text follow each other), else copied.
  void AppendText(CKvnXMLNode *node, const XML_Char *s, size_t n) {
    size_t old = node->m_nTextLength;
    WCHAR *text = node->m_pszText;
    if (!m_arena.Resize(text, (old + n + 1) * sizeof(WCHAR))) {
      auto *moved = static_cast<WCHAR *>(m_arena.Allocate((old + n + 1) * sizeof(WCHAR), alignof(WCHAR)));
      if (old) std::wmemcpy(moved, text, old);
      text = moved;
    }
    size_t length = old + Widen(s, n, text + old);
    text[length] = L'\0';
    if (length < old + n) static_cast<void>(m_arena.Resize(text, (length + 1) * sizeof(WCHAR)));
    node->m_pszText = text;
    node->m_nTextLength = length;
  }

  // Links `child` under `parent`: as the first child, or directly after it.
  static CKvnXMLNode *AddChild(CKvnXMLNode *parent, CKvnXMLNode *child) {
    child->m_pParent = parent;
    if (!parent->m_pFirstChild) {
      parent->m_pFirstChild = child;
    } else {
      child->m_pNextSibling = parent->m_pFirstChild->m_pNextSibling;
      parent->m_pFirstChild->m_pNextSibling = child;
    }
    return child;
  }

  // The line of the event being reported, as Expat gives it. Expat walks the text again
  // character by character for it; where every line break is a byte of its own (each encoding
  // but UTF-16 and a double-byte one) they are counted in the buffer instead, from the byte
  // the last count reached to the event's, which Expat reports for events within entities
  // too (the reference's).
  unsigned CurrentLine() {
    if (!m_pData) return unsigned(XML_GetCurrentLineNumber(m_parser));
    XML_Index at = XML_GetCurrentByteIndex(m_parser);
    if (at > XML_Index(m_nCounted) && at <= XML_Index(m_nSize)) {
      m_nLineBreaks += LineBreaks(m_pData + m_nCounted, m_pData + at, m_pData + m_nSize);
      m_nCounted = size_t(at);
    }
    return unsigned(m_nLineBreaks + 1);
  }

  // Line breaks are counted by Expat from here on: the document's encoding is one of its
  // own, the double-byte one.
  static int XMLCALL OnEncoding(void *data, const XML_Char *name, XML_Encoding *info) {
    Of(data).m_pData = nullptr;
    return OnUnknownEncoding(nullptr, name, info);
  }

  void Leave() {
    if (m_pCurrent->m_pParent) m_pCurrent = m_pCurrent->m_pParent;
  }

  static void XMLCALL OnStartElement(void *data, const XML_Char *name, const XML_Char **attributes) {
    XmlTreeBuilder &b = Of(data);
    b.m_bCollecting = true;
    b.m_bTextPending = true;
    size_t count = 0;
    while (attributes && attributes[count]) ++count;
    count -= count % 2;  // a name without its value
    const WCHAR **texts = nullptr;
    if (count) {
      texts = static_cast<const WCHAR **>(b.m_arena.Allocate((count + 1) * sizeof(WCHAR *), alignof(WCHAR *)));
      for (size_t i = 0; i < count; ++i) texts[i] = b.Shared(attributes[i]);
      texts[count] = nullptr;
    }
    CKvnXMLNode *node = NewNode(b.m_arena, b.Shared(name), texts, XML_NODE_ELEMENT);
    node->m_nLine = b.CurrentLine();
    b.m_pCurrent = AddChild(b.m_pCurrent, node);
  }

  static void XMLCALL OnEndElement(void *data, const XML_Char *) { Of(data).Leave(); }

  // Most pieces outside CDATA are dropped (the white space between elements): each is judged
  // by its first unit before it is converted. A high surrogate there is no space either way.
  static void XMLCALL OnCharacterData(void *data, const XML_Char *s, int length) {
    XmlTreeBuilder &b = Of(data);
    if (length <= 0) return;
    if (b.m_bInCdata) {
      b.AppendText(b.m_pCurrent, s, size_t(length));
      return;
    }
    if (!b.m_bCollecting) return;
    bool startsWithSpace = IsSpace(s[0]);
    if (b.m_bTextPending) {
      if (startsWithSpace) {
        // An element whose text begins with white space gets no text at all.
        b.m_bCollecting = false;
        return;
      }
      b.m_bTextPending = false;
      if (b.m_pCurrent->m_pFirstChild) {
        // The piece is dropped, and with it the pieces that would continue it: they must not
        // reach an earlier text node, which may be another element's.
        b.m_pLastText = nullptr;
        return;
      }
      b.m_pLastText = AddChild(b.m_pCurrent, NewNode(b.m_arena, L"#TEXT", nullptr, XML_NODE_TEXT));
      b.AppendText(b.m_pLastText, s, size_t(length));
      return;
    }
    if (startsWithSpace || !b.m_pLastText) return;
    b.AppendText(b.m_pLastText, s, size_t(length));
  }

  static void XMLCALL OnStartCdata(void *data) {
    XmlTreeBuilder &b = Of(data);
    b.m_bCollecting = true;
    b.m_bInCdata = true;
    b.m_pCurrent = AddChild(b.m_pCurrent, NewNode(b.m_arena, L"#CDATA", nullptr, XML_NODE_TEXT));
  }

  static void XMLCALL OnEndCdata(void *data) {
    XmlTreeBuilder &b = Of(data);
    b.m_bInCdata = false;
    b.m_bCollecting = false;
    b.Leave();
  }

  static constexpr size_t kSharedSlots = 256;
  struct SharedText {
    const WCHAR *text = nullptr;
    size_t length = 0;  // 0 for an empty entry
  };

  CKvnXMLArena &m_arena;
  XML_Parser m_parser;
  CKvnXMLNode *m_pCurrent;    // the node new children are linked under
  bool m_bCollecting = true;  // character data may still be taken for the current element
  bool m_bInCdata = false;
  bool m_bTextPending = false;         // the current element has not yet received its text node
  CKvnXMLNode *m_pLastText = nullptr;  // the "#TEXT" node further character data continues
  SharedText m_shared[kSharedSlots];
  // The bytes being parsed while their line breaks are counted here (null: Expat counts).
  const char *m_pData = nullptr;
  size_t m_nSize = 0;
  size_t m_nCounted = 0;  // bytes whose line breaks are in m_nLineBreaks
  size_t m_nLineBreaks = 0;
};

const WCHAR *CKvnXMLNode::GetAttribute(const WCHAR *name) const {
  if (!name || !m_ppAttributes) return nullptr;
  for (const WCHAR *const *a = m_ppAttributes; a[0]; a += 2)
    if (std::wcscmp(a[0], name) == 0) return a[1];
  return nullptr;
}

CKvnXMLNode *CKvnXMLNode::FindChild(const WCHAR *name) const {
  if (!name) return nullptr;
  for (CKvnXMLNode *c = m_pFirstChild; c; c = c->m_pNextSibling)
    if (std::wcscmp(c->m_pszName, name) == 0) return c;
  return nullptr;
}

const WCHAR *XmlNodeText(const CKvnXMLNode *node) {
  const CKvnXMLNode *first = node ? node->GetFirstChild() : nullptr;
  return first && first->GetKind() == XML_NODE_TEXT ? first->GetText() : nullptr;
}

// ---- the reader --------------------------------------------------------------------------------

CKvnXMLReader::CKvnXMLReader() { Reset(); }

CKvnXMLReader::~CKvnXMLReader() = default;

void CKvnXMLReader::Reset() {
  m_pRoot = nullptr;
  m_arena.Clear();
  m_pRoot = XmlTreeBuilder::NewNode(m_arena, L"#DOCROOT", nullptr, XML_NODE_ELEMENT);
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
  if (SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return XML_LOAD_CANNOT_READ;
  int result = Parse(file.get(), size);
  m_bLoaded = result == XML_LOAD_OK;
  return result;
}

int CKvnXMLReader::Parse(HANDLE file, DWORD size) {
  if (!ExpatIsUtf16() || size > DWORD(INT_MAX)) {
    m_parseError.text = size > DWORD(INT_MAX) ? L"file too large for the parser" : L"parser not built for UTF-16";
    return XML_LOAD_REJECTED;
  }
  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
  if (!parser) {
    m_parseError.text = L"out of memory";
    return XML_LOAD_REJECTED;
  }
  XML_Parser p = parser.get();
  // The file is read straight into the parser's buffer, where Expat would copy it anyway.
  char *buffer = static_cast<char *>(XML_GetBuffer(p, int(size)));
  DWORD read = 0;
  if ((!buffer && size) || !ReadFile(file, buffer, size, &read, nullptr) || read != size) return XML_LOAD_CANNOT_READ;
  XmlTreeBuilder builder(m_arena, p, m_pRoot, buffer, size);
  // Entity expansion is bounded as Expat's defaults say (the protection is on by default;
  // set it explicitly so it cannot be lost to a build option).
  XML_SetBillionLaughsAttackProtectionMaximumAmplification(p, 100.0f);
  XML_SetBillionLaughsAttackProtectionActivationThreshold(p, 8 * 1024 * 1024);
  if (XML_ParseBuffer(p, int(size), XML_TRUE) != XML_STATUS_ERROR) return XML_LOAD_OK;
  // Expat's messages are ASCII, whatever its character type.
  if (const XML_LChar *message = XML_ErrorString(XML_GetErrorCode(p)))
    for (const XML_LChar *c = message; *c; ++c) m_parseError.text += WCHAR(*c);
  m_parseError.line = unsigned(XML_GetCurrentLineNumber(p));
  m_parseError.column = unsigned(XML_GetCurrentColumnNumber(p)) + 1;
  return XML_LOAD_REJECTED;
}

CKvnXMLNode *CKvnXMLReader::FindChild(CKvnXMLNode *parent, const WCHAR *name, const WCHAR *attribute,
                                      const WCHAR *value) const {
  if (!m_bLoaded || !name) return nullptr;
  if (!parent) parent = m_pRoot;
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
