// The entries over both backends: the same cases run against a SQLite file and against a real
// PostgreSQL server that the fixture starts.
#include <ctime>
#include <memory>
#include <ostream>
#include <regex>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "postgres_server.h"
#include "qzpub.h"
#include "qzpub_field.h"
#include "test_support.h"

namespace qzpub_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

enum class Backend { kSqlite, kPostgres };

void PrintTo(Backend b, std::ostream* os) {
  *os << (b == Backend::kSqlite ? "SQLite" : "PostgreSQL");
}

class StoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::kSqlite) {
      folder_ = MakeTempFolder();
      uri_ = "sqlite:" + folder_ + "/presence.db";
    } else {
      std::string why_not;
      server_ = SharedPostgresServer(&why_not);
      if (server_ == nullptr) {
        if (ServerRequired()) FAIL() << "PostgreSQL server needed (CI=true): " << why_not;
        GTEST_SKIP() << "no PostgreSQL server for the tests: " << why_not;
      }
      uri_ = server_->Uri();
      // Each case starts from a table that does not exist yet.
      const int32_t admin = qzpub_Connect(uri_.c_str());
      ASSERT_GT(admin, 0) << qzpub_LastError();
      ASSERT_EQ(odbc_ExecSQL(admin, "DROP TABLE IF EXISTS YHDL"), 1) << qzpub_LastError();
      ASSERT_EQ(odbc_ExecSQL(admin, "DROP SCHEMA IF EXISTS qz_sys CASCADE"), 1);
      ASSERT_EQ(qzpub_Disconnect(admin), 1);
    }
    h_ = qzpub_Connect(uri_.c_str());
    ASSERT_GT(h_, 0) << qzpub_LastError();
  }

  void TearDown() override {
    if (h_ > 0) {
      EXPECT_EQ(qzpub_Disconnect(h_), 1);
    }
    if (!folder_.empty()) RemoveFolder(folder_);
  }

  int32_t Insert(YHDLRecord r) {
    EXPECT_EQ(userYHDL_Insert(h_, &r), 1) << qzpub_LastError();
    EXPECT_GT(r.YH00, 0);
    return r.YH00;
  }

  int32_t Exec(const std::string& sql) {
    const int32_t rc = odbc_ExecSQL(h_, sql.c_str());
    EXPECT_EQ(rc, 1) << sql << ": " << qzpub_LastError();
    return rc;
  }

  std::string folder_;
  std::string uri_;
  PostgresServer* server_ = nullptr;
  int32_t h_ = 0;
};

std::string KeyCondition(int32_t key) { return "YH00 = " + std::to_string(key); }

// ---- Records --------------------------------------------------------------------------------

TEST_P(StoreTest, InsertAssignsKeyAndEveryFieldComesBack) {
  YHDLRecord in = Record("alice", "127.0.1.20", "50012", "Alice Z\xc3\xa4hner \xe5\xbc\xa0",
                         "payroll", "ledger", "std-one", "2024-03-01 12:34:56");
  in.YH00 = 999;  // ignored: the database assigns the key
  ASSERT_EQ(userYHDL_Insert(h_, &in), 1) << qzpub_LastError();
  ASSERT_GT(in.YH00, 0);
  ASSERT_NE(in.YH00, 999);

  std::vector<YHDLRecord> rows = Scan(h_, KeyCondition(in.YH00).c_str());
  ASSERT_EQ(rows.size(), 1u);
  const YHDLRecord& out = rows[0];
  EXPECT_EQ(out.YH00, in.YH00);
  EXPECT_EQ(Get(out.YH01), "alice");
  EXPECT_EQ(Get(out.YH02), "127.0.1.20");
  EXPECT_EQ(Get(out.YH03), "50012");
  EXPECT_EQ(Get(out.YH04), "Alice Z\xc3\xa4hner \xe5\xbc\xa0");
  EXPECT_EQ(Get(out.YH05), "payroll");
  EXPECT_EQ(Get(out.YH06), "ledger");
  EXPECT_EQ(Get(out.YH07), "std-one");
  EXPECT_EQ(Get(out.YH08), "2024-03-01 12:34:56");
  // Whatever the field padding, nothing of a value bleeds past its NUL, and the tail is zero.
  EXPECT_EQ(out.padding[0], 0);
  EXPECT_EQ(out.padding[1], 0);
  EXPECT_EQ(std::string(out.YH01 + 5, sizeof out.YH01 - 5), std::string(sizeof out.YH01 - 5, '\0'));
}

