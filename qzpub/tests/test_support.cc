#include "test_support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qzpub_test {

YHDLRecord Record(std::string_view user, std::string_view address, std::string_view port,
                  std::string_view full_name, std::string_view sys, std::string_view mod,
                  std::string_view std1, std::string_view time) {
  YHDLRecord r;
  std::memset(&r, 0, sizeof r);
  Put(r.YH01, user);
  Put(r.YH02, address);
  Put(r.YH03, port);
  Put(r.YH04, full_name);
  Put(r.YH05, sys);
  Put(r.YH06, mod);
  Put(r.YH07, std1);
  Put(r.YH08, time);
  return r;
}

std::vector<YHDLRecord> Scan(int32_t hdbc, const char* condition) {
  std::vector<YHDLRecord> rows;
  YHDLRecord r;
  std::memset(&r, 0, sizeof r);
  const int32_t cursor = userYHDL_GetFirst(hdbc, &r, condition);
  if (cursor <= 0) return rows;
  do {
    rows.push_back(r);
  } while (userYHDL_GetNext(cursor, &r) == 1);
  return rows;
}

std::vector<int32_t> ScanKeys(int32_t hdbc, const char* condition) {
  std::vector<int32_t> keys;
  for (const YHDLRecord& r : Scan(hdbc, condition)) keys.push_back(r.YH00);
  return keys;
}

std::string MakeTempFolder() {
  std::string path = (std::filesystem::temp_directory_path() / "qzpub-test-XXXXXX").string();
  if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return path;
}

void RemoveFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace qzpub_test
