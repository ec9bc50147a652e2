// Session: one login of this process, from connecting to the database to logging out.
#ifndef QZMSG_SESSION_H_
#define QZMSG_SESSION_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "options.h"
#include "presence_rows.h"
#include "qz/net_message.h"

namespace qzmsg {

// Hands every acceptMessage event to a function, and every deliveryEnded event to another when
// one is given.
class MessageSink final : public qz::QZCLS_NetMessageEvents {
 public:
  using Handler = std::function<void(const std::string& msg, const std::string& user,
                                     const std::string& sys, const std::string& mod)>;
  using DeliveryHandler = std::function<void(const qz::DeliveryOutcome& outcome)>;
  explicit MessageSink(Handler handler, DeliveryHandler delivery = {})
      : handler_(std::move(handler)), delivery_(std::move(delivery)) {}
  void acceptMessage(const std::string& msg, const std::string& UserName,
                     const std::string& SysName, const std::string& MdlName) override {
    handler_(msg, UserName, SysName, MdlName);
  }
  void deliveryEnded(const qz::DeliveryOutcome& outcome) override {
    if (delivery_) delivery_(outcome);
  }

 private:
  Handler handler_;
  DeliveryHandler delivery_;
};

class Session {
 public:
  // Connects to the database, logs in with the names of options and subscribes sink (not owned;
  // it must outlive the session). Fails when the database cannot be opened, when Init fails,
  // or when the listener got no port.
  static qz::Result<std::unique_ptr<Session>> Open(const CommonOptions& options,
                                                   qz::QZCLS_NetMessageEvents* sink);
  // Logs out when Close was not called; its failure is dropped.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Logs out (the row is deleted) and closes the database connection.
  qz::Status Close();

  qz::QZCLS_NetMessage& net() { return net_; }
  int32_t hdbc() const { return hdbc_; }
  // The presence row that Init inserted, as read back after it.
  const PresenceRow& row() const { return row_; }

  // Runs the message loop until the component holds no connection open any more (deliveries
  // started, connections accepted), until timeout, or until a shutdown signal arrives. Returns
  // how many remain.
  size_t DrainConnections(std::chrono::milliseconds timeout);

 private:
  Session() = default;
  // The row Init wrote, from the login itself; fails when the listener got no port.
  qz::Status ReadOwnRow(const CommonOptions& options);

  qz::QZCLS_NetMessage net_;
  int32_t hdbc_ = 0;
  uint32_t cookie_ = 0;
  bool logged_in_ = false;
  PresenceRow row_;
};

}  // namespace qzmsg

#endif  // QZMSG_SESSION_H_
