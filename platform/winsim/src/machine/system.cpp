#include "machine/system.h"

#include "base/names.h"

namespace winsim {

namespace {
const PartSlot<SystemIdentity> g_system("system");

bool ReadOs(const toml::table &t, const std::string &file, OsSpec &os, std::string &error) {
  TableReader r(t, file, "[os]", error);
  bool read =
      r.Dword("major", os.major) & r.Dword("minor", os.minor) & r.Dword("build", os.build) &
      r.Dword("platform_id", os.platformId) & r.Word("sp_major", os.spMajor) & r.Word("sp_minor", os.spMinor) &
      r.Word("suite_mask", os.suiteMask) & r.Dword("product_info", os.productInfo) & r.Flag("server_r2", os.serverR2) &
      r.Text("csd_version", os.csdVersion) &
      r.Choice<BYTE>("product_type", {{"workstation", 1}, {"domain_controller", 2}, {"server", 3}}, os.productType) &
      r.Texts("missing_dlls", os.missingDlls) & r.Texts("missing_exports", os.missingExports);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  for (const std::wstring &e : os.missingExports)
    if (e.find(L'!') == std::wstring::npos || e.front() == L'!' || e.back() == L'!')
      return r.Fail("missing_exports", "\"" + ToUtf8(e) + "\" is not dll!function");
  // Any text: the registry value is what the machine states, however odd.
  if (r.Has("current_version")) {
    std::wstring v;
    if (!r.Text("current_version", v)) return false;
    os.currentVersion = v;
  }
  if (const toml::node *n = t.get("architecture"); n && n->is_integer()) {
    WORD a = 0;
    if (!r.Word("architecture", a)) return false;
    os.nativeArchitecture = os.processArchitecture = a;
  } else {
    enum class Arch { Intel, Ia64, Amd64, Ia32OnWin64 } arch = Arch::Amd64;
    if (n && !n->is_string()) return r.WrongType("architecture", "a text or a number");
    if (!r.Choice<Arch>("architecture",
                        {{"intel", Arch::Intel},
                         {"ia64", Arch::Ia64},
                         {"amd64", Arch::Amd64},
                         {"ia32_on_win64", Arch::Ia32OnWin64}},
                        arch))
      return false;
    switch (arch) {
      case Arch::Intel: os.nativeArchitecture = os.processArchitecture = 0; break;
      case Arch::Ia64: os.nativeArchitecture = os.processArchitecture = 6; break;
      case Arch::Amd64: os.nativeArchitecture = os.processArchitecture = 9; break;
      case Arch::Ia32OnWin64:
        os.nativeArchitecture = 9;
        os.processArchitecture = 0;
        break;
    }
  }
  return r.Done();
}

}  // namespace

SystemIdentity &System() { return g_system(); }

bool SystemIdentity::Load(MachineFile &file) {
  bool ok = true;
  const toml::table *osTable = nullptr;
  if (!file.Top().Table("os", osTable)) ok = false;
  if (osTable && !ReadOs(*osTable, file.Name(), os, file.Mistakes())) ok = false;

  TableReader &r = file.Section("machine");
  bool read = r.Text("computer_name", computerName) & r.Text("user_locale", userLocale);
  systemLocale = userLocale;
  DWORD codePage = ansiCodePage;
  read = read & r.Text("system_locale", systemLocale) & r.Dword("ansi_code_page", codePage);
  if (!read) return false;
  ansiCodePage = codePage;
  if (computerName.empty() || computerName.size() > 15) return r.Fail("computer_name", "must have 1 to 15 characters");
  return ok;
}

}  // namespace winsim
