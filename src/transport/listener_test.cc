#include "transport/listener.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/random.h"
#include "transport/loopback_testing.h"

namespace qz::transport {
namespace {

using testing::RawPeer;
using testing::ReadUsedPorts;

class ListenerTest : public testing::TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    // The real choice, recorded.
    options_.pick_port = [this](int32_t base) {
      bases_.push_back(base);
      platform::ReseedFromTimeOfDay();
      const int32_t port = next_port_ != 0
                               ? std::exchange(next_port_, 0)
                               : PickFreePort(base, ReadUsedPorts(), platform::NextRandom);
      ports_.push_back(port);
      return port;
    };
  }
  // Makes the first `n` Listen calls fail.
  void FailListens(int n) {
    options_.before_listen = [this, n](platform::SocketControl& listener) {
      listened_on_.push_back(listener.LocalPort());
      if (static_cast<int>(listened_on_.size()) > n) return Status::OK();
      return Status::Error(errc::kWsaAddressInUse, "refused by the test");
    };
  }

  // Listening on the port chosen, or on one the system chose when the choice was 0.
  static void ExpectListeningOn(frmMsg& form, int32_t chosen) {
    EXPECT_EQ(form.Listener().State(), platform::SocketState::kListening);
    if (chosen != 0) {
      EXPECT_EQ(form.Listener().LocalPort(), chosen);
    } else {
      EXPECT_GT(form.Listener().LocalPort(), 0);
    }
  }

  ListenerOptions options_;
  std::vector<int32_t> bases_, ports_, listened_on_;
  int32_t next_port_ = 0;  // when set, the next choice returns it
};

TEST_F(ListenerTest, FirstAttemptListensInTheListenersBand) {
  bool loaded_when_stored = true;
  std::shared_ptr<frmMsg> stored;
  StartListener(
      [&](std::shared_ptr<frmMsg> form) {
        loaded_when_stored = form->IsLoaded();
        stored = std::move(form);
      },
      options_);
  ASSERT_NE(stored, nullptr);
  EXPECT_FALSE(loaded_when_stored) << "stored before it is loaded";
  EXPECT_EQ(Module1().gMsgForm, stored);
  EXPECT_EQ(bases_, std::vector<int32_t>{5000});
  EXPECT_GE(ports_[0], 14000);
  if (ports_[0] > 14199) {
    EXPECT_GE(ports_[0], 19000) << "only a walk past a listed port leaves the band";
  }
  EXPECT_EQ(stored->Listener().State(), platform::SocketState::kListening);
  EXPECT_EQ(stored->Listener().LocalPort(), ports_[0]);
  stored->Listener().Close();
  stored->Unload();
}

TEST_F(ListenerTest, EachRetryTakesThePreviousPortPlus5000AsItsBase) {
  FailListens(1);
  auto form = StartListening(sink_, options_);
  ASSERT_EQ(bases_.size(), 2u);
  EXPECT_EQ(bases_[0], 5000);
  EXPECT_EQ(bases_[1], ports_[0] + 5000);
  EXPECT_EQ(listened_on_, ports_);
  ExpectListeningOn(*form, ports_[1]);
}

TEST_F(ListenerTest, AThirdAttemptFollowsASecondFailure) {
  FailListens(2);
  auto form = StartListening(sink_, options_);
  EXPECT_EQ(bases_, (std::vector<int32_t>{5000, ports_[0] + 5000, ports_[1] + 5000}));
  ExpectListeningOn(*form, ports_[2]);
}

TEST_F(ListenerTest, AllThreeFailingStillReturnsWithTheFormLoaded) {
  FailListens(3);
  auto form = StartListening(sink_, options_);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(bases_.size(), 3u);
  EXPECT_EQ(form->Listener().State(), platform::SocketState::kClosed);
  EXPECT_EQ(form->Listener().LocalPort(), ports_[2]);
  EXPECT_EQ(Module1().gMsgForm, form);
}

TEST_F(ListenerTest, APortTakenByAnotherListenerMovesToTheNextBase) {
  auto holder = RawPeer::ListenLow();
  next_port_ = holder->port();
  auto form = StartListening(sink_, options_);
  ASSERT_EQ(bases_.size(), 2u);
  EXPECT_EQ(bases_[1], holder->port() + 5000);
  ExpectListeningOn(*form, ports_[1]);
}

}  // namespace
}  // namespace qz::transport
