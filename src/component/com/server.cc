// The DLL's entry points: the class factory, self-registration and unloading, and one export
// for hosts that are not COM clients (QzSetLocalIPOverride).
// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <olectl.h>
// clang-format on

#include <string>

#include "component/com/com_module.h"
#include "component/com/com_object.h"
#include "qz/net_message.h"

#ifdef SendMessage
#undef SendMessage
#endif

namespace qz::com {
namespace {

class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // A static object: references do not keep the DLL loaded, LockServer does.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateNetMessage(riid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      ModuleAddRef();
    } else {
      ModuleRelease();
    }
    return S_OK;
  }
};

ClassFactory g_factory;

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

// Writes HKEY_CLASSES_ROOT\key, its default value and optionally one named value.
bool SetKey(const std::wstring& key, const std::wstring& value, const wchar_t* name = nullptr,
            const std::wstring& named_value = {}) {
  HKEY h = nullptr;
  if (::RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  auto set = [h](const wchar_t* n, const std::wstring& v) {
    return ::RegSetValueExW(h, n, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                            static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  };
  bool ok = value.empty() ? true : set(nullptr, value);
  if (name != nullptr) ok = ok && set(name, named_value);
  ::RegCloseKey(h);
  return ok;
}

// Removes a key and everything under it; a key that is not there is fine.
bool DeleteTree(const std::wstring& key) {
  const LSTATUS rc = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
    const LSTATUS last = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    return last == ERROR_SUCCESS || last == ERROR_FILE_NOT_FOUND;
  }
  return false;
}

std::wstring ModulePath() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
  return path;
}

}  // namespace
}  // namespace qz::com

using namespace qz::com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) SetModuleInstance(instance);
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return ModuleInUse() ? S_FALSE : S_OK; }

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  const std::wstring path = ModulePath();
  const std::wstring clsid = L"CLSID\\" + GuidText(kClsid);
  const std::wstring libid = GuidText(kLibId);
  const std::wstring progid = kProgId;
  bool ok = SetKey(clsid, progid) &&
            SetKey(clsid + L"\\InprocServer32", path, L"ThreadingModel", L"Apartment") &&
            SetKey(clsid + L"\\ProgID", progid) && SetKey(clsid + L"\\VERSION", L"1.2") &&
            SetKey(clsid + L"\\TypeLib", libid) && SetKey(clsid + L"\\Programmable", L"") &&
            SetKey(progid, progid) && SetKey(progid + L"\\Clsid", GuidText(kClsid));
  if (!ok) return SELFREG_E_CLASS;
  // The type library records the library and its dual and dispatch interfaces (with the
  // automation marshaler), so that other apartments can reach an object.
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadOwnTypeLib(&lib);
  if (FAILED(hr)) return SELFREG_E_TYPELIB;
  hr = ::RegisterTypeLib(lib, const_cast<LPOLESTR>(path.c_str()), nullptr);
  lib->Release();
  return SUCCEEDED(hr) ? S_OK : SELFREG_E_TYPELIB;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  // Unregistering what is not registered succeeds.
  ::UnRegisterTypeLib(kLibId, kLibMajor, kLibMinor, kLibLcid,
                      sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  const bool ok = DeleteTree(L"CLSID\\" + GuidText(kClsid)) && DeleteTree(kProgId) &&
                  DeleteTree(L"TypeLib\\" + GuidText(kLibId)) &&
                  DeleteTree(L"Interface\\" + GuidText(kDefaultIid)) &&
                  DeleteTree(L"Interface\\" + GuidText(kEventsIid));
  return ok ? S_OK : SELFREG_E_CLASS;
}

// Not COM: the address every listener of this process publishes (NUL or "" restores the
// machine's own), as the C++ API's SetLocalIPOverride. For hosts and tests on one machine.
extern "C" void WINAPI QzSetLocalIPOverride(const char* address) {
  qz::SetLocalIPOverride(address != nullptr ? address : "");
}
