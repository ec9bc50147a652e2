// Faults of the LAN: a host that loses its link mid-broadcast, a host that drops everything,
// and the database server out of reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "lan/lan_fixture.h"

namespace qz_lan {
namespace {

using namespace std::chrono_literals;
using qz_test::kExitTimeout;
using qz_test::NextMessage;
using qz_test::ParseJson;

constexpr auto kSendEnd = 40000ms;  // beyond every time-out of libpq and of the deliveries

// recipient user -> whether its delivery was sent, from the lines of a `send --json`.
std::map<std::string, bool> Outcomes(const std::string& out) {
  std::map<std::string, bool> outcomes;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::optional<json> event = ParseJson(line);
    if (event && (*event)["event"] == "delivery") outcomes[(*event)["user"]] = (*event)["sent"];
  }
  return outcomes;
}

// Whether a connection from host to address is still being opened (SYN sent, no answer yet).
bool Connecting(const NetnsLan& lan, const Host& host, const std::string& address) {
  const RunResult ss = lan.RunIn(host, {"ss", "-Htn", "state", "syn-sent", "dst", address});
  return ss.exit_code == 0 && ss.out.find(address) != std::string::npos;
}

// The listeners dan on d, ben on b and cat on c, all of system s1. dan's row comes first, so
// that a sender which delivered one by one would try d before the others.
class LanFaultTest : public LanPostgresTest {
 protected:
  void SetUp() override {
    LanPostgresTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (auto [host, user, listener] : {std::tuple{d_, "dan", &dan_}, std::tuple{b_, "ben", &ben_},
                                        std::tuple{c_, "cat", &cat_}}) {
      json ready;
      *listener = StartListen(*host, user, "s1", "m1", &ready);
      ASSERT_NE(*listener, nullptr);
    }
  }

