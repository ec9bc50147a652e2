// The socket control when the process runs out of descriptors. Each case runs in a fresh child
// process (a death test of the "threadsafe" style re-executes this binary) with a soft limit of
// 64 descriptors, so that exhausting them touches nothing else of the test run. Inside, failures
// are exit codes with a line on stderr, which the death test shows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/descriptors.h"
#include "platform/event_loop.h"
#include "platform/socket_control.h"
#include "platform/testing/process_testing.h"

namespace qz::platform {
namespace {

using std::chrono::milliseconds;
using testing::ChildProcess;
using testing::DescriptorFiller;
using testing::Pipe;

// Accepts every request on a control of its own and collects what each sends until it closes.
class Acceptor : public SocketEvents, public std::enable_shared_from_this<Acceptor> {
 public:
  class Connection : public SocketEvents {
   public:
    void OnDataArrival(int32_t) override {
      std::string chunk;
      if (ctl.GetData(chunk).ok()) bytes += chunk;
    }
    void OnClose() override {
      ctl.Close();
      closed = true;
    }
    void OnError(int32_t, const std::string&, bool&) override {
      ctl.Close();
      closed = true;
    }
    SocketControl ctl;
    std::string bytes;
    bool closed = false;
  };

  bool Listen() {
    listener.SetEvents(weak_from_this());
    return listener.Listen().ok();
  }
  void OnConnectionRequest(int32_t id) override {
    ++requests;
    auto c = std::make_shared<Connection>();
    c->ctl.SetEvents(c);
    if (c->ctl.Accept(id).ok()) connections.push_back(c);
  }
  // What the closed connections delivered, joined.
  std::string Delivered() const {
    std::string all;
    for (const auto& c : connections) {
      if (c->closed) all += c->bytes;
    }
    return all;
  }

  SocketControl listener;
  std::vector<std::shared_ptr<Connection>> connections;
  int requests = 0;
};

int Fail(int code, const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return code;
}

// Runs the loop until done() or timeout, returning done(); *passes counts the loop's passes.
// The slices are short because what the tests wait for (a pipe) is not watched by the loop.
bool RunCounting(const std::function<bool()>& done, milliseconds timeout, int* passes) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (EventLoop::Current().RunUntil(
            [&] {
              ++*passes;
              return done();
            },
            milliseconds(20))) {
      return true;
    }
  }
  return done();
}

// A child that connects to port, sends bytes, and reports on `report` whether the listener's
// side closed the connection within a few seconds ('c') or not ('t').
std::unique_ptr<ChildProcess> Sender(uint16_t port, const std::string& bytes, const Pipe& report,
                                     bool await_close) {
  return std::make_unique<ChildProcess>(
      [port, bytes, &report, await_close] {
        const int fd = testing::RawConnect(port);
        if (fd < 0) return 2;
        if (!bytes.empty() && !testing::RawSendAll(fd, bytes)) return 3;
        if (!await_close) {
          testing::RawClose(fd);
          return 0;
        }
        report.Write(testing::RawAwaitPeerClose(fd, milliseconds(4000)) ? 'c' : 't');
        return 0;
      },
      std::vector<int>{report.write_fd()});
}

// One whole exchange while descriptors are plentiful. The undefined-behaviour sanitizer checks
// each dynamic type once, with a pipe: it must have seen every type here before they run out.
bool WarmUp() {
  auto acceptor = std::make_shared<Acceptor>();
  if (!acceptor->Listen()) return false;
  Pipe unused;
  auto sender = Sender(static_cast<uint16_t>(acceptor->listener.LocalPort()), "YHwarm", unused,
                       /*await_close=*/false);
  const bool delivered = EventLoop::Current().RunUntil(
      [&] { return acceptor->Delivered() == "YHwarm"; }, milliseconds(5000));
  return sender->Wait(milliseconds(5000)) == 0 && delivered;
}

