// Time per file of the metadata readers and of IsValidImageObject on a 12-megapixel JPEG and
// a large PNG, against a plain full decode with the same libraries. Prints its figures.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
#include <png.h>
// clang-format on

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "metadata/CaptureDate.h"
#include "metadata/ItemRules.h"
#include "metadata/PhotoMetadata.h"
#include "platform/Plist.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

// Mean milliseconds per call over at least `runs` calls and a quarter second.
double msPerCall(int runs, const std::function<void()>& f) {
  f();  // warm the page cache
  int n = 0;
  const auto start = Clock::now();
  auto now = start;
  while (n < runs || now - start < std::chrono::milliseconds(250)) {
    f();
    ++n;
    now = Clock::now();
  }
  return std::chrono::duration<double, std::milli>(now - start).count() / n;
}

bool plainJpegDecode(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, f);
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  std::vector<JSAMPLE> row(cinfo.output_width * cinfo.output_components);
  JSAMPROW r = row.data();
  while (cinfo.output_scanline < cinfo.output_height) jpeg_read_scanlines(&cinfo, &r, 1);
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::fclose(f);
  return true;
}

bool plainPngDecode(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
  const bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

// Console lines go to /dev/null while the readers that write them are timed.
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(2)) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
  }
  ~QuietStderr() {
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  int saved_;
};

}  // namespace

int main() {
  namespace fs = std::filesystem;
  sorv::test::TempDir tmp(sorv::test::TempDir::kDisk, "sorvbench");
  const std::string dir = tmp.path();
  setenv("SORV_LOG_DIR", (dir + "/logs").c_str(), 1);
  setenv("SORV_DEFAULTS", (dir + "/defaults.plist").c_str(), 1);

  const std::string block = sorv::plist::toXml(sorv::Value(sorv::Dict{
      {"Version", "1"},
      {"OriginalPath", "/Volumes/Kiosk/Originals/AB12_0001.jpg"},
      {"QM_emailsForUpload", sorv::Array{"a@example.com"}},
      {"SittingInfoDictionary", sorv::Dict{{"sittingid", "AB12"}}},
  }));
  const std::string jpeg = dir + "/12mp.jpg", png = dir + "/large.png";
  sorv::photos::JpegOptions jo;
  jo.width = 4000, jo.height = 3000, jo.quality = 90;
  jo.exif = sorv::photos::ExifOptions{"2010:11:30 14:03:12", block};
  sorv::photos::PngOptions po;
  po.width = 4000, po.height = 3000, po.trailer = block;
  std::printf("writing a %dx%d JPEG and a %dx%d PNG...\n", jo.width, jo.height, po.width,
              po.height);
  if (!sorv::photos::writeJpeg(jpeg, jo) || !sorv::photos::writePng(png, po)) return 1;
  std::printf("JPEG %.1f MB, PNG %.1f MB\n\n", fs::file_size(jpeg) / 1e6, fs::file_size(png) / 1e6);

  struct Row {
    const char* name;
    int runs;
    std::function<void()> f;
  };
  const Row rows[] = {
      {"getSorvMetaDataFromJpeg (12 MP JPEG)", 2000, [&] { sorv::getSorvMetaDataFromJpeg(jpeg); }},
      {"readUserCommentPropertyList (12 MP JPEG)", 2000,
       [&] { sorv::readUserCommentPropertyList(jpeg); }},
      {"GetInternalPictureCaptureDate (12 MP JPEG)", 2000,
       [&] { sorv::GetInternalPictureCaptureDate(jpeg, "{Exif}", "DateTimeOriginal", false); }},
      {"getSorvMetaDataFromPng (large PNG)", 2000, [&] { sorv::getSorvMetaDataFromPng(png); }},
      {"IsValidImageObject (12 MP JPEG, DCT 1/8)", 5, [&] { sorv::IsValidImageObject(jpeg); }},
      {"plain libjpeg full decode (12 MP JPEG)", 5, [&] { plainJpegDecode(jpeg); }},
      {"IsValidImageObject (large PNG)", 3, [&] { sorv::IsValidImageObject(png); }},
      {"plain libpng full decode (large PNG)", 3, [&] { plainPngDecode(png); }},
  };
  std::printf("%-46s %12s\n", "operation", "ms per file");
  for (const Row& row : rows) {
    double ms;
    {
      QuietStderr quiet;
      ms = msPerCall(row.runs, row.f);
    }
    std::printf("%-46s %12.4f\n", row.name, ms);
  }
  return 0;
}
