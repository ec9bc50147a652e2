#include "options.h"

#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace qzmsg {
namespace {

const passwd* CurrentPasswd() { return getpwuid(getuid()); }

std::string DefaultUser() {
  if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
  if (const passwd* pw = CurrentPasswd(); pw != nullptr) return pw->pw_name;
  return "user";
}

// The first field of the account's GECOS entry, which by custom holds the full name.
std::string DefaultFullName() {
  const passwd* pw = CurrentPasswd();
  if (pw == nullptr || pw->pw_gecos == nullptr) return {};
  std::string gecos = pw->pw_gecos;
  return gecos.substr(0, gecos.find(','));
}

std::string HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* pw = CurrentPasswd(); pw != nullptr) return pw->pw_dir;
  return {};
}

// Published addresses are dotted IPv4 text; anything else would be unreachable for peers.
std::string CheckIPv4(const std::string& text) {
  in_addr address;
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
    return "'" + text + "' is not a dotted IPv4 address";
  }
  return {};
}

}  // namespace

void AddDatabaseOptions(CLI::App& app, CommonOptions& options) {
  app.add_option("--db", options.db,
                 "Presence database: sqlite:PATH, a file path, or postgresql://USER@HOST/DB "
                 "(default: $XDG_STATE_HOME/qzmsg/presence.db, else "
                 "~/.local/state/qzmsg/presence.db)")
      ->envname("QZMSG_DB")
      ->type_name("URI");
  app.add_flag("--json", options.json, "Write one JSON object per line");
}

void AddLoginOptions(CLI::App& app, CommonOptions& options) {
  AddDatabaseOptions(app, options);
  options.user = DefaultUser();
  options.full_name = DefaultFullName();
  app.add_option("--user", options.user, "User name to log in as")
      ->capture_default_str()
      ->type_name("NAME");
  app.add_option("--sys", options.sys, "System name")->capture_default_str()->type_name("NAME");
  app.add_option("--mod", options.mod, "Module name")->capture_default_str()->type_name("NAME");
  app.add_option("--full-name", options.full_name,
                 "Full name shown by who (default: from the "
                 "account's GECOS field)")
      ->type_name("TEXT");
  app.add_option("--std1", options.std1, "Extra value stored with the login")->type_name("TEXT");
  app.add_option("--local-ip", options.local_ip,
                 "IPv4 address to publish for this login (default: the machine's address)")
      ->type_name("ADDR")
      ->check(CheckIPv4, "IPv4");
}

qz::Result<std::string> DefaultDatabaseUri() {
  std::filesystem::path folder;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    folder = state;
  } else {
    const std::string home = HomeDirectory();
    if (home.empty()) {
      return qz::Status::Error(qz::errc::kFileNotFound,
                               "no home folder for the default database; give --db");
    }
    folder = std::filesystem::path(home) / ".local" / "state";
  }
  folder /= "qzmsg";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    return qz::Status::Error(qz::errc::kFileNotFound,
                             "cannot create " + folder.string() + ": " + error.message());
  }
  return "sqlite:" + (folder / "presence.db").string();
}

qz::Result<std::string> DatabaseUri(const CommonOptions& options) {
  if (!options.db.empty()) return options.db;
  return DefaultDatabaseUri();
}

}  // namespace qzmsg
