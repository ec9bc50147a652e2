// SocketControl: one TCP socket with the members and events of the classic socket control that
// the component was written against. Non-blocking, driven by the thread's EventLoop.
//
// Threads: a control belongs to the thread that created it. Events are delivered only from that
// thread's EventLoop::DoEvents(), never synchronously inside a member call (a Connect that
// succeeds at once still reports its Connect event from a later pass).
//
// Events go to the sink given to SetEvents, held weakly: for the duration of each event the
// control holds a strong reference, so a sink that releases its last owner inside its own
// handler stays alive until the handler returns. A control that is closed or destroyed raises
// no further event, also not one already due in the same pass.
#ifndef QZ_PLATFORM_SOCKET_CONTROL_H_
#define QZ_PLATFORM_SOCKET_CONTROL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "qz/status.h"

namespace qz::platform {

// The control's State numbers.
enum class SocketState : int32_t {
  kClosed = 0,
  kOpen = 1,
  kListening = 2,
  kConnectionPending = 3,
  kResolvingHost = 4,
  kHostResolved = 5,
  kConnecting = 6,
  kConnected = 7,
  kPeerClosing = 8,
  kError = 9,
};

class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  // A peer asks to connect to a listening control. Accept(requestID) on a new, closed control
  // takes the connection over; a request that no handler accepts is closed when this returns.
  virtual void OnConnectionRequest(int32_t /*requestID*/) {}
  // The connection that Connect started is established.
  virtual void OnConnect() {}
  // bytesTotal bytes can be read with GetData. Not reported again until GetData is called.
  virtual void OnDataArrival(int32_t /*bytesTotal*/) {}
  // Every byte handed to SendData has been handed to the kernel.
  virtual void OnSendComplete() {}
  // A connection attempt or a transfer failed; number is a Winsock number (10061 refused, 10060
  // timed out, 10054 reset, ...). The state is kError until Close.
  virtual void OnError(int32_t /*number*/, const std::string& /*description*/,
                       bool& /*cancelDisplay*/) {}
  // The peer closed its end (state kPeerClosing); data received before it was reported first.
  virtual void OnClose() {}
};

class SocketControl {
 public:
  SocketControl();
  ~SocketControl();  // closes the socket silently
  SocketControl(const SocketControl&) = delete;
  SocketControl& operator=(const SocketControl&) = delete;

  void SetEvents(std::weak_ptr<SocketEvents> sink);

  // The local port to bind at Listen or Connect (0: any). After Listen or Connect, the port
  // actually bound. Setting a value outside 0..65535 fails with errc::kInvalidProperty.
  int32_t LocalPort() const;
  Status SetLocalPort(int32_t port);

  // The machine's address as the control reports it: the process-wide override if one is set
  // (SetLocalIPOverride); else an address of an interface that is up, never a loopback one,
  // chosen as MachineLocalIP (local_ip.h) says; else empty. Dotted IPv4 text.
  std::string LocalIP() const;

  const std::string& RemoteHost() const;
  void SetRemoteHost(std::string host);
  int32_t RemotePort() const;
  Status SetRemotePort(int32_t port);

  SocketState State() const;

  // General-purpose text property; never read by the control.
  const std::string& Tag() const;
  void SetTag(std::string tag);

  // Listens on LocalPort on every local address. Fails at once (10048 when the port is taken,
  // also by a listener of another process; a port held only by closing connections is fine).
  // While the process is out of descriptors, requests that cannot be taken are closed at once
  // with a descriptor the thread keeps in reserve, rather than left queued; with no reserve
  // left, the listener waits until a control of the thread frees a descriptor. It never spins.
  Status Listen();
  // Takes over the pending connection requestID, during its OnConnectionRequest. The control
  // must be closed (else 40006); it becomes kConnected. An unknown or expired id fails with 40020.
  Status Accept(int32_t requestID);
  // Starts connecting to RemoteHost:RemotePort from LocalPort. Fails at once with 10048 when
  // LocalPort is taken, 11001 when RemoteHost is empty or cannot be resolved, 10049 when
  // RemotePort is 0, 40006 unless closed; the control then stays closed. A numeric address never
  // blocks the thread, nor does a text that cannot be a host name (11001, never looked up); a
  // name is resolved by the system resolver, which may. Outcome: OnConnect
  // or OnError (10061 refused, 10060 timed out, 10051/10065 unreachable). Afterwards LocalPort
  // holds the port bound, also one the kernel chose: set it to 0 again before reconnecting to
  // let the kernel choose anew, as with Winsock.
  Status Connect();
  // A walk over candidate local ports: it offers each to taken, which says whether the port is in
  // use, and returns the one it settles on (0: let the system choose).
  using LocalPortWalk = std::function<int32_t(const std::function<bool(int32_t port)>& taken)>;
  // Connect from the port that walk settles on, LocalPort ignored. taken binds this control's
  // own socket, which meets every TCP endpoint of the machine on the port, of either family and
  // in any state (TIME_WAIT too), so there is no probe and no moment in which another socket can
  // take the port found. A port that taken did not bind is bound as by Connect, with its errors.
  Status ConnectFromFreePort(const LocalPortWalk& walk);
  // For a connection that ends as soon as the system has taken its bytes, as every delivery
  // does: the limit on an unanswered connect and on unacknowledged data (kConnectWaitLimit in
  // socket_api.h) is then set by LimitWaits(), where the owner finds it has to wait, rather than
  // by every Connect. Most such connections are answered before the next pass and never wait,
  // and setting the limit is a system call. Off by default; kept across Close.
  void DeferWaitLimits(bool defer);
  // Sets that limit on the current socket, once per socket; nothing without a socket.
  void LimitWaits();
  // Queues bytes for sending and writes them as the socket allows; OnSendComplete follows, from
  // a later pass even when everything was written at once. Fails at once (40006) unless
  // connected; a failure of the transfer comes as OnError.
  Status SendData(std::string_view bytes);
  // Bytes given to SendData that the kernel has not taken yet: 0 once it has them all, which is
  // what OnSendComplete will tell.
  size_t BytesUnsent() const;
  // Moves at most maxLen received bytes (all available when maxLen <= 0) into out, replacing
  // its content, and re-arms OnDataArrival.
  Status GetData(std::string& out, int32_t maxLen = 0);
  // Closes; does nothing on a closed control. No event of this control follows.
  void Close();

 private:
  class Impl;
  std::shared_ptr<Impl> impl_;
};

// The process-wide LocalIP override; empty restores the default lookup.
void SetLocalIPOverride(std::string address);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_SOCKET_CONTROL_H_
