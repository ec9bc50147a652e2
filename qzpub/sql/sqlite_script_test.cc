// yhdl_sqlite.sql makes the very table that qzpub makes on first use, and qzpub works on it.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "qzpub.h"
#include "test_support.h"

namespace {

// Every column of YHDL as "cid|name|type|notnull|default|pk", and whether the key is
// AUTOINCREMENT (then SQLite keeps its counter in sqlite_sequence).
std::vector<std::string> Shape(const std::string& path) {
  sqlite3* db = nullptr;
  std::vector<std::string> shape;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"cannot open " + path};
  }
  const auto collect = [](void* out, int n, char** values, char**) {
    std::string row;
    for (int i = 0; i < n; ++i) row += std::string(values[i] ? values[i] : "NULL") + "|";
    static_cast<std::vector<std::string>*>(out)->push_back(row);
    return 0;
  };
  sqlite3_exec(db, "PRAGMA table_info(YHDL)", collect, &shape, nullptr);
  sqlite3_exec(db, "SELECT name FROM sqlite_master WHERE name = 'sqlite_sequence'", collect, &shape,
               nullptr);
  sqlite3_close(db);
  return shape;
}

class SqliteScriptTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = qzpub_test::MakeTempFolder(); }
  void TearDown() override { qzpub_test::RemoveFolder(folder_); }
  std::string folder_;
};

TEST_F(SqliteScriptTest, MakesTheTableQzpubMakesAndQzpubUsesIt) {
  const std::string by_qzpub = folder_ + "/by_qzpub.db";
  const int32_t made = qzpub_Connect(("sqlite:" + by_qzpub).c_str());
  ASSERT_GT(made, 0) << qzpub_LastError();
  ASSERT_EQ(qzpub_Disconnect(made), 1);

  const std::string by_script = folder_ + "/by_script.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(by_script.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const std::string script = qzpub_test::ReadWholeFile(QZPUB_SQL_DIR "/yhdl_sqlite.sql");
  const int rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &error);
  const std::string why = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << why;

  const std::vector<std::string> expected = Shape(by_qzpub);
  ASSERT_EQ(expected.size(), 10u) << "nine columns and the AUTOINCREMENT counter";
  EXPECT_EQ(Shape(by_script), expected);

  const int32_t h = qzpub_Connect(("sqlite:" + by_script).c_str());
  ASSERT_GT(h, 0) << qzpub_LastError();
  YHDLRecord row = qzpub_test::Record("alice");
  EXPECT_EQ(userYHDL_Insert(h, &row), 1) << qzpub_LastError();
  EXPECT_EQ(qzpub_test::ScanKeys(h, "YH01='alice'"), std::vector<int32_t>{row.YH00});
  EXPECT_EQ(qzpub_Disconnect(h), 1);
}

}  // namespace
