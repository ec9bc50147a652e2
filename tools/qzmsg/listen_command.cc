#include "commands.h"
#include "event_wait.h"
#include "output.h"
#include "session.h"
#include "shutdown_signals.h"

namespace qzmsg {

int RunListen(const ListenOptions& options) {
  const bool json = options.common.json;
  qz::Result<int> signals = InstallShutdownSignals();
  if (!signals.ok()) {
    ReportError(signals.status().message());
    return 1;
  }

  int received = 0;
  bool output_failed = false;
  auto done = [&] { return options.count > 0 && received >= options.count; };
  MessageSink sink([&](const std::string& msg, const std::string& user, const std::string& sys,
                       const std::string& mod) {
    if (done() || output_failed) return;  // more arrived in the pass that reached --count
    ++received;
    output_failed = !WriteOutput(json, MessageLine(json, msg, user, sys, mod));
  });

  qz::Result<std::unique_ptr<Session>> session = Session::Open(options.common, &sink);
  if (!session.ok()) {
    ReportError(session.status().message());
    return 1;
  }
  output_failed = !WriteOutput(json, ReadyLine(json, (*session)->row()));
  while (!done() && !output_failed && !ShutdownRequested()) WaitAndDispatch({*signals}, -1);

  const qz::Status status = (*session)->Close();
  if (!status.ok()) {
    ReportError(status.message());
    return 1;
  }
  if (output_failed) {
    ReportError("cannot write to standard output");
    return 1;
  }
  return 0;
}

}  // namespace qzmsg
