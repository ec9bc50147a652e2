// DataAccess: the entries of the data-access library (qzpub), as the component calls them.
//
// Text arguments are UTF-8; the binding converts them to the system code page. Records carry
// code-page bytes (yhdl_record.h reads and writes their fields). Each call returns the entry's
// own result, or a failure when the library or the entry cannot be bound (errc::kFileNotFound,
// errc::kEntryNotFound). The library reports a failure of its own with a negative result and
// keeps its words for LastError(); Checked() turns that into a Status.
#ifndef QZ_PRESENCE_DATA_ACCESS_H_
#define QZ_PRESENCE_DATA_ACCESS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "qz/status.h"
#include "qzpub.h"

namespace qz::presence {

class DataAccess {
 public:
  virtual ~DataAccess() = default;
  // buffer holds QZPUB_DATE_BUFFER_SIZE bytes.
  virtual Result<int32_t> odbc_GetSysDateStr(int32_t hdbc, char* buffer) = 0;
  virtual Result<int32_t> odbc_ExecSQL(int32_t hdbc, const std::string& sql) = 0;
  virtual Result<int32_t> userYHDL_Insert(int32_t hdbc, YHDLRecord& record) = 0;
  virtual Result<int32_t> userYHDL_Delete(int32_t hdbc, YHDLRecord& record) = 0;
  virtual Result<int32_t> sysMSSQLUses(int32_t hdbc, const std::string& database) = 0;
  virtual Result<int32_t> userYHDL_GetFirst(int32_t hdbc, YHDLRecord& record,
                                            const std::string& condition) = 0;
  virtual Result<int32_t> userYHDL_GetNext(int32_t cursor, YHDLRecord& record) = 0;
  // The text (UTF-8) of the calling thread's last failure in the library (qzpub_LastError), or
  // "" when the library has no such entry.
  virtual std::string LastError() = 0;
};

// result, unless the library reported a failure (a negative result): then errc::kDatabaseFailed
// with the library's own words, as "<context>: <LastError()>" (the result's number when the
// library has no words). A binding failure passes as it is.
Result<int32_t> Checked(DataAccess& db, Result<int32_t> result, std::string_view context);

// The data access the component uses: the library "libqzpub.so", each entry bound by name at
// its first call, unless a test has installed another. Threads: any; binding is thread-safe.
DataAccess& CurrentDataAccess();

// Installs fake in place of the library until called again with nullptr. The fake is not owned.
// For tests: call it while no component call is running.
void SetDataAccessForTesting(DataAccess* fake);

// Makes the library binding load name (a file name or a path) instead of "libqzpub.so", and
// forgets what it had bound; an empty name restores the default. For tests: call it while no
// call is running. Hosts cannot change the name: the component binds the library it was built
// for, as the loader finds it.
void SetLibraryNameForTesting(const std::string& name);

}  // namespace qz::presence

#endif  // QZ_PRESENCE_DATA_ACCESS_H_
