// The XML document model of the package files: CKvnXMLReader owns one document parsed by
// Expat, CKvnXMLNode is one node of its tree. The model keeps element names, attributes and
// text only. A parent's later children are linked directly after its first child, so a walk
// by first child and next sibling sees the first child, then the others in reverse document
// order: package files in the field are read in exactly this order.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

enum XmlNodeKind { XML_NODE_NONE = -1, XML_NODE_ELEMENT = 0, XML_NODE_TEXT = 1 };

class CKvnXMLNode {
 public:
  // `attributes`: name, value, name, value, ..., ended by a null entry (may be null).
  CKvnXMLNode(const WCHAR *name, const WCHAR *const *attributes, int kind = XML_NODE_NONE);
  // The same from texts the caller gives up: `attributes` holds name, value, name, value, ...
  CKvnXMLNode(std::wstring name, std::vector<std::wstring> attributes, int kind);
  // Frees the node's subtree and the siblings after it (without recursion: documents may
  // nest and chain arbitrarily deep).
  virtual ~CKvnXMLNode();
  CKvnXMLNode(const CKvnXMLNode &) = delete;
  CKvnXMLNode &operator=(const CKvnXMLNode &) = delete;

  int GetKind() const { return m_nKind; }
  const WCHAR *GetName() const { return m_strName.c_str(); }
  // The text of a text node; null when the node has none.
  const WCHAR *GetText() const { return m_bHasText ? m_strText.c_str() : nullptr; }
  CKvnXMLNode *GetFirstChild() const { return m_pFirstChild.get(); }
  CKvnXMLNode *GetNextSibling() const { return m_pNextSibling.get(); }
  CKvnXMLNode *GetParent() const { return m_pParent; }
  int GetAttributeCount() const { return int(m_attributes.size() / 2); }

  // Replaces the text with the first `count` characters of `text`.
  void SetText(const WCHAR *text, size_t count);
  void AppendText(const WCHAR *text, size_t count);
  // The value of the first attribute named exactly `name`, or null.
  const WCHAR *GetAttribute(const WCHAR *name) const;
  // The first child in tree order named exactly `name`, or null.
  CKvnXMLNode *FindChild(const WCHAR *name) const;
  // The line of the file where the element starts (1-based; 0 for nodes not read from a file).
  unsigned GetLine() const { return m_nLine; }
  void SetLine(unsigned line) { m_nLine = line; }
  // Links `child` under this node: as the first child, or directly after it. Answers the
  // child, which the tree now owns.
  CKvnXMLNode *AddChild(std::unique_ptr<CKvnXMLNode> child);

 private:
  int m_nKind;
  std::wstring m_strName;
  std::vector<std::wstring> m_attributes;  // name, value, name, value, ...
  bool m_bHasText = false;
  std::wstring m_strText;
  std::unique_ptr<CKvnXMLNode> m_pNextSibling;
  std::unique_ptr<CKvnXMLNode> m_pFirstChild;
  CKvnXMLNode *m_pParent = nullptr;
  unsigned m_nLine = 0;
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
  CKvnXMLNode *GetRoot() const { return m_pRoot.get(); }
  // Under `parent` (the root when null), the first child in tree order named exactly
  // `name` and, when both are given, whose attribute `attribute` equals `value` without
  // regard to case. Null when not loaded or nothing matches.
  CKvnXMLNode *FindChild(CKvnXMLNode *parent, const WCHAR *name, const WCHAR *attribute = nullptr,
                         const WCHAR *value = nullptr) const;

 private:
  [[nodiscard]] bool Parse(const char *data, size_t size);

  std::unique_ptr<CKvnXMLNode> m_pRoot;
  BOOL m_bLoaded = FALSE;
  ParseError m_parseError;
};

// The text of a node's first child when that child is a text node ("#TEXT" or "#CDATA"),
// else null.
const WCHAR *XmlNodeText(const CKvnXMLNode *node);
