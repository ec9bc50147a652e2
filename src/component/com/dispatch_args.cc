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

bool IsText(const ELEMDESC& e) {
  return e.tdesc.vt == VT_PTR && e.tdesc.lptdesc != nullptr && e.tdesc.lptdesc->vt == VT_BSTR;
}

void ByRefText(BSTR* text, VARIANTARG* out) {
  V_VT(out) = VT_BYREF | VT_BSTR;
  V_BSTRREF(out) = text;
}

}  // namespace

DispatchArgs::~DispatchArgs() {
  for (const std::unique_ptr<Converted>& c : converted_) {
    // The method allocates a new text before it frees the old one, so a replaced text never has
    // the old address.
    if (c->variant != nullptr && c->text != c->given) {
      ::VariantClear(c->variant);
      V_VT(c->variant) = VT_BSTR;
      V_BSTR(c->variant) = std::exchange(c->text, nullptr);
    }
    ::SysFreeString(c->text);
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
      V_VT(&out) = static_cast<VARTYPE>(VT_BYREF | e.tdesc.lptdesc->vt);
      V_BYREF(&out) = nullptr;
    } else if (!IsText(e) || !PrepareText(*given[k], &out)) {
      // Invoke converts the rest; the method frees nothing but texts.
      out = *given[k];
    }
  }
  params_ = DISPPARAMS{args_.data(), nullptr, n, 0};
  return true;
}

bool DispatchArgs::PrepareText(const VARIANTARG& arg, VARIANTARG* out) {
  VARIANT* variant = nullptr;
  const VARIANT* source = &arg;
  if (V_VT(&arg) == (VT_BYREF | VT_BSTR)) {
    *out = arg;
    return true;
  }
  if (V_VT(&arg) == (VT_BYREF | VT_VARIANT)) {
    variant = V_VARIANTREF(&arg);
    if (variant == nullptr) return false;
    if (V_VT(variant) == VT_BSTR) {
      ByRefText(&V_BSTR(variant), out);
      return true;
    }
    if (V_VT(variant) == (VT_BYREF | VT_BSTR)) {
      ByRefText(V_BSTRREF(variant), out);
      return true;
    }
    source = variant;
  } else if (V_ISBYREF(&arg)) {
    return false;
  }
  VARIANT text;
  ::VariantInit(&text);
  // Reads the source only; the declaration lacks the const.
  if (FAILED(::VariantChangeType(&text, const_cast<VARIANT*>(source), 0, VT_BSTR))) return false;
  auto c = std::make_unique<Converted>();
  c->text = c->given = V_BSTR(&text);
  c->variant = variant;
  ByRefText(&c->text, out);
  converted_.push_back(std::move(c));
  return true;
}

}  // namespace qz::com
