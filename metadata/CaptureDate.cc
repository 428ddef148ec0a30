#include "metadata/CaptureDate.h"

#include <ctime>

#include "log/MessageLog.h"
#include "metadata/CaptureDateReader.h"
#include "metadata/ExifSegment.h"
#include "metadata/ImageDecode.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileDates.h"

namespace sorv {

const char* const kCGImagePropertyExifDictionary = "{Exif}";
const char* const kCGImagePropertyTIFFDictionary = "{TIFF}";
const char* const kCGImagePropertyExifDateTimeOriginal = "DateTimeOriginal";
const char* const kCGImagePropertyExifDateTimeDigitized = "DateTimeDigitized";
const char* const kCGImagePropertyTIFFDateTime = "DateTime";

namespace {

// 1904-01-01 and 1970-01-01 00:00:00 +0000: creation dates that were never set.
constexpr Date kZeroDate1904{-2082844800.0};
constexpr Date kZeroDate1970{0.0};

bool takeDigits(std::string_view& s, std::size_t count, int* value) {
  if (s.size() < count) return false;
  int v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  s.remove_prefix(count);
  *value = v;
  return true;
}

bool takeChar(std::string_view& s, char c) {
  if (s.empty() || s[0] != c) return false;
  s.remove_prefix(1);
  return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long daysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int daysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

std::optional<std::string> exifDateText(const ExifFields& fields, const std::string& dictionary,
                                        const std::string& property, bool* hasDictionary) {
  if (dictionary == kCGImagePropertyExifDictionary) {
    *hasDictionary = fields.hasExifEntries;
    if (property == kCGImagePropertyExifDateTimeOriginal) return fields.dateTimeOriginal;
    if (property == kCGImagePropertyExifDateTimeDigitized) return fields.dateTimeDigitized;
  } else if (dictionary == kCGImagePropertyTIFFDictionary) {
    *hasDictionary = fields.hasTiffEntries;
    if (property == kCGImagePropertyTIFFDateTime) return fields.dateTime;
  } else {
    *hasDictionary = false;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Date> dateFromStandardText(std::string_view s) {
  int year, month, day, hour, minute, second, offHours, offMinutes;
  if (!takeDigits(s, 4, &year) || !takeChar(s, '-') || !takeDigits(s, 2, &month) ||
      !takeChar(s, '-') || !takeDigits(s, 2, &day) || !takeChar(s, ' ') ||
      !takeDigits(s, 2, &hour) || !takeChar(s, ':') || !takeDigits(s, 2, &minute) ||
      !takeChar(s, ':') || !takeDigits(s, 2, &second) || !takeChar(s, ' ') || s.empty()) {
    return std::nullopt;
  }
  const char sign = s[0];
  s.remove_prefix(1);
  if ((sign != '+' && sign != '-') || !takeDigits(s, 2, &offHours) ||
      !takeDigits(s, 2, &offMinutes) || !s.empty()) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59 || offHours > 23 || offMinutes > 59) {
    return std::nullopt;
  }
  const long long offset = (sign == '-' ? -1 : 1) * (offHours * 3600LL + offMinutes * 60LL);
  const long long local =
      daysFromCivil(year, month, day) * 86400LL + hour * 3600LL + minute * 60LL + second;
  return Date{static_cast<double>(local - offset)};
}

std::string utcOffsetText(double secondsSince1970) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm local{};
  if (!localtime_r(&t, &local)) return "+0000";
  long offset = local.tm_gmtoff;
  const char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  return stringWithFormat("%c%02ld%02ld", sign, offset / 3600, (offset / 60) % 60);
}

std::optional<Date> captureDateFromText(std::string_view text, const std::string& utcOffset,
                                        CaptureDateStatus* status) {
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos || blank == 0) {
    *status = CaptureDateStatus::NoDateTimeText;
    return std::nullopt;
  }
  std::string datePart(text.substr(0, blank));
  for (char& c : datePart) {
    if (c == ':') c = '-';
  }
  const std::string joined = datePart + " " + std::string(text.substr(blank + 1)) + " " + utcOffset;
  std::optional<Date> date = dateFromStandardText(joined);
  *status = date ? CaptureDateStatus::Ok : CaptureDateStatus::NotConvertible;
  return date;
}

std::optional<Date> readCaptureDate(ByteSource& source, const std::string& dictionaryName,
                                    const std::string& propertyName, const std::string& utcOffset,
                                    CaptureDateStatus* status) {
  const ImageKind kind = sniffImageKind(source);
  if (kind == ImageKind::Unknown) {
    *status = CaptureDateStatus::NoMetadata;
    return std::nullopt;
  }
  std::optional<ExifFields> fields;
  if (kind == ImageKind::Jpeg) {
    if (std::optional<std::string> app1 = readExifApp1(source)) fields = parseExifApp1(*app1);
  }
  bool hasDictionary = false;
  std::optional<std::string> text =
      fields ? exifDateText(*fields, dictionaryName, propertyName, &hasDictionary) : std::nullopt;
  if (!hasDictionary) {
    *status = CaptureDateStatus::NoDictionary;
    return std::nullopt;
  }
  if (!text) {
    *status = CaptureDateStatus::NoProperty;
    return std::nullopt;
  }
  return captureDateFromText(*text, utcOffset, status);
}

std::optional<Date> GetInternalPictureCaptureDate(const std::string& path,
                                                  const std::string& dictionaryName,
                                                  const std::string& propertyName, bool) {
  const std::string prefix =
      stringWithFormat("GetInternalPictureCaptureDate for %s with {%s} =>", path.c_str(),
                       (dictionaryName + "," + propertyName).c_str());
  std::unique_ptr<FileSource> file = FileSource::open(path);
  if (!file) {
    NSLog("%s GetInternalPictureCaptureDate => CGImageSourceCreateWithURL returned NIL",
          prefix.c_str());
    return std::nullopt;
  }
  CaptureDateStatus status;
  std::optional<Date> date = readCaptureDate(*file, dictionaryName, propertyName,
                                             utcOffsetText(defaultClock().wallNow()), &status);
  switch (status) {
    case CaptureDateStatus::Ok:
    case CaptureDateStatus::NotConvertible:
      break;
    case CaptureDateStatus::NoMetadata:
      NSLog("%s There is NO MetaData in this Image File...", prefix.c_str());
      break;
    case CaptureDateStatus::NoDictionary:
      NSLog("%s This Image File Does NOT have any %s Properties MetaData...", prefix.c_str(),
            dictionaryName.c_str());
      break;
    case CaptureDateStatus::NoProperty:
      NSLog("%s GetInternalPictureCaptureDate => kCGImagePropertyTIFFDateTime FAILED????",
            prefix.c_str());
      break;
    case CaptureDateStatus::NoDateTimeText:
      NSLog("%s This File may NOT have a valid date/time field...", prefix.c_str());
      break;
  }
  return date;
}

std::optional<Date> GetAndUpdateFileCreationDate(const std::string& path, bool useInternalDate,
                                                 bool updateFile) {
  NSLog("Inside GetAndUpdateFileCreationDate...");
  if (useInternalDate) {
    if (std::optional<Date> d =
            GetInternalPictureCaptureDate(path, kCGImagePropertyExifDictionary,
                                          kCGImagePropertyExifDateTimeOriginal, updateFile)) {
      return d;
    }
  }
  NSLog(
      "GetAndUpdateFileCreationDate -> Image File did NOT contain MetaTag Data for Internal "
      "Creation Date...");
  FileDates& dates = defaultFileDates();
  std::optional<FileDateInfo> info = dates.read(path);
  if (!info) {
    NSLog("GetAndUpdateFileCreationDate -> file may NOT exist anymore?????");
    return std::nullopt;
  }

  Date result;
  if (!info->creation) {
    // The file system records no birth time: as good as a zero date, and one that cannot be
    // set either.
    NSLog(
        "GetAndUpdateFileCreationDate -> no creation date recorded, using "
        "FileModificationDate");
    result = info->modification;
  } else if (*info->creation == kZeroDate1904 || *info->creation == kZeroDate1970) {
    const bool is1904 = *info->creation == kZeroDate1904;
    if (is1904) {
      NSLog("fileCreationDate isEqualToDate: Jan 1, 1904\n");
      myPrintfDebug("fileCreationDate isEqualToDate: Jan 1, 1904\n");
    } else {
      myPrintfDebug("fileCreationDate isEqualToDate: Jan 1, 1970\n");
    }
    if (updateFile) {
      // On Linux no file system call sets a birth time, so the real FileDates always fails
      // here and the file keeps its creation date.
      const bool changed = dates.setCreationDate(path, info->modification);
      const char* line = changed
                             ? (is1904 ? "Changed ZeroDate to FileModificationDate\n"
                                       : "Changed ZeroDate2 to FileModificationDate\n")
                             : (is1904 ? "FAILED in changing ZeroDate to FileModificationDate\n"
                                       : "FAILED in changing ZeroDate2 to FileModificationDate\n");
      NSLog("%s", line);
      myPrintfDebug(line);
    }
    result = info->modification;
  } else {
    result = *info->creation;
  }
  NSLog("Returning Creation Date of: [%s]", Value(result).description().c_str());
  return result;
}

}  // namespace sorv
