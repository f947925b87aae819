// CKvnXMLReader and CKvnXMLNode: load results, encodings, the order of children, searches,
// the text rules, SHIFT_JIS documents and hostile input.
#include "package/kvnxml.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "testmachine.h"
#include "xmltext.h"

namespace {
const std::wstring kFile = L"C:\\Package\\doc.xml";

std::vector<std::wstring> ChildNames(const CKvnXMLNode *node) {
  std::vector<std::wstring> names;
  for (const CKvnXMLNode *c = node->GetFirstChild(); c; c = c->GetNextSibling()) names.push_back(c->GetName());
  return names;
}

int LoadText(const TestMachine &machine, CKvnXMLReader &reader, const std::string &content) {
  machine.Write(kFile, content);
  return reader.Load(kFile.c_str());
}

std::string Declared(const char *encoding, const std::string &body) {
  return std::string("<?xml version=\"1.0\" encoding=\"") + encoding + "\"?>" + body;
}

TEST(XmlReader, LoadResultsAndAFailedLoadFindsNothing) {
  const struct {
    std::optional<std::string> content;  // none: no file
    int result;
  } cases[] = {
      {"<a><b/></a>", XML_LOAD_OK},
      {"\xEF\xBB\xBF" + Declared("UTF-8", "<a/>"), XML_LOAD_OK},
      {Declared("ISO-8859-1", "<a>\xE9</a>"), XML_LOAD_OK},
      {Declared("US-ASCII", "<a/>"), XML_LOAD_OK},
      {std::nullopt, XML_LOAD_CANNOT_OPEN},
      {"<a><b></a>", XML_LOAD_REJECTED},
      {"<a><b/>", XML_LOAD_REJECTED},  // a valid beginning leaves no partial tree behind
      {"<a/><b/>", XML_LOAD_REJECTED},
      {"", XML_LOAD_REJECTED},
      {"\xEF\xBB\xBF", XML_LOAD_REJECTED},
      {"\xFF\xFE", XML_LOAD_REJECTED},
      {Declared("KOI8-R", "<a/>"), XML_LOAD_REJECTED},
      {Declared("windows-1252", "<a/>"), XML_LOAD_REJECTED},
      {Declared("Shift-JIS", "<a/>"), XML_LOAD_REJECTED},
      {Declared("UTF-16", "<a/>"), XML_LOAD_REJECTED},  // over UTF-8 bytes
      {"<a>\xC3\x28</a>", XML_LOAD_REJECTED},
  };
  TestMachine machine;
  machine.Write(L"C:\\good.xml", "<a><b/></a>");
  CKvnXMLReader reader;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.content.value_or("(no file)"));
    ASSERT_EQ(reader.Load(L"C:\\good.xml"), XML_LOAD_OK);  // a failed load must not keep it
    DeleteFileW(kFile.c_str());
    if (c.content) machine.Write(kFile, *c.content);
    EXPECT_EQ(reader.Load(kFile.c_str()), c.result);
    EXPECT_EQ(reader.IsLoaded() != FALSE, c.result == XML_LOAD_OK);
    if (c.result == XML_LOAD_OK) continue;
    EXPECT_EQ(reader.FindChild(nullptr, L"a"), nullptr);
    EXPECT_EQ(reader.FindChild(reader.GetRoot(), L"a"), nullptr);
  }
}

TEST(XmlReader, Utf16DocumentsInBothByteOrders) {
  const std::u16string body = u"<t a=\"\u00e9t\u00e9\">Gr\u00fc\u00dfe \u65e5\U0001F600</t>";
  const std::u16string declared = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + body;
  TestMachine machine;
  for (const std::string &bytes : {Utf16Bytes(body, false, true), Utf16Bytes(body, true, true),
                                   Utf16Bytes(declared, false, false), Utf16Bytes(declared, true, false)}) {
    SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 4)));
    CKvnXMLReader reader;
    ASSERT_EQ(LoadText(machine, reader, bytes), XML_LOAD_OK);
    CKvnXMLNode *t = reader.FindChild(nullptr, L"t");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(Show(XmlNodeText(t)), L"Gr\u00fc\u00dfe \u65e5\U0001F600");
    EXPECT_EQ(Show(t->GetAttribute(L"a")), L"\u00e9t\u00e9");
  }
}

