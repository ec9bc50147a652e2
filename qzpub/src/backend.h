// Backend: what qzpub needs of a database to serve the entries over table YHDL.
//
// A backend is used by one thread at a time (the caller serialises calls on a connection).
// Text is passed through as code-page bytes. Scans return every selected row at once: the
// table holds one row per login, and no lock or server resource outlives a call, so a scan
// that the caller abandons costs only its rows in memory.
#ifndef QZPUB_SRC_BACKEND_H_
#define QZPUB_SRC_BACKEND_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "row.h"
#include "status.h"

namespace qzpub {

class Backend {
 public:
  virtual ~Backend() = default;

  // The server's local time, "yyyy-mm-dd hh:mm:ss".
  virtual Result<std::string> SysDate() = 0;
  // Runs one statement (already in the backend's dialect); text holding more than one
  // statement is refused.
  virtual Status Execute(std::string_view sql) = 0;
  // Inserts row (its key ignored) and returns the key the database assigned.
  virtual Result<int32_t> Insert(const Row& row) = 0;
  // Deletes the row with key, if there is one.
  virtual Status Delete(int32_t key) = 0;
  // Updates the row with row.key from row's text; returns how many rows changed (0 or 1).
  virtual Result<int64_t> Update(const Row& row) = 0;
  // Makes the named database current, as far as the backend has such a thing.
  virtual Status Use(std::string_view database) = 0;
  // The rows that SelectStatement(condition) selects, in key order. They are shared, not
  // copied: a backend may hand the same rows to a later scan that finds the table unchanged.
  virtual Result<SharedRows> Select(std::string_view condition) = 0;
};

// Opens (creating when missing) the SQLite file at path; creates table YHDL when missing.
Result<std::unique_ptr<Backend>> OpenSqlite(const std::string& path);

// Connects to the PostgreSQL server of a libpq URI; creates table YHDL when missing.
Result<std::unique_ptr<Backend>> OpenPostgres(const std::string& uri);

}  // namespace qzpub

#endif  // QZPUB_SRC_BACKEND_H_
