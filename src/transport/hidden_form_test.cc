#include "transport/hidden_form.h"

#include <gtest/gtest.h>

#include "transport/frm_msg.h"
#include "transport/loopback_testing.h"
#include "transport/module_state.h"

namespace qz::transport {
namespace {

using testing::RawClient;
using testing::RecordingSink;
using testing::WaitFor;

// A form whose control listens, counting what reaches its handlers.
class ProbeForm final : public HiddenForm {
 public:
  static std::shared_ptr<ProbeForm> Create() { return std::shared_ptr<ProbeForm>(new ProbeForm); }
  platform::SocketControl control;
  int loads = 0, unloads = 0, requests = 0;

 protected:
  platform::SocketControl* Control() override { return &control; }
  void OnLoad() override { ++loads; }
  void OnUnload() override {
    ++unloads;
    Unload();  // nested: must do nothing
  }
  void OnConnectionRequest(int32_t) override { ++requests; }

 private:
  ProbeForm() = default;
};

class HiddenFormTest : public testing::TransportTest {};

TEST_F(HiddenFormTest, EachHandlerRunsOnceAndTheThreadCountsLoadedForms) {
  auto form = ProbeForm::Create();
  form->Load();
  form->Load();
  EXPECT_EQ(form->loads, 1);
  EXPECT_EQ(LoadedFormCount(), 1u);
  form->Unload();
  form->Unload();
  EXPECT_EQ(form->unloads, 1);
  EXPECT_FALSE(form->IsLoaded());
  EXPECT_EQ(LoadedFormCount(), 0u);
}

TEST_F(HiddenFormTest, ALoadedListenerFormLivesUntilUnloaded) {
  std::weak_ptr<frmMsg> weak;
  {
    auto form = frmMsg::Create();
    weak = form;
    form->Load();
  }
  auto form = weak.lock();
  ASSERT_NE(form, nullptr) << "the thread's list of listener forms keeps a loaded one alive";
  form->Unload();
  form.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(HiddenFormTest, UnloadClosesTheControlAndNoLaterEventReachesTheForm) {
  auto form = ProbeForm::Create();
  form->Load();
  ASSERT_TRUE(form->control.Listen().ok());
  const int32_t port = form->control.LocalPort();
  auto first = RawClient::Connect(port);
  ASSERT_TRUE(WaitFor([&] { return form->requests == 1; }));

  // A request that is already queued when the form goes must not reach it.
  auto second = RawClient::Connect(port);
  form->Unload();
  EXPECT_EQ(form->control.State(), platform::SocketState::kClosed);
  ASSERT_TRUE(WaitFor([&] { return second->failed || second->peer_closed; }));
  EXPECT_EQ(form->requests, 1);
}

TEST_F(HiddenFormTest, TheListenerFormRaisesTheEventOfEachKind) {
  auto form = frmMsg::Create();
  RecordingSink sink;
  form->Subscribe(testing::Unowned(sink));
  std::string arg = "body";
  PayloadReceiver& receiver = *form;
  receiver.Receive(PayloadKind::kMessage, arg);
  receiver.Receive(PayloadKind::kLogin, arg);
  receiver.Receive(PayloadKind::kLogout, arg);
  receiver.Receive(PayloadKind::kOther, arg);
  const std::vector<testing::RaisedEvent> expected = {
      {"acceptMessage", "body"}, {"userLogin", "body"}, {"userLogout", "body"}};
  EXPECT_EQ(sink.events, expected);

  form->Subscribe(nullptr);
  receiver.Receive(PayloadKind::kMessage, arg);
  EXPECT_EQ(sink.events.size(), 3u);
}

TEST_F(HiddenFormTest, ListenerFormsSetAndEmptyTheModulesReference) {
  auto earlier = frmMsg::Create();
  auto later = frmMsg::Create();
  earlier->Load();
  EXPECT_EQ(Module1().gMsgForm, earlier);
  later->Load();
  EXPECT_EQ(Module1().gMsgForm, later);
  earlier->Unload();  // empties it, although it refers to the later form
  EXPECT_EQ(Module1().gMsgForm, nullptr);
  later->Unload();
}

}  // namespace
}  // namespace qz::transport
