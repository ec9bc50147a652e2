// Status and Result<T>: how every operation of the component reports success or failure.
// No exception crosses the public API; a failed method returns a Status that says what failed.
#ifndef QZ_STATUS_H_
#define QZ_STATUS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace qz {

// Failure codes. Where the original component has a number for a failure, the code is that
// number, so that hosts that test for it keep working.
namespace errc {
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kInvalidArgument = 5;    // invalid procedure call or argument
inline constexpr int32_t kOverflow = 6;           // a number does not fit
inline constexpr int32_t kOutOfMemory = 7;        // a resource could not be allocated
inline constexpr int32_t kFileNotFound = 53;      // a library could not be loaded
inline constexpr int32_t kObjectNotSet = 91;      // object variable not set (no login, no form)
inline constexpr int32_t kInvalidProperty = 380;  // a property value out of range
inline constexpr int32_t kNotSupported = 438;     // object does not support this member
inline constexpr int32_t kNotImplemented = 445;   // object does not support this action
inline constexpr int32_t kEntryNotFound = 453;    // a library lacks an entry
inline constexpr int32_t kDuplicateKey = 457;     // a key is already in the collection
inline constexpr int32_t kNoConnection = 0x200;   // unknown connection-point cookie
inline constexpr int32_t kRowNotWritten = 0x201;  // the presence row was not written
// The data-access library reported a failure; the message holds its own words.
inline constexpr int32_t kDatabaseFailed = 0x202;
// A call from a thread other than the object's own (COM's apartments refuse it likewise).
inline constexpr int32_t kWrongThread = 0x203;
// Socket numbers, in Winsock numbering.
inline constexpr int32_t kWsaInvalidArgument = 10022;
inline constexpr int32_t kWsaTooManySockets = 10024;
inline constexpr int32_t kWsaWouldBlock = 10035;
inline constexpr int32_t kWsaAddressInUse = 10048;
inline constexpr int32_t kWsaAddressNotAvailable = 10049;
inline constexpr int32_t kWsaNetworkUnreachable = 10051;
inline constexpr int32_t kWsaConnectionAborted = 10053;
inline constexpr int32_t kWsaConnectionReset = 10054;
inline constexpr int32_t kWsaNoBufferSpace = 10055;
inline constexpr int32_t kWsaNotConnected = 10057;
inline constexpr int32_t kWsaTimedOut = 10060;
inline constexpr int32_t kWsaConnectionRefused = 10061;
inline constexpr int32_t kWsaHostUnreachable = 10065;
inline constexpr int32_t kWsaHostNotFound = 11001;
// A delivery that LogOut ended before it completed (Winsock's "interrupted call").
inline constexpr int32_t kDeliveryCancelled = 10004;
inline constexpr int32_t kSckBadState = 40006;  // wrong protocol or connection state
inline constexpr int32_t kSckInvalidArgument = 40020;
}  // namespace errc

// A success, or a failure with a code and a message for a host developer.
// Cheap to copy when ok; immutable once made.
class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status OK() { return Status(); }
  static Status Error(int32_t code, std::string message) {
    return Status(code == errc::kOk ? errc::kInvalidArgument : code, std::move(message));
  }

  bool ok() const { return code_ == errc::kOk; }
  int32_t code() const { return code_; }
  // The failures that callers tell apart.
  bool IsAddressInUse() const { return code_ == errc::kWsaAddressInUse; }
  bool IsWouldBlock() const { return code_ == errc::kWsaWouldBlock; }
  bool IsTooManySockets() const { return code_ == errc::kWsaTooManySockets; }
  const std::string& message() const { return message_; }
  // "OK", or "error CODE: MESSAGE".
  std::string ToString() const {
    return ok() ? std::string("OK") : "error " + std::to_string(code_) + ": " + message_;
  }

 private:
  Status(int32_t code, std::string message) : code_(code), message_(std::move(message)) {}
  int32_t code_ = errc::kOk;
  std::string message_;
};

// A value, or the failure that prevented it. value() may be called only when ok().
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}  // NOLINT: implicit by design

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& operator*() const& { return *value_; }
  T& operator*() & { return *value_; }
  const T* operator->() const { return &*value_; }
  T* operator->() { return &*value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace qz

#endif  // QZ_STATUS_H_
