// Any bytes taken as /proc/locks (the holder found is a real process id or 0) and as a
// process's command name (at most 15 printable bytes, no newline).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "files/SourceFolderClaim.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::uint64_t device = size > 0 ? data[0] : 0, inode = size > 1 ? data[1] : 0;
  if (sorv::flockHolderIn(text, device, inode) < 0) __builtin_trap();
  const std::string name = sorv::commandNameFrom(text);
  if (name.size() > 15) __builtin_trap();
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
      __builtin_trap();
  return 0;
}
