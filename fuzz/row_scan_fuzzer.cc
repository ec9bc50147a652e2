// SendMessage's scan of the presence table, fed by a data-access library that returns whatever
// the input says: results, cursors, failures, and whole 312-byte records, row after row.
//
// Network safety: every address the fake returns is replaced by 127.0.0.1, and every port text
// that would name a real port is replaced by the port of this target's own listener (with the
// input's choice of leading zeros or blanks, so that endpoint texts still differ). Nothing is
// ever sent to another address, nor to anybody else's port on this machine.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "loopback_peer.h"
#include "platform/event_loop.h"
#include "platform/leading_number.h"
#include "platform/socket_control.h"
#include "presence/data_access.h"
#include "presence/yhdl_record.h"
#include "qz/net_message.h"
#include "transport/module_state.h"
#include "transport/payload.h"

namespace qz::fuzz {
namespace {

using std::chrono::milliseconds;

constexpr int32_t kInjectedFailure = errc::kEntryNotFound;
constexpr int kMaxRows = 48;  // a library whose scan never ends is not what this target is about

class FuzzDataAccess final : public presence::DataAccess {
 public:
  void Start(FuzzedDataProvider* in, int32_t own_port) {
    in_ = in;
    own_port_ = own_port;
    rows_ = 0;
    endpoints.clear();
  }
  void Stop() { in_ = nullptr; }

  // Logging in (no input): a well-behaved library.
  Result<int32_t> odbc_GetSysDateStr(int32_t, char* buffer) override {
    std::strcpy(buffer, "2024-03-01 12:00:00");
    return 1;
  }
  Result<int32_t> odbc_ExecSQL(int32_t, const std::string&) override { return 1; }
  Result<int32_t> userYHDL_Insert(int32_t, YHDLRecord& r) override {
    r.YH00 = 1;
    return 1;
  }
  Result<int32_t> userYHDL_Delete(int32_t, YHDLRecord&) override { return 1; }

  Result<int32_t> sysMSSQLUses(int32_t, const std::string&) override { return Answer(); }
  Result<int32_t> userYHDL_GetFirst(int32_t, YHDLRecord& r, const std::string&) override {
    Result<int32_t> result = Answer();
    if (result.ok() && *result > 0) Fill(r);
    return result;
  }
  Result<int32_t> userYHDL_GetNext(int32_t, YHDLRecord& r) override {
    if (++rows_ >= kMaxRows) return 0;
    Result<int32_t> result = Answer();
    if (result.ok() && *result == 1) Fill(r);
    return result;
  }

  // A negative result is the library's failure; these are its words.
  std::string LastError() override { return "the fuzzed library reported a failure"; }

  // The endpoint texts the component will have seen, as it reads them.
  std::set<std::string> endpoints;

 private:
  Result<int32_t> Answer() {
    if (in_ == nullptr) return 1;
    switch (in_->ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        return Status::Error(kInjectedFailure, "the fuzzed library failed");
      case 1:
        return in_->ConsumeIntegral<int32_t>();
      default:
        return 1;
    }
  }

  // A record of the input's bytes, made safe: the address is 127.0.0.1, and a port text that
  // the component would read as a real port becomes this target's own port.
  void Fill(YHDLRecord& r) {
    const std::string bytes = in_->ConsumeBytesAsString(sizeof r);
    std::memset(&r, 0, sizeof r);
    std::memcpy(&r, bytes.data(), bytes.size());
    presence::WriteTextField(r.YH02, "127.0.0.1");
    const std::string port_text = presence::ReadTextField(r.YH03);
    const int32_t port = LeadingNumber(port_text);
    if (port >= 1 && port <= 65535) {
      const std::string pad(in_->ConsumeIntegralInRange<size_t>(0, 3),
                            in_->ConsumeBool() ? '0' : ' ');
      presence::WriteTextField(r.YH03, pad + std::to_string(own_port_));
    }
    endpoints.insert(presence::ReadTextField(r.YH02) + "|" + presence::ReadTextField(r.YH03));
  }

  FuzzedDataProvider* in_ = nullptr;
  int32_t own_port_ = 0;
  int rows_ = 0;
};

struct Setup {
  Setup() {
    SetLocalIPOverride("127.0.0.1");
    presence::SetDataAccessForTesting(&db);
    FUZZ_CHECK(net.Init(1, "fuzz", "S", "M").ok());
  }
  FuzzDataAccess db;
  RawReceiver peer;  // the only port any delivery goes to
  QZCLS_NetMessage net;
};

size_t Registered() {
  const auto& registry = transport::Module1().gConnections;
  return registry ? registry->Count() : 0;
}

}  // namespace
}  // namespace qz::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz;
  static fuzz::Setup* setup = new fuzz::Setup();  // lives for the whole run
  FuzzedDataProvider in(data, size);
  const std::string msg = in.ConsumeRandomLengthString(64);
  std::string user = in.ConsumeRandomLengthString(16);
  std::string sys = in.ConsumeRandomLengthString(16);
  std::string mod = in.ConsumeRandomLengthString(16);

  setup->peer.finished.clear();
  setup->db.Start(&in, setup->peer.port());
  const Status s = setup->net.SendMessage(msg, user, sys, mod);
  setup->db.Stop();
  FUZZ_CHECK(s.ok() || s.code() == fuzz::kInjectedFailure || s.code() == errc::kDatabaseFailed);

  // Every delivery ends, and the own listener got connections only for endpoint texts the scan
  // returned, each carrying the one payload.
  FUZZ_CHECK(platform::EventLoop::Current().RunUntil(
      [&] { return fuzz::Registered() == 0 && setup->peer.AllFinished(); },
      std::chrono::milliseconds(5000)));
  // A delivery that fails after it connected reconnects once and sends the payload again.
  FUZZ_CHECK(setup->peer.finished.size() <= 2 * setup->db.endpoints.size());
  const std::string payload =
      transport::EncodeForWire(transport::BuildMessagePayload(msg, "fuzz", "S", "M", 1));
  for (const std::string& bytes : setup->peer.finished) {
    FUZZ_CHECK(payload.compare(0, bytes.size(), bytes) == 0);
  }
  return 0;
}
