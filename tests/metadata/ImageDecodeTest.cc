#include <gtest/gtest.h>
#include <sys/stat.h>

#include "metadata/CaptureDate.h"
#include "metadata/ImageDecode.h"
#include "metadata/ItemRules.h"
#include "metadata/PhotoMetadata.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

std::string jpeg(bool progressive = false) {
  photos::JpegOptions o;
  o.width = 300, o.height = 200, o.progressive = progressive;
  photos::ExifOptions exif;
  exif.dateTimeOriginal = "2024:05:01 10:20:30";
  o.exif = exif;
  return photos::encodeJpeg(o);
}

std::string png(bool interlaced = false, bool trailer = false) {
  photos::PngOptions o;
  o.width = 300, o.height = 200, o.interlaced = interlaced;
  if (trailer) o.trailer = "<plist version=\"1.0\"><dict/></plist>";
  return photos::encodePng(o);
}

std::string cut(const std::string& s, double fraction) {
  return s.substr(0, static_cast<std::size_t>(s.size() * fraction));
}

// One byte of a PNG chunk's data changed, so that its CRC no longer matches.
std::string withBadCrc(std::string s, const char* chunk) {
  const std::size_t at = s.find(chunk);
  s[at + 6] = static_cast<char>(s[at + 6] ^ 0x01);
  return s;
}

TEST(ImageValidity, CompleteImagesPassAndDamagedOnesFail) {
  test::TempDir dir;
  const std::string j = jpeg(), pj = jpeg(true), p = png(), ip = png(true);
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  } cases[] = {
      {"baseline.jpg", j, true},
      {"progressive.jpg", pj, true},
      {"plain.png", p, true},
      {"interlaced.png", ip, true},
      {"trailer.png", png(false, true), true},
      {"png-named.dat", p, true},
      {"png-named.jpg", p, true},
      {"jpeg-named.png", j, true},
      {"empty.jpg", "", false},
      {"text.jpg", "not an image at all", false},
      {"soi.jpg", "\xFF\xD8\xFF", false},
      {"jpeg-half.jpg", cut(j, 0.5), false},
      {"jpeg-90.jpg", cut(j, 0.9), false},
      {"jpeg-no-eoi.jpg", j.substr(0, j.size() - 2), false},
      {"jpeg-header-only.jpg", j.substr(0, j.find("\xFF\xDA")), false},
      {"progressive-half.jpg", cut(pj, 0.5), false},
      {"progressive-no-eoi.jpg", pj.substr(0, pj.size() - 2), false},
      {"png-half.png", cut(p, 0.5), false},
      {"png-no-iend.png", p.substr(0, p.size() - 12), false},
      {"png-iend-cut.png", p.substr(0, p.size() - 1), false},
      {"png-signature.png", p.substr(0, 8), false},
      {"interlaced-half.png", cut(ip, 0.5), false},
      {"png-idat-crc.png", withBadCrc(p, "IDAT"), false},
      {"png-ihdr-crc.png", withBadCrc(p, "IHDR"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.sub(c.name);
    ASSERT_TRUE(test::writeFile(path, c.bytes));
    EXPECT_EQ(IsValidImageObject(path), c.valid);
  }
  EXPECT_FALSE(IsValidImageObject(std::nullopt));
  EXPECT_FALSE(IsValidImageObject(std::string()));
  EXPECT_FALSE(IsValidImageObject(dir.sub("missing.jpg")));
  EXPECT_FALSE(IsValidImageObject(dir.path()));
}

// The scaled decode reads every entropy-coded byte, so it notices truncation as well as the
// full decode: this is what lets IsValidImageObject use it.
TEST(ImageValidity, ScaledJpegDecodeDetectsTruncationLikeTheFullDecode) {
  for (bool progressive : {false, true}) {
    const std::string j = jpeg(progressive);
    SCOPED_TRACE(progressive ? "progressive" : "baseline");
    for (std::size_t keep : {j.size(), j.size() - 1, j.size() - 2, j.size() - 50, j.size() * 3 / 4,
                             j.size() / 2, j.size() / 4}) {
      SCOPED_TRACE(keep);
      const bool complete = keep == j.size();
      for (int denom : {1, 8}) {
        MemorySource src(j.data(), keep);
        EXPECT_EQ(decodeJpegCompletely(src, denom), complete) << "scale 1/" << denom;
      }
    }
  }
}

}  // namespace
}  // namespace sorv

namespace sorv {
namespace {

// A pipe or a folder with an image's name must not block or fool any reader.
TEST(ImageValidity, ReadersRefuseWhatIsNotAPlainFile) {
  test::TempDir dir;
  const std::string fifo = dir.sub("growing.png");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_TRUE(test::writeFile(dir.sub("folder.jpg/x"), "x"));
  for (const std::string& path : {fifo, dir.sub("folder.jpg")}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(IsValidImageObject(path));
    EXPECT_FALSE(getSorvMetaDataFromPng(path));
    EXPECT_FALSE(getSorvMetaDataFromJpeg(path));
    EXPECT_FALSE(readUserCommentPropertyList(path));
    EXPECT_FALSE(GetInternalPictureCaptureDate(path, "{Exif}", "DateTimeOriginal", false));
  }
}

}  // namespace
}  // namespace sorv
