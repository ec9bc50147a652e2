// NetnsLan: a LAN of hosts made of network namespaces, for tests that run as root.
//
// A switch namespace holds a bridge; every host is a namespace of its own, linked to that bridge
// by a veth pair, with addresses from 198.18.0.0/24 (a range set aside for testing networks).
// Nothing is made in the root namespace, so no traffic of the tests can leave the machine, and
// the switch does not forward between subnets. Every name starts with the LAN's id,
// qzlan-PID-SERIAL, so that parallel runs never collide; leftovers of a run that died (its PID
// gone) are removed by the next LAN made. Each host sees a hosts file of its own that maps the
// machine's host name to 127.0.1.1 and a resolver on its own loopback, so that no look-up
// depends on the machine or leaves the namespace.
#ifndef QZ_TESTS_LAN_NETNS_LAN_H_
#define QZ_TESTS_LAN_NETNS_LAN_H_

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testing/child_process.h"

namespace qz_lan {

struct Host {
  std::string name;     // as the test calls it
  std::string netns;    // the namespace's name
  std::string address;  // of its first link, eth0
  int last_number = 0;  // of that address
};

// "198.18.0.N"
std::string LanAddress(int last_number);

class NetnsLan {
 public:
  // Makes the switch and a folder for the test's files; nullptr, with *why_not set, when this
  // process cannot make namespaces (not root, no iproute2, no kernel support).
  static std::unique_ptr<NetnsLan> Create(std::string* why_not);
  // Kills what still runs in the LAN's namespaces, removes them (and so every link) and the
  // folder.
  ~NetnsLan();
  NetnsLan(const NetnsLan&) = delete;
  NetnsLan& operator=(const NetnsLan&) = delete;

  const std::string& id() const { return id_; }
  // /tmp/ID, traversable by every user (the database server runs as another).
  const std::filesystem::path& folder() const { return folder_; }

  // A host with link eth0 at 198.18.0.last_number/24; nullptr, with *why_not set, on failure.
  const Host* AddHost(const std::string& name, int last_number, std::string* why_not);
  // A host with no link yet; its address is that of the link eth0 that the caller makes and
  // gives it with SetAddress. nullptr, with *why_not set, on failure.
  const Host* AddHostWithoutLink(const std::string& name, int last_number, std::string* why_not);
  // Gives link, inside host's namespace, the address 198.18.0.last_number/24 and sets it up.
  bool SetAddress(const Host& host, const std::string& link, int last_number,
                  std::string* why_not) const;
  // Another link of host to the bridge, with the address 198.18.0.last_number/24.
  bool AddLink(const Host& host, const std::string& link, int last_number, std::string* why_not);
  // The default route of host, through link to 198.18.0.1 (which no host has).
  bool SetDefaultRoute(const Host& host, const std::string& link, std::string* why_not);
  // ip link set LINK up/down, inside host's namespace.
  bool SetLink(const Host& host, const std::string& link, bool up, std::string* why_not);
  // Drops every packet host receives or sends (nftables), until AcceptAll.
  bool DropAll(const Host& host, std::string* why_not);
  bool AcceptAll(const Host& host, std::string* why_not);

  // argv as run inside host's namespace; argv[0] is looked up in PATH there.
  std::vector<std::string> In(const Host& host, const std::vector<std::string>& argv) const;
  // Runs argv inside host's namespace to its end.
  qz_test::RunResult RunIn(const Host& host, const std::vector<std::string>& argv,
                           std::string_view stdin_text = {}) const;
  // Runs fn on a thread of its own inside host's namespace: the sockets it makes belong there.
  // False when the thread could not enter the namespace (fn did not run).
  bool RunInside(const Host& host, const std::function<void()>& fn) const;

 private:
  NetnsLan(std::string ip, std::string id, std::filesystem::path folder)
      : ip_(std::move(ip)), id_(std::move(id)), folder_(std::move(folder)) {}
  bool AddNamespace(const std::string& netns, std::string* why_not);
  // The veth pair from the bridge to link in netns.
  bool Connect(const std::string& netns, const std::string& link, int last_number,
               std::string* why_not);
  bool SetAddress(const std::string& netns, const std::string& link, int last_number,
                  std::string* why_not) const;
  // ip ARGS in the root namespace (only -n/netns commands are given); false, with *why_not
  // set to its error, on failure.
  bool Ip(const std::vector<std::string>& args, std::string* why_not) const;

  std::string ip_;  // path of the ip command
  std::string id_;
  std::filesystem::path folder_;
  std::string switch_netns_;
  std::vector<std::string> namespaces_;  // every one made, the switch first
  std::vector<std::unique_ptr<Host>> hosts_;
  int ports_ = 0;  // bridge ports made so far
};

}  // namespace qz_lan

#endif  // QZ_TESTS_LAN_NETNS_LAN_H_
