#include "qz/net_message.h"

#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include "component/net_message_peer.h"
#include "platform/dates.h"
#include "platform/event_loop.h"
#include "platform/leading_number.h"
#include "platform/local_ip.h"
#include "platform/trim_cstring.h"
#include "presence/data_access.h"
#include "presence/login_record.h"
#include "presence/statements.h"
#include "presence/yhdl_record.h"
#include "transport/connection_registry.h"
#include "transport/frm_msg.h"
#include "transport/listener.h"
#include "transport/outbound.h"
#include "transport/payload.h"

namespace qz {
namespace {

using component::NetMessagePeer;
using presence::CurrentDataAccess;

// Forwards the listener form's events to the class's handlers. Owned by the form's subscription,
// which the class ends (SetListenerForm) before it goes away; an object destroyed on another
// thread cannot end it, and then the guard says it is gone.
class ListenerFormSink final : public transport::frmMsgEvents {
 public:
  ListenerFormSink(QZCLS_NetMessage* owner, NetMessagePeer::Guard guard)
      : owner_(owner), guard_(std::move(guard)) {}
  void userLogin(const std::string& msg) override {
    if (!guard_.destroyed()) NetMessagePeer::m_frmMsg_userLogin(*owner_, msg);
  }
  void userLogout(const std::string& msg) override {
    if (!guard_.destroyed()) NetMessagePeer::m_frmMsg_userLogout(*owner_, msg);
  }
  void acceptMessage(const std::string& msg) override {
    if (!guard_.destroyed()) NetMessagePeer::m_frmMsg_acceptMessage(*owner_, msg);
  }

