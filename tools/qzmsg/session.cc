#include "session.h"

#include <string>
#include <utility>
#include <vector>

#include "process_sockets.h"
#include "qz/message_loop.h"
#include "qzpub.h"
#include "shutdown_signals.h"

namespace qzmsg {
namespace {

std::string TrimTrailingSpaces(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool SameNames(const PresenceRow& row, const CommonOptions& options) {
  return row.user == TrimTrailingSpaces(options.user) &&
         row.sys == TrimTrailingSpaces(options.sys) && row.mod == TrimTrailingSpaces(options.mod);
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
  if (!status.ok()) return qz::Status::Error(status.code(), "Init: " + status.message());
  status = session->FindOwnRow(options);
  if (!status.ok()) return status;
  return session;
}

// Init reports neither the row's key nor whether the listener got its port, so both are read
// back: the newest row whose port is one this process listens on (and whose address is the one
// published, when it was given) is ours; rows with our names win over others.
qz::Status Session::FindOwnRow(const CommonOptions& options) {
  qz::Result<std::vector<PresenceRow>> rows = ReadPresenceRows(hdbc_);
  if (!rows.ok()) return rows.status();
  const std::set<int32_t> listening = ListeningPorts();
  const PresenceRow* best = nullptr;
  const PresenceRow* named = nullptr;
  auto rank = [&options](const PresenceRow& row) {
    return std::pair(SameNames(row, options), row.key);
  };
  for (const PresenceRow& row : *rows) {
    if (!options.local_ip.empty() && row.ip != options.local_ip) continue;
    if (SameNames(row, options) && (named == nullptr || row.key > named->key)) named = &row;
    if (listening.count(row.port()) == 0) continue;
    if (best == nullptr || rank(row) > rank(*best)) best = &row;
  }
  if (best != nullptr) {
    row_ = *best;
    return qz::Status::OK();
  }
  if (named != nullptr) {
    return qz::Status::Error(qz::errc::kWsaAddressInUse,
                             "cannot listen on port " + named->port_text +
                                 ": the login was published, but this process does not listen "
                                 "on that port");
  }
  return qz::Status::Error(qz::errc::kInvalidArgument,
                           "Init wrote no presence row that this process listens for "
                           "(is the database writable?)");
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
