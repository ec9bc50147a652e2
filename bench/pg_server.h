// A throwaway PostgreSQL server for the benchmark: its own data directory and Unix socket in a
// temporary folder, no TCP listener at all. Run as user postgres when this process is root.
#ifndef QZ_BENCH_PG_SERVER_H_
#define QZ_BENCH_PG_SERVER_H_

#include <memory>
#include <string>

#include "qz/status.h"

namespace qz::bench {

class PostgresServer {
 public:
  // initdb and pg_ctl from bin_dir; dir must exist and is left to the caller to remove.
  static Result<std::unique_ptr<PostgresServer>> Start(const std::string& bin_dir,
                                                       const std::string& dir);
  // Stops the server (immediate shutdown).
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // A URI for qzpub_Connect.
  const std::string& uri() const { return uri_; }

 private:
  PostgresServer(std::string bin_dir, std::string data_dir, std::string uri, int uid, int gid)
      : bin_dir_(std::move(bin_dir)),
        data_dir_(std::move(data_dir)),
        uri_(std::move(uri)),
        uid_(uid),
        gid_(gid) {}
  std::string bin_dir_;
  std::string data_dir_;
  std::string uri_;
  int uid_;
  int gid_;
};

}  // namespace qz::bench

#endif  // QZ_BENCH_PG_SERVER_H_
