#include "row.h"

#include <cstring>

namespace qzpub {
namespace {

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void WriteField(char* field, size_t width, std::string_view value, bool utf8) {
  size_t n = value.size();
  if (n > width) {
    n = width;
    // Back off to the start of the sequence that the cut would split.
    if (utf8 && IsUtf8Continuation(value[n])) {
      while (n > 0 && IsUtf8Continuation(value[n])) --n;
    }
  }
  std::memcpy(field, value.data(), n);
  std::memset(field + n, 0, width - n);
}

Row ReadRecord(const YHDLRecord& record) {
  Row row;
  row.key = record.YH00;
  for (size_t i = 0; i < kTextColumns; ++i) row.text[i] = FieldText(record, i);
  return row;
}

void WriteRecord(const Row& row, bool utf8, YHDLRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->YH00 = row.key;
  char* base = reinterpret_cast<char*>(record);
  for (size_t i = 0; i < kTextColumns; ++i) {
    WriteField(base + kTextFields[i].offset, kTextFields[i].width, row.text[i], utf8);
  }
}

}  // namespace qzpub
