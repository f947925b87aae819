#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <string>

#include "probe.h"

namespace winprobe {
// WMI through COM: the locator, ROOT\CIMV2, the Win32_ComputerSystem query, its enumerator
// and the object's properties. The model's text is the machine's own, so only its form is
// compared.
void ProbeWmi(json &out) {
  out["wmi.init"] = Hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  out["wmi.security[first]"] = Hr(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  out["wmi.security[second]"] = Hr(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                        RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  // {0C2A8B1E-4F0D-4E5B-9C47-2D6A1B3E5F70}: no such class.
  const GUID unknownClass = {0x0c2a8b1e, 0x4f0d, 0x4e5b, {0x9c, 0x47, 0x2d, 0x6a, 0x1b, 0x3e, 0x5f, 0x70}};
  void *object = nullptr;
  out["wmi.create[unknown_class]"] =
      Hr(CoCreateInstance(unknownClass, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &object));
  out["wmi.create[other_interface]"] =
      Hr(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemServices, &object));
  IWbemLocator *locator = nullptr;
  out["wmi.create[locator]"] = Hr(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                                   reinterpret_cast<void **>(&locator)));
  if (!locator) {
    CoUninitialize();
    return;
  }
  out["wmi.locator.refs"] = {locator->AddRef(), locator->Release()};
  IWbemServices *services = nullptr;
  for (const wchar_t *ns : {L"ROOT\\CIMV2", L"root\\cimv2", L"\\\\.\\root\\cimv2", L"ROOT\\NOSUCH"}) {
    BSTR path = SysAllocString(ns);
    IWbemServices *got = nullptr;
    json r = {{"hr", Hr(locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &got))}};
    r["got"] = got != nullptr;
    out["wmi.connect[" + KeyText(ns) + "]"] = r;
    SysFreeString(path);
    if (got && !services)
      services = got;
    else if (got)
      got->Release();
  }
  if (!services) {
    locator->Release();
    CoUninitialize();
    return;
  }
  out["wmi.proxy_blanket"] =
      Hr(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE));
  const struct {
    const char *name;
    const wchar_t *language, *query;
  } queries[] = {
      {"sql_language", L"SQL", L"SELECT * FROM Win32_ComputerSystem"},
      {"no_such_class", L"WQL", L"SELECT * FROM Kvn_NoSuchClass"},
      {"computer_system", L"WQL", L"SELECT * FROM Win32_ComputerSystem"},
  };
  IEnumWbemClassObject *enumerator = nullptr;
  for (auto &q : queries) {
    BSTR language = SysAllocString(q.language), text = SysAllocString(q.query);
    IEnumWbemClassObject *got = nullptr;
    json r = {{"hr", Hr(services->ExecQuery(language, text, WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &got))}};
    r["got"] = got != nullptr;
    out[std::string("wmi.query[") + q.name + "]"] = r;
    SysFreeString(language);
    SysFreeString(text);
    if (got && std::string(q.name) == "computer_system")
      enumerator = got;
    else if (got)
      got->Release();
  }
  if (enumerator) {
    IWbemClassObject *objects[4] = {};
    ULONG returned = kSentinel;
    json counted = json::array();
    for (int i = 0; i < 2; ++i) {
      returned = kSentinel;
      HRESULT hr = enumerator->Next(LONG(WBEM_INFINITE), 1, objects, &returned);
      counted.push_back({Hr(hr), returned});
      if (returned == 1) objects[0]->Release();
    }
    out["wmi.next[one_at_a_time]"] = counted;
    out["wmi.reset"] = Hr(enumerator->Reset());
    returned = kSentinel;
    json batch = {{"hr", Hr(enumerator->Next(LONG(WBEM_INFINITE), 4, objects, &returned))}, {"returned", returned}};
    out["wmi.next[four]"] = batch;
    for (ULONG i = 0; i < returned && i < 4; ++i) {
      if (i == 0) {
        for (const wchar_t *name : {L"Model", L"model", L"__CLASS", L"Kvn_NoSuchProperty"}) {
          VARIANT value;
          VariantInit(&value);
          CIMTYPE type = -1;
          json r = {{"hr", Hr(objects[0]->Get(name, 0, &value, &type, nullptr))}, {"vt", value.vt}};
          if (value.vt == VT_BSTR) {
            r["type"] = type;
            if (std::wstring(name) == L"__CLASS")
              r["text"] = Utf8(value.bstrVal);
            else
              r["nonempty"] = SysStringLen(value.bstrVal) > 0;
          }
          VariantClear(&value);
          out["wmi.get[" + KeyText(name) + "]"] = r;
        }
      }
      objects[i]->Release();
    }
    out["wmi.enumerator.release"] = enumerator->Release();
  }
  out["wmi.services.release"] = services->Release();
  out["wmi.locator.release"] = locator->Release();
  CoUninitialize();
}
}  // namespace winprobe
