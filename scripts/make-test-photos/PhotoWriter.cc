#include "scripts/make-test-photos/PhotoWriter.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <csetjmp>
#include <jpeglib.h>
#include <png.h>
// clang-format on

#include <cstdlib>
#include <fstream>
#include <vector>

namespace sorv::photos {

namespace {

bool sizeInRange(int w, int h) {
  return w >= 1 && h >= 1 && w <= 65500 && h <= 65500;
}

// A gradient with hashed noise, so that large images are about as big as photos.
void fillRow(std::vector<std::uint8_t>& row, int y, int width, int height) {
  for (int x = 0; x < width; ++x) {
    std::uint32_t h =
        static_cast<std::uint32_t>(x) * 0x9E3779B1u ^ static_cast<std::uint32_t>(y) * 0x85EBCA77u;
    h ^= h >> 15;
    row[3 * x] = static_cast<std::uint8_t>((x * 255 / width) ^ (h & 0x3F));
    row[3 * x + 1] = static_cast<std::uint8_t>((y * 255 / height) ^ ((h >> 8) & 0x3F));
    row[3 * x + 2] = static_cast<std::uint8_t>(128 + ((h >> 16) & 0x3F));
  }
}

class TiffWriter {
 public:
  explicit TiffWriter(bool bigEndian) : big_(bigEndian) {}
  void u16(std::uint32_t v) {
    if (big_) {
      put(v >> 8), put(v);
    } else {
      put(v), put(v >> 8);
    }
  }
  void u32(std::uint32_t v) {
    if (big_) {
      u16(v >> 16), u16(v & 0xFFFF);
    } else {
      u16(v & 0xFFFF), u16(v >> 16);
    }
  }
  void bytes(const std::string& b) { out_ += b; }
  std::size_t size() const { return out_.size(); }
  std::string& out() { return out_; }

