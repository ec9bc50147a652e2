// qzpub_field.h: the text fields of YHDLRecord as C++ code reads them.
//
// One reading for every side that handles the record (the library, the component, hosts), so
// that none of them reads a field differently. Header-only and free of anything but the record
// and the C++ library: including it ties no code to qzpub's internals or to the component.
#ifndef QZPUB_FIELD_H_
#define QZPUB_FIELD_H_

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "qzpub.h"

namespace qzpub {

// Where a text field lies in the record.
struct TextField {
  size_t offset;
  size_t width;
};

// YH01 .. YH08, in column order.
inline constexpr std::array<TextField, 8> kTextFields = {{
    {offsetof(YHDLRecord, YH01), sizeof(YHDLRecord::YH01)},
    {offsetof(YHDLRecord, YH02), sizeof(YHDLRecord::YH02)},
    {offsetof(YHDLRecord, YH03), sizeof(YHDLRecord::YH03)},
    {offsetof(YHDLRecord, YH04), sizeof(YHDLRecord::YH04)},
    {offsetof(YHDLRecord, YH05), sizeof(YHDLRecord::YH05)},
    {offsetof(YHDLRecord, YH06), sizeof(YHDLRecord::YH06)},
    {offsetof(YHDLRecord, YH07), sizeof(YHDLRecord::YH07)},
    {offsetof(YHDLRecord, YH08), sizeof(YHDLRecord::YH08)},
}};

// The bytes of the field of `width` bytes at `field`: up to its first NUL, or its whole width
// when it has none. Never reads past the width, so a field that fills it needs no NUL.
inline std::string_view FieldBytes(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  return std::string_view(field,
                          nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width);
}

// The field's value: its bytes without trailing spaces (the padding the component writes).
inline std::string_view FieldText(const char* field, size_t width) {
  std::string_view bytes = FieldBytes(field, width);
  while (!bytes.empty() && bytes.back() == ' ') bytes.remove_suffix(1);
  return bytes;
}

template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return FieldText(field, N);
}

// The value of text field `index` of record: 0 for YH01 .. 7 for YH08.
inline std::string_view FieldText(const YHDLRecord& record, size_t index) {
  const TextField& f = kTextFields[index];
  return FieldText(reinterpret_cast<const char*>(&record) + f.offset, f.width);
}

}  // namespace qzpub

#endif  // QZPUB_FIELD_H_
