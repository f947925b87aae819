// kvncapture [--devices all|net] [--no-files] [--package DIR] OUTDIR
// kvncapture --machine DIR [...] OUTDIR         (the Linux build: a winsim machine)
//
// Writes the machine it runs on as a new machine directory OUTDIR, with CAPTURE.txt beside
// the machine's files saying when, where, by whom and what was captured and what could not
// be. Exit status: 0 complete, 1 captured with omissions (each in CAPTURE.txt), 2 nothing
// written (a one-line error on standard error).
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "capture.h"
#include "place.h"

namespace fs = std::filesystem;
using namespace kvncapture;

namespace {

constexpr const char kUsage[] =
    "usage: kvncapture [--devices all|net] [--no-files] [--package DIR] OUTDIR\n"
    "       (the Linux build: kvncapture --machine DIR [options] OUTDIR)\n";

struct Arguments {
  CaptureOptions options;
  std::string machine, package, out;
};

bool ParseArguments(int argc, char **argv, Arguments &args, std::string &error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string &into) {
      if (i + 1 >= argc) {
        error = a + " needs a value";
        return false;
      }
      into = argv[++i];
      return true;
    };
    if (a == "--devices") {
      std::string which;
      if (!value(which)) return false;
      if (which != "all" && which != "net") {
        error = "--devices " + which + ": expected all or net";
        return false;
      }
      args.options.netOnly = which == "net";
    } else if (a == "--no-files") {
      args.options.noFiles = true;
    } else if (a == "--package") {
      if (!value(args.package)) return false;
    } else if (a == "--machine") {
      if (!value(args.machine)) return false;
    } else if (!a.empty() && a[0] == '-') {
      error = "unknown option " + a;
      return false;
    } else if (args.out.empty()) {
      args.out = a;
    } else {
      error = "one OUTDIR only (" + args.out + ", " + a + ")";
      return false;
    }
  }
  if (args.out.empty()) error = "OUTDIR is missing";
  return error.empty();
}

fs::path HostPath(const std::string &utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string Now() {
  SYSTEMTIME local = {}, utc = {};
  GetLocalTime(&local);
  GetSystemTime(&utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u local (%02u:%02u UTC)", unsigned(local.wYear),
                unsigned(local.wMonth), unsigned(local.wDay), unsigned(local.wHour), unsigned(local.wMinute),
                unsigned(local.wSecond), unsigned(utc.wHour), unsigned(utc.wMinute));
  return text;
}

std::wstring Account() {
  WCHAR user[257] = L"";
  DWORD size = 257;
  if (!GetUserNameW(user, &size)) return L"(unknown)";
  WCHAR domain[MAX_PATH] = L"";
  DWORD length = GetEnvironmentVariableW(L"USERDOMAIN", domain, MAX_PATH);
  return length && length < MAX_PATH ? std::wstring(domain) + L"\\" + user : std::wstring(user);
}

bool WriteHostFile(const fs::path &path, const std::string &bytes, std::string &error) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  out.close();
  if (!out) error = "cannot write " + path.string();
  return bool(out);
}

// "drive_c/Windows/INF" for C:\Windows\INF.
fs::path MachineFolder(const fs::path &out, const std::wstring &windowsPath) {
  std::string relative = Utf8Of(windowsPath.substr(3));
  for (char &c : relative)
    if (c == '\\') c = '/';
  char drive = char(windowsPath[0] | 0x20);
  return out / (std::string("drive_") + drive) / HostPath(relative);
}

