// ChildProcess: a program run by a test, with pipes to its standard streams and a deadline on
// every wait, so that a hung child fails the test instead of blocking it.
#ifndef QZ_TESTS_TESTING_CHILD_PROCESS_H_
#define QZ_TESTS_TESTING_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz_test {

using std::chrono::milliseconds;

class ChildProcess {
 public:
  // Starts argv[0] (a path) with argv, in the test's environment plus LC_ALL=locale and
  // without QZMSG_DB and QZMSG_NET_LOCALE. nullptr when it cannot be started.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                             const std::string& locale = "C.UTF-8");
  // Kills the child when it still runs, and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Write(std::string_view text);
  void CloseStdin();
  void Signal(int signal_number);

  // The next line of stdout without its newline; nullopt at end of output or after timeout.
  std::optional<std::string> ReadLine(milliseconds timeout);
  // Waits for the child to end; its exit code, 128 + signal when killed by one, or nullopt
  // after timeout (the child is then killed). Collects the rest of stdout and stderr.
  std::optional<int> Wait(milliseconds timeout);

  // Stdout not yet returned by ReadLine, and all of stderr, as collected so far.
  const std::string& unread_stdout() const { return stdout_; }
  const std::string& stderr_text() const { return stderr_; }
  pid_t pid() const { return pid_; }

 private:
  ChildProcess() = default;
  // Reads what the pipes have until deadline or until `until` holds; false on timeout.
  template <typename Pred>
  bool PumpUntil(std::chrono::steady_clock::time_point deadline, Pred until);
  bool Reap(bool block);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::string stdout_;
  std::string stderr_;
  std::optional<int> exit_code_;
};

struct RunResult {
  std::optional<int> exit_code;  // nullopt: killed after the timeout
  std::string out;
  std::string err;
};

// Runs argv to its end, feeding it stdin_text, with a deadline, under LC_ALL=locale.
RunResult RunToEnd(const std::vector<std::string>& argv, milliseconds timeout,
                   std::string_view stdin_text = {}, const std::string& locale = "C.UTF-8");

}  // namespace qz_test

#endif  // QZ_TESTS_TESTING_CHILD_PROCESS_H_
