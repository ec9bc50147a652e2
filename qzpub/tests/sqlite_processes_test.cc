// Many processes on one SQLite file, as many clients on one machine share it: each child
// connects, inserts, scans and deletes in a loop. None may see "database is locked" or any
// other failure, and no row may go missing. QZPUB_STRESS_SECONDS (default 3) sets how long
// the children run; run it by hand with 20 for a longer soak.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "qzpub.h"
#include "test_support.h"

namespace qzpub_test {
namespace {

constexpr int kChildren = 8;

double StressSeconds() {
  const char* env = std::getenv("QZPUB_STRESS_SECONDS");
  const double s = env ? std::atof(env) : 0;
  return s > 0 ? s : 3.0;
}

// One child's loop. Returns "ok N" after N rounds, or the first failure.
std::string ChildLoop(const std::string& uri, int child, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  const std::string keep = "keep-" + std::to_string(child);
  const std::string keep_condition = "YH01='" + keep + "' ";
  int rounds = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string round = std::to_string(rounds);
    const int32_t h = qzpub_Connect(uri.c_str());
    if (h <= 0) return "connect: " + std::string(qzpub_LastError());
    // A row that stays, and one that this round removes again.
    YHDLRecord kept = Record(keep, "127.0.0.1", round);
    YHDLRecord temp = Record("temp-" + std::to_string(child), "127.0.0.1", round);
    if (userYHDL_Insert(h, &kept) != 1) return "insert: " + std::string(qzpub_LastError());
    if (userYHDL_Insert(h, &temp) != 1) return "insert: " + std::string(qzpub_LastError());
    // Every row this child kept so far is there, each once, in order.
    YHDLRecord r;
    int seen = 0;
    int32_t cursor = userYHDL_GetFirst(h, &r, keep_condition.c_str());
    if (cursor <= 0) return "scan: " + std::string(qzpub_LastError());
    do {
      if (Get(r.YH03) != std::to_string(seen))
        return "scan: row " + std::to_string(seen) + " missing";
      ++seen;
    } while (userYHDL_GetNext(cursor, &r) == 1);
    if (seen != rounds + 1) return "scan: " + std::to_string(seen) + " kept rows, not " + round;
    // The whole table, as a SendMessage scan reads it.
    cursor = userYHDL_GetFirst(h, &r, "");
    if (cursor <= 0) return "scan all: " + std::string(qzpub_LastError());
    while (userYHDL_GetNext(cursor, &r) == 1) {
    }
    const std::string temp_name = "temp-" + std::to_string(child);
    const std::string dup = "delete YHDL where YH01='" + temp_name +
                            "' and YH02='127.0.0.1' and YH05='sys' and YH06='mod'";
    if (odbc_ExecSQL(h, dup.c_str()) != 1) return "delete: " + std::string(qzpub_LastError());
    if (userYHDL_Delete(h, &temp) != 1) return "delete: " + std::string(qzpub_LastError());
    if (userYHDL_GetFirst(h, &r, ("YH01='" + temp_name + "' ").c_str()) != 0) {
      return "temp row still there: " + std::string(qzpub_LastError());
    }
    if (qzpub_Disconnect(h) != 1) return "disconnect: " + std::string(qzpub_LastError());
    ++rounds;
  }
  return "ok " + std::to_string(rounds);
}

class SqliteProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = MakeTempFolder(); }
  void TearDown() override { RemoveFolder(folder_); }
  std::string folder_;
};

TEST_F(SqliteProcessesTest, ConcurrentClientsNeverMeetALockAndLoseNoRow) {
  const std::string& folder = folder_;
  // The children race to create the file, its table and its journal too.
  const std::string uri = "sqlite:" + folder + "/shared.db";
  const double seconds = StressSeconds();

  struct Child {
    pid_t pid;
    int out;
  };
  std::vector<Child> children;
  for (int i = 0; i < kChildren; ++i) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      const std::string result = ChildLoop(uri, i, seconds);
      const ssize_t n = write(fds[1], result.data(), result.size());
      _exit(n == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    close(fds[1]);
    children.push_back({pid, fds[0]});
  }

  long total_rounds = 0;
  for (int i = 0; i < kChildren; ++i) {
    std::string result;
    char buffer[512];
    ssize_t n;
    while ((n = read(children[i].out, buffer, sizeof buffer)) > 0) {
      result.append(buffer, static_cast<size_t>(n));
    }
    close(children[i].out);
    int status = 0;
    waitpid(children[i].pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << i;
    // Every child is waited for before the test may end.
    EXPECT_EQ(result.rfind("ok ", 0), 0u) << "child " << i << ": " << result;
    const long rounds = result.rfind("ok ", 0) == 0 ? std::atol(result.c_str() + 3) : 0;
    EXPECT_GT(rounds, 0) << "child " << i;
    total_rounds += rounds;
  }
  if (HasFailure()) return;

  const int32_t h = qzpub_Connect(uri.c_str());
  ASSERT_GT(h, 0) << qzpub_LastError();
  EXPECT_EQ(static_cast<long>(ScanKeys(h, "YH01 LIKE 'keep-%'").size()), total_rounds);
  EXPECT_TRUE(ScanKeys(h, "YH01 LIKE 'temp-%'").empty());
  EXPECT_EQ(qzpub_Disconnect(h), 1);
  std::printf("%d processes, %.0f s: %ld rounds\n", kChildren, seconds, total_rounds);
}

}  // namespace
}  // namespace qzpub_test
