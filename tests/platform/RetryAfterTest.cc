// Retry-After as a busy site sends it: seconds or any of HTTP's three date forms; anything else
// asks for nothing.
#include <gtest/gtest.h>

#include "platform/http/HttpTransport.h"

namespace sorv {
namespace {

TEST(RetryAfter, SecondsAndHttpDates) {
  const double date = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  const struct {
    const char* value;
    double now;
    std::optional<double> wait;
  } rows[] = {
      {"120", 0, 120},
      {" 0 ", 0, 0},
      {"007", 0, 7},
      {"99999999999999", 0, 9999999999.0},  // longer than any wait: read as a long one
      {"Sun, 06 Nov 1994 08:49:37 GMT", date - 90, 90},
      {"Sunday, 06-Nov-94 08:49:37 GMT", date - 90, 90},  // RFC 850
      {"Sun Nov  6 08:49:37 1994", date - 90, 90},        // asctime
      {"Sun, 06 Nov 1994 08:49:37 GMT", date + 5, 0},     // passed already
      {"", 0, std::nullopt},
      {"-5", 0, std::nullopt},
      {"1.5", 0, std::nullopt},
      {"120 seconds", 0, std::nullopt},
      {"soon", 0, std::nullopt},
      {"Sun, 06 Nov", 0, std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 GMT and a lot more text after the date itself", date - 90,
       std::nullopt},  // longer than 64 bytes
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(retryAfterSeconds(r.value, r.now), r.wait);
  }
  HttpHeaders headers{{"Content-Type", "text/xml"}, {"retry-after", "30"}, {"Retry-After", "60"}};
  EXPECT_EQ(retryAfterSeconds(headers, 0), 30);
  EXPECT_EQ(retryAfterSeconds(HttpHeaders{{"Server", "x"}}, 0), std::nullopt);
}

}  // namespace
}  // namespace sorv
