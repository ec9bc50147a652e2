#include "lan/netns_lan.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace qz_lan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kPrefix[] = "qzlan-";
constexpr auto kCommandTimeout = 15000ms;

std::string FindIp() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// What a failed command said, for the test's message.
std::string Failure(const std::vector<std::string>& argv, const qz_test::RunResult& r) {
  std::string command;
  for (const std::string& a : argv) command += (command.empty() ? "" : " ") + a;
  const std::string why = r.exit_code ? "exit " + std::to_string(*r.exit_code) : "timed out";
  return command + ": " + why + ": " + Trimmed(r.err + r.out);
}

// The PID in a name qzlan-PID-..., or 0.
pid_t OwnerPid(const std::string& name) {
  if (name.rfind(kPrefix, 0) != 0) return 0;
  return static_cast<pid_t>(std::atol(name.c_str() + sizeof kPrefix - 1));
}

bool Alive(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

// Kills every process inside netns and removes it, with its files under /etc/netns.
void RemoveNamespace(const std::string& ip, const std::string& netns) {
  const qz_test::RunResult pids = qz_test::RunToEnd({ip, "netns", "pids", netns}, kCommandTimeout);
  std::istringstream lines(pids.out);
  for (pid_t pid; lines >> pid;) {
    if (pid > 1 && pid != getpid()) kill(pid, SIGKILL);
  }
  qz_test::RunToEnd({ip, "netns", "delete", netns}, kCommandTimeout);
  std::error_code ignored;
  fs::remove_all(fs::path("/etc/netns") / netns, ignored);
}

// Removes the namespaces, /etc/netns folders and /tmp folders of LANs whose process is gone.
void RemoveLeftovers(const std::string& ip) {
  std::error_code ec;
  for (const fs::path& dir : {fs::path("/run/netns"), fs::path("/etc/netns")}) {
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename();
      const pid_t owner = OwnerPid(name);
      if (owner > 0 && !Alive(owner)) RemoveNamespace(ip, name);
    }
  }
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    const pid_t owner = OwnerPid(entry.path().filename());
    if (owner > 0 && !Alive(owner)) fs::remove_all(entry.path(), ec);
  }
}

bool WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out.flush());
}

// The files `ip netns exec` mounts over /etc inside netns.
bool WriteNameFiles(const std::string& netns, std::string* why_not) {
  const fs::path dir = fs::path("/etc/netns") / netns;
  std::error_code ec;
  fs::create_directories(dir, ec);
  char host_name[256] = "localhost";
  gethostname(host_name, sizeof host_name - 1);
  if (ec ||
      !WriteFile(dir / "hosts",
                 "127.0.0.1 localhost\n127.0.1.1 " + std::string(host_name) + "\n") ||
      !WriteFile(dir / "resolv.conf", "nameserver 127.0.0.1\n")) {
    *why_not = "cannot write the name files in " + dir.string();
    return false;
  }
  return true;
}

}  // namespace

std::string LanAddress(int last_number) { return "198.18.0." + std::to_string(last_number); }

std::unique_ptr<NetnsLan> NetnsLan::Create(std::string* why_not) {
  if (geteuid() != 0) {
    *why_not = "the LAN tests make network namespaces and must run as root";
    return nullptr;
  }
  const std::string ip = FindIp();
  if (ip.empty()) {
    *why_not = "no ip command (install iproute2)";
    return nullptr;
  }
  RemoveLeftovers(ip);
  static std::atomic<int> serial{0};
  const std::string id = kPrefix + std::to_string(getpid()) + "-" + std::to_string(++serial);
  const fs::path folder = fs::temp_directory_path() / id;
  std::error_code ec;
  fs::create_directory(folder, ec);
  if (ec || chmod(folder.c_str(), 0711) != 0) {
    *why_not = "cannot make " + folder.string();
    return nullptr;
  }
  std::unique_ptr<NetnsLan> lan(new NetnsLan(ip, id, folder));
  lan->switch_netns_ = id + "-switch";
  if (!lan->AddNamespace(lan->switch_netns_, why_not) ||
      !lan->Ip({"-n", lan->switch_netns_, "link", "add", "br0", "type", "bridge"}, why_not) ||
      !lan->Ip({"-n", lan->switch_netns_, "link", "set", "br0", "up"}, why_not)) {
    return nullptr;
  }
  return lan;
}

NetnsLan::~NetnsLan() {
  // Hosts first: a namespace goes only when nothing runs in it any more.
  for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it) RemoveNamespace(ip_, *it);
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

