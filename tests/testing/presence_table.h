// The presence table as a test sees it, read and written through qzpub's entries.
#ifndef QZ_TESTS_TESTING_PRESENCE_TABLE_H_
#define QZ_TESTS_TESTING_PRESENCE_TABLE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz_test {

struct Row {
  int32_t key = 0;
  std::string user, ip, port, full_name, sys, mod, std1, login_time;
};

class PresenceTable {
 public:
  // Connects to uri; nullptr, with *why_not set, on failure.
  static std::unique_ptr<PresenceTable> Open(const std::string& uri, std::string* why_not);
  ~PresenceTable();
  PresenceTable(const PresenceTable&) = delete;
  PresenceTable& operator=(const PresenceTable&) = delete;

  // Inserts a login row as another client would; returns its key (0 on failure).
  int32_t Insert(const std::string& user, const std::string& ip, const std::string& port,
                 const std::string& sys, const std::string& mod);
  std::vector<Row> Rows();
  std::optional<Row> RowWithKey(int32_t key);

 private:
  explicit PresenceTable(int32_t hdbc) : hdbc_(hdbc) {}
  int32_t hdbc_;
};

}  // namespace qz_test

#endif  // QZ_TESTS_TESTING_PRESENCE_TABLE_H_
