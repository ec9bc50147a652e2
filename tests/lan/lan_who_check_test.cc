// who --check and prune between hosts: a live client, a port its host refuses, a host that
// drops everything and an address no host has. Only the refused row may go.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "lan/lan_fixture.h"

namespace qz_lan {
namespace {

using qz_test::kExitTimeout;
using qz_test::NextMessage;
using qz_test::ParseJson;

// user -> the JSON line of out about that user's row.
std::map<std::string, json> ByUser(const std::string& out) {
  std::map<std::string, json> by_user;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (std::optional<json> value = ParseJson(line)) by_user[(*value)["user"]] = *value;
  }
  return by_user;
}

TEST_F(LanSqliteTest, CheckAndPruneTellARefusalFromSilence) {
  json ready;
  ChildProcess* ben = StartListen(*b_, "ben", "s1", "m1", &ready);
  ASSERT_NE(ben, nullptr);
  ChildProcess* dan = StartListen(*d_, "dan", "s1", "m1", &ready);
  ASSERT_NE(dan, nullptr);
  // Nothing listens at c's port 9: c's kernel refuses. Nobody has .99: nothing answers.
  ASSERT_GT(table_->Insert("ghost", c_->address, "9", "s1", "m1"), 0);
  ASSERT_GT(table_->Insert("far", LanAddress(99), "14000", "s1", "m1"), 0);
  std::string why_not;
  if (!lan_->DropAll(*d_, &why_not)) return SkipOrFail(why_not);

  const RunResult checked =
      qz_test::RunToEnd(Qzmsg(*a_, "who", {"--check", "--json"}, false), kExitTimeout);
  ASSERT_EQ(checked.exit_code, 0) << checked.err;
  const std::map<std::string, std::string> expected = {
      {"ben", "live"}, {"ghost", "refused"}, {"dan", "no answer"}, {"far", "no answer"}};
  std::map<std::string, json> rows = ByUser(checked.out);
  ASSERT_EQ(rows.size(), expected.size()) << checked.out;
  for (const auto& [user, probe] : expected) {
    EXPECT_EQ(rows[user]["probe"], probe) << user;
    EXPECT_EQ(rows[user]["stale"], probe != "live") << user;
  }

  const RunResult pruned = qz_test::RunToEnd(Qzmsg(*a_, "prune", {"--json"}, false), kExitTimeout);
  ASSERT_EQ(pruned.exit_code, 0) << pruned.err;
  std::map<std::string, json> said = ByUser(pruned.out);
  EXPECT_EQ(said["ghost"]["event"], "prune") << pruned.out;
  EXPECT_EQ(said["dan"]["event"], "keep") << pruned.out;
  EXPECT_EQ(said["far"]["event"], "keep") << pruned.out;
  std::vector<std::string> left;
  for (const qz_test::Row& row : table_->Rows()) left.push_back(row.user);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"ben", "dan", "far"}));

  // The silent host was only away: back on the LAN, its client takes messages again.
  ASSERT_TRUE(lan_->AcceptAll(*d_, &why_not)) << why_not;
  const RunResult sent = Send(*a_, "sa", {"--to-user", "dan", "welcome back"});
  EXPECT_EQ(sent.exit_code, 0) << sent.err;
  std::optional<json> message = NextMessage(*dan);
  ASSERT_TRUE(message) << dan->stderr_text();
  EXPECT_EQ((*message)["msg"], "welcome back");
}

}  // namespace
}  // namespace qz_lan