int ListenerWithASpareDropsRequestsAndRecovers() {
  if (!testing::SetDescriptorLimit(64)) return Fail(10, "cannot lower the descriptor limit");
  if (!WarmUp()) return Fail(9, "a first exchange failed");
  auto acceptor = std::make_shared<Acceptor>();
  if (!acceptor->Listen()) return Fail(11, "Listen failed");
  const auto port = static_cast<uint16_t>(acceptor->listener.LocalPort());
  Pipe report;

  DescriptorFiller filler;
  filler.Fill();
  auto first = Sender(port, "dropped", report, /*await_close=*/true);
  int passes = 0;
  char answer = '\0';
  if (!RunCounting([&] { return (answer = report.TryRead()) != '\0'; }, milliseconds(6000),
                   &passes)) {
    return Fail(12, "the sender never reported");
  }
  if (answer != 'c') return Fail(13, "the request stayed queued: nobody closed it");
  if (acceptor->requests != 0) return Fail(14, "a request was raised without a descriptor");

  passes = 0;
  RunCounting([] { return false; }, milliseconds(200), &passes);
  if (passes > 40) return Fail(15, "the loop spins while descriptors are short");

  filler.Release();
  auto second = Sender(port, "YHafter", report, /*await_close=*/false);
  if (!EventLoop::Current().RunUntil([&] { return acceptor->Delivered() == "YHafter"; },
                                     milliseconds(5000))) {
    return Fail(16, "no request was accepted after descriptors were freed");
  }
  return first->Wait(milliseconds(5000)) == 0 && second->Wait(milliseconds(5000)) == 0
             ? 0
             : Fail(17, "a sender failed");
}

int ListenerWithoutASpareWaitsForAFreedDescriptor() {
  if (!testing::SetDescriptorLimit(64)) return Fail(10, "cannot lower the descriptor limit");
  if (!WarmUp()) return Fail(9, "a first exchange failed");
  auto acceptor = std::make_shared<Acceptor>();
  Pipe report;
  DescriptorFiller filler;
  filler.Fill(/*leave=*/1);  // the listener takes the last one, and no spare is left
  if (!acceptor->Listen()) return Fail(11, "Listen failed");
  const auto port = static_cast<uint16_t>(acceptor->listener.LocalPort());
  auto sender = Sender(port, "YHqueued", report, /*await_close=*/false);
  if (sender->Wait(milliseconds(5000)) != 0) return Fail(12, "the sender failed");

  int passes = 0;
  RunCounting([] { return false; }, milliseconds(200), &passes);
  if (passes > 40) return Fail(13, "the loop spins while descriptors are short");
  if (acceptor->requests != 0) return Fail(14, "a request was raised without a descriptor");

  // Another control of the thread ends and frees a descriptor: the listener takes the request.
  filler.Release(4);
  SocketControl other;
  if (!other.Listen().ok()) return Fail(15, "a second Listen failed");
  other.Close();
  if (!EventLoop::Current().RunUntil([&] { return acceptor->Delivered() == "YHqueued"; },
                                     milliseconds(5000))) {
    return Fail(16, "the queued request was not accepted after a descriptor was freed");
  }
  return 0;
}

class SocketControlExhaustionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLocalIPOverride("127.0.0.1");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

TEST_F(SocketControlExhaustionTest, AListenerOutOfDescriptorsDropsRequestsAndRecovers) {
  EXPECT_EXIT(_exit(ListenerWithASpareDropsRequestsAndRecovers()), ::testing::ExitedWithCode(0),
              "");
}

TEST_F(SocketControlExhaustionTest, AListenerWithoutASpareWaitsForAFreedDescriptor) {
  EXPECT_EXIT(_exit(ListenerWithoutASpareWaitsForAFreedDescriptor()), ::testing::ExitedWithCode(0),
              "");
}

// The limit is kept for a second between reads; a change this process makes shows at once.
TEST(DescriptorLimitTest, AChangeMadeInTheProcessShowsAtOnce) {
  const size_t before = OpenDescriptorLimit();
  {
    testing::ScopedDescriptorLimit lowered(300);
    ASSERT_TRUE(lowered.ok());
    EXPECT_EQ(OpenDescriptorLimit(), 300u);
    ASSERT_TRUE(testing::SetDescriptorLimit(200));
    EXPECT_EQ(OpenDescriptorLimit(), 200u);
  }
  EXPECT_EQ(OpenDescriptorLimit(), before);
}

}  // namespace
}  // namespace qz::platform
