#include "lan/lan_fixture.h"

#include <signal.h>

#include <iostream>
#include <sstream>

#include "postgres_server.h"

namespace qz_lan {

using qz_test::kExitTimeout;
using qz_test::kStartTimeout;
using qz_test::ParseJson;
using namespace std::chrono_literals;

void LanFixture::SkipOrFail(const std::string& why) {
  if (qzpub_test::ServerRequired()) FAIL() << why;
  GTEST_SKIP() << why;
}

const Host* LanFixture::AddLanHost(const std::string& name, int last_number, std::string* why_not) {
  return lan_->AddHost(name, last_number, why_not);
}

void LanFixture::SetUp() {
#ifndef QZ_LAN_WITH_POSTGRESQL
  if (backend_ == Backend::kPostgres) GTEST_SKIP() << "built without PostgreSQL";
#endif
  std::string why_not;
  lan_ = NetnsLan::Create(&why_not);
  if (!lan_) return SkipOrFail("no LAN of network namespaces: " + why_not);
  const Host** hosts[] = {&a_, &b_, &c_, &d_};
  const char* names[] = {"a", "b", "c", "d"};
  const int last_numbers[] = {10, 60, 130, 250};
  for (int i = 0; i < 4; ++i) {
    *hosts[i] = AddLanHost(names[i], last_numbers[i], &why_not);
    ASSERT_NE(*hosts[i], nullptr) << why_not;
  }
  if (backend_ == Backend::kSqlite) {
    uri_ = "sqlite:" + (lan_->folder() / "presence.db").string();
    table_ = qz_test::PresenceTable::Open(uri_, &why_not);
  } else {
    db_ = lan_->AddHost("db", 2, &why_not);
    ASSERT_NE(db_, nullptr) << why_not;
    postgres_ = LanPostgres::Start(*lan_, *db_, &why_not);
    if (!postgres_) return SkipOrFail("no PostgreSQL server on the LAN: " + why_not);
    uri_ = postgres_->Uri();
    table_ = qz_test::PresenceTable::Open(postgres_->SocketUri(), &why_not);
  }
  ASSERT_NE(table_, nullptr) << why_not;
}

void LanFixture::TearDown() {
  // Processes first, then the server, then the namespaces they ran in.
  children_.clear();
  table_.reset();
  if (postgres_ && HasFailure()) std::cerr << "server log:\n" << postgres_->log() << "\n";
  postgres_.reset();
  lan_.reset();
}

std::vector<std::string> LanFixture::Qzmsg(const Host& host, const std::string& command,
                                           const std::vector<std::string>& extra,
                                           bool local_ip) const {
  std::vector<std::string> argv = {QZMSG_PATH, command, "--db", uri_};
  if (local_ip) argv.insert(argv.end(), {"--local-ip", host.address});
  argv.insert(argv.end(), extra.begin(), extra.end());
  return lan_->In(host, argv);
}

ChildProcess* LanFixture::Start(const Host& host, const std::string& command,
                                const std::vector<std::string>& extra, bool local_ip) {
  children_.push_back(ChildProcess::Start(Qzmsg(host, command, extra, local_ip)));
  if (children_.back() == nullptr) ADD_FAILURE() << "cannot start qzmsg on " << host.name;
  return children_.back().get();
}

ChildProcess* LanFixture::StartListen(const Host& host, const std::string& user,
                                      const std::string& sys, const std::string& mod, json* ready,
                                      bool local_ip) {
  ChildProcess* child =
      Start(host, "listen", {"--user", user, "--sys", sys, "--mod", mod, "--json"}, local_ip);
  if (child == nullptr) return nullptr;
  std::optional<json> line = ParseJson(child->ReadLine(kStartTimeout));
  if (!line || (*line)["event"] != "ready") {
    child->Wait(kExitTimeout);
    ADD_FAILURE() << "listen " << user << " on " << host.name
                  << " not ready; stderr: " << child->stderr_text();
    return nullptr;
  }
  *ready = *line;
  return child;
}

namespace {

std::vector<std::string> SendArgs(const std::string& user,
                                  const std::vector<std::string>& filters_and_text) {
  std::vector<std::string> args = {"--user", user, "--sys", "lan", "--mod", "send", "--json"};
  args.insert(args.end(), filters_and_text.begin(), filters_and_text.end());
  return args;
}

}  // namespace

RunResult LanFixture::Send(const Host& host, const std::string& user,
                           const std::vector<std::string>& filters_and_text) {
  return qz_test::RunToEnd(Qzmsg(host, "send", SendArgs(user, filters_and_text)), 30000ms);
}

ChildProcess* LanFixture::StartSend(const Host& host, const std::string& user,
                                    const std::vector<std::string>& filters_and_text,
                                    const std::vector<std::string>& options) {
  std::vector<std::string> args = options;
  const std::vector<std::string> rest = SendArgs(user, filters_and_text);
  args.insert(args.end(), rest.begin(), rest.end());
  ChildProcess* child = Start(host, "send", args);
  if (child != nullptr) child->CloseStdin();
  return child;
}

std::vector<json> LanFixture::Who(const Host& host) {
  const RunResult who =
      qz_test::RunToEnd(Qzmsg(host, "who", {"--json"}, /*local_ip=*/false), kExitTimeout);
  EXPECT_EQ(who.exit_code, 0) << "who on " << host.name << ": " << who.err;
  std::vector<json> rows;
  std::istringstream lines(who.out);
  for (std::string line; std::getline(lines, line);) {
    std::optional<json> row = ParseJson(line);
    EXPECT_TRUE(row) << "not JSON: " << line;
    if (row) rows.push_back(*row);
  }
  return rows;
}

std::vector<std::string> LanFixture::ReceivedUntil(ChildProcess& listener,
                                                   const std::string& last) {
  std::vector<std::string> received;
  auto text = [](const json& m) {
    return m["msg"].get<std::string>() + " from " + m["user"].get<std::string>();
  };
  while (std::optional<json> m = qz_test::NextMessage(listener)) {
    received.push_back(text(*m));
    if ((*m)["msg"] == last) break;
  }
  listener.Signal(SIGTERM);
  for (const json& m : qz_test::RemainingMessages(listener)) received.push_back(text(m));
  return received;
}

}  // namespace qz_lan
