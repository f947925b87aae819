// mkpe: writes a small PE image with a version resource (fixtures for tests and examples).
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "pewriter.h"

namespace {

const char kUsage[] =
    "usage: mkpe OUTPUT --file-version A.B.C.D [--product-version A.B.C.D] [--company TEXT]\n"
    "            [--internal-name TEXT] [--description TEXT] [--product-name TEXT]\n"
    "            [--original-filename TEXT] [--string NAME=TEXT]... [--type app|dll|drv]\n"
    "            [--arch x64|x86] [--no-version]\n"
    "Writes a PE image with a VS_VERSIONINFO resource (none with --no-version).\n"
    "The product version defaults to the file version; the type to dll; the architecture to x64.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string output;
  std::optional<mkpe::Version> fileVersion;
  std::optional<mkpe::Version> productVersion;
  mkpe::VersionInfo info;
  mkpe::FileType type = mkpe::FileType::Dll;
  mkpe::Architecture arch = mkpe::Architecture::X64;
  bool noVersion = false;
};

mkpe::Version VersionArgument(const std::string &option, const std::string &text) {
  mkpe::Version v;
  if (!mkpe::ParseVersion(text, v))
    throw UsageError(option + ": \"" + text + "\" is not a version A.B.C.D (four numbers 0-65535)");
  return v;
}

Options Parse(int argc, char **argv) {
  Options o;
  std::map<std::string, std::optional<std::string> *> texts = {
      {"--company", &o.info.companyName},
      {"--internal-name", &o.info.internalName},
      {"--description", &o.info.fileDescription},
      {"--product-name", &o.info.productName},
      {"--original-filename", &o.info.originalFilename},
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      if (!o.output.empty())
        throw UsageError("more than one output file given (\"" + o.output + "\", \"" + arg + "\")");
      o.output = arg;
      continue;
    }
    if (arg == "--no-version") {
      o.noVersion = true;
      continue;
    }
    static const char *const kWithValue[] = {"--file-version", "--product-version",  "--type",          "--arch",
                                             "--string",       "--company",          "--internal-name", "--description",
                                             "--product-name", "--original-filename"};
    bool known = false;
    for (const char *name : kWithValue) known = known || arg == name;
    if (!known) throw UsageError("unknown option " + arg);
    if (i + 1 >= argc) throw UsageError(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--file-version") {
      o.fileVersion = VersionArgument(arg, value);
    } else if (arg == "--product-version") {
      o.productVersion = VersionArgument(arg, value);
    } else if (arg == "--type") {
      if (value == "app")
        o.type = mkpe::FileType::App;
      else if (value == "dll")
        o.type = mkpe::FileType::Dll;
      else if (value == "drv")
        o.type = mkpe::FileType::Drv;
      else
        throw UsageError("--type: \"" + value + "\" is not app, dll or drv");
    } else if (arg == "--arch") {
      if (value == "x64")
        o.arch = mkpe::Architecture::X64;
      else if (value == "x86")
        o.arch = mkpe::Architecture::X86;
      else
        throw UsageError("--arch: \"" + value + "\" is not x64 or x86");
    } else if (arg == "--string") {
      size_t eq = value.find('=');
      if (eq == std::string::npos || eq == 0) throw UsageError("--string: \"" + value + "\" is not NAME=TEXT");
      o.info.extraStrings.push_back({value.substr(0, eq), value.substr(eq + 1)});
    } else {
      *texts.at(arg) = value;
    }
  }
  if (o.output.empty()) throw UsageError("no output file given");
  if (!o.noVersion && !o.fileVersion) throw UsageError("--file-version is required (or --no-version)");
  if (o.fileVersion) o.info.fileVersion = *o.fileVersion;
  o.info.productVersion = o.productVersion ? *o.productVersion : o.info.fileVersion;
  return o;
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  Options o;
  try {
    o = Parse(argc, argv);
  } catch (const UsageError &e) {
    std::fprintf(stderr, "mkpe: %s (mkpe --help for usage)\n", e.what());
    return 2;
  }
  std::string error;
  if (!mkpe::WriteImage(o.output, o.noVersion ? nullptr : &o.info, o.type, &error, o.arch)) {
    std::fprintf(stderr, "mkpe: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
