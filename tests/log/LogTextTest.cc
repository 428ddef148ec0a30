// What a site's reply may add to a log line.
#include <gtest/gtest.h>

#include "log/LogText.h"

namespace sorv {
namespace {

TEST(LogText, LongRepliesAreClipped) {
  const std::string big(1 << 20, 'x');
  struct Row {
    const char* what;
    std::string text;
    std::size_t limit;
    std::string expected;
  } rows[] = {
      {"short", "FAIL", 8, "FAIL"},
      {"exactly the limit", "12345678", 8, "12345678"},
      {"one byte over", "123456789", 8, "12345678... (1 byte more)"},
      {"a character across the cut", "1234567\xc3\xa9z", 8, "1234567... (3 bytes more)"},
      {"a megabyte", big, kMaxLoggedReplyBytes, big.substr(0, 4096) + "... (1044480 bytes more)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(clippedForLog(row.text, row.limit), row.expected);
  }
}

}  // namespace
}  // namespace sorv
