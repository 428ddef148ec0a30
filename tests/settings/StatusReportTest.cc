// The status as sorvctl prints it: JSON escaping of any bytes, the two layouts, the health
// threshold's reading.
#include <gtest/gtest.h>

#include "settings/StatusReport.h"

namespace sorv {
namespace {

TEST(StatusReport, JsonEscapesEveryByteSafely) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"Event/IMG_1.jpg", "Event/IMG_1.jpg"},
      {"say \"hi\"\\", "say \\\"hi\\\"\\\\"},
      {std::string("a\tb\nc\x01\x7f", 7), "a\\u0009b\\u000ac\\u0001\\u007f"},
      {std::string("nul\0x", 5), "nul\\u0000x"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7"},
      {"bad \xff end", "bad \\ufffd end"},
      {"cut \xe2\x82", "cut \\ufffd\\ufffd"},            // a sequence cut short
      {"overlong \xc0\xaf", "overlong \\ufffd\\ufffd"},  // '/' in two bytes
      {"surrogate \xed\xa0\x80", "surrogate \\ufffd\\ufffd\\ufffd"},
      {"beyond \xf4\x90\x80\x80", "beyond \\ufffd\\ufffd\\ufffd\\ufffd"},
  };
  for (const auto& c : cases) EXPECT_EQ(jsonEscaped(c.in), c.out) << c.in;
}

TEST(StatusReport, LinesAndJsonOfAStatus) {
  Dict d{{kStatusState, "stopped by the site"},
         {kStatusCurrentItem, ""},
         {kStatusWaiting, 12},
         {kStatusHeldBack, 1},
         {kStatusOldestWaiting, 200.7},
         {kStatusUploadedToday, 40},
         {kStatusUploadedSinceStart, 52},
         {kStatusBytesUploaded, 123456789LL},
         {kStatusLastSuccess, 1.8e9},
         {kStatusLastSuccessItem, "Fair/IMG_1.jpg"},
         {kStatusLastFailure, 1.8e9 + 61},
         {kStatusLastFailureItem, "Fair/IMG\t\"2\".jpg"},
         {kStatusLastFailureReason, "ERROR: Account locked"},
         {kStatusProblemFolder, 1}};
  EXPECT_EQ(statusLines(d),
            "State: stopped by the site\n"
            "Current item: none\n"
            "Waiting: 12\n"
            "Held back: 1\n"
            "Oldest waiting: 3 min 20 s\n"
            "Uploaded today: 40\n"
            "Uploaded since start: 52\n"
            "Last success: 2027-01-15T08:00:00Z Fair/IMG_1.jpg\n"
            "Last failure: 2027-01-15T08:01:01Z Fair/IMG?\"2\".jpg: ERROR: Account locked\n"
            "Problem folder: 1\n");
  EXPECT_EQ(statusJson(d),
            "{\"state\":\"stopped by the site\",\"current_item\":null,\"waiting\":12,"
            "\"held_back\":1,\"oldest_waiting_seconds\":200,\"uploaded_today\":40,"
            "\"uploaded_since_start\":52,\"bytes_uploaded\":123456789,"
            "\"last_success\":\"2027-01-15T08:00:00Z\",\"last_failure\":{\"time\":"
            "\"2027-01-15T08:01:01Z\",\"item\":\"Fair/IMG\\u0009\\\"2\\\".jpg\","
            "\"reason\":\"ERROR: Account locked\"},\"problem_folder\":1}");

  // Nothing yet: no times, nulls in JSON.
  Dict empty{{kStatusState, "waiting"}};
  EXPECT_EQ(statusJson(empty),
            "{\"state\":\"waiting\",\"current_item\":null,\"waiting\":0,\"held_back\":0,"
            "\"oldest_waiting_seconds\":null,\"uploaded_today\":0,\"uploaded_since_start\":0,"
            "\"bytes_uploaded\":0,\"last_success\":null,\"last_failure\":null,"
            "\"problem_folder\":0}");
  EXPECT_NE(statusLines(empty).find("Last failure: none\n"), std::string::npos);
}

TEST(StatusReport, HealthMinutesAcceptOnlyPositiveNumbers) {
  struct Case {
    const char* text;
    double minutes;
  } cases[] = {{nullptr, 15}, {"", 15},
               {"30", 30},    {"0.05", 0.05},
               {"0", 15},     {"-5", 15},
               {"ten", 15},   {"10m", 15},
               {"nan", 15},   {"inf", 15},
               {"1e400", 15}, {" 20", 20},
               {"20 ", 15},   {"0000000000000000000000000000000000001", 15}};
  for (const auto& c : cases)
    EXPECT_DOUBLE_EQ(healthMinutesFromText(c.text), c.minutes) << (c.text ? c.text : "(null)");
}

}  // namespace
}  // namespace sorv
