// Operating-system matching: the answer and the whole verbose trace of IsOSSupported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/basecomp.h"
#include "osinfo/editions.h"
#include "testmachine.h"

namespace {
struct Component : CBaseComponent {
  Component() {
    GetLog()->SetVerbose(1);
    GetLog()->Open();
  }
  void Add(const wchar_t *platform, int major, int minor, int sp, WORD edition) {
    OSDescriptor os{};
    CopyText(os.szOSName, ARRAYSIZE(os.szOSName), platform);
    os.nMajor = major;
    os.nMinor = minor;
    os.nServicePack = sp;
    os.nEdition = edition;
    AddSupportedOS(os);
  }
  std::string Trace(const TestMachine &machine) {
    GetLog()->CloseFiles();
    return machine.Read(std::wstring(GetLog()->GetVerboseDirectory()) + GetLog()->GetVerboseName());
  }
};

// A machine.toml [os] table.
std::string Os(int major, int minor, const char *arch = "amd64", const char *cv = "", int productInfo = 7,
               const char *csd = "", const char *type = "server") {
  std::string s = "[os]\nmajor = " + std::to_string(major) + "\nminor = " + std::to_string(minor) +
                  "\narchitecture = \"" + arch + "\"\nproduct_info = " + std::to_string(productInfo) +
                  "\ncsd_version = \"" + csd + "\"\nproduct_type = \"" + type + "\"\n";
  if (*cv) s += std::string("current_version = \"") + cv + "\"\n";
  return s;
}

std::string Line(int line, const std::string &text) {
  return "[14:30:00]::basecomp.cpp[" + std::to_string(line) + "] \n" + text + "\n";
}

// The lines up to the loop, for a machine that answers these values.
struct Running {
  unsigned sp = 0;
  const char *archLine = "IsOSSupported: sysinfo.wProcessorArchitecture: (nt_x86-64) PROCESSOR_ARCHITECTURE_AMD64";
  unsigned major = 10, minor = 0;
  unsigned regMajor = 0, regMinor = 0;
  unsigned finalMajor = 10, finalMinor = 0, finalSp = 0;
  bool productInfo = true;
  unsigned productType = 7;
  unsigned edition = 0xFF05;
};

std::string Hex(unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%X", v);
  return b;
}

std::string Preamble(const Running &r) {
  std::string s = Line(565, "IsOSSupported: Calling GetSystemDirectory") +
                  Line(568, "IsOSSupported: GetSystemDirectory call complete") +
                  Line(571, "IsOSSupported: LoadLibrary Call for kernel32.dll") +
                  Line(578, "IsOSSupported: LoadLibrary Call for kernel32.dll - succeeds") +
                  Line(582, "IsOSSupported: Making call to GetNativeSystemInfo via GetProcAddress") +
                  Line(583, "IsOSSupported: Making call to GetVersionEx") +
                  Line(587, "IsOSSupported: Making call to GetVersionEx complete");
  for (int line : {592, 595, 597}) s += Line(line, "IsOSSupported: dwSPMajor is (" + Hex(r.sp) + ") ");
  s += Line(605, r.archLine);
  s += Line(613, "IsOSSupported: Current.nMajor: (" + Hex(r.major) + ")") +
       Line(614, "IsOSSupported: Current.nMinor: (" + Hex(r.minor) + ")") +
       Line(615, "IsOSSupported: Current.nServicePack: (" + Hex(r.sp) + ")") +
       Line(618, "IsOSSupported: GetOSMajorMinorVsn") +
       Line(621, "IsOSSupported: Major: (" + Hex(r.regMajor) + ") - Minor: (" + Hex(r.regMinor) + ")") +
       Line(627, "IsOSSupported: (Major)Current.nMajor: (" + Hex(r.finalMajor) + ")") +
       Line(628, "IsOSSupported: (Minor)Current.nMinor: (" + Hex(r.finalMinor) + ")") +
       Line(629, "IsOSSupported: (ServicePack)Current.nServicePack: (" + Hex(r.finalSp) + ")");
  if (r.finalMajor >= 6) {
    s += Line(633, "IsOSSupported: Retrieving GetProductInfo Address") +
         Line(635, "IsOSSupported: GetProductInfo Address complete");
    if (r.productInfo)
      s += Line(637, "IsOSSupported: GetProductInfo appears valid") +
           Line(639, "IsOSSupported: GetProductInfo call complete");
  }
  s += Line(642, "IsOSSupported: dwEdition is (" + Hex(r.productType) + ")") +
       Line(644, "IsOSSupported: Current.nEdition is (" + Hex(r.edition) + ")");
  return s;
}

std::string Entry(unsigned index) {
  return Line(650, "IsOSSupported: ulIndex is (" + Hex(index) + ")") +
         Line(651, "IsOSSupported: ulIndex - bMatch is false") + Line(652, "IsOSSupported: ulIndex - SupportOS set");
}

std::string NameMatches(const std::string &entry, const std::string &current) {
  return Line(656, "IsOSSupported: Check OS Name succeeds - bMatch is true") +
         Line(657, "IsOSSupported: Check OS Name succeeds - SupportedOS.szOSName is " + entry) +
         Line(658, "IsOSSupported: Check OS Name succeeds - CurrentOS.szOSName is " + current) +
         Line(661, "IsOSSupported: (loop) else - bMatch is true");
}

std::string End(bool match) {
  std::string flag = match ? "true" : "false";
  return (match ? Line(689, "IsOSSupported: Breaking out of loop - bMatch is true") : "") +
         Line(693, "IsOSSupported: FreeLibrary Call for Kernel32.dll") +
         Line(695, "IsOSSupported: Leaving IsOSSupported - bMatch is " + flag);
}
}  // namespace

