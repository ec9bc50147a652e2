#include "lan/lan_postgres.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "postgres_server.h"

namespace qz_lan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kPort = 5432;

// argv as user postgres; argv[0] is a path.
std::vector<std::string> AsServerUser(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
  return argv;
}

// The same, to run in the root namespace.
std::vector<std::string> HereAsServerUser(std::vector<std::string> argv) {
  argv = AsServerUser(std::move(argv));
  argv.insert(argv.begin(), "/usr/bin/env");
  return argv;
}

}  // namespace

std::unique_ptr<LanPostgres> LanPostgres::Start(const NetnsLan& lan, const Host& host,
                                                std::string* why_not) {
  const std::string bin = qzpub_test::PostgresBinDir();
  std::error_code ec;
  if (bin.empty() || !fs::exists(bin + "/initdb", ec)) {
    *why_not = "no PostgreSQL server binaries (set QZPUB_PG_BINDIR or install postgresql)";
    return nullptr;
  }
  const passwd* pw = getpwnam("postgres");
  const fs::path folder = lan.folder() / "postgres";
  fs::create_directory(folder, ec);
  if (pw == nullptr || ec || chown(folder.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
    *why_not = "cannot make " + folder.string() + " for user postgres (does the user exist?)";
    return nullptr;
  }
  std::unique_ptr<LanPostgres> server(new LanPostgres(bin, folder, host.address));
  if (!server->MakeCluster(why_not) || !server->Launch(lan, host, why_not)) return nullptr;
  return server;
}

bool LanPostgres::MakeCluster(std::string* why_not) {
  const std::string data = folder_ + "/data";
  const qz_test::RunResult r = qz_test::RunToEnd(
      HereAsServerUser({bin_ + "/initdb", "-D", data, "-U", "postgres", "-A", "trust", "-E", "UTF8",
                        "--locale=C", "-N", "--wal-segsize=1"}),
      60000ms);
  if (r.exit_code != 0) {
    *why_not = "initdb failed: " + r.err + r.out;
    return false;
  }
  std::ofstream hba(data + "/pg_hba.conf", std::ios::app);
  hba << "host all all 198.18.0.0/24 trust\n";
  if (!hba.flush()) {
    *why_not = "cannot write " + data + "/pg_hba.conf";
    return false;
  }
  return true;
}

bool LanPostgres::Launch(const NetnsLan& lan, const Host& host, std::string* why_not) {
  const std::string options = "-c listen_addresses=" + address_ +
                              " -c port=" + std::to_string(kPort) +
                              " -c unix_socket_directories=" + folder_ +
                              " -c fsync=off -c shared_buffers=16MB -c max_connections=40";
  const qz_test::RunResult r = qz_test::RunToEnd(
      lan.In(host,
             AsServerUser({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-l", folder_ + "/server.log",
                           "-w", "-t", "30", "-o", options, "start"})),
      60000ms);
  if (r.exit_code == 0) return true;
  *why_not = "the server did not start: " + r.err + r.out + log();
  return false;
}

LanPostgres::~LanPostgres() {
  qz_test::RunToEnd(HereAsServerUser({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "immediate",
                                      "-w", "-t", "30", "stop"}),
                    60000ms);
}

std::string LanPostgres::Uri() const {
  return "postgresql://postgres@" + address_ + ":" + std::to_string(kPort) + "/postgres";
}

std::string LanPostgres::SocketUri() const {
  return "postgresql://postgres@/postgres?host=" + folder_ + "&port=" + std::to_string(kPort);
}

std::string LanPostgres::log() const { return qzpub_test::FileTail(folder_ + "/server.log", 1500); }

}  // namespace qz_lan
