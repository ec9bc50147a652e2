#include "postgres_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "test_support.h"

namespace qzpub_test {
namespace {

namespace fs = std::filesystem;

bool AsRoot() { return geteuid() == 0; }

// Hands path to user postgres when running as root, so the server can write there.
bool GiveToServerUser(const std::string& path) {
  if (!AsRoot()) return true;
  const passwd* pw = getpwnam("postgres");
  return pw != nullptr && chown(path.c_str(), pw->pw_uid, pw->pw_gid) == 0;
}

// Runs argv (as user postgres under root) with its output appended to log_path; returns its
// exit status, or -1.
int Run(std::vector<std::string> argv, const std::string& log_path) {
  if (AsRoot()) argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // The server outlives this command: it must hold none of the test's descriptors (a pipe
    // of the test runner kept open would make the runner wait for the server).
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    close_range(3, ~0U, 0);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string PostgresBinDir() {
  if (const char* env = std::getenv("QZPUB_PG_BINDIR"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  int best = -1;
  std::string dir;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > best && fs::exists(entry.path() / "bin" / "pg_ctl", ec)) {
      best = version;
      dir = (entry.path() / "bin").string();
    }
  }
  return dir;
}

std::string FileTail(const std::string& path, size_t max) {
  const std::string s = ReadWholeFile(path);
  return s.size() <= max ? s : "..." + s.substr(s.size() - max);
}

int UnusedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

namespace {

// The initialised cluster that servers are copied from, made on first use. Several test
// processes may race here: each builds in a folder of its own and renames it into place.
std::string TemplateCluster(const std::string& bin, std::string* why_not) {
  const std::string name = "qzpub-pg-template-" + std::to_string(geteuid()) + "-" +
                           std::to_string(std::hash<std::string>{}(bin));
  const fs::path dir = fs::temp_directory_path() / name;
  std::error_code ec;
  if (fs::exists(dir / "data" / "PG_VERSION", ec)) return (dir / "data").string();
  fs::remove_all(dir, ec);  // a leftover without a cluster in it
  const fs::path building = dir.string() + ".building-" + std::to_string(getpid());
  fs::create_directory(building, ec);
  if (ec || !GiveToServerUser(building.string())) {
    *why_not = "cannot prepare " + building.string() +
               (AsRoot() ? " for user postgres (does the user exist?)" : "");
    fs::remove_all(building, ec);
    return "";
  }
  const std::string log = (building / "initdb.log").string();
  const int rc = Run({bin + "/initdb", "-D", (building / "data").string(), "-U", "postgres", "-A",
                      "trust", "-E", "UTF8", "--locale=C", "-N", "--wal-segsize=1"},
                     log);
  if (rc != 0) {
    *why_not = "initdb failed (exit " + std::to_string(rc) + "): " + FileTail(log, 1500);
    fs::remove_all(building, ec);
    return "";
  }
  fs::rename(building, dir, ec);
  if (ec) fs::remove_all(building, ec);  // another process was first
  if (!fs::exists(dir / "data" / "PG_VERSION", ec)) {
    *why_not = "no cluster at " + dir.string() + " after initdb";
    return "";
  }
  return (dir / "data").string();
}

}  // namespace

bool ServerRequired() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

PostgresServer* SharedPostgresServer(std::string* why_not) {
  static std::string reason;
  static const std::unique_ptr<PostgresServer> server = PostgresServer::Start(&reason);
  *why_not = reason;
  return server.get();
}

std::unique_ptr<PostgresServer> PostgresServer::Start(std::string* why_not) {
  const std::string bin = PostgresBinDir();
  if (bin.empty()) {
    *why_not = "no PostgreSQL server binaries (set QZPUB_PG_BINDIR or install postgresql)";
    return nullptr;
  }
  std::error_code ec;
  if (!fs::exists(bin + "/initdb", ec) || !fs::exists(bin + "/pg_ctl", ec)) {
    *why_not = "no initdb and pg_ctl in " + bin;
    return nullptr;
  }
  if (AsRoot() && getpwnam("postgres") == nullptr) {
    *why_not = "running as root, and there is no user postgres to run the server as";
    return nullptr;
  }
  const std::string cluster = TemplateCluster(bin, why_not);
  if (cluster.empty()) return nullptr;

  std::string folder = (fs::temp_directory_path() / "qzpub-pg-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr || !GiveToServerUser(folder)) {
    *why_not = "cannot make a folder for the server: " + std::string(std::strerror(errno));
    return nullptr;
  }
  std::unique_ptr<PostgresServer> server(new PostgresServer(bin, folder, 0));
  if (Run({"cp", "-a", cluster, folder + "/data"}, folder + "/commands.log") != 0) {
    *why_not = "cannot copy the cluster: " + server->log();
    return nullptr;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    server->port_ = UnusedLoopbackPort();
    if (server->port_ > 0 && server->Launch()) return server;
  }
  *why_not = "the server did not start: " + server->log();
  return nullptr;
}

PostgresServer::~PostgresServer() {
  Run({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "immediate", "-w", "-t", "30", "stop"},
      folder_ + "/commands.log");
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

bool PostgresServer::Launch() {
  const std::string options = "-c listen_addresses=127.0.0.1 -c port=" + std::to_string(port_) +
                              " -c unix_socket_directories=" + folder_ +
                              " -c fsync=off -c shared_buffers=16MB -c max_connections=40";
  return Run({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-l", folder_ + "/server.log", "-w", "-t",
              "30", "-o", options, "start"},
             folder_ + "/commands.log") == 0;
}

bool PostgresServer::Stop() {
  return Run({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "fast", "-w", "-t", "30", "stop"},
             folder_ + "/commands.log") == 0;
}

bool PostgresServer::Restart() { return Launch(); }

std::string PostgresServer::Uri() const {
  return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/postgres";
}

std::string PostgresServer::SocketUri() const {
  return "postgresql://postgres@/postgres?host=" + folder_ + "&port=" + std::to_string(port_);
}

std::string PostgresServer::log() const {
  return FileTail(folder_ + "/commands.log", 800) + "\n" + FileTail(folder_ + "/server.log", 1500);
}

}  // namespace qzpub_test
