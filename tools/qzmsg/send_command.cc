#include <unistd.h>

#include <chrono>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"
#include "session.h"
#include "shutdown_signals.h"
#include "terminal_text.h"

namespace qzmsg {
namespace {

// Receivers drop a payload over 1 MiB; the header (kind, names, key) needs room beside the text.
constexpr size_t kMaxTextBytes = (size_t{1} << 20) - 1024;

// Hears how each delivery ends; what reaches the sender's own row is not shown.
class OutcomeSink final : public qz::QZCLS_NetMessageEvents {
 public:
  explicit OutcomeSink(bool json) : json_(json) {}
  void deliveryEnded(const qz::DeliveryOutcome& outcome) override {
    if (!outcome.sent()) ++failed;
    if (json_) {
      WriteLine(DeliveryLine(true, outcome));
    } else if (!outcome.sent()) {
      ReportError(DeliveryLine(false, outcome));
    }
  }
  size_t failed = 0;

 private:
  bool json_;
};

// The message, in UTF-8: the words, or standard input for "-" or for no words with a pipe.
std::optional<std::string> MessageText(const SendOptions& options) {
  const bool from_stdin = options.words == std::vector<std::string>{"-"} ||
                          (options.words.empty() && isatty(STDIN_FILENO) == 0);
  if (!from_stdin) {
    if (options.words.empty()) return std::nullopt;
    std::string text;
    for (const std::string& word : options.words) text += (text.empty() ? "" : " ") + word;
    return FromTerminal(text);
  }
  std::string text(std::istreambuf_iterator<char>(std::cin), {});
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return FromTerminal(text);
}

}  // namespace

int RunSend(const SendOptions& options) {
  qz::Result<int> signals = InstallShutdownSignals();
  if (!signals.ok()) {
    ReportError(signals.status().message());
    return 1;
  }
  const std::optional<std::string> text = MessageText(options);
  if (!text) {
    ReportError("no message given: give TEXT, or - to read it from standard input");
    return 2;
  }
  if (text->size() > kMaxTextBytes) {
    ReportError("the message has " + std::to_string(text->size()) +
                " bytes; receivers take at most 1 MiB with its header, so at most " +
                std::to_string(kMaxTextBytes) + " bytes of text");
    return 2;
  }

  OutcomeSink sink(options.common.json);
  qz::Result<std::unique_ptr<Session>> session = Session::Open(options.common, &sink);
  if (!session.ok()) {
    ReportError(session.status().message());
    return 1;
  }
  Session& s = **session;
  if (options.common.json) WriteLine(ReadyLine(true, s.row()));

  size_t started = 0;
  const qz::Status sent =
      s.net().SendMessage(*text, FromTerminal(options.to_user), FromTerminal(options.to_sys),
                          FromTerminal(options.to_mod), started);
  if (!sent.ok()) {
    ReportError("SendMessage: " + sent.message());
    (void)s.Close();
    return 1;
  }
  // LogOut ends deliveries still under way (each then ends as a failure), so they are given
  // --wait-ms to finish.
  const size_t unfinished = s.DrainConnections(std::chrono::milliseconds(options.wait_ms));
  if (unfinished > 0 && !ShutdownRequested()) {
    ReportError(std::to_string(unfinished) + " connection(s) still open after " +
                std::to_string(options.wait_ms) + " ms; logging out");
  }
  const qz::Status closed = s.Close();
  if (!closed.ok()) {
    ReportError(closed.message());
    return 1;
  }
  if (started == 0) {
    ReportError("no presence row matched: nobody was sent the message");
    return kExitNoRecipient;
  }
  return sink.failed > 0 ? kExitNotDelivered : 0;
}

}  // namespace qzmsg
