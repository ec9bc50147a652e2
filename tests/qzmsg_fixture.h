// The fixture of the end-to-end tests between qzmsg processes over one presence database:
// SQLite, and PostgreSQL when a server can be had (env QZ_TEST_PG_URI, else a throw-away server).
//
// Every process publishes 127.0.0.1 and every test socket is on 127.0.0.1. Names carry a
// per-test tag and every send is filtered by them, so that a shared server's other rows are
// never reached; unfiltered sends run only over a database of the test's own.
#ifndef QZ_TESTS_QZMSG_FIXTURE_H_
#define QZ_TESTS_QZMSG_FIXTURE_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "postgres_server.h"
#include "testing/child_process.h"
#include "testing/plain_peer.h"
#include "testing/presence_table.h"
#include "testing/qzmsg_output.h"

namespace qz_test {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr char kSep = '\x0F';

enum class Backend { kSqlite, kPostgres };

inline void PrintTo(Backend backend, std::ostream* os) {
  *os << (backend == Backend::kSqlite ? "SQLite" : "PostgreSQL");
}

inline std::string BackendName(const testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
}

class QzmsgFixture : public testing::Test {
 protected:
  explicit QzmsgFixture(Backend backend) : backend_(backend) {}

  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / "qzmsg-e2e-XXXXXX";
    std::string pattern = folder_.string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    tag_ = std::to_string(getpid()) + "_" +
           std::to_string(std::chrono::system_clock::now().time_since_epoch().count() % 1000000);
    if (backend_ == Backend::kSqlite) {
      uri_ = "sqlite:" + (folder_ / "presence.db").string();
    } else if (const char* given = std::getenv("QZ_TEST_PG_URI"); given && *given) {
      uri_ = given;
      shared_db_ = true;
    } else {
      std::string why_not;
      server_ = qzpub_test::PostgresServer::Start(&why_not);
      if (!server_) {
        if (qzpub_test::ServerRequired()) FAIL() << "no PostgreSQL server: " << why_not;
        GTEST_SKIP() << "no PostgreSQL server: " << why_not;
      }
      uri_ = server_->Uri();
    }
    std::string why_not;
    table_ = PresenceTable::Open(uri_, &why_not);
    ASSERT_NE(table_, nullptr) << why_not;
  }

  void TearDown() override {
    children_.clear();
    table_.reset();
    server_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // A name unique to this test run, so that rows of others never match a filter.
  std::string Name(const std::string& base) const { return base + "_" + tag_; }

  // qzmsg COMMAND --db URI [--local-ip 127.0.0.1] EXTRA...; who and prune do not log in.
  std::vector<std::string> Args(const std::string& command, std::vector<std::string> extra) const {
    std::vector<std::string> args = {QZMSG_PATH, command, "--db", uri_};
    if (command != "who" && command != "prune") {
      args.insert(args.end(), {"--local-ip", "127.0.0.1"});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  std::vector<std::string> Login(const std::string& user, const std::string& sys,
                                 const std::string& mod) const {
    return {"--user", user, "--sys", sys, "--mod", mod};
  }

  // Starts qzmsg COMMAND as Args gives it, under LC_ALL=locale. nullptr on failure (already
  // reported).
  ChildProcess* Start(const std::string& command, std::vector<std::string> extra,
                      const std::string& locale = "C.UTF-8") {
    children_.push_back(ChildProcess::Start(Args(command, std::move(extra)), locale));
    if (children_.back() == nullptr) ADD_FAILURE() << "cannot start qzmsg";
    return children_.back().get();
  }

  // Starts `qzmsg listen --json` and reads its ready line into *ready. nullptr on failure
  // (already reported).
  ChildProcess* StartListen(const std::string& user, const std::string& sys, const std::string& mod,
                            json* ready, std::vector<std::string> extra = {},
                            const std::string& locale = "C.UTF-8") {
    std::vector<std::string> args = Login(user, sys, mod);
    args.push_back("--json");
    args.insert(args.end(), extra.begin(), extra.end());
    ChildProcess* child = Start("listen", args, locale);
    if (child == nullptr) return nullptr;
    std::optional<json> line = ParseJson(child->ReadLine(kStartTimeout));
    if (!line || (*line)["event"] != "ready") {
      child->Wait(kExitTimeout);
      ADD_FAILURE() << "listen " << user << " not ready; stderr: " << child->stderr_text();
      return nullptr;
    }
    *ready = *line;
    return child;
  }

  RunResult Send(const std::string& user, const std::string& sys, const std::string& mod,
                 std::vector<std::string> filters_and_text) {
    std::vector<std::string> args = Login(user, sys, mod);
    args.insert(args.end(), filters_and_text.begin(), filters_and_text.end());
    return RunToEnd(Args("send", args), kExitTimeout);
  }

  const Backend backend_;
  std::filesystem::path folder_;
  bool shared_db_ = false;  // others' rows may be there, possibly of other machines
  std::string tag_;
  std::string uri_;
  std::unique_ptr<qzpub_test::PostgresServer> server_;
  std::unique_ptr<PresenceTable> table_;
  std::vector<std::unique_ptr<ChildProcess>> children_;
};

// Cases that depend on the presence store run over each backend.
class QzmsgTest : public QzmsgFixture, public testing::WithParamInterface<Backend> {
 protected:
  QzmsgTest() : QzmsgFixture(GetParam()) {}
};

// Cases about the wire and the terminal side run over SQLite only.
class QzmsgSqliteTest : public QzmsgFixture {
 protected:
  QzmsgSqliteTest() : QzmsgFixture(Backend::kSqlite) {}
};

}  // namespace qz_test

#endif  // QZ_TESTS_QZMSG_FIXTURE_H_
