#include "presence_rows.h"

#include <cctype>
#include <cstring>
#include <limits>

#include "qzpub.h"

namespace qzmsg {
namespace {

template <size_t N>
std::string Field(const char (&field)[N]) {
  return FieldText(field, N);
}

PresenceRow FromRecord(const YHDLRecord& record) {
  PresenceRow row;
  row.key = record.YH00;
  row.user = Field(record.YH01);
  row.ip = Field(record.YH02);
  row.port_text = Field(record.YH03);
  row.full_name = Field(record.YH04);
  row.sys = Field(record.YH05);
  row.mod = Field(record.YH06);
  row.std1 = Field(record.YH07);
  row.login_time = Field(record.YH08);
  return row;
}

}  // namespace

int32_t PresenceRow::port() const {
  size_t i = 0;
  while (i < port_text.size() && std::isspace(static_cast<unsigned char>(port_text[i]))) ++i;
  int64_t value = 0;
  for (; i < port_text.size() && std::isdigit(static_cast<unsigned char>(port_text[i])); ++i) {
    value = value * 10 + (port_text[i] - '0');
    if (value > std::numeric_limits<int32_t>::max()) return 0;
  }
  return static_cast<int32_t>(value);
}

std::string FieldText(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
  while (length > 0 && field[length - 1] == ' ') --length;
  return std::string(field, length);
}

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
