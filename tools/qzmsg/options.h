// Command-line options shared by the qzmsg commands, and their defaults.
#ifndef QZMSG_OPTIONS_H_
#define QZMSG_OPTIONS_H_

#include <string>

#include "qz/status.h"

namespace CLI {
class App;
}

namespace qzmsg {

// Who logs in, where the presence table is, and how output is written.
struct CommonOptions {
  std::string db;  // empty: the default SQLite file (DefaultDatabaseUri)
  std::string user;
  std::string sys = "qzmsg";
  std::string mod = "chat";
  std::string full_name;
  std::string std1;
  std::string local_ip;    // empty: the component's own choice
  std::string net_locale;  // empty: the texts on the network are in the terminal's codeset
  bool json = false;
  bool full_name_given = false;  // else the full name follows the user name (PrepareOptions)
};

// Adds --db, --net-locale and --json to app.
void AddDatabaseOptions(CLI::App& app, CommonOptions& options);
// Adds every common option to app, for the commands that log in.
void AddLoginOptions(CLI::App& app, CommonOptions& options);

// Readies options once parsed, before anything touches the component: points the component at
// --net-locale, turns the names from the terminal's codeset into UTF-8, and, when login is
// true, fills in the default full name and checks that every name fits its field of the
// presence table. A failure is a usage error.
qz::Status PrepareOptions(CommonOptions& options, bool login);

// The URI of the default SQLite file, $XDG_STATE_HOME/qzmsg/presence.db or
// ~/.local/state/qzmsg/presence.db; creates the folder when it is missing.
qz::Result<std::string> DefaultDatabaseUri();

// options.db, or the default when it is empty.
qz::Result<std::string> DatabaseUri(const CommonOptions& options);

}  // namespace qzmsg

#endif  // QZMSG_OPTIONS_H_
