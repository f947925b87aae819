// A machine directory copied into a new state directory (winsim.h, CopyMachine): the chain
// of machines it starts from (`base = "DIR"` in machine.toml) resolved into one complete
// machine, and the program images its binaries.txt lists made.
//
// How a machine goes over its base, the base having been resolved first:
//   machine.toml  a table merges key by key, this machine's values replacing the base's
//                 (tables within tables merge the same way); an array of tables whose
//                 entries have an identity ([[devices]] by instance_id, [[services]] and
//                 [[programs]] by name, [[locked_files]], [[file_security]] and
//                 [[key_security]] by path, without regard to case) merges entry by entry:
//                 an entry replaces the base's entry of the same identity, `remove = true`
//                 drops it, other entries are appended; any other array (such as [[faults]]
//                 and protected_keys) is appended to the base's.
//   registry.reg  this machine's file is applied over the base's registry as regedit
//                 imports a file ([-KEY] deletes a key, "name"=- a value).
//   drive_c/ ...  this machine's files replace the base's of the same path.
//   binaries.txt  the images this machine lists are made where this machine has no file of
//                 that path (the base's lists were made for the base first).
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include <toml++/toml.h>

#include "base/names.h"
#include "pewriter.h"
#include "machine/regfile.h"
#include "machine/registry.h"
#include "winsim.h"

namespace fs = std::filesystem;

