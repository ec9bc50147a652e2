// The PostgreSQL scripts: yhdl_postgresql.sql makes the table qzpub makes, and members of the
// group role qz_client can do what a client does (and no more), while other roles are refused.
#include <libpq-fe.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "postgres_server.h"
#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "qzpub.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::SizeIs;

// A superuser's libpq session on one database; runs scripts of many statements as psql does.
class Admin {
 public:
  explicit Admin(const std::string& uri) : conn_(PQconnectdb(uri.c_str()), PQfinish) {}

  // "" on success, else the server's message.
  std::string Exec(const std::string& sql) {
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(conn_.get(), sql.c_str()), PQclear);
    const ExecStatusType s = PQresultStatus(r.get());
    if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) return "";
    return std::string("failed: ") + PQerrorMessage(conn_.get());
  }

  // Each row's values joined by '|'.
  std::vector<std::string> Rows(const std::string& sql) {
    std::unique_ptr<PGresult, void (*)(PGresult*)> r(PQexec(conn_.get(), sql.c_str()), PQclear);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return {PQerrorMessage(conn_.get())};
    std::vector<std::string> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      std::string row;
      for (int j = 0; j < PQnfields(r.get()); ++j)
        row += std::string(PQgetvalue(r.get(), i, j)) + "|";
      rows.push_back(row);
    }
    return rows;
  }

 private:
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn_;
};

class Inbox : public qz::QZCLS_NetMessageEvents {
 public:
  void acceptMessage(const std::string& msg, const std::string& user, const std::string&,
                     const std::string&) override {
    received.push_back(msg + " from " + user);
  }
  std::vector<std::string> received;
};

class PostgresScriptsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why_not;
    server_ = qzpub_test::SharedPostgresServer(&why_not);
    if (server_ == nullptr) {
      if (qzpub_test::ServerRequired()) FAIL() << "PostgreSQL server needed (CI=true): " << why_not;
      GTEST_SKIP() << "no PostgreSQL server for the tests: " << why_not;
    }
    ASSERT_EQ(Admin(UriOf("postgres", "postgres")).Exec("CREATE DATABASE qz"), "");
  }

  void TearDown() override {
    if (server_ == nullptr) return;
    Admin admin(UriOf("postgres", "postgres"));
    EXPECT_EQ(admin.Exec("DROP DATABASE IF EXISTS qz WITH (FORCE)"), "");
    EXPECT_EQ(admin.Exec("DROP ROLE IF EXISTS alice, bob, mallory, qz_client"), "");
  }

  std::string UriOf(const std::string& role, const std::string& database = "qz") const {
    return "postgresql://" + role + "@127.0.0.1:" + std::to_string(server_->port()) + "/" +
           database;
  }

  // The table and the group role, set up as the README tells an administrator to.
  void SetUpAsAdministrator() {
    Admin admin(UriOf("postgres"));
    ASSERT_EQ(admin.Exec(qzpub_test::ReadWholeFile(QZPUB_SQL_DIR "/yhdl_postgresql.sql")), "");
    const std::string role =
        qzpub_test::ReadWholeFile(QZPUB_SQL_DIR "/qz_client_role_postgresql.sql");
    ASSERT_EQ(admin.Exec(role), "");
    ASSERT_EQ(admin.Exec(role), "") << "running the script again changes nothing";
    ASSERT_EQ(admin.Exec("CREATE ROLE alice LOGIN IN ROLE qz_client; "
                         "CREATE ROLE bob LOGIN IN ROLE qz_client; CREATE ROLE mallory LOGIN"),
              "");
  }

  qzpub_test::PostgresServer* server_ = nullptr;
};

// The columns, their types, collations and identity, and the key: what qzpub's own CREATE and
// the script's must agree on.
constexpr char kShapeQuery[] =
    "SELECT column_name, data_type, collation_name, is_nullable, is_identity, "
    "identity_generation FROM information_schema.columns WHERE table_name = 'yhdl' "
    "UNION ALL SELECT conname, pg_get_constraintdef(oid), '', '', '', '' FROM pg_constraint "
    "WHERE conrelid = 'yhdl'::regclass ORDER BY 1";

