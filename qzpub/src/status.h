// Status and Result<T> inside qzpub: a failure is a message for qzpub_LastError().
#ifndef QZPUB_SRC_STATUS_H_
#define QZPUB_SRC_STATUS_H_

#include <optional>
#include <string>
#include <utility>

namespace qzpub {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Failure(std::string message) { return Status(std::move(message)); }

  bool ok() const { return !message_.has_value(); }
  // The failure's text; empty when ok().
  const std::string& message() const {
    static const std::string kEmpty;
    return message_ ? *message_ : kEmpty;
  }

 private:
  explicit Status(std::string message) : message_(std::move(message)) {}
  std::optional<std::string> message_;
};

// A value, or the failure that prevented it. value() only when ok().
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}  // NOLINT: implicit by design

  bool ok() const { return status_.ok() && value_.has_value(); }
  const Status& status() const { return status_; }
  T& value() { return *value_; }
  const T& value() const { return *value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace qzpub

#endif  // QZPUB_SRC_STATUS_H_
