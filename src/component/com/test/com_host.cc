// A Windows host for QZ_NetMessage.dll, as an existing client uses it: registration with
// regsvr32, creation by class id and by ProgID, the type library, every method through the
// vtable and through IDispatch, events through connection points, and whole exchanges between
// objects on one thread and on two apartments. The presence table is the test qzpub.dll beside
// it. Loopback only: the DLL's listeners publish 127.0.0.1 (QzSetLocalIPOverride).
//
// Usage: qz_com_host <full path of QZ_NetMessage.dll>. Exit status 0 when every check passed.
// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
#include <olectl.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "component/com/com_interfaces.h"
#include "qzpub.h"

#ifdef SendMessage
#undef SendMessage
#endif

using namespace qz::com;

namespace {

int g_failures = 0;
int g_checks = 0;

#define CHECK(cond)                                                 \
  do {                                                              \
    ++g_checks;                                                     \
    if (!(cond)) {                                                  \
      ++g_failures;                                                 \
      std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::fflush(stdout);                                          \
    }                                                               \
  } while (0)
#define CHECK_HR(expr, expected)                                                               \
  do {                                                                                         \
    const HRESULT hr_ = (expr);                                                                \
    ++g_checks;                                                                                \
    if (hr_ != static_cast<HRESULT>(expected)) {                                               \
      ++g_failures;                                                                            \
      std::printf("FAILED %s:%d: %s = 0x%08lx, expected 0x%08lx\n", __FILE__, __LINE__, #expr, \
                  static_cast<unsigned long>(hr_), static_cast<unsigned long>(expected));      \
      std::fflush(stdout);                                                                     \
    }                                                                                          \
  } while (0)

constexpr HRESULT kObjectNotSet = static_cast<HRESULT>(0x800A005B);  // error 91

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string Narrow(const wchar_t* s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += static_cast<char>(s[i] < 128 ? s[i] : '?');
  return out;
}
std::string Narrow(BSTR b) { return b ? Narrow(b, SysStringLen(b)) : std::string(); }

// An owned BSTR, passed by reference.
class Text {
 public:
  explicit Text(const std::string& s) : b_(SysAllocString(Widen(s).c_str())) {}
  ~Text() { SysFreeString(b_); }
  BSTR* ref() { return &b_; }
  std::string str() const { return Narrow(b_); }

 private:
  BSTR b_;
};

// Dispatches this thread's messages until done() or the timeout. done() may turn true on another
// thread without a message arriving here, so the wait is cut short to look again.
bool PumpUntil(const std::function<bool()>& done, DWORD timeout_ms) {
  constexpr DWORD kLookAgainMs = 20;
  const DWORD start = GetTickCount();
  while (!done()) {
    const DWORD spent = GetTickCount() - start;
    if (spent >= timeout_ms) return false;
    const DWORD wait = timeout_ms - spent < kLookAgainMs ? timeout_ms - spent : kLookAgainMs;
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  return true;
}

void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

// A sink of __QZCLS_NetMessage: records every acceptMessage.
class Sink final : public IDispatch {
 public:
  struct Message {
    std::string msg, user, sys, mdl;
  };
  std::vector<Message> messages;
  int other_events = 0;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, kEventsIid)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the stack
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    if (id == kEventAcceptMessage && p->cArgs == 4) {
      Message m;
      BSTR* fields[4] = {};
      for (UINT i = 0; i < 4; ++i) {
        if (V_VT(&p->rgvarg[i]) == VT_BSTR) fields[i] = &V_BSTR(&p->rgvarg[i]);
      }
      m.mdl = fields[0] ? Narrow(*fields[0]) : "?";
      m.sys = fields[1] ? Narrow(*fields[1]) : "?";
      m.user = fields[2] ? Narrow(*fields[2]) : "?";
      m.msg = fields[3] ? Narrow(*fields[3]) : "?";
      messages.push_back(m);
    } else {
      ++other_events;
    }
    return S_OK;
  }
  ULONG refs() const { return refs_; }

 private:
  ULONG refs_ = 0;
};

// The rows of the shared presence table, through the same qzpub.dll as the component.
struct Presence {
  HMODULE lib = LoadLibraryA("qzpub.dll");
  decltype(&userYHDL_GetFirst) first = Entry<decltype(&userYHDL_GetFirst)>("userYHDL_GetFirst");
  decltype(&userYHDL_GetNext) next = Entry<decltype(&userYHDL_GetNext)>("userYHDL_GetNext");
  decltype(&qzpub_Connect) connect = Entry<decltype(&qzpub_Connect)>("qzpub_Connect");

  template <typename Fn>
  Fn Entry(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
  }

  std::vector<YHDLRecord> Rows(const std::string& condition) const {
    std::vector<YHDLRecord> rows;
    YHDLRecord r{};
    int32_t cursor = first(1, &r, condition.c_str());
    if (cursor <= 0) return rows;
    rows.push_back(r);
    while (next(cursor, &r) == 1) rows.push_back(r);
    return rows;
  }
};

