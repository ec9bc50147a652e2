// PresenceWatch: who came and who went between two reads of the presence table, so that chat
// can announce them without anyone sending a word.
#ifndef QZMSG_PRESENCE_WATCH_H_
#define QZMSG_PRESENCE_WATCH_H_

#include <cstdint>
#include <map>
#include <vector>

#include "presence_rows.h"

namespace qzmsg {

class PresenceWatch {
 public:
  struct Change {
    bool joined;  // else left
    PresenceRow row;
  };

  // own_key: the row of the watching login, which is never announced.
  explicit PresenceWatch(int32_t own_key) : own_key_(own_key) {}

  // The rows that appeared and disappeared since the previous call, by key, the leaves first.
  // The first call only takes note of who is there.
  std::vector<Change> Update(const std::vector<PresenceRow>& rows);

 private:
  int32_t own_key_;
  bool started_ = false;
  std::map<int32_t, PresenceRow> known_;
};

}  // namespace qzmsg

#endif  // QZMSG_PRESENCE_WATCH_H_
