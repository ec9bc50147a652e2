// Failures as COM reports them: an HRESULT plus error information for the calling thread.
#ifndef QZ_COMPONENT_COM_COM_ERROR_H_
#define QZ_COMPONENT_COM_COM_ERROR_H_

#include "component/com/com_interfaces.h"
#include "qz/status.h"

namespace qz::com {

// Records error information for the calling thread (description, source, interface) and
// returns hr, for a method that fails.
HRESULT ReportError(HRESULT hr, const wchar_t* description);

// A failed Status as a COM failure: the code in FACILITY_CONTROL, as the runtime reports its
// own numbered errors (91 becomes 0x800A005B), and the message as the error description.
HRESULT Failed(const Status& status);

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_COM_ERROR_H_