TEST(XmlReader, LaterChildrenFollowTheFirstInReverseOrderAndSearchesFollowSuit) {
  TestMachine machine;
  CKvnXMLReader reader;
  ASSERT_EQ(LoadText(machine, reader,
                     "<r>\n <four><a/><b/><c/><d/></four>\n <three><x id=\"1\"/><y id=\"2\"/><y id=\"3\"/></three>\n"
                     " <e lang=\"en\" id=\"e1\"/><e lang=\"DE\" id=\"e2\"/><E lang=\"fr\" id=\"e3\"/>"
                     "<e LANG=\"it\" id=\"e4\"/><e lang=\"de\" id=\"e5\"/>\n</r>"),
            XML_LOAD_OK);
  CKvnXMLNode *r = reader.FindChild(nullptr, L"r");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(ChildNames(r), (std::vector<std::wstring>{L"four", L"e", L"e", L"E", L"e", L"e", L"three"}));
  EXPECT_EQ(ChildNames(reader.FindChild(r, L"four")), (std::vector<std::wstring>{L"a", L"d", L"c", L"b"}));
  CKvnXMLNode *three = reader.FindChild(r, L"three");
  EXPECT_EQ(ChildNames(three), (std::vector<std::wstring>{L"x", L"y", L"y"}));
  EXPECT_EQ(Show(reader.FindChild(three, L"y")->GetAttribute(L"id")), L"3");
  EXPECT_EQ(Show(three->FindChild(L"y")->GetAttribute(L"id")), L"3");
  const struct {
    const WCHAR *name, *attribute, *value, *id;  // id null: nothing found
  } cases[] = {
      {L"e", L"lang", L"EN", L"e1"},   {L"e", L"lang", L"De", L"e5"},   {L"e", L"lang", L"d", nullptr},
      {L"e", L"lang", L"fr", nullptr}, {L"E", L"lang", L"FR", L"e3"},   {L"e", L"lang", L"it", nullptr},
      {L"e", L"LANG", L"IT", L"e4"},   {L"e", nullptr, nullptr, L"e5"}, {L"R", nullptr, nullptr, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << Show(c.name) << " " << Show(c.attribute) << "=" << Show(c.value));
    CKvnXMLNode *found = reader.FindChild(r, c.name, c.attribute, c.value);
    EXPECT_EQ(Show(found ? found->GetAttribute(L"id") : nullptr), Show(c.id));
  }
  EXPECT_EQ(reader.FindChild(nullptr, L"e"), nullptr);  // a null parent is the document's root
}

TEST(XmlReader, TextRules) {
  const struct {
    const char *content;  // of <t>
    const WCHAR *text;    // XmlNodeText; null: none
  } cases[] = {
      {"x", L"x"},
      {"ab cd  ", L"ab cd  "},
      {"  x", nullptr},
      {"\tx", nullptr},
      {"&#32;x", nullptr},
      {"", nullptr},
      {"abc\ndef", L"abcdef"},
      {"abc\r\ndef\nghi", L"abcdefghi"},
      {"abc\n  def", L"abc"},
      {"a&amp;b", L"a&b"},
      {"&lt;b&gt;", L"<b>"},
      {"a &amp; b", L"a &"},
      {"<!-- note -->x", L"x"},
      {"<![CDATA[  x\n y]]>", L"  x\n y"},
      {"<![CDATA[a<b>&amp;]]>", L"a<b>&amp;"},
      {"\n  <![CDATA[ d ]]>\n", L" d "},
      {"<![CDATA[y]]>z", L"y"},
      {"x<![CDATA[y]]>", L"x"},
      {"x<c/>y", L"x"},
      {"x<c/>y&amp;z", L"x"},
      {"<c>x</c>", nullptr},
      {"  <c/>x", nullptr},
  };
  TestMachine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.content);
    CKvnXMLReader reader;
    for (int load = 0; load < 2; ++load) {  // the same on every load
      ASSERT_EQ(LoadText(machine, reader, std::string("<t>") + c.content + "</t>"), XML_LOAD_OK);
      EXPECT_EQ(Show(XmlNodeText(reader.FindChild(nullptr, L"t"))), Show(c.text));
    }
  }
  CKvnXMLReader reader;
  ASSERT_EQ(LoadText(machine, reader, "<t><u/>after<![CDATA[ y ]]></t>"), XML_LOAD_OK);
  CKvnXMLNode *t = reader.FindChild(nullptr, L"t");
  EXPECT_EQ(ChildNames(t), (std::vector<std::wstring>{L"u", L"#CDATA"}));  // "after" is dropped
  EXPECT_EQ(t->FindChild(L"#CDATA")->GetKind(), XML_NODE_TEXT);
  EXPECT_EQ(Show(t->FindChild(L"#CDATA")->GetText()), L" y ");
}