 private:
  QZCLS_NetMessage* owner_;
  NetMessagePeer::Guard guard_;
};

Status NoLogin(const char* method) {
  return Status::Error(errc::kObjectNotSet,
                       std::string(method) + ": not logged in (call Init first)");
}

Status NoReachableAddress() {
  return Status::Error(errc::kWsaAddressNotAvailable,
                       "Init: no interface of this machine that is up has an address other than "
                       "loopback, so no peer could reach this login; set the address to publish "
                       "with SetLocalIPOverride (127.0.0.1 when every client runs on this "
                       "machine)");
}

// The server time as Init uses it: the buffer's text before its first NUL, right-trimmed, at
// most 19 characters.
std::string ServerTimeFromBuffer(const char (&buffer)[QZPUB_DATE_BUFFER_SIZE]) {
  std::string text = presence::ReadTextField(buffer);
  if (text.size() > 19) text.resize(19);
  return text;
}

// One endpoint to deliver to, and the names of the row that published it.
struct Recipient {
  std::string address;
  int32_t port = 0;
  std::string UserName, SysName, MdlName;
};

// The endpoints of the rows matching condition, in row order, each once: a repeated endpoint (a
// stale row beside a live one) is served once, under its first row's names, rather than failing
// the whole broadcast. The names are read only with_names: only an outcome reports them. A
// failure the library reports ends the scan and the call.
Result<std::vector<Recipient>> MatchingRecipients(int32_t hdbc, const std::string& condition,
                                                  bool with_names) {
  presence::DataAccess& db = CurrentDataAccess();
  if (Result<int32_t> r =
          presence::Checked(db, db.sysMSSQLUses(hdbc, "qz_sys"), "SendMessage: sysMSSQLUses");
      !r.ok()) {
    return r.status();
  }
  YHDLRecord record = presence::ZeroRecord();
  Result<int32_t> cursor = presence::Checked(db, db.userYHDL_GetFirst(hdbc, record, condition),
                                             "SendMessage: userYHDL_GetFirst");
  if (!cursor.ok()) return cursor.status();
  std::vector<Recipient> recipients;
  if (*cursor <= 0) return recipients;
  // The endpoints served so far: the first row's alone until a second row comes, since most
  // scans find one.
  std::string first_endpoint;
  std::unordered_set<std::string> seen;
  for (;;) {
    std::string address = presence::ReadTextField(record.YH02);
    const std::string port = presence::ReadTextField(record.YH03);
    std::string endpoint = address + "|" + port;
    bool fresh = true;
    if (recipients.empty()) {
      first_endpoint = std::move(endpoint);
    } else {
      if (seen.empty()) seen.insert(std::move(first_endpoint));
      fresh = seen.insert(std::move(endpoint)).second;
    }
    if (fresh) {
      Recipient& to = recipients.emplace_back();
      to.address = std::move(address);
      to.port = LeadingNumber(port);
      if (with_names) {
        to.UserName = presence::ReadTextField(record.YH01);
        to.SysName = presence::ReadTextField(record.YH05);
        to.MdlName = presence::ReadTextField(record.YH06);
      }
    }
    Result<int32_t> next = presence::Checked(db, db.userYHDL_GetNext(*cursor, record),
                                             "SendMessage: userYHDL_GetNext");
    if (!next.ok()) return next.status();
    if (*next != 1) return recipients;
  }
}

// One statement of Init's; a failure the library reports ends Init.
Status ExecForInit(presence::DataAccess& db, int32_t hdbc, const std::string& sql,
                   const char* what) {
  Result<int32_t> r = presence::Checked(db, db.odbc_ExecSQL(hdbc, sql), what);
  return r.ok() ? Status::OK() : r.status();
}

// Init's purge (when the server time is a date) and duplicate delete; then, when the listener
// holds its port, the rows of others that claim the same endpoint. Only one socket can listen
// there, so such a row was left by a client that died without LogOut, and peers would deliver
// its user's messages to this login. The new row is inserted afterwards, so it is never hit.
Status ClearEarlierRows(presence::DataAccess& db, int32_t hdbc, const std::string& server_time,
                        std::string_view UserName, std::string_view SysName,
                        std::string_view ModName, const presence::cls_StructYHDL& login,
                        bool listening) {
  if (std::optional<platform::DateTime> now = platform::ParseDateTime(server_time)) {
    const std::string cutoff = platform::FormatDateTime(platform::MinusOneDay(*now));
    if (Status s = ExecForInit(db, hdbc, presence::PurgeStatement(cutoff), "Init: the purge");
        !s.ok()) {
      return s;
    }
  }
  const std::string address = TrimCString(login.YH02());
  if (Status s = ExecForInit(
          db, hdbc, presence::DuplicateDeleteStatement(UserName, address, SysName, ModName),
          "Init: the duplicate delete");
      !s.ok() || !listening) {
    return s;
  }
  return ExecForInit(db, hdbc, presence::EndpointDeleteStatement(address, login.YH03()),
                     "Init: deleting stale rows of this login's endpoint");
}

// Inserts the login's row; record.YH00 is then its key.
Status InsertPresenceRow(presence::DataAccess& db, int32_t hdbc, YHDLRecord& record) {
  Result<int32_t> inserted = db.userYHDL_Insert(hdbc, record);
  if (!inserted.ok()) return inserted.status();
  // Only a failure the library reports, or a missing key, counts: hosts' own libraries differ
  // in what they return on success.
  if (*inserted >= 0 && record.YH00 != 0) return Status::OK();
  std::string why = "userYHDL_Insert returned " + std::to_string(*inserted) + ", row key " +
                    std::to_string(record.YH00);
  if (*inserted < 0) {
    if (const std::string words = db.LastError(); !words.empty()) why += ": " + words;
  }
  return Status::Error(errc::kRowNotWritten, "Init: the presence row was not written (" + why +
                                                 "); peers cannot reach this login");
}

}  // namespace

QZCLS_NetMessage::QZCLS_NetMessage() : m_lngHdbc(0) {}

QZCLS_NetMessage::~QZCLS_NetMessage() {
  if (!OwnThread()) {
    // The listener and the connections belong to the creating thread's loop, which this thread
    // must not touch: they stay as they are (the form drops what arrives; the row stays until a
    // purge) rather than corrupting that loop.
    return;
  }
  (void)LogOut();  // its failure, as when there is no login, must not escape the destruction
  // A LogOut that failed (the database gone) left the listener open, and nobody could close it
  // once this object is gone: it would hold its port and take messages for no one.
  CloseListenerForm();
}

void QZCLS_NetMessage::CloseListenerForm() {
  if (m_frmMsg) {
    m_frmMsg->Listener().Close();
    m_frmMsg->Unload();
  }
  SetListenerForm(nullptr);
}

void QZCLS_NetMessage::SetListenerForm(std::shared_ptr<transport::frmMsg> form) {
  if (m_frmMsg) m_frmMsg->Subscribe(nullptr);
  m_frmMsg = std::move(form);
  if (m_frmMsg) m_frmMsg->Subscribe(std::make_shared<ListenerFormSink>(this, GuardLifetime()));
}

void QZCLS_NetMessage::StartListener() {
  transport::StartListener(
      [this](std::shared_ptr<transport::frmMsg> form) { SetListenerForm(std::move(form)); });
}

Status QZCLS_NetMessage::Init(int32_t lngHdbc, std::string_view UserName, std::string_view SysName,
                              std::string_view ModName, std::string_view UserFullName,
                              std::string_view Std1, std::string_view /*Std2*/) {
  if (Status own = OnOwnThread("Init"); !own.ok()) return own;
  presence::DataAccess& db = CurrentDataAccess();

  char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
  if (Result<int32_t> r =
          presence::Checked(db, db.odbc_GetSysDateStr(lngHdbc, buffer), "Init: odbc_GetSysDateStr");
      !r.ok()) {
    return r.status();
  }
  const std::string server_time = ServerTimeFromBuffer(buffer);
  if (Status ended = EndEarlierLogin(); !ended.ok()) return ended;

  const LifetimeGuard guard = GuardLifetime();
  StartListener();
  if (guard.destroyed()) {
    return Status::Error(errc::kObjectNotSet, "Init: the object was destroyed during the call");
  }

  m_YHDL = std::make_shared<presence::cls_StructYHDL>();
  m_YHDL->set_YH01(TrimCString(UserName));
  if (!m_frmMsg) return Status::Error(errc::kObjectNotSet, "Init: the listener was not created");
  m_YHDL->set_YH02(m_frmMsg->Listener().LocalIP());
  if (m_YHDL->YH02().empty()) return AbandonLogin(NoReachableAddress());
  m_YHDL->set_YH03(std::to_string(m_frmMsg->Listener().LocalPort()));
  m_YHDL->set_YH05(TrimCString(SysName));
  m_YHDL->set_YH06(TrimCString(ModName));
  m_lngHdbc = lngHdbc;

  // From here on a failure leaves no login behind: no row, no listener, so a retry leaks nothing.
  const bool listening = m_frmMsg->Listener().State() == platform::SocketState::kListening;
  if (Status s = ClearEarlierRows(db, m_lngHdbc, server_time, UserName, SysName, ModName, *m_YHDL,
                                  listening);
      !s.ok()) {
    return AbandonLogin(s);
  }
  YHDLRecord record = presence::ZeroRecord();
  presence::WriteTextField(record.YH01, m_YHDL->YH01());
  presence::WriteTextField(record.YH02, m_YHDL->YH02());
  presence::WriteTextField(record.YH03, m_YHDL->YH03());
  presence::WriteTextField(record.YH04, TrimCString(UserFullName));
  presence::WriteTextField(record.YH05, m_YHDL->YH05());
  presence::WriteTextField(record.YH06, m_YHDL->YH06());
  presence::WriteTextField(record.YH07, TrimCString(Std1));
  presence::WriteTextField(record.YH08, server_time);
  if (Status s = InsertPresenceRow(db, m_lngHdbc, record); !s.ok()) return AbandonLogin(s);
  m_YHDL->set_YH00(record.YH00);
  return Status::OK();
}

Status QZCLS_NetMessage::EndEarlierLogin() {
  if (m_YHDL && m_YHDL->YH00() != 0) {
    YHDLRecord record = presence::ZeroRecord();
    record.YH00 = m_YHDL->YH00();
    presence::DataAccess& db = CurrentDataAccess();
    if (Result<int32_t> r = presence::Checked(db, db.userYHDL_Delete(m_lngHdbc, record),
                                              "Init: ending the earlier login: userYHDL_Delete");
        !r.ok()) {
      return r.status();
    }
  }
  m_YHDL.reset();
  CloseListenerForm();
  return Status::OK();
}

Status QZCLS_NetMessage::AbandonLogin(Status why) {
  m_YHDL.reset();
  CloseListenerForm();
  return why;
}

std::optional<LoginRow> QZCLS_NetMessage::CurrentLogin() const {
  if (!OwnThread() || !m_YHDL) return std::nullopt;
  const bool listening =
      m_frmMsg && m_frmMsg->Listener().State() == platform::SocketState::kListening;
  return LoginRow{m_YHDL->YH00(), m_YHDL->YH02(), LeadingNumber(m_YHDL->YH03()), listening,
                  platform::IsUpInterfaceAddress(m_YHDL->YH02())};
}

Status QZCLS_NetMessage::LogOut() {
  if (Status own = OnOwnThread("LogOut"); !own.ok()) return own;
  if (!m_YHDL) return NoLogin("LogOut");
  YHDLRecord record = presence::ZeroRecord();
  record.YH00 = m_YHDL->YH00();
  // A row the database kept keeps the login: the host may try again once the database is back.
  presence::DataAccess& db = CurrentDataAccess();
  if (Result<int32_t> r =
          presence::Checked(db, db.userYHDL_Delete(m_lngHdbc, record), "LogOut: userYHDL_Delete");
      !r.ok()) {
    return r.status();
  }
  m_YHDL.reset();

  CloseListenerForm();
  // Runs the message loop; nothing of this object is touched afterwards, since a handler may
  // have destroyed it.
  transport::CloseAllConnections();
  return Status::OK();
}

Status QZCLS_NetMessage::SendMessage(std::string_view msg, std::string_view UserName,
                                     std::string_view SysName, std::string_view ModName) {
  size_t started = 0;
  return SendMessage(msg, UserName, SysName, ModName, started);
}

Status QZCLS_NetMessage::SendMessage(std::string_view msg, std::string_view UserName,
                                     std::string_view SysName, std::string_view ModName,
                                     size_t& started) {
  std::string user(UserName), sys(SysName), mod(ModName);
  return Send(msg, user, sys, mod, started);
}

Status QZCLS_NetMessage::SendMessage(std::string_view msg, std::string& UserName,
                                     std::string& SysName, std::string& ModName) {
  size_t started = 0;
  return Send(msg, UserName, SysName, ModName, started);
}

Status QZCLS_NetMessage::Send(std::string_view msg, std::string& UserName, std::string& SysName,
                              std::string& ModName, size_t& started) {
  started = 0;
  if (Status own = OnOwnThread("SendMessage"); !own.ok()) return own;
  UserName = TrimCString(UserName);
  SysName = TrimCString(SysName);
  ModName = TrimCString(ModName);
  if (!m_YHDL) return NoLogin("SendMessage");

  const std::string payload = transport::BuildMessagePayload(msg, m_YHDL->YH01(), m_YHDL->YH05(),
                                                             m_YHDL->YH06(), m_YHDL->YH00());
  // A host that observes nothing pays nothing per delivery for the outcomes; one that does, one
  // copy of the recipients that every delivery's report shares.
  const bool observed = SinkCount() > 0;
  Result<std::vector<Recipient>> recipients = MatchingRecipients(
      m_lngHdbc, presence::RecipientCondition(UserName, SysName, ModName), observed);
  if (!recipients.ok()) return recipients.status();

  // From here on only locals are used: a handler run by the loop may destroy this object.
  const LifetimeGuard guard = GuardLifetime();
  std::shared_ptr<const std::vector<Recipient>> all;
  if (observed) all = std::make_shared<const std::vector<Recipient>>(std::move(*recipients));
  const std::vector<Recipient>& list = observed ? *all : *recipients;
  for (size_t i = 0; i < list.size(); ++i) {
    const Recipient& to = list[i];
    transport::DeliveryEnded on_end;
    if (observed) {
      on_end = [this, guard, all, i](const Status& s) {
        if (guard.destroyed()) return;
        const Recipient& r = (*all)[i];
        const DeliveryOutcome outcome{r.address, r.port, r.UserName, r.SysName, r.MdlName, s};
        Raise([&outcome](QZCLS_NetMessageEvents& sink) { sink.deliveryEnded(outcome); });
      };
    }
    transport::SendToPeer(to.address, to.port, payload, {}, std::move(on_end));
    ++started;
    platform::DoEvents();
  }
  return Status::OK();
}

Result<int32_t> QZCLS_NetMessage::getLoginUsersCount() {
  if (Status own = OnOwnThread("getLoginUsersCount"); !own.ok()) return own;
  return 0;
}

Result<StringArray> QZCLS_NetMessage::getLoginUser(int32_t /*id*/, std::optional<bool> /*isKey*/) {
  if (Status own = OnOwnThread("getLoginUser"); !own.ok()) return own;
  return StringArray(std::nullopt);
}

Status QZCLS_NetMessage::Init2(std::string_view /*Opt*/, int32_t /*lngHdbc*/, int32_t /*UserID*/,
                               std::string_view /*UserName*/, std::string_view /*LocalIp*/,
                               std::string_view /*LocalPort*/, std::string_view /*SysName*/,
                               std::string_view /*MdlName*/) {
  return OnOwnThread("Init2");
}

namespace component {

void NetMessagePeer::m_frmMsg_userLogin(QZCLS_NetMessage& /*net*/, const std::string& /*msg*/) {}
void NetMessagePeer::m_frmMsg_userLogout(QZCLS_NetMessage& /*net*/, const std::string& /*msg*/) {}

void NetMessagePeer::m_frmMsg_acceptMessage(QZCLS_NetMessage& net, const std::string& msg) {
  const transport::MessageFields f = transport::SplitMessageBody(msg);
  net.Raise([&f](QZCLS_NetMessageEvents& sink) {
    sink.acceptMessage(f.msg, f.UserName, f.SysName, f.MdlName);
  });
}

}  // namespace component

}  // namespace qz
