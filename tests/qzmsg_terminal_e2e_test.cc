// End-to-end tests of what qzmsg shows a person at a terminal: peers' controls escaped, text in
// the terminal's codeset (GBK and UTF-8, alone and mixed), chat's time stamps and notices, the
// who table, and the checks of names, counts and --version.
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "display_text.h"
#include "qzmsg_fixture.h"

namespace qz_test {
namespace {

constexpr auto kPresenceTimeout = 15000ms;  // until chat has looked at the table again

// 你好 and 张三 as UTF-8 and as GBK.
const std::string kHelloUtf8 = "\xe4\xbd\xa0\xe5\xa5\xbd";
const std::string kHelloGbk = "\xc4\xe3\xba\xc3";
const std::string kZhangUtf8 = "\xe5\xbc\xa0\xe4\xb8\x89";
const std::string kZhangGbk = "\xd5\xc5\xc8\xfd";
const std::string kGbk = "zh_CN.GBK";

bool GbkLocaleInstalled() {
  const locale_t gbk = newlocale(LC_CTYPE_MASK, kGbk.c_str(), locale_t{});
  if (gbk == locale_t{}) return false;
  freelocale(gbk);
  return true;
}

#define SKIP_WITHOUT_GBK() \
  if (!GbkLocaleInstalled()) GTEST_SKIP() << kGbk << " is not installed (scripts/setup.sh)"

// The port of a text ready line: "... at 127.0.0.1:PORT (key N)".
int PortOf(const std::optional<std::string>& ready) {
  std::smatch match;
  if (!ready || !std::regex_search(*ready, match, std::regex(R"(127\.0\.0\.1:(\d+) )"))) return 0;
  return std::stoi(match[1]);
}

using QzmsgTerminalTest = QzmsgSqliteTest;

TEST_F(QzmsgTerminalTest, PeersControlsAreEscapedForPeopleAndExactInJson) {
  const std::string sys = Name("erp");
  json ready;
  ChildProcess* program = StartListen("pam", sys, "m", &ready);
  ASSERT_NE(program, nullptr);
  ChildProcess* person = Start("listen", Login("pat", sys, "m"));
  ASSERT_NE(person, nullptr);
  const int person_port = PortOf(person->ReadLine(kStartTimeout));
  ASSERT_GT(person_port, 0) << person->stderr_text();
  ChildProcess* chat = Start("chat", Login("cat", sys, "chat"));
  ASSERT_NE(chat, nullptr);
  const int chat_port = PortOf(chat->ReadLine(kStartTimeout));
  ASSERT_GT(chat_port, 0) << chat->stderr_text();

  // A peer that clears the screen, recolours, retitles the window and hides in an 8-bit CSI.
  const std::string text =
      "\x1b[2Jred \x1b[31mX\x1b[0m\x1b]0;pwn\x07 \xc2\x9b"
      "1m\x7f";
  const std::string user = "ev\x1bil";
  const std::string payload = "YH" + text + kSep + user + kSep + "s\r" + kSep + "m" + kSep + "5";
  for (int port : {ready["port"].get<int>(), person_port, chat_port}) {
    ASSERT_TRUE(DeliverPayload(port, payload));
  }

  const std::string escaped =
      "[ev\\x1bil@s\\x0d/m] \\x1b[2Jred \\x1b[31mX\\x1b[0m\\x1b]0;pwn\\x07 "
      "\\u009b1m\\x7f";
  std::optional<std::string> line = person->ReadLine(kMessageTimeout);
  ASSERT_TRUE(line) << person->stderr_text();
  EXPECT_EQ(*line, escaped);
  line = ReadUntil(*chat, "[ev");
  ASSERT_TRUE(line) << chat->stderr_text();
  EXPECT_TRUE(line->ends_with(" " + escaped)) << *line;

  std::optional<json> message = NextMessage(*program);
  ASSERT_TRUE(message) << program->stderr_text();
  EXPECT_EQ((*message)["msg"], text);
  EXPECT_EQ((*message)["user"], user);
  EXPECT_EQ((*message)["sys"], "s\r");
}

TEST_F(QzmsgTerminalTest, ChatStampsLinesAndTellsWhoCameWentAndWasNotReached) {
  const std::string sys = Name("erp");
  ChildProcess* chat = Start("chat", Login("cho", sys, "chat"));
  ASSERT_NE(chat, nullptr);
  ASSERT_TRUE(chat->ReadLine(kStartTimeout)) << chat->stderr_text();

  json ready;
  ChildProcess* ann = StartListen("ann", sys, "desk", &ready, {"--full-name", "Ann Example"});
  ASSERT_NE(ann, nullptr);
  const std::regex stamped(R"(^\d\d:\d\d:\d\d .*)");
  std::optional<std::string> line = ReadUntil(*chat, "Ann Example (ann) joined", kPresenceTimeout);
  ASSERT_TRUE(line) << chat->stderr_text();
  EXPECT_TRUE(std::regex_match(*line, stamped)) << *line;
  EXPECT_NE(line->find("(" + sys + "/desk at 127.0.0.1)"), std::string::npos) << *line;
  ann->Signal(SIGTERM);
  EXPECT_EQ(ann->Wait(kExitTimeout), 0);
  EXPECT_TRUE(ReadUntil(*chat, "Ann Example (ann) left", kPresenceTimeout)) << chat->stderr_text();

  // A /to that matches nobody, and a row whose owner is gone, are told; the rest is sent.
  const int dead_port = UnusedLoopbackPort();
  ASSERT_GT(table_->Insert("ghost", "127.0.0.1", std::to_string(dead_port), sys, "chat"), 0);
  ASSERT_TRUE(chat->Write("/to nobody hello?\n/to ghost boo\n"));
  line = ReadUntil(*chat, "-> ghost] boo");
  ASSERT_TRUE(line) << chat->stderr_text();
  EXPECT_TRUE(std::regex_match(*line, stamped)) << *line;
  chat->CloseStdin();
  ASSERT_EQ(chat->Wait(kExitTimeout), 0) << chat->stderr_text();
  EXPECT_NE(chat->stderr_text().find("/to nobody: nobody of that name is online"),
            std::string::npos)
      << chat->stderr_text();
  EXPECT_NE(chat->stderr_text().find("ghost@" + sys + "/chat at 127.0.0.1:" +
                                     std::to_string(dead_port) + ": not delivered"),
            std::string::npos)
      << chat->stderr_text();
}

// A GBK and a UTF-8 terminal, each in its own locale, the UTF-8 one naming the network's
// codeset: what is typed arrives as the same characters, in each terminal's codeset, and as
// UTF-8 in JSON. A UTF-8 client that names no network codeset gets replacement characters.
TEST_F(QzmsgTerminalTest, GbkAndUtf8TerminalsTalk) {
  SKIP_WITHOUT_GBK();
  const std::string sys = Name("gbk");
  json ready;
  ChildProcess* utf8 = StartListen("u8", sys, "a", &ready, {"--net-locale", kGbk});
  ChildProcess* unaware = StartListen("u8", sys, "b", &ready);
  ChildProcess* gbk = Start("listen", Login("gb", sys, "c"), kGbk);
  ASSERT_TRUE(utf8 && unaware && gbk);
  ASSERT_GT(PortOf(gbk->ReadLine(kStartTimeout)), 0) << gbk->stderr_text();
  ChildProcess* chat = Start("chat", Login(kZhangGbk, sys, "chat"), kGbk);
  ASSERT_NE(chat, nullptr);
  ASSERT_TRUE(chat->ReadLine(kStartTimeout)) << chat->stderr_text();

  ASSERT_TRUE(chat->Write("/to gb " + kHelloGbk + "\n/to u8 ok " + kHelloGbk + "\n"));
  EXPECT_EQ(gbk->ReadLine(kMessageTimeout), "[" + kZhangGbk + "@" + sys + "/chat] " + kHelloGbk);
  std::optional<json> message = NextMessage(*utf8);
  ASSERT_TRUE(message) << utf8->stderr_text();
  EXPECT_EQ((*message)["msg"], "ok " + kHelloUtf8);
  EXPECT_EQ((*message)["user"], kZhangUtf8);
  message = NextMessage(*unaware);
  ASSERT_TRUE(message) << unaware->stderr_text();
  const std::string unreadable = (*message)["msg"];
  EXPECT_TRUE(unreadable.starts_with("ok \xef\xbf\xbd")) << unreadable;

  const RunResult sent = RunToEnd(Args("send", {"--user", kZhangUtf8, "--sys", sys, "--to-mod", "c",
                                                "--net-locale", kGbk, kHelloUtf8}),
                                  kExitTimeout);
  ASSERT_EQ(sent.exit_code, 0) << sent.err;
  EXPECT_EQ(gbk->ReadLine(kMessageTimeout), "[" + kZhangGbk + "@" + sys + "/send] " + kHelloGbk);

  const RunResult who = RunToEnd(Args("who", {}), kExitTimeout, {}, kGbk);
  EXPECT_NE(who.out.find("\n" + kZhangGbk + "  "), std::string::npos) << who.out;
  chat->CloseStdin();
  EXPECT_EQ(chat->Wait(kExitTimeout), 0) << chat->stderr_text();
}

TEST_F(QzmsgTerminalTest, WhoAlignsColumnsByDisplayWidth) {
  const std::string sys = Name("erp");
  json ready;
  ASSERT_NE(StartListen("zhang", sys, "m", &ready, {"--full-name", kZhangUtf8 + "丰"}), nullptr);
  ASSERT_NE(StartListen("ann", sys, "m", &ready, {"--full-name", "Ann Example"}), nullptr);
  ASSERT_NE(StartListen("zed", sys, "m", &ready), nullptr);  // full name: the user name

  const RunResult who = RunToEnd(Args("who", {}), kExitTimeout);
  ASSERT_EQ(who.exit_code, 0) << who.err;
  std::istringstream lines(who.out);
  std::string header;
  ASSERT_TRUE(std::getline(lines, header));
  const size_t system_column = qzmsg::DisplayWidth(header.substr(0, header.find("SYSTEM")));
  int rows = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(sys);
    if (at == std::string::npos) continue;
    ++rows;
    EXPECT_EQ(qzmsg::DisplayWidth(line.substr(0, at)), system_column) << who.out;
  }
  EXPECT_EQ(rows, 3) << who.out;
  for (const Row& row : table_->Rows()) {
    if (row.user == "zed") {
      EXPECT_EQ(row.full_name, "zed") << "not the account's name";
    }
  }
}

TEST(QzmsgUsage, RefusesNamesTheTableCannotHoldAndCountsThatAreNoNumbers) {
  const std::string db = "sqlite:/nonexistent-" + std::to_string(getpid()) + "/x.db";
  std::string wide_name;
  for (int i = 0; i < 21; ++i) wide_name += kZhangUtf8.substr(0, 3);  // 63 bytes in UTF-8
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"listen", "--user", ""}, "--user: the user name must not be empty"},
      {{"chat", "--user", "   "}, "--user: the user name must not be empty"},
      {{"listen", "--user", std::string(43, 'u')}, "more than the 42 that the presence table"},
      {{"send", "--user", "u", "--full-name", wide_name, "hi"}, "takes 63 bytes in UTF-8"},
      {{"chat", "--sys", std::string(63, 's')}, "--sys:"},
      {{"listen", "--count", "many"}, "--count: 'many' is not a number"},
      {{"listen", "--count", "-1"}, "--count: '-1' is negative"},
      {{"send", "--wait-ms", "soon", "hi"}, "--wait-ms: 'soon' is not a number"},
  };
  for (const auto& [args, expected] : cases) {
    std::vector<std::string> argv = {QZMSG_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--db", db});
    const RunResult run = RunToEnd(argv, kExitTimeout);
    EXPECT_EQ(run.exit_code, 2) << expected << ": " << run.err;
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
  }
  // The same name fits once counted in the network's codeset: 42 bytes of GBK.
  if (GbkLocaleInstalled()) {
    std::string gbk_name;
    for (int i = 0; i < 21; ++i) gbk_name += kZhangGbk.substr(0, 2);
    const RunResult run =
        RunToEnd({QZMSG_PATH, "listen", "--user", gbk_name, "--db", db}, kExitTimeout, {}, kGbk);
    EXPECT_NE(run.exit_code, 2) << run.err;
    EXPECT_NE(run.err.find("cannot open database"), std::string::npos) << run.err;
  }
}

TEST(QzmsgUsage, EveryCommandTellsItsVersion) {
  for (const char* command : {"", "chat", "listen", "send", "who"}) {
    std::vector<std::string> argv = {QZMSG_PATH};
    if (*command != '\0') argv.push_back(command);
    argv.push_back("--version");
    const RunResult run = RunToEnd(argv, kExitTimeout);
    EXPECT_EQ(run.exit_code, 0) << command << run.err;
    EXPECT_EQ(run.out, "qzmsg " QZMSG_VERSION "\n") << command;
  }
}

}  // namespace
}  // namespace qz_test