#if defined(__i386__)
// Calls entry with the given 32-bit arguments and returns how many bytes of them it left on the
// stack: none for a __stdcall entry, which removes its own. *result gets what it returned.
uint32_t LeftOnStack(FARPROC entry, const std::vector<uint32_t>& args, int32_t* result = nullptr) {
  uint32_t left = static_cast<uint32_t>(args.size());
  int32_t returned = 0;
  asm volatile(
      "movl %%esp, %%edi\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "pushl -4(%%ebx,%%ecx,4)\n\t"  // the last argument first
      "decl %%ecx\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%%esi\n\t"
      "movl %%edi, %%ecx\n\t"
      "subl %%esp, %%ecx\n\t"
      "movl %%edi, %%esp\n\t"
      : "+c"(left), "=a"(returned)
      : "S"(entry), "b"(args.data())
      : "edx", "edi", "memory", "cc");
  if (result != nullptr) *result = returned;
  return left;
}

uint32_t Word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// Each data-access entry the component binds is __stdcall, as the library it stands for: called
// by name, it removes its own arguments and does its work.
void CheckDataAccessConvention(const Presence& presence) {
  auto entry = [&](const char* name) {
    FARPROC f = GetProcAddress(presence.lib, name);
    CHECK(f != nullptr);
    return f;
  };
  char date[QZPUB_DATE_BUFFER_SIZE] = {};
  YHDLRecord probe{};
  std::snprintf(probe.YH01, sizeof probe.YH01, "%s", "convention");
  const char* condition = "YH01 = 'convention'";
  const char* sql = "delete YHDL where YH01 = 'convention'";
  const char* system = "qz_sys";
  FARPROC f = nullptr;
  if ((f = entry("odbc_GetSysDateStr"))) CHECK(LeftOnStack(f, {1, Word(date)}) == 0 && date[0]);
  if ((f = entry("userYHDL_Insert"))) CHECK(LeftOnStack(f, {1, Word(&probe)}) == 0);
  if ((f = entry("sysMSSQLUses"))) CHECK(LeftOnStack(f, {1, Word(system)}) == 0);
  YHDLRecord found{};
  int32_t cursor = 0, next = -1;
  if ((f = entry("userYHDL_GetFirst"))) {
    CHECK(LeftOnStack(f, {1, Word(&found), Word(condition)}, &cursor) == 0 && cursor > 0 &&
          found.YH00 == probe.YH00);
  }
  if ((f = entry("userYHDL_GetNext"))) {
    CHECK(LeftOnStack(f, {static_cast<uint32_t>(cursor), Word(&found)}, &next) == 0 && next == 0);
  }
  if ((f = entry("userYHDL_Delete"))) CHECK(LeftOnStack(f, {1, Word(&probe)}) == 0);
  CHECK(presence.Rows(condition).empty());
  if ((f = entry("userYHDL_Insert"))) CHECK(LeftOnStack(f, {1, Word(&probe)}) == 0);
  if ((f = entry("odbc_ExecSQL"))) CHECK(LeftOnStack(f, {1, Word(sql)}) == 0);
  CHECK(presence.Rows(condition).empty());
}
#endif

int RunProcess(const std::wstring& command) {
  std::wstring line = command;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    return -1;
  }
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

IQZCLS_NetMessage* Create() {
  IQZCLS_NetMessage* p = nullptr;
  HRESULT hr = CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, kDefaultIid,
                                reinterpret_cast<void**>(&p));
  CHECK_HR(hr, S_OK);
  return SUCCEEDED(hr) ? p : nullptr;
}

DWORD Advise(IUnknown* object, IDispatch* sink, const IID& iid = kEventsIid) {
  IConnectionPointContainer* cpc = nullptr;
  CHECK_HR(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)),
           S_OK);
  if (cpc == nullptr) return 0;
  IConnectionPoint* cp = nullptr;
  CHECK_HR(cpc->FindConnectionPoint(iid, &cp), S_OK);
  DWORD cookie = 0;
  if (cp != nullptr) {
    CHECK_HR(cp->Advise(sink, &cookie), S_OK);
    cp->Release();
  }
  cpc->Release();
  return cookie;
}

HRESULT Login(IQZCLS_NetMessage* p, const std::string& user) {
  LONG h = 1;
  Text u(user), s("SYS"), m("MOD");
  return p->Init(&h, u.ref(), s.ref(), m.ref(), nullptr, nullptr, nullptr);
}

HRESULT Send(IQZCLS_NetMessage* p, const std::string& msg, const std::string& user) {
  Text t(msg), u(user), s(""), m("");
  return p->SendMessage(t.ref(), u.ref(), s.ref(), m.ref());
}

