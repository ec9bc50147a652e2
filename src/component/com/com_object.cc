// QZCLS_NetMessage as a COM object: the dual default interface (and its two earlier ids), the
// event source through connection points, error information. IDispatch goes through the
// embedded type library, so names, ids and argument coercion are exactly those of the library.
//
// Text crosses here only: BSTR (UTF-16) in, UTF-8 to the portable class, and back.
#include "component/com/com_object.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <olectl.h>
// clang-format on

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qz/net_message.h"

#ifdef SendMessage
#undef SendMessage
#endif

namespace qz::com {
namespace {

std::atomic<long> g_module_refs{0};
HINSTANCE g_instance = nullptr;

std::string ToUtf8(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int in = static_cast<int>(length);
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, in, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, in, out.data(), n, nullptr, nullptr);
  return out;
}

// The whole BSTR, embedded NULs included (the class trims at the first one itself). A null
// pointer (an omitted optional argument) and a null BSTR are both the empty text.
std::string FromBstr(const BSTR* text) {
  if (text == nullptr || *text == nullptr) return {};
  return ToUtf8(*text, ::SysStringLen(*text));
}

BSTR ToBstr(const std::string& utf8) {
  if (utf8.empty()) return ::SysAllocStringLen(L"", 0);
  const int in = static_cast<int>(utf8.size());
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, nullptr, 0);
  BSTR out = ::SysAllocStringLen(nullptr, static_cast<UINT>(n > 0 ? n : 0));
  if (out != nullptr && n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, out, n);
  return out;
}

std::wstring Widen(const std::string& utf8) {
  BSTR b = ToBstr(utf8);
  std::wstring w(b != nullptr ? b : L"", b != nullptr ? ::SysStringLen(b) : 0);
  ::SysFreeString(b);
  return w;
}

// A failed Status as a COM failure: the code in FACILITY_CONTROL, as the runtime reports its
// own numbered errors (91 becomes 0x800A005B), and the message as the error description.
HRESULT Failed(const Status& status) {
  const HRESULT hr = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, status.code() & 0xFFFF);
  return ReportError(hr, Widen(status.message()).c_str());
}

bool IsDefaultInterface(REFIID riid) {
  return IsEqualIID(riid, kDefaultIid) || IsEqualIID(riid, kAliasV0Iid) ||
         IsEqualIID(riid, kAliasV1Iid);
}

bool IsEventInterface(REFIID riid) {
  return IsEqualIID(riid, kEventsIid) || IsEqualIID(riid, kEventsEarlierIid1) ||
         IsEqualIID(riid, kEventsEarlierIid2);
}

class NetMessageObject;

// The one connection point, for __QZCLS_NetMessage. Any number of sinks, each an IDispatch.
class EventPoint final : public IConnectionPoint {
 public:
  explicit EventPoint(NetMessageObject* owner) : owner_(owner) {}
  ~EventPoint() {
    for (auto& s : sinks_) s.second->Release();
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = kEventsIid;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;

  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    IDispatch* dispatch = nullptr;
    // A sink implements the event interface; any IDispatch receives the calls by id alike.
    if (FAILED(sink->QueryInterface(kEventsIid, reinterpret_cast<void**>(&dispatch))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    *cookie = ++last_cookie_;
    sinks_.emplace_back(*cookie, dispatch);
    return S_OK;
  }

  STDMETHODIMP Unadvise(DWORD cookie) override {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (it->first == cookie) {
        IDispatch* d = it->second;
        sinks_.erase(it);
        d->Release();
        return S_OK;
      }
    }
    return CONNECT_E_NOCONNECTION;
  }

  STDMETHODIMP EnumConnections(IEnumConnections** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOTIMPL;
  }

  // Calls dispid on every sink advised now, synchronously, with args in Invoke's order (last
  // argument first). A sink that unadvises or releases the object meanwhile is handled: each
  // sink is held for its call.
  void Fire(DISPID dispid, VARIANTARG* args, UINT count) {
    std::vector<IDispatch*> snapshot;
    for (auto& s : sinks_) {
      s.second->AddRef();
      snapshot.push_back(s.second);
    }
    for (IDispatch* d : snapshot) {
      DISPPARAMS params{args, nullptr, count, 0};
      d->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                nullptr);
      d->Release();
    }
  }

