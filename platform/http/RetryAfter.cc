// Retry-After: how long a site that answers 429 or 503 asks its clients to wait.
#include <curl/curl.h>
#include <strings.h>

#include <string>

#include "platform/http/HttpTransport.h"

namespace sorv {

std::optional<double> retryAfterSeconds(std::string_view value, double now) {
  constexpr std::size_t kMaxValueBytes = 64;
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty() || value.size() > kMaxValueBytes) return std::nullopt;
  if (value.find_first_not_of("0123456789") == std::string_view::npos) {
    // Seconds; more digits than any wait worth keeping are read as a long one.
    if (value.size() > 10) return 9999999999.0;
    double seconds = 0;
    for (char c : value) seconds = seconds * 10 + (c - '0');
    return seconds;
  }
  // An HTTP date (IMF-fixdate, RFC 850 or asctime), which has letters and a time of day.
  if (value.find(':') == std::string_view::npos || value.find_first_of("0123456789") == 0)
    return std::nullopt;
  const std::string text(value);
  time_t at = curl_getdate(text.c_str(), nullptr);
  if (at == static_cast<time_t>(-1)) return std::nullopt;
  double wait = static_cast<double>(at) - now;
  return wait > 0 ? wait : 0;
}

std::optional<double> retryAfterSeconds(const HttpHeaders& headers, double now) {
  for (const auto& [name, value] : headers)
    if (strcasecmp(name.c_str(), "Retry-After") == 0) return retryAfterSeconds(value, now);
  return std::nullopt;
}

}  // namespace sorv
