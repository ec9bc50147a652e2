// qzmsg: a command-line host of QZCLS_NetMessage: chat, listen, send, who, prune.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <clocale>
#include <string>

#include "commands.h"
#include "options.h"
#include "output.h"
#include "terminal_text.h"

namespace {

constexpr const char kFooter[] =
    "Examples:\n"
    "  qzmsg chat --user alice                   chat with everyone logged in\n"
    "  qzmsg listen --json --count 1             wait for one message, as JSON\n"
    "  qzmsg send --to-user bob 'hello, bob'     send to one user\n"
    "  qzmsg who --db postgresql://qz@dbhost/qz  who is logged in, on a shared server\n"
    "  qzmsg who --check                         ... and whose client still answers\n"
    "Every command reads --db from QZMSG_DB when it is not given.";

constexpr const char kVersion[] = "qzmsg " QZMSG_VERSION;

// A count or a time: CLI11's own words for a failed conversion name neither the option's
// meaning nor what it takes.
const CLI::Validator kNonNegative(
    [](const std::string& text) -> std::string {
      const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                       [](char c) { return c >= '0' && c <= '9'; });
      if (digits && text.size() <= 9) return {};
      if (digits) return "'" + text + "' is too large";
      const bool negative =
          text.size() > 1 && text[0] == '-' &&
          std::all_of(text.begin() + 1, text.end(), [](char c) { return c >= '0' && c <= '9'; });
      return "'" + text + (negative ? "' is negative" : "' is not a number") +
             "; give a whole number of 0 or more";
    },
    "");

// --version and the option --help already has, for one command.
CLI::App* Versioned(CLI::App* command) {
  command->set_version_flag("--version", kVersion);
  return command;
}

CLI::App* AddSendCommand(CLI::App& app, qzmsg::SendOptions& send) {
  CLI::App* send_cmd = Versioned(app.add_subcommand(
      "send",
      "Log in, send one message, log out. Exit status: 0 every recipient took it, 3 no presence "
      "row matched, 4 a delivery failed"));
  // A module of its own: the login's duplicate delete must never remove the row of a chat or
  // listen of the same user on this machine.
  send.common.mod = "send";
  qzmsg::AddLoginOptions(*send_cmd, send.common);
  send_cmd->add_option("--to-user", send.to_user, "Only to this user name")->type_name("NAME");
  send_cmd->add_option("--to-sys", send.to_sys, "Only to this system name")->type_name("NAME");
  send_cmd->add_option("--to-mod", send.to_mod, "Only to this module name")->type_name("NAME");
  send_cmd->add_option("--wait-ms", send.wait_ms, "Longest wait for the deliveries to end")
      ->capture_default_str()
      ->check(kNonNegative)
      ->type_name("MS");
  send_cmd->add_option("TEXT", send.words,
                       "The message (several words are joined by spaces); - or none with a "
                       "pipe: read it from standard input");
  return send_cmd;
}

CLI::App* AddChatCommand(CLI::App& app, qzmsg::ChatOptions& chat) {
  CLI::App* chat_cmd = Versioned(app.add_subcommand(
      "chat", "Log in and chat: each line goes to everyone; /to USER text, /who, /quit"));
  qzmsg::AddLoginOptions(*chat_cmd, chat.common);
  chat_cmd
      ->add_option("--wait-ms", chat.wait_ms,
                   "Longest wait at the end for deliveries still under way")
      ->capture_default_str()
      ->check(kNonNegative)
      ->type_name("MS");
  return chat_cmd;
}

CLI::App* AddWhoCommand(CLI::App& app, qzmsg::WhoOptions& who) {
  CLI::App* who_cmd =
      Versioned(app.add_subcommand("who", "List who is logged in (does not log in)"));
  qzmsg::AddDatabaseOptions(*who_cmd, who.common);
  who_cmd->add_flag("--check", who.check,
                    "Probe each row's address and port (a connect, closed at once without "
                    "sending; about 2 s in all) and mark the rows whose port refuses or does "
                    "not answer as stale");
  return who_cmd;
}

CLI::App* AddPruneCommand(CLI::App& app, qzmsg::CommonOptions& prune) {
  CLI::App* prune_cmd = Versioned(app.add_subcommand(
      "prune",
      "Probe every row's address and port as who --check does, and delete the rows whose port "
      "refuses (their client is gone), naming each first; rows that do not answer are named "
      "and kept. Does not log in"));
  qzmsg::AddDatabaseOptions(*prune_cmd, prune);
  return prune_cmd;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");  // the terminal's codeset, for libedit and terminal_text

  CLI::App app("qzmsg: LAN messaging between the users logged in to a presence database", "qzmsg");
  app.require_subcommand(1);
  app.footer(kFooter);
  Versioned(&app);

  qzmsg::ListenOptions listen;
  CLI::App* listen_cmd =
      Versioned(app.add_subcommand("listen", "Log in and print every message that arrives"));
  qzmsg::AddLoginOptions(*listen_cmd, listen.common);
  listen_cmd->add_option("--count", listen.count, "Log out and exit after N messages (0: never)")
      ->check(kNonNegative)
      ->type_name("N");

  qzmsg::SendOptions send;
  CLI::App* send_cmd = AddSendCommand(app, send);

  qzmsg::ChatOptions chat;
  CLI::App* chat_cmd = AddChatCommand(app, chat);

  qzmsg::WhoOptions who;
  CLI::App* who_cmd = AddWhoCommand(app, who);

  qzmsg::CommonOptions prune;
  CLI::App* prune_cmd = AddPruneCommand(app, prune);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::string command = "qzmsg";
    for (const CLI::App* sub : app.get_subcommands()) command += " " + sub->get_name();
    // CLI11's words quote the arguments as typed, in the terminal's codeset.
    qzmsg::ReportError(
        qzmsg::FromTerminal(std::string(e.what()) + " (see " + command + " --help)"));
    return 2;
  }

  qzmsg::CommonOptions& common = listen_cmd->parsed() ? listen.common
                                 : send_cmd->parsed() ? send.common
                                 : chat_cmd->parsed() ? chat.common
                                 : who_cmd->parsed()  ? who.common
                                                      : prune;
  const bool login = !who_cmd->parsed() && !prune_cmd->parsed();
  if (const qz::Status s = qzmsg::PrepareOptions(common, login); !s.ok()) {
    qzmsg::ReportError(s.message());
    return 2;
  }
  if (listen_cmd->parsed()) return qzmsg::RunListen(listen);
  if (send_cmd->parsed()) return qzmsg::RunSend(send);
  if (chat_cmd->parsed()) return qzmsg::RunChat(chat);
  if (who_cmd->parsed()) return qzmsg::RunWho(who);
  return qzmsg::RunPrune(prune);
}
