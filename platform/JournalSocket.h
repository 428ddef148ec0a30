// The journal's native socket, written without ever waiting: an entry the socket does not
// take now (journald stalls under I/O pressure) waits in a bounded queue, oldest dropped first,
// and goes out in order once the socket takes datagrams again, after one entry that says how
// many were dropped meanwhile. An entry too large for a datagram goes as a sealed memfd.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "platform/Datagram.h"
#include "platform/Journal.h"
#include "platform/Mutex.h"

namespace sorv {

// The entry in the native protocol: "NAME=value\n", or "NAME\n", the value's length as a
// little-endian 64-bit number, the value and "\n" when the value holds a line end; with
// PRIORITY and SYSLOG_IDENTIFIER after MESSAGE.
std::string journalDatagram(const JournalEntry& entry, const std::string& identifier);

class JournalSocket {
 public:
  static constexpr std::size_t kMaxQueued = 512;
  static constexpr std::size_t kMaxQueuedBytes = 1 << 20;

  enum class Result { Sent, Queued, Unreachable };

  // path: the socket ("/run/systemd/journal/socket"); identifier: SYSLOG_IDENTIFIER of the
  // entries this socket writes itself (the note on dropped entries).
  JournalSocket(const std::string& path, std::string identifier);
  ~JournalSocket();
  JournalSocket(const JournalSocket&) = delete;
  JournalSocket& operator=(const JournalSocket&) = delete;

  // Sends what waits, then datagram (journalDatagram's); Queued when it waits behind them or
  // the socket is full, Unreachable when no journal listens there (nothing is queued then).
  // Safe from any thread.
  Result send(std::string datagram) EXCLUDES(mutex_);
  // Sends what waits while the socket takes it; true when nothing waits any more.
  bool flush() EXCLUDES(mutex_);

 private:
  enum class Flush { Drained, Full, Unreachable };
  Flush flushLocked() REQUIRES(mutex_);
  DatagramResult sendOne(const std::string& datagram) REQUIRES(mutex_);
  void enqueueLocked(std::string datagram) REQUIRES(mutex_);

  const std::string identifier_;
  UnixAddress address_;
  bool addressValid_ = false;
  int fd_ = -1;
  Mutex mutex_;
  std::deque<std::string> queue_ GUARDED_BY(mutex_);
  std::size_t queuedBytes_ GUARDED_BY(mutex_) = 0;
  std::size_t dropped_ GUARDED_BY(mutex_) = 0;  // since the last note said so
};

}  // namespace sorv
