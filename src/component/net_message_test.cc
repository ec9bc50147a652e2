// The public class against a recording fake of the data-access library: what it calls, in which
// order, with which texts and records; its stubs, events and destruction.
#include "qz/net_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <thread>
#include <vector>

#include "component/net_message_peer.h"
#include "presence/data_access.h"
#include "presence/testing/recording_data_access.h"
#include "presence/yhdl_record.h"
#include "qz/message_loop.h"
#include "transport/hidden_form.h"

namespace qz {
namespace {

using namespace std::string_literals;
using Peer = component::NetMessagePeer;
using presence::ReadTextField;
using presence::RecordingDataAccess;
using ::testing::ElementsAre;

// Fields joined by the separator, code 15, as a message body carries them.
std::string Body(std::initializer_list<std::string_view> fields) {
  std::string body;
  for (const std::string_view* f = fields.begin(); f != fields.end(); ++f) {
    if (f != fields.begin()) body += '\x0F';
    body += *f;
  }
  return body;
}

struct Event {
  std::string msg, user, sys, mod;
  bool operator==(const Event&) const = default;
};

class Sink : public QZCLS_NetMessageEvents {
 public:
  void acceptMessage(const std::string& msg, const std::string& UserName,
                     const std::string& SysName, const std::string& MdlName) override {
    events.push_back({msg, UserName, SysName, MdlName});
    if (then) then();
  }
  std::vector<Event> events;
  std::function<void()> then;
};

const platform::CodePage& Utf8() {
  static const platform::CodePage cp = *platform::CodePage::Named("UTF-8");
  return cp;
}

std::string Field(const char* f, size_t n) { return std::string(f, n); }

class NetMessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLocalIPOverride("127.0.0.1");
    presence::SetDataAccessForTesting(&db_);
  }
  void TearDown() override { presence::SetDataAccessForTesting(nullptr); }

  const RecordingDataAccess::Call& LastCall(const std::string& entry) {
    static RecordingDataAccess::Call none;
    calls_ = db_.calls();
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
      if (it->entry == entry) return *it;
    }
    ADD_FAILURE() << "no call of " << entry;
    return none;
  }

  RecordingDataAccess db_;
  std::vector<RecordingDataAccess::Call> calls_;
};

// ---- Stubs and the state Created -----------------------------------------------------------

TEST_F(NetMessageTest, StubsAnswerAlikeInEveryState) {
  QZCLS_NetMessage net;
  EXPECT_TRUE(net.Init2("opt", 1, 2, "u", "1.2.3.4", "5", "s", "m").ok());
  EXPECT_EQ(*net.getLoginUsersCount(), 0);
  EXPECT_FALSE(net.getLoginUser(0)->has_value());
  EXPECT_TRUE(db_.calls().empty());
  // Init2 did not log in.
  EXPECT_EQ(net.LogOut().code(), errc::kObjectNotSet);
  EXPECT_TRUE(db_.calls().empty());

  ASSERT_TRUE(net.Init(7, "u", "s", "m").ok());
  db_.AddRow(presence::ZeroRecord());
  EXPECT_EQ(*net.getLoginUsersCount(), 0);
  for (int id : {-1, 0, 1, 99}) {
    EXPECT_FALSE(net.getLoginUser(id)->has_value());
    EXPECT_FALSE(net.getLoginUser(id, true)->has_value());
    EXPECT_FALSE(net.getLoginUser(id, false)->has_value());
  }
  ASSERT_TRUE(net.LogOut().ok());
}

TEST_F(NetMessageTest, DestroyingANewOrLoggedOutObjectCallsNothing) {
  { QZCLS_NetMessage net; }
  EXPECT_TRUE(db_.calls().empty());
  {
    QZCLS_NetMessage net;
    ASSERT_TRUE(net.Init(7, "u", "s", "m").ok());
    ASSERT_TRUE(net.LogOut().ok());
    db_.ClearCalls();
  }
  EXPECT_TRUE(db_.calls().empty());
}

TEST_F(NetMessageTest, DestroyingALoggedInObjectLogsOut) {
  db_.SetNextKey(41);
  {
    QZCLS_NetMessage net;
    ASSERT_TRUE(net.Init(7, "u", "s", "m").ok());
    ASSERT_EQ(db_.rows().size(), 1u);
  }
  EXPECT_EQ(db_.entries().back(), "userYHDL_Delete");
  EXPECT_EQ(LastCall("userYHDL_Delete").record.YH00, 41);
  EXPECT_TRUE(db_.rows().empty());
}

