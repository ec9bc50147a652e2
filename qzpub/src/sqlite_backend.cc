// SQLite backend. Many processes share one file: WAL lets readers run beside the writer, and
// the busy timeout makes a writer wait for the lock instead of failing. Each statement is its
// own transaction and scans are read whole, so no connection keeps a read snapshot open
// between calls (an open snapshot would make a later write on it fail at once with
// SQLITE_BUSY_SNAPSHOT, whatever the timeout).
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backend.h"
#include "statement.h"
#include "wal_index_header.h"

namespace qzpub {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr size_t kCachedSelects = 16;
// The rows a connection keeps from its scans, in all: enough for a broadcast to thousands of
// users, under 2 MB. A larger scan is not kept; a newer one evicts the oldest.
constexpr size_t kKeptRowsInAll = 4096;
// A header that stays the same answers for at most this long before the data version is read
// again: if the file read were ever not the index SQLite uses, a missed commit shows within it.
constexpr std::chrono::seconds kHeaderTrustedFor{1};

struct StatementDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// Resets a cached statement when a call is done with it, so that it holds no lock.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* s) : s_(s) {}
  ~ResetOnExit() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  sqlite3_stmt* s_;
};

std::string Excerpt(std::string_view sql) {
  constexpr size_t kMax = 200;
  return sql.size() <= kMax ? std::string(sql) : std::string(sql.substr(0, kMax)) + "...";
}

std::string ColumnText(sqlite3_stmt* s, int column) {
  const unsigned char* text = sqlite3_column_text(s, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(s, column)));
}

class SqliteBackend final : public Backend {
 public:
  explicit SqliteBackend(sqlite3* db) : db_(db) {}
  ~SqliteBackend() override {
    selects_.clear();
    data_version_.reset();
    insert_.reset();
    delete_.reset();
    update_.reset();
    sqlite3_close_v2(db_);
  }
  SqliteBackend(const SqliteBackend&) = delete;
  SqliteBackend& operator=(const SqliteBackend&) = delete;

  Status Initialize(const std::string& path) {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if (Status s = EnableWal(path); !s.ok()) return s;
    if (Status s = Execute("PRAGMA synchronous=NORMAL"); !s.ok()) return s;
    Result<bool> exists = TableExists();
    if (!exists.ok()) return exists.status();
    if (!exists.value()) {
      Status s = Execute(
          "CREATE TABLE IF NOT EXISTS YHDL (YH00 INTEGER PRIMARY KEY AUTOINCREMENT, YH01 TEXT, "
          "YH02 TEXT, YH03 TEXT, YH04 TEXT, YH05 TEXT, YH06 TEXT, YH07 TEXT, YH08 TEXT)");
      if (!s.ok()) return s;
    }
    return Status::Ok();
  }

  Result<std::string> SysDate() override {
    Result<Statement> s = Prepare("SELECT datetime('now','localtime')");
    if (!s.ok()) return s.status();
    if (sqlite3_step(s.value().get()) != SQLITE_ROW) return Failure("reading the time");
    return ColumnText(s.value().get(), 0);
  }

