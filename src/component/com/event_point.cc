#include "component/com/event_point.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <olectl.h>
// clang-format on

namespace qz::com {

EventPoint::~EventPoint() {
  for (auto& s : sinks_) s.second->Release();
}

STDMETHODIMP EventPoint::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) EventPoint::AddRef() { return owner_->AddRef(); }
STDMETHODIMP_(ULONG) EventPoint::Release() { return owner_->Release(); }

STDMETHODIMP EventPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = kEventsIid;
  return S_OK;
}

STDMETHODIMP EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (out == nullptr) return E_POINTER;
  *out = owner_;
  owner_->AddRef();
  return S_OK;
}

STDMETHODIMP EventPoint::Advise(IUnknown* sink, DWORD* cookie) {
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

STDMETHODIMP EventPoint::Unadvise(DWORD cookie) {
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

STDMETHODIMP EventPoint::EnumConnections(IEnumConnections** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

void EventPoint::Fire(DISPID dispid, VARIANTARG* args, UINT count) {
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

EnumOnePoint::EnumOnePoint(IConnectionPoint* point, ULONG position)
    : point_(point), position_(position) {
  point_->AddRef();
}

EnumOnePoint::~EnumOnePoint() { point_->Release(); }

STDMETHODIMP EnumOnePoint::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumConnectionPoints)) {
    *out = static_cast<IEnumConnectionPoints*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) EnumOnePoint::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) EnumOnePoint::Release() {
  const ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

STDMETHODIMP EnumOnePoint::Next(ULONG count, IConnectionPoint** out, ULONG* fetched) {
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

STDMETHODIMP EnumOnePoint::Skip(ULONG count) {
  if (count == 0) return S_OK;
  const bool had = position_ == 0;
  position_ = 1;
  return had && count == 1 ? S_OK : S_FALSE;
}

STDMETHODIMP EnumOnePoint::Reset() {
  position_ = 0;
  return S_OK;
}

STDMETHODIMP EnumOnePoint::Clone(IEnumConnectionPoints** out) {
  if (out == nullptr) return E_POINTER;
  *out = new EnumOnePoint(point_, position_);
  return S_OK;
}

}  // namespace qz::com
