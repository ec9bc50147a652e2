#include "qz/net_message.h"

#include <cstring>
#include <unordered_set>

#include "component/net_message_peer.h"
#include "platform/dates.h"
#include "platform/event_loop.h"
#include "platform/leading_number.h"
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
// which the class ends (SetListenerForm) before it goes away.
class ListenerFormSink final : public transport::frmMsgEvents {
 public:
  explicit ListenerFormSink(QZCLS_NetMessage* owner) : owner_(owner) {}
  void userLogin(const std::string& msg) override {
    NetMessagePeer::m_frmMsg_userLogin(*owner_, msg);
  }
  void userLogout(const std::string& msg) override {
    NetMessagePeer::m_frmMsg_userLogout(*owner_, msg);
  }
  void acceptMessage(const std::string& msg) override {
    NetMessagePeer::m_frmMsg_acceptMessage(*owner_, msg);
  }

 private:
  QZCLS_NetMessage* owner_;
};

Status NoLogin(const char* method) {
  return Status::Error(errc::kObjectNotSet,
                       std::string(method) + ": not logged in (call Init first)");
}

// The server time as Init uses it: the buffer's text before its first NUL, right-trimmed, at
// most 19 characters.
std::string ServerTimeFromBuffer(const char (&buffer)[QZPUB_DATE_BUFFER_SIZE]) {
  std::string text = presence::ReadTextField(buffer);
  if (text.size() > 19) text.resize(19);
  return text;
}

}  // namespace

QZCLS_NetMessage::QZCLS_NetMessage() : m_lngHdbc(0) {}

QZCLS_NetMessage::~QZCLS_NetMessage() {
  (void)LogOut();  // its failure, as when there is no login, must not escape the destruction
  // A LogOut that failed (the database gone) left the listener open, and nobody could close it
  // once this object is gone: it would hold its port and take messages for no one.
  if (m_frmMsg) {
    m_frmMsg->Listener().Close();
    m_frmMsg->Unload();
  }
  SetListenerForm(nullptr);
}

void QZCLS_NetMessage::SetListenerForm(std::shared_ptr<transport::frmMsg> form) {
  if (m_frmMsg) m_frmMsg->Subscribe(nullptr);
  m_frmMsg = std::move(form);
  if (m_frmMsg) m_frmMsg->Subscribe(std::make_shared<ListenerFormSink>(this));
}

void QZCLS_NetMessage::StartListener() {
  transport::StartListener(
      [this](std::shared_ptr<transport::frmMsg> form) { SetListenerForm(std::move(form)); });
}

Status QZCLS_NetMessage::Init(int32_t lngHdbc, std::string_view UserName, std::string_view SysName,
                              std::string_view ModName, std::string_view UserFullName,
                              std::string_view Std1, std::string_view /*Std2*/) {
  presence::DataAccess& db = CurrentDataAccess();

  char buffer[QZPUB_DATE_BUFFER_SIZE] = {};
  if (Result<int32_t> r = db.odbc_GetSysDateStr(lngHdbc, buffer); !r.ok()) return r.status();
  const std::string server_time = ServerTimeFromBuffer(buffer);

  const LifetimeGuard guard = GuardLifetime();
  StartListener();
  if (guard.destroyed()) {
    return Status::Error(errc::kObjectNotSet, "Init: the object was destroyed during the call");
  }

  m_YHDL = std::make_shared<presence::cls_StructYHDL>();
  m_YHDL->set_YH01(TrimCString(UserName));
  if (!m_frmMsg) return Status::Error(errc::kObjectNotSet, "Init: the listener was not created");
  m_YHDL->set_YH02(m_frmMsg->Listener().LocalIP());
  m_YHDL->set_YH03(std::to_string(m_frmMsg->Listener().LocalPort()));
  m_YHDL->set_YH05(TrimCString(SysName));
  m_YHDL->set_YH06(TrimCString(ModName));
  m_lngHdbc = lngHdbc;

  if (std::optional<platform::DateTime> now = platform::ParseDateTime(server_time)) {
    const std::string cutoff = platform::FormatDateTime(platform::MinusOneDay(*now));
    if (Result<int32_t> r = db.odbc_ExecSQL(lngHdbc, presence::PurgeStatement(cutoff)); !r.ok()) {
      return r.status();
    }
  }

  const std::string duplicate =
      presence::DuplicateDeleteStatement(UserName, TrimCString(m_YHDL->YH02()), SysName, ModName);
  if (Result<int32_t> r = db.odbc_ExecSQL(m_lngHdbc, duplicate); !r.ok()) return r.status();

  YHDLRecord record = presence::ZeroRecord();
  presence::WriteTextField(record.YH01, m_YHDL->YH01());
  presence::WriteTextField(record.YH02, m_YHDL->YH02());
  presence::WriteTextField(record.YH03, m_YHDL->YH03());
  presence::WriteTextField(record.YH04, TrimCString(UserFullName));
  presence::WriteTextField(record.YH05, m_YHDL->YH05());
  presence::WriteTextField(record.YH06, m_YHDL->YH06());
  presence::WriteTextField(record.YH07, TrimCString(Std1));
  presence::WriteTextField(record.YH08, server_time);

  if (Result<int32_t> r = db.userYHDL_Insert(m_lngHdbc, record); !r.ok()) return r.status();
  m_YHDL->set_YH00(record.YH00);
  return Status::OK();
}

