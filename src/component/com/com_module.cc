#include "component/com/com_module.h"

// windows.h first: the OLE headers build on it.
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on

#include <atomic>

namespace qz::com {
namespace {

std::atomic<long> g_module_refs{0};
HINSTANCE g_instance = nullptr;

}  // namespace

void ModuleAddRef() { ++g_module_refs; }
void ModuleRelease() { --g_module_refs; }
bool ModuleInUse() { return g_module_refs.load() != 0; }

HINSTANCE ModuleInstance() { return g_instance; }
void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }

HRESULT LoadOwnTypeLib(ITypeLib** out) {
  wchar_t path[MAX_PATH] = {};
  if (::GetModuleFileNameW(g_instance, path, MAX_PATH) == 0) return E_FAIL;
  return ::LoadTypeLibEx(path, REGKIND_NONE, out);
}

}  // namespace qz::com
