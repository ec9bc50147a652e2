// Delivery over a lossy, jittery LAN: the hosts share a user-space hub (lossy_hub.h) that drops
// 5% of the frames and holds each for 0 to 20 ms, so that frames also arrive out of order. TCP
// must make up for all of it: every message arrives, and only once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "lan/lan_fixture.h"
#include "lan/lossy_hub.h"

namespace qz_lan {
namespace {

using namespace std::chrono_literals;
using qz_test::ParseJson;

class LanLossyTest : public LanSqliteTest {
 protected:
  void SetUp() override {
    std::string why_not;
    hub_ = LossyHub::Create(HubFaults{}, &why_not);
    // Without root the LAN's own skip says why.
    if (!hub_ && geteuid() == 0) return SkipOrFail(why_not);
    LanSqliteTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    hub_->Start();
  }
  void TearDown() override {
    children_.clear();  // nothing may run on the links the hub is about to remove
    hub_.reset();
    LanSqliteTest::TearDown();
  }
  const Host* AddLanHost(const std::string& name, int last_number, std::string* why_not) override {
    const Host* host = lan_->AddHostWithoutLink(name, last_number, why_not);
    if (host == nullptr || !hub_->Attach(*lan_, *host, why_not)) return nullptr;
    return host;
  }

  std::unique_ptr<LossyHub> hub_;
};

// A chat that reads its lines from a pipe: one login for many messages.
struct Sender {
  const Host* host;
  std::string user;
  ChildProcess* process = nullptr;
  std::string lines;
};

// The delivery lines of a `chat --json` to the users given: how many were sent, and the failures
// as they were printed.
std::pair<int, std::string> SentDeliveries(const std::string& out,
                                           const std::map<std::string, ChildProcess*>& to) {
  int sent = 0;
  std::string failures;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::optional<json> event = ParseJson(line);
    if (!event || (*event)["event"] != "delivery" || !to.count((*event)["user"])) continue;
    if ((*event)["sent"] == true) {
      ++sent;
    } else {
      failures += line + "\n";
    }
  }
  return {sent, failures};
}

TEST_F(LanLossyTest, EveryMessageArrivesExactlyOnce) {
  const std::vector<std::pair<const Host*, std::string>> listen_at = {
      {b_, "ben"}, {c_, "cat"}, {d_, "dan"}};
  std::map<std::string, ChildProcess*> listeners;
  std::map<std::string, std::vector<std::string>> expected;
  for (const auto& [host, user] : listen_at) {
    json ready;
    listeners[user] = StartListen(*host, user, "s1", "m1", &ready);
    ASSERT_NE(listeners[user], nullptr);
  }
  std::vector<Sender> senders = {{a_, "sa", nullptr, ""}, {d_, "sd", nullptr, ""}};
  for (Sender& s : senders) {
    s.process =
        Start(*s.host, "chat", {"--user", s.user, "--sys", "s2", "--json", "--wait-ms", "30000"});
    ASSERT_NE(s.process, nullptr);
    std::optional<json> ready = ParseJson(s.process->ReadLine(qz_test::kStartTimeout));
    ASSERT_TRUE(ready && (*ready)["event"] == "ready") << s.process->stderr_text();
  }

  // 25 messages from each chat: every fifth one to everybody, the others to one listener each.
  // A broadcast also reaches both chats; a chat that has finished may have logged out by then,
  // so only the deliveries to the listeners are counted.
  int deliveries = 0;
  for (Sender& s : senders) {
    for (int i = 0; i < 25; ++i) {
      const std::string text = s.user + " " + std::to_string(i);
      if (i % 5 == 0) {
        s.lines += text + "\n";
        for (const auto& [host, user] : listen_at)
          expected[user].push_back(text + " from " + s.user);
        deliveries += static_cast<int>(listen_at.size());
      } else {
        const std::string& to = listen_at[i % listen_at.size()].second;
        s.lines += "/to " + to + " " + text + "\n";
        expected[to].push_back(text + " from " + s.user);
        ++deliveries;
      }
    }
  }
  for (Sender& s : senders) {
    ASSERT_TRUE(s.process->Write(s.lines));
    s.process->CloseStdin();
  }
  int sent = 0;
  for (Sender& s : senders) {
    ASSERT_EQ(s.process->Wait(60000ms), 0) << s.user << ": " << s.process->stderr_text();
    const auto [count, failures] = SentDeliveries(s.process->unread_stdout(), listeners);
    EXPECT_EQ(failures, "") << s.user;
    sent += count;
  }
  EXPECT_EQ(sent, deliveries);

  for (auto& [user, listener] : listeners) {
    // A segment lost again and again waits for TCP's growing retransmission time-out: seconds.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::vector<std::string> received;
    while (received.size() < expected[user].size()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      std::optional<json> m = ParseJson(listener->ReadLine(std::max(left, 0ms)));
      if (!m) break;
      received.push_back((*m)["msg"].get<std::string>() + " from " +
                         (*m)["user"].get<std::string>());
    }
    std::sort(received.begin(), received.end());
    std::sort(expected[user].begin(), expected[user].end());
    EXPECT_EQ(received, expected[user]) << user;
  }
  // Nothing more was on its way: the next message each listener prints is the last one.
  ASSERT_EQ(Send(*a_, "se", {"--to-sys", "s1", "end"}).exit_code, 0);
  for (auto& [user, listener] : listeners) {
    EXPECT_EQ(ReceivedUntil(*listener, "end"), std::vector<std::string>{"end from se"}) << user;
  }
  EXPECT_GT(hub_->dropped(), 0) << "the hub lost nothing: the case proves nothing";
}

}  // namespace
}  // namespace qz_lan