// ---- Threads -------------------------------------------------------------------------------

TEST_F(NetMessageTest, CallsFromAnotherThreadFailAndChangeNothing) {
  QZCLS_NetMessage net;
  ASSERT_TRUE(net.Init(7, "u", "s", "m").ok());
  db_.ClearCalls();
  Sink sink;
  std::vector<Status> got;
  std::string user = " x ", sys, mod;
  std::optional<LoginRow> row_elsewhere = LoginRow{};
  std::thread([&] {
    got.push_back(net.Init(7, "u2", "s", "m"));
    got.push_back(net.SendMessage("hi"));
    got.push_back(net.SendMessage("hi", user, sys, mod));
    got.push_back(net.LogOut());
    got.push_back(net.Advise(&sink).status());
    got.push_back(net.Unadvise(1));
    got.push_back(net.getLoginUsersCount().status());
    got.push_back(net.getLoginUser(0).status());
    got.push_back(net.Init2("", 7, 1, "u", "", "", "s", "m"));
    row_elsewhere = net.CurrentLogin();
  }).join();
  for (const Status& s : got) EXPECT_EQ(s.code(), errc::kWrongThread) << s.ToString();
  EXPECT_NE(got[0].message().find("Init"), std::string::npos) << got[0].message();
  EXPECT_EQ(user, " x ");  // not even trimmed
  EXPECT_FALSE(row_elsewhere.has_value());
  EXPECT_TRUE(db_.calls().empty());
  EXPECT_EQ(net.SinkCount(), 0u);
  // Its own thread carries on.
  EXPECT_TRUE(net.CurrentLogin().has_value());
  EXPECT_TRUE(net.LogOut().ok());
}

TEST_F(NetMessageTest, DestructionOnAnotherThreadLeavesTheLoginAndDropsItsEvents) {
  auto net = std::make_unique<QZCLS_NetMessage>();
  ASSERT_TRUE(net->Init(7, "u", "s", "m").ok());
  const std::optional<LoginRow> row = net->CurrentLogin();
  ASSERT_TRUE(row.has_value());
  db_.ClearCalls();
  std::thread([&] { net.reset(); }).join();
  EXPECT_TRUE(db_.calls().empty());
  EXPECT_EQ(db_.rows().size(), 1u);
  // Its listener still listens on this thread's loop; what arrives reaches nobody, safely.
  QZCLS_NetMessage sender;
  ASSERT_TRUE(sender.Init(7, "v", "s", "m").ok());
  size_t started = 0;
  ASSERT_TRUE(sender.SendMessage("to the departed", "u", "s", "m", started).ok());
  EXPECT_EQ(started, 1u);
  loop::RunFor(std::chrono::milliseconds(200));
  EXPECT_TRUE(sender.LogOut().ok());
}

// ---- Events --------------------------------------------------------------------------------

TEST_F(NetMessageTest, MessageBodySplitsIntoTheEventArguments) {
  QZCLS_NetMessage net;
  Sink sink;
  ASSERT_TRUE(net.Advise(&sink).ok());
  Peer::m_frmMsg_acceptMessage(net, Body({"hi", "u1", "S", "M", "7"}));
  Peer::m_frmMsg_acceptMessage(net, "just text");
  Peer::m_frmMsg_acceptMessage(net, "");
  Peer::m_frmMsg_acceptMessage(net, Body({"a", "", "c"}));
  Peer::m_frmMsg_acceptMessage(net, Body({"1", "2", "3", "4", "5", "6"}));
  EXPECT_THAT(sink.events, ElementsAre(Event{"hi", "u1", "S", "M"}, Event{"just text", "", "", ""},
                                       Event{"", "", "", ""}, Event{"a", "", "c", ""},
                                       Event{"1", "2", "3", "4"}));
  Peer::m_frmMsg_userLogin(net, "anything");
  Peer::m_frmMsg_userLogout(net, "anything");
  EXPECT_EQ(sink.events.size(), 5u);
}