 private:
  NetMessageObject* owner_;
  std::vector<std::pair<DWORD, IDispatch*>> sinks_;
  DWORD last_cookie_ = 0;
};

class EnumOnePoint final : public IEnumConnectionPoints {
 public:
  EnumOnePoint(IConnectionPoint* point, ULONG position) : point_(point), position_(position) {
    point_->AddRef();
  }
  ~EnumOnePoint() { point_->Release(); }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumConnectionPoints)) {
      *out = static_cast<IEnumConnectionPoints*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
    if (out == nullptr) return E_POINTER;
    ULONG n = 0;
    if (count > 0 && position_ == 0) {
      out[0] = point_;
      point_->AddRef();
      n = 1;
      position_ = 1;
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    if (count == 0) return S_OK;
    const bool had = position_ == 0;
    position_ = 1;
    return had && count == 1 ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumConnectionPoints** out) override {
    if (out == nullptr) return E_POINTER;
    *out = new EnumOnePoint(point_, position_);
    return S_OK;
  }

 private:
  IConnectionPoint* point_;
  ULONG position_;
  ULONG refs_ = 1;
};

class NetMessageObject final : public IQZCLS_NetMessage,
                               public IConnectionPointContainer,
                               public ISupportErrorInfo,
                               public IProvideClassInfo,
                               private QZCLS_NetMessageEvents {
 public:
  NetMessageObject() : point_(this) {
    ModuleAddRef();
    static_cast<void>(core_->Advise(this));
  }
  ~NetMessageObject() {
    // The class's destruction (a LogOut whose failure is dropped) runs before the sinks go; the
    // loop it runs may still deliver a message, which no sink receives any more.
    destroying_ = true;
    core_ = nullptr;
    if (type_info_ != nullptr) type_info_->Release();
    ModuleRelease();
  }

  HRESULT Initialise() {
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadOwnTypeLib(&lib);
    if (FAILED(hr)) return hr;
    hr = lib->GetTypeInfoOfGuid(kDefaultIid, &type_info_);
    lib->Release();
    return hr;
  }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsDefaultInterface(riid)) {
      *out = static_cast<IQZCLS_NetMessage*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else if (IsEqualIID(riid, IID_IProvideClassInfo)) {
      *out = static_cast<IProvideClassInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  // IDispatch, through the type library.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    type_info_->AddRef();
    *out = type_info_;
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return ::DispGetIDsOfNames(type_info_, names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* arg_error) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ::SetErrorInfo(0, nullptr);
    std::vector<VARIANTARG> filled;
    DISPPARAMS positional{};
    if (params != nullptr && FillOmitted(id, *params, &filled)) {
      positional = DISPPARAMS{filled.data(), nullptr, static_cast<UINT>(filled.size()), 0};
      params = &positional;
    }
    return type_info_->Invoke(static_cast<IQZCLS_NetMessage*>(this), id, flags, params, result,
                              exception, arg_error);
  }

  // _QZCLS_NetMessage
  STDMETHODIMP Init(LONG* lngHdbc, BSTR* UserName, BSTR* SysName, BSTR* ModName, BSTR* UserFullName,
                    BSTR* Std1, BSTR* Std2) override {
    const Status s =
        core_->Init(lngHdbc != nullptr ? *lngHdbc : 0, FromBstr(UserName), FromBstr(SysName),
                    FromBstr(ModName), FromBstr(UserFullName), FromBstr(Std1), FromBstr(Std2));
    return s.ok() ? S_OK : Failed(s);
  }

  STDMETHODIMP LogOut() override {
    const Status s = core_->LogOut();
    return s.ok() ? S_OK : Failed(s);
  }

  STDMETHODIMP SendMessage(BSTR* msg, BSTR* UserName, BSTR* SysName, BSTR* ModName) override {
    AddRef();  // a handler run by the loop inside may release the host's reference
    std::string user = FromBstr(UserName), sys = FromBstr(SysName), mod = FromBstr(ModName);
    const Status s = core_->SendMessage(FromBstr(msg), user, sys, mod);
    // The filters come back trimmed, also when the call failed after trimming them.
    WriteBack(UserName, user);
    WriteBack(SysName, sys);
    WriteBack(ModName, mod);
    const HRESULT hr = s.ok() ? S_OK : Failed(s);
    Release();
    return hr;
  }

  STDMETHODIMP getLoginUsersCount(LONG* result) override {
    if (result == nullptr) return E_POINTER;
    Result<int32_t> r = core_->getLoginUsersCount();
    if (!r.ok()) return Failed(r.status());
    *result = r.value();
    return S_OK;
  }

  STDMETHODIMP getLoginUser(LONG* id, VARIANT_BOOL* isKey, SAFEARRAY** result) override {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    std::optional<bool> key;
    if (isKey != nullptr) key = *isKey != VARIANT_FALSE;
    Result<StringArray> r = core_->getLoginUser(id != nullptr ? *id : 0, key);
    if (!r.ok()) return Failed(r.status());
    if (!r.value().has_value()) return S_OK;  // no array at all: a null SAFEARRAY
    const std::vector<std::string>& items = *r.value();
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items.size()));
    if (array == nullptr) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
      BSTR b = ToBstr(items[static_cast<size_t>(i)]);
      ::SafeArrayPutElement(array, &i, b);
      ::SysFreeString(b);
    }
    *result = array;
    return S_OK;
  }

  STDMETHODIMP Init2(BSTR* Opt, LONG* lngHdbc, LONG* UserID, BSTR* UserName, BSTR* LocalIp,
                     BSTR* LocalPort, BSTR* SysName, BSTR* MdlName) override {
    const Status s =
        core_->Init2(FromBstr(Opt), lngHdbc != nullptr ? *lngHdbc : 0,
                     UserID != nullptr ? *UserID : 0, FromBstr(UserName), FromBstr(LocalIp),
                     FromBstr(LocalPort), FromBstr(SysName), FromBstr(MdlName));
    return s.ok() ? S_OK : Failed(s);
  }

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (out == nullptr) return E_POINTER;
    *out = new EnumOnePoint(&point_, 0);
    return S_OK;
  }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEventInterface(riid)) return CONNECT_E_NOCONNECTION;
    *out = &point_;
    point_.AddRef();
    return S_OK;
  }

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsDefaultInterface(riid) || IsEqualIID(riid, IID_IDispatch) ? S_OK : S_FALSE;
  }

  // IProvideClassInfo
  STDMETHODIMP GetClassInfo(ITypeInfo** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    ITypeLib* lib = nullptr;
    HRESULT hr = LoadOwnTypeLib(&lib);
    if (FAILED(hr)) return hr;
    hr = lib->GetTypeInfoOfGuid(kClsid, out);
    lib->Release();
    return hr;
  }

 private:
  // The type library's Invoke hands an omitted optional argument that has no default to the
  // method as a pointer to a VT_ERROR variant, which a BSTR* or VARIANT_BOOL* parameter would
  // read as a text or a flag. This rewrites such a call as all arguments by position, each
  // omitted optional one (left off, skipped as DISP_E_PARAMNOTFOUND, or not among the named
  // ones) a null reference of its type, as the vtable receives it. Returns false, and leaves
  // the call to Invoke as it is, when nothing is omitted or the call does not fit the method
  // (Invoke then reports it). The variants in *out are shallow copies owned by the caller's.
  bool FillOmitted(DISPID id, const DISPPARAMS& params, std::vector<VARIANTARG>* out) const {
    TYPEATTR* attr = nullptr;
    if (FAILED(type_info_->GetTypeAttr(&attr))) return false;
    const WORD count = attr->cFuncs;
    type_info_->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
      FUNCDESC* fd = nullptr;
      if (FAILED(type_info_->GetFuncDesc(i, &fd))) continue;
      const bool found = fd->memid == id;
      const bool filled = found && FillOmitted(*fd, params, out);
      type_info_->ReleaseFuncDesc(fd);
      if (found) return filled;
    }
    return false;
  }

  static bool FillOmitted(const FUNCDESC& fd, const DISPPARAMS& params,
                          std::vector<VARIANTARG>* out) {
    UINT n = static_cast<UINT>(fd.cParams);
    if (n > 0 && (fd.lprgelemdescParam[n - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) --n;
    if (params.cArgs > n + params.cNamedArgs || params.cNamedArgs > params.cArgs) return false;
    if (params.cArgs > 0 && params.rgvarg == nullptr) return false;
    if (params.cNamedArgs > 0 && params.rgdispidNamedArgs == nullptr) return false;
    std::vector<const VARIANTARG*> given(n, nullptr);
    const UINT by_position = params.cArgs - params.cNamedArgs;
    for (UINT k = 0; k < by_position; ++k) given[k] = &params.rgvarg[params.cArgs - 1 - k];
    for (UINT j = 0; j < params.cNamedArgs; ++j) {
      const DISPID at = params.rgdispidNamedArgs[j];
      if (at < 0 || static_cast<UINT>(at) >= n || given[static_cast<UINT>(at)] != nullptr) {
        return false;
      }
      given[static_cast<UINT>(at)] = &params.rgvarg[j];
    }
    bool omitted = false;
    std::vector<VARIANTARG> args(n);
    for (UINT k = 0; k < n; ++k) {
      const VARIANTARG* arg = given[k];
      if (arg != nullptr &&
          !(V_VT(arg) == VT_ERROR && V_ERROR(arg) == static_cast<SCODE>(DISP_E_PARAMNOTFOUND))) {
        args[n - 1 - k] = *arg;
        continue;
      }
      const ELEMDESC& e = fd.lprgelemdescParam[k];
      // A required argument left out is Invoke's to report.
      if (!(e.paramdesc.wParamFlags & PARAMFLAG_FOPT) || e.tdesc.vt != VT_PTR) return false;
      VARIANTARG& missing = args[n - 1 - k];
      ::VariantInit(&missing);
      V_VT(&missing) = static_cast<VARTYPE>(VT_BYREF | e.tdesc.lptdesc->vt);
      V_BYREF(&missing) = nullptr;
      omitted = true;
    }
    if (!omitted) return false;
    *out = std::move(args);
    return true;
  }

  static void WriteBack(BSTR* target, const std::string& value) {
    if (target == nullptr) return;
    BSTR b = ToBstr(value);
    ::SysFreeString(*target);
    *target = b;
  }

  // The class's events, raised to every COM sink. The object holds itself for the event, as a
  // sink may release the host's last reference.
  void acceptMessage(const std::string& msg, const std::string& UserName,
                     const std::string& SysName, const std::string& MdlName) override {
    if (destroying_) return;
    VARIANTARG args[4];
    const std::string* values[4] = {&MdlName, &SysName, &UserName, &msg};  // last first
    for (int i = 0; i < 4; ++i) {
      ::VariantInit(&args[i]);
      V_VT(&args[i]) = VT_BSTR;
      V_BSTR(&args[i]) = ToBstr(*values[i]);
    }
    AddRef();
    point_.Fire(kEventAcceptMessage, args, 4);
    for (VARIANTARG& a : args) ::VariantClear(&a);
    Release();
  }

  friend class EventPoint;

  std::atomic<ULONG> refs_{1};
  bool destroying_ = false;
  std::unique_ptr<QZCLS_NetMessage> core_ = std::make_unique<QZCLS_NetMessage>();
  EventPoint point_;
  ITypeInfo* type_info_ = nullptr;
};

// The connection point lives inside its object and shares its reference count.
STDMETHODIMP_(ULONG) EventPoint::AddRef() { return owner_->AddRef(); }
STDMETHODIMP_(ULONG) EventPoint::Release() { return owner_->Release(); }
STDMETHODIMP EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  *out = owner_;
  owner_->AddRef();
  return S_OK;
}

}  // namespace

HRESULT CreateNetMessage(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* object = new (std::nothrow) NetMessageObject();
  if (object == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = object->Initialise();
  if (SUCCEEDED(hr)) hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

void ModuleAddRef() { ++g_module_refs; }
void ModuleRelease() { --g_module_refs; }
bool ModuleInUse() { return g_module_refs.load() != 0; }

HINSTANCE ModuleInstance() { return g_instance; }
void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

HRESULT LoadOwnTypeLib(ITypeLib** out) {
  wchar_t path[MAX_PATH] = {};
  if (::GetModuleFileNameW(g_instance, path, MAX_PATH) == 0) return E_FAIL;
  return ::LoadTypeLibEx(path, REGKIND_NONE, out);
}

HRESULT ReportError(HRESULT hr, const wchar_t* description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(::CreateErrorInfo(&create))) {
    create->SetGUID(kDefaultIid);
    create->SetSource(const_cast<LPOLESTR>(kProgId));
    create->SetDescription(const_cast<LPOLESTR>(description));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      ::SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

}  // namespace qz::com
