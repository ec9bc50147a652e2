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

constexpr uint32_t kLoopback = 0x7F000001u;  // 127.0.0.1
constexpr uint32_t kHostName = 0x7F000101u;  // 127.0.1.1, as many distributions map the name
constexpr uint32_t kLan = 0xC612000Au;       // 198.18.0.10
constexpr uint32_t kOther = 0xC612003Cu;     // 198.18.0.60
constexpr uint32_t kGone = 0xC6120082u;      // 198.18.0.130, on no interface that is up

TEST(ChooseLocalIPTest, TheDefaultRoutesInterfaceWinsWhenItIsUp) {
  EXPECT_EQ(ChooseLocalIP(kOther, {kLan}, {kLoopback, kLan, kOther}), kOther);
  // A route whose interface went down, or a loopback one, does not count.
  EXPECT_EQ(ChooseLocalIP(kGone, {kLan}, {kLoopback, kOther, kLan}), kLan);
  EXPECT_EQ(ChooseLocalIP(kLoopback, {}, {kLoopback, kOther}), kOther);
}

TEST(ChooseLocalIPTest, WithoutADefaultRouteAnUpInterfaceAddressNeverLoopback) {
  // The host name's address when an interface that is up has it, in the resolver's order.
  EXPECT_EQ(ChooseLocalIP(std::nullopt, {kHostName, kGone, kOther}, {kLoopback, kLan, kOther}),
            kOther);
  // Else the first address of an interface that is up.
  EXPECT_EQ(ChooseLocalIP(std::nullopt, {kHostName, kGone}, {kLoopback, kLan, kOther}), kLan);
  EXPECT_EQ(ChooseLocalIP(std::nullopt, {}, {kLoopback, kOther}), kOther);
  // Only loopback, or nothing at all: no address.
  EXPECT_EQ(ChooseLocalIP(std::nullopt, {kHostName}, {kLoopback}), std::nullopt);
  EXPECT_EQ(ChooseLocalIP(std::nullopt, {kLan}, {}), std::nullopt);
}

TEST(IsUpInterfaceAddressTest, AnUpInterfaceHoldsItOrTheLoopbackNetworkIsUp) {
  EXPECT_TRUE(IsUpInterfaceAddress(kLan, {kLoopback, kLan}));
  EXPECT_FALSE(IsUpInterfaceAddress(kGone, {kLoopback, kLan}));
  EXPECT_TRUE(IsUpInterfaceAddress(0x7F00002Au, {kLoopback}));  // 127.0.0.42: all of it is local
  EXPECT_FALSE(IsUpInterfaceAddress(kLoopback, {kLan}));
  EXPECT_FALSE(IsUpInterfaceAddress(kLan, {}));
  // Text that is no address is on no interface.
  EXPECT_FALSE(IsUpInterfaceAddress("not an address"));
  EXPECT_FALSE(IsUpInterfaceAddress(""));
}

// On whatever machine the test runs: the address found is never loopback, and is up.
TEST(MachineLocalIPTest, WithoutAnOverrideNoLoopbackAddressIsPublished) {
  SetLocalIPOverride("");
  const std::string found = MachineLocalIP();
  SetLocalIPOverride("127.0.0.1");
  if (found.empty()) return;  // a machine with no other address
  EXPECT_NE(found.rfind("127.", 0), 0u) << found;
  EXPECT_TRUE(IsUpInterfaceAddress(found)) << found;
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
