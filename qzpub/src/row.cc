#include "row.h"

#include <cstring>

namespace qzpub {
namespace {

struct FieldPlace {
  size_t offset;
  size_t width;
};

constexpr std::array<FieldPlace, kTextColumns> kFields = {{
    {offsetof(YHDLRecord, YH01), sizeof(YHDLRecord::YH01)},
    {offsetof(YHDLRecord, YH02), sizeof(YHDLRecord::YH02)},
    {offsetof(YHDLRecord, YH03), sizeof(YHDLRecord::YH03)},
    {offsetof(YHDLRecord, YH04), sizeof(YHDLRecord::YH04)},
    {offsetof(YHDLRecord, YH05), sizeof(YHDLRecord::YH05)},
    {offsetof(YHDLRecord, YH06), sizeof(YHDLRecord::YH06)},
    {offsetof(YHDLRecord, YH07), sizeof(YHDLRecord::YH07)},
    {offsetof(YHDLRecord, YH08), sizeof(YHDLRecord::YH08)},
}};

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string ReadField(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
  while (n > 0 && field[n - 1] == ' ') --n;
  return std::string(field, n);
}

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
  const char* base = reinterpret_cast<const char*>(&record);
  Row row;
  row.key = record.YH00;
  for (size_t i = 0; i < kTextColumns; ++i) {
    row.text[i] = ReadField(base + kFields[i].offset, kFields[i].width);
  }
  return row;
}

void WriteRecord(const Row& row, bool utf8, YHDLRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->YH00 = row.key;
  char* base = reinterpret_cast<char*>(record);
  for (size_t i = 0; i < kTextColumns; ++i) {
    WriteField(base + kFields[i].offset, kFields[i].width, row.text[i], utf8);
  }
}

}  // namespace qzpub
