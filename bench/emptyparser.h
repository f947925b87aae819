// The floor of an XML parse: an Expat parser whose handlers do nothing, as the floors of the
// XML load and of initialisation parse their files.
#pragma once

#include <expat.h>

#include <memory>

#include "bench.h"

namespace bench {

struct ParserFree {
  void operator()(XML_ParserStruct *p) const { XML_ParserFree(p); }
};
using EmptyParser = std::unique_ptr<XML_ParserStruct, ParserFree>;

inline void XMLCALL NoStart(void *, const XML_Char *, const XML_Char **) {}
inline void XMLCALL NoEnd(void *, const XML_Char *) {}
inline void XMLCALL NoText(void *, const XML_Char *, int) {}
inline void XMLCALL NoCdata(void *) {}

// A parser with the element, text and CDATA handlers set to do nothing; throws SetupError
// when Expat cannot make one.
inline EmptyParser NewEmptyParser() {
  EmptyParser parser(XML_ParserCreate(nullptr));
  if (!parser) throw SetupError("XML_ParserCreate failed");
  XML_SetElementHandler(parser.get(), NoStart, NoEnd);
  XML_SetCharacterDataHandler(parser.get(), NoText);
  XML_SetCdataSectionHandler(parser.get(), NoCdata, NoCdata);
  return parser;
}

}  // namespace bench
