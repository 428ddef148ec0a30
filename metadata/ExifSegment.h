// Locating a JPEG's EXIF APP1 segment by walking its segment headers, and reading the few
// EXIF fields the agent uses from that segment alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "metadata/ByteSource.h"

namespace sorv {

// The payload of the first APP1 segment that starts with "Exif\0\0" (at most 65533 bytes),
// found before the first scan; nullopt when the source is not a JPEG or has none. Reads the
// segment headers only, never the image data.
std::optional<std::string> readExifApp1(ByteSource& source);

struct ExifFields {
  bool bigEndian = false;                                // the TIFF byte order of the segment
  bool hasTiffEntries = false;                           // IFD0 holds entries
  bool hasExifEntries = false;                           // the EXIF sub-IFD holds entries
  std::optional<std::vector<std::uint8_t>> userComment;  // tag 0x9286, raw with its code prefix
  std::optional<std::string> dateTimeOriginal;           // tag 0x9003, up to its first NUL
  std::optional<std::string> dateTimeDigitized;          // tag 0x9004
  std::optional<std::string> dateTime;                   // tag 0x0132 in IFD0
};

// Parses an APP1 payload (with its "Exif\0\0" header) through libexif. Entries whose counts or
// offsets pass the segment's end are dropped and IFD loops are cut off; nullopt when the
// payload holds no TIFF structure at all.
std::optional<ExifFields> parseExifApp1(const std::string& payload);

}  // namespace sorv
