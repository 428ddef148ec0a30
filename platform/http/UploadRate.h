// The cap on upload bytes per second from SORV_MAX_UPLOAD_RATE: one rate for the whole day, or
// a day's timetable of "HH:MM,RATE" entries (as rclone's --bwlimit writes it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorv {

class UploadRateSchedule {
 public:
  // "512k", "2M", "100000" (bytes; k = 1024, M = 1024 * 1024), "off", or entries such as
  // "08:00,512k 18:00,off" in increasing time order. nullopt with *err set when it is not one.
  static std::optional<UploadRateSchedule> parse(std::string_view text, std::string* err);

  // The cap at a minute of the day (0 to 1439) in bytes per second; 0: no cap. Before the day's
  // first entry the last one still holds, from the evening before.
  std::uint64_t capAt(int minuteOfDay) const;

 private:
  struct Entry {
    int minute;
    std::uint64_t bytesPerSecond;
  };
  std::vector<Entry> entries_;  // by minute; empty: no cap
};

inline constexpr const char* kUploadRateVariable = "SORV_MAX_UPLOAD_RATE";

// The schedule of SORV_MAX_UPLOAD_RATE; no cap when it is unset, empty or invalid (then *err,
// when given, says why).
UploadRateSchedule uploadRateFromEnvironment(std::string* err = nullptr);

// The cap that holds now (local time) in bytes per second; 0: no cap.
std::uint64_t currentUploadRateCap();

}  // namespace sorv
