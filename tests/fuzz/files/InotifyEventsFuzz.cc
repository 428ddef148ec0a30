// Any bytes taken apart as a read of an inotify descriptor: the parse never reads past them,
// every name lies inside them, and the events handed never outnumber what could fit.
#include <sys/inotify.h>

#include <cstddef>
#include <cstdint>

#include "files/InotifyReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* buf = reinterpret_cast<const char*>(data);
  std::size_t handed = sorv::InotifyReader::parse(buf, size, [&](const sorv::InotifyEvent& ev) {
    if (!ev.name.empty() && (ev.name.data() < buf || ev.name.data() + ev.name.size() > buf + size))
      __builtin_trap();
  });
  if (handed > size / sizeof(inotify_event)) __builtin_trap();
  return 0;
}
