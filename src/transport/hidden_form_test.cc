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

TEST_F(HiddenFormTest, LoadedFormLivesUntilUnloadedAndEachHandlerRunsOnce) {
  std::weak_ptr<ProbeForm> weak;
  {
    auto form = ProbeForm::Create();
    weak = form;
    form->Load();
    form->Load();
    EXPECT_EQ(form->loads, 1);
    EXPECT_EQ(LoadedFormCount(), 1u);
  }
  auto form = weak.lock();
  ASSERT_NE(form, nullptr) << "the thread's collection keeps a loaded form alive";
  form->Unload();
  form->Unload();
  EXPECT_EQ(form->unloads, 1);
  EXPECT_FALSE(form->IsLoaded());
  EXPECT_EQ(LoadedFormCount(), 0u);
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

TEST_F(HiddenFormTest, CallByNameReachesOnlyTheListenerFormsOwnOperations) {
  auto form = frmMsg::Create();
  RecordingSink sink;
  form->Subscribe(testing::Unowned(sink));
  std::string arg = "body";
  HiddenForm& generic = *form;
  EXPECT_TRUE(generic.CallByName("RaiseMessage", arg).ok());
  EXPECT_TRUE(generic.CallByName("RaiseLogin", arg).ok());
  EXPECT_TRUE(generic.CallByName("RaiseLogout", arg).ok());
  EXPECT_EQ(generic.CallByName("raisemessage", arg).code(), errc::kNotSupported);
  EXPECT_EQ(generic.CallByName("Unload", arg).code(), errc::kNotSupported);
  const std::vector<testing::RaisedEvent> expected = {
      {"acceptMessage", "body"}, {"userLogin", "body"}, {"userLogout", "body"}};
  EXPECT_EQ(sink.events, expected);

  form->Subscribe(nullptr);
  EXPECT_TRUE(generic.CallByName("RaiseMessage", arg).ok());
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