  Status Execute(std::string_view sql) override {
    ++own_writes_;  // any text may write
    Result<Statement> s = Prepare(sql);
    if (!s.ok()) return s.status();
    int rc;
    while ((rc = sqlite3_step(s.value().get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) return Failure("running " + Excerpt(sql));
    return Status::Ok();
  }

  Result<int32_t> Insert(const Row& row) override {
    Result<sqlite3_stmt*> s =
        Cached(insert_,
               "INSERT INTO YHDL (YH01, YH02, YH03, YH04, YH05, YH06, YH07, YH08) "
               "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    ++own_writes_;
    if (!s.ok()) return s.status();
    ResetOnExit reset(s.value());
    BindText(s.value(), row);
    if (sqlite3_step(s.value()) != SQLITE_DONE) return Failure("inserting into YHDL");
    const sqlite3_int64 key = sqlite3_last_insert_rowid(db_);
    if (key <= 0 || key > std::numeric_limits<int32_t>::max()) {
      return Status::Failure("YHDL key " + std::to_string(key) + " does not fit 32 bits");
    }
    return static_cast<int32_t>(key);
  }

  Status Delete(int32_t key) override {
    Result<sqlite3_stmt*> s = Cached(delete_, "DELETE FROM YHDL WHERE YH00 = ?1");
    ++own_writes_;
    if (!s.ok()) return s.status();
    ResetOnExit reset(s.value());
    sqlite3_bind_int(s.value(), 1, key);
    if (sqlite3_step(s.value()) != SQLITE_DONE) return Failure("deleting from YHDL");
    return Status::Ok();
  }

  Result<int64_t> Update(const Row& row) override {
    Result<sqlite3_stmt*> s =
        Cached(update_,
               "UPDATE YHDL SET YH01 = ?1, YH02 = ?2, YH03 = ?3, YH04 = ?4, YH05 = ?5, YH06 = ?6, "
               "YH07 = ?7, YH08 = ?8 WHERE YH00 = ?9");
    ++own_writes_;
    if (!s.ok()) return s.status();
    ResetOnExit reset(s.value());
    BindText(s.value(), row);
    sqlite3_bind_int(s.value(), 9, row.key);
    if (sqlite3_step(s.value()) != SQLITE_DONE) return Failure("updating YHDL");
    return static_cast<int64_t>(sqlite3_changes(db_));
  }

  // One file is one database: there is nothing to switch to.
  Status Use(std::string_view) override { return Status::Ok(); }

  // A sender asks for the same recipients at every message. While no connection has committed
  // since its last scan (the data version, which counts the commits of others, and this
  // connection's own writes), the rows of that scan are still the answer. The data version
  // takes a read transaction; the WAL index header, read before it, answers the same question
  // with one read while it stays as it was.
  Result<SharedRows> Select(std::string_view condition) override {
    Result<KeptSelect*> kept = CachedSelect(condition);
    if (!kept.ok()) return kept.status();
    KeptSelect& k = *kept.value();
    const std::optional<WalIndexHeader::Bytes> header = ReadWalIndexHeader();
    const auto now = std::chrono::steady_clock::now();
    const bool same_header = header && k.header == header;
    if (k.rows && k.own_writes == own_writes_ && same_header &&
        now - k.checked_at < kHeaderTrustedFor) {
      return k.rows;
    }
    Result<int64_t> version = DataVersion();
    if (!version.ok()) return version.status();
    if (k.rows && k.data_version != version.value() && same_header &&
        ReadWalIndexHeader() == header) {
      // Another connection's commit that the header did not show, not even after the read that
      // saw it: it is not the index SQLite uses here.
      wal_index_.reset();
    }
    const bool unchanged = k.data_version == version.value() && k.own_writes == own_writes_;
    k.header = header;
    k.checked_at = now;
    if (k.rows && unchanged) return k.rows;
    Forget(k);
    Result<std::vector<Row>> rows = Scan(k.stmt.get());
    if (!rows.ok()) return rows.status();
    SharedRows shared = std::make_shared<const std::vector<Row>>(std::move(rows.value()));
    if (MakeRoom(shared->size())) {
      k.rows = shared;
      k.data_version = version.value();
      k.own_writes = own_writes_;
      kept_rows_ += shared->size();
    }
    return shared;
  }

 private:
  // A kept SELECT, by its condition, and the rows of its last scan while they are still the
  // answer.
  struct KeptSelect {
    std::string condition;
    Statement stmt;
    SharedRows rows{};
    int64_t data_version = 0;
    uint64_t own_writes = 0;
    // The WAL index header read just before the data version was last read, and when.
    std::optional<WalIndexHeader::Bytes> header{};
    std::chrono::steady_clock::time_point checked_at{};
  };

  // Opened at the first scan, when this connection's first read has made the index file.
  std::optional<WalIndexHeader::Bytes> ReadWalIndexHeader() {
    if (!wal_index_opened_) {
      wal_index_opened_ = true;
      const char* file = sqlite3_db_filename(db_, "main");
      wal_index_ = WalIndexHeader::Open(file == nullptr ? std::string() : std::string(file));
    }
    if (!wal_index_) return std::nullopt;
    return wal_index_->Read();
  }

  void Forget(KeptSelect& k) {
    if (k.rows) kept_rows_ -= k.rows->size();
    k.rows.reset();
  }

  // Whether n more rows may be kept, once the rows of the least recently used scans are dropped.
  bool MakeRoom(size_t n) {
    if (n > kKeptRowsInAll) return false;
    for (auto it = selects_.rbegin(); kept_rows_ + n > kKeptRowsInAll && it != selects_.rend();
         ++it) {
      Forget(*it);
    }
    return true;
  }

  Result<std::vector<Row>> Scan(sqlite3_stmt* stmt) {
    ResetOnExit reset(stmt);
    std::vector<Row> rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      const sqlite3_int64 key = sqlite3_column_int64(stmt, 0);
      if (key < std::numeric_limits<int32_t>::min() || key > std::numeric_limits<int32_t>::max()) {
        return Status::Failure("YHDL key " + std::to_string(key) + " does not fit 32 bits");
      }
      Row row;
      row.key = static_cast<int32_t>(key);
      for (size_t i = 0; i < kTextColumns; ++i) {
        row.text[i] = ColumnText(stmt, static_cast<int>(i) + 1);
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return Failure("reading YHDL");
    return rows;
  }

  // Changes whenever another connection has committed to the database since the last call.
  Result<int64_t> DataVersion() {
    Result<sqlite3_stmt*> s = Cached(data_version_, "PRAGMA data_version");
    if (!s.ok()) return s.status();
    ResetOnExit reset(s.value());
    if (sqlite3_step(s.value()) != SQLITE_ROW) return Failure("reading the data version");
    return static_cast<int64_t>(sqlite3_column_int64(s.value(), 0));
  }

  Status Failure(const std::string& what) const {
    return Status::Failure("SQLite: " + std::string(sqlite3_errmsg(db_)) + " (" + what + ")");
  }

  // Prepares the one statement of sql; refuses text that holds a second one.
  Result<Statement> Prepare(std::string_view sql) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &raw, &tail) !=
        SQLITE_OK) {
      return Failure("preparing " + Excerpt(sql));
    }
    Statement stmt(raw);
    if (!stmt) return Status::Failure("SQLite: no statement in \"" + Excerpt(sql) + "\"");
    const char* end = sql.data() + sql.size();
    if (tail != nullptr && tail < end) {
      sqlite3_stmt* extra = nullptr;
      const int rc = sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &extra, nullptr);
      Statement second(extra);
      if (rc != SQLITE_OK || second) {
        return Status::Failure("SQLite: more than one statement in \"" + Excerpt(sql) + "\"");
      }
    }
    return stmt;
  }

