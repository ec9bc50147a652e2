// Whole exchanges between objects of one thread, over real loopback sockets and a real SQLite
// presence table reached through the data-access library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/trim_cstring.h"
#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "qzpub.h"

namespace qz {
namespace {

using std::chrono::milliseconds;

struct Received {
  std::string msg, user, sys, mod;
};

class Inbox : public QZCLS_NetMessageEvents {
 public:
  void acceptMessage(const std::string& msg, const std::string& UserName,
                     const std::string& SysName, const std::string& MdlName) override {
    messages.push_back({msg, UserName, SysName, MdlName});
    if (on_message) on_message(messages.back());
  }
  void deliveryEnded(const DeliveryOutcome& outcome) override { outcomes.push_back(outcome); }
  std::vector<Received> messages;
  std::vector<DeliveryOutcome> outcomes;
  std::function<void(const Received&)> on_message;
};

class Client {
 public:
  explicit Client(int32_t db) : db_(db) { cookie_ = *net.Advise(&inbox); }
  Status Login(const std::string& user, const std::string& sys, const std::string& mod) {
    return net.Init(db_, user, sys, mod, user + " full", "std1");
  }
  QZCLS_NetMessage net;
  Inbox inbox;

 private:
  int32_t db_;
  uint32_t cookie_ = 0;
};

class NetMessageE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLocalIPOverride("127.0.0.1");
    char dir[] = "/tmp/qz_e2e_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    db_ = qzpub_Connect(("sqlite:" + dir_ + "/presence.db").c_str());
    ASSERT_GT(db_, 0) << qzpub_LastError();
  }
  void TearDown() override {
    qzpub_Disconnect(db_);
    std::filesystem::remove_all(dir_);
  }

  // Runs the loop until every client has received `count` messages, or 5 s.
  static bool AwaitMessages(const std::vector<Client*>& clients, size_t count) {
    return loop::RunUntil(
        [&] {
          for (Client* c : clients) {
            if (c->inbox.messages.size() < count) return false;
          }
          return true;
        },
        milliseconds(5000));
  }

  int RowCount() {
    YHDLRecord r{};
    int n = 0;
    int32_t cursor = userYHDL_GetFirst(db_, &r, "");
    if (cursor <= 0) return 0;
    do ++n;
    while (userYHDL_GetNext(cursor, &r) == 1);
    return n;
  }

  std::string dir_;
  int32_t db_ = 0;
};

TEST_F(NetMessageE2eTest, BroadcastReachesEveryClientTheSenderIncluded) {
  Client alice(db_), bob(db_);
  ASSERT_TRUE(alice.Login("alice", "ERP", "Sales").ok());
  ASSERT_TRUE(bob.Login("bob", "ERP", "Stock").ok());
  EXPECT_EQ(RowCount(), 2);

  ASSERT_TRUE(alice.net.SendMessage("hello all").ok());
  ASSERT_TRUE(AwaitMessages({&alice, &bob}, 1));
  for (Client* c : {&alice, &bob}) {
    ASSERT_EQ(c->inbox.messages.size(), 1u);
    EXPECT_EQ(c->inbox.messages[0].msg, "hello all");
    EXPECT_EQ(c->inbox.messages[0].user, "alice");
    EXPECT_EQ(c->inbox.messages[0].sys, "ERP");
    EXPECT_EQ(c->inbox.messages[0].mod, "Sales");
  }
  ASSERT_TRUE(alice.net.LogOut().ok());
  ASSERT_TRUE(bob.net.LogOut().ok());
  EXPECT_EQ(RowCount(), 0);
}

TEST_F(NetMessageE2eTest, FiltersSelectTheRecipients) {
  Client a(db_), b(db_), c(db_);
  ASSERT_TRUE(a.Login("ann", "ERP", "Sales").ok());
  ASSERT_TRUE(b.Login("ben", "ERP", "Stock").ok());
  ASSERT_TRUE(c.Login("cid", "HR", "Sales").ok());

  struct Case {
    std::string user, sys, mod;
    std::vector<Client*> expected;
  };
  const std::vector<Case> cases = {
      {"ben", "", "", {&b}},      {"", "ERP", "", {&a, &b}},    {"", "", "Sales", {&a, &c}},
      {"", "ERP", "Sales", {&a}}, {"cid", "HR", "Sales", {&c}}, {"ann", "HR", "", {}},
      {"ben  ", "", "   ", {&b}},
  };
  for (const Case& k : cases) {
    for (Client* x : {&a, &b, &c}) x->inbox.messages.clear();
    std::string user = k.user, sys = k.sys, mod = k.mod;
    ASSERT_TRUE(a.net.SendMessage("to " + k.user + "/" + k.sys + "/" + k.mod, user, sys, mod).ok());
    EXPECT_EQ(user, TrimCString(k.user));
    if (!k.expected.empty()) {
      ASSERT_TRUE(AwaitMessages(k.expected, 1));
    }
    loop::RunFor(milliseconds(50));  // a wrongly addressed message would have arrived by now
    for (Client* x : {&a, &b, &c}) {
      const bool expected = std::find(k.expected.begin(), k.expected.end(), x) != k.expected.end();
      EXPECT_EQ(x->inbox.messages.size(), expected ? 1u : 0u)
          << "filter " << k.user << "/" << k.sys << "/" << k.mod;
    }
  }
}

