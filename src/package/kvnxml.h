// CKvnXMLReader: the parsed XML document of a package file. The document model over
// Expat is built with the package readers; until then a document is never created.
#pragma once

class CKvnXMLReader {
 public:
  virtual ~CKvnXMLReader() = default;
};
