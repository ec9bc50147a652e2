#include "presence/yhdl_record.h"

#include <cstddef>
#include <cstring>

#include "qzpub_field.h"

namespace qz::presence {

static_assert(sizeof(YHDLRecord) == 312);
static_assert(offsetof(YHDLRecord, YH00) == 0);
static_assert(offsetof(YHDLRecord, YH01) == 4);
static_assert(offsetof(YHDLRecord, YH02) == 46);
static_assert(offsetof(YHDLRecord, YH03) == 68);
static_assert(offsetof(YHDLRecord, YH04) == 80);
static_assert(offsetof(YHDLRecord, YH05) == 142);
static_assert(offsetof(YHDLRecord, YH06) == 204);
static_assert(offsetof(YHDLRecord, YH07) == 266);
static_assert(offsetof(YHDLRecord, YH08) == 288);
static_assert(offsetof(YHDLRecord, padding) == 310);

YHDLRecord ZeroRecord() {
  YHDLRecord record;
  std::memset(&record, 0, sizeof record);
  return record;
}

void WriteTextField(char* field, size_t width, std::string_view value,
                    const platform::CodePage& cp) {
  const std::string bytes = cp.FromUtf8Fitted(value, width);
  std::memcpy(field, bytes.data(), bytes.size());
  if (bytes.size() < width) {
    field[bytes.size()] = '\0';
    std::memset(field + bytes.size() + 1, ' ', width - bytes.size() - 1);
  }
}

std::string ReadTextField(const char* field, size_t width, const platform::CodePage& cp) {
  // Trimmed before the conversion, which is the same: a space is one byte in every code page
  // the system offers, and no conversion ends a text in one that was not there.
  return cp.ToUtf8(qzpub::FieldText(field, width));
}

}  // namespace qz::presence
