// QZCLS_NetMessage as a COM object: the dual default interface (and its two earlier ids), the
// event source through connection points, error information. IDispatch goes through the
// embedded type library, so names, ids and argument coercion are exactly those of the library.
//
// Text crosses here only (com_text.h): BSTR (UTF-16) in, UTF-8 to the portable class, and back.
#include "component/com/com_object.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <olectl.h>
// clang-format on

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "component/com/com_error.h"
#include "component/com/com_module.h"
#include "component/com/com_text.h"
#include "component/com/dispatch_args.h"
#include "component/com/event_point.h"
#include "qz/net_message.h"

#ifdef SendMessage
#undef SendMessage
#endif

namespace qz::com {
namespace {

bool IsDefaultInterface(REFIID riid) {
  return IsEqualIID(riid, kDefaultIid) || IsEqualIID(riid, kAliasV0Iid) ||
         IsEqualIID(riid, kAliasV1Iid);
}

bool IsEventInterface(REFIID riid) {
  return IsEqualIID(riid, kEventsIid) || IsEqualIID(riid, kEventsEarlierIid1) ||
         IsEqualIID(riid, kEventsEarlierIid2);
}

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
    DispatchArgs args;
    if (params != nullptr && args.Prepare(type_info_, id, *params)) params = args.params();
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
  // An in-out text: the callee replaces the caller's string. The new one is allocated before the
  // old one is freed, so it never takes the old address (dispatch_args.h relies on that).
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

  std::atomic<ULONG> refs_{1};
  bool destroying_ = false;
  std::unique_ptr<QZCLS_NetMessage> core_ = std::make_unique<QZCLS_NetMessage>();
  EventPoint point_;
  ITypeInfo* type_info_ = nullptr;
};

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

}  // namespace qz::com
