#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "probe.h"

namespace winprobe {
// ---- registry ----------------------------------------------------------------------------
// Everything happens below HKEY_CURRENT_USER\Software\KvnProbe, which the probe creates and
// removes. Sizes are reported per unit so that both WCHAR widths compare: "chars" (bytes /
// sizeof(WCHAR)) for the string types, "bytes" for the others.
namespace {
void PutSize(json &r, DWORD type, DWORD bytes) {
  if (IsRegText(type)) {
    r["chars"] = unsigned(bytes / sizeof(WCHAR));
    if (bytes % sizeof(WCHAR)) r["odd_bytes"] = unsigned(bytes % sizeof(WCHAR));
  } else {
    r["bytes"] = unsigned(bytes);
  }
}

LSTATUS OpenStatus(HKEY parent, const std::wstring &path) {
  HKEY key = nullptr;
  LSTATUS e = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key);
  if (e == ERROR_SUCCESS) RegCloseKey(key);
  return e;
}

struct RegValueCase {
  const wchar_t *name;
  DWORD type;
  std::wstring text;        // string types: the characters in the caller's buffer
  size_t chars;             // string types: how many of them cbData counts
  std::vector<BYTE> bytes;  // the other types
};

// The caller's buffer (all of it, so that what follows the counted data is defined) and cbData.
std::vector<BYTE> ValueBuffer(const RegValueCase &c, DWORD &count) {
  if (!IsRegText(c.type)) {
    count = DWORD(c.bytes.size());
    return c.bytes;
  }
  std::vector<BYTE> out(c.text.size() * sizeof(WCHAR));
  if (!out.empty()) std::memcpy(out.data(), c.text.data(), out.size());
  count = DWORD(c.chars * sizeof(WCHAR));
  return out;
}

std::vector<RegValueCase> RegValueCases() {
  using namespace std::string_literals;
  return {
      {L"sz", REG_SZ, L"Probe text\0"s, 11, {}},
      {L"sz_empty", REG_SZ, L"\0"s, 1, {}},
      // cbData without the terminator: followed in memory by another character, or by a NUL.
      {L"sz_unterminated", REG_SZ, L"abcX"s, 3, {}},
      {L"sz_unterminated_nul_after", REG_SZ, L"abc\0"s, 3, {}},
      {L"expand", REG_EXPAND_SZ, L"%KvnRegDir%\\bin\0"s, 16, {}},
      {L"multi", REG_MULTI_SZ, L"one\0two\0\0"s, 9, {}},
      {L"dword", REG_DWORD, {}, 0, {0x78, 0x56, 0x34, 0x12}},
      {L"qword", REG_QWORD, {}, 0, {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}},
      {L"binary", REG_BINARY, {}, 0, {0x00, 0x01, 0x7F, 0x80, 0xFF}},
      {L"binary4", REG_BINARY, {}, 0, {0x2A, 0x00, 0x00, 0x00}},
      {L"none", REG_NONE, {}, 0, {0xAB, 0xCD}},
      {L"none_empty", REG_NONE, {}, 0, {}},
  };
}

void ProbeRegValues(json &out, HKEY values) {
  const std::vector<RegValueCase> cases = RegValueCases();
  for (const RegValueCase &c : cases) {
    const std::string key = KeyText(c.name);
    DWORD count = 0;
    std::vector<BYTE> data = ValueBuffer(c, count);
    out["reg.set[" + key + "]"] =
        unsigned(RegSetValueExW(values, c.name, 0, c.type, data.empty() ? nullptr : data.data(), count));

    // Sizing call: no buffer.
    DWORD type = kSentinel, size = kSentinel;
    LSTATUS e = RegQueryValueExW(values, c.name, nullptr, &type, nullptr, &size);
    json sizing = {{"ret", unsigned(e)}, {"type", unsigned(type)}};
    PutSize(sizing, type, size);
    out["reg.query_size[" + key + "]"] = sizing;

    // One unit too small.
    if (e == ERROR_SUCCESS && size > 0) {
      DWORD unit = IsRegText(type) ? DWORD(sizeof(WCHAR)) : 1;
      std::vector<BYTE> small(size);
      DWORD smallSize = size - unit;
      type = kSentinel;
      LSTATUS se = RegQueryValueExW(values, c.name, nullptr, &type, small.data(), &smallSize);
      json r = {{"ret", unsigned(se)}, {"type", unsigned(type)}};
      PutSize(r, type, smallSize);
      out["reg.query_small[" + key + "]"] = r;
    }

    // Read with room to spare.
    std::vector<BYTE> buffer(1024, 0xCC);
    DWORD bufferSize = DWORD(buffer.size());
    type = kSentinel;
    e = RegQueryValueExW(values, c.name, nullptr, &type, buffer.data(), &bufferSize);
    json read = {{"ret", unsigned(e)}, {"type", unsigned(type)}};
    PutSize(read, type, bufferSize);
    if (e == ERROR_SUCCESS) {
      read["data"] = RegData(type, buffer.data(), bufferSize);
      // Whether a NUL was written after the data, there being room for one.
      if (IsRegText(type) && bufferSize + sizeof(WCHAR) <= buffer.size()) {
        WCHAR after;
        std::memcpy(&after, buffer.data() + bufferSize, sizeof after);
        read["nul_after"] = after == 0;
      }
    }
    out["reg.query[" + key + "]"] = read;
  }

  DWORD type = kSentinel, size = 16;
  BYTE buffer[16];
  out["reg.query[missing]"] = unsigned(RegQueryValueExW(values, L"missing", nullptr, &type, buffer, &size));

  // RegEnumValueW over the values just set: name, type and size of each under its own key (the
  // order is probed on its own), then how many there were and how the enumeration ended.
  LSTATUS end = ERROR_SUCCESS;
  DWORD count = 0;
  for (; count < 64; ++count) {
    WCHAR name[64];
    DWORD chars = 64, bytes = 0;
    type = kSentinel;
    end = RegEnumValueW(values, count, name, &chars, nullptr, &type, nullptr, &bytes);
    if (end != ERROR_SUCCESS) break;
    json entry = {{"name_chars", unsigned(chars)}, {"type", unsigned(type)}};
    PutSize(entry, type, bytes);
    out["reg.enum_value[" + KeyText(name) + "]"] = entry;
  }
  out["reg.enum_values[values]"] = {{"count", unsigned(count)}, {"end", unsigned(end)}};
}

// Enumeration order: names created in a mixed order and case.
void ProbeRegEnumeration(json &out, HKEY root) {
  const wchar_t *const names[] = {L"b", L"A", L"c", L"a1", L"B2"};

  HKEY keys = nullptr;
  Fixture(RegCreateKeyExW(root, L"enumkeys", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &keys, nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\enumkeys");
  for (const wchar_t *name : names) {
    HKEY sub = nullptr;
    Fixture(RegCreateKeyExW(keys, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == 0, name);
    RegCloseKey(sub);
  }
  json found = json::array();
  LSTATUS end = ERROR_SUCCESS;
  for (DWORD i = 0; i < 64; ++i) {
    WCHAR name[64];
    DWORD chars = 64;
    end = RegEnumKeyExW(keys, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (end != ERROR_SUCCESS) break;
    found.push_back({{"name", Utf8(name)}, {"chars", unsigned(chars)}});
  }
  out["reg.enum_keys[b,A,c,a1,B2]"] = {{"keys", found}, {"end", unsigned(end)}};

  // Index 1 is "a1" (or whatever comes second): a buffer of its length leaves no room for
  // the terminator.
  {
    WCHAR name[8] = L"#######";
    DWORD chars = 2;
    LSTATUS e = RegEnumKeyExW(keys, 1, name, &chars, nullptr, nullptr, nullptr, nullptr);
    out["reg.enum_keys_small[1,2]"] = {{"ret", unsigned(e)}, {"chars", unsigned(chars)}};
  }
  RegCloseKey(keys);

  HKEY values = nullptr;
  Fixture(RegCreateKeyExW(root, L"enumvalues", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &values, nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\enumvalues");
  DWORD n = 0;
  for (const wchar_t *name : names) {
    ++n;
    Fixture(RegSetValueExW(values, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&n), sizeof n) == 0, name);
  }
  found = json::array();
  for (DWORD i = 0; i < 64; ++i) {
    WCHAR name[64];
    DWORD chars = 64;
    end = RegEnumValueW(values, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (end != ERROR_SUCCESS) break;
    found.push_back(Utf8(name));
  }
  out["reg.enum_values[b,A,c,a1,B2]"] = {{"names", found}, {"end", unsigned(end)}};
  RegCloseKey(values);
}

struct RegGetCase {
  const char *flagsText;
  const wchar_t *value;
  DWORD flags;
};

void ProbeRegGetValue(json &out) {
  const std::wstring sub = std::wstring(kRegScratch) + L"\\values";
  const RegGetCase cases[] = {
      {"RRF_RT_REG_SZ", L"dword", RRF_RT_REG_SZ},
      {"RRF_RT_DWORD", L"dword", RRF_RT_DWORD},
      {"RRF_RT_REG_DWORD", L"dword", RRF_RT_REG_DWORD},
      {"RRF_RT_QWORD", L"dword", RRF_RT_QWORD},
      {"RRF_RT_DWORD", L"binary4", RRF_RT_DWORD},
      {"RRF_RT_DWORD", L"binary", RRF_RT_DWORD},
      {"RRF_RT_QWORD", L"qword", RRF_RT_QWORD},
      {"RRF_RT_REG_SZ", L"sz", RRF_RT_REG_SZ},
      {"RRF_RT_REG_SZ", L"sz_unterminated", RRF_RT_REG_SZ},
      {"RRF_RT_REG_SZ", L"expand", RRF_RT_REG_SZ},
      {"RRF_RT_REG_SZ|RRF_NOEXPAND", L"expand", RRF_RT_REG_SZ | RRF_NOEXPAND},
      {"RRF_RT_REG_EXPAND_SZ|RRF_NOEXPAND", L"expand", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND},
      {"RRF_RT_REG_EXPAND_SZ", L"expand", RRF_RT_REG_EXPAND_SZ},
      {"RRF_RT_REG_MULTI_SZ", L"multi", RRF_RT_REG_MULTI_SZ},
      {"RRF_RT_REG_SZ", L"multi", RRF_RT_REG_SZ},
      {"RRF_RT_ANY", L"sz", RRF_RT_ANY},
      {"RRF_RT_ANY", L"sz_empty", RRF_RT_ANY},
      {"RRF_RT_ANY", L"expand", RRF_RT_ANY},
      {"RRF_RT_ANY|RRF_NOEXPAND", L"expand", RRF_RT_ANY | RRF_NOEXPAND},
      {"RRF_RT_ANY", L"multi", RRF_RT_ANY},
      {"RRF_RT_ANY", L"dword", RRF_RT_ANY},
      {"RRF_RT_ANY", L"qword", RRF_RT_ANY},
      {"RRF_RT_ANY", L"binary", RRF_RT_ANY},
      {"RRF_RT_ANY", L"none", RRF_RT_ANY},
      {"RRF_RT_ANY", L"none_empty", RRF_RT_ANY},
      {"RRF_RT_ANY", L"missing", RRF_RT_ANY},
  };
  for (const RegGetCase &c : cases) {
    const std::string key = Utf8(c.value) + "," + c.flagsText;

    DWORD type = kSentinel, size = kSentinel;
    LSTATUS e = RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), c.value, c.flags, &type, nullptr, &size);
    json sizing = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      sizing["type"] = unsigned(type);
      PutSize(sizing, type, size);
    }
    out["reg.get_size[" + key + "]"] = sizing;

    std::vector<BYTE> buffer(1024, 0xCC);
    size = DWORD(buffer.size());
    type = kSentinel;
    e = RegGetValueW(HKEY_CURRENT_USER, sub.c_str(), c.value, c.flags, &type, buffer.data(), &size);
    json read = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      read["type"] = unsigned(type);
      PutSize(read, type, size);
      read["data"] = RegData(type, buffer.data(), size);
    }
    out["reg.get[" + key + "]"] = read;
  }
}

void ProbeRegDeletion(json &out, HKEY root) {
  HKEY leaf = nullptr;
  Fixture(RegCreateKeyExW(root, L"del\\parent\\child\\grandchild", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &leaf,
                          nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\del\\parent\\child\\grandchild");
  RegCloseKey(leaf);

  struct Step {
    const char *key;
    const wchar_t *path;
  };
  const Step steps[] = {
      {"reg.delete[with_subkeys]", L"del\\parent"},
      {"reg.delete[missing]", L"del\\nokey"},
      {"reg.delete[missing_parent]", L"del\\nodir\\nokey"},
      {"reg.delete[grandchild]", L"del\\parent\\child\\grandchild"},
      {"reg.delete[child]", L"del\\parent\\child"},
      {"reg.delete[parent]", L"del\\parent"},
      {"reg.delete[parent_again]", L"del\\parent"},
  };
  for (const Step &s : steps) {
    LSTATUS e = RegDeleteKeyW(root, s.path);
    out[s.key] = {{"ret", unsigned(e)}, {"open_after", unsigned(OpenStatus(root, s.path))}};
  }
}

void ProbeRegOpen(json &out, HKEY root) {
  struct OpenCase {
    const char *key;
    const wchar_t *path;
  };
  const OpenCase cases[] = {
      {"reg.open[values]", L"values"},
      {"reg.open[VALUES]", L"VALUES"},
      {"reg.open[missing]", L"nokey"},
      {"reg.open[missing_parent]", L"nokey\\sub"},
      {"reg.open[values\\missing]", L"values\\nokey"},
  };
  for (const OpenCase &c : cases) {
    HKEY key = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
    LSTATUS e = RegOpenKeyExW(root, c.path, 0, KEY_READ, &key);
    json r = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS)
      RegCloseKey(key);
    else
      r["handle_cleared"] = key == nullptr;
    out[c.key] = r;
  }
}

// Key security: a key whose access list gives Administrators read access only. Opening it
// for more, writing through a read handle and creating a subkey are refused; its creator,
// the owner, can still replace the list (and does, to delete the key).
void ProbeRegAccess(json &out, HKEY root) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  Fixture(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                   &admins) != FALSE,
          L"the Administrators SID");
  std::vector<BYTE> aclBlock(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(admins));
  PACL acl = reinterpret_cast<PACL>(aclBlock.data());
  SECURITY_DESCRIPTOR sd;
  Fixture(InitializeAcl(acl, DWORD(aclBlock.size()), ACL_REVISION) &&
              AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, admins) &&
              InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE),
          L"a read-only access list");
  SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
  HKEY key = nullptr;
  LSTATUS e = RegCreateKeyExW(root, L"acl", 0, nullptr, 0, KEY_READ, &sa, &key, nullptr);
  out["reg.access.create[read_only_list]"] = unsigned(e);
  if (e != ERROR_SUCCESS) {
    FreeSid(admins);
    return;
  }
  RegCloseKey(key);

