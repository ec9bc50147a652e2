// The TCP sockets of this process, as the kernel lists them (Linux /proc).
//
// The public API does not say whether the listener got its port; the kernel does: a listening
// socket of ours on the published port.
#ifndef QZMSG_PROCESS_SOCKETS_H_
#define QZMSG_PROCESS_SOCKETS_H_

#include <cstddef>
#include <cstdint>
#include <set>

namespace qzmsg {

// The inode numbers of the sockets this process holds open now.
std::set<uint64_t> OpenSocketInodes();

// The local ports on which this process has a TCP socket in the listening state (IPv4, IPv6).
std::set<int32_t> ListeningPorts();

}  // namespace qzmsg

#endif  // QZMSG_PROCESS_SOCKETS_H_
