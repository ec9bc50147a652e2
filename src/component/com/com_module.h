// What the DLL as a whole holds: its live-object count, its module handle, its type library.
#ifndef QZ_COMPONENT_COM_COM_MODULE_H_
#define QZ_COMPONENT_COM_COM_MODULE_H_

#include "component/com/com_interfaces.h"

namespace qz::com {

// Live objects and factory locks, for DllCanUnloadNow. Thread-safe.
void ModuleAddRef();
void ModuleRelease();
bool ModuleInUse();

// The DLL's module handle, set by DllMain.
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// The type library embedded in the DLL (resource 1), loaded once; an added reference.
HRESULT LoadOwnTypeLib(ITypeLib** out);

}  // namespace qz::com

#endif  // QZ_COMPONENT_COM_COM_MODULE_H_
