#include "presence_rows.h"

#include <cstring>

#include "platform/leading_number.h"
#include "qzpub.h"
#include "qzpub_field.h"

namespace qzmsg {
namespace {

PresenceRow FromRecord(const YHDLRecord& record) {
  PresenceRow row;
  row.key = record.YH00;
  row.user = qzpub::FieldText(record.YH01);
  row.ip = qzpub::FieldText(record.YH02);
  row.port_text = qzpub::FieldText(record.YH03);
  row.full_name = qzpub::FieldText(record.YH04);
  row.sys = qzpub::FieldText(record.YH05);
  row.mod = qzpub::FieldText(record.YH06);
  row.std1 = qzpub::FieldText(record.YH07);
  row.login_time = qzpub::FieldText(record.YH08);
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

qz::Result<int32_t> ConnectDatabase(const std::string& uri) {
  const int32_t hdbc = qzpub_Connect(uri.c_str());
  if (hdbc <= 0) {
    return qz::Status::Error(qz::errc::kFileNotFound,
                             "cannot open database " + uri + ": " + qzpub_LastError());
  }
  return hdbc;
}

}  // namespace qzmsg
