// A minimal host: subscribes to the events of one QZCLS_NetMessage and hands the listener-form
// handler the body of a message payload, as the inbound side does when a peer delivers one.
#include <cstdio>
#include <string>

#include "qz/net_message.h"

namespace {

class PrintingSink : public qz::QZCLS_NetMessageEvents {
 public:
  void acceptMessage(const std::string& msg, const std::string& UserName,
                     const std::string& SysName, const std::string& MdlName) override {
    std::printf("acceptMessage: msg=\"%s\" UserName=\"%s\" SysName=\"%s\" MdlName=\"%s\"\n",
                msg.c_str(), UserName.c_str(), SysName.c_str(), MdlName.c_str());
    ++received;
  }
  int received = 0;
};

}  // namespace

int main() {
  qz::QZCLS_NetMessage net;
  PrintingSink sink;
  qz::Result<uint32_t> cookie = net.Advise(&sink);
  if (!cookie.ok()) {
    std::fprintf(stderr, "%s\n", cookie.status().ToString().c_str());
    return 1;
  }
  // The body of "YH" payload: text, user, system, module and row key, separated by code 15.
  const std::string body = std::string("hello") + '\x0F' + "alice" + '\x0F' + "ERP" + '\x0F' +
                           "Sales" + '\x0F' + "7";
  net.m_frmMsg_acceptMessage(body);
  (void)net.Unadvise(*cookie);
  return sink.received == 1 ? 0 : 1;
}
