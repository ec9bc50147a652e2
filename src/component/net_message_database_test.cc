// The public class over a real SQLite presence table that breaks (locked by another writer,
// corrupted), and hosts that log in again without logging out. Every failure reaches the host
// with the database's own words, and nothing is reported done that was not. (qzpub's own tests
// cut and stop a real PostgreSQL server under the same entries.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/testing/process_testing.h"
#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "qzpub.h"
#include "transport/hidden_form.h"

namespace qz {
namespace {

using std::chrono::milliseconds;
using ::testing::HasSubstr;

class Inbox : public QZCLS_NetMessageEvents {
 public:
  void acceptMessage(const std::string& msg, const std::string&, const std::string&,
                     const std::string&) override {
    messages.push_back(msg);
  }
  std::vector<std::string> messages;
};

int RowCount(int32_t hdbc) {
  YHDLRecord r{};
  int n = 0;
  int32_t cursor = userYHDL_GetFirst(hdbc, &r, "");
  if (cursor <= 0) return cursor;
  do ++n;
  while (userYHDL_GetNext(cursor, &r) == 1);
  return n;
}

void Exec(int32_t hdbc, const std::string& sql) {
  ASSERT_EQ(odbc_ExecSQL(hdbc, sql.c_str()), 1) << sql << ": " << qzpub_LastError();
}

class SqliteFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLocalIPOverride("127.0.0.1");
    char dir[] = "/tmp/qz_db_fault_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    const std::string uri = "sqlite:" + dir_ + "/presence.db";
    db_ = qzpub_Connect(uri.c_str());
    other_ = qzpub_Connect(uri.c_str());
    ASSERT_GT(db_, 0) << qzpub_LastError();
    ASSERT_GT(other_, 0) << qzpub_LastError();
  }
  void TearDown() override {
    qzpub_Disconnect(other_);
    qzpub_Disconnect(db_);
    std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  int32_t db_ = 0, other_ = 0;
};

TEST_F(SqliteFaultTest, AWriterHoldingTheLockFailsInitAndLogOutWithTheLockAsTheCause) {
  // SQLite's own setting, on this connection only: the default wait is 5 s a statement.
  Exec(db_, "PRAGMA busy_timeout = 100");
  Exec(other_, "BEGIN IMMEDIATE");
  QZCLS_NetMessage net;
  const Status init = net.Init(db_, "ann", "S", "M");
  EXPECT_EQ(init.code(), errc::kDatabaseFailed);
  EXPECT_THAT(init.message(), HasSubstr("database is locked"));
  EXPECT_FALSE(net.CurrentLogin().has_value());
  Exec(other_, "ROLLBACK");

  ASSERT_TRUE(net.Init(db_, "ann", "S", "M").ok());
  Exec(other_, "BEGIN IMMEDIATE");
  const Status logout = net.LogOut();
  EXPECT_EQ(logout.code(), errc::kDatabaseFailed);
  EXPECT_THAT(logout.message(), HasSubstr("database is locked"));
  EXPECT_TRUE(net.CurrentLogin().has_value()) << "a row that is still there keeps the login";
  Exec(other_, "ROLLBACK");
  ASSERT_TRUE(net.LogOut().ok());
  EXPECT_EQ(RowCount(db_), 0);
}

TEST_F(SqliteFaultTest, ACorruptedFileFailsSendMessageAndLogOutInsteadOfDoingNothing) {
  QZCLS_NetMessage net;
  Inbox inbox;
  ASSERT_TRUE(net.Advise(&inbox).ok());
  ASSERT_TRUE(net.Init(db_, "ann", "S", "M").ok());
  // The table's root page now points past the end of the file.
  Exec(other_, "PRAGMA writable_schema = ON");
  Exec(other_, "UPDATE sqlite_master SET rootpage = 9999 WHERE name = 'YHDL'");
  Exec(other_, "PRAGMA schema_version = 1000");

  const Status sent = net.SendMessage("anyone?");
  EXPECT_EQ(sent.code(), errc::kDatabaseFailed);
  EXPECT_THAT(sent.message(), HasSubstr("malformed"));
  const Status logout = net.LogOut();
  EXPECT_EQ(logout.code(), errc::kDatabaseFailed);
  EXPECT_THAT(logout.message(), HasSubstr("malformed"));
  EXPECT_TRUE(net.CurrentLogin().has_value());
  loop::RunFor(milliseconds(50));
  EXPECT_TRUE(inbox.messages.empty());
}

// A host that logs in again without logging out: each Init ends the login before it.
TEST_F(SqliteFaultTest, InitAgainAndAgainKeepsOneListenerAndOneRow) {
  QZCLS_NetMessage net;
  Inbox inbox;
  ASSERT_TRUE(net.Advise(&inbox).ok());
  ASSERT_TRUE(net.Init(db_, "ann", "S", "M").ok());
  const size_t descriptors = platform::testing::OpenDescriptorCount();
  // Another module name each time, so that the duplicate delete does not remove the earlier row.
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(net.Init(db_, "ann", "S", "M" + std::to_string(i)).ok()) << i;
  }
  EXPECT_EQ(transport::LoadedFormCount(), 1u);
  EXPECT_EQ(platform::testing::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(RowCount(db_), 1);

  // One row, one listener: a broadcast reaches the object once.
  size_t started = 0;
  ASSERT_TRUE(net.SendMessage("once", "", "", "", started).ok());
  EXPECT_EQ(started, 1u);
  ASSERT_TRUE(loop::RunUntil([&] { return !inbox.messages.empty(); }, milliseconds(5000)));
  ASSERT_TRUE(net.LogOut().ok());
  EXPECT_EQ(RowCount(db_), 0);
  EXPECT_EQ(transport::LoadedFormCount(), 0u);
}

TEST_F(SqliteFaultTest, InitAgainWhileTheEarlierRowCannotBeDeletedKeepsTheEarlierLogin) {
  QZCLS_NetMessage net;
  Inbox inbox;
  ASSERT_TRUE(net.Advise(&inbox).ok());
  ASSERT_TRUE(net.Init(db_, "ann", "S", "M").ok());
  const std::optional<LoginRow> before = net.CurrentLogin();
  Exec(db_, "PRAGMA busy_timeout = 100");
  Exec(other_, "BEGIN IMMEDIATE");
  const Status again = net.Init(db_, "ann", "S", "Other");
  EXPECT_EQ(again.code(), errc::kDatabaseFailed);
  EXPECT_THAT(again.message(), HasSubstr("database is locked"));
  Exec(other_, "ROLLBACK");

  ASSERT_TRUE(net.CurrentLogin().has_value());
  EXPECT_EQ(net.CurrentLogin()->key, before->key);
  EXPECT_TRUE(net.CurrentLogin()->listening);
  ASSERT_TRUE(net.SendMessage("still there?", "ann").ok());
  ASSERT_TRUE(loop::RunUntil([&] { return !inbox.messages.empty(); }, milliseconds(5000)));
  ASSERT_TRUE(net.LogOut().ok());
  EXPECT_EQ(RowCount(db_), 0);
}

}  // namespace
}  // namespace qz
