// Test helpers for the transport's tests: a fixture that leaves every test with no registry and
// no loaded form, a recording subscriber of the listener form, and raw loopback peers built on
// the socket control. Tests only; every address here is 127.0.0.1.
#ifndef QZ_TRANSPORT_LOOPBACK_TESTING_H_
#define QZ_TRANSPORT_LOOPBACK_TESTING_H_

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "platform/random.h"
#include "platform/socket_control.h"
#include "platform/tcp_table.h"
#include "transport/connection_registry.h"
#include "transport/frm_msg.h"
#include "transport/listener.h"
#include "transport/module_state.h"
#include "transport/port_choice.h"

namespace qz::transport::testing {

inline constexpr char kLoopback[] = "127.0.0.1";

inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  return platform::EventLoop::Current().RunUntil(done, timeout);
}

// The local ports of the machine's TCP table; empty when the table cannot be read.
inline UsedPorts ReadUsedPorts() {
  Result<std::vector<uint16_t>> table = platform::ReadTcpLocalPorts();
  return table.ok() ? UsedPorts(*table) : UsedPorts();
}

inline size_t RegisteredCount() {
  const ConnectionRegistry* registry = Module1().gConnections.get();
  return registry == nullptr ? 0 : registry->Count();
}

// The oldest registered object, as T, or nullptr.
template <typename T>
std::shared_ptr<T> OldestRegistered() {
  const ConnectionRegistry* registry = Module1().gConnections.get();
  if (registry == nullptr || registry->Count() == 0) return nullptr;
  return std::dynamic_pointer_cast<T>(registry->First().object);
}

// Raises a socket event on a form as its control would.
inline void RaiseError(ConnectionForm& form) {
  bool cancel = false;
  static_cast<platform::SocketEvents&>(form).OnError(errc::kWsaConnectionReset, "reset", cancel);
}

struct RaisedEvent {
  std::string name;
  std::string text;
  bool operator==(const RaisedEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const RaisedEvent& e) {
  return os << e.name << "(" << ::testing::PrintToString(e.text) << ")";
}

class RecordingSink : public frmMsgEvents {
 public:
  void userLogin(const std::string& msg) override { Record("userLogin", msg); }
  void userLogout(const std::string& msg) override { Record("userLogout", msg); }
  void acceptMessage(const std::string& msg) override { Record("acceptMessage", msg); }

  std::vector<RaisedEvent> events;
  std::function<void()> on_event;  // runs inside each event, after it is recorded

 private:
  void Record(const char* name, const std::string& msg) {
    events.push_back({name, msg});
    if (on_event) on_event();
  }
};

// One accepted connection of a RawPeer: collects what arrives until the sender closes.
class RawConnection : public platform::SocketEvents {
 public:
  void OnDataArrival(int32_t /*bytesTotal*/) override {
    if (reset) {  // closing with unread data resets the connection
      closed = true;
      control.Close();
      return;
    }
    std::string chunk;
    if (control.GetData(chunk).ok()) bytes += chunk;
  }
  void OnClose() override {
    closed = true;
    control.Close();
  }
  void OnError(int32_t, const std::string&, bool&) override {
    closed = true;
    control.Close();
  }

  platform::SocketControl control;
  std::string bytes;
  bool closed = false;
  bool reset = false;  // resets at its first data instead of reading
};

// A listening socket on a port the system chooses, which accepts every request.
class RawPeer : public platform::SocketEvents {
 public:
  static std::shared_ptr<RawPeer> Listen() {
    auto peer = std::make_shared<RawPeer>();
    peer->listener.SetEvents(peer);
    EXPECT_TRUE(peer->listener.Listen().ok());
    return peer;
  }
  // Listens on a free port from 10000 to 19999, low enough that the choices made from it as a
  // base stay inside the port range.
  static std::shared_ptr<RawPeer> ListenLow() {
    platform::ReseedFromTimeOfDay();
    for (int attempt = 0; attempt < 50; ++attempt) {
      const int32_t port = 10000 + static_cast<int32_t>(platform::NextRandom() * 10000);
      if (ReadUsedPorts().Contains(port)) continue;
      auto peer = std::make_shared<RawPeer>();
      peer->listener.SetEvents(peer);
      if (peer->listener.SetLocalPort(port).ok() && peer->listener.Listen().ok()) return peer;
    }
    ADD_FAILURE() << "no free port from 10000 to 19999";
    return Listen();
  }
  int32_t port() const { return listener.LocalPort(); }
  bool AllClosed() const {
    for (const auto& c : connections) {
      if (!c->closed) return false;
    }
    return true;
  }