TEST(XmlReader, ShiftJisDocumentsFollowTheUsersLocale) {
  const struct {
    const char *locale, *bytes;
    std::wstring text;
    bool equal;  // false: the text must differ from `text`
  } cases[] = {
      {"ja-JP", "\x93\xFA\x96\x7B", L"\u65E5\u672C", true},
      {"ja-JP",
       "A\x82\xA0"
       "B",
       L"A\u3042B", true},
      {"ja-JP", "\xB1\xDF", L"\uFF71\uFF9F", true},  // half-width katakana
      {"ja-JP", "x\x85\x40y", L"x\uFFFDy", true},    // no such character
      {"en-US", "\x93\xFA\x96\x7B", L"\u65E5\u672C", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.locale << " " << testing::PrintToString(std::string(c.bytes)));
    TestMachine machine(std::string("[machine]\nuser_locale = \"") + c.locale + "\"\n");
    CKvnXMLReader reader;
    std::string b = c.bytes, name = c.equal ? "<\x93\xFA/>" : "";  // a kanji element name
    ASSERT_EQ(LoadText(machine, reader, Declared("Shift_JIS", "\n<r><t a=\"" + b + "\">" + b + "</t>" + name + "</r>")),
              XML_LOAD_OK);
    CKvnXMLNode *t = reader.FindChild(reader.FindChild(nullptr, L"r"), L"t");
    ASSERT_NE(t, nullptr);
    if (!c.equal) {
      EXPECT_NE(Show(XmlNodeText(t)), c.text);
      continue;
    }
    EXPECT_NE(reader.FindChild(reader.FindChild(nullptr, L"r"), L"\u65E5"), nullptr);
    EXPECT_EQ(Show(XmlNodeText(t)), c.text);
    EXPECT_EQ(Show(t->GetAttribute(L"a")), c.text);
  }
}

TEST(XmlReader, DeepNestingLongChainsBigValuesAndEntityBombs) {
  constexpr int kCount = 100000;
  TestMachine machine;
  std::string deep, wide = "<r>";
  for (int i = 0; i < kCount; ++i) deep += "<n>", wide += "<s/>";
  for (int i = 0; i < kCount; ++i) deep += "</n>";
  CKvnXMLReader reader;
  int result = LoadText(machine, reader, deep);  // either is fine; a crash is not
  EXPECT_TRUE(result == XML_LOAD_OK || result == XML_LOAD_REJECTED) << result;
  ASSERT_EQ(LoadText(machine, reader, wide + "</r>"), XML_LOAD_OK);  // frees the deep tree
  EXPECT_EQ(ChildNames(reader.FindChild(nullptr, L"r")).size(), size_t(kCount));

  const std::string big(1 << 20, 'v');
  ASSERT_EQ(LoadText(machine, reader, "<t a=\"" + big + "\">" + big + "</t>"), XML_LOAD_OK);
  CKvnXMLNode *t = reader.FindChild(nullptr, L"t");
  EXPECT_EQ(Show(t->GetAttribute(L"a")), std::wstring(big.size(), L'v'));
  EXPECT_EQ(Show(XmlNodeText(t)), std::wstring(big.size(), L'v'));

  std::string bomb = "<!DOCTYPE b [<!ENTITY l0 \"lollollollollollollollollollol\">";
  for (int i = 1; i <= 9; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "\">";
  }
  EXPECT_EQ(LoadText(machine, reader, bomb + "]><b>&l9;</b>"), XML_LOAD_REJECTED);
  EXPECT_EQ(LoadText(machine, reader, bomb + "]><b a=\"&l9;\"/>"), XML_LOAD_REJECTED);
}

// ---- readings package files rely on --------------------------------------------------------

