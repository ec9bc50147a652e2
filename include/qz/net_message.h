// QZCLS_NetMessage: LAN messaging between the logged-in users of a multi-user application.
//
// A host creates one object per running client and calls Init with the handle of a database
// connection it opened through qzpub and the user's names. The object listens on a TCP port of
// its own and publishes its address and port as a row of the shared table YHDL; SendMessage
// reaches every logged-in user that matches a user, system and module name; messages that
// others send arrive as the acceptMessage event. LogOut, or destruction, ends the presence.
//
// Threads: an object belongs to the thread that created it. Every method, and every event, runs
// on that thread; socket events are delivered by that thread's message loop (qz/message_loop.h),
// which the host drives. Init, LogOut and SendMessage run that loop once or more before they
// return, so events (acceptMessage included) may be raised to the host while they are in
// progress, and a handler may call the object again. A call from any other thread fails at once
// with errc::kWrongThread and changes nothing (CurrentLogin gives nothing); destruction on
// another thread leaves the login's listener and row as they are, since only the creating
// thread may touch them.
#ifndef QZ_NET_MESSAGE_H_
#define QZ_NET_MESSAGE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qz/connection_point.h"
#include "qz/export.h"
#include "qz/status.h"

namespace qz {

namespace presence {
class cls_StructYHDL;
}
namespace transport {
class frmMsg;
}
namespace component {
class NetMessagePeer;
}

// How one delivery that SendMessage started ended (C++ hosts only; not on the wire, not in COM).
struct DeliveryOutcome {
  // The recipient: its published address and port, and its row's user, system and module names.
  std::string address;
  int32_t port = 0;
  std::string UserName, SysName, MdlName;
  // OK when the payload was handed over and the connection closed cleanly. Otherwise the
  // failure, with the socket control's number and words: refused (10061), unreachable
  // (10051, 10065), timed out (10060), reset (10054), a start that failed at once (11001 no such
  // host, 10049 port 0, ...), or errc::kDeliveryCancelled when LogOut ended it first.
  Status status;
  bool sent() const { return status.ok(); }
};

// The event interface of QZCLS_NetMessage (named __QZCLS_NetMessage in the type library).
// Every method has an empty default, so a sink overrides only what it handles. Only
// acceptMessage is ever raised; the others belong to the interface all the same.
class QZ_EXPORT QZCLS_NetMessageEvents {
 public:
  virtual ~QZCLS_NetMessageEvents() = default;
  virtual void userLogin(int32_t /*id*/) {}
  virtual void userLogout(int32_t /*id*/) {}
  virtual void userUpdate(int32_t /*id*/) {}
  // A message from a logged-in user: its text and the sender's user, system and module names.
  virtual void acceptMessage(const std::string& /*msg*/, const std::string& /*UserName*/,
                             const std::string& /*SysName*/, const std::string& /*MdlName*/) {}
  virtual void ExtendProcessEnd() {}
  // One delivery that SendMessage started has ended (see DeliveryOutcome). Raised once per
  // endpoint of a SendMessage made while at least one sink was advised, from the loop, or from
  // LogOut for deliveries it ends; never after the object is destroyed. A C++ extension: the COM
  // event interface has no such event.
  virtual void deliveryEnded(const DeliveryOutcome& /*outcome*/) {}
};

// The presence row of a login, as Init wrote it (C++ hosts only; not in COM).
struct LoginRow {
  int32_t key = 0;         // YH00, the key the database gave the row
  std::string address;     // YH02, the address peers deliver to
  int32_t port = 0;        // YH03, the listening port
  bool listening = false;  // whether the listener got that port (all three attempts can fail)
  // Whether an interface of this machine that is up holds the address now. An address the
  // host set may be one that none has, or one whose link went down since.
  bool address_up = false;
};

// An array of texts, or no array at all (std::nullopt), which is not the same as an empty one.
using StringArray = std::optional<std::vector<std::string>>;

class QZ_EXPORT QZCLS_NetMessage : public ConnectionPoint<QZCLS_NetMessageEvents> {
 public:
  // Sets the three members to their initial values; touches neither network nor database.
  QZCLS_NetMessage();
  // Runs LogOut; its failure (as when there is no login) is dropped.
  ~QZCLS_NetMessage();
  QZCLS_NetMessage(const QZCLS_NetMessage&) = delete;
  QZCLS_NetMessage& operator=(const QZCLS_NetMessage&) = delete;

