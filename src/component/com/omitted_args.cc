#include "component/com/omitted_args.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <utility>

namespace qz::com {
namespace {

bool FillOmitted(const FUNCDESC& fd, const DISPPARAMS& params, std::vector<VARIANTARG>* out) {
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
  bool omitted = false;
  std::vector<VARIANTARG> args(n);
  for (UINT k = 0; k < n; ++k) {
    const VARIANTARG* arg = given[k];
    if (arg != nullptr &&
        !(V_VT(arg) == VT_ERROR && V_ERROR(arg) == static_cast<SCODE>(DISP_E_PARAMNOTFOUND))) {
      args[n - 1 - k] = *arg;
      continue;
    }
    const ELEMDESC& e = fd.lprgelemdescParam[k];
    // A required argument left out is Invoke's to report.
    if (!(e.paramdesc.wParamFlags & PARAMFLAG_FOPT) || e.tdesc.vt != VT_PTR) return false;
    VARIANTARG& missing = args[n - 1 - k];
    ::VariantInit(&missing);
    V_VT(&missing) = static_cast<VARTYPE>(VT_BYREF | e.tdesc.lptdesc->vt);
    V_BYREF(&missing) = nullptr;
    omitted = true;
  }
  if (!omitted) return false;
  *out = std::move(args);
  return true;
}

}  // namespace

bool FillOmitted(ITypeInfo* type_info, DISPID id, const DISPPARAMS& params,
                 std::vector<VARIANTARG>* out) {
  TYPEATTR* attr = nullptr;
  if (FAILED(type_info->GetTypeAttr(&attr))) return false;
  const WORD count = attr->cFuncs;
  type_info->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* fd = nullptr;
    if (FAILED(type_info->GetFuncDesc(i, &fd))) continue;
    const bool found = fd->memid == id;
    const bool filled = found && FillOmitted(*fd, params, out);
    type_info->ReleaseFuncDesc(fd);
    if (found) return filled;
  }
  return false;
}

}  // namespace qz::com