namespace winsim {
namespace {

constexpr int kMaxBaseChain = 8;

struct Identity {
  const char *array, *key;
};
constexpr Identity kIdentities[] = {{"devices", "instance_id"}, {"services", "name"},      {"programs", "name"},
                                    {"locked_files", "path"},   {"file_security", "path"}, {"key_security", "path"}};

const char *IdentityKey(const std::string &array) {
  for (const Identity &i : kIdentities)
    if (array == i.array) return i.key;
  return nullptr;
}

bool SameIdentity(const toml::node &a, const toml::node &b, const char *key) {
  const toml::table *ta = a.as_table(), *tb = b.as_table();
  auto ia = ta ? (*ta)[key].value<std::string>() : std::nullopt;
  auto ib = tb ? (*tb)[key].value<std::string>() : std::nullopt;
  return ia && ib && EqualNoCase(FromUtf8(*ia), FromUtf8(*ib));
}

void MergeEntries(toml::array &base, const toml::array &own, const char *key) {
  for (const toml::node &entry : own) {
    const toml::table *t = entry.as_table();
    bool remove = t && (*t)["remove"].value_or(false);
    auto match =
        key ? std::find_if(base.begin(), base.end(), [&](const toml::node &b) { return SameIdentity(b, entry, key); })
            : base.end();
    if (match != base.end()) {
      if (remove) {
        base.erase(match);
        continue;
      }
      *match->as_table() = *t;  // entries of the same identity are tables
    } else if (!remove) {
      base.push_back(entry);
    }
  }
}

void MergeTable(toml::table &base, const toml::table &own, bool topLevel) {
  for (auto &&[name, value] : own) {
    const std::string key(name.str());
    if (topLevel && key == "base") continue;
    toml::node *existing = base.get(key);
    if (existing && existing->is_table() && value.is_table()) {
      MergeTable(*existing->as_table(), *value.as_table(), false);
    } else if (topLevel && existing && existing->is_array() && value.is_array()) {
      MergeEntries(*existing->as_array(), *value.as_array(), IdentityKey(key));
    } else {
      base.insert_or_assign(key, value);
    }
  }
}

// A binaries.txt line: path type version[/product-version] internal-name description.
bool MakeListedBinaries(const fs::path &machine, const fs::path &state, std::string &error) {
  const fs::path list = machine / "binaries.txt";
  std::ifstream in(list);
  if (!in) return true;
  int lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string path, type, version, internal, description;
    fields >> path >> type >> version >> internal;
    std::getline(fields >> std::ws, description);
    auto fail = [&](const std::string &reason) {
      error = list.string() + ":" + std::to_string(lineNumber) + ": " + reason;
      return false;
    };
    if (description.empty()) return fail("expected: path type version internal-name description");
    const fs::path relative = fs::path(path).lexically_normal();
    if (relative.is_absolute() || relative.empty() || *relative.begin() == ".." || path.find('\\') != std::string::npos)
      return fail("the path " + path + " is not a path inside the machine directory (drive_c/...)");
    mkpe::FileType fileType;
    if (type == "app")
      fileType = mkpe::FileType::App;
    else if (type == "dll")
      fileType = mkpe::FileType::Dll;
    else if (type == "drv")
      fileType = mkpe::FileType::Drv;
    else
      return fail("the type " + type + " is not app, dll or drv");
    // "a.b.c.d" is the file and the product version; "a.b.c.d/e.f.g.h" gives the product
    // version apart.
    mkpe::VersionInfo info;
    const size_t slash = version.find('/');
    const std::string fileVersion = version.substr(0, slash);
    if (!mkpe::ParseVersion(fileVersion, info.fileVersion) ||
        (slash != std::string::npos && !mkpe::ParseVersion(version.substr(slash + 1), info.productVersion)))
      return fail("the version " + version +
                  " is not four numbers from 0 to 65535 (a.b.c.d, or a.b.c.d/e.f.g.h with the product version)");
    if (slash == std::string::npos) info.productVersion = info.fileVersion;
    info.companyName = "Intel Corporation";
    info.internalName = internal;
    info.fileDescription = description;
    info.originalFilename = relative.filename().string();
    std::error_code ec;
    if (fs::exists(machine / relative, ec)) continue;  // the machine has the file itself
    fs::create_directories((state / relative).parent_path(), ec);
    std::string written;
    if (!mkpe::WriteImage((state / relative).string(), &info, fileType, &written))
      return fail("cannot make " + path + ": " + written);
  }
  return true;
}

bool CopyInto(const fs::path &machine, const fs::path &state, std::vector<fs::path> &chain, std::string &error) {
  std::error_code ec;
  if (!fs::is_directory(machine, ec)) {
    error = "machine directory " + machine.string() + " does not exist";
    return false;
  }
  const fs::path configFile = machine / "machine.toml";
  toml::table own;
  if (!ParseMachineToml(configFile, own, error)) return false;
  chain.push_back(fs::weakly_canonical(machine, ec));
  // As the machine file's other mistakes are told: FILE:LINE: KEY reason.
  auto baseFails = [&](const toml::node &at, const std::string &reason) {
    error = configFile.string() + ":" + std::to_string(at.source().begin.line) + ": base " + reason;
    return false;
  };

  toml::table merged;  // the base's machine.toml, then this machine's over it
  std::string baseRegistry;
  bool hasBase = false;
  if (const toml::node *base = own.get("base")) {
    auto text = base->value<std::string>();
    if (!text || text->empty()) return baseFails(*base, "is not the path of another machine directory");
    if (int(chain.size()) >= kMaxBaseChain)
      return baseFails(*base, "makes a chain of more than " + std::to_string(kMaxBaseChain) + " machines");
    fs::path baseDir = fs::path(*text).is_absolute() ? fs::path(*text) : machine / *text;
    if (!fs::is_directory(baseDir, ec))
      return baseFails(*base, "names machine directory " + baseDir.string() + ", which does not exist");
    if (std::find(chain.begin(), chain.end(), fs::weakly_canonical(baseDir, ec)) != chain.end())
      return baseFails(*base, "names " + baseDir.string() + ", a machine of its own chain of bases");
    if (!CopyInto(baseDir, state, chain, error)) return false;
    if (!ParseMachineToml(state / "machine.toml", merged, error)) return false;
    ReadFileBytes(state / "registry.reg", baseRegistry);  // none: the base has no registry
    hasBase = true;
  }
  for (const fs::directory_entry &entry : fs::directory_iterator(machine, ec)) {
    const std::string name = entry.path().filename().string();
    if (hasBase && (name == "machine.toml" || name == "registry.reg")) continue;
    fs::copy(entry.path(), state / name,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing | fs::copy_options::copy_symlinks, ec);
    if (ec) {
      error = "cannot copy " + entry.path().string() + " to " + state.string() + ": " + ec.message();
      return false;
    }
  }
  if (ec) {
    error = "cannot read " + machine.string() + ": " + ec.message();
    return false;
  }
  if (hasBase) {
    MergeTable(merged, own, true);
    const fs::path ownRegistry = machine / "registry.reg";
    if (fs::exists(ownRegistry, ec)) {
      // The base's registry as the state has it, then this machine's file imported over it.
      RegistryTree registry;
      if (!baseRegistry.empty() && !ParseRegFile(baseRegistry, (state / "registry.reg").string(), registry, error))
        return false;
      std::string text;
      if (!ReadFileBytes(ownRegistry, text)) {
        error = "cannot read " + ownRegistry.string();
        return false;
      }
      if (!ParseRegFile(text, ownRegistry.string(), registry, error)) return false;
      if (!WriteFileAtomically(state / "registry.reg", WriteRegFile(registry), error)) return false;
    }
    std::ostringstream text;
    text << merged << "\n";
    if (!WriteFileAtomically(state / "machine.toml", text.str(), error)) return false;
  }
  return MakeListedBinaries(machine, state, error);
}

}  // namespace

bool CopyMachine(const fs::path &machine, const fs::path &state, std::string &error) {
  std::error_code ec;
  if (fs::exists(state, ec)) {
    error = "state " + state.string() + " exists already";
    return false;
  }
  fs::create_directories(state, ec);
  if (ec) {
    error = "cannot create " + state.string() + ": " + ec.message();
    return false;
  }
  std::vector<fs::path> chain;
  if (CopyInto(machine, state, chain, error)) return true;
  fs::remove_all(state, ec);  // nothing is left of a copy that failed
  return false;
}

}  // namespace winsim
