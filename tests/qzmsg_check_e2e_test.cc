// who --check and prune against endpoints of every kind on loopback: a live listener, a port
// that refuses, a listener that never answers, and an address that cannot be probed.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qzmsg_fixture.h"

namespace qz_test {
namespace {

// A socket on 127.0.0.1 bound to a port the kernel picks; -1 on failure.
int BoundLoopbackSocket(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Whether a non-blocking connect from fd to 127.0.0.1:port completes within timeout.
bool ConnectsWithin(int fd, int port, int timeout_ms) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  pollfd waiting{fd, POLLOUT, 0};
  int error = 0;
  socklen_t size = sizeof error;
  return poll(&waiting, 1, timeout_ms) == 1 &&
         getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Ports on 127.0.0.1 that stay as the test needs them while it runs: one whose socket is bound
// but does not listen (every connect is refused), and one whose listener never accepts and
// whose queue is full (the kernel drops every further SYN, as a host that does not answer).
class DeadPorts {
 public:
  bool Make() {
    refusing_fd_ = BoundLoopbackSocket(&refusing_);
    silent_fd_ = BoundLoopbackSocket(&silent_);
    if (refusing_fd_ < 0 || silent_fd_ < 0 || listen(silent_fd_, 0) != 0) return false;
    for (int i = 0; i < 8; ++i) {
      const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (filler < 0) return false;
      fillers_.push_back(filler);
      if (!ConnectsWithin(filler, silent_, 300)) return true;  // the queue is full
    }
    return false;
  }
  ~DeadPorts() {
    for (int fd : fillers_) close(fd);
    for (int fd : {refusing_fd_, silent_fd_}) {
      if (fd >= 0) close(fd);
    }
  }

  int refusing() const { return refusing_; }
  int silent() const { return silent_; }

 private:
  int refusing_fd_ = -1;
  int silent_fd_ = -1;
  int refusing_ = 0;
  int silent_ = 0;
  std::vector<int> fillers_;
};

// The JSON lines of out, by user.
std::map<std::string, std::vector<json>> ByUser(const std::string& out) {
  std::map<std::string, std::vector<json>> by_user;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::optional<json> value = ParseJson(line);
    EXPECT_TRUE(value) << "not JSON: " << line;
    if (value) by_user[(*value)["user"]].push_back(*value);
  }
  return by_user;
}

// A live listen (ann), two rows on a refusing port (ghost, in two modules), one on a port that
// never answers (mute) and one with an address nobody can connect to (lost). The database is the
// test's own: who --check and prune probe every row of it.
class QzmsgCheckTest : public QzmsgSqliteTest {
 protected:
  void SetUp() override {
    QzmsgSqliteTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(ports_.Make()) << "cannot make the refusing and silent ports";
    ann_ = StartListen("ann", "erp", "sales", &ready_);
    ASSERT_NE(ann_, nullptr);
    const std::string refusing = std::to_string(ports_.refusing());
    ASSERT_GT(table_->Insert("ghost", "127.0.0.1", refusing, "erp", "sales"), 0);
    ASSERT_GT(table_->Insert("ghost", "127.0.0.1", refusing, "erp", "stock"), 0);
    ASSERT_GT(table_->Insert("mute", "127.0.0.1", std::to_string(ports_.silent()), "erp", "sales"),
              0);
    ASSERT_GT(table_->Insert("lost", "nowhere", "14000", "erp", "sales"), 0);
  }

