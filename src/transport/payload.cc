#include "transport/payload.h"

namespace qz::transport {

std::string BuildMessagePayload(std::string_view msg, std::string_view user, std::string_view sys,
                                std::string_view mod, int32_t key) {
  std::string payload;
  payload.reserve(2 + msg.size() + user.size() + sys.size() + mod.size() + 4 + 11);
  payload += "YH";
  payload += msg;
  payload += kFieldSeparator;
  payload += user;
  payload += kFieldSeparator;
  payload += sys;
  payload += kFieldSeparator;
  payload += mod;
  payload += kFieldSeparator;
  payload += std::to_string(key);
  return payload;
}

PayloadView ReadPayload(std::string_view text) {
  if (text.size() < 2) return {PayloadKind::kOther, {}};
  const std::string_view kind = text.substr(0, 2);
  const std::string_view body = text.substr(2);
  if (kind == "OT") return {PayloadKind::kLogout, body};
  if (kind == "IN") return {PayloadKind::kLogin, body};
  if (kind == "YH") return {PayloadKind::kMessage, body};
  return {PayloadKind::kOther, {}};
}

MessageFields SplitMessageBody(std::string_view body) {
  std::array<std::string, 4> fields;
  size_t start = 0;
  for (std::string& field : fields) {
    const size_t sep = body.find(kFieldSeparator, start);
    field = std::string(body.substr(start, sep == std::string_view::npos ? sep : sep - start));
    if (sep == std::string_view::npos) break;
    start = sep + 1;
  }
  return {std::move(fields[0]), std::move(fields[1]), std::move(fields[2]), std::move(fields[3])};
}

std::string EncodeForWire(std::string_view utf8, const platform::CodePage& cp) {
  return cp.FromUtf8(utf8);
}

std::string DecodeFromWire(std::string_view bytes, const platform::CodePage& cp) {
  return cp.ToUtf8(bytes);
}

}  // namespace qz::transport
