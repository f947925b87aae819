// The generic installation: the dispatch by installation type, the shell step, their results,
// messages and log lines, on machines and packages built by each case.
#include <gtest/gtest.h>
#include <winsim.h>

#include <filesystem>
#include <string>

#include "framework/basecomp.h"
#include "support/messages.h"
#include "testmachine.h"

namespace {
const std::wstring kLogDir = L"C:\\vadorurev\\log\\";

// A LEGACY INF with files and registry values, and no service.
const char kLegacyInf[] =
    "[Version]\nSignature=\"$Windows NT$\"\n"
    "[DefaultInstall]\nCopyFiles=tool.files\nAddReg=tool.reg\n"
    "[DestinationDirs]\ntool.files=11\n"
    "[tool.files]\ntool.dll\n"
    "[tool.reg]\nHKLM,SOFTWARE\\Vendor\\Tool,Installed,0x10001,1\n";

std::string InstallXml(const char *type, const std::string &shell) {
  std::string text = "<?xml version=\"1.0\"?>\n<kvn_install><inf_information>";
  if (*type) text += std::string("<inf_file filename=\"tool.inf\" type=\"") + type + "\"/>";
  text += "</inf_information>";
  if (!shell.empty())
    text += "<ShellExecute><ShellExecute_Info file=\"" + shell + "\" DefaultDir=\"C:\\Package\"/></ShellExecute>";
  return text + "</kvn_install>\n";
}

std::string Definition(bool reboot) {
  return std::string(
             "<?xml version=\"1.0\"?>\n<kvn_package><filename>vqtool.xml</filename><version value=\"1.0\"/>"
             "<installation><install><reboot_required value=\"") +
         (reboot ? "yes" : "no") + "\"/></install></installation></kvn_package>\n";
}

// A default value under HKEY_CLASSES_ROOT.
void SetClass(const wchar_t *subKey, const std::wstring &value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                 DWORD((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

DWORD ReadDword(const wchar_t *path, const wchar_t *name) {
  DWORD value = 0xdeadbeef, size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
    return 0xdeadbeef;
  return value;
}
}  // namespace

TEST(Install, DispatchAndShellStep) {
  const std::wstring kShellFailed = LookupMessageWithFallback(MSG_SHELLEXECUTE_FAILED, L"en");
  const struct {
    const char *name;
    const char *type;  // "" no INF element: no installation type
    bool reboot;       // the package asks for a restart
    std::string shell;
    int result;
    std::wstring message;
    std::string normalLog;   // the normal log's installation lines
    std::string verboseLog;  // found in the verbose log
  } cases[] = {
      {"legacy", "LEGACY", false, "", 1, L"", "Initiating installation... \r\n", "Type=LEGACY\r\n"},
      {"legacy with the package's restart", "LEGACY", true, "", 2, L"", "Initiating installation... \r\n",
       "Type=LEGACY\r\n"},
      {"virtual logs as legacy", "VIRTUAL", false, "", 1, L"", "Initiating installation... \r\n", "Type=LEGACY\r\n"},
      {"no installation type", "", false, "", 0, MSG_UNKNOWN_INF_TYPE[0], "Initiating installation... \r\n**ERROR** - ",
       "Initiating installation... \r\n**ERROR** - "},
      {"legacy, then a document opened", "LEGACY", false, "C:\\Package\\readme.txt", 1, L"",
       "Initiating installation... \r\n", "::basecomp.cpp[321] Executing ShellExecute command... Done.\r\n"},
      {"a document that does not exist fails a good installation", "LEGACY", false, "C:\\Package\\missing.txt", 0,
       kShellFailed, "Initiating installation... \r\n",
       "::basecomp.cpp[321] Executing ShellExecute command... Failed!\r\n"},
      {"a file without an association", "LEGACY", false, "C:\\Package\\tool.inf", 0, kShellFailed,
       "Initiating installation... \r\n", "Executing ShellExecute command... Failed!\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine;
    SetClass(L".txt", L"txtfile");
    SetClass(L"txtfile\\shell\\open\\command", L"C:\\Windows\\system32\\NOTEPAD.EXE %1");
    machine.Write(L"C:\\Package\\vqtool.xml", Definition(c.reboot));
    machine.Write(L"C:\\Package\\install.xml", InstallXml(c.type, c.shell));
    machine.Write(L"C:\\Package\\tool.inf", kLegacyInf);
    machine.Write(L"C:\\Package\\tool.dll", "tool");
    machine.Write(L"C:\\Package\\readme.txt", "read me");
    machine.SetProcess(L"C:\\Package\\setup.exe", L"\"C:\\Package\\setup.exe\" /verbose_log", L"C:\\Package");

    WCHAR message[kInstallMessageCapacity];
    std::fill(std::begin(message), std::end(message), L'#');
    message[0] = L'\0';
    int result = -1;
    {
      CBaseComponent component;
      ASSERT_EQ(component.Initialize(), 1);
      result = component.Install(0, 0, message, 0, L"en");
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(std::wstring(message), c.message);
    if (c.result != 0 || c.shell.find("missing") != std::string::npos) {
      EXPECT_TRUE(machine.Exists(L"C:\\Windows\\System32\\tool.dll"));
      EXPECT_EQ(ReadDword(L"SOFTWARE\\Vendor\\Tool", L"Installed"), 1u);
    }
    std::string normal = machine.Exists(kLogDir + L"kvnsetup.log") ? machine.Read(kLogDir + L"kvnsetup.log") : "";
    EXPECT_NE(normal.find(c.normalLog), std::string::npos) << normal;
    std::string verbose;
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(machine.Host(kLogDir), ec))
      if (e.path().filename() != "kvnsetup.log") verbose = machine.Read(kLogDir + e.path().filename().wstring());
    EXPECT_NE(verbose.find(c.verboseLog), std::string::npos) << verbose;
  }
}
