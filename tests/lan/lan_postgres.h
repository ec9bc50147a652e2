// LanPostgres: a throw-away PostgreSQL server on a host of a NetnsLan.
//
// The cluster is made in the LAN's folder and the server runs inside the host's namespace,
// listening on the host's address at port 5432, where every role may log in without a password
// from the LAN. It also listens on a unix socket in its folder, which the test process reaches
// from the root namespace. Under root every command runs as user postgres, as the server
// refuses root. The server binaries are QZPUB_PG_BINDIR's, else the newest of
// /usr/lib/postgresql/*/bin, as for qzpub's own tests.
#ifndef QZ_TESTS_LAN_LAN_POSTGRES_H_
#define QZ_TESTS_LAN_LAN_POSTGRES_H_

#include <memory>
#include <string>

#include "lan/netns_lan.h"

namespace qz_lan {

class LanPostgres {
 public:
  // Makes the cluster and starts the server; nullptr, with *why_not set, when it cannot.
  static std::unique_ptr<LanPostgres> Start(const NetnsLan& lan, const Host& host,
                                            std::string* why_not);
  // Stops the server at once; the LAN removes the folder.
  ~LanPostgres();
  LanPostgres(const LanPostgres&) = delete;
  LanPostgres& operator=(const LanPostgres&) = delete;

  // postgresql://postgres@ADDRESS:5432/postgres, for the hosts of the LAN.
  std::string Uri() const;
  // The same database over the unix socket, for the test process.
  std::string SocketUri() const;
  // The tail of the server's log, for failure messages.
  std::string log() const;

 private:
  LanPostgres(std::string bin, std::string folder, std::string address)
      : bin_(std::move(bin)), folder_(std::move(folder)), address_(std::move(address)) {}
  bool MakeCluster(std::string* why_not);
  bool Launch(const NetnsLan& lan, const Host& host, std::string* why_not);

  std::string bin_;
  std::string folder_;
  std::string address_;
};

}  // namespace qz_lan

#endif  // QZ_TESTS_LAN_LAN_POSTGRES_H_
