// The status printer and the health threshold's reader on arbitrary bytes: the JSON stays
// one line of valid UTF-8 without raw control characters, and nothing crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "settings/StatusReport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  (void)sorv::healthMinutesFromText(bytes.c_str());
  const std::size_t cut = size / 2;
  sorv::Dict d{{sorv::kStatusState, bytes.substr(0, cut)},
               {sorv::kStatusCurrentItem, bytes},
               {sorv::kStatusLastFailure, static_cast<double>(size) * 1e7},
               {sorv::kStatusLastFailureItem, bytes.substr(cut)},
               {sorv::kStatusLastFailureReason, bytes},
               {sorv::kStatusOldestWaiting, static_cast<double>(size)}};
  const std::string json = sorv::statusJson(d);
  for (unsigned char c : json)
    if (c < 0x20) std::abort();
  const std::string lines = sorv::statusLines(d);
  std::size_t newlines = 0;
  for (char c : lines) newlines += c == '\n';
  if (newlines != 10) std::abort();
  return 0;
}
