// The object's event source: its one connection point and the enumerator that lists it.
#ifndef QZ_COMPONENT_COM_EVENT_POINT_H_
#define QZ_COMPONENT_COM_EVENT_POINT_H_

#include <utility>
#include <vector>

#include "component/com/com_interfaces.h"

namespace qz::com {

// The one connection point, for __QZCLS_NetMessage. Any number of sinks, each an IDispatch.
// It lives inside its object (owner) and shares the object's reference count.
class EventPoint final : public IConnectionPoint {
 public:
  explicit EventPoint(IConnectionPointContainer* owner) : owner_(owner) {}
  ~EventPoint();

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  // Calls dispid on every sink advised now, synchronously, with args in Invoke's order (last
  // argument first). A sink that unadvises or releases the object meanwhile is handled: each
  // sink is held for its call.
  void Fire(DISPID dispid, VARIANTARG* args, UINT count);

 private:
  IConnectionPointContainer* owner_;
  std::vector<std::pair<DWORD, IDispatch*>> sinks_;
  DWORD last_cookie_ = 0;
};

// Lists the one connection point, from position (0: before it, 1: past it).
class EnumOnePoint final : public IEnumConnectionPoints {
 public:
  EnumOnePoint(IConnectionPoint* point, ULONG position);
  ~EnumOnePoint();

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumConnectionPoints** out) override;

 private:
  IConnectionPoint* point_;
  ULONG position_;
  ULONG refs_ = 1;
};

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_EVENT_POINT_H_