TEST_P(StoreTest, ValuesThatFillTheirFieldsHaveNoNulEitherWay) {
  YHDLRecord in;
  std::memset(&in, 0, sizeof in);
  // Every field full, and each next field starts with a different letter: a reader that ran
  // past a field's end would pick it up.
  std::memset(in.YH01, 'a', sizeof in.YH01);
  std::memset(in.YH02, 'b', sizeof in.YH02);
  std::memset(in.YH03, 'c', sizeof in.YH03);
  std::memset(in.YH04, 'd', sizeof in.YH04);
  std::memset(in.YH05, 'e', sizeof in.YH05);
  std::memset(in.YH06, 'f', sizeof in.YH06);
  std::memset(in.YH07, 'g', sizeof in.YH07);
  std::memset(in.YH08, 'h', sizeof in.YH08);
  std::memset(in.padding, 'z', sizeof in.padding);
  const int32_t key = Insert(in);

  std::vector<YHDLRecord> rows = Scan(h_, KeyCondition(key).c_str());
  ASSERT_EQ(rows.size(), 1u);
  YHDLRecord expected = in;
  expected.YH00 = key;
  expected.padding[0] = expected.padding[1] = 0;
  EXPECT_EQ(std::memcmp(&rows[0], &expected, sizeof expected), 0);
  // And the database holds exactly the width, not one byte more.
  EXPECT_THAT(ScanKeys(h_, ("YH01 = '" + std::string(42, 'a') + "'").c_str()), ElementsAre(key));
  EXPECT_THAT(ScanKeys(h_, ("YH08 = '" + std::string(22, 'h') + "'").c_str()), ElementsAre(key));
}

TEST_P(StoreTest, FieldsAreReadUpToNulAndWithoutTrailingSpaces) {
  YHDLRecord in = Record("bob");
  std::memcpy(in.YH03, "5000        ", 12);             // space padding, no NUL
  std::memcpy(in.YH02, "127.0.0.7\0garbage12345", 22);  // bytes after the NUL
  std::memset(in.YH07, 0, sizeof in.YH07);              // empty, all zero
  const int32_t key = Insert(in);
  EXPECT_THAT(ScanKeys(h_, "YH03 = '5000' AND YH02 = '127.0.0.7' AND YH07 = ''"), ElementsAre(key));
  EXPECT_THAT(ScanKeys(h_, "YH01 = 'bob'"), ElementsAre(key));
}

TEST_P(StoreTest, UpdateRewritesTheRowAndReportsAMissingKey) {
  YHDLRecord r = Record("carol");
  ASSERT_EQ(userYHDL_Insert(h_, &r), 1);
  Put(r.YH03, "6001");
  EXPECT_EQ(userYHDL_Update(h_, &r), 1) << qzpub_LastError();
  EXPECT_THAT(ScanKeys(h_, "YH03 = '6001'"), ElementsAre(r.YH00));
  r.YH00 += 1000;
  EXPECT_EQ(userYHDL_Update(h_, &r), 0);
}

// ---- The component's statements ------------------------------------------------------------

TEST_P(StoreTest, DeleteRemovesOnlyTheRowWithTheKey) {
  const int32_t a = Insert(Record("a"));
  const int32_t b = Insert(Record("b"));
  const int32_t c = Insert(Record("c"));
  EXPECT_TRUE(a < b && b < c);
  YHDLRecord del;
  std::memset(&del, 0, sizeof del);
  del.YH00 = b;
  EXPECT_EQ(userYHDL_Delete(h_, &del), 1) << qzpub_LastError();
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(a, c));
  // A key that is gone, or the key 0 of a failed insert, deletes nothing.
  EXPECT_EQ(userYHDL_Delete(h_, &del), 1);
  del.YH00 = 0;
  EXPECT_EQ(userYHDL_Delete(h_, &del), 1);
  EXPECT_THAT(ScanKeys(h_, nullptr), ElementsAre(a, c));
}

