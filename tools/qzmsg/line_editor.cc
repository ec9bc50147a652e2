#include "line_editor.h"

#include <editline/readline.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "display_text.h"
#include "output.h"
#include "terminal_text.h"

namespace qzmsg {
namespace {

class PlainLineEditor final : public LineEditor {
 public:
  bool terminal() const override { return false; }
  void OnReadable() override {
    char buffer[4096];
    const ssize_t n = read(fd(), buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
      if (!pending_.empty()) QueueLine(std::move(pending_));
      pending_.clear();
      End();
      return;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      QueueLine(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
  }

  void PrintAbove(std::string_view line) override { WriteLine(line); }

 private:
  void QueueLine(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Queue(std::move(line));
  }
  std::string pending_;
};

class TerminalLineEditor;
TerminalLineEditor* g_terminal_editor = nullptr;

class TerminalLineEditor final : public LineEditor {
 public:
  explicit TerminalLineEditor(const std::string& prompt) : prompt_(prompt) {
    g_terminal_editor = this;
    rl_catch_signals = 0;  // SIGINT, SIGTERM and SIGHUP go to the host's own handlers
    rl_instream = stdin;
    rl_outstream = stdout;
    rl_callback_handler_install(prompt_.c_str(), &TerminalLineEditor::OnLine);
  }
  ~TerminalLineEditor() override {
    rl_callback_handler_remove();    // leaves the terminal as it found it
    std::fputs("\r\033[K", stdout);  // no prompt left behind
    std::fflush(stdout);
    g_terminal_editor = nullptr;
  }

  bool terminal() const override { return true; }
  void OnReadable() override {
    rl_callback_read_char();
    if (line_done_) {
      line_done_ = false;
      EraseLastLine();
      // libedit leaves the terminal in cooked mode without a prompt after a line, until the
      // next key; installing the handler again starts the next line at once.
      rl_callback_handler_remove();
      rl_callback_handler_install(prompt_.c_str(), &TerminalLineEditor::OnLine);
    }
  }

  // Takes the line just entered off the screen (the cursor is below it), since the host shows
  // what became of it, with its time. Nothing is erased when the width is unknown.
  void EraseLastLine() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return;
    const size_t width = DisplayWidth(FromTerminal(prompt_ + last_line_));
    const size_t rows = width == 0 ? 1 : (width + size.ws_col - 1) / size.ws_col;
    const std::string erase = "\033[" + std::to_string(rows) + "A\r\033[J";
    std::fwrite(erase.data(), 1, erase.size(), stdout);
    std::fflush(stdout);
  }

  void PrintAbove(std::string_view line) override {
    // The terminal is in libedit's raw mode: return to the first column and clear the line
    // being typed, print, and let libedit draw its prompt and buffer again below.
    std::string text = "\r\033[K";
    for (char c : line) {
      if (c == '\n') text += '\r';
      text += c;
    }
    text += "\r\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    rl_forced_update_display();
  }

 private:
  // libedit hands over a malloc'd copy of the line, or nullptr at end of input.
  static void OnLine(char* line) {
    TerminalLineEditor* self = g_terminal_editor;
    if (line == nullptr) {
      self->End();
      return;
    }
    if (*line != '\0') add_history(line);
    self->last_line_ = line;
    self->Queue(line);
    self->line_done_ = true;
    std::free(line);
  }

  const std::string prompt_;
  std::string last_line_;
  bool line_done_ = false;
};

}  // namespace

std::optional<std::string> LineEditor::NextLine() {
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::unique_ptr<LineEditor> LineEditor::ForStdin(const std::string& prompt) {
  if (isatty(0) && isatty(1)) return std::make_unique<TerminalLineEditor>(prompt);
  return std::make_unique<PlainLineEditor>();
}

}  // namespace qzmsg
