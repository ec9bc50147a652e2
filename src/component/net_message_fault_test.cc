// The public class when things go wrong around it: the database going away in the middle of a
// call, hosts whose handlers call back in or destroy the object, a process short of descriptors,
// presence rows written by someone hostile. Whatever happens: a clear failure or a silently lost
// delivery, never a crash, and the object works again once the cause is gone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/process_testing.h"
#include "presence/data_access.h"
#include "presence/testing/recording_data_access.h"
#include "presence/yhdl_record.h"
#include "qz/message_loop.h"
#include "qz/net_message.h"
#include "transport/hidden_form.h"
#include "transport/list_order.h"
#include "transport/loopback_testing.h"
#include "transport/module_state.h"

namespace qz {
namespace {

using presence::RecordingDataAccess;
using std::chrono::milliseconds;
using ::testing::HasSubstr;

constexpr const char* kEntries[] = {"odbc_GetSysDateStr", "odbc_ExecSQL", "userYHDL_Insert",
                                    "userYHDL_Delete",    "sysMSSQLUses", "userYHDL_GetFirst",
                                    "userYHDL_GetNext"};

// The recording fake, whose every entry starts failing at a chosen call, as when the database
// connection is lost in the middle of a method, until Restore(). It fails as qzpub does: -1,
// with the words that qzpub_LastError() then gives.
class FlakyDatabase final : public presence::DataAccess {
 public:
  static constexpr char kLostWords[] =
      "PostgreSQL: connection lost, and reconnecting failed: connection to server at "
      "\"127.0.0.1\", port 5432 failed: Connection refused";

  explicit FlakyDatabase(RecordingDataAccess& db) : db_(db) {}
  // The call numbered `at` from now (0: the next one) and every later one fail.
  void GoAwayAtCall(int at) { countdown_ = at; }
  void Restore() {
    countdown_ = -1;
    db_.ClearFailures();
  }

  Result<int32_t> odbc_GetSysDateStr(int32_t h, char* buffer) override {
    Tick();
    return db_.odbc_GetSysDateStr(h, buffer);
  }
  Result<int32_t> odbc_ExecSQL(int32_t h, const std::string& sql) override {
    Tick();
    return db_.odbc_ExecSQL(h, sql);
  }
  Result<int32_t> userYHDL_Insert(int32_t h, YHDLRecord& r) override {
    Tick();
    return db_.userYHDL_Insert(h, r);
  }
  Result<int32_t> userYHDL_Delete(int32_t h, YHDLRecord& r) override {
    Tick();
    return db_.userYHDL_Delete(h, r);
  }
  Result<int32_t> sysMSSQLUses(int32_t h, const std::string& database) override {
    Tick();
    return db_.sysMSSQLUses(h, database);
  }
  Result<int32_t> userYHDL_GetFirst(int32_t h, YHDLRecord& r, const std::string& c) override {
    Tick();
    return db_.userYHDL_GetFirst(h, r, c);
  }
  Result<int32_t> userYHDL_GetNext(int32_t cursor, YHDLRecord& r) override {
    Tick();
    return db_.userYHDL_GetNext(cursor, r);
  }
  std::string LastError() override { return db_.LastError(); }

 private:
  void Tick() {
    if (countdown_ == 0) {
      for (const char* entry : kEntries) db_.FailAsLibrary(entry, kLostWords);
    }
    if (countdown_ >= 0) --countdown_;
  }

  RecordingDataAccess& db_;
  int countdown_ = -1;
};

class Inbox : public QZCLS_NetMessageEvents {
 public:
  void acceptMessage(const std::string& msg, const std::string& UserName, const std::string&,
                     const std::string&) override {
    messages.push_back(msg);
    senders.push_back(UserName);
    if (then) then(msg);
  }
  std::vector<std::string> messages, senders;
  std::function<void(const std::string&)> then;
};

// An object with its inbox, advised.
struct Client {
  Client() { (void)net->Advise(&inbox); }
  std::unique_ptr<QZCLS_NetMessage> net = std::make_unique<QZCLS_NetMessage>();
  Inbox inbox;
};

size_t Registered() {
  const auto& registry = transport::Module1().gConnections;
  return registry ? registry->Count() : 0;
}

bool AwaitCount(const Inbox& inbox, size_t n) {
  return loop::RunUntil([&] { return inbox.messages.size() >= n; }, milliseconds(5000));
}

class NetMessageFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLocalIPOverride("127.0.0.1");
    presence::SetDataAccessForTesting(&flaky_);
  }
  void TearDown() override {
    flaky_.Restore();
    presence::SetDataAccessForTesting(nullptr);
    EXPECT_EQ(transport::LoadedFormCount(), 0u) << "a listener or connection outlived its object";
    EXPECT_TRUE(transport::Module1().gConnections == nullptr);
  }

