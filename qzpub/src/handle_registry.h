// HandleRegistry: the connections behind the handles and the scans behind the cursors.
//
// Thread-safe. A connection's backend is used under that connection's own lock, so one
// connection runs one call at a time and calls on different connections run side by side.
// Scans are read whole when they open; a connection keeps at most kMaxOpenCursors of them and
// closes the oldest beyond that, since the component never closes a scan that it leaves early.
#ifndef QZPUB_SRC_HANDLE_REGISTRY_H_
#define QZPUB_SRC_HANDLE_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "backend.h"

namespace qzpub {

inline constexpr size_t kMaxOpenCursors = 64;

class HandleRegistry {
 public:
  static HandleRegistry& Instance();

  // Takes the backend and returns its handle (> 0).
  int32_t AddConnection(std::unique_ptr<Backend> backend);
  // Closes the connection and its cursors; false when the handle is not open.
  bool RemoveConnection(int32_t handle);

  // Runs fn(Backend&) -> Status with the connection's backend, under the connection's lock.
  // Fails when the handle is not open.
  template <typename Fn>
  Status WithBackend(int32_t handle, Fn&& fn) {
    Result<std::shared_ptr<Connection>> connection = Open(handle);
    if (!connection.ok()) return connection.status();
    std::lock_guard lock(connection.value()->mu);
    if (connection.value()->backend == nullptr) return Closed(handle);
    return fn(*connection.value()->backend);
  }

  // Opens a cursor over rows[1..] for the connection (the caller has handed out rows[0]) and
  // returns its id (> 0). Fails when the handle was closed meanwhile.
  Result<int32_t> OpenCursor(int32_t handle, SharedRows rows);
  // The cursor's next row: true, with *rows holding the scan's rows and *index that row's place
  // (no row is copied), or false when the scan is over (the cursor is then closed). Fails when
  // the cursor is not open.
  Result<bool> Next(int32_t cursor, SharedRows* rows, size_t* index);

 private:
  struct Connection {
    std::mutex mu;                     // serialises use of backend
    std::unique_ptr<Backend> backend;  // null once closed
    std::deque<int32_t> cursors;       // open cursors, oldest first; guarded by HandleRegistry::mu_
  };
  struct Cursor {
    int32_t handle;
    SharedRows rows;
    size_t next = 1;
  };

  Result<std::shared_ptr<Connection>> Open(int32_t handle);
  static Status Closed(int32_t handle);

  // A free id after *last, wrapping to 1 after INT32_MAX.
  template <typename Map>
  static int32_t NextId(const Map& used, int32_t* last);
  void CloseCursorLocked(int32_t id);

  std::mutex mu_;
  std::unordered_map<int32_t, std::shared_ptr<Connection>> connections_;
  std::unordered_map<int32_t, Cursor> cursors_;
  int32_t last_handle_ = 0;
  int32_t last_cursor_ = 0;
};

}  // namespace qzpub

#endif  // QZPUB_SRC_HANDLE_REGISTRY_H_