  void OnConnectionRequest(int32_t requestID) override {
    auto connection = std::make_shared<RawConnection>();
    connection->reset = connections.size() < resets;
    connection->control.SetEvents(connection);
    if (connection->control.Accept(requestID).ok()) connections.push_back(connection);
  }

  platform::SocketControl listener;
  std::vector<std::shared_ptr<RawConnection>> connections;
  size_t resets = 0;  // how many of the first connections to reset
};

// A raw sender to 127.0.0.1:port.
class RawClient : public platform::SocketEvents {
 public:
  static std::shared_ptr<RawClient> Connect(int32_t port) {
    auto client = std::make_shared<RawClient>();
    client->control.SetEvents(client);
    client->control.SetRemoteHost(kLoopback);
    EXPECT_TRUE(client->control.SetRemotePort(port).ok());
    EXPECT_TRUE(client->control.Connect().ok());
    return client;
  }
  // Sends and waits until the kernel has it all.
  void Send(const std::string& bytes) {
    const int before = sent;
    ASSERT_TRUE(control.SendData(bytes).ok());
    ASSERT_TRUE(WaitFor([&] { return sent > before || failed; }));
  }

  void OnConnect() override { connected = true; }
  void OnSendComplete() override { ++sent; }
  void OnError(int32_t, const std::string&, bool&) override { failed = true; }
  void OnClose() override { peer_closed = true; }

  platform::SocketControl control;
  bool connected = false;
  bool failed = false;
  bool peer_closed = false;
  int sent = 0;
};

// A subscription to a sink that the test owns.
inline std::shared_ptr<frmMsgEvents> Unowned(frmMsgEvents& sink) {
  return std::shared_ptr<frmMsgEvents>(&sink, [](frmMsgEvents*) {});
}

// Every transport test ends with the registry drained and released and no form loaded.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetLocalIPOverride(kLoopback); }

  void TearDown() override {
    for (const auto& form : listener_forms_) {
      form->Subscribe(nullptr);
      form->Listener().Close();
      form->Unload();
    }
    CloseAllConnections();
    EXPECT_TRUE(Module1().gConnections == nullptr);
    EXPECT_TRUE(Module1().gMsgForm == nullptr);
    EXPECT_EQ(LoadedFormCount(), 0u);
  }

  // StartListener as the public class calls it, subscribing sink to the new form.
  std::shared_ptr<frmMsg> StartListening(RecordingSink& sink, const ListenerOptions& options = {}) {
    std::shared_ptr<frmMsg> stored;
    StartListener(
        [&](std::shared_ptr<frmMsg> form) {
          form->Subscribe(Unowned(sink));
          stored = std::move(form);
        },
        options);
    if (stored) listener_forms_.push_back(stored);
    return stored;
  }

  RecordingSink sink_;

 private:
  std::vector<std::shared_ptr<frmMsg>> listener_forms_;
};

// A transport test with a listener form listening from the start, its events going to sink_.
class ListeningTest : public TransportTest {
 protected:
  void SetUp() override {
    TransportTest::SetUp();
    form_ = StartListening(sink_);
    ASSERT_EQ(form_->Listener().State(), platform::SocketState::kListening);
  }
  int32_t port() { return form_->Listener().LocalPort(); }

  std::shared_ptr<frmMsg> form_;
};

}  // namespace qz::transport::testing

#endif  // QZ_TRANSPORT_LOOPBACK_TESTING_H_
