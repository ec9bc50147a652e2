#include <string>
#include <vector>

#include "commands.h"
#include "output.h"
#include "presence_rows.h"
#include "qzpub.h"

namespace qzmsg {

int RunWho(const CommonOptions& options) {
  qz::Result<std::string> uri = DatabaseUri(options);
  if (!uri.ok()) {
    ReportError(uri.status().message());
    return 1;
  }
  qz::Result<int32_t> hdbc = ConnectDatabase(*uri);
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
  for (const std::string& line : WhoLines(options.json, *rows)) {
    if (!WriteOutput(options.json, line)) {
      ReportError("cannot write to standard output");
      return 1;
    }
  }
  return 0;
}

}  // namespace qzmsg