Status QZCLS_NetMessage::LogOut() {
  if (!m_YHDL) return NoLogin("LogOut");
  YHDLRecord record = presence::ZeroRecord();
  record.YH00 = m_YHDL->YH00();
  if (Result<int32_t> r = CurrentDataAccess().userYHDL_Delete(m_lngHdbc, record); !r.ok()) {
    return r.status();
  }
  m_YHDL.reset();

  if (m_frmMsg) {
    m_frmMsg->Listener().Close();
    m_frmMsg->Unload();
    SetListenerForm(nullptr);
  }
  // Runs the message loop; nothing of this object is touched afterwards, since a handler may
  // have destroyed it.
  transport::CloseAllConnections();
  return Status::OK();
}

Status QZCLS_NetMessage::SendMessage(std::string_view msg, std::string_view UserName,
                                     std::string_view SysName, std::string_view ModName) {
  std::string user(UserName), sys(SysName), mod(ModName);
  return SendMessage(msg, user, sys, mod);
}

Status QZCLS_NetMessage::SendMessage(std::string_view msg, std::string& UserName,
                                     std::string& SysName, std::string& ModName) {
  UserName = TrimCString(UserName);
  SysName = TrimCString(SysName);
  ModName = TrimCString(ModName);
  if (!m_YHDL) return NoLogin("SendMessage");

  const std::string payload = transport::BuildMessagePayload(msg, m_YHDL->YH01(), m_YHDL->YH05(),
                                                             m_YHDL->YH06(), m_YHDL->YH00());
  const std::string condition = presence::RecipientCondition(UserName, SysName, ModName);

  presence::DataAccess& db = CurrentDataAccess();
  if (Result<int32_t> r = db.sysMSSQLUses(m_lngHdbc, "qz_sys"); !r.ok()) return r.status();
  YHDLRecord record = presence::ZeroRecord();
  Result<int32_t> cursor = db.userYHDL_GetFirst(m_lngHdbc, record, condition);
  if (!cursor.ok()) return cursor.status();

  // Endpoints in row order, each once: a repeated endpoint (a stale row beside a live one) is
  // served once rather than failing the whole broadcast.
  std::vector<std::string> endpoints;
  std::unordered_set<std::string> seen;
  if (*cursor > 0) {
    Result<int32_t> next = 1;
    do {
      std::string endpoint =
          presence::ReadTextField(record.YH02) + "|" + presence::ReadTextField(record.YH03);
      if (seen.insert(endpoint).second) endpoints.push_back(std::move(endpoint));
      next = db.userYHDL_GetNext(*cursor, record);
      if (!next.ok()) return next.status();
    } while (*next == 1);
  }

  // From here on only locals are used: a handler run by the loop may destroy this object.
  for (const std::string& endpoint : endpoints) {
    const size_t bar = endpoint.find('|');
    const std::string address = endpoint.substr(0, bar);
    const int32_t port = LeadingNumber(std::string_view(endpoint).substr(bar + 1));
    transport::SendToPeer(address, port, payload);
    platform::DoEvents();
  }
  return Status::OK();
}

Result<int32_t> QZCLS_NetMessage::getLoginUsersCount() { return 0; }

Result<StringArray> QZCLS_NetMessage::getLoginUser(int32_t /*id*/, std::optional<bool> /*isKey*/) {
  return StringArray(std::nullopt);
}

Status QZCLS_NetMessage::Init2(std::string_view /*Opt*/, int32_t /*lngHdbc*/, int32_t /*UserID*/,
                               std::string_view /*UserName*/, std::string_view /*LocalIp*/,
                               std::string_view /*LocalPort*/, std::string_view /*SysName*/,
                               std::string_view /*MdlName*/) {
  return Status::OK();
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