  // The recent SELECTs by their condition: a sender that asks for the same recipients again
  // skips the parse, which costs more than the rest of a delivery.
  Result<KeptSelect*> CachedSelect(std::string_view condition) {
    for (auto it = selects_.begin(); it != selects_.end(); ++it) {
      if (it->condition != condition) continue;
      selects_.splice(selects_.begin(), selects_, it);
      return &selects_.front();
    }
    Result<Statement> s = Prepare(SelectStatement(condition));
    if (!s.ok()) return s.status();
    if (selects_.size() == kCachedSelects) {
      Forget(selects_.back());
      selects_.pop_back();
    }
    selects_.push_front(
        KeptSelect{.condition = std::string(condition), .stmt = std::move(s.value())});
    return &selects_.front();
  }

  Result<sqlite3_stmt*> Cached(Statement& slot, const char* sql) {
    if (!slot) {
      sqlite3_stmt* raw = nullptr;
      if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
        return Failure("preparing " + std::string(sql));
      }
      slot.reset(raw);
    }
    return slot.get();
  }

  static void BindText(sqlite3_stmt* s, const Row& row) {
    for (size_t i = 0; i < kTextColumns; ++i) {
      sqlite3_bind_text(s, static_cast<int>(i) + 1, row.text[i].data(),
                        static_cast<int>(row.text[i].size()), SQLITE_TRANSIENT);
    }
  }

  // Switching a file to WAL needs it to itself for a moment; another process that holds it
  // answers busy, without calling the busy handler, so retry up to the busy timeout.
  Status EnableWal(const std::string& path) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
      sqlite3_stmt* raw = nullptr;
      int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &raw, nullptr);
      Statement s(raw);
      if (rc == SQLITE_OK) rc = sqlite3_step(s.get());
      if (rc == SQLITE_ROW) {
        const std::string mode = ColumnText(s.get(), 0);
        if (mode == "wal" || mode == "memory") return Status::Ok();
        return Status::Failure("SQLite: cannot use WAL journal mode on " + path + " (it stays in " +
                               mode + " mode; a network share cannot hold WAL files)");
      }
      if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) {
        return Failure("switching " + path + " to WAL");
      }
      if (std::chrono::steady_clock::now() >= deadline) return Failure("switching to WAL");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  Result<bool> TableExists() {
    Result<Statement> s = Prepare(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'YHDL' COLLATE NOCASE");
    if (!s.ok()) return s.status();
    const int rc = sqlite3_step(s.value().get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return Failure("reading the schema");
  }

  sqlite3* db_;
  Statement insert_;
  Statement delete_;
  Statement update_;
  Statement data_version_;
  std::list<KeptSelect> selects_;  // most recently used first
  std::unique_ptr<WalIndexHeader> wal_index_;
  bool wal_index_opened_ = false;
  uint64_t own_writes_ = 0;  // this connection's, which its data version does not count
  size_t kept_rows_ = 0;     // in all of selects_
};

}  // namespace

Result<std::unique_ptr<Backend>> OpenSqlite(const std::string& path) {
  sqlite3* db = nullptr;
  // The handle registry lets one call at a time use a connection, so SQLite's own lock around
  // each of its calls (several per row read) would only repeat that.
  const int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message =
        "SQLite: cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
      message += " (folder " + folder.string() + " does not exist)";
    } else if (!std::filesystem::exists(path, ec) &&
               faccessat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), W_OK, AT_EACCESS) != 0) {
      // SQLite's words do not say that the file could not be made there.
      message += " (this user may not create files in folder " +
                 (folder.empty() ? std::string(".") : folder.string()) + ")";
    }
    return Status::Failure(message);
  }
  auto backend = std::make_unique<SqliteBackend>(db);
  if (Status s = backend->Initialize(path); !s.ok()) return s;
  return std::unique_ptr<Backend>(std::move(backend));
}

}  // namespace qzpub
