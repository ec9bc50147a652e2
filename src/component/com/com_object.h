// The COM face of QZCLS_NetMessage: one object per CoCreateInstance, apartment-threaded.
#ifndef QZ_COMPONENT_COM_COM_OBJECT_H_
#define QZ_COMPONENT_COM_COM_OBJECT_H_

#include "component/com/com_interfaces.h"

namespace qz::com {

// Creates an object and queries it for riid. Threads: the caller's apartment owns the object.
HRESULT CreateNetMessage(REFIID riid, void** out);

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_COM_OBJECT_H_
