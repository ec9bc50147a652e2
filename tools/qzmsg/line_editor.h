// LineEditor: the lines typed into chat, read without blocking the message loop.
//
// On a terminal the line is edited with libedit (history, cursor keys) through its callback
// interface, and a line once entered is taken off the screen, for the host to show what became
// of it; otherwise, as from a pipe, lines are read plainly. The host polls fd() together
// with the loop's descriptor and calls OnReadable() when it is readable. Lines are queued and
// handed out by NextLine() outside of libedit, so that handling a line (which runs the message
// loop and may print) never re-enters the editor.
#ifndef QZMSG_LINE_EDITOR_H_
#define QZMSG_LINE_EDITOR_H_

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qzmsg {

class LineEditor {
 public:
  // An editor over stdin: libedit with prompt when stdin and stdout are terminals, else plain.
  // At most one terminal editor may exist at a time (libedit's state is global).
  static std::unique_ptr<LineEditor> ForStdin(const std::string& prompt);
  virtual ~LineEditor() = default;

  int fd() const { return 0; }
  // Whether the line is edited on a terminal (with a prompt) rather than read plainly.
  virtual bool terminal() const = 0;
  // Reads what stdin has now; queues every line it completes.
  virtual void OnReadable() = 0;
  // Writes line to stdout above the line being typed, which is then redrawn as it was.
  virtual void PrintAbove(std::string_view line) = 0;

  // The next complete line, without its end of line.
  std::optional<std::string> NextLine();
  // True once input has ended (end of file, or Ctrl-D on an empty line) and no line is queued.
  bool AtEnd() const { return ended_ && lines_.empty(); }

 protected:
  void Queue(std::string line) { lines_.push_back(std::move(line)); }
  void End() { ended_ = true; }

 private:
  std::deque<std::string> lines_;
  bool ended_ = false;
};

}  // namespace qzmsg

#endif  // QZMSG_LINE_EDITOR_H_
