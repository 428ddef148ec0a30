#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>

#include "metadata/CaptureDate.h"
#include "metadata/CaptureDateReader.h"
#include "platform/FileDates.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/support/FakeFileDates.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

// Sets TZ for the lifetime of the object.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

Date utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d;
  tm.tm_hour = h, tm.tm_min = mi, tm.tm_sec = s;
  return Date{static_cast<double>(timegm(&tm))};
}

std::string jpegWithDate(std::optional<std::string> date) {
  photos::JpegOptions o;
  if (date) {
    photos::ExifOptions exif;
    exif.dateTimeOriginal = std::move(date);
    o.exif = exif;
  }
  return photos::encodeJpeg(o);
}

TEST(CaptureDate, StandardDateText) {
  struct Case {
    const char* text;
    std::optional<Date> date;
  } cases[] = {
      {"2010-11-30 14:03:12 -0800", utc(2010, 11, 30, 22, 3, 12)},
      {"2010-11-30 14:03:12 +0000", utc(2010, 11, 30, 14, 3, 12)},
      {"2010-11-30 14:03:12 +0530", utc(2010, 11, 30, 8, 33, 12)},
      {"2012-02-29 00:00:00 +0000", utc(2012, 2, 29, 0, 0, 0)},
      {"1904-01-01 00:00:00 +0000", Date{-2082844800.0}},
      {"2011-02-29 00:00:00 +0000", std::nullopt},
      {"2010-13-01 00:00:00 +0000", std::nullopt},
      {"2010-11-30 24:00:00 +0000", std::nullopt},
      {"2010-11-30 14:03:12", std::nullopt},
      {"2010-11-30 14:03:12 0800", std::nullopt},
      {"2010-11-30 14:03:12 -0800 ", std::nullopt},
      {"2010:11:30 14:03:12 -0800", std::nullopt},
      {"10-11-30 14:03:12 -0800", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dateFromStandardText(c.text), c.date);
  }
}

TEST(CaptureDate, ExifTextReadAtTheCurrentOffset) {
  ScopedTimeZone tz("<-08>8");
  EXPECT_EQ(utcOffsetText(1.3e9), "-0800");
  {
    ScopedTimeZone india("<+0530>-5:30");
    EXPECT_EQ(utcOffsetText(1.3e9), "+0530");
  }
  test::TempDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<Date> date;
  } cases[] = {
      {"example", jpegWithDate("2010:11:30 14:03:12"), utc(2010, 11, 30, 22, 3, 12)},
      {"leading-blank", jpegWithDate(" 2010:11:30 14:03:12"), std::nullopt},
      {"no-blank", jpegWithDate("2010:11:30"), std::nullopt},
      {"empty", jpegWithDate(""), std::nullopt},
      {"not-a-date", jpegWithDate("sometime in autumn"), std::nullopt},
      {"extra-words", jpegWithDate("2010:11:30 14:03:12 PST"), std::nullopt},
      {"no-date-tag", jpegWithDate(std::nullopt), std::nullopt},
      {"png", photos::encodePng({}), std::nullopt},
      {"text", "hello", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.sub(c.name);
    ASSERT_TRUE(test::writeFile(path, c.bytes));
    EXPECT_EQ(GetInternalPictureCaptureDate(path, kCGImagePropertyExifDictionary,
                                            kCGImagePropertyExifDateTimeOriginal, false),
              c.date);
  }
  EXPECT_FALSE(GetInternalPictureCaptureDate(dir.sub("example"), "{Exif}", "Nonsense", false));
  EXPECT_FALSE(
      GetInternalPictureCaptureDate(dir.sub("example"), "{GPS}", "DateTimeOriginal", false));
}

TEST(CaptureDate, FileDatesWithTheZeroDateRule) {
  ScopedTimeZone tz("<-08>8");
  test::TempDir dir;
  test::ScopedFakeFileDates fake;
  const Date real = utc(2023, 3, 4, 5, 6, 7), modified = utc(2024, 1, 2, 3, 4, 5);
  const Date exif = utc(2010, 11, 30, 22, 3, 12);
  const Date zero1904{-2082844800.0}, zero1970{0.0};
  const std::string dated = jpegWithDate("2010:11:30 14:03:12");
  const std::string undated = jpegWithDate(std::nullopt);
  const std::string blankDate = jpegWithDate(" 14:03:12");

  struct Case {
    const char* name;
    std::string bytes;
    std::optional<Date> creation;
    bool useInternal, update, settable;
    Date expected;
    bool expectSetCall;
    const char* line = nullptr;  // a console line it writes
  } cases[] = {
      {"exif-first", dated, real, true, false, false, exif, false},
      {"exif-not-asked", dated, real, false, false, false, real, false},
      {"no-exif-real-creation", undated, real, true, false, false, real, false},
      {"png-real-creation", photos::encodePng({}), real, true, false, false, real, false},
      {"blank-date-text", blankDate, real, true, false, false, real, false},
      {"1904-no-update", undated, zero1904, true, false, false, modified, false,
       "fileCreationDate isEqualToDate: Jan 1, 1904"},
      {"1904-update-fails", undated, zero1904, true, true, false, modified, true,
       "FAILED in changing ZeroDate to FileModificationDate"},
      {"1904-update-works", undated, zero1904, false, true, true, modified, true,
       "Changed ZeroDate to FileModificationDate"},
      {"1970-no-update", undated, zero1970, false, false, false, modified, false},
      {"1970-update-fails", undated, zero1970, false, true, false, modified, true,
       "FAILED in changing ZeroDate2 to FileModificationDate"},
      {"none-recorded", undated, std::nullopt, false, true, false, modified, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.sub(c.name);
    ASSERT_TRUE(test::writeFile(path, c.bytes));
    fake.dates.set(path, c.creation, modified);
    fake.dates.allowSettingCreationDate(c.settable);
    const std::size_t callsBefore = fake.dates.setCalls().size();
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetAndUpdateFileCreationDate(path, c.useInternal, c.update), c.expected);
    const std::string console = testing::internal::GetCapturedStderr();
    if (c.line) {
      EXPECT_NE(console.find(c.line), std::string::npos) << console;
    }
    const auto calls = fake.dates.setCalls();
    ASSERT_EQ(calls.size() - callsBefore, c.expectSetCall ? 1u : 0u);
    if (c.expectSetCall) {
      EXPECT_EQ(calls.back(), std::make_pair(path, modified));
    }
  }
  EXPECT_FALSE(GetAndUpdateFileCreationDate(dir.sub("missing.jpg"), true, false));
}

TEST(CaptureDate, RealFileDatesFromStatx) {
  test::TempDir dir;
  const std::string path = dir.sub("p.jpg");
  ASSERT_TRUE(test::writeFile(path, "x"));
  std::optional<FileDateInfo> info = realFileDates().read(path);
  ASSERT_TRUE(info);
  const double now = static_cast<double>(std::time(nullptr));
  EXPECT_NEAR(info->modification.secondsSince1970, now, 86400);
  if (info->creation) {
    EXPECT_NEAR(info->creation->secondsSince1970, now, 86400);
  }
  std::optional<Date> d = GetAndUpdateFileCreationDate(path, false, true);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, info->creation ? *info->creation : info->modification);
  EXPECT_FALSE(realFileDates().setCreationDate(path, Date{0}));
  EXPECT_FALSE(realFileDates().read(dir.sub("missing")));
}

}  // namespace
}  // namespace sorv