  // Logs the user in: ends an earlier login of this object (deletes its row and closes its
  // listener, as LogOut does, but leaves the thread's connections alone), starts the listener,
  // purges stale rows, replaces an earlier row of the same user, system, module and address,
  // and inserts the user's own row. A failure that the data-access library reports (a negative
  // result) fails Init with errc::kDatabaseFailed and the library's own words; a row that was
  // not written (a failure, or no key came back) with errc::kRowNotWritten. A failure before
  // the earlier login ended (reading the server time, deleting its row) leaves it as it was;
  // any later one leaves the object logged out, with no listener, so that a retry leaks
  // nothing. lngHdbc is a handle
  // from qzpub_Connect; it stays the host's. Text is UTF-8. An omitted optional text is empty.
  Status Init(int32_t lngHdbc, std::string_view UserName, std::string_view SysName,
              std::string_view ModName, std::string_view UserFullName = {},
              std::string_view Std1 = {}, std::string_view Std2 = {});

  // Deletes the user's row, closes the listener and ends every connection of this thread.
  // Fails with errc::kObjectNotSet, changing nothing, when there is no login, and with
  // errc::kDatabaseFailed and the library's words, keeping the login (row and listener), when
  // the library reports that the row could not be deleted: the host may call it again.
  Status LogOut();

  // Sends msg to every logged-in user matching the non-empty filters (the sender included when
  // it matches). Returns once every delivery has started; delivery is not confirmed. When the
  // library reports a failure while the rows are read, nothing is sent and the call fails with
  // errc::kDatabaseFailed and the library's words.
  Status SendMessage(std::string_view msg, std::string_view UserName = {},
                     std::string_view SysName = {}, std::string_view ModName = {});
  // The same; afterwards the three filter variables hold their trimmed values.
  Status SendMessage(std::string_view msg, std::string& UserName, std::string& SysName,
                     std::string& ModName);
  // The same, telling in started how many endpoints deliveries were started to (0 when no row
  // matched); each of them ends with one deliveryEnded event to the sinks advised now.
  Status SendMessage(std::string_view msg, std::string_view UserName, std::string_view SysName,
                     std::string_view ModName, size_t& started);

  // The row of the current login, or nothing before Init succeeded and after LogOut.
  std::optional<LoginRow> CurrentLogin() const;

  // Always 0.
  Result<int32_t> getLoginUsersCount();
  // Always no array (std::nullopt); neither argument is read.
  Result<StringArray> getLoginUser(int32_t id, std::optional<bool> isKey = std::nullopt);
  // Does nothing and succeeds; it does not log in.
  Status Init2(std::string_view Opt, int32_t lngHdbc, int32_t UserID, std::string_view UserName,
               std::string_view LocalIp, std::string_view LocalPort, std::string_view SysName,
               std::string_view MdlName);

 private:
  // The component's own access to the inside: the handlers of the listener form's events.
  friend class component::NetMessagePeer;

  // Replaces m_frmMsg, moving the handlers' subscription from the old form to the new one.
  void SetListenerForm(std::shared_ptr<transport::frmMsg> form);
  // Creates the listener form (stored in m_frmMsg) and makes it listen; never fails.
  void StartListener();
  // Closes Listener, unloads the form and empties m_frmMsg.
  void CloseListenerForm();
  // What a new Init ends of an earlier login: its row (deleted as LogOut does) and its
  // listener. A failure to delete the row changes nothing.
  Status EndEarlierLogin();
  // Empties m_YHDL and closes the listener of an Init that failed; returns why.
  Status AbandonLogin(Status why);
  // What every SendMessage does; the filters come back trimmed.
  Status Send(std::string_view msg, std::string& UserName, std::string& SysName,
              std::string& ModName, size_t& started);

  int32_t m_lngHdbc;
  std::shared_ptr<presence::cls_StructYHDL> m_YHDL;
  std::shared_ptr<transport::frmMsg> m_frmMsg;
};

// The address that every listener of this process publishes in its presence row (the socket
// control's LocalIP), in place of the one the component finds. Empty restores the default: the
// address of the interface with the default route; without one, the first address of the host
// name that an interface which is up has, else the first address of such an interface. A
// loopback address is published only when set here (127.0.0.1 when every client runs on this
// machine): without an override, a machine with no other address fails Init (10049). Call it
// before Init; tests set 127.0.0.1.
QZ_EXPORT void SetLocalIPOverride(std::string_view address);

// The number of connections, inbound and outbound, that the objects of the calling thread still
// hold open. A host that is about to exit may run the loop until this is 0 (or a time limit
// passes) so that the deliveries it started are not cut off.
QZ_EXPORT size_t PendingConnections();

}  // namespace qz

#endif  // QZ_NET_MESSAGE_H_
