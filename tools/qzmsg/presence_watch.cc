#include "presence_watch.h"

namespace qzmsg {

std::vector<PresenceWatch::Change> PresenceWatch::Update(const std::vector<PresenceRow>& rows) {
  std::map<int32_t, PresenceRow> now;
  for (const PresenceRow& row : rows) {
    if (row.key != own_key_) now.emplace(row.key, row);
  }
  std::vector<Change> changes;
  if (started_) {
    for (const auto& [key, row] : known_) {
      if (!now.contains(key)) changes.push_back({false, row});
    }
    for (const auto& [key, row] : now) {
      if (!known_.contains(key)) changes.push_back({true, row});
    }
  }
  started_ = true;
  known_ = std::move(now);
  return changes;
}

}  // namespace qzmsg