// Run under a UTF-8 and under a GBK locale (CMakeLists.txt): text crosses the wire and the table
// in the system code page and comes back as it was.
TEST_F(NetMessageE2eTest, NonAsciiTextArrivesIntact) {
  const std::string zhong = "\xE4\xB8\xAD\xE6\x96\x87";  // two Chinese characters
  Client a(db_), b(db_);
  ASSERT_TRUE(a.Login(zhong, zhong + "ERP", "Sales").ok());
  ASSERT_TRUE(b.Login("bob", "ERP", zhong).ok());
  ASSERT_TRUE(a.net.SendMessage(zhong + " hello", "", "", zhong).ok());
  ASSERT_TRUE(AwaitMessages({&b}, 1));
  EXPECT_EQ(b.inbox.messages[0].msg, zhong + " hello");
  EXPECT_EQ(b.inbox.messages[0].user, zhong);
  EXPECT_EQ(b.inbox.messages[0].sys, zhong + "ERP");
  loop::RunFor(milliseconds(50));
  EXPECT_TRUE(a.inbox.messages.empty());  // the module filter matched b's row only
}

TEST_F(NetMessageE2eTest, HandlerMaySendReentrantly) {
  Client alice(db_), bob(db_);
  ASSERT_TRUE(alice.Login("alice", "ERP", "Sales").ok());
  ASSERT_TRUE(bob.Login("bob", "ERP", "Stock").ok());
  bob.inbox.on_message = [&](const Received& m) {
    if (m.msg == "ping") {
      ASSERT_TRUE(bob.net.SendMessage("pong", "alice").ok());
    }
  };
  ASSERT_TRUE(alice.net.SendMessage("ping", "bob").ok());
  ASSERT_TRUE(loop::RunUntil([&] { return !alice.inbox.messages.empty(); }, milliseconds(5000)));
  EXPECT_EQ(alice.inbox.messages[0].msg, "pong");
  EXPECT_EQ(alice.inbox.messages[0].user, "bob");
}

TEST_F(NetMessageE2eTest, ARecipientThatDoesNotListenKeepsNoOneElseWaiting) {
  Client alice(db_), bob(db_);
  ASSERT_TRUE(alice.Login("alice", "ERP", "Sales").ok());
  // A stale row whose port nobody listens on, ahead of bob's row.
  YHDLRecord stale{};
  std::snprintf(stale.YH01, sizeof stale.YH01, "ghost");
  std::snprintf(stale.YH02, sizeof stale.YH02, "127.0.0.1");
  std::snprintf(stale.YH03, sizeof stale.YH03, "1");
  char now[QZPUB_DATE_BUFFER_SIZE] = {};
  ASSERT_EQ(odbc_GetSysDateStr(db_, now), 1);
  std::memcpy(stale.YH08, now, 19);  // young enough to survive the purge
  ASSERT_EQ(userYHDL_Insert(db_, &stale), 1);
  ASSERT_TRUE(bob.Login("bob", "ERP", "Stock").ok());

  size_t started = 0;
  ASSERT_TRUE(alice.net.SendMessage("still here", "", "", "", started).ok());
  EXPECT_EQ(started, 3u);
  ASSERT_TRUE(AwaitMessages({&alice, &bob}, 1));

  // The sender hears how each delivery ended, once, with the row it went to.
  ASSERT_TRUE(loop::RunUntil([&] { return alice.inbox.outcomes.size() == 3; }, milliseconds(5000)));
  for (const DeliveryOutcome& o : alice.inbox.outcomes) {
    EXPECT_EQ(o.address, "127.0.0.1");
    if (o.UserName == "ghost") {
      EXPECT_EQ(o.port, 1);
      EXPECT_FALSE(o.sent());
      EXPECT_EQ(o.status.code(), errc::kWsaConnectionRefused) << o.status.ToString();
    } else {
      EXPECT_TRUE(o.sent()) << o.UserName << ": " << o.status.ToString();
      EXPECT_EQ(o.SysName, "ERP");
      EXPECT_EQ(o.MdlName, o.UserName == "alice" ? "Sales" : "Stock");
      const Client& to = o.UserName == "alice" ? alice : bob;
      EXPECT_EQ(o.port, to.net.CurrentLogin()->port);
    }
  }
  EXPECT_TRUE(bob.inbox.outcomes.empty()) << "only the sender hears of its deliveries";
}

TEST_F(NetMessageE2eTest, InitLogOutInitAndDoubleLogOut) {
  Client alice(db_);
  ASSERT_TRUE(alice.Login("alice", "ERP", "Sales").ok());
  ASSERT_TRUE(alice.net.LogOut().ok());
  EXPECT_EQ(alice.net.LogOut().code(), errc::kObjectNotSet);
  ASSERT_TRUE(alice.Login("alice", "ERP", "Sales").ok());
  EXPECT_EQ(RowCount(), 1);
  ASSERT_TRUE(alice.net.SendMessage("again").ok());
  ASSERT_TRUE(AwaitMessages({&alice}, 1));
}

TEST_F(NetMessageE2eTest, SecondLoginOfTheSameNamesAndAddressReplacesTheFirstRow) {
  Client first(db_), second(db_);
  ASSERT_TRUE(first.Login("alice", "ERP", "Sales").ok());
  ASSERT_TRUE(second.Login("alice", "ERP", "Sales").ok());
  EXPECT_EQ(RowCount(), 1);
  // Only the second client's row is left, so only it receives a broadcast.
  ASSERT_TRUE(second.net.SendMessage("who is there").ok());
  ASSERT_TRUE(AwaitMessages({&second}, 1));
  loop::RunFor(milliseconds(50));
  EXPECT_TRUE(first.inbox.messages.empty());
}

TEST_F(NetMessageE2eTest, DestroyingALoggedInObjectDeletesItsRow) {
  {
    Client alice(db_);
    ASSERT_TRUE(alice.Login("alice", "ERP", "Sales").ok());
    EXPECT_EQ(RowCount(), 1);
  }
  EXPECT_EQ(RowCount(), 0);
}

}  // namespace
}  // namespace qz