  RecordingDataAccess db_;
  FlakyDatabase flaky_{db_};
};

// ---- The database going away ---------------------------------------------------------------

TEST_F(NetMessageFaultTest, TheDatabaseGoingAwayDuringInitFailsItAndLaterCallsWork) {
  // Init calls: the server time, the purge, the duplicate delete, the endpoint's delete, the
  // insert.
  for (int at = 0; at < 5; ++at) {
    SCOPED_TRACE("lost at call " + std::to_string(at));
    Client c;
    flaky_.GoAwayAtCall(at);
    const Status failed = c.net->Init(1, "ann", "S", "M");
    EXPECT_EQ(failed.code(), at < 4 ? errc::kDatabaseFailed : errc::kRowNotWritten);
    EXPECT_THAT(failed.message(), HasSubstr(FlakyDatabase::kLostWords));
    EXPECT_TRUE(db_.rows().empty());
    EXPECT_EQ(transport::LoadedFormCount(), 0u) << "the failed Init left its listener open";

    flaky_.Restore();
    EXPECT_EQ(c.net->LogOut().code(), errc::kObjectNotSet) << "the failed Init left a login";
    ASSERT_TRUE(c.net->Init(1, "ann", "S", "M").ok());
    ASSERT_TRUE(c.net->SendMessage("after " + std::to_string(at)).ok());
    ASSERT_TRUE(AwaitCount(c.inbox, 1));
    EXPECT_EQ(c.inbox.messages[0], "after " + std::to_string(at));
    ASSERT_TRUE(c.net->LogOut().ok());
    EXPECT_TRUE(db_.rows().empty());
  }
}

TEST_F(NetMessageFaultTest, TheDatabaseGoingAwayDuringSendMessageSendsNothingAndLaterCallsWork) {
  Client a, b;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  // SendMessage calls: the database choice, the first row, the second row, the end of the scan.
  for (int at = 0; at < 4; ++at) {
    SCOPED_TRACE("lost at call " + std::to_string(at));
    flaky_.GoAwayAtCall(at);
    const Status failed = a.net->SendMessage("lost");
    EXPECT_EQ(failed.code(), errc::kDatabaseFailed);
    EXPECT_THAT(failed.message(), HasSubstr(FlakyDatabase::kLostWords));
    EXPECT_EQ(Registered(), 0u) << "no delivery starts before the scan is complete";
    flaky_.Restore();
  }
  ASSERT_TRUE(a.net->SendMessage("back").ok());
  ASSERT_TRUE(AwaitCount(a.inbox, 1));
  ASSERT_TRUE(AwaitCount(b.inbox, 1));
  EXPECT_EQ(a.inbox.messages, std::vector<std::string>{"back"});
  EXPECT_EQ(b.inbox.messages, std::vector<std::string>{"back"});
  ASSERT_TRUE(a.net->LogOut().ok());
  ASSERT_TRUE(b.net->LogOut().ok());
}

TEST_F(NetMessageFaultTest, TheDatabaseGoingAwayDuringLogOutKeepsTheLoginUntilItIsBack) {
  Client a, b;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  flaky_.GoAwayAtCall(0);
  const Status failed = a.net->LogOut();
  EXPECT_EQ(failed.code(), errc::kDatabaseFailed);
  EXPECT_THAT(failed.message(), HasSubstr(FlakyDatabase::kLostWords));
  EXPECT_EQ(db_.rows().size(), 2u);
  flaky_.Restore();

  // Still logged in and listening.
  ASSERT_TRUE(b.net->SendMessage("still there?", "ann").ok());
  ASSERT_TRUE(AwaitCount(a.inbox, 1));
  ASSERT_TRUE(a.net->LogOut().ok());
  ASSERT_EQ(db_.rows().size(), 1u);
  ASSERT_TRUE(b.net->LogOut().ok());
  EXPECT_TRUE(db_.rows().empty());
}

