// A host built outside the source tree against installed QZ_NetMessage files: it logs in over
// an SQLite file given as argument, sends a message to itself on 127.0.0.1 and waits for it.
// Exit status 0 only when the message came back whole.
#include <chrono>
#include <cstdio>
#include <string>

#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "qz/version.h"
#include "qzpub.h"

namespace {

struct Inbox : qz::QZCLS_NetMessageEvents {
  void acceptMessage(const std::string& msg, const std::string& user, const std::string& sys,
                     const std::string& mod) override {
    received = msg + "|" + user + "|" + sys + "|" + mod;
  }
  std::string received;
};

int Fail(const char* what, const std::string& why) {
  std::fprintf(stderr, "package_consumer: %s: %s\n", what, why.c_str());
  return 1;
}

int RoundTrip(int32_t hdbc) {
  qz::SetLocalIPOverride("127.0.0.1");
  qz::QZCLS_NetMessage net;
  Inbox inbox;
  qz::Result<uint32_t> cookie = net.Advise(&inbox);
  if (!cookie.ok()) return Fail("Advise", cookie.status().ToString());
  if (qz::Status s = net.Init(hdbc, "consumer", "PKG", "Check"); !s.ok()) {
    return Fail("Init", s.ToString() + " (" + qzpub_LastError() + ")");
  }
  int rc = 0;
  const std::string expected = "packaged hello|consumer|PKG|Check";
  if (qz::Status s = net.SendMessage("packaged hello", "consumer"); !s.ok()) {
    rc = Fail("SendMessage", s.ToString());
  } else if (!qz::loop::RunUntil([&] { return !inbox.received.empty(); },
                                 std::chrono::seconds(10))) {
    rc = Fail("acceptMessage", "nothing arrived within 10 s");
  } else if (inbox.received != expected) {
    rc = Fail("acceptMessage", "got \"" + inbox.received + "\", sent \"" + expected + "\"");
  }
  if (qz::Status s = net.LogOut(); !s.ok()) rc = Fail("LogOut", s.ToString());
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: package_consumer SQLITE_FILE\n");
    return 2;
  }
  const int32_t hdbc = qzpub_Connect((std::string("sqlite:") + argv[1]).c_str());
  if (hdbc <= 0) return Fail("qzpub_Connect", qzpub_LastError());
  const int rc = RoundTrip(hdbc);
  qzpub_Disconnect(hdbc);
  if (rc == 0)
    std::printf("package_consumer: QZ_NetMessage %s: round trip ok\n", QZ_NETMESSAGE_VERSION);
  return rc;
}
