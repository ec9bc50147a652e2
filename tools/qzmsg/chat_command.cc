#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "commands.h"
#include "event_wait.h"
#include "line_editor.h"
#include "output.h"
#include "session.h"
#include "shutdown_signals.h"

namespace qzmsg {
namespace {

constexpr std::string_view kHelp =
    "type a message for everyone; /to USER text for one user; "
    "/who lists who is online; /quit or Ctrl-D leaves";

class Chat {
 public:
  explicit Chat(const ChatOptions& options) : options_(options) {}

  int Run() {
    qz::Result<int> signals = InstallShutdownSignals();
    if (!signals.ok()) {
      ReportError(signals.status().message());
      return 1;
    }
    MessageSink sink(
        [this](const std::string& msg, const std::string& user, const std::string& sys,
               const std::string& mod) { Print(MessageLine(json(), msg, user, sys, mod)); });
    qz::Result<std::unique_ptr<Session>> session = Session::Open(options_.common, &sink);
    if (!session.ok()) {
      ReportError(session.status().message());
      return 1;
    }
    session_ = session->get();
    Print(ReadyLine(json(), session_->row()));
    editor_ = LineEditor::ForStdin(session_->row().user + "> ");
    if (editor_->terminal() && !json()) Print(std::string(kHelp));

    bool quit = false;
    while (!quit && !editor_->AtEnd() && !ShutdownRequested()) {
      if (WaitAndDispatch({*signals, editor_->fd()}, -1)[1]) editor_->OnReadable();
      while (!quit) {
        std::optional<std::string> line = editor_->NextLine();
        if (!line) break;
        quit = !Handle(*line);
      }
    }
    // Messages typed last may still be on their way; LogOut would cut them off.
    session_->DrainConnections(std::chrono::milliseconds(options_.wait_ms));
    editor_.reset();
    const qz::Status status = session_->Close();
    if (!status.ok()) {
      ReportError(status.message());
      return 1;
    }
    return 0;
  }

 private:
  bool json() const { return options_.common.json; }

  void Print(const std::string& line) {
    if (editor_) {
      editor_->PrintAbove(line);
    } else {
      WriteLine(line);
    }
  }

  // Problems with a line go where the user sees them without losing what is being typed.
  void Complain(const std::string& message) {
    if (editor_ && editor_->terminal()) {
      editor_->PrintAbove("qzmsg: " + message);
    } else {
      ReportError(message);
    }
  }

  // Returns false when the user leaves.
  bool Handle(std::string_view line) {
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    if (line.empty()) return true;
    if (line == "/quit") return false;
    if (line == "/who") {
      Who();
    } else if (line == "/to" || line.starts_with("/to ")) {
      std::string_view rest = line.substr(3);
      while (rest.starts_with(' ')) rest.remove_prefix(1);
      const size_t space = rest.find(' ');
      if (space == std::string_view::npos) {
        Complain("usage: /to USER text");
      } else {
        Send(rest.substr(space + 1), rest.substr(0, space));
      }
    } else if (line == "/help") {
      Print(std::string(kHelp));
    } else if (line.starts_with("//")) {
      Send(line.substr(1), {});  // a message that begins with a slash
    } else if (line.starts_with('/')) {
      Complain("unknown command " + std::string(line.substr(0, line.find(' '))) + "; " +
               std::string(kHelp));
    } else {
      Send(line, {});
    }
    return true;
  }

  void Send(std::string_view text, std::string_view to_user) {
    const qz::Status status = session_->net().SendMessage(text, to_user);
    if (!status.ok()) Complain("SendMessage: " + status.message());
  }

  void Who() {
    qz::Result<std::vector<PresenceRow>> rows = ReadPresenceRows(session_->hdbc());
    if (!rows.ok()) {
      Complain(rows.status().message());
    } else if (json()) {
      Print(WhoEventLine(*rows));
    } else {
      for (const std::string& line : WhoLines(false, *rows)) Print(line);
    }
  }

  const ChatOptions& options_;
  Session* session_ = nullptr;
  std::unique_ptr<LineEditor> editor_;
};

}  // namespace

int RunChat(const ChatOptions& options) { return Chat(options).Run(); }

}  // namespace qzmsg
