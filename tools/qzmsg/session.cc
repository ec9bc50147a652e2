#include "session.h"

#include <optional>
#include <string>
#include <utility>

#include "output.h"
#include "qz/message_loop.h"
#include "qzpub.h"
#include "shutdown_signals.h"

namespace qzmsg {
namespace {

std::string TrimTrailingSpaces(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

qz::Result<std::unique_ptr<Session>> Session::Open(const CommonOptions& options,
                                                   qz::QZCLS_NetMessageEvents* sink) {
  qz::Result<std::string> uri = DatabaseUri(options);
  if (!uri.ok()) return uri.status();
  qz::Result<int32_t> hdbc = ConnectDatabase(*uri);
  if (!hdbc.ok()) return hdbc.status();

  std::unique_ptr<Session> session(new Session());
  session->hdbc_ = *hdbc;
  qz::Result<uint32_t> cookie = session->net_.Advise(sink);
  if (!cookie.ok()) return cookie.status();
  session->cookie_ = *cookie;

  if (!options.local_ip.empty()) qz::SetLocalIPOverride(options.local_ip);
  qz::Status status = session->net_.Init(session->hdbc_, options.user, options.sys, options.mod,
                                         options.full_name, options.std1);
  // Even a failed Init may leave a login behind; the session's end logs it out.
  session->logged_in_ = true;
  if (!status.ok()) {
    const bool no_address = status.code() == qz::errc::kWsaAddressNotAvailable;
    return qz::Status::Error(status.code(), "Init: " + status.message() +
                                                (no_address ? " (in qzmsg: --local-ip ADDR)" : ""));
  }
  status = session->ReadOwnRow(options);
  if (!status.ok()) return status;
  return session;
}

qz::Status Session::ReadOwnRow(const CommonOptions& options) {
  const std::optional<qz::LoginRow> login = net_.CurrentLogin();
  if (!login) return qz::Status::Error(qz::errc::kObjectNotSet, "Init left no login");
  if (!login->listening) {
    return qz::Status::Error(qz::errc::kWsaAddressInUse,
                             "cannot listen on port " + std::to_string(login->port) +
                                 " (nor on the two ports tried before it): the login was "
                                 "published, but no message can reach it");
  }
  if (!login->address_up) {
    ReportError("warning: no interface of this machine that is up has the published address " +
                login->address + ": peers cannot reach this login there");
  }
  row_ = PresenceRow{login->key,
                     TrimTrailingSpaces(options.user),
                     login->address,
                     std::to_string(login->port),
                     options.full_name,
                     TrimTrailingSpaces(options.sys),
                     TrimTrailingSpaces(options.mod),
                     options.std1,
                     {}};
  return qz::Status::OK();
}

Session::~Session() { (void)Close(); }

qz::Status Session::Close() {
  qz::Status status;
  if (logged_in_) {
    logged_in_ = false;
    status = net_.LogOut();
    if (!status.ok()) status = qz::Status::Error(status.code(), "LogOut: " + status.message());
  }
  if (cookie_ != 0) {
    (void)net_.Unadvise(cookie_);
    cookie_ = 0;
  }
  if (hdbc_ > 0) {
    qzpub_Disconnect(hdbc_);
    hdbc_ = 0;
  }
  return status;
}

size_t Session::DrainConnections(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (qz::PendingConnections() > 0 && std::chrono::steady_clock::now() < deadline &&
         !ShutdownRequested()) {
    qz::loop::RunFor(std::chrono::milliseconds(5));
  }
  return qz::PendingConnections();
}

}  // namespace qzmsg
