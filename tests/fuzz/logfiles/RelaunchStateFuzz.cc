// relaunches.plist as anyone may have left it: the reader never crashes, keeps to its bounds,
// and what it takes comes back unchanged through the writer.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "logfiles/RelaunchState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  sorv::RelaunchState state = sorv::decodeRelaunchState(bytes);
  if (state.relaunched.size() > sorv::kMaxRelaunchRecords ||
      state.waiting.size() > sorv::kMaxFirstSeenRecords)
    __builtin_trap();
  if (state.empty()) return 0;
  if (sorv::decodeRelaunchState(sorv::encodeRelaunchState(state)) != state) __builtin_trap();
  return 0;
}
