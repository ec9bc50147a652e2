// The C entries: argument checks, the handle and cursor registry, the record codec, and the
// calling thread's last failure. No exception leaves an entry.
#include "qzpub.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "backend.h"
#include "codeset.h"
#include "handle_registry.h"
#include "qz_common/codeset_name.h"
#include "qz_common/uri_password.h"
#include "row.h"
#include "statement.h"
#include "uri.h"

namespace qzpub {
namespace {

constexpr int32_t kFailed = -1;

std::string& LastError() {
  thread_local std::string text;
  return text;
}

int32_t Fail(const std::string& message) {
  LastError() = message;
  return kFailed;
}

int32_t Report(const Status& s) { return s.ok() ? 1 : Fail(s.message()); }

bool Utf8() {
  static const bool utf8 = qz_common::IsUtf8CodesetName(ProcessCodeset());
  return utf8;
}

// Runs body, turning an escaping exception (out of memory) into a failure.
template <typename Body>
int32_t Guarded(const char* entry, Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    return Fail(std::string(entry) + ": " + e.what());
  } catch (...) {
    return Fail(std::string(entry) + ": unexpected failure");
  }
}

Result<std::unique_ptr<Backend>> Open(const Target& target) {
  switch (target.kind) {
    case Target::Kind::kSqlite:
      return OpenSqlite(target.location);
    case Target::Kind::kPostgres:
#ifdef QZPUB_WITH_POSTGRESQL
      return OpenPostgres(target.location);
#else
      return Status::Failure("this qzpub was built without PostgreSQL");
#endif
  }
  return Status::Failure("unknown backend");
}

}  // namespace
}  // namespace qzpub

using qzpub::Backend;
using qzpub::Fail;
using qzpub::Guarded;
using qzpub::HandleRegistry;
using qzpub::Report;
using qzpub::Result;
using qzpub::Row;
using qzpub::Status;

