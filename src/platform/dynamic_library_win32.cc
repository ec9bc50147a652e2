// DynamicLibrary on Windows: LoadLibraryA (the loader's own search order) and GetProcAddress.
#include <windows.h>

#include <string>

#include "platform/dynamic_library.h"

namespace qz::platform {
namespace {

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string s = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
  if (text != nullptr) ::LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

Result<std::shared_ptr<DynamicLibrary>> DynamicLibrary::Open(const std::string& name) {
  HMODULE module = ::LoadLibraryA(name.c_str());
  if (module == nullptr) {
    return Status::Error(errc::kFileNotFound,
                         "cannot load library " + name + ": " + SystemMessage(::GetLastError()));
  }
  return std::shared_ptr<DynamicLibrary>(new DynamicLibrary(module, name));
}

DynamicLibrary::~DynamicLibrary() { ::FreeLibrary(static_cast<HMODULE>(handle_)); }

Result<void*> DynamicLibrary::Symbol(const std::string& entry) const {
  FARPROC address = ::GetProcAddress(static_cast<HMODULE>(handle_), entry.c_str());
  if (address == nullptr) {
    return Status::Error(errc::kEntryNotFound, "library " + name_ + " has no entry point " + entry);
  }
  return reinterpret_cast<void*>(address);
}

}  // namespace qz::platform
