// Row: one row of table YHDL as the backends exchange it, and its mapping to YHDLRecord.
#ifndef QZPUB_SRC_ROW_H_
#define QZPUB_SRC_ROW_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qzpub.h"
#include "qzpub_field.h"

namespace qzpub {

inline constexpr size_t kTextColumns = kTextFields.size();  // YH01 .. YH08

struct Row {
  int32_t key = 0;                             // YH00
  std::array<std::string, kTextColumns> text;  // YH01 .. YH08, code-page bytes
};

// The rows of one scan, never changed once made.
using SharedRows = std::shared_ptr<const std::vector<Row>>;

// Writes value into a field: its bytes, then NULs to the width. A value of width bytes or more
// fills the field with no NUL; a longer one is cut at the width, and when utf8 is set, before a
// UTF-8 sequence that would not fit whole.
void WriteField(char* field, size_t width, std::string_view value, bool utf8);

// The record's key and text fields (FieldText of each).
Row ReadRecord(const YHDLRecord& record);
// Overwrites every byte of record from row; the padding becomes zero.
void WriteRecord(const Row& row, bool utf8, YHDLRecord* record);

}  // namespace qzpub

#endif  // QZPUB_SRC_ROW_H_
