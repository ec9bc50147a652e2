// RecordingDataAccess: a fake of the data-access library for tests of the component.
//
// It records every call in order and, unless scripted otherwise, behaves like a small
// database: an in-memory YHDL whose keys count up from 1, the component's statements (the
// purge and the duplicate delete) and conditions applied to it, and scans over the matching
// rows. Tests script what they need: the server time, the next key, the rows a scan returns,
// GetFirst's result, or a failure of an entry. Whenever an entry returns a negative result it
// leaves words for LastError(), as qzpub does. Install it with SetDataAccessForTesting().
// Threads: any; every member locks. The last error is one for all threads.
#ifndef QZ_PRESENCE_TESTING_RECORDING_DATA_ACCESS_H_
#define QZ_PRESENCE_TESTING_RECORDING_DATA_ACCESS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "presence/data_access.h"

namespace qz::presence {

class RecordingDataAccess final : public DataAccess {
 public:
  // The server time that odbc_GetSysDateStr writes unless scripted.
  static constexpr char kDefaultSysDate[] = "2024-03-01 12:00:00";

  struct Call {
    std::string entry;    // "odbc_ExecSQL", "userYHDL_GetNext", ...
    int32_t handle = 0;   // the connection handle; the cursor for userYHDL_GetNext
    std::string text;     // the SQL, condition or database name as passed (UTF-8)
    YHDLRecord record{};  // the record as passed in; all zero for entries without one
  };

  // ---- What was called -----------------------------------------------------------------
  std::vector<Call> calls() const;
  // The entry names of calls(), in order.
  std::vector<std::string> entries() const;
  void ClearCalls();

  // ---- The in-memory table -------------------------------------------------------------
  // Its rows, in key order, as they were inserted (with their keys).
  std::vector<YHDLRecord> rows() const;
  // Adds a row as if another client had inserted it; keeps row.YH00 when > 0, else assigns
  // the next key. Returns the key.
  int32_t AddRow(YHDLRecord row);

  // ---- Scripting -----------------------------------------------------------------------
  // The bytes (code page) that odbc_GetSysDateStr writes, followed by a NUL; nullopt leaves
  // the buffer untouched.
  void SetSysDate(std::optional<std::string> text);
  // The key that the next insert assigns; later inserts count up from it.
  void SetNextKey(int32_t key);
  // Every scan returns these rows, whatever its condition, instead of the table's.
  void ScriptRows(std::vector<YHDLRecord> rows);
  void ClearScriptedRows();
  // userYHDL_GetFirst returns result: 0 or less without filling the record, or, when
  // greater, as the cursor of the scan.
  void ScriptGetFirstResult(int32_t result);
  // What userYHDL_GetNext returns at the end of a scan (0 unless scripted).
  void ScriptGetNextEndResult(int32_t result);
  // entry, on success, returns result instead of 1; any value but 1 also skips its effect
  // (no row inserted or deleted, no statement run, no time written).
  void ScriptResult(const std::string& entry, int32_t result);
  // entry fails with status (as an entry that could not be bound) until cleared. The call
  // is still recorded.
  void Fail(const std::string& entry, Status status);
  // entry fails as the library reports a failure, until cleared: it returns -1, has no effect,
  // and leaves words as the last error. The call is still recorded.
  void FailAsLibrary(const std::string& entry, std::string words);
  // Ends what Fail and FailAsLibrary scripted.
  void ClearFailures();

  // ---- DataAccess ----------------------------------------------------------------------
  Result<int32_t> odbc_GetSysDateStr(int32_t hdbc, char* buffer) override;
  // Runs "delete [from] YHDL [where ...]" on the table; any other statement returns -1.
  Result<int32_t> odbc_ExecSQL(int32_t hdbc, const std::string& sql) override;
  Result<int32_t> userYHDL_Insert(int32_t hdbc, YHDLRecord& record) override;
  Result<int32_t> userYHDL_Delete(int32_t hdbc, YHDLRecord& record) override;
  Result<int32_t> sysMSSQLUses(int32_t hdbc, const std::string& database) override;
  // Understands conditions joined by And of the form COLUMN op 'text' (quotes doubled) or
  // COLUMN op number, op one of = < > <= >= <>; an unreadable condition returns -1.
  Result<int32_t> userYHDL_GetFirst(int32_t hdbc, YHDLRecord& record,
                                    const std::string& condition) override;
  Result<int32_t> userYHDL_GetNext(int32_t cursor, YHDLRecord& record) override;
  // The words of the last negative result; kept until the next one, as in qzpub.
  std::string LastError() override;

 private:
  struct Scan {
    std::vector<YHDLRecord> rows;
    size_t next = 1;
  };

  // Records the call; returns the scripted failure of the entry, if any: a Status for one
  // that cannot be bound, -1 for one that fails as the library.
  std::optional<Result<int32_t>> Record(const char* entry, int32_t handle, std::string text,
                                        const YHDLRecord* record);
  // The scripted result of entry (1 unless scripted); a negative one leaves words.
  int32_t ResultOf(const std::string& entry);
  // Returns the failure result, leaving words as the last error.
  int32_t Failed(int32_t result, std::string words);

  mutable std::mutex mu_;
  std::vector<Call> calls_;
  std::map<int32_t, YHDLRecord> table_;
  int32_t next_key_ = 1;
  std::optional<std::string> sys_date_ = std::string(kDefaultSysDate);
  std::optional<std::vector<YHDLRecord>> scripted_rows_;
  std::optional<int32_t> get_first_result_;
  int32_t get_next_end_result_ = 0;
  std::map<std::string, int32_t> results_;
  std::map<std::string, Status> failures_;
  std::map<std::string, std::string> library_failures_;
  std::string last_error_;
  std::map<int32_t, Scan> scans_;
  int32_t next_cursor_ = 1;
};

}  // namespace qz::presence

#endif  // QZ_PRESENCE_TESTING_RECORDING_DATA_ACCESS_H_
