// The INF as SetupAPI reads it: opened as the component opens it, its section names listed as
// the component lists them, every line and field read through SetupAPI (strings substituted).
// SetupAPI gives no file line numbers, so the file's own text is scanned for where each
// section starts and where its lines are, only to place the findings.
#include <windows.h>
#include <setupapi.h>

#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "checks.h"
#include "driverinstall/inf.h"
#include "support/handles.h"

namespace lint {

const InfLine *InfSection::First(const std::wstring &key) const {
  for (const InfLine &line : lines)
    if (line.hasKey && EqualNoCase(line.key, key)) return &line;
  return nullptr;
}

const InfSection *InfFacts::Find(const std::wstring &name) const {
  for (const InfSection &section : sections)
    if (EqualNoCase(section.name, name)) return &section;
  return nullptr;
}

const InfLine *InfFacts::First(const std::wstring &section, const std::wstring &key) const {
  const InfSection *s = Find(section);
  return s ? s->First(key) : nullptr;
}

namespace {

// Where each section's header and content lines are in the file's text (UTF-16 with its byte
// order mark, else bytes taken one by one: only the places are wanted, and the ASCII marks).
struct TextPlaces {
  struct Section {
    unsigned header = 0;
    std::vector<std::pair<unsigned, std::wstring>> lines;  // file line, its text
  };
  std::map<std::wstring, Section> sections;  // by upcased name
};

std::wstring ReadText(const std::wstring &path) {
  std::wstring text;
  unique_hfile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return text;
  DWORD high = 0, size = GetFileSize(file.get(), &high);
  if (size == INVALID_FILE_SIZE || high) return text;
  std::string bytes(size, '\0');
  DWORD read = 0;
  if (size && (!ReadFile(file.get(), bytes.data(), size, &read, nullptr) || read != size)) return text;
  if (size >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text += wchar_t((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8));
  } else {
    text.reserve(bytes.size());
    for (char c : bytes) text += wchar_t((unsigned char)c);
  }
  return text;
}

TextPlaces PlaceLines(const std::wstring &text) {
  TextPlaces places;
  TextPlaces::Section *current = nullptr;
  unsigned number = 0;
  bool continued = false;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    // The line without its comment (a ';' outside quotes) and surrounding blanks.
    bool quoted = false;
    size_t cut = line.size();
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == L'"') quoted = !quoted;
      if (line[i] == L';' && !quoted) {
        cut = i;
        break;
      }
    }
    std::wstring body = line.substr(0, cut);
    size_t first = body.find_first_not_of(L" \t\r\f\v");
    size_t last = body.find_last_not_of(L" \t\r\f\v");
    body = first == std::wstring::npos ? L"" : body.substr(first, last - first + 1);
    const bool wasContinued = continued;
    continued = !body.empty() && body.back() == L'\\';
    if (wasContinued || body.empty()) {
      if (end == text.size()) break;
      continue;
    }
    if (body[0] == L'[') {
      size_t close = body.find(L']');
      std::wstring name = body.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
      current = &places.sections[Upper(name)];
      if (!current->header) current->header = number;
      continued = false;
    } else if (current) {
      current->lines.push_back({number, line});
    }
    if (end == text.size()) break;
  }
  return places;
}

// A field's text through the two-call sizing SetupAPI documents.
bool FieldText(INFCONTEXT &context, DWORD index, std::wstring &out) {
  DWORD needed = 0;
  if (!SetupGetStringFieldW(&context, index, nullptr, 0, &needed) || needed == 0) return false;
  std::wstring buffer(needed, L'\0');
  if (!SetupGetStringFieldW(&context, index, buffer.data(), needed, &needed)) return false;
  buffer.resize(needed ? needed - 1 : 0);
  out = std::move(buffer);
  return true;
}

}  // namespace

InfFacts ReadInf(const Package &package, const std::wstring &name) {
  InfFacts inf;
  inf.file = Narrow(name);
  const std::wstring path = package.PathOf(name);
  UINT errorLine = 0;
  unique_hinf handle(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
  if (!handle) {
    inf.openError = GetLastError();
    inf.errorLine = errorLine;
    return inf;
  }
  inf.open = true;
  const std::wstring text = ReadText(path);
  const TextPlaces places = PlaceLines(text);
  // The section-name list holds every name with its terminator: the file's size bounds it.
  const CStrList names = ReadSectionNames(path.c_str(), DWORD(text.size() + 2));
  for (const CStr &sectionName : names) {
    InfSection section;
    section.name = sectionName.GetString();
    auto placed = places.sections.find(Upper(section.name));
    if (placed != places.sections.end()) section.headerLine = placed->second.header;
    INFCONTEXT context;
    size_t index = 0;
    for (BOOL more = SetupFindFirstLineW(handle.get(), section.name.c_str(), nullptr, &context); more;
         more = SetupFindNextLine(&context, &context), ++index) {
      InfLine line;
      line.hasKey = FieldText(context, 0, line.key);
      const DWORD count = SetupGetFieldCount(&context);
      for (DWORD f = 1; f <= count; ++f) {
        std::wstring field;
        FieldText(context, f, field);
        line.fields.push_back(std::move(field));
      }
      if (placed != places.sections.end() && index < placed->second.lines.size()) {
        line.fileLine = placed->second.lines[index].first;
        line.raw = placed->second.lines[index].second;
      } else {
        line.fileLine = section.headerLine;
      }
      section.lines.push_back(std::move(line));
    }
    inf.sections.push_back(std::move(section));
  }
  return inf;
}

}  // namespace lint
