#include <string>
#include <vector>

#include "commands.h"
#include "endpoint_probe.h"
#include "output.h"
#include "presence_rows.h"
#include "qzpub.h"

namespace qzmsg {
namespace {

// Says which stale rows go and which stay, deleting each refused one right after its line.
int PruneStaleRows(int32_t hdbc, bool json, const std::vector<PresenceRow>& rows) {
  const std::vector<ProbeResult> probes = ProbeRows(rows);
  int exit_code = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!IsStale(probes[i])) continue;
    // Only a refusal proves that nothing listens there; a silent host may come back.
    const bool prune = probes[i] == ProbeResult::kRefused;
    if (!WriteOutput(json, PruneLine(json, rows[i], probes[i], prune))) {
      ReportError("cannot write to standard output");
      return 1;
    }
    if (!prune) continue;
    if (const qz::Status s = DeletePresenceRow(hdbc, rows[i].key); !s.ok()) {
      ReportError(s.message());
      exit_code = 1;
    }
  }
  return exit_code;
}

}  // namespace

int RunPrune(const CommonOptions& options) {
  qz::Result<int32_t> hdbc = ConnectDatabase(options);
  if (!hdbc.ok()) {
    ReportError(hdbc.status().message());
    return 1;
  }
  qz::Result<std::vector<PresenceRow>> rows = ReadPresenceRows(*hdbc);
  int exit_code = 1;
  if (rows.ok()) {
    exit_code = PruneStaleRows(*hdbc, options.json, *rows);
  } else {
    ReportError(rows.status().message());
  }
  qzpub_Disconnect(*hdbc);
  return exit_code;
}

}  // namespace qzmsg
