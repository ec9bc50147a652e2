// The COM identity of QZ_NetMessage.dll and the default interface as a C++ vtable, for the
// server and for hosts written in C++ (the test host). The type library (QZ_NetMessage.idl)
// holds the same; the two must agree entry by entry.
#ifndef QZ_COMPONENT_COM_COM_INTERFACES_H_
#define QZ_COMPONENT_COM_COM_INTERFACES_H_

#include <oaidl.h>
#include <objbase.h>
#include <ocidl.h>

// <windows.h> renames SendMessage; the interface's method keeps its own name.
#ifdef SendMessage
#undef SendMessage
#endif

// COM objects are destroyed by their own Release, never through an interface pointer, and a
// virtual destructor would shift every vtable entry: no COM class here has one.
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace qz::com {

inline constexpr GUID kLibId = {
    0x880E89C8, 0x853C, 0x4D8D, {0x9C, 0x77, 0xDC, 0xAB, 0x3E, 0xDD, 0x71, 0x20}};
inline constexpr GUID kClsid = {
    0x1CEAE982, 0xD382, 0x4F08, {0x92, 0x42, 0xD9, 0x39, 0x8F, 0xCC, 0x01, 0xD6}};
inline constexpr GUID kDefaultIid = {
    0xDC65A6CC, 0x9FD9, 0x49EC, {0x93, 0xC0, 0xA9, 0x51, 0x5F, 0xE4, 0x20, 0x70}};
inline constexpr GUID kEventsIid = {
    0x2857C002, 0xC33F, 0x4C22, {0x90, 0x90, 0xA4, 0x40, 0x33, 0xEF, 0xAC, 0x08}};
// Earlier identifiers of the default interface (aliases in the type library).
inline constexpr GUID kAliasV0Iid = {
    0x685D13BC, 0x58AA, 0x4130, {0xAF, 0x69, 0xFA, 0x9A, 0x94, 0x5C, 0x83, 0xE5}};
inline constexpr GUID kAliasV1Iid = {
    0x364912F6, 0xF671, 0x4713, {0xAC, 0xB7, 0xFF, 0x19, 0xB3, 0xB5, 0x3B, 0x41}};
// Earlier identifiers of the event interface; sinks may connect under them too.
inline constexpr GUID kEventsEarlierIid1 = {
    0x62E15A99, 0x6468, 0x4F7E, {0x94, 0x31, 0x0F, 0x93, 0xEF, 0x7C, 0x8E, 0x3B}};
inline constexpr GUID kEventsEarlierIid2 = {
    0x7E4C2030, 0x4F81, 0x423F, {0x95, 0x41, 0x23, 0xF0, 0xB0, 0xB4, 0xB2, 0xF3}};

inline constexpr wchar_t kProgId[] = L"QZ_NetMessage.QZCLS_NetMessage";
inline constexpr WORD kLibMajor = 1;
inline constexpr WORD kLibMinor = 2;
inline constexpr LCID kLibLcid = 1033;

// Dispatch ids of the default interface and of the events.
enum : DISPID {
  kDispInit = 0x60030000,
  kDispLogOut = 0x60030001,
  kDispSendMessage = 0x60030002,
  kDispGetLoginUsersCount = 0x60030003,
  kDispGetLoginUser = 0x60030004,
  kDispInit2 = 0x60030005,
};
enum : DISPID {
  kEventUserLogin = 1,
  kEventUserLogout = 2,
  kEventUserUpdate = 3,
  kEventAcceptMessage = 4,
  kEventExtendProcessEnd = 5,
};

// _QZCLS_NetMessage (a C++ name may not begin with an underscore and a capital). Dual: these
// six follow IDispatch's seven entries. Every parameter is by reference; an omitted optional
// one arrives as a null pointer through the vtable.
struct IQZCLS_NetMessage : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Init(LONG* lngHdbc, BSTR* UserName, BSTR* SysName,
                                         BSTR* ModName, BSTR* UserFullName, BSTR* Std1,
                                         BSTR* Std2) = 0;
  virtual HRESULT STDMETHODCALLTYPE LogOut() = 0;
  virtual HRESULT STDMETHODCALLTYPE SendMessage(BSTR* msg, BSTR* UserName, BSTR* SysName,
                                                BSTR* ModName) = 0;
  virtual HRESULT STDMETHODCALLTYPE getLoginUsersCount(LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE getLoginUser(LONG* id, VARIANT_BOOL* isKey,
                                                 SAFEARRAY** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Init2(BSTR* Opt, LONG* lngHdbc, LONG* UserID, BSTR* UserName,
                                          BSTR* LocalIp, BSTR* LocalPort, BSTR* SysName,
                                          BSTR* MdlName) = 0;
};

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_COM_INTERFACES_H_
