// relaunches.plist as anyone may have left it: the reader never crashes, keeps to its bounds,
// and what it takes comes back unchanged through the writer, all of it while the file is far
// from full, else the records the file has room for.
#include <algorithm>
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
  const std::string out = sorv::encodeRelaunchState(state);
  const sorv::RelaunchState back = sorv::decodeRelaunchState(out);
  auto head = [](const auto& part, const auto& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
  };
  if (out.size() > sorv::kMaxRelaunchStateBytes || !head(back.relaunched, state.relaunched) ||
      !head(back.waiting, state.waiting) ||
      (out.size() < sorv::kMaxRelaunchStateBytes / 2 && back != state))
    __builtin_trap();
  return 0;
}