TEST_F(NetMessageTest, SinksSubscribeAndUnsubscribeLikeConnectionPoints) {
  QZCLS_NetMessage net;
  Sink a, b;
  EXPECT_FALSE(net.Advise(nullptr).ok());
  const uint32_t ca = *net.Advise(&a);
  const uint32_t cb = *net.Advise(&b);
  EXPECT_NE(ca, cb);
  Peer::m_frmMsg_acceptMessage(net, "one");
  ASSERT_TRUE(net.Unadvise(ca).ok());
  EXPECT_FALSE(net.Unadvise(ca).ok());
  Peer::m_frmMsg_acceptMessage(net, "two");
  EXPECT_EQ(a.events.size(), 1u);
  EXPECT_EQ(b.events.size(), 2u);

  // A sink that unadvises another during an event: the other hears nothing more of it.
  const uint32_t ca2 = *net.Advise(&a);
  b.then = [&] { ASSERT_TRUE(net.Unadvise(ca2).ok()); };
  Peer::m_frmMsg_acceptMessage(net, "three");
  EXPECT_EQ(a.events.size(), 1u);
  EXPECT_EQ(b.events.size(), 3u);
  ASSERT_TRUE(net.Unadvise(cb).ok());
}

TEST_F(NetMessageTest, AHandlerMayDestroyTheObjectThatRaisedTheEvent) {
  auto net = std::make_unique<QZCLS_NetMessage>();
  Sink a, b;
  ASSERT_TRUE(net->Advise(&a).ok());
  ASSERT_TRUE(net->Advise(&b).ok());
  a.then = [&] { net.reset(); };
  Peer::m_frmMsg_acceptMessage(*net, "bye");
  EXPECT_EQ(net, nullptr);
  EXPECT_EQ(a.events.size(), 1u);
  EXPECT_TRUE(b.events.empty());
}

// ---- Init ----------------------------------------------------------------------------------

TEST_F(NetMessageTest, InitCallsTheLibraryInOrderWithTheExactTexts) {
  db_.SetSysDate("2024-03-01 00:00:05");
  db_.SetNextKey(17);
  QZCLS_NetMessage net;
  ASSERT_TRUE(net.Init(5, "bob  ", "ERP ", "Sales\0x"s, "Bob Smith ", "s1 ", "ignored").ok());

  EXPECT_THAT(db_.entries(), ElementsAre("odbc_GetSysDateStr", "odbc_ExecSQL", "odbc_ExecSQL",
                                         "odbc_ExecSQL", "userYHDL_Insert"));
  const auto calls = db_.calls();
  for (const auto& c : calls) EXPECT_EQ(c.handle, 5) << c.entry;
  EXPECT_EQ(calls[1].text, "Delete YHDL where YH08<'2024-02-29 00:00:05'");
  // The names as passed, the address as published.
  EXPECT_EQ(calls[2].text,
            "delete YHDL where YH01='bob  ' and YH02='127.0.0.1' and YH05='ERP ' "
            "and YH06='Sales\0x'"s);
  // Then whatever else claims the endpoint now held, before the new row exists.
  const YHDLRecord& r = calls[4].record;
  EXPECT_EQ(calls[3].text,
            "delete YHDL where YH02='127.0.0.1' and YH03='" + ReadTextField(r.YH03, Utf8()) + "'");

  EXPECT_EQ(r.YH00, 0);
  EXPECT_EQ(Field(r.YH01, 4), "bob\0"s);
  EXPECT_EQ(r.YH01[4], ' ');
  EXPECT_EQ(ReadTextField(r.YH02, Utf8()), "127.0.0.1");
  const int port = std::stoi(ReadTextField(r.YH03, Utf8()));
  EXPECT_GE(port, 14000);
  EXPECT_LT(port, 65536);
  EXPECT_EQ(ReadTextField(r.YH04, Utf8()), "Bob Smith");
  EXPECT_EQ(ReadTextField(r.YH05, Utf8()), "ERP");
  EXPECT_EQ(ReadTextField(r.YH06, Utf8()), "Sales");
  EXPECT_EQ(ReadTextField(r.YH07, Utf8()), "s1");
  EXPECT_EQ(Field(r.YH08, 20), "2024-03-01 00:00:05\0"s);
  EXPECT_EQ(r.padding[0] | r.padding[1], 0);

  // LogOut deletes by the key the insert wrote back, with every other byte zero.
  ASSERT_TRUE(net.LogOut().ok());
  const YHDLRecord del = LastCall("userYHDL_Delete").record;
  EXPECT_EQ(del.YH00, 17);
  YHDLRecord expected = presence::ZeroRecord();
  expected.YH00 = 17;
  EXPECT_EQ(std::memcmp(&del, &expected, sizeof del), 0);
  EXPECT_EQ(LastCall("userYHDL_Delete").handle, 5);
}