// Character data after a child element continues the last text node, the child's: package
// files in the field are read this way, so the reading is kept. A piece dropped because its
// element already has a child takes the pieces after it along, so they reach no other text.
TEST(XmlReader, TextAfterAChildElementContinuesTheLastText) {
  const struct {
    const char *document;
    const WCHAR *element;  // under <t>; null: <t> itself
    const WCHAR *text;     // XmlNodeText; null: none
  } cases[] = {
      {"<t><c>x</c>y</t>", L"c", L"xy"},          {"<t><c>x</c>y&amp;z</t>", L"c", L"xy&z"},
      {"<t><b>x</b><c/>y&amp;z</t>", L"b", L"x"}, {"<t><b>x</b><c/>y&amp;z</t>", nullptr, nullptr},
      {"<t>Pkg<c/>y&amp;z</t>", nullptr, L"Pkg"}, {"<t>Pkg<c/>y&amp;z<d>w</d>v</t>", L"d", L"wv"},
  };
  TestMachine machine;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.document);
    CKvnXMLReader reader;
    ASSERT_EQ(LoadText(machine, reader, c.document), XML_LOAD_OK);
    CKvnXMLNode *t = reader.FindChild(nullptr, L"t");
    EXPECT_EQ(Show(XmlNodeText(c.element ? reader.FindChild(t, c.element) : t)), Show(c.text));
  }
}

// The line each element starts on, as Expat counts line breaks (LF, CR, CR LF), whatever the
// encoding; an element an entity brings in is on the line of the reference.
TEST(XmlReader, ElementsKnowTheLineTheyStartOn) {
  const std::u16string utf16 = u"<a>\n<b/>\r\n\r<c/>\u2028<d/></a>";
  const struct {
    std::string document;
    std::vector<unsigned> lines;  // of a, b, c, d
  } cases[] = {
      {"<a>\n<b/>\n\n<c/><d\n/></a>", {1, 2, 4, 4}},
      {"\n<a>\r\n<b/>\r\r\n<c/>\r<d/></a>", {2, 3, 5, 6}},
      {"<!DOCTYPE a [<!ENTITY e \"\n<c/>\n\">]>\n<a><b/>\n\n&e;<d/></a>", {4, 4, 6, 6}},
      {"<a x='\n'>\xC3\xA9\n<!-- \n -->\n<b/><![CDATA[\n]]><c/>\n<d/></a>", {1, 5, 6, 7}},
      {Declared("Shift_JIS", "\n<a>\x93\xFA\n<b/>\x82\xA0\r\n<c/>\n<d/></a>"), {2, 3, 4, 5}},
      {Utf16Bytes(utf16, false, true), {1, 2, 4, 4}},
      {Utf16Bytes(utf16, true, false), {1, 2, 4, 4}},
  };
  TestMachine machine("[machine]\nuser_locale = \"ja-JP\"\n");
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.document));
    CKvnXMLReader reader;
    ASSERT_EQ(LoadText(machine, reader, c.document), XML_LOAD_OK);
    CKvnXMLNode *a = reader.FindChild(nullptr, L"a");
    ASSERT_NE(a, nullptr);
    std::vector<unsigned> lines{a->GetLine()};
    for (const WCHAR *name : {L"b", L"c", L"d"}) {
      CKvnXMLNode *n = reader.FindChild(a, name);
      lines.push_back(n ? n->GetLine() : 0);
    }
    EXPECT_EQ(lines, c.lines);
  }
}

// Whether a text begins with white space must not depend on the host process's C locale.
TEST(XmlReader, WhiteSpaceDoesNotDependOnTheHostsLocale) {
  TestMachine machine("[machine]\nuser_locale = \"ja-JP\"\n");
  std::wstring texts[2];
  const char *saved = std::getenv("LC_ALL");
  std::string restore = saved ? saved : "";
  for (int i = 0; i < 2; ++i) {
    setenv("LC_ALL", i ? "C.UTF-8" : "C", 1);
    CKvnXMLReader reader;
    ASSERT_EQ(LoadText(machine, reader, "<t>\xE3\x80\x80x</t>"), XML_LOAD_OK);
    texts[i] = Show(XmlNodeText(reader.FindChild(nullptr, L"t")));
  }
  saved ? setenv("LC_ALL", restore.c_str(), 1) : unsetenv("LC_ALL");
  std::setlocale(LC_ALL, "");
  EXPECT_EQ(texts[0], texts[1]);
}
}  // namespace
