// The options a PostgreSQL connection is opened with: every wait bounded to a few seconds, and
// whatever the caller set kept as it is.
#include "postgres_options.h"

#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace qzpub {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

PostgresOptions Options(const std::string& conninfo) {
  Result<PostgresOptions> o = PostgresConnectOptions(conninfo, "UTF8");
  EXPECT_TRUE(o.ok()) << conninfo << ": " << o.status().message();
  return o.ok() ? o.value() : PostgresOptions{};
}

int Number(const PostgresOptions& o, const char* key) {
  const std::string* value = o.Find(key);
  return value ? std::stoi(*value) : -1;
}

size_t Count(const PostgresOptions& o, const std::string& key) {
  size_t n = 0;
  for (const std::string& k : o.keys) n += k == key;
  return n;
}

TEST(PostgresOptionsTest, EveryWaitIsBoundedToAFewSecondsByDefault) {
  for (const char* conninfo : {"postgresql://qz@198.18.0.2/qz", "host=198.18.0.2 dbname=qz"}) {
    SCOPED_TRACE(conninfo);
    const PostgresOptions o = Options(conninfo);
    // libpq takes 2 s at least; 0 or unset would wait as long as TCP does (minutes).
    EXPECT_GE(Number(o, "connect_timeout"), 2);
    EXPECT_LE(Number(o, "connect_timeout"), 5);
    EXPECT_GT(Number(o, "tcp_user_timeout"), 0);
    EXPECT_LE(Number(o, "tcp_user_timeout"), 5000);
    EXPECT_EQ(Number(o, "keepalives"), 1);
    ASSERT_NE(o.Find("options"), nullptr);
    const std::string& options = *o.Find("options");
    const size_t at = options.find("statement_timeout=");
    ASSERT_NE(at, std::string::npos) << options;
    const int ms = std::stoi(options.substr(at + 18));
    EXPECT_GT(ms, 0);
    EXPECT_LE(ms, 5000);
    EXPECT_EQ(*o.Find("host"), "198.18.0.2");
    EXPECT_EQ(*o.Find("client_encoding"), "UTF8");
  }
}

TEST(PostgresOptionsTest, WhatTheCallerSetIsKeptOnce) {
  for (const char* conninfo :
       {"postgresql://qz@db/qz?connect_timeout=20&tcp_user_timeout=60000&client_encoding=LATIN1",
        "host=db dbname=qz connect_timeout=20 tcp_user_timeout=60000 client_encoding=LATIN1"}) {
    SCOPED_TRACE(conninfo);
    const PostgresOptions o = Options(conninfo);
    EXPECT_EQ(Number(o, "connect_timeout"), 20);
    EXPECT_EQ(Number(o, "tcp_user_timeout"), 60000);
    EXPECT_EQ(*o.Find("client_encoding"), "LATIN1");
    for (const char* key : {"connect_timeout", "tcp_user_timeout", "client_encoding"}) {
      EXPECT_EQ(Count(o, key), 1u) << key;
    }
  }
}

TEST(PostgresOptionsTest, TheCallersStatementTimeoutWinsAndOtherServerOptionsStay) {
  const PostgresOptions own =
      Options("postgresql://db/qz?options=-c%20statement_timeout%3D60000%20-c%20work_mem%3D8MB");
  const std::string& options = *own.Find("options");
  EXPECT_THAT(options, HasSubstr("-c statement_timeout=60000 -c work_mem=8MB"));
  EXPECT_EQ(options.find("statement_timeout"), options.rfind("statement_timeout")) << options;

  const PostgresOptions other = Options("host=db options='-c work_mem=8MB'");
  EXPECT_THAT(*other.Find("options"), HasSubstr("-c work_mem=8MB"));
  EXPECT_THAT(*other.Find("options"), HasSubstr("statement_timeout="));
  EXPECT_THAT(*other.Find("options"), Not(HasSubstr("statement_timeout=60000")));
}

TEST(PostgresOptionsTest, AStringLibpqCannotReadFailsInItsWords) {
  Result<PostgresOptions> o = PostgresConnectOptions("host=db connect_timeout", "UTF8");
  ASSERT_FALSE(o.ok());
  EXPECT_THAT(o.status().message(), HasSubstr("invalid connection string"));
  EXPECT_THAT(o.status().message(), HasSubstr("connect_timeout"));
  EXPECT_THAT(o.status().message(), Not(HasSubstr("\n")));
}

}  // namespace
}  // namespace qzpub