TEST_F(NetMessageTest, ServerTimeIsCutTo19CharactersAndSkipsThePurgeWhenNotADate) {
  struct Case {
    std::optional<std::string> sys_date;
    bool purges;
    std::string yh08;
  };
  const Case cases[] = {
      {"2023-03-01 00:00:05.123", true, "2023-03-01 00:00:05"},
      {"2024-07-16", true, "2024-07-16"},
      {"not a date", false, "not a date"},
      {"", false, ""},
      {std::nullopt, false, ""},  // the library leaves the buffer untouched
  };
  for (const Case& c : cases) {
    db_.ClearCalls();
    db_.SetSysDate(c.sys_date);
    QZCLS_NetMessage net;
    ASSERT_TRUE(net.Init(1, "u", "s", "m").ok());
    const auto entries = db_.entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "odbc_ExecSQL"), c.purges ? 3 : 2)
        << c.yh08;
    if (c.purges && c.yh08.size() == 19) {
      EXPECT_EQ(db_.calls()[1].text, "Delete YHDL where YH08<'2023-02-28 00:00:05'");
    }
    EXPECT_EQ(ReadTextField(LastCall("userYHDL_Insert").record.YH08, Utf8()), c.yh08);
    ASSERT_TRUE(net.LogOut().ok());
  }
}

TEST_F(NetMessageTest, OmittedOptionalTextsAreEmptyFields) {
  QZCLS_NetMessage net;
  ASSERT_TRUE(net.Init(1, std::string(50, 'n'), "s", "m").ok());
  const YHDLRecord r = LastCall("userYHDL_Insert").record;
  EXPECT_EQ(Field(r.YH04, 2), "\0 "s);
  EXPECT_EQ(Field(r.YH07, 2), "\0 "s);
  EXPECT_EQ(Field(r.YH01, 42), std::string(42, 'n'));  // cut to the width, without NUL
  ASSERT_TRUE(net.LogOut().ok());
}

TEST_F(NetMessageTest, AnInsertThatWroteNoRowFailsInitAndLeavesNoListener) {
  QZCLS_NetMessage net;
  for (int32_t result : {0, -1}) {  // no key came back; the library reported a failure
    db_.ScriptResult("userYHDL_Insert", result);
    const Status s = net.Init(1, "u", "s", "m");
    EXPECT_EQ(s.code(), errc::kRowNotWritten) << s.ToString();
    EXPECT_EQ(transport::LoadedFormCount(), 0u) << "the listener it started is closed";
    EXPECT_FALSE(net.CurrentLogin().has_value());
    EXPECT_EQ(net.LogOut().code(), errc::kObjectNotSet);
  }
  db_.ScriptResult("userYHDL_Insert", 1);
  db_.SetNextKey(12);
  ASSERT_TRUE(net.Init(1, "u", "s", "m").ok()) << "a retry works";
  const std::optional<LoginRow> row = net.CurrentLogin();
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->key, 12);
  EXPECT_EQ(row->address, "127.0.0.1");
  EXPECT_TRUE(row->listening);
  EXPECT_EQ(std::to_string(row->port), ReadTextField(db_.rows().at(0).YH03));
  ASSERT_TRUE(net.LogOut().ok());
  EXPECT_EQ(LastCall("userYHDL_Delete").record.YH00, 12);
  EXPECT_FALSE(net.CurrentLogin().has_value());
}

TEST_F(NetMessageTest, AnUnboundLibraryFailsTheFirstCallBeforeAnythingChanges) {
  db_.Fail("odbc_GetSysDateStr", Status::Error(errc::kFileNotFound, "cannot load libqzpub.so"));
  QZCLS_NetMessage net;
  const Status s = net.Init(1, "u", "s", "m");
  EXPECT_EQ(s.code(), errc::kFileNotFound);
  EXPECT_EQ(net.LogOut().code(), errc::kObjectNotSet);  // no login record was made
  EXPECT_THAT(db_.entries(), ElementsAre("odbc_GetSysDateStr"));

  db_.ClearFailures();
  ASSERT_TRUE(net.Init(1, "u", "s", "m").ok());
  db_.Fail("userYHDL_Delete", Status::Error(errc::kEntryNotFound, "no entry userYHDL_Delete"));
  EXPECT_EQ(net.LogOut().code(), errc::kEntryNotFound);
  db_.ClearFailures();
  EXPECT_TRUE(net.LogOut().ok());  // the login record stayed in place
}

