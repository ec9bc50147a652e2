// Delivery between hosts of a LAN: broadcasts and filtered sends, the local port a sender picks
// for each recipient, and the address a client publishes by itself.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "lan/lan_fixture.h"

namespace qz_lan {
namespace {

using qz_test::kMessageTimeout;
using qz_test::NextMessage;
using qz_test::ParseJson;
using qz_test::PlainPeer;

// The delivery lines of a `send --json`: recipient user -> "ADDRESS sent" or "ADDRESS failed".
std::map<std::string, std::string> Deliveries(const RunResult& sent) {
  std::map<std::string, std::string> deliveries;
  std::istringstream lines(sent.out);
  for (std::string line; std::getline(lines, line);) {
    std::optional<json> event = ParseJson(line);
    if (!event || (*event)["event"] != "delivery") continue;
    deliveries[(*event)["user"]] =
        (*event)["ip"].get<std::string>() + ((*event)["sent"] == true ? " sent" : " failed");
  }
  return deliveries;
}

TEST_P(LanTest, BroadcastsAndFiltersReachEachRecipientOnce) {
  struct Listener {
    const Host* host;
    std::string user, sys, mod;
    std::vector<std::string> expected;
    ChildProcess* process = nullptr;
  };
  std::vector<Listener> listeners = {
      {a_, "ann", "s1", "m1", {"hello from sa", "for ann from sc", "for s1/m1 from sd"}},
      {b_, "ben", "s1", "m2", {"hello from sa", "for m2 from sd"}},
      {c_, "cat", "s2", "m2", {"hello from sa", "for s2 from sb", "for m2 from sd"}},
      {d_, "dan", "s2", "m1", {"hello from sa", "for s2 from sb"}}};
  for (Listener& l : listeners) {
    json ready;
    l.process = StartListen(*l.host, l.user, l.sys, l.mod, &ready);
    ASSERT_NE(l.process, nullptr);
    EXPECT_EQ(ready["ip"], l.host->address) << l.user;
    l.expected.push_back("end from sa");
    std::sort(l.expected.begin(), l.expected.end());
  }

  const RunResult hello = Send(*a_, "sa", {"hello"});
  ASSERT_EQ(hello.exit_code, 0) << hello.err;
  // Every listener, and the sender's own row, was reached at the address of its host.
  EXPECT_EQ(Deliveries(hello), (std::map<std::string, std::string>{{"ann", a_->address + " sent"},
                                                                   {"ben", b_->address + " sent"},
                                                                   {"cat", c_->address + " sent"},
                                                                   {"dan", d_->address + " sent"},
                                                                   {"sa", a_->address + " sent"}}));
  const std::vector<std::pair<const Host*, std::vector<std::string>>> filtered = {
      {b_, {"--to-sys", "s2", "for s2"}},
      {c_, {"--to-user", "ann", "for ann"}},
      {d_, {"--to-mod", "m2", "for m2"}},
      {d_, {"--to-sys", "s1", "--to-mod", "m1", "for s1/m1"}}};
  for (const auto& [host, args] : filtered) {
    const RunResult sent = Send(*host, "s" + host->name, args);
    ASSERT_EQ(sent.exit_code, 0) << args.back() << ": " << sent.err;
  }
  ASSERT_EQ(Send(*a_, "sa", {"end"}).exit_code, 0);

  for (Listener& l : listeners) {
    std::vector<std::string> received = ReceivedUntil(*l.process, "end");
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, l.expected) << l.user << " on " << l.host->name;
    EXPECT_EQ(l.process->Wait(qz_test::kExitTimeout), 0) << l.process->stderr_text();
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, LanTest, testing::Values(Backend::kPostgres, Backend::kSqlite),
                         qz_test::BackendName);

// Listening sockets on every port from..to of the host's namespace, so that no other socket
// there can be bound to one of them.
class HeldPorts {
 public:
  HeldPorts(const NetnsLan& lan, const Host& host, int from, int to) {
    lan.RunInside(host, [&] {
      for (int port = from; port <= to; ++port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(fd, 1) == 0) {
          fds_.push_back(fd);
        } else if (fd >= 0) {
          close(fd);
        }
      }
    });
  }
  ~HeldPorts() {
    for (int fd : fds_) close(fd);
  }
  size_t count() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};

// A sender binds its end of each delivery to a port picked from the recipient's address: the
// first candidate lies in 9000 + b .. 9199 + b, b being the address's last number, and the walk
// goes upwards from there past the ports in use. Seen from each recipient as the peer's port.
TEST_F(LanSqliteTest, OutboundPortFollowsTheRecipientsAddress) {
  std::map<const Host*, std::unique_ptr<PlainPeer>> peers;
  for (const Host* host : {b_, c_, d_}) {
    ASSERT_TRUE(lan_->RunInside(*host, [&] { peers[host] = PlainPeer::Listen(host->address); }));
    ASSERT_NE(peers[host], nullptr) << host->name;
    ASSERT_GT(table_->Insert("peer" + host->name, host->address,
                             std::to_string(peers[host]->port()), "peers", "m"),
              0);
  }
  // On the sender's host, d's whole first range is taken: its delivery must walk past it.
  const int d_first = 9000 + d_->last_number;
  const HeldPorts held(*lan_, *a_, d_first, d_first + 199);
  ASSERT_EQ(held.count(), 200u);

  const RunResult sent = Send(*a_, "sa", {"--to-sys", "peers", "which port?"});
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  for (const Host* host : {b_, c_, d_}) {
    const std::optional<std::string> payload = peers[host]->ReceiveOne(kMessageTimeout);
    ASSERT_TRUE(payload) << "nothing arrived on " << host->name;
    EXPECT_EQ(payload->rfind("YHwhich port?", 0), 0u) << *payload;
    EXPECT_EQ(peers[host]->last_peer_address(), a_->address);
    const int lowest = host == d_ ? d_first + 200 : 9000 + host->last_number;
    EXPECT_GE(peers[host]->last_peer_port(), lowest) << "to " << host->address;
  }
}

// Without --local-ip a client publishes the address of the link that carries the default
// route; here that is not the host's first link.
TEST_F(LanSqliteTest, PublishedAddressIsThatOfTheDefaultRoute) {
  std::string why_not;
  const Host* m = lan_->AddHost("m", 40, &why_not);
  ASSERT_NE(m, nullptr) << why_not;
  const std::string routed = LanAddress(41);
  ASSERT_TRUE(lan_->AddLink(*m, "eth1", 41, &why_not)) << why_not;
  ASSERT_TRUE(lan_->SetDefaultRoute(*m, "eth1", &why_not)) << why_not;
  const RunResult addresses = lan_->RunIn(*m, {"ip", "-o", "-4", "address", "show"});
  ASSERT_LT(addresses.out.find(m->address + "/"), addresses.out.find(routed + "/"))
      << "eth0's address must be listed first for this case to tell the two apart:\n"
      << addresses.out;

  json ready;
  ChildProcess* mia = StartListen(*m, "mia", "s1", "m1", &ready, /*local_ip=*/false);
  ASSERT_NE(mia, nullptr);
  EXPECT_EQ(ready["ip"], routed);
  std::vector<json> rows = Who(*a_);
  auto row =
      std::find_if(rows.begin(), rows.end(), [](const json& r) { return r["user"] == "mia"; });
  ASSERT_NE(row, rows.end());
  EXPECT_EQ((*row)["ip"], routed);
  EXPECT_NE((*row)["ip"].get<std::string>().rfind("127.", 0), 0u);

  // The published address reaches the client.
  const RunResult sent = Send(*a_, "sa", {"--to-user", "mia", "over the route"});
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  std::optional<json> message = NextMessage(*mia);
  ASSERT_TRUE(message) << mia->stderr_text();
  EXPECT_EQ((*message)["msg"], "over the route");
}

}  // namespace
}  // namespace qz_lan
