#include "platform/http/UploadRate.h"

#include <time.h>

#include <cctype>
#include <cstdlib>

namespace sorv {
namespace {

// Caps above this (1 TiB/s) are refused rather than risk an overflow.
constexpr double kMaxRate = 1024.0 * 1024 * 1024 * 1024;

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// "off" gives 0; otherwise a positive number of bytes with an optional k, M or G.
std::optional<std::uint64_t> parseRate(std::string_view text, std::string* err) {
  text = trim(text);
  if (equalsIgnoringCase(text, "off")) return 0;
  double scale = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k':
      case 'K':
        scale = 1024;
        break;
      case 'm':
      case 'M':
        scale = 1024.0 * 1024;
        break;
      case 'g':
      case 'G':
        scale = 1024.0 * 1024 * 1024;
        break;
    }
    if (scale != 1) text.remove_suffix(1);
  }
  bool digits = !text.empty() && text.size() < 32, dot = false;
  for (char c : text) {
    if (c == '.' && !dot) {
      dot = true;
    } else if (!std::isdigit(static_cast<unsigned char>(c))) {
      digits = false;
    }
  }
  if (!digits) {
    *err = "a rate is a number of bytes with an optional k, M or G, or off";
    return std::nullopt;
  }
  double rate = std::strtod(std::string(text).c_str(), nullptr) * scale;
  if (rate < 1 || rate > kMaxRate) {
    *err = "a rate must be at least 1 byte and at most 1024G per second";
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(rate);
}

// "HH:MM" as minutes of the day.
std::optional<int> parseTime(std::string_view text) {
  if (text.size() != 5 || text[2] != ':') return std::nullopt;
  for (std::size_t i : {0, 1, 3, 4})
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  int h = (text[0] - '0') * 10 + (text[1] - '0'), m = (text[3] - '0') * 10 + (text[4] - '0');
  if (h > 23 || m > 59) return std::nullopt;
  return h * 60 + m;
}

}  // namespace

std::optional<UploadRateSchedule> UploadRateSchedule::parse(std::string_view text,
                                                            std::string* err) {
  std::string ignored;
  if (!err) err = &ignored;
  UploadRateSchedule schedule;
  text = trim(text);
  if (text.empty()) return schedule;
  if (text.find(',') == std::string_view::npos) {
    auto rate = parseRate(text, err);
    if (!rate) return std::nullopt;
    if (*rate) schedule.entries_.push_back({0, *rate});
    return schedule;
  }
  while (!(text = trim(text)).empty()) {
    std::size_t end = 0;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    std::string_view entry = text.substr(0, end);
    text.remove_prefix(end);
    std::size_t comma = entry.find(',');
    auto minute = parseTime(entry.substr(0, comma));
    if (comma == std::string_view::npos || !minute) {
      *err = "\"" + std::string(entry) + "\" is not a timetable entry HH:MM,RATE";
      return std::nullopt;
    }
    if (!schedule.entries_.empty() && schedule.entries_.back().minute >= *minute) {
      *err = "the timetable's times must increase through the day";
      return std::nullopt;
    }
    auto rate = parseRate(entry.substr(comma + 1), err);
    if (!rate) return std::nullopt;
    schedule.entries_.push_back({*minute, *rate});
  }
  return schedule;
}

std::uint64_t UploadRateSchedule::capAt(int minuteOfDay) const {
  if (entries_.empty()) return 0;
  const Entry* current = &entries_.back();  // still in force from the day before
  for (const Entry& e : entries_)
    if (e.minute <= minuteOfDay) current = &e;
  return current->bytesPerSecond;
}

UploadRateSchedule uploadRateFromEnvironment(std::string* err) {
  const char* value = std::getenv(kUploadRateVariable);
  if (!value) return {};
  std::string why;
  auto schedule = UploadRateSchedule::parse(value, &why);
  if (schedule) return *schedule;
  if (err) *err = why;
  return {};
}

std::uint64_t currentUploadRateCap() {
  time_t now = ::time(nullptr);
  struct tm local {};
  ::localtime_r(&now, &local);
  return uploadRateFromEnvironment().capAt(local.tm_hour * 60 + local.tm_min);
}

}  // namespace sorv
