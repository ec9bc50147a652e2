// What only the SQLite backend does: file names, the journal mode, failures to open.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "qzpub.h"
#include "test_support.h"

namespace qzpub_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class SqliteTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = MakeTempFolder(); }
  void TearDown() override { RemoveFolder(folder_); }
  std::string folder_;
};

TEST_F(SqliteTest, EveryFormOfThePathOpensTheSameFile) {
  const std::string path = folder_ + "/p.db";
  const int32_t plain = qzpub_Connect(path.c_str());
  ASSERT_GT(plain, 0) << qzpub_LastError();
  YHDLRecord r = Record("a");
  ASSERT_EQ(userYHDL_Insert(plain, &r), 1);
  for (const std::string& uri : {"sqlite:" + path, "SQLite:" + path, "sqlite://" + path}) {
    const int32_t h = qzpub_Connect(uri.c_str());
    ASSERT_GT(h, 0) << uri << ": " << qzpub_LastError();
    EXPECT_NE(h, plain);
    EXPECT_THAT(ScanKeys(h, ""), ElementsAre(r.YH00)) << uri;
    EXPECT_EQ(qzpub_Disconnect(h), 1);
  }
  EXPECT_EQ(qzpub_Disconnect(plain), 1);
}

TEST_F(SqliteTest, TheFileIsInWalModeSoProcessesShareIt) {
  const std::string path = folder_ + "/p.db";
  const int32_t h = qzpub_Connect(("sqlite:" + path).c_str());
  ASSERT_GT(h, 0) << qzpub_LastError();
  YHDLRecord r = Record("a");
  ASSERT_EQ(userYHDL_Insert(h, &r), 1);
  EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
  EXPECT_EQ(qzpub_Disconnect(h), 1);
}

// A scan that repeats its condition reuses the parsed statement: it must still see what other
// connections wrote since, and keep refusing a second statement.
TEST_F(SqliteTest, ARepeatedScanSeesWhatOthersWroteSince) {
  const std::string uri = "sqlite:" + folder_ + "/p.db";
  const int32_t reader = qzpub_Connect(uri.c_str());
  const int32_t writer = qzpub_Connect(uri.c_str());
  ASSERT_GT(reader, 0) << qzpub_LastError();
  ASSERT_GT(writer, 0) << qzpub_LastError();
  const char* condition = "YH01 = 'a'";
  YHDLRecord first = Record("a");
  ASSERT_EQ(userYHDL_Insert(writer, &first), 1);
  EXPECT_THAT(ScanKeys(reader, condition), ElementsAre(first.YH00));
  YHDLRecord second = Record("a");
  ASSERT_EQ(userYHDL_Insert(writer, &second), 1);
  EXPECT_THAT(ScanKeys(reader, condition), ElementsAre(first.YH00, second.YH00));
  ASSERT_EQ(userYHDL_Delete(writer, &first), 1);
  EXPECT_THAT(ScanKeys(reader, condition), ElementsAre(second.YH00));
  const char* two = "1=1); DELETE FROM YHDL; SELECT (1";
  for (int attempt = 0; attempt < 2; ++attempt) {
    YHDLRecord r{};
    EXPECT_EQ(userYHDL_GetFirst(reader, &r, two), -1);
  }
  EXPECT_THAT(ScanKeys(reader, condition), ElementsAre(second.YH00));
  EXPECT_EQ(qzpub_Disconnect(writer), 1);
  EXPECT_EQ(qzpub_Disconnect(reader), 1);
}

