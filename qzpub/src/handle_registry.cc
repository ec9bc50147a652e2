#include "handle_registry.h"

#include <algorithm>
#include <limits>

namespace qzpub {

HandleRegistry& HandleRegistry::Instance() {
  // Never destroyed: a host thread may still call in while the process exits.
  static HandleRegistry* const instance = new HandleRegistry;
  return *instance;
}

template <typename Map>
int32_t HandleRegistry::NextId(const Map& used, int32_t* last) {
  do {
    *last = *last == std::numeric_limits<int32_t>::max() ? 1 : *last + 1;
  } while (used.count(*last) != 0);
  return *last;
}

int32_t HandleRegistry::AddConnection(std::unique_ptr<Backend> backend) {
  auto connection = std::make_shared<Connection>();
  connection->backend = std::move(backend);
  std::lock_guard lock(mu_);
  const int32_t handle = NextId(connections_, &last_handle_);
  connections_.emplace(handle, std::move(connection));
  return handle;
}

bool HandleRegistry::RemoveConnection(int32_t handle) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard lock(mu_);
    auto it = connections_.find(handle);
    if (it == connections_.end()) return false;
    connection = std::move(it->second);
    connections_.erase(it);
    for (int32_t id : connection->cursors) cursors_.erase(id);
    connection->cursors.clear();
  }
  // Waits for a call still running on the connection.
  std::lock_guard lock(connection->mu);
  connection->backend.reset();
  return true;
}

Result<std::shared_ptr<HandleRegistry::Connection>> HandleRegistry::Open(int32_t handle) {
  std::lock_guard lock(mu_);
  auto it = connections_.find(handle);
  if (it == connections_.end())
    return Status::Failure("no open connection " + std::to_string(handle));
  return it->second;
}

Status HandleRegistry::Closed(int32_t handle) {
  return Status::Failure("connection " + std::to_string(handle) + " is closed");
}

Result<int32_t> HandleRegistry::OpenCursor(int32_t handle, SharedRows rows) {
  std::lock_guard lock(mu_);
  auto it = connections_.find(handle);
  if (it == connections_.end()) {
    return Status::Failure("connection " + std::to_string(handle) + " was closed");
  }
  Connection& connection = *it->second;
  while (connection.cursors.size() >= kMaxOpenCursors) {
    cursors_.erase(connection.cursors.front());
    connection.cursors.pop_front();
  }
  const int32_t id = NextId(cursors_, &last_cursor_);
  cursors_.emplace(id, Cursor{handle, std::move(rows)});
  connection.cursors.push_back(id);
  return id;
}

Result<bool> HandleRegistry::Next(int32_t cursor, SharedRows* rows, size_t* index) {
  std::lock_guard lock(mu_);
  auto it = cursors_.find(cursor);
  if (it == cursors_.end()) return Status::Failure("no open cursor " + std::to_string(cursor));
  Cursor& c = it->second;
  if (c.next < c.rows->size()) {
    *rows = c.rows;
    *index = c.next++;
    return true;
  }
  CloseCursorLocked(cursor);
  return false;
}

void HandleRegistry::CloseCursorLocked(int32_t id) {
  auto it = cursors_.find(id);
  if (it == cursors_.end()) return;
  auto connection = connections_.find(it->second.handle);
  if (connection != connections_.end()) {
    std::deque<int32_t>& open = connection->second->cursors;
    open.erase(std::remove(open.begin(), open.end(), id), open.end());
  }
  cursors_.erase(it);
}

}  // namespace qzpub
