// WMI over [wmi]: the WBEM locator, the ROOT\CIMV2 namespace, WQL queries of whole classes
// and the objects they enumerate.
//
// Modelled: ConnectServer to ROOT\CIMV2 on the local computer (any letter case, with or
// without "\\.\" or the computer's name in front); "SELECT * | property, ... FROM class" in
// WQL; the class Win32_ComputerSystem with one instance whose Model comes from [wmi] model
// and whose Name and Caption are the computer name; the enumerator's Next and Reset; Get.
// Not modelled (NotModelled, E_NOTIMPL): remote computers and credentials, WHERE clauses,
// the other classes and properties of ROOT\CIMV2 that Windows has.
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "ole32/com.h"
#include "plumbing/hooks.h"
#include "base/names.h"
#include "machine/system.h"
#include "machine/wmi.h"
#include "base/diagnostics.h"

namespace winsim {
namespace {

// One instance: its class and its properties (all text), as the query selected them.
struct Instance {
  std::wstring className;
  std::vector<std::pair<std::wstring, std::wstring>> properties;
  bool selectedOnly = false;  // the query named its properties
};

// Classes of ROOT\CIMV2 that Windows has and winsim does not model.
const wchar_t *const kUnmodelledClasses[] = {
    L"Win32_OperatingSystem", L"Win32_BIOS",
    L"Win32_Processor",       L"Win32_ComputerSystemProduct",
    L"Win32_NetworkAdapter",  L"Win32_PnPEntity",
    L"Win32_Service",         L"Win32_LogicalDisk",
    L"Win32_DiskDrive",       L"Win32_BaseBoard",
    L"Win32_PhysicalMemory",  L"Win32_SystemDriver",
    L"Win32_Process",         L"Win32_QuickFixEngineering",
};
// Properties of Win32_ComputerSystem that Windows has and winsim does not model.
const wchar_t *const kUnmodelledProperties[] = {
    L"Manufacturer",       L"Domain",
    L"DomainRole",         L"PartOfDomain",
    L"Workgroup",          L"TotalPhysicalMemory",
    L"NumberOfProcessors", L"NumberOfLogicalProcessors",
    L"SystemType",         L"UserName",
    L"PrimaryOwnerName",   L"Status",
    L"Description",        L"SystemFamily",
    L"SystemSKUNumber",    L"PCSystemType",
    L"BootupState",        L"Roles",
};

std::wstring Trim(std::wstring_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::iswspace(s[b])) ++b;
  while (e > b && std::iswspace(s[e - 1])) --e;
  return std::wstring(s.substr(b, e - b));
}

bool IsIdentifier(std::wstring_view s) {
  if (s.empty() || !(std::iswalpha(s[0]) || s[0] == L'_')) return false;
  return std::all_of(s.begin(), s.end(), [](wchar_t c) { return std::iswalnum(c) || c == L'_'; });
}

// The next blank-separated word of `query` from `pos`.
std::wstring Word(const std::wstring &query, size_t &pos) {
  while (pos < query.size() && std::iswspace(query[pos])) ++pos;
  size_t start = pos;
  while (pos < query.size() && !std::iswspace(query[pos])) ++pos;
  return query.substr(start, pos - start);
}

// QueryInterface of an object with one interface besides IUnknown.
HRESULT QueryOwn(ComObject &object, IUnknown *self, REFIID riid, REFIID own, void **ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  object.CheckAlive();
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, own)) return E_NOINTERFACE;
  object.AddRefObject();
  *ppv = self;
  return S_OK;
}

// Makes a new object with one reference and keeps it until the machine closes.
template <class T, class... Args>
T *Make(Args &&...args) {
  auto object = std::make_unique<T>(std::forward<Args>(args)...);
  T *raw = object.get();
  KeepComObject(std::move(object), static_cast<IUnknown *>(raw));
  return raw;
}

#define WINSIM_IUNKNOWN(Iface)                                                 \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override { \
    WINSIM_METHOD(IUnknown, QueryInterface);                                   \
    return QueryOwn(*this, this, riid, IID_##Iface, ppv);                      \
  }                                                                            \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }         \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }

