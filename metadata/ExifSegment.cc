#include "metadata/ExifSegment.h"

#include <libexif/exif-data.h>

#include <cstring>
#include <memory>

namespace sorv {

namespace {

constexpr char kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
// A JPEG has a handful of segments before its first scan; this only stops hostile files.
constexpr int kMaxSegments = 4096;
constexpr int kMaxFillBytes = 4096;

bool isStandaloneMarker(std::uint8_t m) {
  return m == 0x01 || (m >= 0xD0 && m <= 0xD8);
}

std::optional<std::string> entryText(ExifEntry* e) {
  if (!e || !e->data) return std::nullopt;
  const char* p = reinterpret_cast<const char*>(e->data);
  std::size_t n = strnlen(p, e->size);
  return std::string(p, n);
}

struct ExifDataDeleter {
  void operator()(ExifData* d) const { exif_data_unref(d); }
};

}  // namespace

std::optional<std::string> readExifApp1(ByteSource& source) {
  std::uint8_t soi[2];
  if (!source.readExact(0, soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8) return std::nullopt;
  std::uint64_t pos = 2;
  for (int segment = 0; segment < kMaxSegments; ++segment) {
    std::uint8_t b;
    if (!source.readExact(pos, &b, 1) || b != 0xFF) return std::nullopt;
    int fills = 0;
    do {
      if (++fills > kMaxFillBytes || !source.readExact(++pos, &b, 1)) return std::nullopt;
    } while (b == 0xFF);
    const std::uint8_t marker = b;
    ++pos;
    if (isStandaloneMarker(marker)) continue;
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // end of image, start of scan
    std::uint8_t len[2];
    if (!source.readExact(pos, len, 2)) return std::nullopt;
    const std::size_t length = (std::size_t{len[0]} << 8) | len[1];
    if (length < 2) return std::nullopt;
    if (marker == 0xE1 && length - 2 >= sizeof kExifHeader) {
      char header[sizeof kExifHeader];
      if (!source.readExact(pos + 2, header, sizeof header)) return std::nullopt;
      if (std::memcmp(header, kExifHeader, sizeof header) == 0) {
        std::string payload(length - 2, '\0');
        if (!source.readExact(pos + 2, payload.data(), payload.size())) return std::nullopt;
        return payload;
      }
    }
    pos += length;
  }
  return std::nullopt;
}

std::optional<ExifFields> parseExifApp1(const std::string& payload) {
  std::unique_ptr<ExifData, ExifDataDeleter> data(exif_data_new());
  if (!data) return std::nullopt;
  // Read the entries as written: no dropping of unknown tags, no "fixing" of the comment.
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(data.get(), reinterpret_cast<const unsigned char*>(payload.data()),
                      static_cast<unsigned int>(payload.size()));

  ExifFields fields;
  fields.bigEndian = exif_data_get_byte_order(data.get()) == EXIF_BYTE_ORDER_MOTOROLA;
  bool any = false;
  for (int i = 0; i < EXIF_IFD_COUNT; ++i) any = any || data->ifd[i]->count > 0;
  if (!any) return std::nullopt;

  ExifContent* exif = data->ifd[EXIF_IFD_EXIF];
  fields.hasTiffEntries = data->ifd[EXIF_IFD_0]->count > 0;
  fields.hasExifEntries = exif->count > 0;
  if (ExifEntry* e = exif_content_get_entry(exif, EXIF_TAG_USER_COMMENT); e && e->data)
    fields.userComment.emplace(e->data, e->data + e->size);
  fields.dateTimeOriginal = entryText(exif_content_get_entry(exif, EXIF_TAG_DATE_TIME_ORIGINAL));
  fields.dateTimeDigitized = entryText(exif_content_get_entry(exif, EXIF_TAG_DATE_TIME_DIGITIZED));
  fields.dateTime = entryText(exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_DATE_TIME));
  return fields;
}

}  // namespace sorv
