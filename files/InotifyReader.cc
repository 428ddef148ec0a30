#include "files/InotifyReader.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sorv {

bool InotifyEvent::overflowed() const {
  return mask & IN_Q_OVERFLOW;
}

std::size_t InotifyReader::parse(const char* buf, std::size_t n, const Handler& fn) {
  std::size_t count = 0;
  std::size_t at = 0;
  while (n - at >= sizeof(inotify_event)) {
    inotify_event header;
    std::memcpy(&header, buf + at, sizeof header);  // buf need not be aligned
    const std::size_t nameAt = at + sizeof header;
    if (header.len > n - nameAt) break;  // a partial record: the rest of the chunk is dropped
    const char* name = buf + nameAt;
    InotifyEvent event;
    event.wd = header.wd;
    event.mask = header.mask;
    event.name = std::string_view(name, ::strnlen(name, header.len));
    fn(event);
    ++count;
    at = nameAt + header.len;
  }
  return count;
}

std::size_t InotifyReader::drain(const Handler& fn) {
  alignas(inotify_event) char buf[kBufferSize];
  std::size_t count = 0;
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return count;
    count += parse(buf, static_cast<std::size_t>(n), fn);
  }
}

}  // namespace sorv
