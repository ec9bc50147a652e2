// The 312-byte YHDLRecord exchanged with the data-access library, and its text-field rules.
#ifndef QZ_PRESENCE_YHDL_RECORD_H_
#define QZ_PRESENCE_YHDL_RECORD_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/code_page.h"
#include "qzpub.h"

namespace qz::presence {

// A record with every byte zero.
YHDLRecord ZeroRecord();

// Writes a UTF-8 value into a fixed-width field in the code page: the value's bytes, one NUL,
// then spaces to the width. A value that, with its NUL, is longer than the field is cut at the
// width, at a character boundary, so that a value filling the field has no NUL.
template <size_t N>
void WriteTextField(char (&field)[N], std::string_view value,
                    const platform::CodePage& cp = platform::CodePage::System());
void WriteTextField(char* field, size_t width, std::string_view value,
                    const platform::CodePage& cp);

// Reads a field back as UTF-8: its bytes up to the first NUL (or the whole width, never past
// it), trailing spaces removed.
template <size_t N>
std::string ReadTextField(const char (&field)[N],
                          const platform::CodePage& cp = platform::CodePage::System());
std::string ReadTextField(const char* field, size_t width, const platform::CodePage& cp);

template <size_t N>
void WriteTextField(char (&field)[N], std::string_view value, const platform::CodePage& cp) {
  WriteTextField(field, N, value, cp);
}
template <size_t N>
std::string ReadTextField(const char (&field)[N], const platform::CodePage& cp) {
  return ReadTextField(field, N, cp);
}

}  // namespace qz::presence

#endif  // QZ_PRESENCE_YHDL_RECORD_H_