TEST(OsSupport, EmptyListIsSupportedWithOneLine) {
  TestMachine machine(Os(10, 0));
  Component c;
  EXPECT_EQ(c.IsOSSupported(), 1);
  EXPECT_EQ(c.Trace(machine), Line(560, "IsOSSupported: m_SupportedOSersionsions is Empty"));
}

TEST(OsSupport, Server2012R2IsCorrectedToSixThreeByTheRegistry) {
  TestMachine machine(Os(6, 2, "amd64", "6.3", 8));
  Running r;
  r.major = 6, r.minor = 2, r.regMajor = 6, r.regMinor = 3, r.finalMajor = 6, r.finalMinor = 3;
  r.productType = 8, r.edition = 0x0405;
  {
    Component c;
    c.Add(L"NT_X86-64", 6, 3, -1, EDITION_ANY);  // the platform name in capitals
    EXPECT_EQ(c.IsOSSupported(), 1);
    EXPECT_EQ(c.Trace(machine), Preamble(r) + Entry(0) + NameMatches("NT_X86-64", "nt_x86-64") + End(true));
  }
  std::filesystem::remove_all(machine.Host(L"C:\\vadorurev"));
  Component c;
  c.Add(L"nt_x86-64", 6, 2, -1, EDITION_ANY);
  EXPECT_EQ(c.IsOSSupported(), 0);
  EXPECT_EQ(c.Trace(machine),
            Preamble(r) + Entry(0) + NameMatches("nt_x86-64", "nt_x86-64") +
                Line(663, "IsOSSupported: Minor OS Version Check fails - bMatch is true") +
                Line(664, "IsOSSupported: Minor OS Version Check fails - SupportedOS.nMinor is (0x2)") +
                Line(666, "IsOSSupported: Minor OS Version Check fails - CurrentOS.nMinor is (0x3)") + End(false));
}

