// SIGINT and SIGTERM as a readable descriptor, so that a command ends through its own loop
// (logging out first) and nothing is ever called from a signal handler but write().
#ifndef QZMSG_SHUTDOWN_SIGNALS_H_
#define QZMSG_SHUTDOWN_SIGNALS_H_

#include "qz/status.h"

namespace qzmsg {

// Installs the handlers (once per process) and ignores SIGPIPE, so that a peer or reader that
// went away shows up as a failed write instead of killing the process. Returns the descriptor
// that turns readable once a shutdown signal has arrived; it stays readable from then on.
qz::Result<int> InstallShutdownSignals();

// Whether a shutdown signal has arrived.
bool ShutdownRequested();

}  // namespace qzmsg

#endif  // QZMSG_SHUTDOWN_SIGNALS_H_
