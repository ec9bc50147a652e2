#include "lan/lossy_hub.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <queue>
#include <random>

namespace qz_lan {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFrameSize = 65536;  // more than any frame of a link without offloads

// A TAP link named name in the calling thread's namespace; its descriptor, or -1 with *why_not.
int OpenTap(const char* name, std::string* why_not) {
  const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why_not = std::string("cannot open /dev/net/tun: ") + std::strerror(errno);
    return -1;
  }
  ifreq request{};
  request.ifr_flags = IFF_TAP | IFF_NO_PI;
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &request) != 0) {
    *why_not = std::string("cannot make a TAP link: ") + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// A copy of a frame on its way to one link.
struct Pending {
  Clock::time_point due;
  size_t link;
  std::shared_ptr<const std::vector<char>> frame;
  bool operator>(const Pending& other) const { return due > other.due; }
};

}  // namespace

std::unique_ptr<LossyHub> LossyHub::Create(const HubFaults& faults, std::string* why_not) {
  if (access("/dev/net/tun", R_OK | W_OK) != 0) {
    *why_not = "no /dev/net/tun for TAP links (modprobe tun)";
    return nullptr;
  }
  const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) {
    *why_not = std::string("eventfd: ") + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<LossyHub>(new LossyHub(faults, wake_fd));
}

LossyHub::~LossyHub() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  for (int fd : links_) close(fd);
  close(wake_fd_);
}

bool LossyHub::Attach(const NetnsLan& lan, const Host& host, std::string* why_not) {
  int fd = -1;
  if (!lan.RunInside(host, [&] { fd = OpenTap("eth0", why_not); })) {
    *why_not = "cannot enter the namespace of " + host.name;
    return false;
  }
  if (fd < 0) return false;
  links_.push_back(fd);
  return lan.SetAddress(host, "eth0", host.last_number, why_not);
}

void LossyHub::Start() {
  thread_ = std::thread([this] { Forward(); });
}

void LossyHub::Forward() {
  std::vector<pollfd> fds;
  for (int fd : links_) fds.push_back(pollfd{fd, POLLIN, 0});
  fds.push_back(pollfd{wake_fd_, POLLIN, 0});
  std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  std::uniform_int_distribution<long> delay(0, faults_.most_delay.count());
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending;
  std::vector<char> buffer(kFrameSize);
  for (;;) {
    int timeout = -1;
    if (!pending.empty()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(pending.top().due - Clock::now());
      timeout = static_cast<int>(std::max<long>(0, left.count()));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
    if (fds.back().revents != 0) return;
    for (size_t from = 0; from < links_.size(); ++from) {
      if (fds[from].revents == 0) continue;
      for (ssize_t n; (n = read(links_[from], buffer.data(), buffer.size())) > 0;) {
        auto frame = std::make_shared<const std::vector<char>>(buffer.begin(), buffer.begin() + n);
        for (size_t to = 0; to < links_.size(); ++to) {
          if (to == from) continue;
          if (chance(random) < faults_.loss) {
            ++dropped_;
            continue;
          }
          pending.push(Pending{Clock::now() + std::chrono::microseconds(delay(random)), to, frame});
        }
      }
    }
    for (const Clock::time_point now = Clock::now(); !pending.empty() && pending.top().due <= now;
         pending.pop()) {
      const Pending& copy = pending.top();
      // A link that is down or full takes nothing: that copy is lost, as on a wire.
      if (write(links_[copy.link], copy.frame->data(), copy.frame->size()) > 0) ++forwarded_;
    }
  }
}

}  // namespace qz_lan