  struct OpenCase {
    const char *key;
    REGSAM sam;
  };
  const OpenCase cases[] = {
      {"reg.access.open[KEY_READ]", KEY_READ},
      {"reg.access.open[GENERIC_READ]", GENERIC_READ},
      {"reg.access.open[KEY_SET_VALUE]", KEY_SET_VALUE},
      {"reg.access.open[KEY_WRITE]", KEY_WRITE},
      {"reg.access.open[KEY_ALL_ACCESS]", KEY_ALL_ACCESS},
      {"reg.access.open[DELETE]", DELETE},
      {"reg.access.open[READ_CONTROL]", READ_CONTROL},
  };
  for (const OpenCase &c : cases) {
    HKEY h = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
    e = RegOpenKeyExW(root, L"acl", 0, c.sam, &h);
    json r = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS)
      RegCloseKey(h);
    else
      r["handle_cleared"] = h == nullptr;
    HKEY created = nullptr;
    r["create_existing"] = unsigned(RegCreateKeyExW(root, L"acl", 0, nullptr, 0, c.sam, nullptr, &created, nullptr));
    if (created) RegCloseKey(created);
    out[c.key] = r;
  }
  HKEY read = nullptr;
  if (RegOpenKeyExW(root, L"acl", 0, KEY_READ, &read) == ERROR_SUCCESS) {
    DWORD one = 1;
    out["reg.access.set_through_read_handle"] =
        unsigned(RegSetValueExW(read, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), sizeof one));
    RegCloseKey(read);
  }
  HKEY sub = nullptr;
  out["reg.access.create_subkey"] =
      unsigned(RegCreateKeyExW(root, L"acl\\sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
  if (sub) RegCloseKey(sub);
  out["reg.access.delete"] = unsigned(RegDeleteKeyW(root, L"acl"));

  // The owner opens it for WRITE_DAC, opens it to everyone and deletes it.
  HKEY owner = nullptr;
  e = RegOpenKeyExW(root, L"acl", 0, WRITE_DAC, &owner);
  out["reg.access.open[WRITE_DAC]"] = unsigned(e);
  if (e == ERROR_SUCCESS) {
    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    out["reg.access.null_dacl"] = unsigned(RegSetKeySecurity(owner, DACL_SECURITY_INFORMATION, &open));
    RegCloseKey(owner);
  }
  RegDeleteKeyW(root, L"acl\\sub");  // there when the subkey's creation was not refused
  out["reg.access.delete_after_null_dacl"] = unsigned(RegDeleteKeyW(root, L"acl"));
  FreeSid(admins);
}

void ProbeRegConnect(json &out) {
  struct ConnectCase {
    const char *key;
    HKEY root;
    const wchar_t *through;  // a key opened through the handle, or null
  };
  const std::wstring values = std::wstring(kRegScratch) + L"\\values";
  const ConnectCase cases[] = {
      {"reg.connect[NULL,HKEY_CURRENT_USER]", HKEY_CURRENT_USER, values.c_str()},
      {"reg.connect[NULL,HKEY_LOCAL_MACHINE]", HKEY_LOCAL_MACHINE, nullptr},
  };
  for (const ConnectCase &c : cases) {
    HKEY remote = nullptr;
    LSTATUS e = RegConnectRegistryW(nullptr, c.root, &remote);
    json r = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      if (c.through) r["open_through"] = unsigned(OpenStatus(remote, c.through));
      r["close"] = unsigned(RegCloseKey(remote));
    }
    out[c.key] = r;
  }
}
}  // namespace

