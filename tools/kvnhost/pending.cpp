#include "pending.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <vector>

#include "adapter/journal.h"
#include "support/handles.h"
#include "utf8text.h"

namespace {

using toolcommon::Utf8;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kServices[] = L"SYSTEM\\CurrentControlSet\\Services";

// A pending operation's path without the "\??\" prefix the session manager keeps.
std::wstring Plain(std::wstring path) {
  if (path.rfind(L"\\??\\", 0) == 0) path.erase(0, 4);
  return path;
}

void FileOperations(std::vector<PendingItem> &items) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return;
  unique_hkey key(opened);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ || size == 0)
    return;
  std::vector<WCHAR> data(size / sizeof(WCHAR) + 2, L'\0');
  if (RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE *>(data.data()),
                       &size) != ERROR_SUCCESS)
    return;
  std::vector<std::wstring> strings;
  for (size_t at = 0; at < size / sizeof(WCHAR);) {
    std::wstring s(data.data() + at);
    at += s.size() + 1;
    strings.push_back(s);
  }
  std::vector<PendingItem> operations = PendingFileOperations(strings);
  items.insert(items.end(), operations.begin(), operations.end());
}

void ServicesMarked(std::vector<PendingItem> &items) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServices, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &opened) !=
      ERROR_SUCCESS)
    return;
  unique_hkey services(opened);
  WCHAR name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    if (RegEnumKeyExW(services.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    DWORD flag = 0, size = sizeof flag, type = 0;
    HKEY service = nullptr;
    if (RegOpenKeyExW(services.get(), name, 0, KEY_QUERY_VALUE, &service) != ERROR_SUCCESS) continue;
    unique_hkey owner(service);
    if (RegQueryValueExW(service, L"DeleteFlag", nullptr, &type, reinterpret_cast<BYTE *>(&flag), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && flag == 1)
      items.push_back({"service marked for deletion", Utf8(name)});
  }
}

void DevicesWaiting(std::vector<PendingItem> &items) {
  unique_hdevinfo set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
  if (!set) return;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
    ULONG status = 0, problem = 0;
    if (CM_Get_DevNode_Status_Ex(&status, &problem, device.DevInst, 0, nullptr) != CR_SUCCESS) continue;
    if (!(status & DN_NEED_RESTART) && !((status & DN_HAS_PROBLEM) && problem == CM_PROB_NEED_RESTART)) continue;
    WCHAR id[MAX_DEVICE_ID_LEN] = L"";
    if (CM_Get_Device_ID_ExW(device.DevInst, id, MAX_DEVICE_ID_LEN, 0, nullptr) == CR_SUCCESS)
      items.push_back({"device waiting", Utf8(id)});
  }
}

}  // namespace

std::vector<PendingItem> PendingFileOperations(const std::vector<std::wstring> &strings) {
  std::vector<PendingItem> items;
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    const std::wstring &from = strings[i], &to = strings[i + 1];
    if (from.empty()) break;
    if (to.empty())
      items.push_back({"delete", Utf8(Plain(from))});
    else if (to[0] == L'!')
      items.push_back({"replace", Utf8(Plain(from)) + " -> " + Utf8(Plain(to.substr(1)))});
    else
      items.push_back({"rename", Utf8(Plain(from)) + " -> " + Utf8(Plain(to))});
  }
  return items;
}

std::vector<PendingItem> PendingRestart() {
  std::vector<PendingItem> items;
  FileOperations(items);
  ServicesMarked(items);
  DevicesWaiting(items);
  return items;
}

bool InterruptedInstallPending() {
  const CStr path = AdapterJournalPath();
  return !path.IsEmpty() && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}
