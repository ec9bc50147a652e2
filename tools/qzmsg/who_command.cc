#include <string>
#include <vector>

#include "commands.h"
#include "endpoint_probe.h"
#include "output.h"
#include "presence_rows.h"
#include "qzpub.h"

namespace qzmsg {

int RunWho(const WhoOptions& options) {
  qz::Result<int32_t> hdbc = ConnectDatabase(options.common);
  if (!hdbc.ok()) {
    ReportError(hdbc.status().message());
    return 1;
  }
  qz::Result<std::vector<PresenceRow>> rows = ReadPresenceRows(*hdbc);
  qzpub_Disconnect(*hdbc);
  if (!rows.ok()) {
    ReportError(rows.status().message());
    return 1;
  }
  const std::vector<ProbeResult> probes =
      options.check ? ProbeRows(*rows) : std::vector<ProbeResult>{};
  for (const std::string& line : WhoLines(options.common.json, *rows, probes)) {
    if (!WriteOutput(options.common.json, line)) {
      ReportError("cannot write to standard output");
      return 1;
    }
  }
  return 0;
}

}  // namespace qzmsg
