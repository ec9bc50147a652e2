// The state machine behind SocketControl; private to socket_control.cc (opening, closing and
// listening) and socket_control_io.cc (readiness, the byte stream, and how events are raised).
#ifndef QZ_PLATFORM_SOCKET_CONTROL_IMPL_H_
#define QZ_PLATFORM_SOCKET_CONTROL_IMPL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "platform/listener_reserve.h"
#include "platform/socket_api.h"
#include "platform/socket_control.h"
#include "platform/socket_stream.h"
#include "qz/status.h"

namespace qz::platform {

class SocketControl::Impl final : public IoHandler,
                                  public StarvedListener,
                                  public std::enable_shared_from_this<Impl> {
 public:
  Impl() : loop_(EventLoop::Current()) {}
  ~Impl() override { Reset(SocketState::kClosed); }

  std::weak_ptr<SocketEvents> sink;
  int32_t local_port = 0;
  std::string remote_host;
  int32_t remote_port = 0;
  std::string tag;
  bool defer_wait_limits = false;

  SocketState state() const { return state_; }

  Status Listen();
  Status Accept(int32_t request_id);
  Status Connect(const LocalPortWalk* walk);
  Status BindLocal(sockets::SocketHandle s, sockets::Family family, const LocalPortWalk* walk);
  Status SendData(std::string_view bytes);
  Status GetData(std::string& out, int32_t max_len);
  size_t BytesUnsent() const { return out_.Unsent(); }
  void Close() { Reset(SocketState::kClosed); }
  void LimitWaits();

  void OnIoReady(uint32_t events) override;
  void DescriptorFreed() override;

 private:
  // 40006 for a member called in a state that does not allow it.
  static Status BadState(std::string_view member, SocketState state);
  // "Listen on port 80: address in use (Address already in use)".
  static std::string Describe(const Status& failure, std::string_view what);
  static Status Within(std::string_view what, const Status& failure);
  // Closes s, which a call failed to take into a state, and returns the failure.
  static Status CloseFailed(sockets::SocketHandle s, std::string_view what, const Status& failure);

  // Takes s into the given state and watches it.
  Status Start(sockets::SocketHandle s, SocketState state, uint32_t events, std::string_view what);
  // Closes the socket, drops queued data and cancels every event still due; state becomes
  // `state`.
  void Reset(SocketState state);

  void AcceptPending();
  void FinishConnect(uint32_t events);
  void Readable(uint32_t events);
  // Reports what was read: the data, then (once all was taken) the peer's close or the failure
  // that ended the read, in this order and in the same dispatch.
  void Deliver();
  // Deliver from a later pass, for what a GetData outside the DataArrival event left.
  void DeliverLater();
  // Takes up to max_len (0: all) of the bytes read, reading first when none are.
  Status TakeReceived(std::string& out, int32_t max_len);
  // What the watch must report in the current state, and the watch told so.
  uint32_t Wanted() const;
  void Rearm();

  // Ends the connection with an error: state kError until Close, an Error event raised now
  // (inside this control's own dispatch) or from the next pass.
  void Fail(const Status& failure, const std::string& what, bool now);
  void PostError(const Status& failure, const std::string& what);
  // Runs step from a later pass, unless the control is closed, fails or reconnects first.
  TaskId Post(std::function<void(Impl&)> step);

  template <typename F>
  void Raise(F&& event) {
    std::shared_ptr<SocketEvents> s = sink.lock();  // held for the whole event
    if (s) event(*s);
  }

  EventLoop& loop_;
  sockets::SocketHandle socket_ = sockets::kNoSocket;
  WatchId watch_ = 0;
  SocketState state_ = SocketState::kClosed;
  uint64_t generation_ = 0;  // changes whenever events still due must be dropped
  SendQueue out_;
  // Bytes read and not yet taken by GetData, and how the read ended: the peer's close, or a
  // failure, each reported once the bytes before it were taken.
  std::string in_;
  bool peer_closed_ = false;
  Status read_failure_;
  bool in_data_event_ = false;  // inside this control's own DataArrival
  bool deliver_posted_ = false;
  bool data_reported_ = false;
  // SendComplete is owed: raised by the writable event that finds nothing left to write.
  bool complete_due_ = false;
  // SendComplete posted for bytes the system took at once. Withdrawn when the control closes
  // first (it could only be dropped), so that the closing pass leaves the host nothing to wake for.
  bool waits_limited_ = false;  // the current socket has the wait limit
  TaskId complete_posted_ = 0;
  bool armed_ = false;  // the watch is armed for armed_events_ and has not reported since
  uint32_t armed_events_ = 0;
  bool starved_ = false;
  uint16_t listening_port_ = 0;  // every request's local port too  // a listener out of
                                 // descriptors, waiting for one to be freed
};

}  // namespace qz::platform

#endif  // QZ_PLATFORM_SOCKET_CONTROL_IMPL_H_