TEST_P(StoreTest, PurgeKeepsTheRowAtTheCutoff) {
  Insert(Record("old", "1.1.1.1", "1", "", "s", "m", "", "2024-02-28 23:59:59"));
  Insert(Record("just", "1.1.1.1", "2", "", "s", "m", "", "2024-02-29 00:00:04"));
  const int32_t at = Insert(Record("at", "1.1.1.1", "3", "", "s", "m", "", "2024-02-29 00:00:05"));
  const int32_t later =
      Insert(Record("later", "1.1.1.1", "4", "", "s", "m", "", "2024-03-01 00:00:05"));
  Insert(Record("never", "1.1.1.1", "5", "", "s", "m", "", ""));
  Exec("Delete YHDL where YH08<'2024-02-29 00:00:05'");
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(at, later));
}

TEST_P(StoreTest, DuplicateDeleteNeedsAllFourNamesAndIgnoresThePort) {
  Insert(Record("u", "127.0.0.1", "5000", "", "s", "m"));
  Insert(Record("u", "127.0.0.1", "5001", "", "s", "m"));
  Insert(Record("u", "127.0.0.1", "5002", "", "s", "m  "));  // stored as "m": spaces are padding
  const int32_t other_user = Insert(Record("U", "127.0.0.1", "5000", "", "s", "m"));
  const int32_t other_ip = Insert(Record("u", "127.0.0.2", "5000", "", "s", "m"));
  const int32_t other_sys = Insert(Record("u", "127.0.0.1", "5000", "", "s2", "m"));
  const int32_t other_mod = Insert(Record("u", "127.0.0.1", "5000", "", "s", "mm"));
  Exec("delete YHDL where YH01='u' and YH02='127.0.0.1' and YH05='s' and YH06='m'");
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(other_user, other_ip, other_sys, other_mod));
}

TEST_P(StoreTest, EndpointDeleteNeedsAddressAndPortWhateverTheNames) {
  Insert(Record("dead", "198.18.0.10", "14007", "", "s", "m"));
  Insert(Record("other", "198.18.0.10", "14007", "", "s2", "m2"));
  const int32_t other_port = Insert(Record("dead", "198.18.0.10", "14070", "", "s", "m"));
  const int32_t other_ip = Insert(Record("dead", "198.18.0.100", "14007", "", "s", "m"));
  const int32_t prefix = Insert(Record("dead", "198.18.0.1", "1400", "", "s", "m"));
  Exec("delete YHDL where YH02='198.18.0.10' and YH03='14007'");
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(other_port, other_ip, prefix));
}

TEST_P(StoreTest, StandardAndOtherStatementsRunAsTheyAre) {
  Insert(Record("a"));
  const int32_t b = Insert(Record("b"));
  Exec("UPDATE YHDL SET YH03 = '7000' WHERE YH01 = 'b'");
  EXPECT_THAT(ScanKeys(h_, "YH03 = '7000'"), ElementsAre(b));
  Exec("  DELETE FROM YHDL WHERE YH01 = 'a'");
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(b));
  EXPECT_LE(odbc_ExecSQL(h_, "delete NO_SUCH_TABLE where 1=1"), 0);
  EXPECT_THAT(qzpub_LastError(), HasSubstr("NO_SUCH_TABLE"));
}

// The recipient conditions, in each form that the component builds.
TEST_P(StoreTest, EveryRecipientConditionFormSelectsItsRows) {
  const int32_t usm = Insert(Record("u", "127.0.0.1", "1", "", "s", "m"));
  const int32_t us_ = Insert(Record("u", "127.0.0.1", "2", "", "s", "x"));
  const int32_t u_m = Insert(Record("u", "127.0.0.1", "3", "", "x", "m"));
  const int32_t _sm = Insert(Record("x", "127.0.0.1", "4", "", "s", "m"));
  const int32_t none = Insert(Record("x", "127.0.0.1", "5", "", "x", "x"));
  struct Case {
    const char* condition;
    std::vector<int32_t> keys;
  };
  const Case cases[] = {
      {"", {usm, us_, u_m, _sm, none}},
      {"YH01='u' ", {usm, us_, u_m}},
      {" YH05 = 's' ", {usm, us_, _sm}},
      {" YH06 = 'm' ", {usm, u_m, _sm}},
      {"YH01='u' And  YH05 = 's' ", {usm, us_}},
      {"YH01='u' And  YH06 = 'm' ", {usm, u_m}},
      {" YH05 = 's' And  YH06 = 'm' ", {usm, _sm}},
      {"YH01='u' And  YH05 = 's' And  YH06 = 'm' ", {usm}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScanKeys(h_, c.condition), c.keys) << "condition \"" << c.condition << "\"";
  }
}