std::string LastErrorDescription() {
  IErrorInfo* info = nullptr;
  std::string text;
  if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
    BSTR d = nullptr;
    info->GetDescription(&d);
    text = Narrow(d);
    SysFreeString(d);
    info->Release();
  }
  return text;
}

void CheckVersionResource(const std::wstring& dll) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &ignored);
  CHECK(size > 0);
  std::vector<char> data(size);
  if (size == 0 || !GetFileVersionInfoW(dll.c_str(), 0, size, data.data())) return;
  auto value = [&](const wchar_t* name) -> std::string {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    wchar_t* text = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&text), &len)) {
      return "<missing>";
    }
    return Narrow(text, len > 0 ? wcsnlen(text, len) : 0);
  };
  CHECK(value(L"FileVersion") == "1.00");
  CHECK(value(L"ProductVersion") == "1.00");
  CHECK(value(L"ProductName") == "QZ_NetMessage");
  CHECK(value(L"InternalName") == "QZ_NetMessage");
  CHECK(value(L"OriginalFilename") == "QZ_NetMessage.dll");
  CHECK(value(L"OLESelfRegister") != "<missing>");
}

std::string Name(ITypeInfo* ti, MEMBERID id) {
  BSTR name = nullptr;
  ti->GetDocumentation(id, &name, nullptr, nullptr, nullptr);
  std::string s = Narrow(name);
  SysFreeString(name);
  return s;
}

