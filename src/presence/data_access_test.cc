// The binding of the data-access library: failures when it or an entry is missing, and calls
// through the real libqzpub.so of this build.
#include "presence/data_access.h"

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/dynamic_library.h"
#include "presence/statements.h"
#include "presence/testing/recording_data_access.h"
#include "presence/yhdl_record.h"

namespace qz::presence {
namespace {

using ::testing::HasSubstr;

class BindingTest : public ::testing::Test {
 protected:
  void TearDown() override { SetLibraryNameForTesting(""); }
};

TEST_F(BindingTest, AMissingLibraryFailsEachCallAndNamesTheLibrary) {
  SetLibraryNameForTesting("libqzpub-not-installed.so");
  DataAccess& da = CurrentDataAccess();
  char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
  Result<int32_t> date = da.odbc_GetSysDateStr(1, buffer);
  ASSERT_FALSE(date.ok());
  EXPECT_EQ(date.status().code(), errc::kFileNotFound);
  EXPECT_THAT(date.status().message(), HasSubstr("libqzpub-not-installed.so"));
  EXPECT_EQ(buffer[0], '\0');
  YHDLRecord record = ZeroRecord();
  Result<int32_t> insert = da.userYHDL_Insert(1, record);
  EXPECT_EQ(insert.status().code(), errc::kFileNotFound);
  EXPECT_EQ(record.YH00, 0);
  EXPECT_EQ(da.userYHDL_GetNext(1, record).status().code(), errc::kFileNotFound);
}

TEST_F(BindingTest, ALibraryWithoutTheEntryFailsThatCallAndNamesTheEntry) {
  SetLibraryNameForTesting("libm.so.6");  // loads everywhere, and has none of the entries
  Result<int32_t> r = CurrentDataAccess().odbc_ExecSQL(1, "delete YHDL where 1=0");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().code(), errc::kEntryNotFound);
  EXPECT_THAT(r.status().message(), HasSubstr("odbc_ExecSQL"));
  EXPECT_THAT(r.status().message(), HasSubstr("libm.so.6"));
}

TEST_F(BindingTest, ByDefaultTheLibraryIsLibqzpubAsTheLoaderFindsIt) {
  char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
  Result<int32_t> r = CurrentDataAccess().odbc_GetSysDateStr(-1, buffer);
  if (r.ok()) {
    EXPECT_LT(r.value(), 0);  // found and bound; -1 is no handle
  } else {
    EXPECT_EQ(r.status().code(), errc::kFileNotFound);
    EXPECT_THAT(r.status().message(), HasSubstr("libqzpub.so"));
  }
}

TEST_F(BindingTest, AFakeTakesThePlaceOfTheLibraryUntilRemoved) {
  RecordingDataAccess fake;
  SetDataAccessForTesting(&fake);
  EXPECT_EQ(&CurrentDataAccess(), &fake);
  SetDataAccessForTesting(nullptr);
  EXPECT_NE(&CurrentDataAccess(), &fake);
}

// Opens a connection as a host does, through the same loaded library.
class RealLibraryTest : public BindingTest {
 protected:
  void SetUp() override {
    SetLibraryNameForTesting(QZPUB_LIBRARY_PATH);
    Result<std::shared_ptr<platform::DynamicLibrary>> lib =
        platform::DynamicLibrary::Open(QZPUB_LIBRARY_PATH);
    ASSERT_TRUE(lib.ok()) << lib.status().ToString();
    library_ = lib.value();
    connect_ = Entry<decltype(&::qzpub_Connect)>("qzpub_Connect");
    disconnect_ = Entry<decltype(&::qzpub_Disconnect)>("qzpub_Disconnect");
    last_error_ = Entry<decltype(&::qzpub_LastError)>("qzpub_LastError");
    folder_ = (std::filesystem::temp_directory_path() / "qz-binding-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder_.data()), nullptr);
    hdbc_ = connect_(("sqlite:" + folder_ + "/presence.db").c_str());
    ASSERT_GT(hdbc_, 0) << last_error_();
  }
  void TearDown() override {
    if (hdbc_ > 0) {
      EXPECT_EQ(disconnect_(hdbc_), 1);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    BindingTest::TearDown();
  }

  template <typename Fn>
  Fn Entry(const char* name) {
    Result<void*> address = library_->Symbol(name);
    EXPECT_TRUE(address.ok()) << address.status().ToString();
    return address.ok() ? reinterpret_cast<Fn>(address.value()) : nullptr;
  }

  std::shared_ptr<platform::DynamicLibrary> library_;
  decltype(&::qzpub_Connect) connect_ = nullptr;
  decltype(&::qzpub_Disconnect) disconnect_ = nullptr;
  decltype(&::qzpub_LastError) last_error_ = nullptr;
  std::string folder_;
  int32_t hdbc_ = 0;
};

TEST_F(RealLibraryTest, TheComponentsCallsWorkEndToEnd) {
  DataAccess& da = CurrentDataAccess();
  char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
  ASSERT_EQ(da.odbc_GetSysDateStr(hdbc_, buffer).value(), 1) << last_error_();
  EXPECT_TRUE(std::regex_match(buffer, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << buffer;

  // An old row, which the purge removes, and the row of an earlier login of the same user.
  YHDLRecord old_row = ZeroRecord();
  WriteTextField(old_row.YH01, "someone");
  WriteTextField(old_row.YH08, "2000-01-01 00:00:00");
  ASSERT_EQ(da.userYHDL_Insert(hdbc_, old_row).value(), 1);
  YHDLRecord earlier = ZeroRecord();
  WriteTextField(earlier.YH01, "Zo\xc3\xab O'Neil");
  WriteTextField(earlier.YH02, "127.0.0.1");
  WriteTextField(earlier.YH05, "sys");
  WriteTextField(earlier.YH06, "mod");
  WriteTextField(earlier.YH08, "2024-03-01 11:00:00");
  ASSERT_EQ(da.userYHDL_Insert(hdbc_, earlier).value(), 1);
  EXPECT_EQ(da.odbc_ExecSQL(hdbc_, PurgeStatement("2024-02-29 12:00:00")).value(), 1)
      << last_error_();
  EXPECT_EQ(da.odbc_ExecSQL(
                  hdbc_, DuplicateDeleteStatement("Zo\xc3\xab O'Neil", "127.0.0.1", "sys", "mod"))
                .value(),
            1)
      << last_error_();

  YHDLRecord row = earlier;
  row.YH00 = 0;
  WriteTextField(row.YH03, "5001");
  ASSERT_EQ(da.userYHDL_Insert(hdbc_, row).value(), 1) << last_error_();
  EXPECT_GT(row.YH00, earlier.YH00);
  EXPECT_EQ(da.sysMSSQLUses(hdbc_, "qz_sys").value(), 1);

  YHDLRecord scan = ZeroRecord();
  const int32_t cursor =
      da.userYHDL_GetFirst(hdbc_, scan, RecipientCondition("Zo\xc3\xab O'Neil", "sys", "")).value();
  ASSERT_GT(cursor, 0) << last_error_();
  EXPECT_EQ(scan.YH00, row.YH00);
  EXPECT_EQ(ReadTextField(scan.YH01), "Zo\xc3\xab O'Neil");
  EXPECT_EQ(ReadTextField(scan.YH03), "5001");
  EXPECT_EQ(da.userYHDL_GetNext(cursor, scan).value(), 0);

  // Only the new row is left; LogOut's delete removes it.
  EXPECT_GT(da.userYHDL_GetFirst(hdbc_, scan, "").value(), 0);
  EXPECT_EQ(scan.YH00, row.YH00);
  YHDLRecord logout = ZeroRecord();
  logout.YH00 = row.YH00;
  EXPECT_EQ(da.userYHDL_Delete(hdbc_, logout).value(), 1);
  EXPECT_EQ(da.userYHDL_GetFirst(hdbc_, scan, "").value(), 0);
}

TEST_F(BindingTest, CheckedPassesResultsAndTurnsNegativeOnesIntoFailures) {
  RecordingDataAccess fake;
  EXPECT_EQ(*Checked(fake, 0, "x"), 0);  // "no row" is no failure
  EXPECT_EQ(*Checked(fake, 7, "x"), 7);
  const Status unbound = Status::Error(errc::kEntryNotFound, "no entry");
  EXPECT_EQ(Checked(fake, unbound, "x").status().code(), errc::kEntryNotFound);
  // A library without words for its failure: the number stands in for them.
  Result<int32_t> silent = Checked(fake, -2, "LogOut: userYHDL_Delete");
  EXPECT_EQ(silent.status().code(), errc::kDatabaseFailed);
  EXPECT_EQ(silent.status().message(),
            "LogOut: userYHDL_Delete: the library reported a failure (-2)");
}

TEST_F(RealLibraryTest, FirstCallsFromManyThreadsBindOnce) {
  std::vector<std::thread> threads;
  std::vector<int32_t> results(8, 0);
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] {
      char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
      Result<int32_t> r = CurrentDataAccess().odbc_GetSysDateStr(hdbc_, buffer);
      results[i] = r.ok() ? r.value() : -100;
    });
  }
  for (std::thread& t : threads) t.join();
  for (int32_t r : results) EXPECT_EQ(r, 1);
}

}  // namespace
}  // namespace qz::presence