// A scan that repeats its condition while nothing changed may answer from its last rows: a
// change of values in place, by this connection or by another one, must still show.
TEST_F(SqliteTest, ARepeatedScanSeesChangedValuesFromEveryWriter) {
  const std::string path = folder_ + "/p.db";
  const int32_t h = qzpub_Connect(("sqlite:" + path).c_str());
  ASSERT_GT(h, 0) << qzpub_LastError();
  const char* condition = "YH05 = 'sys'";
  auto address = [&] {
    const std::vector<YHDLRecord> rows = Scan(h, condition);
    return rows.size() == 1 ? Get(rows[0].YH02) : "rows: " + std::to_string(rows.size());
  };
  YHDLRecord r = Record("a", "10.0.0.1");
  ASSERT_EQ(userYHDL_Insert(h, &r), 1);
  EXPECT_EQ(address(), "10.0.0.1");
  EXPECT_EQ(address(), "10.0.0.1");

  YHDLRecord moved = Record("a", "10.0.0.2");
  moved.YH00 = r.YH00;
  ASSERT_EQ(userYHDL_Update(h, &moved), 1);
  EXPECT_EQ(address(), "10.0.0.2") << "its own update";
  ASSERT_EQ(odbc_ExecSQL(h, "UPDATE YHDL SET YH02 = '10.0.0.3'"), 1);
  EXPECT_EQ(address(), "10.0.0.3") << "its own statement";

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "UPDATE YHDL SET YH02 = '10.0.0.4'", nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(other);
  EXPECT_EQ(address(), "10.0.0.4") << "another connection's update";
  ASSERT_EQ(sqlite3_exec(other, "DELETE FROM YHDL", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(address(), "rows: 0") << "another connection's delete";
  sqlite3_close(other);
  EXPECT_EQ(qzpub_Disconnect(h), 1);
}

// Whether another process would find a lock of this one on the WAL index's lock bytes, which
// tell SQLite that the index is in use and must not be reset.
bool IndexLockedByThisProcess(const std::string& db_path) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open((db_path + "-shm").c_str(), O_RDWR);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 120;  // the lock bytes, up to the one that marks the index in use
    probe.l_len = 9;
    const bool locked = fd >= 0 && fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    _exit(locked ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A scan reads the WAL index header from the index file: when one connection goes, the others
// of the process must keep their locks on that file (closing any descriptor of a file drops
// them all), or another process would reset the index under them.
TEST_F(SqliteTest, ClosingAConnectionLeavesTheOthersLocksOnTheWalIndex) {
  const std::string path = folder_ + "/p.db";
  const int32_t stays = qzpub_Connect(("sqlite:" + path).c_str());
  ASSERT_GT(stays, 0) << qzpub_LastError();
  YHDLRecord r = Record("a");
  ASSERT_EQ(userYHDL_Insert(stays, &r), 1);
  for (int round = 0; round < 2; ++round) {
    const int32_t goes = qzpub_Connect(("sqlite:" + path).c_str());
    ASSERT_GT(goes, 0) << qzpub_LastError();
    for (int scan = 0; scan < 3; ++scan) EXPECT_THAT(ScanKeys(goes, ""), ElementsAre(r.YH00));
    EXPECT_EQ(qzpub_Disconnect(goes), 1);
    EXPECT_TRUE(IndexLockedByThisProcess(path)) << "round " << round;
  }
  EXPECT_THAT(ScanKeys(stays, ""), ElementsAre(r.YH00));
  EXPECT_EQ(qzpub_Disconnect(stays), 1);
}

// Another program made the file: UTF-16 text, a port stored as a number, a NULL. A scan reads
// every value as the text it stands for, in UTF-8, as from a file of its own.
TEST_F(SqliteTest, ValuesAnotherProgramStoredReadAsTheirText) {
  const std::string path = folder_ + "/other.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const char* setup =
      "PRAGMA encoding = 'UTF-16le';"
      "CREATE TABLE YHDL (YH00 INTEGER PRIMARY KEY AUTOINCREMENT, YH01 TEXT, YH02 TEXT, "
      "YH03 TEXT, YH04 TEXT, YH05 TEXT, YH06 TEXT, YH07 TEXT, YH08 TEXT);"
      "INSERT INTO YHDL (YH01, YH02, YH03, YH04, YH05, YH06, YH07, YH08) VALUES "
      "('\u5f20\u4e09', '10.0.0.7', 5001, NULL, 'sys', 'mod', '', "
      "'2024-03-01 12:00:00');";
  ASSERT_EQ(sqlite3_exec(db, setup, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  for (const std::string& file : {path, folder_ + "/own.db"}) {
    const int32_t h = qzpub_Connect(("sqlite:" + file).c_str());
    ASSERT_GT(h, 0) << qzpub_LastError();
    if (file != path) {
      YHDLRecord r = Record("\u5f20\u4e09", "10.0.0.7", "5001");
      ASSERT_EQ(userYHDL_Insert(h, &r), 1);
    }
    const std::vector<YHDLRecord> rows = Scan(h, "YH05 = 'sys'");
    ASSERT_EQ(rows.size(), 1u) << file;
    EXPECT_EQ(Get(rows[0].YH01), "\u5f20\u4e09") << file;
    EXPECT_EQ(Get(rows[0].YH02), "10.0.0.7") << file;
    EXPECT_EQ(Get(rows[0].YH03), "5001") << file;
    EXPECT_EQ(Get(rows[0].YH04), "") << file;
    EXPECT_EQ(qzpub_Disconnect(h), 1);
  }
}

TEST_F(SqliteTest, AMissingFolderFailsAndSaysSo) {
  const std::string path = folder_ + "/no/such/folder/p.db";
  EXPECT_LE(qzpub_Connect(("sqlite:" + path).c_str()), 0);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("folder " + folder_ + "/no/such/folder does not exist"));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/no"));
}

TEST_F(SqliteTest, AFileThatIsNoDatabaseFails) {
  const std::string path = folder_ + "/junk.db";
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("this is not a database file, only text that fills the header page.....", f);
  std::fclose(f);
  EXPECT_LE(qzpub_Connect(path.c_str()), 0);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("SQLite"));
}

TEST_F(SqliteTest, WhatTheUserMayNotWriteFailsInTheSystemsWords) {
  const std::string path = folder_ + "/p.db";
  const int32_t h = qzpub_Connect(path.c_str());
  ASSERT_GT(h, 0) << qzpub_LastError();
  ASSERT_EQ(qzpub_Disconnect(h), 1);
  // Readable, not writable: for root's child once it is user nobody, for anyone else by mode.
  ASSERT_EQ(chmod(folder_.c_str(), 0555), 0);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
        const int32_t existing = qzpub_Connect(path.c_str());
        std::string words = qzpub_LastError();
        const int32_t created = qzpub_Connect((folder_ + "/new.db").c_str());
        words += " | " + std::string(qzpub_LastError());
        std::fprintf(stderr, "%s\n", words.c_str());
        _exit(existing <= 0 && created <= 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      "attempt to write a readonly database.*may not create files in folder");
  ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
}

TEST_F(SqliteTest, UnknownSchemesAndEmptyUrisAreRefused) {
  EXPECT_LE(qzpub_Connect("mysql://localhost/db"), 0);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("unknown database scheme"));
  EXPECT_LE(qzpub_Connect(""), 0);
  EXPECT_LE(qzpub_Connect("sqlite:"), 0);
  EXPECT_LE(qzpub_Connect(nullptr), 0);
  EXPECT_FALSE(std::filesystem::exists("mysql:"));
}

TEST_F(SqliteTest, LastErrorBelongsToTheCallingThread) {
  EXPECT_LE(qzpub_Connect("mysql://x"), 0);
  std::string other;
  std::thread([&] { other = qzpub_LastError(); }).join();
  EXPECT_EQ(other, "");
  EXPECT_THAT(qzpub_LastError(), HasSubstr("mysql"));
}

}  // namespace
}  // namespace qzpub_test
