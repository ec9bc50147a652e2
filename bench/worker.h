// Worker: a child process that runs one part of a benchmark in a network namespace of its own,
// driven by its parent over a line-based channel.
//
// Each worker gets an empty TCP table and a loopback interface of its own, so that figures do
// not depend on what other processes of the machine, or earlier workers, left behind (TIME_WAIT
// rows in particular). Where namespaces are not permitted the worker shares the parent's and
// says so (Worker::isolated()).
#ifndef QZ_BENCH_WORKER_H_
#define QZ_BENCH_WORKER_H_

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qz::bench {

// One end of a socketpair carrying text lines. Owns the descriptor.
class Channel {
 public:
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Closes now; later reads see end of stream and writes fail.
  void Close();
  bool WriteLine(std::string_view line);
  // The next line without its newline; nullopt at end of stream or on error.
  std::optional<std::string> ReadLine();

 private:
  int fd_;
  std::string buffered_;
};

// Enters a fresh network namespace and brings its loopback up. The calling process must have one
// thread. Returns false, changing nothing, where that is not permitted.
bool EnterOwnNetworkNamespace();
// Enters the network namespace of process pid. Same conditions.
bool EnterNetworkNamespaceOf(pid_t pid);

class Worker {
 public:
  // What the child runs; its result is the child's exit status. The child ends with _exit, so
  // threads it started need not be joined.
  using Body = std::function<int(Channel& parent)>;

  // Forks now. The child enters a fresh network namespace, or, when share_with is another
  // worker, that worker's namespace. Call only while this process has a single thread.
  static std::unique_ptr<Worker> Start(const Body& body, const Worker* share_with = nullptr);
  // Closes the channel (the body sees end of stream) and reaps the child, killing it when it
  // does not end within a few seconds.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Sends one request line and waits for the reply line; nullopt when the child has gone.
  std::optional<std::string> Call(std::string_view request);
  // Whether the child runs in a namespace apart from the machine's (its own or a shared one).
  bool isolated() const { return isolated_; }

 private:
  Worker(pid_t pid, int fd) : pid_(pid), channel_(fd) {}
  pid_t pid_;
  Channel channel_;
  bool isolated_ = false;
};

// Serves requests in a worker body: calls handle(line) for each line and writes its reply, until
// end of stream. Returns 0.
int ServeLines(Channel& parent, const std::function<std::string(const std::string&)>& handle);

}  // namespace qz::bench

#endif  // QZ_BENCH_WORKER_H_