// Names that try to break out of their quotes, doubled as the component quotes them.
TEST_P(StoreTest, QuotedNamesCannotChangeAStatement) {
  const std::string names[] = {"x' or '1'='1", "'; drop table YHDL; --", "o'brien\\", "'"};
  auto quoted = [](std::string v) {
    for (size_t i = v.find('\''); i != std::string::npos; i = v.find('\'', i + 2)) {
      v.insert(i, 1, '\'');
    }
    return v;
  };
  std::vector<int32_t> keys;
  for (const std::string& n : names) keys.push_back(Insert(Record(n, "127.0.0.1", "1", "", n, n)));
  const int32_t bystander = Insert(Record("x", "127.0.0.1", "1", "", "x", "x"));

  for (size_t i = 0; i < std::size(names); ++i) {
    const std::string q = quoted(names[i]);
    const std::string cond = "YH01='" + q + "' And  YH05 = '" + q + "' And  YH06 = '" + q + "' ";
    EXPECT_THAT(ScanKeys(h_, cond.c_str()), ElementsAre(keys[i])) << names[i];
  }
  for (size_t i = 0; i < std::size(names); ++i) {
    const std::string q = quoted(names[i]);
    Exec("delete YHDL where YH01='" + q + "' and YH02='127.0.0.1' and YH05='" + q + "' and YH06='" +
         q + "'");
  }
  Exec("Delete YHDL where YH08<'" + quoted("' or 1=1 --") + "'");  // a cutoff below every time
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(bystander));
}

// The same texts unquoted: whatever they do to the statement, they cannot run a second one.
TEST_P(StoreTest, TextHoldingASecondStatementIsRefused) {
  const int32_t key = Insert(Record("x"));
  EXPECT_LE(odbc_ExecSQL(h_, "delete YHDL where YH01=''; drop table YHDL; --'"), 0);
  EXPECT_LE(userYHDL_GetFirst(h_, nullptr, "1=1"), 0);
  YHDLRecord r;
  EXPECT_LE(userYHDL_GetFirst(h_, &r, "1=1); DROP TABLE YHDL; SELECT (1"), 0);
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(key));
  // A trailing comment cannot swallow the rest of the scan.
  EXPECT_THAT(ScanKeys(h_, "YH01 = 'x' -- and more"), ElementsAre(key));
}

// ---- Scans ---------------------------------------------------------------------------------

TEST_P(StoreTest, ScanWalksRowsInKeyOrderThenEndsWithoutTouchingTheRecord) {
  const int32_t a = Insert(Record("a"));
  const int32_t b = Insert(Record("b"));
  YHDLRecord r;
  std::memset(&r, 0, sizeof r);
  const int32_t cursor = userYHDL_GetFirst(h_, &r, "");
  ASSERT_GT(cursor, 0) << qzpub_LastError();
  EXPECT_EQ(r.YH00, a);
  ASSERT_EQ(userYHDL_GetNext(cursor, &r), 1);
  EXPECT_EQ(r.YH00, b);
  const YHDLRecord before = r;
  EXPECT_EQ(userYHDL_GetNext(cursor, &r), 0);
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
  // The finished scan's cursor is closed.
  EXPECT_LT(userYHDL_GetNext(cursor, &r), 0);
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
}

