// The XML document model of the package files: CKvnXMLReader owns one document parsed by
// Expat, CKvnXMLNode is one node of its tree. The model keeps element names, attributes and
// text only. A parent's later children are linked directly after its first child, so a walk
// by first child and next sibling sees the first child, then the others in reverse document
// order: package files in the field are read in exactly this order.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

enum XmlNodeKind { XML_NODE_NONE = -1, XML_NODE_ELEMENT = 0, XML_NODE_TEXT = 1 };

// The storage of one document: its nodes and their names, attribute arrays and texts are
// carved one after another out of a few large blocks, and all of it is freed at once with
// the arena. No part of a document is freed on its own, so the order in which a node's text,
// children, siblings, attributes and name go is not observable: they all go together, when
// the document is reset or destroyed, and nothing that points into it may be used after.
class CKvnXMLArena {
 public:
  CKvnXMLArena() = default;
  CKvnXMLArena(const CKvnXMLArena &) = delete;
  CKvnXMLArena &operator=(const CKvnXMLArena &) = delete;

  // `bytes` of uninitialised storage aligned to `align` (a power of two at most that of
  // std::max_align_t); throws std::bad_alloc as new does.
  void *Allocate(size_t bytes, size_t align);
  // Makes the most recent allocation, `p`, `bytes` long where it lies (shorter, or longer when
  // its block has room). False, nothing changed, for any other `p` or when there is no room.
  bool Resize(const void *p, size_t bytes);
  // Frees every block: everything allocated so far goes.
  void Clear();

 private:
  std::vector<std::unique_ptr<std::byte[]>> m_blocks;
  std::byte *m_pLast = nullptr;  // the most recent allocation
  std::byte *m_pNext = nullptr;  // the free room of the newest block, up to m_pEnd
  std::byte *m_pEnd = nullptr;
  size_t m_nAllocated = 0;  // bytes of all blocks: the next block is as large, so blocks double
};

class CKvnXMLNode {
 public:
  CKvnXMLNode(const CKvnXMLNode &) = delete;
  CKvnXMLNode &operator=(const CKvnXMLNode &) = delete;

  int GetKind() const { return m_nKind; }
  const WCHAR *GetName() const { return m_pszName; }
  // The text of a text node; null when the node has none.
  const WCHAR *GetText() const { return m_pszText; }
  CKvnXMLNode *GetFirstChild() const { return m_pFirstChild; }
  CKvnXMLNode *GetNextSibling() const { return m_pNextSibling; }
  CKvnXMLNode *GetParent() const { return m_pParent; }

  // The value of the first attribute named exactly `name`, or null.
  const WCHAR *GetAttribute(const WCHAR *name) const;
  // The first child in tree order named exactly `name`, or null.
  CKvnXMLNode *FindChild(const WCHAR *name) const;
  // The line of the file where the element starts (1-based; 0 for nodes not read from a file).
  unsigned GetLine() const { return m_nLine; }

 private:
  // Nodes are made and linked only by their document's builder, in the document's arena, and
  // never destroyed on their own: they own nothing, every part of them is in the arena.
  friend class XmlTreeBuilder;
  CKvnXMLNode(const WCHAR *name, const WCHAR *const *attributes, int kind) noexcept
      : m_nKind(kind), m_pszName(name), m_ppAttributes(attributes) {}
  ~CKvnXMLNode() = default;

  int m_nKind;
  unsigned m_nLine = 0;
  const WCHAR *m_pszName;
  const WCHAR *const *m_ppAttributes;  // name, value, name, value, ..., null; null when none
  WCHAR *m_pszText = nullptr;          // terminated; null when the node has no text
  size_t m_nTextLength = 0;
  CKvnXMLNode *m_pNextSibling = nullptr;
  CKvnXMLNode *m_pFirstChild = nullptr;
  CKvnXMLNode *m_pParent = nullptr;
};

// Results of CKvnXMLReader::Load.
enum XmlLoadResult {
  XML_LOAD_OK = 0,
  XML_LOAD_NO_ROOT = 1,
  XML_LOAD_CANNOT_OPEN = 3,
  XML_LOAD_CANNOT_READ = 4,
  XML_LOAD_REJECTED = 5,
};

class CKvnXMLReader {
 public:
  CKvnXMLReader();
  virtual ~CKvnXMLReader();
  CKvnXMLReader(const CKvnXMLReader &) = delete;
  CKvnXMLReader &operator=(const CKvnXMLReader &) = delete;

  // Discards the document and starts an empty one; sets the process's runtime locale to
  // the user's default (it decides the SHIFT_JIS conversion).
  void Reset();
  // Reads and parses a whole file: one of XmlLoadResult. A failed load leaves the reader
  // not loaded; its searches then find nothing.
  [[nodiscard]] int Load(const WCHAR *path);
  BOOL IsLoaded() const { return m_bLoaded; }
  // Why the last Load answered XML_LOAD_REJECTED: Expat's message and where it stopped
  // (line and column 1-based; 0 when the parser never started). Empty after any other result.
  struct ParseError {
    std::wstring text;
    unsigned line = 0, column = 0;
  };
  const ParseError &GetParseError() const { return m_parseError; }
  // The "#DOCROOT" node; it and every node under it live until the next Reset or Load.
  CKvnXMLNode *GetRoot() const { return m_pRoot; }
  // Under `parent` (the root when null), the first child in tree order named exactly
  // `name` and, when both are given, whose attribute `attribute` equals `value` without
  // regard to case. Null when not loaded or nothing matches.
  CKvnXMLNode *FindChild(CKvnXMLNode *parent, const WCHAR *name, const WCHAR *attribute = nullptr,
                         const WCHAR *value = nullptr) const;

 private:
  // Reads the `size` bytes of `file` from where it stands and parses them: one of
  // XmlLoadResult.
  [[nodiscard]] int Parse(HANDLE file, DWORD size);

  CKvnXMLArena m_arena;  // the document: the root and every node under it
  CKvnXMLNode *m_pRoot = nullptr;
  BOOL m_bLoaded = FALSE;
  ParseError m_parseError;
};

// The text of a node's first child when that child is a text node ("#TEXT" or "#CDATA"),
// else null.
const WCHAR *XmlNodeText(const CKvnXMLNode *node);
