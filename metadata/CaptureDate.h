// Capture dates from EXIF and file dates with the zero-date rule.
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

// Names of the property dictionaries and date properties the reader knows.
extern const char* const kCGImagePropertyExifDictionary;         // "{Exif}"
extern const char* const kCGImagePropertyTIFFDictionary;         // "{TIFF}"
extern const char* const kCGImagePropertyExifDateTimeOriginal;   // "DateTimeOriginal" (0x9003)
extern const char* const kCGImagePropertyExifDateTimeDigitized;  // "DateTimeDigitized" (0x9004)
extern const char* const kCGImagePropertyTIFFDateTime;           // "DateTime" (0x0132)

// The EXIF date (DateTimeOriginal for dictionary "{Exif}", property "DateTimeOriginal"),
// read as local time at the UTC offset in force now; nullopt when absent or malformed.
std::optional<Date> GetInternalPictureCaptureDate(const std::string& path,
                                                  const std::string& dictionaryName,
                                                  const std::string& propertyName, bool flag);
// The item's date: with useInternalDate the EXIF capture time first; else / otherwise its
// creation date, where a zero date (1904-01-01 or 1970-01-01 UTC, or none recorded) gives
// the modification date. nullopt when the file has no readable dates.
std::optional<Date> GetAndUpdateFileCreationDate(const std::string& path, bool useInternalDate,
                                                 bool updateFile);

}  // namespace sorv
