// Exchange: one sender and N receivers on loopback, each receiver on a thread of its own, in two
// implementations timed side by side: the component (one QZCLS_NetMessage per receiver, one
// SendMessage per broadcast) and the raw floor (plain non-blocking sockets and epoll; per
// recipient connect, write the payload, close; receivers accept and read to end of stream).
//
// Threads: the sender side (Start, Broadcast, Pump) runs on the thread that called
// Start; receivers run on their own threads until the process ends.
#ifndef QZ_BENCH_EXCHANGE_H_
#define QZ_BENCH_EXCHANGE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qz/status.h"

namespace qz::bench {

// What receivers report: the time of each receiver's latest message and the number of messages.
// Receivers call Record; the sender reads and waits.
class Arrivals {
 public:
  explicit Arrivals(int receivers);
  ~Arrivals();
  Arrivals(const Arrivals&) = delete;
  Arrivals& operator=(const Arrivals&) = delete;

  // A whole message has reached receiver i. Any thread.
  void Record(int receiver);
  int64_t count() const { return count_.load(); }
  // The latest arrival time over every receiver (NowNs clock).
  int64_t LatestNs() const;
  // Makes wake_fd() readable once count() reaches target (at once when it already has).
  void WakeAt(int64_t target);
  int wake_fd() const { return wake_fd_; }
  void DrainWake();

 private:
  std::vector<std::atomic<int64_t>> latest_;
  std::atomic<int64_t> count_{0};
  std::atomic<int64_t> wake_at_{INT64_MAX};
  int wake_fd_;
};

class Exchange {
 public:
  virtual ~Exchange() = default;
  // Starts `receivers` receivers, one after the other, and the sender; returns once all are
  // ready to exchange.
  virtual Status Start(int receivers) = 0;
  // Starts one message to every receiver.
  virtual Status Broadcast() = 0;
  // Waits at most timeout_ms for the sender's I/O or the arrivals' wake-up, and does that I/O.
  virtual void Pump(int timeout_ms) = 0;
  // From now on counts the messages that a Broadcast started but that ended undelivered, and
  // keeps the last failure's number. The component reports those afterwards (where every port
  // is in TIME_WAIT, the system may have no port to connect from either); raw's Broadcast fails
  // at once instead. Off by default: a host that observes outcomes pays for them per delivery.
  virtual void CountUndelivered() {}
  int64_t undelivered() const { return undelivered_; }
  int32_t last_failure() const { return last_failure_; }
  Arrivals& arrivals() { return *arrivals_; }
  // What the exchange counted itself, as "key=value ..." text; empty when it counts nothing.
  virtual std::string Counters() const { return ""; }

 protected:
  std::unique_ptr<Arrivals> arrivals_;
  int64_t undelivered_ = 0;
  int32_t last_failure_ = 0;
};

// The message text that every exchange sends.
const std::string& BenchMessageText();

// The component: presence in the database at db_uri ("sqlite:PATH" or a PostgreSQL URI), every
// object publishing 127.0.0.1.
std::unique_ptr<Exchange> MakeComponentExchange(std::string db_uri);
// The raw floor.
std::unique_ptr<Exchange> MakeRawExchange();
// The raw floor binding the port rule's local ports, answered from memory (port_rule.h); its
// Counters() say how often the walk left the range.
std::unique_ptr<Exchange> MakeRawBindExchange();

}  // namespace qz::bench

#endif  // QZ_BENCH_EXCHANGE_H_
