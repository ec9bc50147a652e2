#include "presence_rows.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/code_page.h"
#include "platform/leading_number.h"
#include "qz_common/uri_password.h"
#include "qzpub.h"
#include "qzpub_field.h"
#include "terminal_text.h"

namespace qzmsg {
namespace {

// The fields are in the code page that the component writes them in, as it would read them.
PresenceRow FromRecord(const YHDLRecord& record) {
  const qz::platform::CodePage& page = qz::platform::CodePage::System();
  const auto text = [&page](const auto& field) { return page.ToUtf8(qzpub::FieldText(field)); };
  PresenceRow row;
  row.key = record.YH00;
  row.user = text(record.YH01);
  row.ip = text(record.YH02);
  row.port_text = text(record.YH03);
  row.full_name = text(record.YH04);
  row.sys = text(record.YH05);
  row.mod = text(record.YH06);
  row.std1 = text(record.YH07);
  row.login_time = text(record.YH08);
  return row;
}

}  // namespace

int32_t PresenceRow::port() const { return qz::LeadingNumber(port_text); }

qz::Result<std::vector<PresenceRow>> ReadPresenceRows(int32_t hdbc) {
  std::vector<PresenceRow> rows;
  YHDLRecord record;
  std::memset(&record, 0, sizeof record);
  const int32_t cursor = userYHDL_GetFirst(hdbc, &record, "");
  if (cursor < 0) {
    return qz::Status::Error(qz::errc::kInvalidArgument,
                             std::string("cannot read the presence table: ") + qzpub_LastError());
  }
  if (cursor == 0) return rows;
  int32_t next = 1;
  do {
    rows.push_back(FromRecord(record));
    next = userYHDL_GetNext(cursor, &record);
  } while (next == 1);
  if (next < 0) {
    return qz::Status::Error(qz::errc::kInvalidArgument,
                             std::string("cannot read the presence table: ") + qzpub_LastError());
  }
  return rows;
}

qz::Status DeletePresenceRow(int32_t hdbc, int32_t key) {
  YHDLRecord record;
  std::memset(&record, 0, sizeof record);
  record.YH00 = key;
  if (userYHDL_Delete(hdbc, &record) < 0) {
    return qz::Status::Error(
        qz::errc::kDatabaseFailed,
        "cannot delete the row of key " + std::to_string(key) + ": " + qzpub_LastError());
  }
  return qz::Status::OK();
}

qz::Result<int32_t> ConnectDatabase(const std::string& uri) {
  const int32_t hdbc = qzpub_Connect(uri.c_str());
  if (hdbc <= 0) {
    // The URI is as it was typed, in the terminal's codeset; so may be the library's words.
    return qz::Status::Error(qz::errc::kFileNotFound, FromTerminal("cannot open database " +
                                                                   qz_common::WithoutPassword(uri) +
                                                                   ": " + qzpub_LastError()));
  }
  return hdbc;
}

qz::Result<int32_t> ConnectDatabase(const CommonOptions& options) {
  qz::Result<std::string> uri = DatabaseUri(options);
  if (!uri.ok()) return uri.status();
  return ConnectDatabase(*uri);
}

}  // namespace qzmsg
