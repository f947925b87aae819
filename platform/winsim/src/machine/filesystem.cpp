#include "machine/filesystem.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <system_error>

#include "base/names.h"
#include "base/security.h"

namespace winsim {

namespace {
const PartSlot<FileSystemState> g_fileSystem("file system");

constexpr uint64_t kDefaultFreeDisk = 53687091200ULL;

bool ReadLockedFile(const toml::table &t, const std::string &file, size_t i, LockedFile &lf, std::string &error) {
  TableReader r(t, file, EntryName("locked_files", i), error);
  bool read = r.Text("path", lf.path) & r.Dword("error", lf.error) & r.Flag("rename", lf.rename);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  if (lf.path.empty()) return r.Fail("path", "is missing");
  if (lf.error == ERROR_SUCCESS) return r.Fail("error", "must not be 0");
  return r.Done();
}

bool ReadFileSecurity(const toml::table &t, const std::string &file, size_t i, FileSecuritySpec &f,
                      std::string &error) {
  std::string where = EntryName("file_security", i);
  TableReader r(t, file, where, error);
  bool read = r.Text("path", f.path) & ReadAccount(r, "owner", f.owner) & r.Flag("protected", f.protectedDacl) &
              r.Text("link_target", f.linkTarget);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  if (f.path.empty()) return r.Fail("path", "is missing");
  if (f.path.size() < 4 || f.path[1] != L':' || f.path[2] != L'\\')
    return r.Fail("path", "must be a full path below a drive root (\"C:\\\\...\")");
  if (r.Has("link_target")) {
    if (f.linkTarget.size() < 3 || f.linkTarget[1] != L':' || f.linkTarget[2] != L'\\')
      return r.Fail("link_target", "must be a full path (\"C:\\\\...\")");
    for (const char *other : {"owner", "protected", "allow", "deny"})
      if (r.Has(other)) return r.Fail(other, "does not go with link_target: a junction is only its target");
  }
  f.hasDacl = r.Has("allow") || r.Has("deny");
  if (!ReadAccessList(r, t, file, where, true, f.dacl, error)) return false;
  if (!f.hasDacl) f.dacl.clear();
  if (f.protectedDacl && !f.hasDacl) return r.Fail("protected", "needs the entry's own allow list");
  return r.Done();
}

// The [[file_security]] entries of the run-time table, for machine.toml.
toml::array FileSecurityEntries(const std::vector<FileSecuritySpec> &table) {
  toml::array out;
  for (const FileSecuritySpec &e : table) {
    toml::table t;
    t.insert("path", ToUtf8(e.path));
    if (!e.linkTarget.empty()) {
      t.insert("link_target", ToUtf8(e.linkTarget));
    } else {
      t.insert("owner", AccountName(e.owner.empty() ? MakeSid(5, {32, 544}) : e.owner));
      if (e.protectedDacl) t.insert("protected", true);
      if (e.hasDacl) {
        toml::array allow, deny;
        const std::vector<BYTE> &a = e.dacl;
        size_t count = a.size() >= 8 ? size_t(a[4] | (a[5] << 8)) : 0, at = 8;
        for (size_t i = 0; i < count && at + 8 <= a.size(); ++i) {
          size_t size = size_t(a[at + 2] | (a[at + 3] << 8));
          if (size < 16 || at + size > a.size()) break;
          DWORD mask = DWORD(a[at + 4] | (a[at + 5] << 8) | (a[at + 6] << 16) | (DWORD(a[at + 7]) << 24));
          std::vector<BYTE> sid(a.begin() + long(at + 8), a.begin() + long(at + size));
          toml::table ace;
          ace.insert("who", AccountName(sid));
          ace.insert("access", int64_t(mask));
          (a[at] == ACCESS_ALLOWED_ACE_TYPE ? allow : deny).push_back(std::move(ace));
          at += size;
        }
        if (!deny.empty()) t.insert("deny", std::move(deny));
        t.insert("allow", std::move(allow));
      }
    }
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace

FileSystemState &FileSystem() { return g_fileSystem(); }

std::filesystem::path FileSystemState::DriveFolder(wchar_t letter) const {
  wchar_t lower = (letter >= L'A' && letter <= L'Z') ? wchar_t(letter + 32) : letter;
  if (lower < L'a' || lower > L'z') return {};
  std::filesystem::path p = root_ / (std::string("drive_") + char(lower));
  std::error_code ec;
  return std::filesystem::is_directory(p, ec) ? p : std::filesystem::path{};
}

uint64_t FileSystemState::FreeBytes(wchar_t driveLetter) const {
  std::wstring key{Upcase(driveLetter), L':'};
  auto it = freeDisk_.find(key);
  return it == freeDisk_.end() ? kDefaultFreeDisk : it->second;
}

void FileSystemState::AdjustFreeBytes(wchar_t driveLetter, int64_t delta) {
  std::wstring key{Upcase(driveLetter), L':'};
  uint64_t now = FreeBytes(driveLetter);
  if (delta < 0 && uint64_t(-delta) > now)
    now = 0;
  else
    now = uint64_t(int64_t(now) + delta);
  freeDisk_[key] = now;
}

void FileSystemState::KeepDurable(const std::filesystem::path &host, bool exists) {
  if (durable_.count(host)) return;  // written already since its last flush
  std::string bytes;
  if (exists) {
    std::ifstream in(host, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  durable_.emplace(host, std::move(bytes));
}

void FileSystemState::ForgetUnflushed(const std::filesystem::path &host) { durable_.erase(host); }

void FileSystemState::MoveUnflushed(const std::filesystem::path &from, const std::filesystem::path &to) {
  // A folder's move carries the files below it; a file's replaces what its target had.
  std::string prefix = from.string() + "/";
  std::map<std::filesystem::path, std::string> moved;
  for (auto it = durable_.begin(); it != durable_.end();) {
    const std::string path = it->first.string();
    if (it->first == from || path.rfind(prefix, 0) == 0) {
      moved.emplace(to.string() + path.substr(from.string().size()), std::move(it->second));
      it = durable_.erase(it);
    } else {
      ++it;
    }
  }
  durable_.erase(to);
  for (auto &entry : moved) durable_.insert_or_assign(entry.first, std::move(entry.second));
}

size_t FileSystemState::LoseUnflushedWrites() {
  size_t lost = 0;
  for (const auto &[host, bytes] : durable_) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(host, ec)) continue;
    uint64_t size = std::filesystem::file_size(host, ec);
    if (ec) continue;
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) continue;
    ++lost;
    // The drive gets back the space the lost writes took ("drive_c/..." below the machine).
    std::filesystem::path below = std::filesystem::relative(host, root_, ec);
    std::string drive = below.empty() ? "" : below.begin()->string();
    if (!ec && drive.size() == 7 && drive.rfind("drive_", 0) == 0)
      AdjustFreeBytes(wchar_t(drive[6]), int64_t(size) - int64_t(bytes.size()));
  }
  durable_.clear();
  return lost;
}

bool FileSystemState::Load(MachineFile &file) {
  root_ = file.Root();
  const std::string &name = file.Name();
  std::string &error = file.Mistakes();
  const toml::table *attributes = nullptr, *disks = nullptr;
  const toml::array *locked = nullptr, *security = nullptr;
  bool ok = file.Top().Tables("locked_files", locked) & file.Top().Table("file_attributes", attributes) &
            file.Top().Tables("file_security", security) & file.Section("machine").Table("free_disk", disks);
  if (disks) {
    TableReader d(*disks, name, "[machine] free_disk", error);
    for (auto &&[k, v] : *disks) {
      std::string drive(k.str());
      int64_t bytes = 0;
      bool letter = drive.size() == 2 && drive[1] == ':' && std::isalpha(static_cast<unsigned char>(drive[0]));
      if (!letter) {
        ok = d.Fail(drive.c_str(), "is not a drive such as \"C:\"");
        break;
      }
      if (!d.Number(drive.c_str(), bytes, 0, INT64_MAX)) {
        ok = false;
        break;
      }
      freeDisk_[Upcased(FromUtf8(drive))] = uint64_t(bytes);
    }
  }
  if (attributes) {
    TableReader r(*attributes, name, "[file_attributes]", error);
    for (auto &&[k, v] : *attributes) {
      std::string path(k.str());
      DWORD value = 0;
      if (!r.Dword(path.c_str(), value)) {
        ok = false;
        continue;
      }
      fileAttributes[FromUtf8(path)] = value;
    }
  }
  ok &= ReadEntries(locked, lockedFiles, [&](const toml::table &t, size_t i, LockedFile &f) {
    return ReadLockedFile(t, name, i, f, error);
  });
  ok &= ReadEntries(security, fileSecurity, [&](const toml::table &t, size_t i, FileSecuritySpec &f) {
    if (!ReadFileSecurity(t, name, i, f, error)) return false;
    for (const FileSecuritySpec &other : fileSecurity)
      if (EqualNoCase(other.path, f.path))
        return TableReader(t, name, EntryName("file_security", i), error)
            .Fail("path", "\"" + ToUtf8(f.path) + "\" has an entry already");
    return true;
  });
  return ok;
}

bool FileSystemState::Save(MachineFile &file, std::string &) {
  toml::table &config = file.Config();
  toml::table *m = config["machine"].as_table();
  if (!m) {
    config.insert("machine", toml::table{});
    m = config["machine"].as_table();
  }
  toml::table disks;
  for (auto &[k, v] : freeDisk_) disks.insert(ToUtf8(k), int64_t(v));
  m->insert_or_assign("free_disk", std::move(disks));

  toml::table attrs;
  for (auto &[k, v] : fileAttributes) attrs.insert(ToUtf8(k), int64_t(v));
  if (attrs.empty())
    config.erase("file_attributes");
  else
    config.insert_or_assign("file_attributes", std::move(attrs));
  toml::array security = FileSecurityEntries(fileSecurity);
  if (security.empty())
    config.erase("file_security");
  else
    config.insert_or_assign("file_security", std::move(security));
  return true;
}

}  // namespace winsim