void CheckTypeLibrary() {
  ITypeLib* lib = nullptr;
  CHECK_HR(LoadRegTypeLib(kLibId, kLibMajor, kLibMinor, kLibLcid, &lib), S_OK);
  if (lib == nullptr) return;
  TLIBATTR* la = nullptr;
  lib->GetLibAttr(&la);
  CHECK(la->wMajorVerNum == 1 && la->wMinorVerNum == 2 && la->lcid == 1033);
  CHECK(IsEqualGUID(la->guid, kLibId));
  lib->ReleaseTLibAttr(la);
  BSTR libname = nullptr;
  lib->GetDocumentation(-1, &libname, nullptr, nullptr, nullptr);
  CHECK(Narrow(libname) == "QZ_NetMessage");
  SysFreeString(libname);

  // The default interface: dual and hidden, six methods after IDispatch's seven.
  ITypeInfo* disp = nullptr;
  CHECK_HR(lib->GetTypeInfoOfGuid(kDefaultIid, &disp), S_OK);
  if (disp != nullptr) {
    TYPEATTR* ta = nullptr;
    disp->GetTypeAttr(&ta);
    CHECK(ta->typekind == TKIND_DISPATCH);
    CHECK((ta->wTypeFlags & TYPEFLAG_FDUAL) && (ta->wTypeFlags & TYPEFLAG_FHIDDEN));
    disp->ReleaseTypeAttr(ta);
    CHECK(Name(disp, MEMBERID_NIL) == "_QZCLS_NetMessage");
    HREFTYPE ref = 0;
    ITypeInfo* vt = nullptr;
    CHECK_HR(disp->GetRefTypeOfImplType(-1, &ref), S_OK);
    CHECK_HR(disp->GetRefTypeInfo(ref, &vt), S_OK);
    if (vt != nullptr) {
      vt->GetTypeAttr(&ta);
      CHECK(ta->typekind == TKIND_INTERFACE && ta->cFuncs == 6);
      vt->ReleaseTypeAttr(ta);
      const struct {
        const char* name;
        MEMBERID id;
        SHORT params;
        SHORT optional;
      } expected[] = {{"Init", kDispInit, 7, 3},
                      {"LogOut", kDispLogOut, 0, 0},
                      {"SendMessage", kDispSendMessage, 4, 3},
                      {"getLoginUsersCount", kDispGetLoginUsersCount, 1, 0},
                      {"getLoginUser", kDispGetLoginUser, 3, 1},
                      {"Init2", kDispInit2, 8, 0}};
      for (UINT i = 0; i < 6; ++i) {
        FUNCDESC* fd = nullptr;
        if (FAILED(vt->GetFuncDesc(i, &fd))) {
          CHECK(false);
          continue;
        }
        CHECK(fd->memid == expected[i].id);
        CHECK(Name(vt, fd->memid) == expected[i].name);
        CHECK(fd->oVft == static_cast<SHORT>((7 + i) * sizeof(void*)));
        CHECK(fd->cParams == expected[i].params);
        CHECK(fd->cParamsOpt == 0);  // optional ones carry PARAMFLAG_FOPT instead
        SHORT optional = 0;
        for (SHORT a = 0; a < fd->cParams; ++a) {
          const USHORT flags = fd->lprgelemdescParam[a].paramdesc.wParamFlags;
          if (flags & PARAMFLAG_FOPT) ++optional;
          if (!(flags & PARAMFLAG_FRETVAL)) {
            CHECK((flags & (PARAMFLAG_FIN | PARAMFLAG_FOUT)) == (PARAMFLAG_FIN | PARAMFLAG_FOUT));
            CHECK(fd->lprgelemdescParam[a].tdesc.vt == VT_PTR);
          }
        }
        CHECK(optional == expected[i].optional);
        vt->ReleaseFuncDesc(fd);
      }
      vt->Release();
    }
    disp->Release();
  }

  // The event interface: dispatch only, hidden, ids 1 to 5.
  ITypeInfo* events = nullptr;
  CHECK_HR(lib->GetTypeInfoOfGuid(kEventsIid, &events), S_OK);
  if (events != nullptr) {
    TYPEATTR* ta = nullptr;
    events->GetTypeAttr(&ta);
    CHECK(ta->typekind == TKIND_DISPATCH && !(ta->wTypeFlags & TYPEFLAG_FDUAL));
    CHECK((ta->wTypeFlags & TYPEFLAG_FHIDDEN) != 0);
    CHECK(ta->cFuncs == 5);
    events->ReleaseTypeAttr(ta);
    CHECK(Name(events, MEMBERID_NIL) == "__QZCLS_NetMessage");
    const char* names[] = {"userLogin", "userLogout", "userUpdate", "acceptMessage",
                           "ExtendProcessEnd"};
    const SHORT params[] = {1, 1, 1, 4, 0};
    for (UINT i = 0; i < 5; ++i) {
      FUNCDESC* fd = nullptr;
      if (FAILED(events->GetFuncDesc(i, &fd))) {
        CHECK(false);
        continue;
      }
      CHECK(fd->memid == static_cast<MEMBERID>(i + 1));
      CHECK(Name(events, fd->memid) == names[i]);
      CHECK(fd->cParams == params[i]);
      events->ReleaseFuncDesc(fd);
    }
    events->Release();
  }

  // The two aliases of the default interface.
  const struct {
    const GUID* iid;
    const char* name;
  } aliases[] = {{&kAliasV0Iid, "QZCLS_NetMessage___v0"}, {&kAliasV1Iid, "QZCLS_NetMessage___v1"}};
  for (const auto& a : aliases) {
    ITypeInfo* ti = nullptr;
    CHECK_HR(lib->GetTypeInfoOfGuid(*a.iid, &ti), S_OK);
    if (ti == nullptr) continue;
    TYPEATTR* ta = nullptr;
    ti->GetTypeAttr(&ta);
    CHECK(ta->typekind == TKIND_ALIAS && ta->tdescAlias.vt == VT_USERDEFINED);
    ITypeInfo* target = nullptr;
    if (ta->tdescAlias.vt == VT_USERDEFINED &&
        SUCCEEDED(ti->GetRefTypeInfo(ta->tdescAlias.hreftype, &target))) {
      CHECK(Name(target, MEMBERID_NIL) == "_QZCLS_NetMessage");
      target->Release();
    }
    ti->ReleaseTypeAttr(ta);
    CHECK(Name(ti, MEMBERID_NIL) == a.name);
    ti->Release();
  }

  // The class: the default interface and the default source.
  ITypeInfo* cls = nullptr;
  CHECK_HR(lib->GetTypeInfoOfGuid(kClsid, &cls), S_OK);
  if (cls != nullptr) {
    TYPEATTR* ta = nullptr;
    cls->GetTypeAttr(&ta);
    CHECK(ta->typekind == TKIND_COCLASS && ta->cImplTypes == 2);
    CHECK((ta->wTypeFlags & TYPEFLAG_FCANCREATE) != 0);
    cls->ReleaseTypeAttr(ta);
    CHECK(Name(cls, MEMBERID_NIL) == "QZCLS_NetMessage");
    INT f0 = 0, f1 = 0;
    cls->GetImplTypeFlags(0, &f0);
    cls->GetImplTypeFlags(1, &f1);
    CHECK(f0 == IMPLTYPEFLAG_FDEFAULT);
    CHECK(f1 == (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE));
    cls->Release();
  }
  lib->Release();
}

