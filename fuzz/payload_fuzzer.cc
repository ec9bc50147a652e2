// Inbound payloads as any peer may send them: decoded from the wire in either code page, read by
// kind, split into fields and raised by the public class.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "component/net_message_peer.h"
#include "fuzz_check.h"
#include "qz/net_message.h"
#include "transport/frm_msg.h"
#include "transport/payload.h"

namespace qz::fuzz {
namespace {

using transport::kFieldSeparator;
using transport::MessageFields;
using transport::PayloadKind;

class Sink final : public QZCLS_NetMessageEvents {
 public:
  void acceptMessage(const std::string& msg, const std::string& UserName,
                     const std::string& SysName, const std::string& MdlName) override {
    events.push_back({msg, UserName, SysName, MdlName});
  }
  std::vector<MessageFields> events;
};

bool SameFields(const MessageFields& a, const MessageFields& b) {
  return a.msg == b.msg && a.UserName == b.UserName && a.SysName == b.SysName &&
         a.MdlName == b.MdlName;
}

// The first four pieces of body cut at every separator, missing ones empty.
MessageFields Pieces(std::string_view body) {
  std::vector<std::string> pieces(1);
  for (char c : body) {
    if (c == kFieldSeparator) {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  pieces.resize(std::max<size_t>(pieces.size(), 4));
  return {pieces[0], pieces[1], pieces[2], pieces[3]};
}

void CheckText(const std::string& text) {
  const transport::PayloadView p = transport::ReadPayload(text);
  const std::string_view kind = std::string_view(text).substr(0, 2);
  const PayloadKind expected = text.size() < 2 ? PayloadKind::kOther
                               : kind == "OT"  ? PayloadKind::kLogout
                               : kind == "IN"  ? PayloadKind::kLogin
                               : kind == "YH"  ? PayloadKind::kMessage
                                               : PayloadKind::kOther;
  FUZZ_CHECK(p.kind == expected);
  if (p.kind == PayloadKind::kOther) {
    FUZZ_CHECK(p.body.empty());
    return;
  }
  FUZZ_CHECK(p.body == std::string_view(text).substr(2));
  if (p.kind != PayloadKind::kMessage) return;

  const MessageFields fields = transport::SplitMessageBody(p.body);
  FUZZ_CHECK(SameFields(fields, Pieces(p.body)));

  // What the host hears is those fields, once.
  QZCLS_NetMessage net;
  Sink sink;
  FUZZ_CHECK(net.Advise(&sink).ok());
  std::string body(p.body);
  component::NetMessagePeer::m_frmMsg_acceptMessage(net, body);
  FUZZ_CHECK(sink.events.size() == 1 && SameFields(sink.events[0], fields));

  // The same fields sent again read back unchanged.
  const std::string again = transport::BuildMessagePayload(fields.msg, fields.UserName,
                                                           fields.SysName, fields.MdlName, -1);
  const transport::PayloadView q = transport::ReadPayload(again);
  FUZZ_CHECK(q.kind == PayloadKind::kMessage);
  FUZZ_CHECK(SameFields(transport::SplitMessageBody(q.body), fields));
}

}  // namespace
}  // namespace qz::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const platform::CodePage* cp : {&fuzz::Utf8(), &fuzz::Gbk()}) {
    const std::string text = transport::DecodeFromWire(bytes, *cp);
    // The framing characters are ASCII in both code pages: none appears or vanishes.
    FUZZ_CHECK(std::count(text.begin(), text.end(), transport::kFieldSeparator) ==
               std::count(bytes.begin(), bytes.end(), transport::kFieldSeparator));
    FUZZ_CHECK(fuzz::IsValidUtf8(text));  // the host gets text, whatever the bytes were
    fuzz::CheckText(text);
  }
  return 0;
}
