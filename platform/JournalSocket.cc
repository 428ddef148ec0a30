#include "platform/JournalSocket.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace sorv {

namespace {

// As libsystemd's clients do: the socket's own buffer bounds the datagrams it may send.
constexpr int kSendBuffer = 8 << 20;

void appendField(std::string& out, const std::string& name, const std::string& value) {
  if (value.find('\n') == std::string::npos) {
    out += name + "=" + value + "\n";
    return;
  }
  out += name + "\n";
  std::uint64_t n = value.size();
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  out += value + "\n";
}

}  // namespace

std::string journalDatagram(const JournalEntry& entry, const std::string& identifier) {
  std::string out;
  appendField(out, "MESSAGE", entry.message);
  appendField(out, "PRIORITY", std::to_string(static_cast<int>(entry.priority)));
  appendField(out, "SYSLOG_IDENTIFIER", identifier);
  for (const auto& [name, value] : entry.fields) appendField(out, name, value);
  return out;
}

JournalSocket::JournalSocket(const std::string& path, std::string identifier)
    : identifier_(std::move(identifier)) {
  addressValid_ = unixAddress(path, &address_);
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ >= 0 &&
      ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &kSendBuffer, sizeof kSendBuffer) != 0)
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
}

JournalSocket::~JournalSocket() {
  if (fd_ >= 0) ::close(fd_);
}

DatagramResult JournalSocket::sendOne(const std::string& datagram) {
  if (!addressValid_ || fd_ < 0) return DatagramResult::Unreachable;
  DatagramResult result = sendDatagram(fd_, address_, datagram);
  if (result != DatagramResult::TooLarge) return result;
  const int memfd = sealedMemfd(datagram);
  if (memfd < 0) return DatagramResult::Unreachable;
  result = sendDatagram(fd_, address_, {}, memfd);
  ::close(memfd);
  return result;
}

void JournalSocket::enqueueLocked(std::string datagram) {
  queuedBytes_ += datagram.size();
  queue_.push_back(std::move(datagram));
  while (!queue_.empty() && (queue_.size() > kMaxQueued || queuedBytes_ > kMaxQueuedBytes)) {
    queuedBytes_ -= queue_.front().size();
    queue_.pop_front();
    ++dropped_;
  }
}

JournalSocket::Flush JournalSocket::flushLocked() {
  // The note goes where the gap is: before the oldest entry that was kept.
  while (dropped_ > 0 || !queue_.empty()) {
    std::string note;
    if (dropped_ > 0) {
      JournalEntry entry;
      entry.priority = LogPriority::Warning;
      entry.message = "WARNING: " + std::to_string(dropped_) +
                      " console messages were dropped while the journal was not reading";
      note = journalDatagram(entry, identifier_);
    }
    const DatagramResult result = sendOne(dropped_ > 0 ? note : queue_.front());
    if (result == DatagramResult::Full) return Flush::Full;
    if (result == DatagramResult::Unreachable) return Flush::Unreachable;
    // Sent, or too large even for a memfd: either way it leaves the queue.
    if (dropped_ > 0) {
      dropped_ = 0;
    } else {
      queuedBytes_ -= queue_.front().size();
      queue_.pop_front();
    }
  }
  return Flush::Drained;
}

JournalSocket::Result JournalSocket::send(std::string datagram) {
  MutexLock lock(&mutex_);
  const Flush before = flushLocked();
  if (before == Flush::Full) {
    enqueueLocked(std::move(datagram));
    return Result::Queued;
  }
  switch (sendOne(datagram)) {
    case DatagramResult::Full:
      enqueueLocked(std::move(datagram));
      return Result::Queued;
    case DatagramResult::Unreachable:
      return Result::Unreachable;
    default:
      return Result::Sent;
  }
}

bool JournalSocket::flush() {
  MutexLock lock(&mutex_);
  return flushLocked() == Flush::Drained;
}

}  // namespace sorv
