// Other TCP endpoints on loopback, to load the machine's TCP table: one listener on 127.0.0.1 and
// connected pairs to it, each pair two rows of the table.
#ifndef QZ_BENCH_ENDPOINTS_H_
#define QZ_BENCH_ENDPOINTS_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "qz/status.h"

namespace qz::bench {

// Held by this process; closed by the destructor.
class LoopbackEndpoints {
 public:
  LoopbackEndpoints() = default;
  ~LoopbackEndpoints();
  LoopbackEndpoints(const LoopbackEndpoints&) = delete;
  LoopbackEndpoints& operator=(const LoopbackEndpoints&) = delete;

  // Adds connected pairs until the endpoints number at least `count` (listener excluded).
  Status GrowTo(int64_t count);
  int64_t count() const { return static_cast<int64_t>(fds_.size()); }

 private:
  int listener_ = -1;
  std::vector<int> fds_;
};

// The same, held by a child process forked for the purpose, so that they cost this process no
// descriptors. The child ends when this object is destroyed or this process ends.
class EndpointHolder {
 public:
  // Forks an idle child. Call while this process has a single thread.
  static Result<std::unique_ptr<EndpointHolder>> Fork();
  // Has the child open `count` endpoints; returns once it holds them. Any thread.
  Status Open(int64_t count);
  ~EndpointHolder();
  EndpointHolder(const EndpointHolder&) = delete;
  EndpointHolder& operator=(const EndpointHolder&) = delete;

 private:
  EndpointHolder(pid_t pid, int command, int reply) : pid_(pid), command_(command), reply_(reply) {}
  pid_t pid_;
  int command_;  // to the child: the count to open, as 8 bytes
  int reply_;    // from the child: '1' once open, '0' on failure
};

}  // namespace qz::bench

#endif  // QZ_BENCH_ENDPOINTS_H_
