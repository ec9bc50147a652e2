// A minimal host: logs one user in over an SQLite presence table, sends a message to every
// logged-in user (itself included), waits for it to arrive as acceptMessage, and logs out.
// Everything stays on this machine: the user publishes 127.0.0.1.
//
// Usage: qz_example_host [DATABASE]   (default: a file in the temporary folder)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "qzpub.h"

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

int Fail(const char* what, const qz::Status& status) {
  std::fprintf(stderr, "%s: %s\n", what, status.ToString().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string database =
      argc > 1 ? argv[1]
               : (std::filesystem::temp_directory_path() / "qz_example_host.sqlite").string();
  const int32_t hdbc = qzpub_Connect(("sqlite:" + database).c_str());
  if (hdbc <= 0) {
    std::fprintf(stderr, "cannot open %s: %s\n", database.c_str(), qzpub_LastError());
    return 1;
  }
  qz::SetLocalIPOverride("127.0.0.1");

  int rc = 0;
  {
    qz::QZCLS_NetMessage net;
    PrintingSink sink;
    qz::Result<uint32_t> cookie = net.Advise(&sink);
    if (!cookie.ok()) return Fail("Advise", cookie.status());
    if (qz::Status s = net.Init(hdbc, "alice", "ERP", "Sales"); !s.ok()) return Fail("Init", s);
    if (qz::Status s = net.SendMessage("hello", "alice"); !s.ok()) {
      rc = Fail("SendMessage", s);
    } else if (!qz::loop::RunUntil([&] { return sink.received > 0; }, std::chrono::seconds(5))) {
      std::fprintf(stderr, "no message arrived within 5 s\n");
      rc = 1;
    }
    if (qz::Status s = net.LogOut(); !s.ok()) rc = Fail("LogOut", s);
    (void)net.Unadvise(*cookie);
  }
  qzpub_Disconnect(hdbc);
  return rc;
}
