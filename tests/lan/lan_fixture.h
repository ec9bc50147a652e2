// LanFixture: qzmsg processes on the hosts of a LAN of network namespaces (netns_lan.h), over
// one presence database: PostgreSQL on host db, or one SQLite file that every host opens through
// the file system they share.
//
// Hosts: db 198.18.0.2 (PostgreSQL only), a .10, b .60, c .130, d .250. The last numbers lie far
// apart, since a sender picks its local port for a recipient from that number. The database is
// the test's own, so sends need no filter to stay among the test's processes. Without root or
// namespaces the tests skip, and fail under CI=true.
#ifndef QZ_TESTS_LAN_LAN_FIXTURE_H_
#define QZ_TESTS_LAN_LAN_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lan/lan_postgres.h"
#include "lan/netns_lan.h"
#include "qzmsg_fixture.h"

namespace qz_lan {

using qz_test::Backend;
using qz_test::ChildProcess;
using qz_test::json;
using qz_test::RunResult;

class LanFixture : public testing::Test {
 protected:
  explicit LanFixture(Backend backend) : backend_(backend) {}
  void SetUp() override;
  void TearDown() override;

  // Adds a host of the LAN; by default linked to the bridge. nullptr, with *why_not, on failure.
  virtual const Host* AddLanHost(const std::string& name, int last_number, std::string* why_not);

  // Skips the test for a reason outside the product; under CI=true a failure instead. The
  // caller returns at once.
  void SkipOrFail(const std::string& why);

  // qzmsg COMMAND --db URI [--local-ip ADDRESS] EXTRA..., run inside host's namespace. who
  // takes no --local-ip.
  std::vector<std::string> Qzmsg(const Host& host, const std::string& command,
                                 const std::vector<std::string>& extra, bool local_ip = true) const;
  // Starts that; nullptr on failure (already reported).
  ChildProcess* Start(const Host& host, const std::string& command,
                      const std::vector<std::string>& extra, bool local_ip = true);
  // `qzmsg listen --json` as user@sys/mod on host; its ready line in *ready. nullptr on failure
  // (already reported).
  ChildProcess* StartListen(const Host& host, const std::string& user, const std::string& sys,
                            const std::string& mod, json* ready, bool local_ip = true);
  // `qzmsg send --json` as user@lan/send on host, with filters and text, to its end.
  RunResult Send(const Host& host, const std::string& user,
                 const std::vector<std::string>& filters_and_text);
  // The same, left running.
  ChildProcess* StartSend(const Host& host, const std::string& user,
                          const std::vector<std::string>& filters_and_text,
                          const std::vector<std::string>& options = {});
  // The rows `qzmsg who --json` lists on host; a failure is reported.
  std::vector<json> Who(const Host& host);

  // The texts listener printed, each as "TEXT from USER", up to and with the first whose text
  // is last; then the listener is told to end and what it still prints is added.
  static std::vector<std::string> ReceivedUntil(ChildProcess& listener, const std::string& last);

  const Backend backend_;
  std::unique_ptr<NetnsLan> lan_;
  std::unique_ptr<LanPostgres> postgres_;
  const Host* db_ = nullptr;  // PostgreSQL only
  const Host* a_ = nullptr;
  const Host* b_ = nullptr;
  const Host* c_ = nullptr;
  const Host* d_ = nullptr;
  std::string uri_;                                // as the hosts open the database
  std::unique_ptr<qz_test::PresenceTable> table_;  // as the test process sees it
  std::vector<std::unique_ptr<ChildProcess>> children_;
};

// Cases that run over each backend.
class LanTest : public LanFixture, public testing::WithParamInterface<Backend> {
 protected:
  LanTest() : LanFixture(GetParam()) {}
};

// Cases on a LAN with its database server on a host of its own.
class LanPostgresTest : public LanFixture {
 protected:
  LanPostgresTest() : LanFixture(Backend::kPostgres) {}
};

// Cases where the database does not matter.
class LanSqliteTest : public LanFixture {
 protected:
  LanSqliteTest() : LanFixture(Backend::kSqlite) {}
};

}  // namespace qz_lan

#endif  // QZ_TESTS_LAN_LAN_FIXTURE_H_
