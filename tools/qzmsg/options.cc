#include "options.h"

#include <arpa/inet.h>
#include <locale.h>
#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "platform/code_page.h"
#include "qzpub.h"
#include "terminal_text.h"

namespace qzmsg {
namespace {

const passwd* CurrentPasswd() { return getpwuid(getuid()); }

std::string DefaultUser() {
  if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
  if (const passwd* pw = CurrentPasswd(); pw != nullptr) return pw->pw_name;
  return "user";
}

// The account's full name (the first field of its GECOS entry, by custom) when user is the
// account's own name, else user itself: whoever logs in as another name is not the account's
// owner.
std::string DefaultFullName(const std::string& user) {
  const passwd* pw = CurrentPasswd();
  if (pw == nullptr || pw->pw_gecos == nullptr || user != pw->pw_name) return user;
  std::string gecos = pw->pw_gecos;
  gecos.resize(gecos.find(',') == std::string::npos ? gecos.size() : gecos.find(','));
  return gecos.find_first_not_of(' ') == std::string::npos ? user : FromTerminal(gecos);
}

qz::Status Usage(const std::string& message) {
  return qz::Status::Error(qz::errc::kInvalidArgument, message);
}

// The component and the data-access library take their codeset from the environment's locale
// when they first convert text; the process locale, set from the environment before, stays
// the terminal's.
qz::Status UseNetLocale(const std::string& name) {
  const locale_t probe = newlocale(LC_CTYPE_MASK, name.c_str(), locale_t{});
  if (probe == locale_t{}) {
    return Usage("--net-locale: locale '" + name + "' is not installed (see locale -a)");
  }
  freelocale(probe);
  if (setenv("LC_ALL", name.c_str(), 1) != 0) {
    return Usage("--net-locale: " + std::string(std::strerror(errno)));
  }
  return qz::Status::OK();
}

// A name the table would cut could never be matched by a recipient filter again.
qz::Status CheckField(const char* option, const std::string& value, size_t width) {
  const qz::platform::CodePage& page = qz::platform::CodePage::System();
  const size_t bytes = page.FromUtf8(value).size();
  if (bytes <= width) return qz::Status::OK();
  return Usage(std::string(option) + ": '" + value + "' takes " + std::to_string(bytes) +
               " bytes in " + page.name() + ", more than the " + std::to_string(width) +
               " that the presence table holds for it");
}

qz::Status CheckLoginNames(const CommonOptions& o) {
  if (o.user.find_first_not_of(' ') == std::string::npos) {
    return Usage("--user: the user name must not be empty");
  }
  const YHDLRecord r{};
  for (const auto& [option, value, width] :
       {std::tuple{"--user", &o.user, sizeof r.YH01},
        std::tuple{"--full-name", &o.full_name, sizeof r.YH04},
        std::tuple{"--sys", &o.sys, sizeof r.YH05}, std::tuple{"--mod", &o.mod, sizeof r.YH06},
        std::tuple{"--std1", &o.std1, sizeof r.YH07}}) {
    if (qz::Status s = CheckField(option, *value, width); !s.ok()) return s;
  }
  return qz::Status::OK();
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
  app.add_option("--net-locale", options.net_locale,
                 "Locale whose codeset the messages and the presence table use, when it is not "
                 "the terminal's; every client of one network must use the same codeset "
                 "(e.g. zh_CN.GBK beside peers on code page 936)")
      ->envname("QZMSG_NET_LOCALE")
      ->type_name("LOCALE");
  app.add_flag("--json", options.json, "Write one JSON object per line");
}

void AddLoginOptions(CLI::App& app, CommonOptions& options) {
  AddDatabaseOptions(app, options);
  options.user = DefaultUser();
  app.add_option("--user", options.user, "User name to log in as")
      ->capture_default_str()
      ->type_name("NAME");
  app.add_option("--sys", options.sys, "System name")->capture_default_str()->type_name("NAME");
  app.add_option("--mod", options.mod, "Module name")->capture_default_str()->type_name("NAME");
  app.add_option("--full-name", options.full_name,
                 "Full name shown by who (default: the account's full name from its GECOS "
                 "field when logging in as the account's own user, else the user name)")
      ->each([&options](const std::string&) { options.full_name_given = true; })
      ->type_name("TEXT");
  app.add_option("--std1", options.std1, "Extra value stored with the login")->type_name("TEXT");
  app.add_option(
         "--local-ip", options.local_ip,
         "IPv4 address to publish for this login (default: the address of the link with the "
         "default route, else of another link that is up; never a loopback one)")
      ->type_name("ADDR")
      ->check(CheckIPv4, "IPv4");
}

qz::Status PrepareOptions(CommonOptions& options, bool login) {
  if (!options.net_locale.empty()) {
    if (qz::Status s = UseNetLocale(options.net_locale); !s.ok()) return s;
  }
  if (!login) return qz::Status::OK();
  for (std::string* text :
       {&options.user, &options.sys, &options.mod, &options.full_name, &options.std1}) {
    *text = FromTerminal(*text);
  }
  if (!options.full_name_given) options.full_name = DefaultFullName(options.user);
  return CheckLoginNames(options);
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
