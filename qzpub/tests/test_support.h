// Helpers for tests that use qzpub through its C entries.
#ifndef QZPUB_TESTS_TEST_SUPPORT_H_
#define QZPUB_TESTS_TEST_SUPPORT_H_

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qzpub.h"

namespace qzpub_test {

// Writes value as the component does: its bytes, one NUL, then spaces to the width (cut at
// the width, so that a value filling the field has no NUL).
template <size_t N>
void Put(char (&field)[N], std::string_view value) {
  std::memset(field, ' ', N);
  const size_t n = value.size() < N ? value.size() : N;
  std::memcpy(field, value.data(), n);
  if (n < N) field[n] = '\0';
}

// A field's bytes up to its first NUL or its end.
template <size_t N>
std::string Get(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// A record holding user, address, port, full name, system, module, std1 and time in YH01 ..
// YH08, written as the component does.
YHDLRecord Record(std::string_view user, std::string_view address = "127.0.0.1",
                  std::string_view port = "5000", std::string_view full_name = "",
                  std::string_view sys = "sys", std::string_view mod = "mod",
                  std::string_view std1 = "", std::string_view time = "2024-03-01 12:00:00");

// Every row a scan under condition returns, by userYHDL_GetFirst then userYHDL_GetNext.
// A failing GetFirst gives no rows.
std::vector<YHDLRecord> Scan(int32_t hdbc, const char* condition);
// The keys of those rows.
std::vector<int32_t> ScanKeys(int32_t hdbc, const char* condition);

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// A new empty folder under the temporary folder; RemoveFolder deletes it and its content.
std::string MakeTempFolder();
void RemoveFolder(const std::string& path);

}  // namespace qzpub_test

#endif  // QZPUB_TESTS_TEST_SUPPORT_H_
