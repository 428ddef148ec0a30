#include "settings/StatusReport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sorv {

namespace {

// The length of the valid UTF-8 sequence at the start of s, or 0 when it is not one.
std::size_t utf8Length(std::string_view s) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  std::size_t n = c < 0x80           ? 1
                  : (c >> 5) == 0x6  ? 2
                  : (c >> 4) == 0xE  ? 3
                  : (c >> 3) == 0x1E ? 4
                                     : 0;
  if (n == 0 || n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i)
    if ((b(i) & 0xC0) != 0x80) return 0;
  if (n == 2 && c < 0xC2) return 0;                                   // overlong
  if (n == 3 && c == 0xE0 && b(1) < 0xA0) return 0;                   // overlong
  if (n == 3 && c == 0xED && b(1) >= 0xA0) return 0;                  // surrogates
  if (n == 4 && c == 0xF0 && b(1) < 0x90) return 0;                   // overlong
  if (n == 4 && (c > 0xF4 || (c == 0xF4 && b(1) >= 0x90))) return 0;  // beyond U+10FFFF
  return n;
}

const std::string* text(const Dict& d, const char* key) {
  return dictGetString(d, key);
}

std::int64_t count(const Dict& d, const char* key) {
  const Value* v = dictGet(d, key);
  return v ? v->integerValue() : 0;
}

std::optional<double> seconds(const Dict& d, const char* key) {
  const Value* v = dictGet(d, key);
  if (!v || !v->isNumber() || !std::isfinite(v->doubleValue())) return std::nullopt;
  return v->doubleValue();
}

std::string shown(const std::string* s) {
  std::string out = s ? *s : std::string();
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

std::string quoted(const std::string* s) {
  return "\"" + jsonEscaped(s ? *s : std::string()) + "\"";
}

}  // namespace

double healthMinutesFromText(const char* text) {
  if (!text || !*text || std::strlen(text) > 32) return kDefaultHealthMinutes;
  char* end = nullptr;
  double minutes = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(minutes) || minutes <= 0)
    return kDefaultHealthMinutes;
  return minutes;
}

std::string jsonEscaped(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 8);
  while (!s.empty()) {
    const unsigned char c = static_cast<unsigned char>(s[0]);
    std::size_t n = utf8Length(s);
    if (n == 0) {
      out += "\\ufffd";
      n = 1;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.append(s.data(), n);
    }
    s.remove_prefix(n);
  }
  return out;
}

std::string isoTime(double seconds) {
  std::time_t t = static_cast<std::time_t>(std::floor(seconds));
  std::tm utc{};
  char buf[40];
  if (!gmtime_r(&t, &utc) || !std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc)) return "";
  return buf;
}

std::string ageText(double seconds) {
  long long s = seconds > 0 && seconds < 1e12 ? static_cast<long long>(seconds) : 0;
  char buf[64];
  if (s < 60)
    std::snprintf(buf, sizeof buf, "%lld s", s);
  else if (s < 3600)
    std::snprintf(buf, sizeof buf, "%lld min %02lld s", s / 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld h %02lld min", s / 3600, (s % 3600) / 60);
  return buf;
}

std::string statusLines(const Dict& d) {
  std::string out;
  auto line = [&](const char* key, const std::string& value) {
    out += key;
    out += ": ";
    out += value;
    out += '\n';
  };
  auto number = [&](const char* key) { return std::to_string(count(d, key)); };
  const std::string* item = text(d, kStatusCurrentItem);
  line("State", shown(text(d, kStatusState)));
  line("Current item", item && !item->empty() ? shown(item) : "none");
  line("Waiting", number(kStatusWaiting));
  line("Held back", number(kStatusHeldBack));
  auto oldest = seconds(d, kStatusOldestWaiting);
  line("Oldest waiting", oldest ? ageText(*oldest) : "none");
  line("Uploaded today", number(kStatusUploadedToday));
  line("Uploaded since start", number(kStatusUploadedSinceStart));
  auto success = seconds(d, kStatusLastSuccess);
  line("Last success",
       success ? isoTime(*success) + " " + shown(text(d, kStatusLastSuccessItem)) : "none");
  auto failure = seconds(d, kStatusLastFailure);
  line("Last failure", failure ? isoTime(*failure) + " " + shown(text(d, kStatusLastFailureItem)) +
                                     ": " + shown(text(d, kStatusLastFailureReason))
                               : "none");
  line("Problem folder", number(kStatusProblemFolder));
  return out;
}

std::string statusJson(const Dict& d) {
  auto number = [&](const char* key) { return std::to_string(count(d, key)); };
  std::string out = "{";
  out += "\"state\":" + quoted(text(d, kStatusState));
  out += ",\"current_item\":";
  const std::string* item = text(d, kStatusCurrentItem);
  out += item && !item->empty() ? quoted(item) : "null";
  out += ",\"waiting\":" + number(kStatusWaiting);
  out += ",\"held_back\":" + number(kStatusHeldBack);
  out += ",\"oldest_waiting_seconds\":";
  auto oldest = seconds(d, kStatusOldestWaiting);
  out += oldest ? std::to_string(static_cast<long long>(*oldest)) : "null";
  out += ",\"uploaded_today\":" + number(kStatusUploadedToday);
  out += ",\"uploaded_since_start\":" + number(kStatusUploadedSinceStart);
  out += ",\"bytes_uploaded\":" + number(kStatusBytesUploaded);
  out += ",\"last_success\":";
  auto success = seconds(d, kStatusLastSuccess);
  out += success ? "\"" + isoTime(*success) + "\"" : "null";
  out += ",\"last_failure\":";
  if (auto failure = seconds(d, kStatusLastFailure)) {
    out += "{\"time\":\"" + isoTime(*failure) +
           "\",\"item\":" + quoted(text(d, kStatusLastFailureItem)) +
           ",\"reason\":" + quoted(text(d, kStatusLastFailureReason)) + "}";
  } else {
    out += "null";
  }
  out += ",\"problem_folder\":" + number(kStatusProblemFolder);
  out += "}";
  return out;
}

}  // namespace sorv
