// A client killed without logging out leaves its row; a later login on the same host that gets
// the same port must not receive the dead user's messages.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lan/lan_fixture.h"

namespace qz_lan {
namespace {

using qz_test::kExitTimeout;

class LanStaleRowTest : public LanTest {};

// Which port the new login gets is the port walk's choice: the dead user's rows claim every
// port of the first range on a, as a long-running host that crashed again and again would leave
// them, so that one of them claims the port whatever it is.
TEST_P(LanStaleRowTest, ALoginTakesNoMessagesOfADeadClientAtItsEndpoint) {
  json ready;
  ChildProcess* dan = StartListen(*a_, "dan", "s1", "m1", &ready);
  ASSERT_NE(dan, nullptr);
  const int dan_port = ready["port"];
  dan->Signal(SIGKILL);
  ASSERT_TRUE(dan->Wait(kExitTimeout));
  for (int port = 14000; port < 14200; ++port) {
    if (port != dan_port) {
      ASSERT_GT(table_->Insert("dan", a_->address, std::to_string(port), "s1", "m1"), 0);
    }
  }

  ChildProcess* eve = StartListen(*a_, "eve", "s2", "m2", &ready);
  ASSERT_NE(eve, nullptr);
  const std::string eve_port = std::to_string(ready["port"].get<int>());
  ASSERT_GE(ready["port"], 14000) << "the first port of a fresh host lies in the first range";
  ASSERT_LT(ready["port"], 14200);

  const std::vector<qz_test::Row> rows = table_->Rows();
  const auto at_eve = [&](const qz_test::Row& r) {
    return r.ip == a_->address && r.port == eve_port;
  };
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(), at_eve), 1);
  const auto eve_row = std::find_if(rows.begin(), rows.end(), at_eve);
  ASSERT_NE(eve_row, rows.end());
  EXPECT_EQ(eve_row->user, "eve");
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](const auto& r) { return r.user == "dan"; }),
            199)
      << "only the row at eve's endpoint goes";

  // dan's other rows lead nowhere; eve hears only what is meant for her.
  const RunResult to_dan = Send(*b_, "sb", {"--to-user", "dan", "for dan"});
  ASSERT_TRUE(to_dan.exit_code) << "send did not end";
  ASSERT_EQ(Send(*b_, "sb", {"--to-user", "eve", "for eve"}).exit_code, 0);
  EXPECT_EQ(ReceivedUntil(*eve, "for eve"), std::vector<std::string>{"for eve from sb"});
}

INSTANTIATE_TEST_SUITE_P(Backends, LanStaleRowTest,
                         testing::Values(Backend::kPostgres, Backend::kSqlite),
                         qz_test::BackendName);

}  // namespace
}  // namespace qz_lan