  DeadPorts ports_;
  json ready_;
  ChildProcess* ann_ = nullptr;
};

TEST_F(QzmsgCheckTest, WhoCheckMarksWhatNoClientAnswers) {
  const RunResult checked = RunToEnd(Args("who", {"--check", "--json"}), kExitTimeout);
  ASSERT_EQ(checked.exit_code, 0) << checked.err;
  std::map<std::string, std::vector<json>> rows = ByUser(checked.out);
  const std::map<std::string, std::pair<std::string, bool>> expected = {
      {"ann", {"live", false}},
      {"ghost", {"refused", true}},
      {"mute", {"no answer", true}},
      {"lost", {"unreachable", true}}};
  ASSERT_EQ(rows.size(), expected.size()) << checked.out;
  for (const auto& [user, probe] : expected) {
    for (const json& row : rows[user]) {
      EXPECT_EQ(row["probe"], probe.first) << user;
      EXPECT_EQ(row["stale"], probe.second) << user;
    }
  }
  EXPECT_EQ(rows["ann"][0]["port"], ready_["port"]);

  // The table has a column of its own for it; without --check neither is there.
  const RunResult table = RunToEnd(Args("who", {"--check"}), kExitTimeout);
  ASSERT_EQ(table.exit_code, 0) << table.err;
  std::istringstream lines(table.out);
  std::string header;
  std::getline(lines, header);
  EXPECT_NE(header.find("CHECK"), std::string::npos) << table.out;
  for (std::string line; std::getline(lines, line);) {
    const std::string user = line.substr(0, line.find(' '));
    const std::string probe = expected.at(user).first;
    const std::string shown = expected.at(user).second ? "stale: " + probe : probe;
    EXPECT_EQ(line.substr(line.size() - shown.size()), shown) << line;
  }
  const RunResult plain = RunToEnd(Args("who", {"--json"}), kExitTimeout);
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_EQ(plain.out.find("stale"), std::string::npos) << plain.out;
  EXPECT_EQ(plain.out.find("probe"), std::string::npos) << plain.out;
}

TEST_F(QzmsgCheckTest, PruneDeletesOnlyTheRowsWhosePortRefuses) {
  const RunResult pruned = RunToEnd(Args("prune", {"--json"}), kExitTimeout);
  ASSERT_EQ(pruned.exit_code, 0) << pruned.err;
  std::map<std::string, std::vector<json>> said = ByUser(pruned.out);
  ASSERT_EQ(said["ghost"].size(), 2u) << pruned.out;
  for (const json& line : said["ghost"]) EXPECT_EQ(line["event"], "prune");
  ASSERT_EQ(said["mute"].size(), 1u) << pruned.out;
  EXPECT_EQ(said["mute"][0]["event"], "keep");
  EXPECT_EQ(said["mute"][0]["probe"], "no answer");
  ASSERT_EQ(said["lost"].size(), 1u) << pruned.out;
  EXPECT_EQ(said["lost"][0]["event"], "keep");
  EXPECT_EQ(said.count("ann"), 0u) << "a live row is not even named";

  std::vector<std::string> left;
  for (const Row& row : table_->Rows()) left.push_back(row.user);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"ann", "lost", "mute"}));

  // The probe cost the live client nothing it needs: it still takes messages.
  const RunResult sent = Send("bob", "crm", "desk", {"--to-user", "ann", "after the prune"});
  EXPECT_EQ(sent.exit_code, 0) << sent.err;
  std::optional<json> message = NextMessage(*ann_);
  ASSERT_TRUE(message) << ann_->stderr_text();
  EXPECT_EQ((*message)["msg"], "after the prune");

  // Said in words too; a second run finds nothing left to prune.
  const RunResult again = RunToEnd(Args("prune", {}), kExitTimeout);
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(again.out.find("pruning"), std::string::npos) << again.out;
  EXPECT_NE(
      again.out.find("keeping mute@erp/sales at 127.0.0.1:" + std::to_string(ports_.silent())),
      std::string::npos)
      << again.out;
}

TEST(QzmsgCheckHelp, BothCommandsExplainThemselves) {
  const RunResult who = RunToEnd({QZMSG_PATH, "who", "--help"}, kExitTimeout);
  EXPECT_EQ(who.exit_code, 0);
  EXPECT_NE(who.out.find("--check"), std::string::npos) << who.out;
  const RunResult prune = RunToEnd({QZMSG_PATH, "prune", "--help"}, kExitTimeout);
  EXPECT_EQ(prune.exit_code, 0);
  EXPECT_NE(prune.out.find("refuses"), std::string::npos) << prune.out;
}

}  // namespace
}  // namespace qz_test