TEST_F(NetMessageFaultTest, DestroyingAnObjectWhileTheDatabaseIsGoneStillClosesItsListener) {
  Client a, b;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  const YHDLRecord ann_row = db_.rows().at(0);
  const int32_t ann_port = std::stoi(presence::ReadTextField(ann_row.YH03));

  flaky_.GoAwayAtCall(0);
  a.net.reset();  // its LogOut fails: the row stays, as the database cannot be reached
  flaky_.Restore();
  EXPECT_EQ(transport::LoadedFormCount(), 1u) << "only b's listener is left";

  // Nothing listens on a's port any more: its stale row reaches nobody, and b hears its own.
  auto probe = transport::testing::RawClient::Connect(ann_port);
  ASSERT_TRUE(
      loop::RunUntil([&] { return probe->connected || probe->failed; }, milliseconds(5000)));
  EXPECT_TRUE(probe->failed) << "a's port still accepts connections";
  probe->control.Close();
  ASSERT_TRUE(b.net->SendMessage("to all").ok());
  ASSERT_TRUE(AwaitCount(b.inbox, 1));
  ASSERT_TRUE(b.net->LogOut().ok());
}

// ---- Hosts whose handlers call back in ------------------------------------------------------

TEST_F(NetMessageFaultTest, AHandlerMaySendAgainFromInsideTheEvent) {
  Client a, b;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  // Every message b hears makes it send another, to itself and ann, three levels deep.
  b.inbox.then = [&](const std::string& msg) {
    if (msg.size() < 4) {
      ASSERT_TRUE(b.net->SendMessage(msg + "+").ok());
    }
  };
  ASSERT_TRUE(a.net->SendMessage("m", "ben").ok());
  ASSERT_TRUE(AwaitCount(b.inbox, 4));
  ASSERT_TRUE(AwaitCount(a.inbox, 3));
  EXPECT_EQ(b.inbox.messages, (std::vector<std::string>{"m", "m+", "m++", "m+++"}));
  EXPECT_EQ(a.inbox.messages, (std::vector<std::string>{"m+", "m++", "m+++"}));
  ASSERT_TRUE(a.net->LogOut().ok());
  ASSERT_TRUE(b.net->LogOut().ok());
}

TEST_F(NetMessageFaultTest, AHandlerMayLogOutInsideTheEventAndLogInAgainLater) {
  Client a, b;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  b.inbox.then = [&](const std::string&) { ASSERT_TRUE(b.net->LogOut().ok()); };
  ASSERT_TRUE(a.net->SendMessage("leave").ok());
  ASSERT_TRUE(AwaitCount(b.inbox, 1));
  ASSERT_TRUE(AwaitCount(a.inbox, 1));
  ASSERT_EQ(db_.rows().size(), 1u) << "only ann's row is left";

  ASSERT_TRUE(a.net->SendMessage("only ann").ok());
  ASSERT_TRUE(AwaitCount(a.inbox, 2));
  b.inbox.then = nullptr;
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  ASSERT_TRUE(a.net->SendMessage("both again").ok());
  ASSERT_TRUE(AwaitCount(b.inbox, 2));
  EXPECT_EQ(b.inbox.messages, (std::vector<std::string>{"leave", "both again"}));
  ASSERT_TRUE(a.net->LogOut().ok());
  ASSERT_TRUE(b.net->LogOut().ok());
}

TEST_F(NetMessageFaultTest, AHandlerMayDestroyTheObjectInsideItsOwnEvent) {
  Client a, b;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  b.inbox.then = [&](const std::string&) { b.net.reset(); };
  ASSERT_TRUE(a.net->SendMessage("goodbye").ok());
  ASSERT_TRUE(AwaitCount(b.inbox, 1));
  ASSERT_TRUE(AwaitCount(a.inbox, 1));
  EXPECT_EQ(b.net, nullptr);
  ASSERT_EQ(db_.rows().size(), 1u) << "the destruction logged ben out";

  ASSERT_TRUE(a.net->SendMessage("alone").ok());
  ASSERT_TRUE(AwaitCount(a.inbox, 2));
  ASSERT_TRUE(a.net->LogOut().ok());
}

