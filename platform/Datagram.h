// Datagrams to a local (AF_UNIX) socket that never wait: the peers the agent reports to (the
// journal, the service manager) may stop reading, and a full queue must not stall the caller.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>

namespace sorv {

struct UnixAddress {
  sockaddr_un addr{};
  socklen_t length = 0;
};

// The address of a socket path; "@name" is in the abstract namespace. False when path is empty
// or too long.
bool unixAddress(const std::string& path, UnixAddress* out);

enum class DatagramResult {
  Sent,
  Full,         // the peer's queue (or our send buffer) is full: try again later
  TooLarge,     // larger than one datagram may be
  Unreachable,  // no socket there, or it refuses
};

// Sends bytes (and passFd, when not -1, with SCM_RIGHTS) from fd, a SOCK_DGRAM socket, to `to`
// without waiting. Safe from any thread.
DatagramResult sendDatagram(int fd, const UnixAddress& to, std::string_view bytes, int passFd = -1);

// A sealed memfd holding bytes (for an entry too large for a datagram), or -1.
int sealedMemfd(const std::string& bytes);

}  // namespace sorv
