// A shared library bound by name at run time.
#ifndef QZ_PLATFORM_DYNAMIC_LIBRARY_H_
#define QZ_PLATFORM_DYNAMIC_LIBRARY_H_

#include <memory>
#include <string>

#include "qz/status.h"

namespace qz::platform {

// The file name under which the platform's loader finds the data-access library.
#if defined(_WIN32)
inline constexpr char kDataAccessLibraryFile[] = "qzpub.dll";
#else
inline constexpr char kDataAccessLibraryFile[] = "libqzpub.so";
#endif

class DynamicLibrary {
 public:
  // Loads the library by file name (searched as the platform's loader does). Fails with
  // errc::kFileNotFound and the loader's message.
  static Result<std::shared_ptr<DynamicLibrary>> Open(const std::string& name);
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // The address of an entry; fails with errc::kEntryNotFound.
  Result<void*> Symbol(const std::string& entry) const;
  const std::string& name() const { return name_; }

 private:
  DynamicLibrary(void* handle, std::string name) : handle_(handle), name_(std::move(name)) {}
  void* handle_;
  std::string name_;
};

}  // namespace qz::platform

#endif  // QZ_PLATFORM_DYNAMIC_LIBRARY_H_
