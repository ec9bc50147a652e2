#include <dlfcn.h>

#include "platform/dynamic_library.h"

namespace qz::platform {

Result<std::shared_ptr<DynamicLibrary>> DynamicLibrary::Open(const std::string& name) {
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return Status::Error(errc::kFileNotFound,
                         "cannot load library " + name + ": " + (why ? why : "not found"));
  }
  return std::shared_ptr<DynamicLibrary>(new DynamicLibrary(handle, name));
}

DynamicLibrary::~DynamicLibrary() { dlclose(handle_); }

Result<void*> DynamicLibrary::Symbol(const std::string& entry) const {
  dlerror();
  void* address = dlsym(handle_, entry.c_str());
  if (address == nullptr) {
    return Status::Error(errc::kEntryNotFound, "library " + name_ + " has no entry point " + entry);
  }
  return address;
}

}  // namespace qz::platform
