// The steps of the capture-date reader, over any byte source and with the moment's UTC offset
// given, so that tests and the fuzz target can drive them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "metadata/ByteSource.h"
#include "platform/Value.h"

namespace sorv {

enum class CaptureDateStatus {
  Ok,
  NoMetadata,      // not an image whose properties can be read
  NoDictionary,    // no such property dictionary ("{Exif}", "{TIFF}")
  NoProperty,      // the dictionary lacks the date property
  NoDateTimeText,  // no blank in the text, or a blank at its start
  NotConvertible,  // the joined text is not a valid date
};

// The date property of the image, read as local time at utcOffset ("+hhmm"/"-hhmm").
std::optional<Date> readCaptureDate(ByteSource& source, const std::string& dictionaryName,
                                    const std::string& propertyName, const std::string& utcOffset,
                                    CaptureDateStatus* status);

// "YYYY:MM:DD HH:MM:SS" and an offset to a date; nullopt as the steps above say.
std::optional<Date> captureDateFromText(std::string_view text, const std::string& utcOffset,
                                        CaptureDateStatus* status);

// The standard date text "YYYY-MM-DD HH:MM:SS +hhmm"; nullopt unless exactly of that form
// and a real calendar date and time.
std::optional<Date> dateFromStandardText(std::string_view text);

// The local UTC offset in force at the given moment, as "+hhmm" or "-hhmm".
std::string utcOffsetText(double secondsSince1970);

}  // namespace sorv