void CheckIdentity() {
  CLSID clsid{};
  CHECK_HR(CLSIDFromProgID(kProgId, &clsid), S_OK);
  CHECK(IsEqualCLSID(clsid, kClsid));
  IUnknown* unk = nullptr;
  CHECK_HR(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                            reinterpret_cast<void**>(&unk)),
           S_OK);
  if (unk == nullptr) return;
  // The aliases answer with the default interface.
  void* a = nullptr;
  void* b = nullptr;
  void* c = nullptr;
  CHECK_HR(unk->QueryInterface(kDefaultIid, &a), S_OK);
  CHECK_HR(unk->QueryInterface(kAliasV0Iid, &b), S_OK);
  CHECK_HR(unk->QueryInterface(kAliasV1Iid, &c), S_OK);
  CHECK(a != nullptr && a == b && b == c);
  for (void* p : {a, b, c}) {
    if (p) static_cast<IUnknown*>(p)->Release();
  }
  ISupportErrorInfo* sei = nullptr;
  CHECK_HR(unk->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&sei)), S_OK);
  if (sei != nullptr) {
    CHECK_HR(sei->InterfaceSupportsErrorInfo(kDefaultIid), S_OK);
    sei->Release();
  }
  // One connection point, found under the event interface and its two earlier ids.
  IConnectionPointContainer* cpc = nullptr;
  CHECK_HR(unk->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)),
           S_OK);
  if (cpc != nullptr) {
    IConnectionPoint* cp = nullptr;
    for (const GUID* iid : {&kEventsIid, &kEventsEarlierIid1, &kEventsEarlierIid2}) {
      CHECK_HR(cpc->FindConnectionPoint(*iid, &cp), S_OK);
      if (cp != nullptr) {
        IID got{};
        cp->GetConnectionInterface(&got);
        CHECK(IsEqualIID(got, kEventsIid));
        cp->Release();
        cp = nullptr;
      }
    }
    CHECK_HR(cpc->FindConnectionPoint(IID_IDispatch, &cp), CONNECT_E_NOCONNECTION);
    IEnumConnectionPoints* e = nullptr;
    CHECK_HR(cpc->EnumConnectionPoints(&e), S_OK);
    if (e != nullptr) {
      ULONG n = 0;
      CHECK_HR(e->Next(1, &cp, &n), S_OK);
      CHECK(n == 1);
      if (cp) cp->Release();
      CHECK_HR(e->Next(1, &cp, &n), S_FALSE);
      e->Release();
    }
    cpc->Release();
  }
  unk->Release();
}

// The methods through the vtable, on a single object.
void CheckVtable(const Presence& presence) {
  IQZCLS_NetMessage* p = Create();
  if (p == nullptr) return;
  Sink sink;
  const DWORD cookie = Advise(p, &sink);
  CHECK(cookie != 0);

  // No login yet: LogOut fails with error 91 and error information; the stubs answer.
  CHECK_HR(p->LogOut(), kObjectNotSet);
  CHECK(!LastErrorDescription().empty());
  LONG count = -1;
  CHECK_HR(p->getLoginUsersCount(&count), S_OK);
  CHECK(count == 0);
  LONG id = 3;
  VARIANT_BOOL key = VARIANT_TRUE;
  SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(1);
  CHECK_HR(p->getLoginUser(&id, &key, &array), S_OK);
  CHECK(array == nullptr);
  array = reinterpret_cast<SAFEARRAY*>(1);
  CHECK_HR(p->getLoginUser(&id, nullptr, &array), S_OK);
  CHECK(array == nullptr);
  {
    LONG h = 1, uid = 7;
    Text opt("x"), user("u"), ip("1.2.3.4"), port("1"), sys("s"), mdl("m");
    CHECK_HR(p->Init2(opt.ref(), &h, &uid, user.ref(), ip.ref(), port.ref(), sys.ref(), mdl.ref()),
             S_OK);
  }
  CHECK_HR(p->LogOut(), kObjectNotSet);  // Init2 does not log in
  {
    Text msg("x"), user(""), sys(""), mdl("");
    CHECK_HR(p->SendMessage(msg.ref(), user.ref(), sys.ref(), mdl.ref()), kObjectNotSet);
  }

  // Login publishes a loopback row; a message to oneself comes back as acceptMessage.
  CHECK_HR(Login(p, "alice"), S_OK);
  std::vector<YHDLRecord> rows = presence.Rows("YH01='alice'");
  CHECK(rows.size() == 1);
  if (rows.size() == 1) {
    CHECK(std::string(rows[0].YH02) == "127.0.0.1");
    const int port = std::atoi(rows[0].YH03);
    CHECK(port >= 14000 && port <= 14199);
  }
  {
    Text msg("hello me"), user("alice  "), sys(""), mdl("");
    CHECK_HR(p->SendMessage(msg.ref(), user.ref(), sys.ref(), mdl.ref()), S_OK);
    CHECK(user.str() == "alice");  // the filter comes back trimmed
  }
  CHECK(PumpUntil([&] { return !sink.messages.empty(); }, 10000));
  if (!sink.messages.empty()) {
    CHECK(sink.messages[0].msg == "hello me");
    CHECK(sink.messages[0].user == "alice");
    CHECK(sink.messages[0].sys == "SYS");
    CHECK(sink.messages[0].mdl == "MOD");
  }
  CHECK(sink.other_events == 0);
  CHECK_HR(p->LogOut(), S_OK);
  CHECK(presence.Rows("YH01='alice'").empty());
  CHECK_HR(p->LogOut(), kObjectNotSet);

  IConnectionPointContainer* cpc = nullptr;
  p->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  IConnectionPoint* cp = nullptr;
  cpc->FindConnectionPoint(kEventsIid, &cp);
  CHECK_HR(cp->Unadvise(cookie), S_OK);
  CHECK_HR(cp->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  cp->Release();
  cpc->Release();
  CHECK(sink.refs() == 0);  // the object let the sink go
  p->Release();
}

HRESULT Invoke(IDispatch* d, DISPID id, std::vector<VARIANT> args_in_order, VARIANT* result,
               EXCEPINFO* ex) {
  std::vector<VARIANT> reversed(args_in_order.rbegin(), args_in_order.rend());
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                    static_cast<UINT>(reversed.size()), 0};
  UINT arg_error = 0;
  return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, ex,
                   &arg_error);
}