  ChildProcess* ben_ = nullptr;
  ChildProcess* cat_ = nullptr;
  ChildProcess* dan_ = nullptr;
};

TEST_F(LanFaultTest, LinkDownMidBroadcastCostsOnlyThatHost) {
  ChildProcess* send = StartSend(*a_, "sa", {"through the outage"});
  ASSERT_NE(send, nullptr);
  std::string why_not;
  ASSERT_TRUE(lan_->SetLink(*d_, "eth0", false, &why_not)) << why_not;

  for (ChildProcess* live : {ben_, cat_}) {
    std::optional<json> message = NextMessage(*live);
    ASSERT_TRUE(message) << live->stderr_text();
    EXPECT_EQ((*message)["msg"], "through the outage");
  }
  const std::optional<int> exit_code = send->Wait(kSendEnd);
  ASSERT_TRUE(exit_code) << "send did not end; stderr: " << send->stderr_text();
  const std::map<std::string, bool> outcomes = Outcomes(send->unread_stdout());
  EXPECT_TRUE(outcomes.at("ben"));
  EXPECT_TRUE(outcomes.at("cat"));
  ASSERT_TRUE(outcomes.count("dan")) << send->unread_stdout();
  // Whether d's delivery made it depends on when its link went; the exit code must say which.
  EXPECT_EQ(*exit_code, outcomes.at("dan") ? 0 : 4) << send->stderr_text();

  // Back on the LAN, d is reached again.
  ASSERT_TRUE(lan_->SetLink(*d_, "eth0", true, &why_not)) << why_not;
  const RunResult after = Send(*a_, "sa", {"--to-user", "dan", "after the outage"});
  ASSERT_EQ(after.exit_code, 0) << after.err;
  std::vector<std::string> dan_received = ReceivedUntil(*dan_, "after the outage");
  ASSERT_FALSE(dan_received.empty()) << dan_->stderr_text();
  EXPECT_EQ(dan_received.back(), "after the outage from sa");
  EXPECT_EQ(dan_received.size(), outcomes.at("dan") ? 2u : 1u);

  ASSERT_EQ(Send(*a_, "sa", {"--to-sys", "s1", "end"}).exit_code, 0);
  for (ChildProcess* live : {ben_, cat_}) {
    EXPECT_EQ(ReceivedUntil(*live, "end"),
              (std::vector<std::string>{"end from sa"}))  // the first message was read above
        << "each message exactly once";
  }
}

TEST_F(LanFaultTest, SilentHostDoesNotHoldUpTheOthers) {
  std::string why_not;
  if (!lan_->DropAll(*d_, &why_not)) return SkipOrFail(why_not);

  ChildProcess* send = StartSend(*a_, "sa", {"while d is silent"}, {"--wait-ms", "5000"});
  ASSERT_NE(send, nullptr);
  for (ChildProcess* live : {ben_, cat_}) {
    std::optional<json> message = NextMessage(*live);
    ASSERT_TRUE(message) << live->stderr_text();
    EXPECT_EQ((*message)["msg"], "while d is silent");
  }
  // The live hosts have their message while the connection to d is still being opened.
  EXPECT_TRUE(Connecting(*lan_, *a_, d_->address))
      << "the delivery to the silent host ended before the live hosts were reached";

  const std::optional<int> exit_code = send->Wait(kSendEnd);
  ASSERT_TRUE(exit_code) << "send did not end; stderr: " << send->stderr_text();
  EXPECT_EQ(*exit_code, 4) << send->stderr_text();
  EXPECT_EQ(
      Outcomes(send->unread_stdout()),
      (std::map<std::string, bool>{{"ben", true}, {"cat", true}, {"dan", false}, {"sa", true}}))
      << send->unread_stdout();
  ASSERT_EQ(Send(*a_, "sa", {"--to-user", "ben", "end"}).exit_code, 0);
  EXPECT_EQ(ReceivedUntil(*ben_, "end"), std::vector<std::string>{"end from sa"})
      << "each message exactly once";
}

TEST_F(LanFaultTest, UnreachableDatabaseFailsTheSendUntilItIsBack) {
  std::string why_not;
  ASSERT_TRUE(lan_->SetLink(*db_, "eth0", false, &why_not)) << why_not;
  const RunResult away = Send(*a_, "sa", {"--to-user", "ben", "while the server is away"});
  ASSERT_TRUE(away.exit_code) << "send did not end";
  EXPECT_EQ(*away.exit_code, 1);
  EXPECT_NE(away.err.find(db_->address), std::string::npos) << away.err;

  ASSERT_TRUE(lan_->SetLink(*db_, "eth0", true, &why_not)) << why_not;
  const RunResult back = Send(*a_, "sa", {"--to-user", "ben", "the server is back"});
  ASSERT_EQ(back.exit_code, 0) << back.err;
  EXPECT_EQ(ReceivedUntil(*ben_, "the server is back"),
            std::vector<std::string>{"the server is back from sa"});
}

// The server goes while a send waits for a delivery to an address nobody has, so that its
// logout cannot delete its row: the send must say so.
TEST_F(LanFaultTest, DatabaseLostMidSendIsReported) {
  ASSERT_GT(table_->Insert("ghost", LanAddress(99), "9999", "far", "m1"), 0);
  ChildProcess* send =
      StartSend(*a_, "sa", {"--to-sys", "far", "to nobody"}, {"--wait-ms", "3000"});
  ASSERT_NE(send, nullptr);
  for (int i = 0; i < 250 && !Connecting(*lan_, *a_, LanAddress(99)); ++i) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(Connecting(*lan_, *a_, LanAddress(99))) << send->stderr_text();
  std::string why_not;
  ASSERT_TRUE(lan_->SetLink(*db_, "eth0", false, &why_not)) << why_not;
  const std::optional<int> exit_code = send->Wait(kSendEnd);
  ASSERT_TRUE(exit_code) << "send did not end; stderr: " << send->stderr_text();
  EXPECT_NE(*exit_code, 0);

  ASSERT_TRUE(lan_->SetLink(*db_, "eth0", true, &why_not)) << why_not;
  // Read before a new login of sa replaces the row.
  const std::vector<qz_test::Row> rows = table_->Rows();
  ASSERT_TRUE(std::any_of(rows.begin(), rows.end(), [](const auto& r) { return r.user == "sa"; }))
      << "the sender's row is gone: its logout reached the server, the outage came too late";
  const RunResult again = Send(*a_, "sa", {"--to-user", "ben", "back again"});
  ASSERT_EQ(again.exit_code, 0) << again.err;
  std::optional<json> message = NextMessage(*ben_);
  ASSERT_TRUE(message) << ben_->stderr_text();
  EXPECT_EQ((*message)["msg"], "back again");

  // The row that LogOut could not delete is reported, in the database's words.
  EXPECT_NE(send->stderr_text().find("PostgreSQL"), std::string::npos) << send->stderr_text();
}

}  // namespace
}  // namespace qz_lan