TEST(OsSupport, MajorMismatchWritesThreeIdenticalLinesAndFirstMatchEndsTheLoop) {
  TestMachine machine(Os(10, 0, "amd64", "6.3"));
  Running r;
  r.regMajor = 6, r.regMinor = 3, r.finalMajor = 6, r.finalMinor = 3;  // 10.0 reports 6.3 in the registry
  Component c;
  c.Add(L"nt_x86-64", 5, 2, -1, EDITION_ANY);
  c.Add(L"nt_x86-64", 6, -1, -1, EDITION_ANY);
  c.Add(L"nt_x86-64", -1, -1, -1, EDITION_ANY);
  EXPECT_EQ(c.IsOSSupported(), 1);
  std::string mismatch = Line(656, "IsOSSupported: Check OS Name succeeds - bMatch is true") +
                         Line(657, "IsOSSupported: Check OS Name succeeds - SupportedOS.szOSName is nt_x86-64") +
                         Line(658, "IsOSSupported: Check OS Name succeeds - CurrentOS.szOSName is nt_x86-64");
  for (int i = 0; i < 3; ++i) mismatch += Line(684, "IsOSSupported: Minor OS Version Check fails - bMatch is true");
  EXPECT_EQ(c.Trace(machine),
            Preamble(r) + Entry(0) + mismatch + Entry(1) + NameMatches("nt_x86-64", "nt_x86-64") + End(true));
}

TEST(OsSupport, MissingPlatformMatchesOnlyAnUnnamedSystem) {
  const char *toml = "[os]\nmajor = 6\nminor = 1\narchitecture = 10\ncurrent_version = \"6.1\"\n";
  {
    TestMachine machine(toml);
    Component c;
    c.Add(L"", -1, -1, -1, EDITION_ANY);
    EXPECT_EQ(c.IsOSSupported(), 1);
    EXPECT_NE(c.Trace(machine).find(Line(
                  605, "IsOSSupported: sysinfo.wProcessorArchitecture: (NULL) PROCESSOR_ARCHITECTURE_IA32_ON_WIN64")),
              std::string::npos);
  }
  TestMachine machine(toml);
  Component c;
  c.Add(L"nt_x86-64", -1, -1, -1, EDITION_ANY);
  EXPECT_EQ(c.IsOSSupported(), 0);
}

TEST(OsSupport, RegistryVersionThatIsNoNumberPairReadsAsZero) {
  TestMachine machine(Os(6, 2, "amd64", "six.three"));
  Component c;
  c.Add(L"nt_x86-64", 6, 3, -1, EDITION_ANY);
  EXPECT_EQ(c.IsOSSupported(), 0);
  EXPECT_NE(c.Trace(machine).find(Line(621, "IsOSSupported: Major: (0x0) - Minor: (0x0)")), std::string::npos);
}

TEST(OsSupport, HundredsOfEntriesAreWalkedInOrder) {
  TestMachine machine(Os(10, 0, "amd64", "6.3"));
  Component c;
  for (int i = 0; i < 500; ++i) c.Add(L"nt", 6, 3, -1, EDITION_ANY);
  c.Add(L"nt_x86-64", 6, 3, -1, EDITION_ANY);
  EXPECT_EQ(c.IsOSSupported(), 1);
  EXPECT_NE(c.Trace(machine).find(Line(650, "IsOSSupported: ulIndex is (0x1F4)")), std::string::npos);
}

TEST(OsSupport, ServicePackAndEditionTests) {
  struct Case {
    const char *csd;
    int productInfo;
    int entrySp;
    const wchar_t *edition;
    int supported;
  } const cases[] = {
      {"", 7, 1, L"srvr", 0},                  // no service pack: fails only the service-pack test
      {"Service Pack 2", 7, 1, L"srvr", 1},    // newer service pack passes
      {"Service Pack 1", 7, 1, L"r2srvr", 0},  // 0xFF04 & 0xFF05 != 0xFF05
      {"Service Pack 1", 12, -1, L"core", 1},  // Datacenter core 0x040A
      {"Service Pack 1", 12, -1, L"dccore", 1},
      {"Service Pack 1", 12, -1, L"dc", 1},
      {"Service Pack 1", 12, -1, L"srvr", 0},
      {"Service Pack 1", 12, -1, L"dcsrvr", 0},
      {"Service Pack 1", 7, -1, L"unknown", 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << k.csd << " / " << k.productInfo << " / " << k.entrySp);
    TestMachine machine(Os(6, 1, "amd64", "6.1", k.productInfo, k.csd));
    Component c;
    c.Add(L"nt_x86-64", 6, -1, k.entrySp, EditionCodeFromName(k.edition));
    EXPECT_EQ(c.IsOSSupported(), k.supported);
  }
}

