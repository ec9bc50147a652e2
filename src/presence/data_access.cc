#include "presence/data_access.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/code_page.h"
#include "platform/dynamic_library.h"

namespace qz::presence {
namespace {

constexpr const char* kLibraryName = platform::kDataAccessLibraryFile;

enum Entry : size_t {
  kGetSysDateStr,
  kExecSql,
  kInsert,
  kDelete,
  kUses,
  kGetFirst,
  kGetNext,
  kLastError,
  kEntryCount
};

constexpr std::array<const char*, kEntryCount> kEntryNames = {
    "odbc_GetSysDateStr", "odbc_ExecSQL",      "userYHDL_Insert",  "userYHDL_Delete",
    "sysMSSQLUses",       "userYHDL_GetFirst", "userYHDL_GetNext", "qzpub_LastError",
};

// The library's entries, each looked up at its first call. A failed load or lookup is not
// remembered: the next call tries again, so a library installed later is found.
class LibraryDataAccess final : public DataAccess {
 public:
  Result<int32_t> odbc_GetSysDateStr(int32_t hdbc, char* buffer) override {
    return Call<decltype(&::odbc_GetSysDateStr)>(kGetSysDateStr, hdbc, buffer);
  }
  Result<int32_t> odbc_ExecSQL(int32_t hdbc, const std::string& sql) override {
    return InCodePage(sql, [&](const char* text) {
      return Call<decltype(&::odbc_ExecSQL)>(kExecSql, hdbc, text);
    });
  }
  Result<int32_t> userYHDL_Insert(int32_t hdbc, YHDLRecord& record) override {
    return Call<decltype(&::userYHDL_Insert)>(kInsert, hdbc, &record);
  }
  Result<int32_t> userYHDL_Delete(int32_t hdbc, YHDLRecord& record) override {
    return Call<decltype(&::userYHDL_Delete)>(kDelete, hdbc, &record);
  }
  Result<int32_t> sysMSSQLUses(int32_t hdbc, const std::string& database) override {
    return InCodePage(database, [&](const char* text) {
      return Call<decltype(&::sysMSSQLUses)>(kUses, hdbc, text);
    });
  }
  Result<int32_t> userYHDL_GetFirst(int32_t hdbc, YHDLRecord& record,
                                    const std::string& condition) override {
    return InCodePage(condition, [&](const char* text) {
      return Call<decltype(&::userYHDL_GetFirst)>(kGetFirst, hdbc, &record, text);
    });
  }
  Result<int32_t> userYHDL_GetNext(int32_t cursor, YHDLRecord& record) override {
    return Call<decltype(&::userYHDL_GetNext)>(kGetNext, cursor, &record);
  }

  // A host's own library may lack the entry: its failures then come without words.
  std::string LastError() override {
    Result<void*> address = Bind(kLastError);
    if (!address.ok()) return std::string();
    const char* text = reinterpret_cast<decltype(&::qzpub_LastError)>(address.value())();
    return text == nullptr ? std::string() : platform::CodePage::System().ToUtf8(text);
  }

  void Rebind(const std::string& name) {
    std::lock_guard lock(mu_);
    name_ = name.empty() ? kLibraryName : name;
    library_.reset();
    for (auto& entry : entries_) entry.store(nullptr, std::memory_order_release);
  }

 private:
  // Runs fn with utf8 in the system code page, as the library reads text; a UTF-8 code page
  // needs no copy.
  template <typename Fn>
  static Result<int32_t> InCodePage(const std::string& utf8, Fn fn) {
    const platform::CodePage& cp = platform::CodePage::System();
    if (cp.is_utf8()) return fn(utf8.c_str());
    const std::string text = cp.FromUtf8(utf8);
    return fn(text.c_str());
  }

  template <typename Fn, typename... Args>
  Result<int32_t> Call(Entry entry, Args... args) {
    Result<void*> address = Bind(entry);
    if (!address.ok()) return address.status();
    return reinterpret_cast<Fn>(address.value())(args...);
  }

  Result<void*> Bind(Entry entry) {
    if (void* bound = entries_[entry].load(std::memory_order_acquire)) return bound;
    std::lock_guard lock(mu_);
    if (void* bound = entries_[entry].load(std::memory_order_acquire)) return bound;
    if (library_ == nullptr) {
      Result<std::shared_ptr<platform::DynamicLibrary>> opened =
          platform::DynamicLibrary::Open(name_);
      if (!opened.ok()) return opened.status();
      library_ = std::move(opened).value();
    }
    Result<void*> address = library_->Symbol(kEntryNames[entry]);
    if (!address.ok()) return address.status();
    entries_[entry].store(address.value(), std::memory_order_release);
    return address.value();
  }

  std::mutex mu_;  // guards name_, library_ and the binding of entries_
  std::string name_ = kLibraryName;
  std::shared_ptr<platform::DynamicLibrary> library_;
  std::array<std::atomic<void*>, kEntryCount> entries_{};
};

LibraryDataAccess& Library() {
  // Never destroyed: the component may call in while static objects are torn down.
  static LibraryDataAccess* const library = new LibraryDataAccess;
  return *library;
}

std::atomic<DataAccess*> g_fake{nullptr};

}  // namespace

DataAccess& CurrentDataAccess() {
  DataAccess* fake = g_fake.load(std::memory_order_acquire);
  return fake != nullptr ? *fake : Library();
}

Result<int32_t> Checked(DataAccess& db, Result<int32_t> result, std::string_view context) {
  if (!result.ok() || *result >= 0) return result;
  std::string words = db.LastError();
  if (words.empty()) words = "the library reported a failure (" + std::to_string(*result) + ")";
  return Status::Error(errc::kDatabaseFailed, std::string(context) + ": " + words);
}

void SetDataAccessForTesting(DataAccess* fake) { g_fake.store(fake, std::memory_order_release); }

void SetLibraryNameForTesting(const std::string& name) { Library().Rebind(name); }

}  // namespace qz::presence
