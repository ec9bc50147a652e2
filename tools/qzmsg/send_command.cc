#include <chrono>
#include <string>

#include "commands.h"
#include "output.h"
#include "session.h"
#include "shutdown_signals.h"

namespace qzmsg {

int RunSend(const SendOptions& options) {
  qz::Result<int> signals = InstallShutdownSignals();
  if (!signals.ok()) {
    ReportError(signals.status().message());
    return 1;
  }
  std::string text;
  for (const std::string& word : options.words) text += (text.empty() ? "" : " ") + word;

  // The sender's own row may match the filters; what reaches it is not shown.
  MessageSink sink(
      [](const std::string&, const std::string&, const std::string&, const std::string&) {});
  qz::Result<std::unique_ptr<Session>> session = Session::Open(options.common, &sink);
  if (!session.ok()) {
    ReportError(session.status().message());
    return 1;
  }
  Session& s = **session;
  if (options.common.json) WriteLine(ReadyLine(true, s.row()));

  const qz::Status sent =
      s.net().SendMessage(text, options.to_user, options.to_sys, options.to_mod);
  if (!sent.ok()) {
    ReportError("SendMessage: " + sent.message());
    (void)s.Close();
    return 1;
  }
  // LogOut would end deliveries still under way, so they are given --wait-ms to finish.
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
  return 0;
}

}  // namespace qzmsg
