// Reading the presence table YHDL through qzpub, as the host sees it.
#ifndef QZMSG_PRESENCE_ROWS_H_
#define QZMSG_PRESENCE_ROWS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "qz/status.h"

namespace qzmsg {

// One login, its text fields as UTF-8 (read from the system code page, as the component does).
struct PresenceRow {
  int32_t key = 0;
  std::string user;
  std::string ip;
  std::string port_text;
  std::string full_name;
  std::string sys;
  std::string mod;
  std::string std1;
  std::string login_time;

  // The port as a delivery would use it: the leading decimal number of port_text (LeadingNumber),
  // else 0.
  int32_t port() const;
};

// Every row of YHDL, in the library's order (key order), read over the connection hdbc.
qz::Result<std::vector<PresenceRow>> ReadPresenceRows(int32_t hdbc);

// Deletes the row whose key is key, as a client's own logout does (userYHDL_Delete); keys are
// never reused, so no later login can lose its row to this.
qz::Status DeletePresenceRow(int32_t hdbc, int32_t key);

// Opens a qzpub connection; fails with the library's own message (the URI without password).
qz::Result<int32_t> ConnectDatabase(const std::string& uri);
// The same for the database the options name (--db, QZMSG_DB, else the default file).
qz::Result<int32_t> ConnectDatabase(const CommonOptions& options);

}  // namespace qzmsg

#endif  // QZMSG_PRESENCE_ROWS_H_