 private:
  void put(std::uint32_t b) { out_ += static_cast<char>(b & 0xFF); }
  bool big_;
  std::string out_;
};

std::string utf8ToUtf16(const std::string& s, bool bigEndian) {
  std::string out;
  auto unit = [&](std::uint32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  };
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    std::uint32_t c = b;
    std::size_t len = 1;
    if (b >= 0xF0) {
      c = b & 0x07, len = 4;
    } else if (b >= 0xE0) {
      c = b & 0x0F, len = 3;
    } else if (b >= 0xC0) {
      c = b & 0x1F, len = 2;
    }
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k)
      c = (c << 6) | (static_cast<std::uint8_t>(s[i + k]) & 0x3F);
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(0xD800 + (c >> 10));
      unit(0xDC00 + (c & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

std::string commentBytes(const ExifOptions& exif) {
  const std::string& text = *exif.userComment;
  switch (exif.commentCode) {
    case CommentCode::Ascii:
      return std::string("ASCII\0\0\0", 8) + text;
    case CommentCode::UnicodeLittleEndian:
      return std::string("UNICODE\0", 8) + utf8ToUtf16(text, false);
    case CommentCode::UnicodeBigEndian:
      return std::string("UNICODE\0", 8) + utf8ToUtf16(text, true);
    case CommentCode::Jis:
      return std::string("JIS\0\0\0\0\0", 8) + text;
    case CommentCode::Undefined:
      return std::string(8, '\0') + text;
    case CommentCode::None:
      break;
  }
  return text;
}

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Holds no objects with destructors: a libjpeg error jumps back into it.
bool compressJpeg(jpeg_compress_struct* cinfo, JpegError* err, const JpegOptions& o,
                  const std::string* app1, std::vector<std::uint8_t>* row, unsigned char** out,
                  unsigned long* outSize) {
  if (setjmp(err->jump)) return false;
  jpeg_create_compress(cinfo);
  jpeg_mem_dest(cinfo, out, outSize);
  cinfo->image_width = static_cast<JDIMENSION>(o.width);
  cinfo->image_height = static_cast<JDIMENSION>(o.height);
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, o.quality, TRUE);
  if (o.progressive) jpeg_simple_progression(cinfo);
  if (app1) cinfo->write_JFIF_header = FALSE;  // cameras put the EXIF segment first
  jpeg_start_compress(cinfo, TRUE);
  if (app1) {
    jpeg_write_marker(cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(app1->data()),
                      static_cast<unsigned>(app1->size()));
  }
  while (cinfo->next_scanline < cinfo->image_height) {
    fillRow(*row, static_cast<int>(cinfo->next_scanline), o.width, o.height);
    JSAMPROW r = row->data();
    jpeg_write_scanlines(cinfo, &r, 1);
  }
  jpeg_finish_compress(cinfo);
  return true;
}

struct PngSink {
  std::string bytes;
};

void pngWrite(png_structp png, png_bytep data, png_size_t length) {
  static_cast<PngSink*>(png_get_io_ptr(png))->bytes.append(reinterpret_cast<char*>(data), length);
}
void pngFlush(png_structp) {}
void pngError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}

// Holds no objects with destructors: a libpng error jumps back into it.
bool compressPng(png_structp png, png_infop info, const PngOptions& o, PngSink* sink,
                 std::vector<std::uint8_t>* row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, pngWrite, pngFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(o.width), static_cast<png_uint_32>(o.height), 8,
               PNG_COLOR_TYPE_RGB, o.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < o.height; ++y) {
      fillRow(*row, y, o.width, o.height);
      png_write_row(png, row->data());
    }
  }
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

std::string exifApp1Payload(const ExifOptions& exif) {
  TiffWriter w(exif.bigEndian);
  w.bytes(exif.bigEndian ? std::string("MM\0*", 4) : std::string("II*\0", 4));
  w.u32(8);
  // IFD0: only the pointer to the EXIF IFD.
  w.u16(1);
  w.u16(0x8769), w.u16(4), w.u32(1), w.u32(26);
  w.u32(0);

  struct Entry {
    std::uint16_t tag, type;
    std::string value;
  };
  std::vector<Entry> entries;
  if (exif.dateTimeOriginal)
    entries.push_back({0x9003, 2, *exif.dateTimeOriginal + std::string(1, '\0')});
  if (exif.userComment) entries.push_back({0x9286, 7, commentBytes(exif)});

  std::size_t dataOffset = 26 + 2 + 12 * entries.size() + 4;
  std::string data;
  w.u16(static_cast<std::uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    w.u16(e.tag), w.u16(e.type), w.u32(static_cast<std::uint32_t>(e.value.size()));
    if (e.value.size() <= 4) {
      w.bytes(e.value + std::string(4 - e.value.size(), '\0'));
    } else {
      w.u32(static_cast<std::uint32_t>(dataOffset + data.size()));
      data += e.value;
      if (data.size() % 2) data += '\0';
    }
  }
  w.u32(0);
  w.bytes(data);
  return std::string("Exif\0\0", 6) + w.out();
}

std::string encodeJpeg(const JpegOptions& o) {
  if (!sizeInRange(o.width, o.height) || o.quality < 1 || o.quality > 100) return {};
  std::optional<std::string> app1 = o.rawApp1;
  if (!app1 && o.exif) app1 = exifApp1Payload(*o.exif);
  if (app1 && app1->size() > 65533) return {};

  jpeg_compress_struct cinfo{};
  JpegError err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = jpegErrorExit;
  std::vector<std::uint8_t> row(static_cast<std::size_t>(o.width) * 3);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  const bool ok = compressJpeg(&cinfo, &err, o, app1 ? &*app1 : nullptr, &row, &out, &outSize);
  jpeg_destroy_compress(&cinfo);
  std::string bytes = ok && out ? std::string(reinterpret_cast<char*>(out), outSize) : "";
  free(out);
  return bytes;
}

std::string encodePng(const PngOptions& o) {
  if (!sizeInRange(o.width, o.height)) return {};
  if (o.trailer && o.trailer->size() > kTrailerLength) return {};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, nullptr);
  if (!png) return {};
  png_infop info = png_create_info_struct(png);
  PngSink sink;
  std::vector<std::uint8_t> row(static_cast<std::size_t>(o.width) * 3);
  const bool ok = info && compressPng(png, info, o, &sink, &row);
  png_destroy_write_struct(&png, info ? &info : nullptr);
  if (!ok) return {};
  if (o.trailer) {
    sink.bytes += *o.trailer;
    sink.bytes.append(kTrailerLength - o.trailer->size(), o.padding);
  }
  return sink.bytes;
}

bool writeBytes(const std::string& path, const std::string& bytes) {
  if (bytes.empty()) return false;
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f.flush());
}

bool writeJpeg(const std::string& path, const JpegOptions& options) {
  return writeBytes(path, encodeJpeg(options));
}

bool writePng(const std::string& path, const PngOptions& options) {
  return writeBytes(path, encodePng(options));
}

bool writeTruncatedCopy(const std::string& source, const std::string& destination,
                        std::uint64_t keepBytes) {
  std::ifstream in(source, std::ios::binary);
  if (!in) return false;
  std::string bytes(static_cast<std::size_t>(keepBytes), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace sorv::photos