// Repeated scans may share their rows: an open scan must keep what it selected when a later scan
// of the same condition sees a change, and each scan walks on its own.
TEST_P(StoreTest, AnOpenScanKeepsItsRowsWhileTheNextScanSeesTheChange) {
  Insert(Record("a"));
  YHDLRecord b = Record("b");
  ASSERT_EQ(userYHDL_Insert(h_, &b), 1) << qzpub_LastError();
  YHDLRecord r;
  const int32_t before = userYHDL_GetFirst(h_, &r, "");
  const int32_t twin = userYHDL_GetFirst(h_, &r, "");
  ASSERT_GT(before, 0) << qzpub_LastError();
  ASSERT_GT(twin, 0) << qzpub_LastError();
  Put(b.YH03, "6002");
  ASSERT_EQ(userYHDL_Update(h_, &b), 1) << qzpub_LastError();
  const int32_t after = userYHDL_GetFirst(h_, &r, "");
  ASSERT_GT(after, 0) << qzpub_LastError();
  ASSERT_EQ(userYHDL_GetNext(after, &r), 1);
  EXPECT_EQ(qzpub::FieldText(r.YH03), "6002");
  ASSERT_EQ(userYHDL_GetNext(before, &r), 1);
  EXPECT_EQ(r.YH00, b.YH00);
  EXPECT_NE(qzpub::FieldText(r.YH03), "6002");
  EXPECT_EQ(userYHDL_GetNext(before, &r), 0);
  ASSERT_EQ(userYHDL_GetNext(twin, &r), 1);
  EXPECT_EQ(r.YH00, b.YH00);
  EXPECT_EQ(userYHDL_GetNext(twin, &r), 0);
}

TEST_P(StoreTest, NoRowGivesZeroAndBadConditionANegativeResult) {
  Insert(Record("a"));
  YHDLRecord r = Record("untouched");
  const YHDLRecord before = r;
  EXPECT_EQ(userYHDL_GetFirst(h_, &r, "YH01='nobody' "), 0);
  EXPECT_LT(userYHDL_GetFirst(h_, &r, "YH01 = = 'x'"), 0);
  EXPECT_STRNE(qzpub_LastError(), "");
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
}

TEST_P(StoreTest, AbandonedScansAreCappedPerConnection) {
  Insert(Record("a"));
  Insert(Record("b"));
  YHDLRecord r;
  std::vector<int32_t> cursors;
  for (int i = 0; i < 200; ++i) {
    const int32_t c = userYHDL_GetFirst(h_, &r, "");
    ASSERT_GT(c, 0) << qzpub_LastError();
    cursors.push_back(c);
  }
  // The newest 64 still work; every older one was closed to make room.
  int open = 0;
  for (size_t i = 0; i < cursors.size(); ++i) {
    const int32_t rc = userYHDL_GetNext(cursors[i], &r);
    if (i < cursors.size() - 64) {
      EXPECT_LT(rc, 0) << "cursor " << i;
    } else {
      EXPECT_EQ(rc, 1) << "cursor " << i;
      ++open;
    }
  }
  EXPECT_EQ(open, 64);
  // Another connection's scans are not closed to make room for these.
  const int32_t other = qzpub_Connect(uri_.c_str());
  ASSERT_GT(other, 0) << qzpub_LastError();
  const int32_t kept = userYHDL_GetFirst(other, &r, "");
  for (int i = 0; i < 100; ++i) ASSERT_GT(userYHDL_GetFirst(h_, &r, ""), 0);
  EXPECT_EQ(userYHDL_GetNext(kept, &r), 1);
  // Disconnect closes a connection's scans.
  const int32_t dropped = userYHDL_GetFirst(other, &r, "");
  ASSERT_GT(dropped, 0);
  EXPECT_EQ(qzpub_Disconnect(other), 1);
  EXPECT_LT(userYHDL_GetNext(dropped, &r), 0);
}

