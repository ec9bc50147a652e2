// The fake behaves like the library where the component's tests rely on it.
#include "presence/testing/recording_data_access.h"

#include <cstring>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "presence/statements.h"
#include "presence/yhdl_record.h"

namespace qz::presence {
namespace {

using ::testing::ElementsAre;

YHDLRecord Row(std::string_view user, std::string_view sys = "s", std::string_view mod = "m",
               std::string_view time = "2024-03-01 12:00:00") {
  YHDLRecord r = ZeroRecord();
  WriteTextField(r.YH01, user);
  WriteTextField(r.YH02, "127.0.0.1");
  WriteTextField(r.YH03, "5000");
  WriteTextField(r.YH05, sys);
  WriteTextField(r.YH06, mod);
  WriteTextField(r.YH08, time);
  return r;
}

std::vector<int32_t> Keys(RecordingDataAccess& da, const std::string& condition) {
  std::vector<int32_t> keys;
  YHDLRecord r = ZeroRecord();
  const int32_t cursor = da.userYHDL_GetFirst(7, r, condition).value();
  if (cursor <= 0) return keys;
  do {
    keys.push_back(r.YH00);
  } while (da.userYHDL_GetNext(cursor, r).value() == 1);
  return keys;
}

TEST(RecordingDataAccessTest, RecordsEachCallWithItsArgumentsInOrder) {
  RecordingDataAccess da;
  char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
  EXPECT_EQ(da.odbc_GetSysDateStr(7, buffer).value(), 1);
  EXPECT_STREQ(buffer, RecordingDataAccess::kDefaultSysDate);
  EXPECT_EQ(da.odbc_ExecSQL(7, "delete YHDL where YH01='x'").value(), 1);
  YHDLRecord r = Row("u");
  EXPECT_EQ(da.userYHDL_Insert(7, r).value(), 1);
  EXPECT_EQ(r.YH00, 1);
  EXPECT_EQ(da.sysMSSQLUses(7, "qz_sys").value(), 1);

  EXPECT_THAT(da.entries(),
              ElementsAre("odbc_GetSysDateStr", "odbc_ExecSQL", "userYHDL_Insert", "sysMSSQLUses"));
  const std::vector<RecordingDataAccess::Call> calls = da.calls();
  EXPECT_EQ(calls[1].text, "delete YHDL where YH01='x'");
  EXPECT_EQ(calls[2].handle, 7);
  EXPECT_EQ(calls[2].record.YH00, 0);  // as passed, before the key was written
  EXPECT_EQ(ReadTextField(calls[2].record.YH01), "u");
  EXPECT_EQ(calls[3].text, "qz_sys");
  da.ClearCalls();
  EXPECT_TRUE(da.calls().empty());
}

TEST(RecordingDataAccessTest, RunsTheComponentsStatementsOnItsTable) {
  RecordingDataAccess da;
  da.AddRow(Row("old", "s", "m", "2024-02-29 00:00:04"));
  const int32_t at = da.AddRow(Row("at", "s", "m", "2024-02-29 00:00:05"));
  YHDLRecord mine = Row("it's me");
  ASSERT_EQ(da.userYHDL_Insert(1, mine).value(), 1);
  YHDLRecord other_sys = Row("it's me", "s2");
  ASSERT_EQ(da.userYHDL_Insert(1, other_sys).value(), 1);

  EXPECT_EQ(da.odbc_ExecSQL(1, PurgeStatement("2024-02-29 00:00:05")).value(), 1);
  EXPECT_EQ(da.odbc_ExecSQL(1, DuplicateDeleteStatement("it's me", "127.0.0.1", "s", "m")).value(),
            1);
  EXPECT_THAT(Keys(da, ""), ElementsAre(at, other_sys.YH00));
  EXPECT_THAT(Keys(da, RecipientCondition("it's me", "s2", "")), ElementsAre(other_sys.YH00));
  EXPECT_THAT(Keys(da, RecipientCondition("", "", "m")), ElementsAre(at, other_sys.YH00));
  EXPECT_THAT(Keys(da, RecipientCondition("nobody", "", "")), ElementsAre());

  YHDLRecord del = ZeroRecord();
  del.YH00 = at;
  EXPECT_EQ(da.userYHDL_Delete(1, del).value(), 1);
  ASSERT_EQ(da.rows().size(), 1u);
  EXPECT_EQ(da.rows()[0].YH00, other_sys.YH00);
  EXPECT_EQ(da.odbc_ExecSQL(1, "update YHDL set YH01='x'").value(), -1);
  YHDLRecord r = ZeroRecord();
  EXPECT_EQ(da.userYHDL_GetFirst(1, r, "YH01 = = 'x'").value(), -1);
}

TEST(RecordingDataAccessTest, ScanEndsWithZeroThenItsCursorIsGone) {
  RecordingDataAccess da;
  da.AddRow(Row("a"));
  YHDLRecord r = ZeroRecord();
  const int32_t cursor = da.userYHDL_GetFirst(1, r, "").value();
  ASSERT_GT(cursor, 0);
  const YHDLRecord before = r;
  EXPECT_EQ(da.userYHDL_GetNext(cursor, r).value(), 0);
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
  EXPECT_EQ(da.userYHDL_GetNext(cursor, r).value(), -1);
}

TEST(RecordingDataAccessTest, FollowsItsScript) {
  RecordingDataAccess da;
  char buffer[QZPUB_DATE_BUFFER_SIZE] = "untouched";
  da.SetSysDate(std::nullopt);
  EXPECT_EQ(da.odbc_GetSysDateStr(1, buffer).value(), 1);
  EXPECT_STREQ(buffer, "untouched");
  da.SetSysDate("2024-03-01 00:00:05.123");
  (void)da.odbc_GetSysDateStr(1, buffer);
  EXPECT_STREQ(buffer, "2024-03-01 00:00:05.123");

  da.SetNextKey(41);
  YHDLRecord r = Row("a");
  (void)da.userYHDL_Insert(1, r);
  EXPECT_EQ(r.YH00, 41);
  da.ScriptResult("userYHDL_Insert", 0);
  YHDLRecord failed = Row("b");
  EXPECT_EQ(da.userYHDL_Insert(1, failed).value(), 0);
  EXPECT_EQ(failed.YH00, 0);
  EXPECT_EQ(da.rows().size(), 1u);

  da.ScriptRows({Row("x"), Row("x")});
  EXPECT_EQ(Keys(da, "YH01='nobody' ").size(), 2u);
  da.ClearScriptedRows();

  da.ScriptGetFirstResult(-3);
  YHDLRecord scan = ZeroRecord();
  EXPECT_EQ(da.userYHDL_GetFirst(1, scan, "").value(), -3);
  EXPECT_EQ(scan.YH00, 0);
  da.ScriptGetFirstResult(900);
  da.ScriptGetNextEndResult(2);
  EXPECT_EQ(da.userYHDL_GetFirst(1, scan, "").value(), 900);
  EXPECT_EQ(da.userYHDL_GetNext(900, scan).value(), 2);

  da.Fail("odbc_ExecSQL", Status::Error(errc::kEntryNotFound, "no odbc_ExecSQL"));
  Result<int32_t> exec = da.odbc_ExecSQL(1, "delete YHDL");
  EXPECT_EQ(exec.status().code(), errc::kEntryNotFound);
  EXPECT_EQ(da.rows().size(), 1u);
  EXPECT_EQ(da.entries().back(), "odbc_ExecSQL");
  da.ClearFailures();
  EXPECT_EQ(da.odbc_ExecSQL(1, "delete YHDL").value(), 1);
  EXPECT_TRUE(da.rows().empty());
}

}  // namespace
}  // namespace qz::presence
