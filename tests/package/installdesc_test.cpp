// The installation description "install.xml": the INF element chosen by the Windows
// version, the installation type, and the file opened after the installation.
#include <gtest/gtest.h>

#include <string>

#include "framework/basecomp.h"
#include "testmachine.h"
#include "xmltext.h"

namespace {
const std::wstring kInstall = L"C:\\Package\\install.xml";

struct Probe : CBaseComponent {
  using CBaseComponent::m_nInstallType;
  using CBaseComponent::m_strInfSection;
  using CBaseComponent::m_strServiceName;
  using CBaseComponent::m_szShellExecuteDir;
  using CBaseComponent::m_szShellExecuteFile;
};

TEST(InstallDescription, InfElementByWindowsVersion) {
  const std::string all =
      "<inf_file filename=\"generic.inf\" type=\"pnp\" section=\"Gen\" service_name=\"gsvc\"/>"
      "<inf_file_nt5 filename=\"nt5.inf\" type=\"LEGACY\" section=\"S5\" service_name=\"svc5\"/>"
      "<inf_file_nt4 filename=\"nt4.inf\" type=\"Virtual\" section=\"S4\" service_name=\"svc4\"/>";
  const struct {
    int major;
    std::string infs;  // inside inf_information
    std::wstring file, section, service;
    int type;
  } cases[] = {
      {4, all, L"nt4.inf", L"S4", L"svc4", INSTALL_VIRTUAL},
      {5, all, L"nt5.inf", L"S5", L"svc5", INSTALL_LEGACY},
      {6, all, L"generic.inf", L"Gen", L"gsvc", INSTALL_PNP},
      {10, all, L"generic.inf", L"Gen", L"gsvc", INSTALL_PNP},
      {5, "<inf_file filename=\"g.inf\" type=\"PnP\"/>", L"g.inf", L"", L"", INSTALL_PNP},
      {4, "<inf_file_nt5 filename=\"n5.inf\"/><inf_file filename=\"g.inf\"/>", L"g.inf", L"", L"", INSTALL_NONE},
      {10, "<inf_file_nt5 filename=\"n5.inf\"/>", L"", L"", L"", INSTALL_NONE},
      {10, "<inf_file filename=\"g.inf\" type=\"plugandplay\" section=\"S\"/>", L"g.inf", L"S", L"", INSTALL_NONE},
      {10, "<inf_file FileName=\"g.inf\" TYPE=\"pnp\"/>", L"", L"", L"", INSTALL_NONE},
      {10, "</inf_information><inf_file filename=\"g.inf\"/><inf_information>", L"", L"", L"", INSTALL_NONE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.major << " " << c.infs);
    TestMachine machine("[os]\nmajor = " + std::to_string(c.major) + "\nminor = 1\n");
    machine.Write(kInstall, "<kvn_install><inf_information>" + c.infs + "</inf_information></kvn_install>");
    Probe p;
    EXPECT_EQ(p.ReadInstallDescription(kInstall.c_str()), 0);
    EXPECT_EQ(Show(p.GetInfFile()), c.file);
    EXPECT_EQ(Show(p.m_strInfSection), c.section);
    EXPECT_EQ(Show(p.m_strServiceName), c.service);
    EXPECT_EQ(p.m_nInstallType, c.type);
  }
}

TEST(InstallDescription, ShellExecuteFileAndFolderAreExpandedWhenTheyFit) {
  // "%SystemRoot%\" expands to the 11 characters "C:\Windows\".
  const std::string fits = "%SystemRoot%\\" + std::string(MAX_PATH - 12, 'f');  // 259 characters expanded
  const std::wstring fitsExpanded = L"C:\\Windows\\" + std::wstring(MAX_PATH - 12, L'f');
  const struct {
    std::string element;
    std::wstring file, dir;
  } cases[] = {
      {"<ShellExecute><ShellExecute_Info file=\"%SystemRoot%\\readme.txt\" DefaultDir=\"%SystemRoot%\\Temp\"/>"
       "</ShellExecute>",
       L"C:\\Windows\\readme.txt", L"C:\\Windows\\Temp"},
      {"<ShellExecute><ShellExecute_Info file=\"" + fits + "\" DefaultDir=\"" + fits + "\"/></ShellExecute>",
       fitsExpanded, fitsExpanded},
      {"<ShellExecute><ShellExecute_Info file=\"" + fits + "f\" DefaultDir=\"" + fits + "f\"/></ShellExecute>", L"",
       L""},
      {"<ShellExecute_Info file=\"a.txt\" DefaultDir=\"C:\\\"/>", L"", L""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.element);
    TestMachine machine;
    machine.Write(kInstall, "<kvn_install>" + c.element + "</kvn_install>");
    Probe p;
    EXPECT_EQ(p.ReadInstallDescription(kInstall.c_str()), 0);
    EXPECT_EQ(std::wstring(p.m_szShellExecuteFile), c.file);
    EXPECT_EQ(std::wstring(p.m_szShellExecuteDir), c.dir);
  }
}

TEST(InstallDescription, ResultsAndNothingReadWithoutAnInstallElement) {
  const std::string relative =
      "<kvn_install><inf_information><inf_file filename=\"rel.inf\"/></inf_information></kvn_install>";
  const struct {
    const WCHAR *path;
    std::string content;  // written to C:\Package\file.xml when not empty
    int result;
    std::wstring inf;
  } cases[] = {
      {nullptr, "", 4, L""},
      {L"C:\\Package\\none.xml", "", 3, L""},
      {L"C:\\Package\\file.xml", "<kvn_install><inf_information></kvn_install>", 5, L""},
      {L"C:\\Package\\file.xml",
       "<kvn_package><inf_information><inf_file filename=\"g.inf\" type=\"pnp\"/></inf_information>"
       "<ShellExecute><ShellExecute_Info file=\"a.txt\"/></ShellExecute></kvn_package>",
       0, L""},
      {L"file.xml", relative, 0, L"rel.inf"},  // relative to the current directory
  };
  TestMachine machine;
  machine.SetProcess(L"C:\\Package\\setup.exe", L"setup.exe", L"C:\\Package");
  for (const auto &c : cases) {
    SCOPED_TRACE(Show(c.path));
    if (!c.content.empty()) machine.Write(L"C:\\Package\\file.xml", c.content);
    Probe p;
    EXPECT_EQ(p.ReadInstallDescription(c.path), c.result);
    EXPECT_EQ(Show(p.GetInfFile()), c.inf);
    EXPECT_EQ(p.m_nInstallType, INSTALL_NONE);
    EXPECT_EQ(std::wstring(p.m_szShellExecuteFile), L"");
  }
}
}  // namespace