void ProbeRegistry(json &out) {
  DeleteRegTree(HKEY_CURRENT_USER, kRegScratch);  // left by an interrupted run
  SetEnvironmentVariableW(L"KvnRegDir", L"C:\\Kvn");

  HKEY root = nullptr;
  DWORD disposition = kSentinel;
  LSTATUS e =
      RegCreateKeyExW(HKEY_CURRENT_USER, kRegScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, &disposition);
  out["reg.create[scratch]"] = {{"ret", unsigned(e)}, {"disposition", unsigned(disposition)}};
  if (e != ERROR_SUCCESS) return;
  {
    HKEY again = nullptr;
    disposition = kSentinel;
    e = RegCreateKeyExW(HKEY_CURRENT_USER, kRegScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition);
    out["reg.create[scratch_again]"] = {{"ret", unsigned(e)}, {"disposition", unsigned(disposition)}};
    if (e == ERROR_SUCCESS) RegCloseKey(again);
  }

  HKEY values = nullptr;
  Fixture(RegCreateKeyExW(root, L"values", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &values, nullptr) == 0,
          L"HKCU\\Software\\KvnProbe\\values");
  ProbeRegValues(out, values);
  RegCloseKey(values);

  ProbeRegEnumeration(out, root);
  ProbeRegGetValue(out);
  ProbeRegOpen(out, root);
  ProbeRegConnect(out);
  ProbeRegDeletion(out, root);
  ProbeRegAccess(out, root);
  RegCloseKey(root);

  e = DeleteRegTree(HKEY_CURRENT_USER, kRegScratch);
  out["reg.remove[scratch]"] = {{"ret", unsigned(e)},
                                {"open_after", unsigned(OpenStatus(HKEY_CURRENT_USER, kRegScratch))}};
}
}  // namespace winprobe
