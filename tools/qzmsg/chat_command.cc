#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "event_wait.h"
#include "line_editor.h"
#include "output.h"
#include "presence_watch.h"
#include "session.h"
#include "shutdown_signals.h"
#include "terminal_text.h"

namespace qzmsg {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kHelp =
    "type a message for everyone; /to USER text for one user; "
    "/who lists who is online; /quit or Ctrl-D leaves";

// How often the presence table is read for joins and leaves; reading sends nothing to anyone.
constexpr auto kPresenceInterval = std::chrono::seconds(3);
// Own broadcasts whose copy has not come back yet; more are never outstanding in practice.
constexpr size_t kMaxPendingEchoes = 16;

class Chat {
 public:
  explicit Chat(const ChatOptions& options) : options_(options) {}

  int Run() {
    qz::Result<int> signals = InstallShutdownSignals();
    if (!signals.ok()) {
      ReportError(signals.status().message());
      return 1;
    }
    MessageSink sink([this](const std::string& msg, const std::string& user, const std::string& sys,
                            const std::string& mod) { OnMessage(msg, user, sys, mod); },
                     [this](const qz::DeliveryOutcome& outcome) { OnDelivery(outcome); });
    qz::Result<std::unique_ptr<Session>> session = Session::Open(options_.common, &sink);
    if (!session.ok()) {
      ReportError(session.status().message());
      return 1;
    }
    session_ = session->get();
    watch_ = std::make_unique<PresenceWatch>(session_->row().key);
    Print(ReadyLine(json(), session_->row()));
    editor_ = LineEditor::ForStdin(ForTerminal(session_->row().user) + "> ");
    if (editor_->terminal() && !json()) Print(std::string(kHelp));
    WatchPresence();

    Loop(*signals);
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
  const PresenceRow& own() const { return session_->row(); }

  void Loop(int signal_fd) {
    bool quit = false;
    auto next_watch = Clock::now() + kPresenceInterval;
    while (!quit && !editor_->AtEnd() && !ShutdownRequested()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_watch - Clock::now());
      const int wait_ms = static_cast<int>(std::max<int64_t>(0, wait.count()));
      if (WaitAndDispatch({signal_fd, editor_->fd()}, wait_ms)[1]) editor_->OnReadable();
      while (!quit) {
        std::optional<std::string> line = editor_->NextLine();
        if (!line) break;
        quit = !Handle(FromTerminal(*line));
      }
      if (Clock::now() >= next_watch) {
        WatchPresence();
        next_watch = Clock::now() + kPresenceInterval;
      }
    }
  }

  // Text lines carry the local time; every line goes above what is being typed.
  void Print(const std::string& line) {
    const std::string shown = json() ? line : ForTerminal(TimeStamp() + " " + line);
    if (editor_) {
      editor_->PrintAbove(shown);
    } else {
      WriteLine(shown);
    }
  }

  // Problems with a line go where the user sees them without losing what is being typed.
  void Complain(const std::string& message) {
    if (editor_ && editor_->terminal() && !json()) {
      Print("qzmsg: " + message);
    } else {
      ReportError(message);
    }
  }

  void OnMessage(const std::string& msg, const std::string& user, const std::string& sys,
                 const std::string& mod) {
    // The copy of an own broadcast: it was shown when it was sent.
    if (user == own().user && sys == own().sys && mod == own().mod && ForgetEcho(msg)) return;
    Print(MessageLine(json(), msg, user, sys, mod));
  }

  void OnDelivery(const qz::DeliveryOutcome& outcome) {
    if (sending_) {
      held_outcomes_.push_back(outcome);  // told after the line they belong to
    } else if (json()) {
      Print(DeliveryLine(true, outcome));
    } else if (!outcome.sent()) {
      Complain(DeliveryLine(false, outcome));
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
    // The own copy may come back while SendMessage still runs the loop.
    const bool echoes = !json() && (to_user.empty() || to_user == own().user);
    if (echoes) {
      if (pending_echoes_.size() == kMaxPendingEchoes) pending_echoes_.pop_front();
      pending_echoes_.emplace_back(text);
    }
    size_t started = 0;
    sending_ = true;
    const qz::Status status = session_->net().SendMessage(text, to_user, {}, {}, started);
    sending_ = false;
    ShowSent(status, started, text, to_user);
    if (echoes && (!status.ok() || started == 0)) ForgetEcho(text);
    std::vector<qz::DeliveryOutcome> held;
    held.swap(held_outcomes_);
    for (const qz::DeliveryOutcome& outcome : held) OnDelivery(outcome);
  }

  void ShowSent(const qz::Status& status, size_t started, std::string_view text,
                std::string_view to_user) {
    if (!status.ok() || started == 0) {
      Complain(!status.ok() ? "SendMessage: " + status.message()
               : to_user.empty()
                   ? std::string("nobody is logged in, not even this chat")
                   : "/to " + std::string(to_user) + ": nobody of that name is online");
      return;
    }
    if (json()) return;  // a program reads the copy that comes back, as before
    const std::string me = own().user + "@" + own().sys + "/" + own().mod;
    Print("[" + me + (to_user.empty() ? "" : " -> " + std::string(to_user)) + "] " +
          std::string(text));
  }

  // Whether text was an own message still awaited; it is awaited no longer.
  bool ForgetEcho(std::string_view text) {
    const auto echo = std::find(pending_echoes_.begin(), pending_echoes_.end(), text);
    if (echo == pending_echoes_.end()) return false;
    pending_echoes_.erase(echo);
    return true;
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

  // Announces who came and went since the last look; a table that cannot be read is reported
  // once, not at every look.
  void WatchPresence() {
    qz::Result<std::vector<PresenceRow>> rows = ReadPresenceRows(session_->hdbc());
    if (!rows.ok()) {
      if (!watch_failed_) Complain(rows.status().message());
      watch_failed_ = true;
      return;
    }
    watch_failed_ = false;
    for (const PresenceWatch::Change& change : watch_->Update(*rows)) {
      Print(PresenceLine(json(), change.joined, change.row));
    }
  }

  const ChatOptions& options_;
  Session* session_ = nullptr;
  std::unique_ptr<LineEditor> editor_;
  std::unique_ptr<PresenceWatch> watch_;
  bool watch_failed_ = false;
  bool sending_ = false;
  std::vector<qz::DeliveryOutcome> held_outcomes_;
  std::deque<std::string> pending_echoes_;
};

}  // namespace

int RunChat(const ChatOptions& options) { return Chat(options).Run(); }

}  // namespace qzmsg
