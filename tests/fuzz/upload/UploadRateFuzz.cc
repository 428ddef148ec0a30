// SORV_MAX_UPLOAD_RATE as anyone may write it: the parse never crashes, and a timetable it
// takes answers a cap for every minute of the day.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/http/UploadRate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string err;
  auto schedule = sorv::UploadRateSchedule::parse(text, &err);
  if (!schedule) {
    if (err.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  for (int minute = 0; minute < 24 * 60; minute += 7) (void)schedule->capAt(minute);
  return 0;
}
