// A PostgreSQL host that silently drops everything: each call gives up within qzpub's short
// time-outs (connect_timeout, tcp_user_timeout) instead of holding the client for as long as TCP
// keeps trying, and the client works again once the host answers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "lan/lan_fixture.h"

namespace qz_lan {
namespace {

using namespace std::chrono_literals;
using qz_test::kStartTimeout;
using qz_test::NextMessage;
using Clock = std::chrono::steady_clock;

// Far below what libpq and TCP wait by themselves (minutes), above qzpub's bounds (4 s to
// connect; 4 s of unanswered data, then one reconnect) with room for a loaded machine.
constexpr auto kBound = 12s;

class LanDatabaseWaitTest : public LanPostgresTest {};

TEST_F(LanDatabaseWaitTest, ALoginGivesUpOnASilentServerWithinTheConnectTimeout) {
  std::string why_not;
  ASSERT_TRUE(lan_->DropAll(*db_, &why_not)) << why_not;
  const Clock::time_point start = Clock::now();
  const RunResult away = Send(*a_, "sa", {"--to-user", "nobody", "while the server is silent"});
  const auto took = Clock::now() - start;
  ASSERT_TRUE(away.exit_code) << "send did not end";
  EXPECT_EQ(*away.exit_code, 1) << away.err;
  EXPECT_LT(took, kBound) << away.err;
  EXPECT_TRUE(away.err.find("timeout") != std::string::npos ||
              away.err.find("timed out") != std::string::npos)
      << away.err;

  ASSERT_TRUE(lan_->AcceptAll(*db_, &why_not)) << why_not;
  json ready;
  ChildProcess* ben = StartListen(*b_, "ben", "s1", "m1", &ready);
  ASSERT_NE(ben, nullptr);
  ASSERT_EQ(Send(*a_, "sa", {"--to-user", "ben", "answered"}).exit_code, 0);
  std::optional<json> message = NextMessage(*ben);
  ASSERT_TRUE(message) << ben->stderr_text();
  EXPECT_EQ((*message)["msg"], "answered");
}

// A chat logged in while the server answered: its next send finds the server silent.
TEST_F(LanDatabaseWaitTest, ASendOnAnOpenConnectionGivesUpWithinTheBound) {
  json ready;
  ChildProcess* ben = StartListen(*b_, "ben", "s1", "m1", &ready);
  ASSERT_NE(ben, nullptr);
  ChildProcess* chat = Start(*a_, "chat", {"--user", "cho", "--sys", "s2", "--mod", "m2"});
  ASSERT_NE(chat, nullptr);
  ASSERT_TRUE(chat->ReadLine(kStartTimeout)) << chat->stderr_text();  // logged in

  std::string why_not;
  ASSERT_TRUE(lan_->DropAll(*db_, &why_not)) << why_not;
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(chat->Write("/to ben while the server is silent\n"));
  while (chat->stderr_text().find("PostgreSQL") == std::string::npos &&
         Clock::now() - start < 2 * kBound) {
    (void)chat->ReadLine(100ms);
  }
  const auto took = Clock::now() - start;
  ASSERT_NE(chat->stderr_text().find("PostgreSQL"), std::string::npos)
      << "no failure reported; stderr: " << chat->stderr_text();
  EXPECT_LT(took, kBound) << chat->stderr_text();

  ASSERT_TRUE(lan_->AcceptAll(*db_, &why_not)) << why_not;
  ASSERT_TRUE(chat->Write("/to ben the server answers again\n"));
  std::optional<json> message = NextMessage(*ben);
  ASSERT_TRUE(message) << chat->stderr_text();
  EXPECT_EQ((*message)["msg"], "the server answers again");
}

}  // namespace
}  // namespace qz_lan