std::string CaptureText(const MachineCapture &capture, const std::string &when, const Arguments &args) {
  std::string t = "kvncapture: a copy of a Windows machine for the what-if (kvnhost --machine).\n\n";
  t += "Computer:  " + Utf8Of(capture.computer) + "\n";
  t += "When:      " + when + "\n";
  t += "Account:   " + Utf8Of(capture.account) + "\n";
  t += "Options:   --devices " + std::string(args.options.netOnly ? "net" : "all") +
       (args.options.noFiles ? " --no-files" : "") + (args.package.empty() ? "" : " --package " + args.package) +
       "\n\n";
  t += "Captured:\n";
  for (const std::string &line : capture.summary) t += "  - " + line + "\n";
  t += "\nNever read: user hives, the SAM and SECURITY hives, any file's contents besides the INF files\n"
       "listed under drive_c/ and the version resources listed in binaries.txt.\n\n";
  if (capture.omissions.empty()) {
    t += "Omissions: none.\n";
  } else {
    t += "Omissions (" + std::to_string(capture.omissions.size()) + "):\n";
    for (const std::string &line : capture.omissions) t += "  - " + line + "\n";
  }
  return t;
}

// Writes the machine directory; false with a reason (the caller removes what was written).
bool WriteMachine(const fs::path &out, const MachineCapture &capture, const std::string &when, const Arguments &args,
                  std::string &error) {
  std::string header = "# Captured by kvncapture from " + Utf8Of(capture.computer) + " on " + when +
                       " (CAPTURE.txt says what was read).\n\n";
  std::string binaries =
      "# The captured files' version resources (kvncapture); winsim makes each as a PE image.\n"
      "# path (under the machine directory)  type  file version[/product version]  internal name  description\n";
  for (const std::string &line : capture.binaries) binaries += line + "\n";
  if (!WriteHostFile(out / "machine.toml", header + capture.toml, error) ||
      !WriteHostFile(out / "registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n" + Utf8Of(capture.registry),
                     error) ||
      !WriteHostFile(out / "binaries.txt", binaries, error))
    return false;
  std::error_code ec;
  fs::create_directories(out / "drive_c", ec);
  for (const std::wstring &folder : capture.folders) {
    fs::create_directories(MachineFolder(out, folder), ec);
    if (ec) {
      error = "cannot create " + MachineFolder(out, folder).string() + ": " + ec.message();
      return false;
    }
  }
  for (const CapturedFile &file : capture.files)
    if (!WriteHostFile(MachineFolder(out, file.windowsPath), file.bytes, error)) return false;
  return WriteHostFile(out / "CAPTURE.txt", CaptureText(capture, when, args), error);
}

}  // namespace

int main(int argc, char **argv) {
  Arguments args;
  std::string error;
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!ParseArguments(argc, argv, args, error)) {
    std::fprintf(stderr, "kvncapture: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  const fs::path out = HostPath(args.out);
  std::error_code ec;
  if (fs::exists(out, ec)) {
    std::fprintf(stderr, "kvncapture: %s exists; a capture writes a new folder\n", args.out.c_str());
    return 2;
  }
  if (!fs::create_directories(out, ec)) {
    std::fprintf(stderr, "kvncapture: cannot create %s: %s\n", args.out.c_str(), ec.message().c_str());
    return 2;
  }
  if (!EnterCapturePlace(args.machine, args.package, args.options.package, error)) {
    fs::remove_all(out, ec);
    std::fprintf(stderr, "kvncapture: %s\n", error.c_str());
    return 2;
  }

  MachineCapture capture;
  capture.account = Account();
  const std::string when = Now();
  if (!RunsAsAdministrator())
    capture.Omit("the account is not an elevated administrator: what it may not read is listed below");
  CaptureSystem(capture);
  CaptureDevices(args.options, capture);
  if (!args.options.package.empty()) CapturePackage(args.options.package, capture);
  CaptureServices(capture);
  CaptureRegistry(capture);
  CaptureFiles(args.options, capture);
  LeaveCapturePlace();

  if (!WriteMachine(out, capture, when, args, error) || !CaptureLoads(out, error)) {
    fs::remove_all(out, ec);
    std::fprintf(stderr, "kvncapture: %s\n", error.c_str());
    return 2;
  }
  std::printf("kvncapture: %s written (%zu devices, %zu omissions; see CAPTURE.txt)\n", args.out.c_str(),
              capture.devices, capture.omissions.size());
  return capture.omissions.empty() ? 0 : 1;
}