bool NetnsLan::Ip(const std::vector<std::string>& args, std::string* why_not) const {
  std::vector<std::string> argv = {ip_};
  argv.insert(argv.end(), args.begin(), args.end());
  const qz_test::RunResult r = qz_test::RunToEnd(argv, kCommandTimeout);
  if (r.exit_code == 0) return true;
  *why_not = Failure(argv, r);
  return false;
}

bool NetnsLan::AddNamespace(const std::string& netns, std::string* why_not) {
  if (!Ip({"netns", "add", netns}, why_not)) return false;
  namespaces_.push_back(netns);
  return Ip({"-n", netns, "link", "set", "lo", "up"}, why_not);
}

bool NetnsLan::Connect(const std::string& netns, const std::string& link, int last_number,
                       std::string* why_not) {
  const std::string port = "p" + std::to_string(++ports_);
  return Ip({"-n", switch_netns_, "link", "add", port, "type", "veth", "peer", "name", link,
             "netns", netns},
            why_not) &&
         Ip({"-n", switch_netns_, "link", "set", port, "master", "br0", "up"}, why_not) &&
         SetAddress(netns, link, last_number, why_not);
}

bool NetnsLan::SetAddress(const std::string& netns, const std::string& link, int last_number,
                          std::string* why_not) const {
  const std::string address = LanAddress(last_number) + "/24";
  return Ip({"-n", netns, "address", "add", address, "dev", link}, why_not) &&
         Ip({"-n", netns, "link", "set", link, "up"}, why_not);
}

bool NetnsLan::SetAddress(const Host& host, const std::string& link, int last_number,
                          std::string* why_not) const {
  return SetAddress(host.netns, link, last_number, why_not);
}

const Host* NetnsLan::AddHostWithoutLink(const std::string& name, int last_number,
                                         std::string* why_not) {
  auto host =
      std::make_unique<Host>(Host{name, id_ + "-" + name, LanAddress(last_number), last_number});
  if (!WriteNameFiles(host->netns, why_not) || !AddNamespace(host->netns, why_not)) {
    return nullptr;
  }
  hosts_.push_back(std::move(host));
  return hosts_.back().get();
}

const Host* NetnsLan::AddHost(const std::string& name, int last_number, std::string* why_not) {
  const Host* host = AddHostWithoutLink(name, last_number, why_not);
  if (host == nullptr || !Connect(host->netns, "eth0", last_number, why_not)) return nullptr;
  return host;
}

bool NetnsLan::AddLink(const Host& host, const std::string& link, int last_number,
                       std::string* why_not) {
  return Connect(host.netns, link, last_number, why_not);
}

bool NetnsLan::SetDefaultRoute(const Host& host, const std::string& link, std::string* why_not) {
  return Ip({"-n", host.netns, "route", "replace", "default", "via", LanAddress(1), "dev", link},
            why_not);
}

bool NetnsLan::SetLink(const Host& host, const std::string& link, bool up, std::string* why_not) {
  return Ip({"-n", host.netns, "link", "set", link, up ? "up" : "down"}, why_not);
}

bool NetnsLan::DropAll(const Host& host, std::string* why_not) {
  const std::string rules =
      "table inet qzlan {\n"
      "  chain input { type filter hook input priority 0; policy drop; }\n"
      "  chain output { type filter hook output priority 0; policy drop; }\n"
      "}\n";
  const std::vector<std::string> argv = {"nft", "-f", "-"};
  const qz_test::RunResult r = RunIn(host, argv, rules);
  if (r.exit_code == 0) return true;
  *why_not = Failure(argv, r) + " (is nftables installed?)";
  return false;
}

bool NetnsLan::AcceptAll(const Host& host, std::string* why_not) {
  const std::vector<std::string> argv = {"nft", "delete", "table", "inet", "qzlan"};
  const qz_test::RunResult r = RunIn(host, argv);
  if (r.exit_code == 0) return true;
  *why_not = Failure(argv, r);
  return false;
}

std::vector<std::string> NetnsLan::In(const Host& host,
                                      const std::vector<std::string>& argv) const {
  std::vector<std::string> full = {ip_, "netns", "exec", host.netns};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

qz_test::RunResult NetnsLan::RunIn(const Host& host, const std::vector<std::string>& argv,
                                   std::string_view stdin_text) const {
  return qz_test::RunToEnd(In(host, argv), kCommandTimeout, stdin_text);
}

bool NetnsLan::RunInside(const Host& host, const std::function<void()>& fn) const {
  bool entered = false;
  // A thread of its own, so that the test's thread never leaves the root namespace.
  std::thread([&] {
    const int fd = open(("/run/netns/" + host.netns).c_str(), O_RDONLY | O_CLOEXEC);
    entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
    if (entered) fn();
  }).join();
  return entered;
}

}  // namespace qz_lan