TEST_F(NetMessageFaultTest, AnObjectDestroyedDuringItsOwnSendMessageLetsTheCallFinish) {
  Client a, b;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  ASSERT_TRUE(b.net->Init(1, "ben", "S", "M").ok());
  // Rows: ben's own first, then many that refuse, then ann: ben hears its own message while its
  // SendMessage still runs the loop for the later recipients, and is destroyed there.
  std::vector<YHDLRecord> rows = {db_.rows().at(1)};
  const int32_t closed = [] {
    auto gone = transport::testing::RawPeer::Listen();
    const int32_t port = gone->port();
    gone->listener.Close();
    return port;
  }();
  for (int i = 2; i < 40; ++i) {
    YHDLRecord r = presence::ZeroRecord();
    presence::WriteTextField(r.YH02, "127.0.0." + std::to_string(i));
    presence::WriteTextField(r.YH03, std::to_string(closed));
    rows.push_back(r);
  }
  rows.push_back(db_.rows().at(0));
  db_.ScriptRows(rows);

  bool sending = false, destroyed_while_sending = false;
  b.inbox.then = [&](const std::string&) {
    destroyed_while_sending = sending;
    b.net.reset();
  };
  sending = true;
  QZCLS_NetMessage* sender = b.net.get();
  const Status s = sender->SendMessage("last words");  // nothing of it is touched after this
  sending = false;
  EXPECT_TRUE(s.ok());
  ASSERT_TRUE(AwaitCount(b.inbox, 1));
  EXPECT_TRUE(destroyed_while_sending) << "the case needs the event inside SendMessage";
  ASSERT_TRUE(AwaitCount(a.inbox, 1));
  EXPECT_EQ(a.inbox.messages[0], "last words");
  db_.ClearScriptedRows();
  ASSERT_TRUE(loop::RunUntil([] { return Registered() == 0; }, milliseconds(5000)));
  ASSERT_TRUE(a.net->LogOut().ok());
}

// ---- Hostile presence rows -------------------------------------------------------------------

YHDLRecord Row(std::string_view address, std::string_view port) {
  YHDLRecord r = presence::ZeroRecord();
  presence::WriteTextField(r.YH02, address);
  presence::WriteTextField(r.YH03, port);
  return r;
}

TEST_F(NetMessageFaultTest, HostileRowsAreServedOrSkippedAndTheRestStillReceive) {
  Client a;
  ASSERT_TRUE(a.net->Init(1, "ann", "S", "M").ok());
  const YHDLRecord own = db_.rows().at(0);
  auto stranger = transport::testing::RawPeer::Listen();  // a port that is not a client's
  const std::string stranger_port = std::to_string(stranger->port());
  const std::string closed = [] {
    auto gone = transport::testing::RawPeer::Listen();
    const int32_t port = gone->port();
    gone->listener.Close();
    return std::to_string(port);
  }();

  // Only loopback addresses, and texts that cannot be addresses or host names at all.
  std::vector<YHDLRecord> rows = {
      Row("", closed),
      Row("127.0.0.1", ""),
      Row("127.0.0.1", "not a port"),
      Row("127.0.0.1", "99999999999"),
      Row("127.0.0.1", "-7"),
      Row("127.0.0.1", "65536"),
      Row("127.0.0.1", "0"),
      Row("127.0.0.2", closed),
      Row("127.0.0.1|" + closed, "x"),
      Row("not an address", closed),
      Row("1 2 3 4", "1"),
      Row("127.0.0.1", stranger_port),
  };
  YHDLRecord full = presence::ZeroRecord();  // both fields full to the width, without a NUL
  std::memset(full.YH02, '9', sizeof full.YH02);
  std::memset(full.YH03, '9', sizeof full.YH03);
  rows.push_back(full);
  YHDLRecord binary = presence::ZeroRecord();
  std::memset(binary.YH02, 0xFF, sizeof binary.YH02);
  std::memset(binary.YH03, 0x80, sizeof binary.YH03);
  rows.push_back(binary);
  rows.push_back(own);
  db_.ScriptRows(rows);

  ASSERT_TRUE(a.net->SendMessage("through the noise").ok());
  ASSERT_TRUE(AwaitCount(a.inbox, 1));
  EXPECT_EQ(a.inbox.messages, std::vector<std::string>{"through the noise"});
  ASSERT_TRUE(
      loop::RunUntil([&] { return stranger->connections.size() == 1 && stranger->AllClosed(); },
                     milliseconds(5000)));
  EXPECT_EQ(stranger->connections[0]->bytes.substr(0, 19), "YHthrough the noise");
  EXPECT_TRUE(loop::RunUntil([] { return Registered() == 0; }, milliseconds(5000)))
      << "every failed delivery ended";
  db_.ClearScriptedRows();
  ASSERT_TRUE(a.net->LogOut().ok());
}

