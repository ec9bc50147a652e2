// A small Windows Script Host for the late-bound client test: runs one VBScript file with the
// system's VBScript engine and a WScript object with Echo, Sleep, ConnectObject and
// DisconnectObject, as cscript offers them. Wine's cscript has neither ConnectObject nor Sleep,
// so under Wine a script cannot receive events through it.
//
// Sleep pumps the thread's messages, as the component's socket events arrive as window messages.
// Usage: qz_script_host <script.vbs>. Exit status 0 when the script ran to its end without error.
// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
#include <activscp.h>
// clang-format on

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The host's COM objects are destroyed by their owners, never through an interface pointer.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace {

std::string Narrow(const wchar_t* s, int n) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, s, n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, n, out.data(), size, nullptr, nullptr);
  return out;
}

std::string Narrow(BSTR b) { return b ? Narrow(b, static_cast<int>(SysStringLen(b))) : ""; }

void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

// The IID of the object's default event interface, from its class information.
bool DefaultSource(IDispatch* object, IID* iid) {
  IProvideClassInfo* provide = nullptr;
  if (FAILED(object->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&provide)))) {
    return false;
  }
  ITypeInfo* klass = nullptr;
  HRESULT hr = provide->GetClassInfo(&klass);
  provide->Release();
  if (FAILED(hr)) return false;
  bool found = false;
  TYPEATTR* attr = nullptr;
  if (SUCCEEDED(klass->GetTypeAttr(&attr))) {
    for (UINT i = 0; i < attr->cImplTypes && !found; ++i) {
      INT flags = 0;
      HREFTYPE ref = 0;
      ITypeInfo* source = nullptr;
      if (FAILED(klass->GetImplTypeFlags(i, &flags)) ||
          (flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) !=
              (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE) ||
          FAILED(klass->GetRefTypeOfImplType(i, &ref)) ||
          FAILED(klass->GetRefTypeInfo(ref, &source))) {
        continue;
      }
      TYPEATTR* source_attr = nullptr;
      if (SUCCEEDED(source->GetTypeAttr(&source_attr))) {
        *iid = source_attr->guid;
        found = true;
        source->ReleaseTypeAttr(source_attr);
      }
      source->Release();
    }
    klass->ReleaseTypeAttr(attr);
  }
  klass->Release();
  return found;
}

// Base of the host's dispatch-only objects, which live as long as the host.
class Dispatch : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || Accepts(riid)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

 protected:
  virtual bool Accepts(REFIID) { return false; }
};

// Forwards each event to the script's procedure named <prefix><event name>, if it has one.
class EventSink final : public Dispatch {
 public:
  EventSink(IActiveScript* script, IID iid, std::wstring prefix)
      : script_(script), iid_(iid), prefix_(std::move(prefix)) {}

  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* ex, UINT* arg_error) override {
    if (events_ == nullptr) return S_OK;
    BSTR name = nullptr;
    UINT count = 0;
    if (FAILED(events_->GetNames(id, &name, 1, &count)) || count == 0) return S_OK;
    std::wstring procedure = prefix_ + name;
    SysFreeString(name);
    IDispatch* global = nullptr;
    if (FAILED(script_->GetScriptDispatch(nullptr, &global))) return S_OK;
    LPOLESTR names[] = {procedure.data()};
    DISPID target = DISPID_UNKNOWN;
    HRESULT hr = S_OK;
    if (SUCCEEDED(global->GetIDsOfNames(IID_NULL, names, 1, lcid, &target))) {
      hr = global->Invoke(target, IID_NULL, lcid, DISPATCH_METHOD, params, result, ex, arg_error);
    }
    global->Release();
    return hr;
  }

  bool Connect(IDispatch* object, ITypeInfo* events) {
    events_ = events;
    IConnectionPointContainer* container = nullptr;
    if (FAILED(object->QueryInterface(IID_IConnectionPointContainer,
                                      reinterpret_cast<void**>(&container)))) {
      return false;
    }
    HRESULT hr = container->FindConnectionPoint(iid_, &point_);
    container->Release();
    if (SUCCEEDED(hr)) hr = point_->Advise(this, &cookie_);
    return SUCCEEDED(hr);
  }
  void Disconnect() {
    if (point_ != nullptr) {
      if (cookie_ != 0) point_->Unadvise(cookie_);
      point_->Release();
      point_ = nullptr;
    }
    if (events_ != nullptr) events_->Release();
    events_ = nullptr;
  }
  bool Serves(IDispatch* object) const { return object_ == object; }
  void SetObject(IDispatch* object) { object_ = object; }

 protected:
  bool Accepts(REFIID riid) override { return IsEqualIID(riid, iid_); }

 private:
  IActiveScript* script_;
  IID iid_;
  std::wstring prefix_;
  IConnectionPoint* point_ = nullptr;
  DWORD cookie_ = 0;
  ITypeInfo* events_ = nullptr;
  IDispatch* object_ = nullptr;  // compared only, never called
};

