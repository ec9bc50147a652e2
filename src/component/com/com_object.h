// The COM face of QZCLS_NetMessage: one object per CoCreateInstance, apartment-threaded.
#ifndef QZ_COMPONENT_COM_COM_OBJECT_H_
#define QZ_COMPONENT_COM_COM_OBJECT_H_

#include "component/com/com_interfaces.h"

namespace qz::com {

// Creates an object and queries it for riid. Threads: the caller's apartment owns the object.
HRESULT CreateNetMessage(REFIID riid, void** out);

// Live objects and factory locks, for DllCanUnloadNow. Thread-safe.
void ModuleAddRef();
void ModuleRelease();
bool ModuleInUse();

// The DLL's module handle, set by DllMain.
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// The type library embedded in the DLL (resource 1), loaded once; an added reference.
HRESULT LoadOwnTypeLib(ITypeLib** out);

// Records error information for the calling thread (description, source, interface) and
// returns hr, for a method that fails.
HRESULT ReportError(HRESULT hr, const wchar_t* description);

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_COM_OBJECT_H_