VARIANT Long(LONG v) {
  VARIANT x;
  VariantInit(&x);
  V_VT(&x) = VT_I4;
  V_I4(&x) = v;
  return x;
}
VARIANT ByRef(BSTR* b) {
  VARIANT x;
  VariantInit(&x);
  V_VT(&x) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&x) = b;
  return x;
}

VARIANT ByRefVariant(VARIANT* v) {
  VARIANT x;
  VariantInit(&x);
  V_VT(&x) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&x) = v;
  return x;
}

// SendMessage's filters passed by reference, as script clients pass their variables: each comes
// back trimmed (trailing blanks), in the caller's string or variant.
void CheckFiltersByReference(IDispatch* d) {
  EXCEPINFO ex{};
  BSTR msg = SysAllocString(L"by reference");
  BSTR user = SysAllocString(L"carol  ");
  VARIANT text, sys, mdl;
  VariantInit(&text);
  V_VT(&text) = VT_BSTR;
  V_BSTR(&text) = SysAllocString(L"by variable");
  const BSTR text_before = V_BSTR(&text);
  VariantInit(&sys);
  V_VT(&sys) = VT_BSTR;
  V_BSTR(&sys) = SysAllocString(L"SYS ");
  VariantInit(&mdl);  // an uninitialised script variable: empty
  CHECK_HR(Invoke(d, kDispSendMessage,
                  {ByRefVariant(&text), ByRef(&user), ByRefVariant(&sys), ByRefVariant(&mdl)},
                  nullptr, &ex),
           S_OK);
  CHECK(V_VT(&text) == VT_BSTR && V_BSTR(&text) == text_before);  // the message is not written
  CHECK(Narrow(user) == "carol");
  CHECK(V_VT(&sys) == VT_BSTR && Narrow(V_BSTR(&sys)) == "SYS");
  CHECK(V_VT(&mdl) == VT_BSTR && Narrow(V_BSTR(&mdl)).empty());
  // A number in a variable is a text to the method; it gets the trimmed text back.
  VARIANT number;
  VariantInit(&number);
  V_VT(&number) = VT_I4;
  V_I4(&number) = 7;
  CHECK_HR(Invoke(d, kDispSendMessage, {ByRef(&msg), ByRefVariant(&number)}, nullptr, &ex), S_OK);
  CHECK(V_VT(&number) == VT_BSTR && Narrow(V_BSTR(&number)) == "7");
  VariantClear(&number);
  VariantClear(&text);
  VariantClear(&sys);
  VariantClear(&mdl);
  SysFreeString(user);
  SysFreeString(msg);
}

