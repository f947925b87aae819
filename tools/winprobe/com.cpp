#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <cstdint>
#include <string>

#include "probe.h"

namespace winprobe {
// COM's apartment rules, process security, BSTRs and VARIANTs.
void ProbeComRuntime(json &out) {
  IUnknown *unknown = reinterpret_cast<IUnknown *>(uintptr_t(kSentinel));
  json notInitialised = {{"hr", Hr(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                                    reinterpret_cast<void **>(&unknown)))}};
  notInitialised["out_null"] = unknown == nullptr;
  out["com.create[not_initialised]"] = notInitialised;
  out["com.security[not_initialised]"] =
      Hr(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr));
  const struct {
    const char *name;
    DWORD model;
  } inits[] = {
      {"mta", COINIT_MULTITHREADED},
      {"mta_again", COINIT_MULTITHREADED},
      {"sta_in_mta", COINIT_APARTMENTTHREADED},
      {"mta_third", COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE},
  };
  for (auto &i : inits) out[std::string("com.init[") + i.name + "]"] = Hr(CoInitializeEx(nullptr, i.model));
  out["com.init[co_initialize_in_mta]"] = Hr(CoInitialize(nullptr));
  for (int i = 0; i < 3; ++i) CoUninitialize();  // the three successful ones
  out["com.init[sta_after_uninit]"] = Hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  out["com.init[mta_in_sta]"] = Hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  CoUninitialize();

  BSTR abc = SysAllocString(L"abc");
  BSTR cut = SysAllocStringLen(L"abcdef", 3);
  BSTR zeros = SysAllocStringLen(nullptr, 4);
  BSTR embedded = SysAllocStringLen(L"a\0b", 3);
  BSTR empty = SysAllocString(L"");
  out["bstr.alloc[abc]"] = {{"len", SysStringLen(abc)}, {"text", Utf8(abc)}};
  out["bstr.alloc_len[abcdef,3]"] = {{"len", SysStringLen(cut)}, {"text", Utf8(cut)}};
  out["bstr.alloc_len[null,4]"] = {{"len", SysStringLen(zeros)}, {"terminated", zeros && zeros[4] == 0}};
  out["bstr.alloc_len[embedded_nul]"] = {{"len", SysStringLen(embedded)}, {"last", Utf8(std::wstring(1, embedded[2]))}};
  out["bstr.alloc[empty]"] = {{"null", empty == nullptr}, {"len", SysStringLen(empty)}};
  out["bstr.alloc[null]"] = SysAllocString(nullptr) == nullptr;
  out["bstr.len[null]"] = SysStringLen(nullptr);
  for (BSTR s : {abc, cut, zeros, embedded, empty}) SysFreeString(s);
  SysFreeString(nullptr);

  const struct {
    const char *name;
    VARTYPE vt;
    bool bstr;
  } variants[] = {
      {"empty", VT_EMPTY, false}, {"i4", VT_I4, false},      {"bstr", VT_BSTR, true},
      {"null", VT_NULL, false},   {"bad_type", 0x7F, false}, {"byref_i4", VT_BYREF | VT_I4, false},
  };
  for (auto &v : variants) {
    VARIANT value;
    value.vt = 0x7777;
    VariantInit(&value);
    json r = {{"init_vt", value.vt}};
    value.vt = v.vt;
    value.lVal = 5;
    if (v.bstr) value.bstrVal = SysAllocString(L"text");
    static LONG referenced = 7;
    if (v.vt & VT_BYREF) value.byref = &referenced;
    r["hr"] = Hr(VariantClear(&value));
    r["vt_after"] = value.vt;
    out[std::string("variant.clear[") + v.name + "]"] = r;
  }
}
}  // namespace winprobe
