#include "component/com/dispatch_args.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <utility>

namespace qz::com {
namespace {

bool IsOmitted(const VARIANTARG* arg) {
  return arg == nullptr ||
         (V_VT(arg) == VT_ERROR && V_ERROR(arg) == static_cast<SCODE>(DISP_E_PARAMNOTFOUND));
}

// The type a by-reference parameter points at, or VT_EMPTY for any other parameter.
VARTYPE PointedType(const ELEMDESC& e) {
  if (e.tdesc.vt != VT_PTR || e.tdesc.lptdesc == nullptr) return VT_EMPTY;
  const VARTYPE vt = e.tdesc.lptdesc->vt;
  return vt == VT_BSTR || vt == VT_I4 || vt == VT_BOOL ? vt : static_cast<VARTYPE>(VT_EMPTY);
}

// Whether the method left a value of a PointedType as it was. A text it replaced is a new
// allocation made before the old one was freed, so it never has the old address.
bool Unchanged(const VARIANT& now, const VARIANT& before) {
  switch (V_VT(&before)) {
    case VT_BSTR:
      return V_BSTR(&now) == V_BSTR(&before);
    case VT_I4:
      return V_I4(&now) == V_I4(&before);
    default:
      return V_BOOL(&now) == V_BOOL(&before);
  }
}

void ByRef(VARTYPE vt, void* value, VARIANTARG* out) {
  V_VT(out) = static_cast<VARTYPE>(VT_BYREF | vt);
  V_BYREF(out) = value;
}

}  // namespace

DispatchArgs::~DispatchArgs() {
  for (const std::unique_ptr<Converted>& c : converted_) {
    if (c->variant != nullptr && !Unchanged(c->value, c->given)) {
      ::VariantClear(c->variant);
      *c->variant = c->value;
    } else {
      ::VariantClear(&c->value);
    }
  }
}

bool DispatchArgs::Prepare(ITypeInfo* type_info, DISPID id, const DISPPARAMS& params) {
  TYPEATTR* attr = nullptr;
  if (FAILED(type_info->GetTypeAttr(&attr))) return false;
  const WORD count = attr->cFuncs;
  type_info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* fd = nullptr;
    if (FAILED(type_info->GetFuncDesc(i, &fd))) continue;
    const bool found = fd->memid == id;
    const bool prepared = found && Prepare(*fd, params);
    type_info->ReleaseFuncDesc(fd);
    if (found) return prepared;
  }
  return false;
}

bool DispatchArgs::Prepare(const FUNCDESC& fd, const DISPPARAMS& params) {
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
  args_.assign(n, VARIANTARG{});
  for (UINT k = 0; k < n; ++k) {
    const ELEMDESC& e = fd.lprgelemdescParam[k];
    VARIANTARG& out = args_[n - 1 - k];
    ::VariantInit(&out);
    if (IsOmitted(given[k])) {
      // A required argument left out is Invoke's to report.
      if (!(e.paramdesc.wParamFlags & PARAMFLAG_FOPT) || e.tdesc.vt != VT_PTR) return false;
      ByRef(e.tdesc.lptdesc->vt, nullptr, &out);
      continue;
    }
    const VARTYPE vt = PointedType(e);
    // Invoke converts the rest (and reports what does not convert); the method frees nothing
    // but texts.
    if (vt == VT_EMPTY || !PrepareByRef(*given[k], vt, &out)) out = *given[k];
  }
  params_ = DISPPARAMS{args_.data(), nullptr, n, 0};
  return true;
}

bool DispatchArgs::PrepareByRef(const VARIANTARG& arg, VARTYPE vt, VARIANTARG* out) {
  VARIANT* variant = nullptr;
  const VARIANT* source = &arg;
  if (V_VT(&arg) == (VT_BYREF | vt)) {
    *out = arg;
    return true;
  }
  if (V_VT(&arg) == (VT_BYREF | VT_VARIANT)) {
    variant = V_VARIANTREF(&arg);
    if (variant == nullptr) return false;
    if (V_VT(variant) == vt) {
      ByRef(vt, &V_NONE(variant), out);
      return true;
    }
    if (V_VT(variant) == (VT_BYREF | vt)) {
      *out = *variant;
      return true;
    }
    source = variant;
  } else if (V_ISBYREF(&arg)) {
    return false;
  }
  auto c = std::make_unique<Converted>();
  ::VariantInit(&c->value);
  // Reads the source only; the declaration lacks the const.
  if (FAILED(::VariantChangeType(&c->value, const_cast<VARIANT*>(source), 0, vt))) return false;
  c->given = c->value;
  c->variant = variant;
  ByRef(vt, &V_NONE(&c->value), out);
  converted_.push_back(std::move(c));
  return true;
}

}  // namespace qz::com