extern "C" {

QZPUB_API int32_t QZPUB_CALL odbc_GetSysDateStr(int32_t hdbc, char* buffer) {
  return Guarded("odbc_GetSysDateStr", [&]() -> int32_t {
    if (buffer == nullptr) return Fail("odbc_GetSysDateStr: no buffer");
    return Report(HandleRegistry::Instance().WithBackend(hdbc, [&](Backend& b) {
      Result<std::string> now = b.SysDate();
      if (!now.ok()) return now.status();
      const size_t n = std::min(now.value().size(), size_t{QZPUB_DATE_BUFFER_SIZE - 1});
      std::memcpy(buffer, now.value().data(), n);
      buffer[n] = '\0';
      return Status::Ok();
    }));
  });
}

QZPUB_API int32_t QZPUB_CALL odbc_ExecSQL(int32_t hdbc, const char* sql) {
  return Guarded("odbc_ExecSQL", [&]() -> int32_t {
    if (sql == nullptr) return Fail("odbc_ExecSQL: no statement");
    const std::string statement = qzpub::TranslateStatement(sql);
    return Report(HandleRegistry::Instance().WithBackend(
        hdbc, [&](Backend& b) { return b.Execute(statement); }));
  });
}

QZPUB_API int32_t QZPUB_CALL userYHDL_Insert(int32_t hdbc, YHDLRecord* record) {
  return Guarded("userYHDL_Insert", [&]() -> int32_t {
    if (record == nullptr) return Fail("userYHDL_Insert: no record");
    const Row row = qzpub::ReadRecord(*record);
    return Report(HandleRegistry::Instance().WithBackend(hdbc, [&](Backend& b) {
      Result<int32_t> key = b.Insert(row);
      if (!key.ok()) return key.status();
      record->YH00 = key.value();
      return Status::Ok();
    }));
  });
}

QZPUB_API int32_t QZPUB_CALL userYHDL_Delete(int32_t hdbc, YHDLRecord* record) {
  return Guarded("userYHDL_Delete", [&]() -> int32_t {
    if (record == nullptr) return Fail("userYHDL_Delete: no record");
    const int32_t key = record->YH00;
    return Report(
        HandleRegistry::Instance().WithBackend(hdbc, [&](Backend& b) { return b.Delete(key); }));
  });
}

QZPUB_API int32_t QZPUB_CALL userYHDL_Update(int32_t hdbc, YHDLRecord* record) {
  return Guarded("userYHDL_Update", [&]() -> int32_t {
    if (record == nullptr) return Fail("userYHDL_Update: no record");
    const Row row = qzpub::ReadRecord(*record);
    int64_t changed = 0;
    Status s = HandleRegistry::Instance().WithBackend(hdbc, [&](Backend& b) {
      Result<int64_t> n = b.Update(row);
      if (!n.ok()) return n.status();
      changed = n.value();
      return Status::Ok();
    });
    if (!s.ok()) return Fail(s.message());
    return changed > 0 ? 1 : 0;
  });
}

QZPUB_API int32_t QZPUB_CALL sysMSSQLUses(int32_t hdbc, const char* database) {
  return Guarded("sysMSSQLUses", [&]() -> int32_t {
    if (database == nullptr) return Fail("sysMSSQLUses: no database name");
    const std::string name = database;
    return Report(
        HandleRegistry::Instance().WithBackend(hdbc, [&](Backend& b) { return b.Use(name); }));
  });
}

QZPUB_API int32_t QZPUB_CALL userYHDL_GetFirst(int32_t hdbc, YHDLRecord* record,
                                               const char* condition) {
  return Guarded("userYHDL_GetFirst", [&]() -> int32_t {
    if (record == nullptr) return Fail("userYHDL_GetFirst: no record");
    const std::string_view cond = condition ? condition : "";
    qzpub::SharedRows rows;
    Status s = HandleRegistry::Instance().WithBackend(hdbc, [&](Backend& b) {
      Result<qzpub::SharedRows> r = b.Select(cond);
      if (!r.ok()) return r.status();
      rows = std::move(r.value());
      return Status::Ok();
    });
    if (!s.ok()) return Fail(s.message());
    if (rows->empty()) return 0;
    YHDLRecord first;
    qzpub::WriteRecord(rows->front(), qzpub::Utf8(), &first);
    Result<int32_t> cursor = HandleRegistry::Instance().OpenCursor(hdbc, std::move(rows));
    if (!cursor.ok()) return Fail(cursor.status().message());
    *record = first;
    return cursor.value();
  });
}

QZPUB_API int32_t QZPUB_CALL userYHDL_GetNext(int32_t cursor, YHDLRecord* record) {
  return Guarded("userYHDL_GetNext", [&]() -> int32_t {
    if (record == nullptr) return Fail("userYHDL_GetNext: no record");
    qzpub::SharedRows rows;
    size_t index = 0;
    Result<bool> more = HandleRegistry::Instance().Next(cursor, &rows, &index);
    if (!more.ok()) return Fail(more.status().message());
    if (!more.value()) return 0;
    qzpub::WriteRecord((*rows)[index], qzpub::Utf8(), record);
    return 1;
  });
}

QZPUB_API int32_t QZPUB_CALL qzpub_Connect(const char* uri) {
  return Guarded("qzpub_Connect", [&]() -> int32_t {
    if (uri == nullptr) return Fail("qzpub_Connect: no URI");
    // libpq's messages may quote any part of the URI: none reaches the host with a password.
    const auto fail = [uri](const Status& s) {
      return Fail(qz_common::RedactPasswords(s.message(), uri));
    };
    Result<qzpub::Target> target = qzpub::ParseUri(uri);
    if (!target.ok()) return fail(target.status());
    Result<std::unique_ptr<Backend>> backend = qzpub::Open(target.value());
    if (!backend.ok()) return fail(backend.status());
    return HandleRegistry::Instance().AddConnection(std::move(backend.value()));
  });
}

QZPUB_API int32_t QZPUB_CALL qzpub_Disconnect(int32_t hdbc) {
  return Guarded("qzpub_Disconnect", [&]() -> int32_t {
    if (!HandleRegistry::Instance().RemoveConnection(hdbc)) {
      return Fail("no open connection " + std::to_string(hdbc));
    }
    return 1;
  });
}

QZPUB_API const char* QZPUB_CALL qzpub_LastError(void) { return qzpub::LastError().c_str(); }

}  // extern "C"