// The methods through IDispatch, by id and by name, with omitted optional arguments.
void CheckDispatch(const Presence& presence) {
  IQZCLS_NetMessage* p = Create();
  if (p == nullptr) return;
  IDispatch* d = p;
  Sink sink;
  Advise(p, &sink);

  const struct {
    const wchar_t* name;
    DISPID id;
  } names[] = {{L"Init", kDispInit},
               {L"LogOut", kDispLogOut},
               {L"SendMessage", kDispSendMessage},
               {L"getLoginUsersCount", kDispGetLoginUsersCount},
               {L"getLoginUser", kDispGetLoginUser},
               {L"Init2", kDispInit2}};
  for (const auto& n : names) {
    LPOLESTR name = const_cast<LPOLESTR>(n.name);
    DISPID id = DISPID_UNKNOWN;
    CHECK_HR(d->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    CHECK(id == n.id);
  }
  LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMethod");
  DISPID none = 0;
  CHECK_HR(d->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &none), DISP_E_UNKNOWNNAME);

  VARIANT r;
  VariantInit(&r);
  EXCEPINFO ex{};
  CHECK_HR(Invoke(d, kDispGetLoginUsersCount, {}, &r, &ex), S_OK);
  CHECK(V_VT(&r) == VT_I4 && V_I4(&r) == 0);
  VariantClear(&r);

  // A failure comes back as an exception with the error's code and text.
  CHECK_HR(Invoke(d, kDispLogOut, {}, &r, &ex), DISP_E_EXCEPTION);
  CHECK(ex.scode == kObjectNotSet);
  CHECK(ex.bstrDescription != nullptr && SysStringLen(ex.bstrDescription) > 0);
  SysFreeString(ex.bstrDescription);
  SysFreeString(ex.bstrSource);
  SysFreeString(ex.bstrHelpFile);
  ex = EXCEPINFO{};

  // getLoginUser with and without isKey: no array.
  CHECK_HR(Invoke(d, kDispGetLoginUser, {Long(1)}, &r, &ex), S_OK);
  CHECK(V_VT(&r) == VT_EMPTY || ((V_VT(&r) & VT_ARRAY) && V_ARRAY(&r) == nullptr));
  VariantClear(&r);
  {
    VARIANT key;
    VariantInit(&key);
    V_VT(&key) = VT_BOOL;
    V_BOOL(&key) = VARIANT_TRUE;
    CHECK_HR(Invoke(d, kDispGetLoginUser, {Long(1), key}, &r, &ex), S_OK);
    CHECK(V_VT(&r) == VT_EMPTY || ((V_VT(&r) & VT_ARRAY) && V_ARRAY(&r) == nullptr));
    VariantClear(&r);
  }

  // Init by name with the optional arguments left out, texts by reference.
  BSTR user = SysAllocString(L"carol"), sys = SysAllocString(L"SYS"), mdl = SysAllocString(L"MOD");
  {
    LPOLESTR name = const_cast<LPOLESTR>(L"Init");
    DISPID id = 0;
    d->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    CHECK_HR(Invoke(d, id, {Long(1), ByRef(&user), ByRef(&sys), ByRef(&mdl)}, nullptr, &ex), S_OK);
  }
  CHECK(presence.Rows("YH01='carol'").size() == 1);
  // SendMessage with only its message, then with a filter by value.
  BSTR msg = SysAllocString(L"to all");
  CHECK_HR(Invoke(d, kDispSendMessage, {ByRef(&msg)}, nullptr, &ex), S_OK);
  {
    // The caller owns a text passed by value: it stays as it was, untrimmed.
    VARIANT filter;
    VariantInit(&filter);
    V_VT(&filter) = VT_BSTR;
    V_BSTR(&filter) = SysAllocString(L"carol ");
    const BSTR before = V_BSTR(&filter);
    BSTR second = SysAllocString(L"to carol");
    CHECK_HR(Invoke(d, kDispSendMessage, {ByRef(&second), filter}, nullptr, &ex), S_OK);
    CHECK(V_VT(&filter) == VT_BSTR && V_BSTR(&filter) == before &&
          Narrow(V_BSTR(&filter)) == "carol ");
    VariantClear(&filter);
    SysFreeString(second);
  }
  CheckFiltersByReference(d);
  // A filter by name, the ones before and after it left out.
  {
    LPOLESTR names_in[] = {const_cast<LPOLESTR>(L"SendMessage"), const_cast<LPOLESTR>(L"SysName")};
    DISPID ids[2] = {};
    CHECK_HR(d->GetIDsOfNames(IID_NULL, names_in, 2, LOCALE_USER_DEFAULT, ids), S_OK);
    CHECK(ids[0] == kDispSendMessage && ids[1] == 2);
    BSTR named = SysAllocString(L"by name"), sys_filter = SysAllocString(L"SYS");
    VARIANT args[2] = {ByRef(&sys_filter), ByRef(&named)};  // named ones first
    DISPPARAMS params{args, &ids[1], 2, 1};
    CHECK_HR(d->Invoke(kDispSendMessage, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                       nullptr, &ex, nullptr),
             S_OK);
    SysFreeString(named);
    SysFreeString(sys_filter);
  }
  CHECK(PumpUntil([&] { return sink.messages.size() >= 4; }, 10000));
  if (sink.messages.size() >= 4) {
    auto has = [&](const char* text) {
      for (const auto& m : sink.messages) {
        if (m.msg == text) return true;
      }
      return false;
    };
    CHECK(has("to all") && has("to carol") && has("by name") && has("by variable"));
    CHECK(sink.messages[0].user == "carol");
  }
  {
    BSTR opt = SysAllocString(L"");
    CHECK_HR(Invoke(d, kDispInit2,
                    {ByRef(&opt), Long(1), Long(2), ByRef(&user), ByRef(&user), ByRef(&user),
                     ByRef(&sys), ByRef(&mdl)},
                    nullptr, &ex),
             S_OK);
    SysFreeString(opt);
  }
  CHECK_HR(Invoke(d, kDispLogOut, {}, nullptr, &ex), S_OK);
  CHECK(presence.Rows("YH01='carol'").empty());
  SysFreeString(msg);
  SysFreeString(user);
  SysFreeString(sys);
  SysFreeString(mdl);
  p->Release();
}

