#include "platform/socket_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace qz::platform {
namespace {

// A connected pair of non-blocking stream sockets with small buffers, so that a few hundred
// KiB already fill them.
class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_), 0);
    const int size = 16 * 1024;
    for (int fd : fds_) {
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  void CloseEnd(int end) {
    ::close(fds_[end]);
    fds_[end] = -1;
  }

  int writer() const { return fds_[0]; }
  int reader() const { return fds_[1]; }

 private:
  int fds_[2] = {-1, -1};
};

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
  return s;
}

TEST_F(SocketStreamTest, ALongTransferArrivesWholeAndInOrderThroughAFullSocket) {
  // More than the 1 MiB after which the written prefix is dropped from the queue, added in
  // pieces while earlier ones still wait.
  const std::string payload = Pattern(3 * 1024 * 1024 + 17);
  SendQueue queue;
  std::string received;
  size_t appended = 0;
  int would_block = 0;
  while (received.size() < payload.size()) {
    if (appended < payload.size()) {
      const size_t piece = std::min<size_t>(700 * 1024, payload.size() - appended);
      queue.Append(std::string_view(payload).substr(appended, piece));
      appended += piece;
    }
    ASSERT_TRUE(queue.WriteTo(writer()).ok());
    if (queue.Unsent() != 0) ++would_block;
    std::string chunk;
    ASSERT_TRUE(ReceiveUpTo(reader(), 256 * 1024, chunk).ok());
    received += chunk;
  }
  EXPECT_EQ(queue.Unsent(), 0u);
  EXPECT_GT(would_block, 0);  // the socket did refuse bytes on the way
  EXPECT_TRUE(received == payload);
}

TEST_F(SocketStreamTest, AFirstWriteQueuesOnlyWhatTheSocketRefused) {
  const std::string payload = Pattern(3 * 1024 * 1024 + 5);
  SendQueue queue;
  ASSERT_TRUE(queue.WriteFirst(writer(), payload).ok());
  const size_t queued = queue.Unsent();
  EXPECT_GT(queued, 0u);
  EXPECT_LT(queued, payload.size());
  std::string received;
  while (received.size() < payload.size()) {
    std::string chunk;
    ASSERT_TRUE(ReceiveUpTo(reader(), 256 * 1024, chunk).ok());
    received += chunk;
    ASSERT_TRUE(queue.WriteTo(writer()).ok());
  }
  EXPECT_EQ(queue.Unsent(), 0u);
  EXPECT_TRUE(received == payload);
}

TEST_F(SocketStreamTest, WritingToAClosedPeerFailsWith10054AndKeepsTheBytes) {
  CloseEnd(1);
  SendQueue queue;
  queue.Append("lost");
  Status sent = queue.WriteTo(writer());  // no SIGPIPE either, or the test dies here
  EXPECT_EQ(sent.code(), errc::kWsaConnectionReset) << sent.ToString();
  EXPECT_EQ(queue.Unsent(), 4u);
  queue.Clear();
  EXPECT_EQ(queue.Unsent(), 0u);
}

TEST_F(SocketStreamTest, ReceiveUpToTakesWhatIsThereAndLeavesTheRest) {
  ASSERT_EQ(::write(writer(), "hello world", 11), 11);
  std::string out = "stale";
  ASSERT_TRUE(ReceiveUpTo(reader(), 5, out).ok());
  EXPECT_EQ(out, "hello");
  ASSERT_TRUE(ReceiveUpTo(reader(), 100, out).ok());  // fewer are readable: no waiting
  EXPECT_EQ(out, " world");
  ASSERT_TRUE(ReceiveUpTo(reader(), 100, out).ok());
  EXPECT_EQ(out, "");

  ASSERT_EQ(::write(writer(), "bye", 3), 3);
  CloseEnd(0);
  ASSERT_TRUE(ReceiveUpTo(reader(), 100, out).ok());  // the peer's close ends the read
  EXPECT_EQ(out, "bye");
}

TEST_F(SocketStreamTest, AReadUntilItWouldBlockTellsTheCloseThatCameWithTheData) {
  std::string out;
  bool closed = true;
  ASSERT_EQ(::write(writer(), "part", 4), 4);
  ASSERT_TRUE(ReceiveUpTo(reader(), 64 * 1024, out, &closed).ok());
  EXPECT_EQ(out, "part");
  EXPECT_FALSE(closed);  // would block: the peer is still there

  // More than one chunk, then the close, all queued before the read.
  const std::string big(24 * 1024, 'x');
  ASSERT_EQ(::write(writer(), big.data(), big.size()), static_cast<ssize_t>(big.size()));
  CloseEnd(0);
  ASSERT_TRUE(ReceiveUpTo(reader(), 64 * 1024, out, &closed).ok());
  EXPECT_EQ(out, big);
  EXPECT_TRUE(closed);
}

TEST_F(SocketStreamTest, AShortReadEndsTheReadWhenAskedTo) {
  std::string out;
  bool closed = true;
  ASSERT_EQ(::write(writer(), "last", 4), 4);
  CloseEnd(0);
  ASSERT_TRUE(ReceiveUpTo(reader(), 64 * 1024, out, &closed, ShortRead::kStop).ok());
  EXPECT_EQ(out, "last");
  EXPECT_FALSE(closed);  // not read yet: the next read finds it
  ASSERT_TRUE(ReceiveUpTo(reader(), 64 * 1024, out, &closed, ShortRead::kStop).ok());
  EXPECT_EQ(out, "");
  EXPECT_TRUE(closed);
}

// With the close known to be queued, a short read ends at it; a read that filled what it asked
// for goes on, so data beyond one chunk is never cut off.
TEST_F(SocketStreamTest, AShortReadEndsAtACloseKnownToBeQueued) {
  std::string out;
  bool closed = false;
  const std::string big(24 * 1024, 'y');  // more than one chunk
  ASSERT_EQ(::write(writer(), big.data(), big.size()), static_cast<ssize_t>(big.size()));
  CloseEnd(0);
  ASSERT_TRUE(ReceiveUpTo(reader(), 64 * 1024, out, &closed, ShortRead::kAtClose).ok());
  EXPECT_EQ(out, big);
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace qz::platform
