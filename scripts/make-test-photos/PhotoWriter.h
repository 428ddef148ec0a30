// Writes deterministic test photos: JPEGs with an EXIF DateTimeOriginal and a UserComment
// holding the suite's property list, PNGs with the 2048-byte metadata trailer, and truncated
// copies. The same options always give the same bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorv::photos {

// The 8-byte character code put before a UserComment.
enum class CommentCode {
  Ascii,                // "ASCII\0\0\0", the text as is
  UnicodeLittleEndian,  // "UNICODE\0", the text as UTF-16LE without a BOM
  UnicodeBigEndian,     // "UNICODE\0", the text as UTF-16BE without a BOM
  Jis,                  // "JIS\0\0\0\0\0", the text as is (ASCII is valid ISO-2022-JP)
  Undefined,            // eight NUL bytes, the text as is
  None,                 // no code at all, the text as is
};

struct ExifOptions {
  std::optional<std::string> dateTimeOriginal;  // tag 0x9003, e.g. "2024:05:01 10:20:30"
  std::optional<std::string> userComment;       // tag 0x9286, UTF-8 text
  CommentCode commentCode = CommentCode::Ascii;
  bool bigEndian = false;  // TIFF byte order "MM" instead of "II"
};

// The APP1 payload ("Exif\0\0" then TIFF). Fixed layout, so tests can damage it on purpose:
// the TIFF header at payload offset 6; IFD0 at TIFF offset 8 with the one entry 0x8769 (its
// value, the EXIF IFD's offset, at TIFF offset 18); the EXIF IFD at TIFF offset 26 with its
// entries in tag order (0x9003 before 0x9286), values after it.
std::string exifApp1Payload(const ExifOptions& exif);

struct JpegOptions {
  int width = 64;  // 1 to 65500
  int height = 48;
  int quality = 85;
  bool progressive = false;
  std::optional<ExifOptions> exif;     // no EXIF segment when absent
  std::optional<std::string> rawApp1;  // written as the APP1 payload instead of exif
};

// The whole JPEG file; empty when the options are out of range.
std::string encodeJpeg(const JpegOptions& options);

struct PngOptions {
  int width = 64;  // 1 to 65500
  int height = 48;
  bool interlaced = false;
  std::optional<std::string> trailer;  // text appended after IEND, padded to 2048 bytes
  char padding = '\0';                 // '\0' or ' '
};

constexpr std::size_t kTrailerLength = 2048;

// The whole PNG file; empty when the options are out of range or the trailer text is longer
// than 2048 bytes.
std::string encodePng(const PngOptions& options);

// Writes bytes to path (replacing it); false on failure or when bytes is empty.
bool writeBytes(const std::string& path, const std::string& bytes);
bool writeJpeg(const std::string& path, const JpegOptions& options);
bool writePng(const std::string& path, const PngOptions& options);
// Copies the first keepBytes bytes of source to destination (all of it when shorter).
bool writeTruncatedCopy(const std::string& source, const std::string& destination,
                        std::uint64_t keepBytes);

}  // namespace sorv::photos
