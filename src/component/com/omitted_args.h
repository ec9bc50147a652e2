// Omitted optional arguments of a late-bound call, as the vtable receives them.
#ifndef QZ_COMPONENT_COM_OMITTED_ARGS_H_
#define QZ_COMPONENT_COM_OMITTED_ARGS_H_

#include <vector>

#include "component/com/com_interfaces.h"

namespace qz::com {

// The type library's Invoke hands an omitted optional argument that has no default to the
// method as a pointer to a VT_ERROR variant, which a BSTR* or VARIANT_BOOL* parameter would
// read as a text or a flag. This rewrites a call of method id (described by type_info) as all
// arguments by position, each omitted optional one (left off, skipped as
// DISP_E_PARAMNOTFOUND, or not among the named ones) a null reference of its type, as the
// vtable receives it. Returns false, and leaves the call to Invoke as it is, when nothing is
// omitted or the call does not fit the method (Invoke then reports it). The variants in *out
// are shallow copies owned by the caller's.
bool FillOmitted(ITypeInfo* type_info, DISPID id, const DISPPARAMS& params,
                 std::vector<VARIANTARG>* out);

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_OMITTED_ARGS_H_
