// Retry-After as any site may send it: the reading never crashes, and a wait it gives is a
// number of seconds not below 0.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/http/HttpTransport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view value(reinterpret_cast<const char*>(data), size);
  auto wait = sorv::retryAfterSeconds(value, 1.8e9);
  if (wait && !(*wait >= 0 && std::isfinite(*wait))) __builtin_trap();
  return 0;
}