TEST_P(StoreTest, OpenScanDoesNotBlockWritesOfEitherConnection) {
  const int32_t a = Insert(Record("a"));
  const int32_t b = Insert(Record("b"));
  YHDLRecord r;
  const int32_t cursor = userYHDL_GetFirst(h_, &r, "");
  ASSERT_GT(cursor, 0);
  const int32_t other = qzpub_Connect(uri_.c_str());
  ASSERT_GT(other, 0) << qzpub_LastError();
  YHDLRecord c = Record("c");
  EXPECT_EQ(userYHDL_Insert(other, &c), 1) << qzpub_LastError();
  // This connection writes after the other one did, its scan still open.
  YHDLRecord d = Record("d");
  EXPECT_EQ(userYHDL_Insert(h_, &d), 1) << qzpub_LastError();
  // The scan goes on over the rows it selected.
  ASSERT_EQ(userYHDL_GetNext(cursor, &r), 1);
  EXPECT_EQ(r.YH00, b);
  EXPECT_EQ(userYHDL_GetNext(cursor, &r), 0);
  EXPECT_THAT(ScanKeys(other, ""), ElementsAre(a, b, c.YH00, d.YH00));
  EXPECT_EQ(qzpub_Disconnect(other), 1);
}

// ---- Connection-level entries --------------------------------------------------------------

TEST_P(StoreTest, SysDateIsTheLocalTimeAsText) {
  char buffer[QZPUB_DATE_BUFFER_SIZE];
  std::memset(buffer, 'x', sizeof buffer);
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(odbc_GetSysDateStr(h_, buffer), 1) << qzpub_LastError();
  const std::string text(buffer, strnlen(buffer, sizeof buffer));
  ASSERT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << text;
  EXPECT_EQ(buffer[20], 'x');  // only the text and its NUL are written
  if (GetParam() == Backend::kSqlite) {
    // The same minute as the test's own clock, read before and after.
    auto minute = [](std::time_t t) {
      std::tm local{};
      localtime_r(&t, &local);
      char out[32];
      std::strftime(out, sizeof out, "%Y-%m-%d %H:%M", &local);
      return std::string(out);
    };
    const std::string at = text.substr(0, 16);
    EXPECT_TRUE(at == minute(before) || at == minute(std::time(nullptr))) << text;
  }
}

TEST_P(StoreTest, UsesAMissingDatabaseIsANoOp) {
  const int32_t key = Insert(Record("a"));
  EXPECT_EQ(sysMSSQLUses(h_, "qz_sys"), 1) << qzpub_LastError();
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(key));
}

TEST_P(StoreTest, UnknownHandlesAndCursorsFailWithAMessage) {
  YHDLRecord r = Record("a");
  char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
  const int32_t bad = h_ + 1000;
  EXPECT_LT(odbc_GetSysDateStr(bad, buffer), 0);
  EXPECT_THAT(qzpub_LastError(), HasSubstr(std::to_string(bad)));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_LT(odbc_ExecSQL(bad, "delete YHDL where 1=1"), 0);
  EXPECT_LT(userYHDL_Insert(bad, &r), 0);
  EXPECT_EQ(r.YH00, 0);
  EXPECT_LT(userYHDL_Delete(bad, &r), 0);
  EXPECT_LT(sysMSSQLUses(bad, "qz_sys"), 0);
  EXPECT_LT(userYHDL_GetFirst(bad, &r, ""), 0);
  EXPECT_LT(userYHDL_GetNext(12345678, &r), 0);
  EXPECT_LT(qzpub_Disconnect(bad), 0);
  EXPECT_LT(odbc_ExecSQL(h_, nullptr), 0);
  EXPECT_LT(userYHDL_Insert(h_, nullptr), 0);
}

TEST_P(StoreTest, TheTableOutlivesConnections) {
  const int32_t key = Insert(Record("a"));
  ASSERT_EQ(qzpub_Disconnect(h_), 1);
  EXPECT_LT(odbc_ExecSQL(h_, "delete YHDL where 1=0"), 0);
  h_ = qzpub_Connect(uri_.c_str());
  ASSERT_GT(h_, 0) << qzpub_LastError();
  EXPECT_THAT(ScanKeys(h_, ""), ElementsAre(key));
}

#ifdef QZPUB_TEST_POSTGRES
#define QZPUB_TEST_BACKENDS Backend::kSqlite, Backend::kPostgres
#else
#define QZPUB_TEST_BACKENDS Backend::kSqlite
#endif
INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values(QZPUB_TEST_BACKENDS),
                         [](const ::testing::TestParamInfo<Backend>& p) {
                           return p.param == Backend::kSqlite ? "Sqlite" : "Postgres";
                         });

}  // namespace
}  // namespace qzpub_test
