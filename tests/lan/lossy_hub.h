// LossyHub: a hub made of TAP links, for LAN cases over a lossy, jittery network that the kernel
// cannot make itself (no netem). Each host attached gets a TAP link, made inside its own
// namespace, whose frames a thread of the test process forwards to every other host's link,
// dropping each copy with some probability and holding each for a random time, so that frames
// also overtake one another. Closing the links (the hub's end) removes them.
#ifndef QZ_TESTS_LAN_LOSSY_HUB_H_
#define QZ_TESTS_LAN_LOSSY_HUB_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lan/netns_lan.h"

namespace qz_lan {

struct HubFaults {
  double loss = 0.05;                           // of each copy of a frame
  std::chrono::microseconds most_delay{20000};  // each copy waits uniformly from 0 to this
};

class LossyHub {
 public:
  // nullptr, with *why_not set, when TAP links cannot be had (no /dev/net/tun).
  static std::unique_ptr<LossyHub> Create(const HubFaults& faults, std::string* why_not);
  // Stops forwarding and closes every link.
  ~LossyHub();
  LossyHub(const LossyHub&) = delete;
  LossyHub& operator=(const LossyHub&) = delete;

  // Makes host's link eth0 on this hub, with host's address; before Start only.
  bool Attach(const NetnsLan& lan, const Host& host, std::string* why_not);
  void Start();

  // Copies of frames forwarded and dropped so far.
  long forwarded() const { return forwarded_; }
  long dropped() const { return dropped_; }

 private:
  LossyHub(const HubFaults& faults, int wake_fd) : faults_(faults), wake_fd_(wake_fd) {}
  void Forward();

  const HubFaults faults_;
  const int wake_fd_;  // an eventfd that tells the thread to end
  std::vector<int> links_;
  std::thread thread_;
  std::atomic<long> forwarded_{0};
  std::atomic<long> dropped_{0};
};

}  // namespace qz_lan

#endif  // QZ_TESTS_LAN_LOSSY_HUB_H_
