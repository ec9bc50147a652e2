// The WAL index header, read from the file beside the database: it must change with every
// commit of any connection and stay as it is otherwise, or scans would answer from stale rows
// (or never from kept ones).
#include "wal_index_header.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "test_support.h"

namespace qzpub {
namespace {

class WalIndexHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qzpub_test::MakeTempFolder();
    path_ = folder_ + "/w.db";
  }
  void TearDown() override { qzpub_test::RemoveFolder(folder_); }

  sqlite3* OpenWal() {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    Run(db, "PRAGMA journal_mode=WAL");
    return db;
  }
  static void Run(sqlite3* db, const char* sql) {
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  }

  std::string folder_, path_;
};

TEST_F(WalIndexHeaderTest, ChangesWithEveryCommitOfAnyConnectionAndOnlyThen) {
  sqlite3* reader = OpenWal();
  sqlite3* writer = OpenWal();
  Run(writer, "CREATE TABLE t (x)");
  const std::unique_ptr<WalIndexHeader> index = WalIndexHeader::Open(path_);
  ASSERT_NE(index, nullptr);
  const auto before = index->Read();
  ASSERT_TRUE(before.has_value());
  Run(reader, "SELECT * FROM t");
  EXPECT_EQ(index->Read(), before) << "a read commits nothing";
  Run(writer, "INSERT INTO t VALUES (1)");
  const auto after_insert = index->Read();
  ASSERT_TRUE(after_insert.has_value());
  EXPECT_NE(after_insert, before);
  Run(writer, "BEGIN; INSERT INTO t VALUES (2); ROLLBACK");
  EXPECT_EQ(index->Read(), after_insert) << "a rolled-back transaction";
  // A checkpoint that restarts the log, then the next commit from its start.
  Run(writer, "PRAGMA wal_checkpoint(RESTART)");
  Run(reader, "INSERT INTO t VALUES (3)");
  EXPECT_NE(index->Read(), after_insert);
  sqlite3_close(writer);
  sqlite3_close(reader);
}

TEST_F(WalIndexHeaderTest, OnlyAConsistentHeaderIsRead) {
  EXPECT_EQ(WalIndexHeader::Open(""), nullptr) << "a database in memory";
  EXPECT_EQ(WalIndexHeader::Open(path_), nullptr) << "no index file";
  { std::ofstream(path_ + "-shm", std::ios::binary) << std::string(96, '\0'); }
  const std::unique_ptr<WalIndexHeader> zeros = WalIndexHeader::Open(path_);
  ASSERT_NE(zeros, nullptr);
  EXPECT_FALSE(zeros->Read().has_value()) << "never initialised";
  std::filesystem::remove(path_ + "-shm");

  sqlite3* db = OpenWal();
  Run(db, "CREATE TABLE t (x)");
  const std::unique_ptr<WalIndexHeader> index = WalIndexHeader::Open(path_);
  ASSERT_NE(index, nullptr);
  ASSERT_TRUE(index->Read().has_value());
  // Copies that differ, as a reader meets them while a commit is halfway through the header.
  std::fstream shm(path_ + "-shm", std::ios::binary | std::ios::in | std::ios::out);
  shm.seekp(48 + 16);  // the second copy's frame count
  shm.put('\x7f');
  shm.flush();
  EXPECT_FALSE(index->Read().has_value());
  sqlite3_close(db);
}

}  // namespace
}  // namespace qzpub