class ClassObject final : public IWbemClassObject, public ComObject {
 public:
  explicit ClassObject(Instance instance) : instance_(std::move(instance)) {}
  WINSIM_IUNKNOWN(IWbemClassObject)

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT *pVal, CIMTYPE *pType, LONG *plFlavor) override {
    WINSIM_METHOD(IWbemClassObject, Get, wszName);
    CheckAlive();
    if (!wszName || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
    std::wstring value;
    bool found = false;
    LONG flavor = WBEM_FLAVOR_ORIGIN_PROPAGATED;
    if (EqualNoCase(wszName, L"__CLASS")) {
      value = instance_.className;
      found = true;
      flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
    }
    for (auto &[name, text] : instance_.properties)
      if (!found && EqualNoCase(name, wszName)) {
        value = text;
        found = true;
      }
    if (!found) {
      if (!instance_.selectedOnly)
        for (const wchar_t *p : kUnmodelledProperties)
          if (EqualNoCase(p, wszName)) {
            NotModelled("IWbemClassObject::Get", "the property " + ToUtf8(wszName));
            return E_NOTIMPL;
          }
      return WBEM_E_NOT_FOUND;
    }
    if (pVal) {
      BSTR text = SysAllocString(value.c_str());
      if (!text) return WBEM_E_OUT_OF_MEMORY;
      pVal->vt = VT_BSTR;
      pVal->bstrVal = text;
    }
    if (pType) *pType = CIM_STRING;
    if (plFlavor) *plFlavor = flavor;
    return WBEM_S_NO_ERROR;
  }

 private:
  Instance instance_;
};

class Enumerator final : public IEnumWbemClassObject, public ComObject {
 public:
  explicit Enumerator(std::vector<Instance> instances) : instances_(std::move(instances)) {}
  WINSIM_IUNKNOWN(IEnumWbemClassObject)

