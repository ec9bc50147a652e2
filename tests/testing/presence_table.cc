#include "testing/presence_table.h"

#include <cstring>
#include <string_view>

#include "qzpub.h"

namespace qz_test {
namespace {

// The value, one NUL, spaces to the width: the form the component writes.
template <size_t N>
void Put(char (&field)[N], std::string_view value) {
  std::memset(field, ' ', N);
  const size_t n = value.size() < N ? value.size() : N;
  std::memcpy(field, value.data(), n);
  if (n < N) field[n] = '\0';
}

template <size_t N>
std::string Get(const char (&field)[N]) {
  std::string text(field, strnlen(field, N));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

Row FromRecord(const YHDLRecord& r) {
  return Row{r.YH00,      Get(r.YH01), Get(r.YH02), Get(r.YH03), Get(r.YH04),
             Get(r.YH05), Get(r.YH06), Get(r.YH07), Get(r.YH08)};
}

}  // namespace

std::unique_ptr<PresenceTable> PresenceTable::Open(const std::string& uri, std::string* why_not) {
  const int32_t hdbc = qzpub_Connect(uri.c_str());
  if (hdbc <= 0) {
    *why_not = "qzpub_Connect(" + uri + "): " + qzpub_LastError();
    return nullptr;
  }
  return std::unique_ptr<PresenceTable>(new PresenceTable(hdbc));
}

PresenceTable::~PresenceTable() { qzpub_Disconnect(hdbc_); }

int32_t PresenceTable::Insert(const std::string& user, const std::string& ip,
                              const std::string& port, const std::string& sys,
                              const std::string& mod) {
  YHDLRecord record;
  std::memset(&record, 0, sizeof record);
  Put(record.YH01, user);
  Put(record.YH02, ip);
  Put(record.YH03, port);
  Put(record.YH04, "");
  Put(record.YH05, sys);
  Put(record.YH06, mod);
  Put(record.YH07, "");
  char now[QZPUB_DATE_BUFFER_SIZE] = {};
  odbc_GetSysDateStr(hdbc_, now);  // so that no login's purge removes this row
  Put(record.YH08, now);
  if (userYHDL_Insert(hdbc_, &record) != 1) return 0;
  return record.YH00;
}

std::vector<Row> PresenceTable::Rows() {
  std::vector<Row> rows;
  YHDLRecord record;
  std::memset(&record, 0, sizeof record);
  const int32_t cursor = userYHDL_GetFirst(hdbc_, &record, "");
  if (cursor <= 0) return rows;
  do {
    rows.push_back(FromRecord(record));
  } while (userYHDL_GetNext(cursor, &record) == 1);
  return rows;
}

std::optional<Row> PresenceTable::RowWithKey(int32_t key) {
  for (Row& row : Rows()) {
    if (row.key == key) return row;
  }
  return std::nullopt;
}

}  // namespace qz_test