// ---- Short of descriptors ----------------------------------------------------------------------

int Fail(int code, const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return code;
}

// In a fresh process (a death test re-executes the binary) limited to 64 descriptors.
int ShortOfDescriptors() {
  namespace pt = platform::testing;
  if (!pt::SetDescriptorLimit(64)) return Fail(10, "cannot lower the descriptor limit");
  SetLocalIPOverride("127.0.0.1");
  RecordingDataAccess db;
  presence::SetDataAccessForTesting(&db);
  Client a;
  if (!a.net->Init(1, "ann", "S", "M").ok()) return Fail(11, "Init failed");
  const YHDLRecord own = db.rows().at(0);
  const auto port = static_cast<uint16_t>(std::stoi(presence::ReadTextField(own.YH03)));

  // Far more recipients than descriptors: some deliveries are lost, none crashes.
  std::vector<YHDLRecord> rows;
  for (int i = 2; i < 202; ++i) rows.push_back(Row("127.0.0." + std::to_string(i), "9"));
  db.ScriptRows(rows);
  if (!a.net->SendMessage("to many").ok()) return Fail(12, "SendMessage failed");
  if (!loop::RunUntil([] { return Registered() == 0; }, milliseconds(10000))) {
    return Fail(13, "deliveries did not end");
  }
  db.ClearScriptedRows();

  // A silent flood bigger than the descriptors: the held connections stay within them, and a
  // well-behaved peer behind the flood is heard.
  if (transport::ListOrder::HeldLimit() >= 64) return Fail(14, "the bound ignores the limit");
  const std::string message =
      "YHheard\x0Fpeer\x0FS\x0FM\x0F"
      "1";
  pt::Pipe done;
  pt::ChildProcess flood(
      [&] {
        if (!pt::SetDescriptorLimit(256)) return 4;  // the flood has descriptors of its own
        std::vector<int> fds;
        for (int i = 0; i < 100; ++i) fds.push_back(pt::RawConnectNonBlocking(port));
        if (!pt::RawAwaitConnected(fds, milliseconds(5000))) return 2;
        const int fd = pt::RawConnect(port);
        if (fd < 0 || !pt::RawSendAll(fd, message)) return 3;
        pt::RawClose(fd);
        done.Read(milliseconds(20000));
        return 0;
      },
      {done.read_fd()});
  const bool heard = loop::RunUntil([&] { return !a.inbox.messages.empty(); }, milliseconds(10000));
  done.Write('x');
  if (flood.Wait(milliseconds(10000)) != 0) return Fail(16, "the flood failed");
  if (!heard) return Fail(15, "the well-behaved peer was not heard behind the flood");

  // Not one descriptor left: everything fails quietly, a second login included.
  {
    pt::DescriptorFiller filler;
    filler.Fill();
    if (!a.net->SendMessage("nowhere").ok()) return Fail(17, "SendMessage failed without sockets");
    Client b;
    (void)b.net->Init(1, "ben", "S", "M");  // may log in without a listener, as designed
    (void)b.net->LogOut();
    loop::RunFor(milliseconds(20));
  }
  // Descriptors back: the object works as before.
  const size_t before = a.inbox.messages.size();
  if (!a.net->SendMessage("back again", "ann").ok()) return Fail(18, "SendMessage failed");
  if (!loop::RunUntil([&] { return a.inbox.messages.size() > before; }, milliseconds(5000))) {
    return Fail(19, "nothing arrived once descriptors were back");
  }
  if (a.inbox.messages.back() != "back again") return Fail(20, "a wrong message arrived");
  if (!a.net->LogOut().ok()) return Fail(21, "LogOut failed");
  presence::SetDataAccessForTesting(nullptr);
  return 0;
}

TEST(NetMessageShortOfDescriptorsTest, FailsQuietlyAndRecoversWithSixtyFourDescriptors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(ShortOfDescriptors()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace qz
