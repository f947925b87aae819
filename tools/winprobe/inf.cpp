#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "infshapes.h"
#include "probe.h"

namespace winprobe {
// ---- INF files -----------------------------------------------------------------------------
// A corpus of INF files, a driver package's and the cases of the INF syntax, each opened
// and walked section by section, line by line and field by field.
namespace {
struct InfCase {
  const char *name;
  std::string bytes;
  std::vector<std::pair<const wchar_t *, const wchar_t *>> lookups;  // section, key
  bool walk = true;  // false: only the open's answer and the profile's section list
};

std::string Utf16Le(const std::wstring &text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (wchar_t c : text) {
    char hi = char((unsigned(c) >> 8) & 0xFF), lo = char(unsigned(c) & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}

template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// A text of LF lines with CRLF line ends, as INF files are shipped.
std::string Crlf(const std::string &text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::wstring FromUtf8(const std::string &text) {
  std::wstring out(text.size(), L'\0');
  out.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()))));
  return out;
}

std::string Ansi1252(const std::wstring &text) {
  std::string out(text.size() * 2, '\0');
  out.resize(size_t(
      WideCharToMultiByte(1252, 0, text.data(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr)));
  return out;
}

// The folder of a driver package in the driver store.
std::wstring StorePackage() {
  WCHAR system[MAX_PATH] = L"";
  GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system) + L"\\DriverStore\\FileRepository\\kvnfilt.inf_amd64_5e2f3a9c0b1d4e87";
}

std::vector<InfCase> InfCorpus() {
  const std::string header = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
  const std::string strings =
      "[Strings]\nfoo=aaa\nbar=bbb\nloop=%loop2%\nloop2=%loop%\nper=1\ncent=2\nmydrive=\"C:\\\"\n";
  const std::string a255(255, 'a');
  std::string big = header + "[Big]\n";
  for (int i = 0; i < 2000; ++i) {
    std::string n = std::to_string(i);
    big.append("k").append(n).append("=").append(n).append("\n");
  }
  return {
      {"driver",
       "; a driver package\r\n[Version]\r\nSignature   = \"$Windows NT$\"\r\nClass       = Net\r\n"
       "ClassGUID   = {4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider    = %Intel%\r\n"
       "CatalogFile = z40e64.cat\r\nDriverVer   = 11/14/2026,1.12.150.0\r\n\r\n"
       "[Manufacturer]\r\n%Intel%     = Intel, NTamd64.6.1\r\n\r\n"
       "[Intel.NTamd64.6.1]\r\n%Z40E.DeviceDesc% = Z40E.ndi, PCI\\VEN_8086&DEV_1572&SUBSYS_00018086\r\n\r\n"
       "[Z40E.ndi]\r\nCharacteristics = 0x84 ; NCF_HAS_UI | NCF_PHYSICAL\r\nBusType = 5\r\n"
       "AddReg = z40e.reg\r\nCopyFiles = z40e.CopyFiles, @z40ecoin.dll\r\n\r\n"
       "[Z40E.ndi.Services]\r\nAddService = z40e, 2, z40e.Service, z40e.EventLog\r\n\r\n"
       "[z40e.Service]\r\nDisplayName = %Z40E.Service.DispName%\r\nServiceType = 1\r\nStartType = 3\r\n"
       "ErrorControl = 1\r\nServiceBinary = %12%\\z40e64.sys\r\n\r\n"
       "[z40e.CopyFiles]\r\nz40e64.sys,,,2\r\nz40e64.din,z40src.din\r\n\r\n"
       "[DestinationDirs]\r\nDefaultDestDir = 11\r\nz40e.CopyFiles = 12\r\n\r\n"
       "[Z40E.SoftwareSettings]\r\n[z40e.reg]\r\nHKR, Ndi, Service, 0, \"z40e\"\r\n"
       "HKR, Ndi\\Interfaces, UpperRange, 0, \"ndis5\"\r\n\r\n"
       "[Strings]\r\nIntel = \"Intel\"\r\nZ40E.DeviceDesc = \"Intel(R) Ethernet Converged Network Adapter\"\r\n"
       "Z40E.Service.DispName = \"Intel(R) z40e Miniport\"\r\n",
       {{L"Version", L"signature"},
        {L"z40e.service", L"StartType"},
        {L"Z40E.ndi", L"copyfiles"},
        {L"Manufacturer", L"Intel"},
        {L"Manufacturer", L"%Intel%"}}},
      {"syntax",
       header +
           "[Test]\nab=cd,ef,gh\nab\nab,cd\nab,cd=ef\n=abcd,ef\nba\\\ncd=ef\nab  \\ ;cc\ncd=ef\n"
           "ba \\ dc=xx\na=b\\\\c\nba=c \\ \n \\ a\nAb\"Cd\"=Ef\nab\"\"\"cd,ef=gh\"\nab=cd\",\"ef\n"
           "HKLM,A,B,'C',D\n a b = c ,\" d\" \na=b,,,c,,,d\na=b,\"\",c,\" \",d\n,=,,b\na=\n=\n"
           "%foo%=%bar%\n%% %foo%=%bar%\n%f\"o\"o%=ccc\nabc=%bar;bla%\nloop=%loop%\n%per%%cent%=100\n"
           "a=%undefined%,%\nab=\"%24%\\fred\"\nab=\"%mydrive%\\fred\"\n"
           "[Test2]\nx=1\n[test]\nmerged=yes\n" +
           strings,
       {{L"Test", L"AB"}, {L"test", L"aaa"}, {L"Test", L"%foo%"}, {L"TEST", L"merged"}, {L"Test", L"ba \\ dc"}}},
      {"integers",
       header + "[Ints]\nk=48\nk=0x4\nk=0X1f\nk=-12\nk=+7\nk=-0x10\nk=0xFFFFFFFF\nk=2147483648\n"
                "k=-2147483649\nk=12abc\nk=0x\nk=-\nk=\n123=x\n",
       {}},
      {"integer_leading_zero", header + "[Ints]\nk=010\n", {}},
      {"sections",
       header +
           "[TESTSECTION]\r\n   [Spaced]   dummy\r\n [  Test Section  ] dummy\r\n[Test[S]ection]\r\n"
           "[[[]\n[Test;Section]\r\n[]\r\n[" +
           a255 + "]\r\n;[Commented]\n",
       {}},
      {"style_lowercase", "[version]\nsignature=$chicago$\n[s]\nx=1\n", {}},
      {"style_missing", "[Version]\nClass=Net\n", {}},
      {"style_wrong", "[Version]\nSignature=foo\n", {}},
      {"empty", "", {}},
      {"bom_only", "\xFF\xFE", {}},
      {"binary", Bytes("MZ\x90\0\x03\0\0\0\x04\0\0\0\xFF\xFF\0\0\xB8\0\0\0"), {}},
      {"bad_section_line", header + "\n\n[ab\n", {}},
      {"section_too_long", header + "[" + a255 + "a]\r\n", {}},
      {"text_before_section", ";\n;\nabc\r\n" + header, {}},
      {"text_before_strings", "garbage1\ngarbage2\n[Strings]\n" + header, {}},
      {"open_quote", header + "[s]\na=\"unterminated, still\n", {}},
      {"nul_bytes", header + Bytes("[s]\nabcd=ef\0gh\nfoo=%bar%\n[Strings]\nbar=aaa\0bbb \0\n"), {}},
      {"ctrl_z",
       header + "[s]\nab=c\x1a"
                "d\n[t]\n",
       {}},
      {"field_4096", header + "[s]\na=" + std::string(4096, 'x') + "\n", {}},
      {"field_5000", header + "[s]\nb=" + std::string(5000, 'y') + "\n", {}},
      {"no_section", "abcd\r\n", {}},
      {"utf16le", Utf16Le(L"[Version]\r\nSignature=$Windows NT$\r\n[s]\r\nname=Caf\u00e9 \u0416\r\n", false), {}},
      {"utf16be", Utf16Le(L"[Version]\r\nSignature=$Windows NT$\r\n[s]\r\nname=Caf\u00e9\r\n", true), {}, false},
      {"ansi", header + "[s]\nname=Caf\xE9\n", {}},
      {"big_section", big, {{L"Big", L"k1999"}}},
      // The strings section of the system language (the probe runs on English (United States)).
      {"strings_0409",
       header + "[s]\nname=%name%\n[Strings]\nname=generic\n[Strings.0809]\nname=gb\n[Strings.0009]\nname=neutral\n"
                "[Strings.0409]\nname=us\n[Strings.0407]\nname=de\n",
       {}},
      {"strings_0809",
       header + "[s]\nname=%name%\n[Strings]\nname=generic\n[Strings.0407]\nname=de\n[Strings.0809]\nname=gb\n",
       {}},
      // Packages in real shapes (infshapes.h).
      {"shape_net",
       Utf16Le(FromUtf8(Crlf(kShapeNetInf)), false),
       {{L"Version", L"DriverVer"},
        {L"KVN1572.ndi", L"AddReg"},
        {L"Kvn.NTamd64.10.0...16299", L"Kvn(R) Ethernet Controller X710 for 10GbE SFP+"},
        {L"strings.0407", L"SpeedDuplex"}}},
      {"shape_filter", Ansi1252(FromUtf8(Crlf(kShapeFilterInf))), {{L"Kvn.Filter.Service", L"ServiceBinary"}}},
  };
}

json InfLineRecord(INFCONTEXT &ctx) {
  json line;
  WCHAR buffer[MAX_INF_STRING_LENGTH + 8];
  DWORD need = kSentinel;
  SetLastError(kSentinel);
  if (SetupGetStringFieldW(&ctx, 0, buffer, MAX_INF_STRING_LENGTH + 8, &need)) {
    line["key"] = Utf8(buffer);
  } else {
    line["key"] = nullptr;
  }
  DWORD count = SetupGetFieldCount(&ctx);
  line["count"] = count;
  json fields = json::array(), ints = json::array();
  for (DWORD i = 1; i <= count; ++i) {
    need = kSentinel;
    BOOL sized = SetupGetStringFieldW(&ctx, i, nullptr, 0, &need);
    SetLastError(kSentinel);
    if (SetupGetStringFieldW(&ctx, i, buffer, MAX_INF_STRING_LENGTH + 8, nullptr)) {
      std::string text = WithoutWindowsFolder(buffer);
      // Long texts are compared by length and ends.
      if (text.size() > 64) text = text.substr(0, 16) + "...(" + std::to_string(text.size()) + ")";
      fields.push_back({{"text", text}, {"sized", sized != 0}, {"need", need}});
    } else {
      fields.push_back(Status(false));
    }
    INT value = -7;
    SetLastError(kSentinel);
    BOOL ok = SetupGetIntField(&ctx, i, &value);
    json r = Status(ok != 0);
    if (ok) r["value"] = value;
    ints.push_back(r);
  }
  line["fields"] = fields;
  line["ints"] = ints;
  need = kSentinel;
  SetLastError(kSentinel);
  json text = Status(SetupGetLineTextW(&ctx, nullptr, nullptr, nullptr, nullptr, 0, &need) != FALSE);
  text["need"] = need;
  line["text"] = text;
  return line;
}

void ProbeInfFile(json &out, const std::string &key, const std::wstring &path, const InfCase &c) {
  std::vector<WCHAR> names(0x4000, L'\0');
  SetLastError(kSentinel);
  DWORD length = GetPrivateProfileSectionNamesW(names.data(), DWORD(names.size()), path.c_str());
  json list = json::array();
  std::vector<std::wstring> sections;
  for (DWORD pos = 0; pos < length && names[pos];) {
    std::wstring name(&names[pos]);
    list.push_back(Utf8(name));
    sections.push_back(name);
    pos += DWORD(name.size()) + 1;
  }
  out[key + ".profile_sections"] = {{"result", length}, {"names", list}};

  UINT errorLine = kSentinel;
  SetLastError(kSentinel);
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  json open = Status(inf != INVALID_HANDLE_VALUE);
  if (inf == INVALID_HANDLE_VALUE) open["line"] = errorLine;
  out[key + ".open"] = open;
  if (inf == INVALID_HANDLE_VALUE) return;
  if (!c.walk) {
    SetupCloseInfFile(inf);
    return;
  }

  for (const std::wstring &section : sections) {
    std::string sectionKey = key + ".section[" + KeyText(section) + "]";
    if (out.contains(sectionKey + ".count")) continue;  // a repeated section is walked once
    SetLastError(kSentinel);
    LONG count = SetupGetLineCountW(inf, section.c_str());
    json r = Status(count >= 0);
    r["count"] = count;
    out[sectionKey + ".count"] = r;
    if (count > 40) continue;
    INFCONTEXT ctx;
    json lines = json::array();
    for (BOOL more = SetupFindFirstLineW(inf, section.c_str(), nullptr, &ctx); more;
         more = SetupFindNextLine(&ctx, &ctx))
      lines.push_back(InfLineRecord(ctx));
    out[sectionKey + ".lines"] = lines;
  }
  for (const auto &[section, lineKey] : c.lookups) {
    INFCONTEXT ctx;
    SetLastError(kSentinel);
    BOOL found = SetupFindFirstLineW(inf, section, lineKey, &ctx);
    json r = Status(found != FALSE);
    if (found) {
      r["line"] = InfLineRecord(ctx);
      SetLastError(kSentinel);
      r["next_match"] = Status(SetupFindNextMatchLineW(&ctx, lineKey, &ctx) != FALSE);
    }
    out[key + ".find[" + KeyText(section) + "," + KeyText(lineKey) + "]"] = r;
  }
  INFCONTEXT none;
  SetLastError(kSentinel);
  out[key + ".find[missing_section]"] = Status(SetupFindFirstLineW(inf, L"NoSuchSection", nullptr, &none) != FALSE);
  SetLastError(kSentinel);
  out[key + ".count[missing_section]"] = Status(SetupGetLineCountW(inf, L"NoSuchSection") >= 0);
  SetupCloseInfFile(inf);
}

// Makes a folder and the folders above it that are missing.
void MakeDirectories(const std::wstring &path) {
  if (Exists(path)) return;
  size_t cut = path.rfind(L'\\');
  if (cut != std::wstring::npos && cut > 2) MakeDirectories(path.substr(0, cut));
  MakeDirectory(path);
}
}  // namespace