enum : DISPID { kEcho = 1, kSleep, kConnectObject, kDisconnectObject };

class WScriptObject final : public Dispatch {
 public:
  explicit WScriptObject(IActiveScript* script) : script_(script) {}
  ~WScriptObject() { DisconnectAll(); }

  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const struct {
      const wchar_t* name;
      DISPID id;
    } kMembers[] = {{L"Echo", kEcho},
                    {L"Sleep", kSleep},
                    {L"ConnectObject", kConnectObject},
                    {L"DisconnectObject", kDisconnectObject}};
    if (count != 1) return DISP_E_UNKNOWNNAME;
    for (const auto& m : kMembers) {
      if (_wcsicmp(names[0], m.name) == 0) {
        ids[0] = m.id;
        return S_OK;
      }
    }
    ids[0] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }

  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    std::vector<VARIANT> args;  // in order, by value
    for (UINT i = params->cArgs; i > 0; --i) {
      VARIANT v;
      VariantInit(&v);
      if (FAILED(VariantCopyInd(&v, &params->rgvarg[i - 1]))) return DISP_E_TYPEMISMATCH;
      args.push_back(v);
    }
    const HRESULT hr = Call(id, args);
    for (VARIANT& v : args) VariantClear(&v);
    return hr;
  }

  void DisconnectAll() {
    for (EventSink* sink : sinks_) {
      sink->Disconnect();
      delete sink;
    }
    sinks_.clear();
  }

 private:
  HRESULT Call(DISPID id, std::vector<VARIANT>& args) {
    switch (id) {
      case kEcho:
        return Echo(args);
      case kSleep:
        if (args.size() != 1 || FAILED(VariantChangeType(&args[0], &args[0], 0, VT_I4))) {
          return DISP_E_TYPEMISMATCH;
        }
        Pump(static_cast<DWORD>(V_I4(&args[0])));
        return S_OK;
      case kConnectObject:
        if (args.size() != 2 || V_VT(&args[0]) != VT_DISPATCH ||
            FAILED(VariantChangeType(&args[1], &args[1], 0, VT_BSTR))) {
          return DISP_E_TYPEMISMATCH;
        }
        return Connect(V_DISPATCH(&args[0]), V_BSTR(&args[1]));
      case kDisconnectObject:
        if (args.size() != 1 || V_VT(&args[0]) != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
        Disconnect(V_DISPATCH(&args[0]));
        return S_OK;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  static HRESULT Echo(std::vector<VARIANT>& args) {
    std::string line;
    for (VARIANT& v : args) {
      if (FAILED(VariantChangeType(&v, &v, 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
      if (!line.empty()) line += ' ';
      line += Narrow(V_BSTR(&v));
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return S_OK;
  }

  HRESULT Connect(IDispatch* object, BSTR prefix) {
    IID iid{};
    if (!DefaultSource(object, &iid)) return E_INVALIDARG;
    ITypeInfo* events = nullptr;
    ITypeLib* lib = nullptr;
    UINT index = 0;
    ITypeInfo* own = nullptr;
    if (SUCCEEDED(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &own))) {
      if (SUCCEEDED(own->GetContainingTypeLib(&lib, &index))) {
        lib->GetTypeInfoOfGuid(iid, &events);
        lib->Release();
      }
      own->Release();
    }
    auto* sink = new EventSink(script_, iid, prefix ? prefix : L"");
    sink->SetObject(object);
    if (!sink->Connect(object, events)) {
      sink->Disconnect();
      delete sink;
      return E_FAIL;
    }
    sinks_.push_back(sink);
    return S_OK;
  }

  void Disconnect(IDispatch* object) {
    for (auto it = sinks_.begin(); it != sinks_.end();) {
      if ((*it)->Serves(object)) {
        (*it)->Disconnect();
        delete *it;
        it = sinks_.erase(it);
      } else {
        ++it;
      }
    }
  }

  IActiveScript* script_;
  std::vector<EventSink*> sinks_;
};

class Site final : public IActiveScriptSite {
 public:
  explicit Site(WScriptObject* wscript) : wscript_(wscript) {}
  bool failed = false;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IActiveScriptSite)) {
      *out = static_cast<IActiveScriptSite*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetLCID(LCID*) override { return E_NOTIMPL; }
  STDMETHODIMP GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** item, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    if (item != nullptr) *item = nullptr;
    if (_wcsicmp(name, L"WScript") != 0) return TYPE_E_ELEMENTNOTFOUND;
    if ((mask & SCRIPTINFO_IUNKNOWN) && item != nullptr) {
      *item = wscript_;
      wscript_->AddRef();
    }
    return S_OK;
  }
  STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
  STDMETHODIMP OnScriptError(IActiveScriptError* error) override {
    failed = true;
    EXCEPINFO ex{};
    DWORD context = 0;
    ULONG line = 0;
    LONG column = 0;
    error->GetExceptionInfo(&ex);
    error->GetSourcePosition(&context, &line, &column);
    std::printf("script error, line %lu: 0x%08lx %s\n", line + 1,
                static_cast<unsigned long>(ex.scode), Narrow(ex.bstrDescription).c_str());
    std::fflush(stdout);
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrDescription);
    SysFreeString(ex.bstrHelpFile);
    return S_OK;
  }
  STDMETHODIMP OnEnterScript() override { return S_OK; }
  STDMETHODIMP OnLeaveScript() override { return S_OK; }

 private:
  WScriptObject* wscript_;
};

std::wstring ReadScript(const wchar_t* path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int n =
      MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

int Run(const wchar_t* path) {
  const std::wstring code = ReadScript(path);
  if (code.empty()) {
    std::printf("cannot read %s\n", Narrow(path, -1).c_str());
    return 2;
  }
  CLSID engine{};
  IActiveScript* script = nullptr;
  IActiveScriptParse* parse = nullptr;
  if (FAILED(CLSIDFromProgID(L"VBScript", &engine)) ||
      FAILED(CoCreateInstance(engine, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                              reinterpret_cast<void**>(&script))) ||
      FAILED(
          script->QueryInterface(__uuidof(IActiveScriptParse), reinterpret_cast<void**>(&parse)))) {
    std::printf("no VBScript engine\n");
    return 2;
  }
  WScriptObject wscript(script);
  Site site(&wscript);
  EXCEPINFO ex{};
  HRESULT hr = parse->InitNew();
  if (SUCCEEDED(hr)) hr = script->SetScriptSite(&site);
  if (SUCCEEDED(hr)) hr = script->AddNamedItem(L"WScript", SCRIPTITEM_ISVISIBLE);
  if (SUCCEEDED(hr)) {
    hr = parse->ParseScriptText(code.c_str(), nullptr, nullptr, nullptr, 0, 0, 0, nullptr, &ex);
  }
  if (SUCCEEDED(hr)) hr = script->SetScriptState(SCRIPTSTATE_CONNECTED);
  wscript.DisconnectAll();
  script->Close();
  parse->Release();
  script->Release();
  if (FAILED(hr) && !site.failed) {
    std::printf("the script did not run: 0x%08lx\n", static_cast<unsigned long>(hr));
  }
  return FAILED(hr) || site.failed ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::printf("usage: qz_script_host <script.vbs>\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int status = Run(argv[1]);
  CoUninitialize();
  return status;
}
