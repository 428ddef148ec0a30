// The events of an inotify descriptor, read in bounded chunks and taken apart safely: a
// record that does not fit in what was read is dropped, never read past, and a name ends at
// its first NUL within its recorded length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace sorv {

struct InotifyEvent {
  int wd = -1;
  std::uint32_t mask = 0;
  std::string_view name;  // empty for an event on the watched folder itself
  // The kernel's queue overflowed and events were dropped: the caller walks everything again.
  bool overflowed() const;
};

class InotifyReader {
 public:
  using Handler = std::function<void(const InotifyEvent&)>;

  // What one read takes at most; a whole event (header and longest name) always fits.
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // fd is a non-blocking inotify descriptor the caller owns.
  explicit InotifyReader(int fd) : fd_(fd) {}

  // Reads until nothing is queued (or the read fails) and hands every whole event to fn, in
  // order; the name a handler sees is valid during its call only. Answers the events handed.
  std::size_t drain(const Handler& fn);

  // Takes apart the n bytes at buf as a read gave them; answers the events handed to fn.
  static std::size_t parse(const char* buf, std::size_t n, const Handler& fn);

 private:
  int fd_;
};

}  // namespace sorv
