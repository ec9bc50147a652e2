#include "testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace qz_test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> ChildEnvironment(const std::string& locale) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("LC_ALL=") || entry.starts_with("QZMSG_DB=") ||
        entry.starts_with("QZMSG_NET_LOCALE=")) {
      continue;
    }
    env.emplace_back(entry);
  }
  env.emplace_back("LC_ALL=" + locale);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  const std::string& locale) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return nullptr;
  std::vector<std::string> args = argv;
  std::vector<std::string> env = ChildEnvironment(locale);
  std::vector<char*> arg_pointers = Pointers(args);
  std::vector<char*> env_pointers = Pointers(env);

  const pid_t pid = fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    signal(SIGPIPE, SIG_DFL);
    execve(arg_pointers[0], arg_pointers.data(), env_pointers.data());
    _exit(127);
  }
  std::unique_ptr<ChildProcess> child(new ChildProcess());
  child->pid_ = pid;
  close(in[0]);
  close(out[1]);
  close(err[1]);
  child->stdin_ = in[1];
  child->stdout_fd_ = out[0];
  child->stderr_fd_ = err[0];
  return child;
}

ChildProcess::~ChildProcess() {
  if (!exit_code_) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  CloseFd(stdin_);
  CloseFd(stdout_fd_);
  CloseFd(stderr_fd_);
}

bool ChildProcess::Write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(stdin_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void ChildProcess::CloseStdin() { CloseFd(stdin_); }

void ChildProcess::Signal(int signal_number) {
  if (!exit_code_) kill(pid_, signal_number);
}

template <typename Pred>
bool ChildProcess::PumpUntil(Clock::time_point deadline, Pred until) {
  while (!until()) {
    pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
    if (stdout_fd_ < 0 && stderr_fd_ < 0) return until();
    const int ready = poll(fds, 2, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return until();
    int* fd_of[2] = {&stdout_fd_, &stderr_fd_};
    std::string* text_of[2] = {&stdout_, &stderr_};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(*fd_of[i], buffer, sizeof buffer);
      if (n > 0) {
        text_of[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        CloseFd(*fd_of[i]);  // poll ignores negative descriptors from now on
      }
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::ReadLine(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  PumpUntil(deadline, [this] { return stdout_.find('\n') != std::string::npos || stdout_fd_ < 0; });
  const size_t end = stdout_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = stdout_.substr(0, end);
  stdout_.erase(0, end + 1);
  return line;
}

bool ChildProcess::Reap(bool block) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return false;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

std::optional<int> ChildProcess::Wait(milliseconds timeout) {
  if (exit_code_) return exit_code_;
  const auto deadline = Clock::now() + timeout;
  // Output first: a child blocked on a full pipe would never end.
  PumpUntil(deadline, [this] { return stdout_fd_ < 0 && stderr_fd_ < 0; });
  while (!Reap(false)) {
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      Reap(true);
      return std::nullopt;
    }
    usleep(2000);
  }
  return exit_code_;
}

RunResult RunToEnd(const std::vector<std::string>& argv, milliseconds timeout,
                   std::string_view stdin_text, const std::string& locale) {
  RunResult result;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(argv, locale);
  if (!child) {
    result.err = "cannot start " + argv[0] + ": " + std::strerror(errno);
    return result;
  }
  child->Write(stdin_text);
  child->CloseStdin();
  result.exit_code = child->Wait(timeout);
  result.out = child->unread_stdout();
  result.err = child->stderr_text();
  return result;
}

}  // namespace qz_test