TEST(OsSupport, ServicePackFailureIsLoggedWithBothNumbers) {
  TestMachine machine(Os(6, 1, "amd64", "6.1", 7, ""));
  Component c;
  c.Add(L"nt_x86-64", 6, -1, 1, EDITION_ANY);
  EXPECT_EQ(c.IsOSSupported(), 0);
  std::string trace = c.Trace(machine);
  EXPECT_NE(trace.find(Line(671, "IsOSSupported: Service Pack Check fails - bMatch is true") +
                       Line(672, "IsOSSupported: Service Pack Check fails - SupportedOS.nServicePack is (0x1)") +
                       Line(674, "IsOSSupported: Service Pack Check fails - CurrentOS.nServicePack is (0x0)")),
            std::string::npos)
      << trace;
}

TEST(OsSupport, EditionFailureLogsTheFlagFromBeforeTheTest) {
  TestMachine machine(Os(6, 1, "amd64", "6.1", 7, "Service Pack 1"));
  Component c;
  c.Add(L"nt_x86-64", 6, 0, -1, EditionCodeFromName(L"r2srvr"));  // fails minor, then edition
  EXPECT_EQ(c.IsOSSupported(), 0);
  std::string trace = c.Trace(machine);
  EXPECT_NE(trace.find(Line(679, "IsOSSupported: Edition Check fails - bMatch is false")), std::string::npos) << trace;
}

TEST(OsSupport, MissingExportsAndKernel32) {
  {
    TestMachine machine(Os(6, 1, "amd64", "6.1", 8) + "missing_exports = [\"kernel32.dll!GetProductInfo\"]\n");
    Component c;
    c.Add(L"nt_x86-64", 6, 1, -1, EditionCodeFromName(L"dcsrvr"));  // needs the product type
    EXPECT_EQ(c.IsOSSupported(), 0);
    EXPECT_NE(c.Trace(machine).find(Line(642, "IsOSSupported: dwEdition is (0x0)")), std::string::npos);
  }
  TestMachine machine(Os(6, 1) + "missing_dlls = [\"kernel32.dll\"]\n");
  Component c;
  c.Add(L"nt_x86-64", -1, -1, -1, EDITION_ANY);
  EXPECT_EQ(c.IsOSSupported(), 0);
  EXPECT_EQ(c.Trace(machine), Line(565, "IsOSSupported: Calling GetSystemDirectory") +
                                  Line(568, "IsOSSupported: GetSystemDirectory call complete") +
                                  Line(571, "IsOSSupported: LoadLibrary Call for kernel32.dll") +
                                  Line(574, "IsOSSupported: LoadLibrary Call for kernel32.dll - fails"));
  EXPECT_EQ(c.IsOS64Bit(), 0);
}

TEST(OsSupport, SixtyFourBitTestLogsTheArchitecture) {
  struct Case {
    const char *arch;
    int answer;
    const char *lines;
  } const cases[] = {
      {"amd64", 1, "    - Operating system is 64-bit.\r\n    - Operating system is x64 based.\r\n"},
      {"ia64", 1, "    - Operating system is 64-bit.\r\n    - Operating system is IA-64 based.\r\n"},
      {"intel", 0, "    - Operating system is not 64-bit.\r\n"},
      {"ia32_on_win64", 1, "    - Operating system is 64-bit.\r\n    - Operating system is x64 based.\r\n"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.arch);
    TestMachine machine(Os(10, 0, k.arch));
    Component c;
    EXPECT_EQ(c.IsOS64Bit(), k.answer);
    std::string trace = c.Trace(machine);
    std::string bare;
    for (size_t at = 0; (at = trace.find("] ", at)) != std::string::npos;) {
      size_t end = trace.find("\r\n", at);
      bare += trace.substr(at + 2, end + 2 - at - 2);
      at = end;
    }
    EXPECT_EQ(bare, k.lines);
  }
}