// ---- SendMessage ---------------------------------------------------------------------------

TEST_F(NetMessageTest, SendMessageWithoutLoginFailsAfterTrimmingTheFilters) {
  QZCLS_NetMessage net;
  std::string user = "ann  ", sys = "x\0y"s, mod = "   ";
  EXPECT_EQ(net.SendMessage("hi", user, sys, mod).code(), errc::kObjectNotSet);
  EXPECT_EQ(user, "ann");
  EXPECT_EQ(sys, "x");
  EXPECT_EQ(mod, "");
  EXPECT_TRUE(db_.calls().empty());
}

TEST_F(NetMessageTest, SendMessageSelectsQzSysAndScansWithTheCondition) {
  QZCLS_NetMessage net;
  ASSERT_TRUE(net.Init(3, "u", "s", "m").ok());
  db_.ClearCalls();
  std::string user = "ann ", sys = "", mod = "Sales";
  ASSERT_TRUE(net.SendMessage("hi", user, sys, mod).ok());
  const auto calls = db_.calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].entry, "sysMSSQLUses");
  EXPECT_EQ(calls[0].text, "qz_sys");
  EXPECT_EQ(calls[1].entry, "userYHDL_GetFirst");
  EXPECT_EQ(calls[1].text, "YH01='ann' And  YH06 = 'Sales' ");
  EXPECT_EQ(calls[1].handle, 3);
  ASSERT_TRUE(net.LogOut().ok());
}

TEST_F(NetMessageTest, NoRowsSendNothingAndSucceed) {
  QZCLS_NetMessage net;
  Sink sink;
  ASSERT_TRUE(net.Advise(&sink).ok());
  ASSERT_TRUE(net.Init(3, "u", "s", "m").ok());
  db_.ClearCalls();
  db_.ScriptGetFirstResult(0);
  ASSERT_TRUE(net.SendMessage("hi").ok());
  EXPECT_THAT(db_.entries(), ElementsAre("sysMSSQLUses", "userYHDL_GetFirst"));
  loop::RunFor(std::chrono::milliseconds(50));
  EXPECT_TRUE(sink.events.empty());
  ASSERT_TRUE(net.LogOut().ok());
}

TEST_F(NetMessageTest, AScanTheLibraryFailsSendsNothingAndFailsWithItsWords) {
  QZCLS_NetMessage net;
  Sink sink;
  ASSERT_TRUE(net.Advise(&sink).ok());
  ASSERT_TRUE(net.Init(3, "u", "s", "m").ok());
  YHDLRecord second = db_.rows().at(0);  // a second row, so that the scan reaches GetNext
  second.YH00 = 0;
  db_.AddRow(second);
  for (const char* entry : {"sysMSSQLUses", "userYHDL_GetFirst", "userYHDL_GetNext"}) {
    SCOPED_TRACE(entry);
    db_.FailAsLibrary(entry, "SQLite: database disk image is malformed (reading YHDL)");
    const Status s = net.SendMessage("hi");
    EXPECT_EQ(s.code(), errc::kDatabaseFailed);
    EXPECT_EQ(s.message(), "SendMessage: "s + entry +
                               ": SQLite: database disk image is malformed (reading YHDL)");
    db_.ClearFailures();
  }
  loop::RunFor(std::chrono::milliseconds(50));
  EXPECT_TRUE(sink.events.empty());
  ASSERT_TRUE(net.LogOut().ok());
}

TEST_F(NetMessageTest, ARepeatedEndpointIsServedOnceAndTheScanGoesOn) {
  QZCLS_NetMessage net;
  Sink sink;
  ASSERT_TRUE(net.Advise(&sink).ok());
  ASSERT_TRUE(net.Init(3, "me", "s", "m").ok());
  const YHDLRecord mine = db_.rows().at(0);
  // The object's own row three times, a stale copy among them.
  db_.ScriptRows({mine, mine, mine});
  ASSERT_TRUE(net.SendMessage("once").ok());
  const auto entries = db_.entries();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "userYHDL_GetNext"), 3);
  ASSERT_TRUE(loop::RunUntil([&] { return !sink.events.empty(); }, std::chrono::seconds(5)));
  loop::RunFor(std::chrono::milliseconds(100));
  EXPECT_THAT(sink.events, ElementsAre(Event{"once", "me", "s", "m"}));
  ASSERT_TRUE(net.LogOut().ok());
}

}  // namespace
}  // namespace qz