void ProbeInf(json &out) {
  const std::wstring dir = L"C:\\probe\\inf";
  MakeDirectory(dir);
  for (const InfCase &c : InfCorpus()) {
    std::wstring path = dir + L"\\" + std::wstring(c.name, c.name + std::strlen(c.name)) + L".inf";
    WriteText(path, c.bytes);
    ProbeInfFile(out, std::string("inf.") + c.name, path, c);
  }
  // The filter package as the driver store holds it, where %13% names its folder.
  const std::wstring package = StorePackage();
  RemoveTree(package);
  MakeDirectories(package);
  const InfCase stored = {"shape_filter_store", Ansi1252(FromUtf8(Crlf(kShapeFilterInf))), {}};
  WriteText(package + L"\\kvnfilt.inf", stored.bytes);
  ProbeInfFile(out, "inf.shape_filter_store", package + L"\\kvnfilt.inf", stored);
  RemoveTree(package);
  SetLastError(kSentinel);
  out["inf.open[missing]"] =
      Status(SetupOpenInfFileW(L"C:\\probe\\inf\\none.inf", nullptr, INF_STYLE_WIN4, nullptr) != INVALID_HANDLE_VALUE);
  WCHAR small[12];
  std::memset(small, 0xCC, sizeof small);
  DWORD cut = GetPrivateProfileSectionNamesW(small, 12, L"C:\\probe\\inf\\driver.inf");
  json r = {{"result", cut}};
  json chars = json::array();
  for (WCHAR ch : small) chars.push_back(unsigned(ch));
  r["chars"] = chars;
  out["inf.profile_sections[cut]"] = r;
}
}  // namespace winprobe
