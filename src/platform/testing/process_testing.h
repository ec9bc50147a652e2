// Test helpers for fault and load tests: descriptor counts and limits, child processes, and raw
// blocking sockets that always talk to 127.0.0.1. Tests only.
//
// A child process made here never runs the loop or any component code: it holds raw sockets
// only, so the parent's event loop, inherited across fork, is never touched by it.
#ifndef QZ_PLATFORM_TESTING_PROCESS_TESTING_H_
#define QZ_PLATFORM_TESTING_PROCESS_TESTING_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qz::platform::testing {

// The number of descriptors this process has open.
size_t OpenDescriptorCount();

// Sets the soft RLIMIT_NOFILE for its lifetime and restores the earlier one after.
class ScopedDescriptorLimit {
 public:
  explicit ScopedDescriptorLimit(size_t soft);
  ~ScopedDescriptorLimit();
  ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
  ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  uint64_t saved_soft_ = 0;
};

// Sets the soft RLIMIT_NOFILE; false when the hard limit is lower.
bool SetDescriptorLimit(size_t soft);

// Holds descriptors until the process has none left, or `leave` free; releases them on demand.
class DescriptorFiller {
 public:
  ~DescriptorFiller() { Release(); }
  // Opens descriptors until opening fails, then closes `leave` of them again. Returns how many
  // it holds.
  size_t Fill(size_t leave = 0);
  // Closes n of the held descriptors (all when n is larger).
  void Release(size_t n = SIZE_MAX);
  size_t held() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};

// A pipe for a parent and a child process to signal each other with single bytes.
class Pipe {
 public:
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int read_fd() const { return fds_[0]; }
  int write_fd() const { return fds_[1]; }
  void Write(char c) const;
  // A byte, if one is there now (never waits); '\0' when none is, or the writer closed.
  char TryRead() const;
  // A byte, waiting up to timeout; '\0' on timeout or when the writer closed.
  char Read(std::chrono::milliseconds timeout) const;
  void CloseWrite();
  void CloseRead();

 private:
  int fds_[2] = {-1, -1};
};

// A forked child that runs body() and exits with its result. In the child every descriptor but
// stdin, stdout, stderr and those in `keep` is closed first.
class ChildProcess {
 public:
  ChildProcess(const std::function<int()>& body, const std::vector<int>& keep);
  ~ChildProcess();  // kills a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool started() const { return pid_ > 0; }
  // Waits for the child's exit, up to timeout; its exit code, or -1 (killed, or still running
  // and then killed).
  int Wait(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
};

// Runs the thread's loop until done() holds or timeout passes; returns done(). For conditions
// that the loop does not watch (a pipe, another process), it runs in slices of a few
// milliseconds, so that done() is checked even while no event comes.
bool RunLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// ---- Raw sockets, always to or on 127.0.0.1 ---------------------------------------------------

// A socket connected (blocking connect) to 127.0.0.1:port, or -1.
int RawConnect(uint16_t port);
// Starts a non-blocking connect to 127.0.0.1:port; the socket, or -1.
int RawConnectNonBlocking(uint16_t port);
// Waits until every socket of fds has finished connecting; false when one failed or time ran out.
bool RawAwaitConnected(const std::vector<int>& fds, std::chrono::milliseconds timeout);
// Writes everything (blocking); false on failure.
bool RawSendAll(int fd, std::string_view bytes);
// Closes with a reset instead of an orderly close.
void RawResetClose(int fd);
// Waits until the peer closes or resets fd; false when time ran out first. Reads and discards.
bool RawAwaitPeerClose(int fd, std::chrono::milliseconds timeout);
// A listening socket on 127.0.0.1 with the given backlog on a port the system chooses; the
// socket, or -1. *port receives the port.
int RawListen(int backlog, uint16_t* port);
// Reads until the peer closes; what arrived. Stops after timeout.
std::string RawReadToEnd(int fd, std::chrono::milliseconds timeout);
void RawClose(int fd);

}  // namespace qz::platform::testing

#endif  // QZ_PLATFORM_TESTING_PROCESS_TESTING_H_
