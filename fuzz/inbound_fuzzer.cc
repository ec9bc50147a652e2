// The inbound side end to end, over loopback: a peer connects to the listener, sends the input
// in the pieces the input chooses, each in a notification of its own, and closes; the ListOrder
// collects, decodes and dispatches it. Exactly what ReadPayload makes of the whole text must reach
// the listener form's subscriber, once, and the connection object must be gone afterwards. Every
// socket is on 127.0.0.1.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "loopback_peer.h"
#include "platform/event_loop.h"
#include "platform/socket_control.h"
#include "transport/frm_msg.h"
#include "transport/list_order.h"
#include "transport/listener.h"
#include "transport/module_state.h"
#include "transport/payload.h"

namespace qz::fuzz {
namespace {

using std::chrono::milliseconds;

class Recorder final : public transport::frmMsgEvents {
 public:
  void userLogin(const std::string& msg) override { events.push_back("IN" + msg); }
  void userLogout(const std::string& msg) override { events.push_back("OT" + msg); }
  void acceptMessage(const std::string& msg) override { events.push_back("YH" + msg); }
  std::vector<std::string> events;
};

struct Listening {
  Listening() {
    platform::SetLocalIPOverride("127.0.0.1");
    transport::StartListener([this](std::shared_ptr<transport::frmMsg> f) {
      f->Subscribe(recorder);
      form = std::move(f);
    });
    FUZZ_CHECK(form->Listener().State() == platform::SocketState::kListening);
  }
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::shared_ptr<transport::frmMsg> form;
};

// The bytes the one inbound connection has collected.
size_t HeldBytes() {
  const auto& registry = transport::Module1().gConnections;
  if (!registry || registry->Count() != 1) return 0;
  return std::static_pointer_cast<transport::ListOrder>(registry->First().object)->BytesReceived();
}

size_t Registered() {
  const auto& registry = transport::Module1().gConnections;
  return registry ? registry->Count() : 0;
}

bool Run(const std::function<bool()>& done) {
  return platform::EventLoop::Current().RunUntil(done, milliseconds(5000));
}

}  // namespace
}  // namespace qz::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz;
  static fuzz::Listening* listening = new fuzz::Listening();  // lives for the whole run
  FuzzedDataProvider in(data, size);
  const auto pieces = in.ConsumeIntegralInRange<size_t>(1, 8);
  std::vector<std::string> chunks;
  for (size_t i = 0; i + 1 < pieces; ++i) chunks.push_back(in.ConsumeRandomLengthString(256));
  chunks.push_back(in.ConsumeRemainingBytesAsString());
  std::string whole;
  for (const std::string& c : chunks) whole += c;

  listening->recorder->events.clear();
  {
    fuzz::RawSender sender(static_cast<uint16_t>(listening->form->Listener().LocalPort()));
    FUZZ_CHECK(fuzz::Run([] { return transport::ListOrder::HeldCount() == 1; }));
    size_t sent = 0;
    for (const std::string& c : chunks) {
      if (c.empty()) continue;
      sender.Send(c);
      sent += c.size();
      // Each piece in a notification of its own, as a slow peer's would come.
      FUZZ_CHECK(fuzz::Run([&] { return fuzz::HeldBytes() == sent; }));
    }
    sender.ShutdownWrite();
    FUZZ_CHECK(fuzz::Run([] { return fuzz::Registered() == 0; }));
  }

  // The wire carries code-page bytes; the system code page here is the process's, read as the
  // component reads it.
  const std::string text = transport::DecodeFromWire(whole);
  const transport::PayloadView p = transport::ReadPayload(text);
  const auto& events = listening->recorder->events;
  if (p.kind == transport::PayloadKind::kOther) {
    FUZZ_CHECK(events.empty());
  } else {
    FUZZ_CHECK(events.size() == 1);
    FUZZ_CHECK(events[0] == text);
  }
  return 0;
}