// Two objects on one thread: a message for one user reaches only that user.
void CheckExchangeOneThread(const Presence& presence) {
  IQZCLS_NetMessage* alice = Create();
  IQZCLS_NetMessage* bob = Create();
  if (alice == nullptr || bob == nullptr) return;
  Sink alice_sink, bob_sink;
  Advise(alice, &alice_sink, kEventsEarlierIid1);  // an earlier event id connects too
  Advise(bob, &bob_sink);
  CHECK_HR(Login(alice, "alice"), S_OK);
  CHECK_HR(Login(bob, "bob"), S_OK);
  CHECK(presence.Rows("").size() == 2);
  CHECK_HR(Send(alice, "hi bob", "bob"), S_OK);
  CHECK_HR(Send(bob, "hi alice", "alice"), S_OK);
  CHECK(
      PumpUntil([&] { return !bob_sink.messages.empty() && !alice_sink.messages.empty(); }, 10000));
  PumpFor(200);
  CHECK(bob_sink.messages.size() == 1 && alice_sink.messages.size() == 1);
  if (!bob_sink.messages.empty()) {
    CHECK(bob_sink.messages[0].msg == "hi bob" && bob_sink.messages[0].user == "alice");
  }
  if (!alice_sink.messages.empty()) {
    CHECK(alice_sink.messages[0].msg == "hi alice" && alice_sink.messages[0].user == "bob");
  }
  // Releasing a logged-in object logs it out.
  bob->Release();
  CHECK(presence.Rows("YH01='bob'").empty());
  CHECK_HR(alice->LogOut(), S_OK);
  alice->Release();
  CHECK(presence.Rows("").empty());
}

// Two apartments: each object on its own STA thread, each thread pumping its own messages.
void CheckExchangeTwoThreads(const Presence& presence) {
  std::atomic<bool> ready{false}, done{false};
  std::atomic<int> received{0};
  std::string got;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IQZCLS_NetMessage* dave = Create();
    if (dave != nullptr) {
      Sink sink;
      Advise(dave, &sink);
      CHECK_HR(Login(dave, "dave"), S_OK);
      ready = true;
      PumpUntil([&] { return !sink.messages.empty(); }, 15000);
      received = static_cast<int>(sink.messages.size());
      if (!sink.messages.empty()) got = sink.messages[0].msg + "|" + sink.messages[0].user;
      CHECK_HR(dave->LogOut(), S_OK);
      dave->Release();
    }
    ready = true;
    done = true;
    CoUninitialize();
  });
  IQZCLS_NetMessage* erin = Create();
  PumpUntil([&] { return ready.load(); }, 15000);
  if (erin != nullptr) {
    CHECK_HR(Login(erin, "erin"), S_OK);
    CHECK_HR(Send(erin, "across", "dave"), S_OK);
    PumpUntil([&] { return done.load(); }, 20000);
    CHECK_HR(erin->LogOut(), S_OK);
    erin->Release();
  }
  other.join();
  CHECK(received == 1);
  CHECK(got == "across|erin");
  CHECK(presence.Rows("").empty());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: qz_com_host <path of QZ_NetMessage.dll>\n");
    return 2;
  }
  const std::wstring dll = argv[1];
  const std::wstring quoted = L"\"" + dll + L"\"";
  CheckVersionResource(dll);

  // A host unregisters the old server first: unregistering one that is absent succeeds.
  CHECK(RunProcess(L"regsvr32.exe /s /u " + quoted) == 0);
  CHECK(RunProcess(L"regsvr32.exe /s " + quoted) == 0);

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // Loopback only: every listener of this process publishes 127.0.0.1.
  HMODULE server = LoadLibraryW(dll.c_str());
  auto set_ip = reinterpret_cast<void(WINAPI*)(const char*)>(
      reinterpret_cast<void*>(GetProcAddress(server, "QzSetLocalIPOverride")));
  CHECK(set_ip != nullptr);
  if (set_ip == nullptr) return 1;
  set_ip("127.0.0.1");

  Presence presence;
  CHECK(presence.first != nullptr && presence.next != nullptr && presence.connect(nullptr) > 0);

#if defined(__i386__)
  std::printf("data-access entries\n");
  CheckDataAccessConvention(presence);
#endif
  std::printf("type library\n");
  CheckTypeLibrary();
  std::printf("identity\n");
  CheckIdentity();
  std::printf("vtable\n");
  CheckVtable(presence);
  std::printf("dispatch\n");
  CheckDispatch(presence);
  std::printf("exchange, one thread\n");
  CheckExchangeOneThread(presence);
  std::printf("exchange, two apartments\n");
  CheckExchangeTwoThreads(presence);
  std::fflush(stdout);

  CoUninitialize();
  CHECK(RunProcess(L"regsvr32.exe /s /u " + quoted) == 0);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CLSID clsid{};
  CHECK(FAILED(CLSIDFromProgID(kProgId, &clsid)));
  IUnknown* unk = nullptr;
  CHECK_HR(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                            reinterpret_cast<void**>(&unk)),
           REGDB_E_CLASSNOTREG);
  CoUninitialize();
  CHECK(RunProcess(L"regsvr32.exe /s /u " + quoted) == 0);

  std::printf("%d checks, %d failed\n", g_checks, g_failures);
  return g_failures == 0 ? 0 : 1;
}
