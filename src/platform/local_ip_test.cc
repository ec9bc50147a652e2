#include "platform/local_ip.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/socket_control.h"

namespace qz::platform {
namespace {

TEST(DottedV4Test, WritesTheMostSignificantByteFirst) {
  EXPECT_EQ(DottedV4(0), "0.0.0.0");
  EXPECT_EQ(DottedV4(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(DottedV4(0xC0A80102u), "192.168.1.2");
  EXPECT_EQ(DottedV4(0x0A00FF01u), "10.0.255.1");
}

TEST(FirstNonLoopbackTest, SkipsTheWholeLoopbackNetworkOnly) {
  EXPECT_EQ(FirstNonLoopback({0x7F000101u, 0x0A000005u, 0xC0A80101u}), 0x0A000005u);
  EXPECT_EQ(FirstNonLoopback({0x7EFFFFFFu, 0x0A000005u}), 0x7EFFFFFFu);
  EXPECT_EQ(FirstNonLoopback({0x7FFFFFFFu, 0x80000000u}), 0x80000000u);
  EXPECT_EQ(FirstNonLoopback({0x7F000001u, 0x7F000101u}), std::nullopt);
  EXPECT_EQ(FirstNonLoopback({}), std::nullopt);
}

TEST(MachineLocalIPTest, TheOverrideWinsAndIsReadAtEachCall) {
  SetLocalIPOverride("127.0.0.42");
  EXPECT_EQ(MachineLocalIP(), "127.0.0.42");
  EXPECT_EQ(SocketControl().LocalIP(), "127.0.0.42");
  SetLocalIPOverride("127.0.0.1");
  EXPECT_EQ(SocketControl().LocalIP(), "127.0.0.1");
}

}  // namespace
}  // namespace qz::platform