  HRESULT STDMETHODCALLTYPE Reset() override {
    WINSIM_METHOD(IEnumWbemClassObject, Reset);
    CheckAlive();
    next_ = 0;
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject **apObjects,
                                 ULONG *puReturned) override {
    WINSIM_METHOD(IEnumWbemClassObject, Next);
    CheckAlive();
    if (!apObjects || !puReturned || (lTimeout < 0 && lTimeout != LONG(WBEM_INFINITE))) return WBEM_E_INVALID_PARAMETER;
    ULONG returned = 0;
    // The instances are all there when the query returns, so no wait times out.
    while (returned < uCount && next_ < instances_.size())
      apObjects[returned++] = Make<ClassObject>(instances_[next_++]);
    *puReturned = returned;
    return returned == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  std::vector<Instance> instances_;
  size_t next_ = 0;
};

// The instances of Win32_ComputerSystem, with the selected properties (all when empty).
std::vector<Instance> ComputerSystem(const std::vector<std::wstring> &selected) {
  const std::wstring &name = System().computerName;
  Instance all{L"Win32_ComputerSystem", {{L"Name", name}, {L"Caption", name}, {L"Model", Wmi().model}}, false};
  if (selected.empty()) return {all};
  Instance some{all.className, {}, true};
  for (auto &[name, value] : all.properties)
    for (auto &s : selected)
      if (EqualNoCase(name, s)) some.properties.emplace_back(name, value);
  return {some};
}

class Services final : public IWbemServices, public ComObject {
 public:
  WINSIM_IUNKNOWN(IWbemServices)

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext *pCtx,
                                      IEnumWbemClassObject **ppEnum) override {
    WINSIM_METHOD(IWbemServices, ExecQuery, strQueryLanguage, strQuery);
    CheckAlive();
    if (!ppEnum || !strQueryLanguage || !strQuery) return WBEM_E_INVALID_PARAMETER;
    *ppEnum = nullptr;
    if (lFlags & ~LONG(WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY)) return WBEM_E_INVALID_PARAMETER;
    if (!EqualNoCase(strQueryLanguage, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    if (pCtx) {
      NotModelled("IWbemServices::ExecQuery", "a context object");
      return E_NOTIMPL;
    }
    // SELECT <* | name, name ...> FROM <class> [WHERE ...]
    std::wstring query = strQuery;
    size_t pos = 0;
    if (!EqualNoCase(Word(query, pos), L"SELECT")) return WBEM_E_INVALID_QUERY;
    const size_t listStart = pos;
    size_t from = pos;
    std::wstring word;
    while (!(word = Word(query, pos)).empty() && !EqualNoCase(word, L"FROM")) from = pos;
    if (word.empty()) return WBEM_E_INVALID_QUERY;
    std::wstring list = Trim(std::wstring_view(query).substr(listStart, from - listStart));
    std::vector<std::wstring> selected;
    if (list != L"*") {
      size_t start = 0;
      for (;;) {
        size_t comma = list.find(L',', start);
        std::wstring name =
            Trim(std::wstring_view(list).substr(start, comma == std::wstring::npos ? comma : comma - start));
        if (!IsIdentifier(name)) return WBEM_E_INVALID_QUERY;
        selected.push_back(name);
        if (comma == std::wstring::npos) break;
        start = comma + 1;
      }
    }
    std::wstring className = Word(query, pos);
    if (!IsIdentifier(className)) return WBEM_E_INVALID_QUERY;
    std::wstring rest = Word(query, pos);
    if (!rest.empty()) {
      if (!EqualNoCase(rest, L"WHERE")) return WBEM_E_INVALID_QUERY;
      NotModelled("IWbemServices::ExecQuery", "a WHERE clause");
      return E_NOTIMPL;
    }
    if (!EqualNoCase(className, L"Win32_ComputerSystem")) {
      for (const wchar_t *c : kUnmodelledClasses)
        if (EqualNoCase(c, className)) {
          NotModelled("IWbemServices::ExecQuery", "the class " + ToUtf8(className));
          return E_NOTIMPL;
        }
      return WBEM_E_INVALID_CLASS;
    }
    *ppEnum = Make<Enumerator>(ComputerSystem(selected));
    return WBEM_S_NO_ERROR;
  }
};

// The namespace a path names on this computer, or empty when it names another computer.
std::wstring LocalNamespace(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  if (path.rfind(L"\\\\", 0) != 0) return path;
  size_t end = path.find(L'\\', 2);
  if (end == std::wstring::npos) return {};
  std::wstring server = path.substr(2, end - 2);
  if (server != L"." && !EqualNoCase(server, L"localhost") && !EqualNoCase(server, System().computerName)) return {};
  return path.substr(end + 1);
}

class Locator final : public IWbemLocator, public ComObject {
 public:
  WINSIM_IUNKNOWN(IWbemLocator)

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser, const BSTR strPassword,
                                          const BSTR strLocale, LONG lSecurityFlags, const BSTR strAuthority,
                                          IWbemContext *pCtx, IWbemServices **ppNamespace) override {
    WINSIM_METHOD(IWbemLocator, ConnectServer, strNetworkResource);
    CheckAlive();
    if (!ppNamespace || !strNetworkResource) return WBEM_E_INVALID_PARAMETER;
    *ppNamespace = nullptr;
    std::wstring ns = LocalNamespace(strNetworkResource);
    if (ns.empty() || strUser || strPassword || strAuthority || pCtx || lSecurityFlags || (strLocale && *strLocale)) {
      NotModelled("IWbemLocator::ConnectServer", "another computer, credentials, a locale, flags or a context");
      return E_NOTIMPL;
    }
    if (!EqualNoCase(ns, L"ROOT\\CIMV2")) return WBEM_E_INVALID_NAMESPACE;
    *ppNamespace = Make<Services>();
    return WBEM_S_NO_ERROR;
  }
};

}  // namespace

IUnknown *CreateWbemLocator() { return Make<Locator>(); }

}  // namespace winsim
