// The arguments of a late-bound call, as the vtable receives them.
#ifndef QZ_COMPONENT_COM_DISPATCH_ARGS_H_
#define QZ_COMPONENT_COM_DISPATCH_ARGS_H_

#include <memory>
#include <vector>

#include "component/com/com_interfaces.h"

namespace qz::com {

// Rewrites a call of a method as all arguments by position, for the type library's Invoke.
//
// An omitted optional argument (left off, skipped as DISP_E_PARAMNOTFOUND, or not among the
// named ones) becomes a null reference of its type, as the vtable receives it; Invoke itself
// would pass a pointer to a VT_ERROR variant, which a BSTR* or VARIANT_BOOL* would read as a text
// or a flag.
//
// Every parameter is in and out, by reference, and a text one may be replaced by the method,
// which frees the string it held. So a parameter only ever points at the caller's own
// by-reference value of its type (VT_BYREF|<type>, or <type> inside a VT_BYREF|VT_VARIANT, as
// script clients pass their variables), or at a converted copy owned here: for a value passed
// by value, which the method never changes for the caller, and for a by-reference variant of
// another type, which gets the method's new value, if it wrote one, when the call ends.
class DispatchArgs {
 public:
  DispatchArgs() = default;
  DispatchArgs(const DispatchArgs&) = delete;
  DispatchArgs& operator=(const DispatchArgs&) = delete;
  // Hands the written values to the by-reference variants and frees the copies.
  ~DispatchArgs();

  // Prepares the call of method id (described by type_info). False when the call does not fit
  // the method: the caller's arguments then go to Invoke as they are and Invoke reports it.
  bool Prepare(ITypeInfo* type_info, DISPID id, const DISPPARAMS& params);
  DISPPARAMS* params() { return &params_; }

 private:
  struct Converted {
    VARIANT value;               // owned here unless handed on to `variant`
    VARIANT given;               // value as converted, to see whether the method wrote one
    VARIANT* variant = nullptr;  // the caller's by-reference variant, or null for a by-value one
  };

  bool Prepare(const FUNCDESC& fd, const DISPPARAMS& params);
  bool PrepareByRef(const VARIANTARG& arg, VARTYPE vt, VARIANTARG* out);

  std::vector<VARIANTARG> args_;  // last argument first, as DISPPARAMS holds them
  // Stable addresses: the prepared arguments point at the values.
  std::vector<std::unique_ptr<Converted>> converted_;
  DISPPARAMS params_{};
};

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_DISPATCH_ARGS_H_
