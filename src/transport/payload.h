// Payloads: the one text that a connection carries, a two-character kind and a body.
// A message body is five fields joined by the separator, code 15: text, sender's user, system
// and module names, and the sender's row key in decimal. Nothing is escaped, framed or cut.
#ifndef QZ_TRANSPORT_PAYLOAD_H_
#define QZ_TRANSPORT_PAYLOAD_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_page.h"

namespace qz::transport {

inline constexpr char kFieldSeparator = '\x0F';

// "YH" msg SEP user SEP sys SEP mod SEP key; UTF-8 in, UTF-8 out.
std::string BuildMessagePayload(std::string_view msg, std::string_view user, std::string_view sys,
                                std::string_view mod, int32_t key);

enum class PayloadKind { kLogout, kLogin, kMessage, kOther };

struct PayloadView {
  PayloadKind kind;
  std::string_view body;  // from the third character on; empty for kOther
};

// What the inbound side hands a delivered payload to: the listener form, reached through
// Module1().gMsgForm, or any replacement that implements this. Receive raises the event of the
// kind (never kOther) with body, synchronously; body is the text after the kind.
class PayloadReceiver {
 public:
  virtual ~PayloadReceiver() = default;
  virtual void Receive(PayloadKind kind, std::string& body) = 0;
};

// The kind by the first two characters, compared exactly ("OT", "IN", "YH"), and the body.
// A text shorter than two characters is kOther.
PayloadView ReadPayload(std::string_view text);

struct MessageFields {
  std::string msg, UserName, SysName, MdlName;
};

// The first four fields of a message body, cut at every separator; missing ones are empty.
MessageFields SplitMessageBody(std::string_view body);

// The payload as bytes of the code page, and back. The kind, the separator and the digits are
// ASCII in every code page we accept, so reading may happen before or after decoding.
std::string EncodeForWire(std::string_view utf8,
                          const platform::CodePage& cp = platform::CodePage::System());
std::string DecodeFromWire(std::string_view bytes,
                           const platform::CodePage& cp = platform::CodePage::System());

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_PAYLOAD_H_
