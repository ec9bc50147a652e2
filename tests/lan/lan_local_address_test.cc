// The address a client publishes without --local-ip on hosts without a default route: always
// one of a link that is up, never loopback (each host maps the machine's name to 127.0.1.1);
// none at all refuses the login. A published address no link that is up holds is warned about.
#include <gtest/gtest.h>

#include <string>

#include "lan/lan_fixture.h"

namespace qz_lan {
namespace {

using qz_test::kExitTimeout;
using qz_test::NextMessage;

class LanLocalAddressTest : public LanSqliteTest {
 protected:
  // Host m: eth0 at .40 and eth1 at .41, no default route.
  void SetUp() override {
    LanSqliteTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string why_not;
    m_ = lan_->AddHost("m", 40, &why_not);
    ASSERT_NE(m_, nullptr) << why_not;
    ASSERT_TRUE(lan_->AddLink(*m_, "eth1", 41, &why_not)) << why_not;
    const RunResult routes = lan_->RunIn(*m_, {"ip", "-4", "route", "show", "default"});
    ASSERT_EQ(routes.exit_code, 0);
    ASSERT_EQ(routes.out, "") << "host m must have no default route";
  }

  // The address `listen` publishes on m without --local-ip; it is then sent a message from a
  // and must hear it. Empty when it did not start.
  std::string PublishedAndReached(const std::string& user) {
    json ready;
    ChildProcess* listener = StartListen(*m_, user, "s1", "m1", &ready, /*local_ip=*/false);
    if (listener == nullptr) return "";
    const RunResult sent = Send(*a_, "sa", {"--to-user", user, "hello " + user});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(ReceivedUntil(*listener, "hello " + user),
              std::vector<std::string>{"hello " + user + " from sa"});
    EXPECT_EQ(listener->stderr_text().find("warning"), std::string::npos)
        << listener->stderr_text();
    return ready["ip"];
  }

  // `send` on m as user with extra options, to its end.
  RunResult SendFromM(const std::string& user, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--user", user, "--to-user", "nobody", "--json"};
    args.insert(args.begin(), extra.begin(), extra.end());
    args.push_back("to nobody");
    return qz_test::RunToEnd(Qzmsg(*m_, "send", args, /*local_ip=*/false), kExitTimeout);
  }

  const Host* m_ = nullptr;
};

TEST_F(LanLocalAddressTest, WithoutADefaultRouteALinkThatIsUpIsPublished) {
  EXPECT_EQ(PublishedAndReached("mia"), m_->address) << "the first link that is up";
  std::string why_not;
  ASSERT_TRUE(lan_->SetLink(*m_, "eth0", false, &why_not)) << why_not;
  EXPECT_EQ(PublishedAndReached("max"), LanAddress(41)) << "eth0 is down: the other link";
}

TEST_F(LanLocalAddressTest, OnlyLoopbackLeftRefusesTheLoginUnlessTheHostSetsIt) {
  std::string why_not;
  ASSERT_TRUE(lan_->SetLink(*m_, "eth0", false, &why_not)) << why_not;
  ASSERT_TRUE(lan_->SetLink(*m_, "eth1", false, &why_not)) << why_not;
  const RunResult refused = SendFromM("mo", {});
  ASSERT_TRUE(refused.exit_code) << "send did not end";
  EXPECT_EQ(*refused.exit_code, 1) << refused.err;
  EXPECT_NE(refused.err.find("--local-ip"), std::string::npos) << refused.err;
  for (const qz_test::Row& row : table_->Rows()) {
    EXPECT_NE(row.user, "mo") << "a row at " << row.ip << " was published";
  }

  const RunResult told = SendFromM("mo", {"--local-ip", "127.0.0.1"});
  ASSERT_TRUE(told.exit_code) << "send did not end";
  EXPECT_NE(*told.exit_code, 1) << told.err;
  EXPECT_EQ(told.err.find("warning"), std::string::npos) << told.err;
}

TEST_F(LanLocalAddressTest, AnAddressNoLinkThatIsUpHoldsIsWarnedAbout) {
  std::string why_not;
  ASSERT_TRUE(lan_->SetLink(*m_, "eth1", false, &why_not)) << why_not;
  for (const std::string& address : {LanAddress(41), LanAddress(99)}) {  // link down; no link
    const RunResult sent = SendFromM("mo", {"--local-ip", address});
    ASSERT_TRUE(sent.exit_code) << "send did not end";
    EXPECT_NE(sent.err.find("warning: no interface of this machine that is up has the published "
                            "address " +
                            address),
              std::string::npos)
        << sent.err;
  }
  const RunResult up = SendFromM("mo", {"--local-ip", m_->address});
  ASSERT_TRUE(up.exit_code) << "send did not end";
  EXPECT_EQ(up.err.find("warning"), std::string::npos) << up.err;
}

}  // namespace
}  // namespace qz_lan
