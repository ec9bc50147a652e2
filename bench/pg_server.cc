#include "pg_server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace qz::bench {
namespace {

// Runs bin_dir/program with args as uid:gid (when they differ from ours), output to log.
// Returns its exit status, or -1.
int RunAs(int uid, int gid, const std::string& program, const std::vector<std::string>& args,
          const std::string& log) {
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    if (static_cast<int>(getuid()) != uid) {
      if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(gid)) != 0 ||
          setuid(static_cast<uid_t>(uid)) != 0) {
        _exit(126);
      }
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Result<std::unique_ptr<PostgresServer>> PostgresServer::Start(const std::string& bin_dir,
                                                              const std::string& dir) {
  const std::string initdb = bin_dir + "/initdb";
  if (access(initdb.c_str(), X_OK) != 0) {
    return Status::Error(errc::kFileNotFound, initdb + " not found");
  }
  int uid = static_cast<int>(getuid());
  int gid = static_cast<int>(getgid());
  if (uid == 0) {
    // The server refuses to run as root.
    passwd* pw = getpwnam("postgres");
    if (pw == nullptr) return Status::Error(errc::kFileNotFound, "no user postgres");
    uid = static_cast<int>(pw->pw_uid);
    gid = static_cast<int>(pw->pw_gid);
  }
  const std::string base = dir + "/pg";
  const std::string data = base + "/data";
  const std::string sock = base + "/sock";
  const std::string log = base + "/setup.log";
  // The parent folder is the caller's (private); the server's user must pass through it.
  chmod(dir.c_str(), 0711);
  for (const std::string& d : {base, sock}) {
    if (mkdir(d.c_str(), 0700) != 0) return Status::Error(errc::kFileNotFound, "mkdir " + d);
    if (chown(d.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
      return Status::Error(errc::kFileNotFound, "chown " + d);
    }
  }
  int rc = RunAs(
      uid, gid, initdb,
      {"-D", data, "-U", "postgres", "-A", "trust", "-E", "UTF8", "--no-sync", "--locale=C"}, log);
  if (rc != 0) {
    return Status::Error(errc::kFileNotFound,
                         "initdb failed (" + std::to_string(rc) + "), see " + log);
  }
  // listen_addresses empty: Unix socket only.
  rc = RunAs(uid, gid, bin_dir + "/pg_ctl",
             {"-D", data, "-l", base + "/server.log", "-w", "-t", "60", "-o",
              "-c listen_addresses= -k " + sock, "start"},
             log);
  if (rc != 0) {
    return Status::Error(errc::kFileNotFound,
                         "pg_ctl start failed (" + std::to_string(rc) + "), see " + log);
  }
  const std::string uri = "postgresql:///postgres?host=" + sock + "&user=postgres";
  return std::unique_ptr<PostgresServer>(new PostgresServer(bin_dir, data, uri, uid, gid));
}

PostgresServer::~PostgresServer() {
  RunAs(uid_, gid_, bin_dir_ + "/pg_ctl", {"-D", data_dir_, "-m", "immediate", "-w", "stop"},
        data_dir_ + "/../setup.log");
}

}  // namespace qz::bench
