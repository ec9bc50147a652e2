// PostgresServer: a throw-away PostgreSQL server for tests, in a temporary folder, listening
// on 127.0.0.1 at a free port and on a unix socket in that folder.
//
// It runs the server binaries of the machine (QZPUB_PG_BINDIR, else the newest of
// /usr/lib/postgresql/*/bin). PostgreSQL refuses to run as root, so under root every command
// runs as user postgres (runuser), which then owns the folder. The cluster is made once per
// machine and user into a template folder beside it and copied for each server, since
// initdb costs a second and every test case runs in a process of its own.
#ifndef QZPUB_TESTS_POSTGRES_SERVER_H_
#define QZPUB_TESTS_POSTGRES_SERVER_H_

#include <cstddef>
#include <memory>
#include <string>

namespace qzpub_test {

// The folder of the machine's PostgreSQL server binaries: QZPUB_PG_BINDIR, else the newest of
// /usr/lib/postgresql/*/bin; empty when there is none.
std::string PostgresBinDir();
// The last max bytes of a file (a log), "..." in front when cut.
std::string FileTail(const std::string& path, size_t max);

class PostgresServer {
 public:
  // Starts a server; nullptr, with *why_not saying why, when it cannot.
  static std::unique_ptr<PostgresServer> Start(std::string* why_not);
  // Stops the server at once and removes its folder.
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // postgresql://postgres@127.0.0.1:PORT/postgres
  std::string Uri() const;
  // The same database over the unix socket in the folder.
  std::string SocketUri() const;
  int port() const { return port_; }

  // Shuts the server down (fast mode, connections are cut) and starts it again on the same
  // port. Both wait until done; false when the command failed (see log()).
  bool Stop();
  bool Restart();
  // The tail of the server's log, for failure messages.
  std::string log() const;

 private:
  PostgresServer(std::string bin, std::string folder, int port)
      : bin_(std::move(bin)), folder_(std::move(folder)), port_(port) {}
  bool Launch();

  std::string bin_;
  std::string folder_;
  int port_;
};

// The server of this test process, started at the first call and stopped when the process
// ends; nullptr, with *why_not set, when it cannot start.
PostgresServer* SharedPostgresServer(std::string* why_not);

// A TCP port of 127.0.0.1 that nothing listens on just now.
int UnusedLoopbackPort();

// Whether a missing server must fail the tests rather than skip them (env CI=true).
bool ServerRequired();

}  // namespace qzpub_test

#endif  // QZPUB_TESTS_POSTGRES_SERVER_H_
