// RAII owners of Windows handles: one template, one alias per handle kind. Resetting an
// owner keeps the thread's last-error value, so an owner going out of scope after a failed
// call does not hide the error.
#pragma once

#include <windows.h>
#include <objbase.h>   // IUnknown
#include <oleauto.h>   // BSTR, VARIANT
#include <setupapi.h>  // HDEVINFO, HINF
#include <shlobj.h>    // LPITEMIDLIST, SHGetMalloc
#include <winsvc.h>    // SC_HANDLE, SC_LOCK

#include <utility>

template <typename Traits>
class unique_any {
 public:
  using pointer = typename Traits::type;

  unique_any() = default;
  explicit unique_any(pointer value) : m_value(value) {}
  ~unique_any() { reset(); }
  unique_any(const unique_any &) = delete;
  unique_any &operator=(const unique_any &) = delete;
  unique_any(unique_any &&other) noexcept : m_value(other.release()) {}
  unique_any &operator=(unique_any &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  pointer get() const { return m_value; }
  bool is_valid() const { return Traits::is_valid(m_value); }
  explicit operator bool() const { return is_valid(); }

  void reset(pointer value = Traits::invalid()) {
    if (Traits::is_valid(m_value)) {
      DWORD saved = GetLastError();
      Traits::close(m_value);
      SetLastError(saved);
    }
    m_value = value;
  }
  pointer release() { return std::exchange(m_value, Traits::invalid()); }
  // For calls that fill a handle through an out-parameter.
  pointer *put() {
    reset();
    return &m_value;
  }

 private:
  pointer m_value = Traits::invalid();
};

struct file_handle_traits {  // CreateFileW: INVALID_HANDLE_VALUE on failure
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void close(type h) { CloseHandle(h); }
};

struct kernel_handle_traits {  // processes and threads: NULL on failure
  using type = HANDLE;
  static type invalid() { return nullptr; }
  static bool is_valid(type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(type h) { CloseHandle(h); }
};

struct find_handle_traits {  // FindFirstFileW
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void close(type h) { FindClose(h); }
};

struct module_handle_traits {  // LoadLibraryW
  using type = HMODULE;
  static type invalid() { return nullptr; }
  static bool is_valid(type h) { return h != nullptr; }
  static void close(type h) { FreeLibrary(h); }
};

struct hkey_traits {  // RegOpenKeyExW, RegCreateKeyExW, RegConnectRegistryW
  using type = HKEY;
  static type invalid() { return nullptr; }
  static bool is_valid(type h) { return h != nullptr; }
  static void close(type h) { RegCloseKey(h); }
};

struct hglobal_traits {  // GlobalAlloc
  using type = HGLOBAL;
  static type invalid() { return nullptr; }
  static bool is_valid(type h) { return h != nullptr; }
  static void close(type h) { GlobalFree(h); }
};

struct sid_traits {  // AllocateAndInitializeSid
  using type = PSID;
  static type invalid() { return nullptr; }
  static bool is_valid(type h) { return h != nullptr; }
  static void close(type h) { FreeSid(h); }
};

struct hdevinfo_traits {  // SetupDiGetClassDevsW: INVALID_HANDLE_VALUE on failure
  using type = HDEVINFO;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void close(type h) { SetupDiDestroyDeviceInfoList(h); }
};

struct hinf_traits {  // SetupOpenInfFileW: INVALID_HANDLE_VALUE on failure
  using type = HINF;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void close(type h) { SetupCloseInfFile(h); }
};

struct sc_handle_traits {  // OpenSCManagerW, OpenServiceW, CreateServiceW
  using type = SC_HANDLE;
  static type invalid() { return nullptr; }
  static bool is_valid(type h) { return h != nullptr; }
  static void close(type h) { CloseServiceHandle(h); }
};

struct sc_lock_traits {  // LockServiceDatabase
  using type = SC_LOCK;
  static type invalid() { return nullptr; }
  static bool is_valid(type h) { return h != nullptr; }
  static void close(type h) { UnlockServiceDatabase(h); }
};

template <class Interface>
struct com_ptr_traits {  // an interface pointer: one reference, released
  using type = Interface *;
  static type invalid() { return nullptr; }
  static bool is_valid(type p) { return p != nullptr; }
  static void close(type p) { p->Release(); }
};

struct bstr_traits {  // SysAllocString, SysAllocStringLen
  using type = BSTR;
  static type invalid() { return nullptr; }
  static bool is_valid(type s) { return s != nullptr; }
  static void close(type s) { SysFreeString(s); }
};

struct pidl_traits {  // SHGetSpecialFolderLocation: freed through the shell's allocator
  using type = LPITEMIDLIST;
  static type invalid() { return nullptr; }
  static bool is_valid(type p) { return p != nullptr; }
  static void close(type p) {
    IMalloc *shellMalloc = nullptr;
    if (FAILED(SHGetMalloc(&shellMalloc)) || !shellMalloc) return;  // nothing to free it with
    shellMalloc->Free(p);
    shellMalloc->Release();
  }
};

using unique_hfile = unique_any<file_handle_traits>;
using unique_handle = unique_any<kernel_handle_traits>;
using unique_hfind = unique_any<find_handle_traits>;
using unique_hmodule = unique_any<module_handle_traits>;
using unique_hkey = unique_any<hkey_traits>;
using unique_hglobal = unique_any<hglobal_traits>;
using unique_sid = unique_any<sid_traits>;
using unique_hdevinfo = unique_any<hdevinfo_traits>;
using unique_hinf = unique_any<hinf_traits>;
using unique_schandle = unique_any<sc_handle_traits>;
using unique_sclock = unique_any<sc_lock_traits>;
template <class Interface>
using unique_com_ptr = unique_any<com_ptr_traits<Interface>>;
using unique_bstr = unique_any<bstr_traits>;
using unique_pidl = unique_any<pidl_traits>;

// A VARIANT that is initialised when made and cleared (VariantClear) when it goes, so the
// BSTR or interface it holds is freed with it. get() is for the calls that fill it.
class unique_variant {
 public:
  unique_variant() { VariantInit(&m_value); }
  ~unique_variant() { reset(); }
  unique_variant(const unique_variant &) = delete;
  unique_variant &operator=(const unique_variant &) = delete;

  VARIANT *get() { return &m_value; }
  const VARIANT &operator*() const { return m_value; }
  void reset() {
    DWORD saved = GetLastError();
    VariantClear(&m_value);
    SetLastError(saved);
  }

 private:
  VARIANT m_value;
};

// Restores the process error mode when it goes out of scope.
class ScopedErrorMode {
 public:
  explicit ScopedErrorMode(UINT mode) : m_previous(SetErrorMode(mode)) {}
  ~ScopedErrorMode() { SetErrorMode(m_previous); }
  ScopedErrorMode(const ScopedErrorMode &) = delete;
  ScopedErrorMode &operator=(const ScopedErrorMode &) = delete;

 private:
  UINT m_previous;
};
