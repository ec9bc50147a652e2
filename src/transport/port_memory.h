// PortMemory: the local ports that this process's deliveries hold, or left in TIME_WAIT, so that
// port choice skips them without asking the system about each one.
//
// The sender closes first, so every delivery that ends cleanly leaves its local port in
// TIME_WAIT for at least kTimeWait; under load those ports fill the band where every outbound
// walk starts, and asking the system about each of them made the walk slow. The memory answers
// "busy" only where it knows: a port held by a live delivery, or one whose delivery ended with
// its own close within kTimeWait. Every other end (a reset, a failed connection, the drain) is
// forgotten at once, and the system answers for that port again, as it does for every port of
// other programs. So the choice stays exactly what the machine's table would give.
//
// Process-wide and thread-safe: the TCP table is the machine's, not a thread's.
#ifndef QZ_TRANSPORT_PORT_MEMORY_H_
#define QZ_TRANSPORT_PORT_MEMORY_H_

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>

namespace qz::transport {

class PortMemory {
 public:
  using Clock = std::chrono::steady_clock;
  // TCP's TIME_WAIT lasts this long at least (Linux: exactly; other systems: longer, which only
  // sends those ports back to the system's answer sooner than needed).
  static constexpr std::chrono::seconds kTimeWait{60};
  // The system ends a TIME_WAIT on a coarse timer, up to a second or two after kTimeWait. A
  // port of ours that it still refuses then is remembered this much longer, not asked about by
  // every walk meanwhile.
  static constexpr std::chrono::milliseconds kLinger{500};

  // The process's memory.
  static PortMemory& Process();

  explicit PortMemory(std::function<Clock::time_point()> now = Clock::now,
                      Clock::duration time_wait = kTimeWait);

  // A delivery bound port (0 is ignored). A port is bound by one socket at a time, so a second
  // Hold before the Release changes nothing.
  void Hold(int32_t port);
  // The delivery that held port ended: closed_first when it closed a connection that had sent
  // everything (TIME_WAIT follows), else its end leaves nothing the memory can vouch for. A port
  // not held is left as it is.
  void Release(int32_t port, bool closed_first);
  // Held by a delivery, or in TIME_WAIT after one.
  bool Busy(int64_t port) const { return Look().Busy(port); }

  // The memory as of now, locked while the view lives: one lock and one clock reading for a
  // whole walk over candidates.
  class View {
   public:
    bool Busy(int64_t port) const { return memory_.BusyAt(port, now_); }
    // The system refused port: if its TIME_WAIT after a delivery of ours has ended by the
    // memory's count, it lingers kLinger more. Ports the memory never held stay the system's.
    void Refused(int64_t port) const { memory_.LingerAt(port, now_); }

   private:
    friend class PortMemory;
    View(const PortMemory& memory, Clock::time_point now)
        : lock_(memory.mu_), memory_(memory), now_(now.time_since_epoch().count()) {}
    std::unique_lock<std::mutex> lock_;
    const PortMemory& memory_;
    Clock::rep now_;
  };
  View Look() const { return View(*this, now_()); }

 private:
  // Per port: kFree, kHeld, or the end of its TIME_WAIT in clock ticks.
  static constexpr Clock::rep kFree = 0;
  static constexpr Clock::rep kHeld = std::numeric_limits<Clock::rep>::max();
  static constexpr int64_t kPorts = 65536;
  static constexpr int kBlockBits = 6;
  static constexpr int64_t kBlockPorts = int64_t{1} << kBlockBits;

  // A walk past a range full of TIME_WAIT ports asks about hundreds of them, each in its own
  // cache line of the per-port array; this summary of 64 ports per 16 bytes (16 KiB in all)
  // stays in the first-level cache and answers alone until the block's first TIME_WAIT ends.
  struct Block {
    uint64_t marked = 0;      // ports not free at the last look: held, or in TIME_WAIT then
    Clock::rep ends = kHeld;  // no marked port's TIME_WAIT ends before this
  };

  static bool InRange(int64_t port) { return port > 0 && port < kPorts; }
  bool BusyAt(int64_t port, Clock::rep now) const {
    if (!InRange(port) || !blocks_) return false;
    Block& block = blocks_[static_cast<size_t>(port >> kBlockBits)];
    const uint64_t bit = uint64_t{1} << (port & (kBlockPorts - 1));
    if ((block.marked & bit) == 0) return false;
    if (now >= block.ends) Refresh(block, port & ~(kBlockPorts - 1), now);
    return (block.marked & bit) != 0;
  }
  // Unmarks the block's ports whose TIME_WAIT ended by now and finds the next end. An ended
  // TIME_WAIT keeps its end, so that a refusal can tell the port was ours.
  void Refresh(Block& block, int64_t first_port, Clock::rep now) const;
  void LingerAt(int64_t port, Clock::rep now) const;

  std::function<Clock::time_point()> now_;
  Clock::duration time_wait_;
  mutable std::mutex mu_;
  // Both allocated at the first Hold; calloc's zero pages of ports_ are touched only where
  // used. A look that finds a block stale brings it up to date, under mu_ as every change.
  std::unique_ptr<Clock::rep[], void (*)(void*)> ports_{nullptr, std::free};
  std::unique_ptr<Block[]> blocks_;
};

}  // namespace qz::transport

#endif  // QZ_TRANSPORT_PORT_MEMORY_H_