TEST_F(PostgresScriptsTest, TableScriptMakesTheTableQzpubMakes) {
  const int32_t h = qzpub_Connect(UriOf("postgres").c_str());
  ASSERT_GT(h, 0) << qzpub_LastError();
  ASSERT_EQ(qzpub_Disconnect(h), 1);
  const std::vector<std::string> by_qzpub = Admin(UriOf("postgres")).Rows(kShapeQuery);
  ASSERT_THAT(by_qzpub, SizeIs(10)) << "nine columns and the primary key";

  Admin admin(UriOf("postgres"));
  ASSERT_EQ(admin.Exec("DROP TABLE YHDL"), "");
  ASSERT_EQ(admin.Exec(qzpub_test::ReadWholeFile(QZPUB_SQL_DIR "/yhdl_postgresql.sql")), "");
  EXPECT_EQ(admin.Rows(kShapeQuery), by_qzpub);
}

TEST_F(PostgresScriptsTest, GroupMembersExchangeMessagesAndOthersGetTheDatabasesRefusal) {
  ASSERT_NO_FATAL_FAILURE(SetUpAsAdministrator());
  qz::SetLocalIPOverride("127.0.0.1");
  const int32_t alice_db = qzpub_Connect(UriOf("alice").c_str());
  const int32_t bob_db = qzpub_Connect(UriOf("bob").c_str());
  ASSERT_GT(alice_db, 0) << qzpub_LastError();
  ASSERT_GT(bob_db, 0) << qzpub_LastError();
  {
    qz::QZCLS_NetMessage alice, bob;
    Inbox alice_inbox, bob_inbox;
    ASSERT_TRUE(alice.Advise(&alice_inbox).ok());
    ASSERT_TRUE(bob.Advise(&bob_inbox).ok());
    ASSERT_TRUE(alice.Init(alice_db, "alice", "ERP", "Sales").ok()) << qzpub_LastError();
    ASSERT_TRUE(bob.Init(bob_db, "bob", "ERP", "Sales").ok()) << qzpub_LastError();
    ASSERT_TRUE(alice.SendMessage("hi bob", "bob").ok()) << qzpub_LastError();
    ASSERT_TRUE(bob.SendMessage("hi alice", "alice").ok()) << qzpub_LastError();
    EXPECT_TRUE(qz::loop::RunUntil(
        [&] { return !alice_inbox.received.empty() && !bob_inbox.received.empty(); },
        std::chrono::seconds(10)));
    EXPECT_EQ(bob_inbox.received, std::vector<std::string>{"hi bob from alice"});
    EXPECT_EQ(alice_inbox.received, std::vector<std::string>{"hi alice from bob"});
    EXPECT_TRUE(alice.LogOut().ok());
    EXPECT_TRUE(bob.LogOut().ok());
  }
  EXPECT_THAT(qzpub_test::ScanKeys(alice_db, ""), SizeIs(0)) << "both rows deleted at logout";

  // A login outside the group sees that the table exists, but may not write its row.
  const int32_t mallory_db = qzpub_Connect(UriOf("mallory").c_str());
  ASSERT_GT(mallory_db, 0) << qzpub_LastError();
  {
    qz::QZCLS_NetMessage mallory;
    EXPECT_FALSE(mallory.Init(mallory_db, "mallory", "ERP", "Sales").ok());
    EXPECT_THAT(qzpub_LastError(), HasSubstr("permission denied for table yhdl"));
  }
  for (int32_t h : {alice_db, bob_db, mallory_db}) EXPECT_EQ(qzpub_Disconnect(h), 1);
}

TEST_F(PostgresScriptsTest, GroupMembersMayNotChangeRowsOrTheTable) {
  ASSERT_NO_FATAL_FAILURE(SetUpAsAdministrator());
  const int32_t h = qzpub_Connect(UriOf("alice").c_str());
  ASSERT_GT(h, 0) << qzpub_LastError();
  YHDLRecord row = qzpub_test::Record("alice");
  ASSERT_EQ(userYHDL_Insert(h, &row), 1) << qzpub_LastError();
  qzpub_test::Put(row.YH02, "192.0.2.1");
  EXPECT_EQ(userYHDL_Update(h, &row), -1);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("permission denied for table yhdl"));
  EXPECT_EQ(odbc_ExecSQL(h, "TRUNCATE YHDL"), -1);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("permission denied for table yhdl"));
  EXPECT_EQ(odbc_ExecSQL(h, "ALTER TABLE YHDL ADD COLUMN YH09 text"), -1);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("must be owner of table yhdl"));
  EXPECT_EQ(odbc_ExecSQL(h, "CREATE TABLE mine (x int)"), -1);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("permission denied for schema public"));
  EXPECT_EQ(qzpub_Disconnect(h), 1);
}

}  // namespace
