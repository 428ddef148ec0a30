#include <gtest/gtest.h>

#include <functional>

#include "metadata/PhotoMetadata.h"
#include "platform/Plist.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using photos::CommentCode;

std::string plistText(const Value& root) {
  return plist::toXml(root);
}

const Dict kBlock = {
    {"Version", "1.2"},
    {"OriginalPath", "/Volumes/Kiosk/Originals/AB12_0001.jpg"},
    {"QM_kioskStation", "Station 3"},
    {"QM_emailsForUpload", Array{"a@example.com", "b@example.com"}},
    {"SittingInfoDictionary", Dict{{"sittingid", "AB12"}, {"firstname", "Zoë"}}},
};

std::string pngWithTrailer(std::optional<std::string> trailer, char padding = '\0') {
  photos::PngOptions o;
  o.width = 120, o.height = 90;  // comfortably more than 2048 bytes of image data
  o.trailer = std::move(trailer);
  o.padding = padding;
  return photos::encodePng(o);
}

std::string jpegWithComment(std::string comment, CommentCode code, bool bigEndian = false) {
  photos::ExifOptions exif;
  exif.userComment = std::move(comment);
  exif.commentCode = code;
  exif.bigEndian = bigEndian;
  exif.dateTimeOriginal = "2024:05:01 10:20:30";
  photos::JpegOptions o;
  o.exif = exif;
  return photos::encodeJpeg(o);
}

std::string jpegWithApp1(std::string payload) {
  photos::JpegOptions o;
  o.rawApp1 = std::move(payload);
  return photos::encodeJpeg(o);
}

void putLe32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The payload with a UserComment, then changed by edit (offsets as PhotoWriter.h lays them).
std::string damagedPayload(const std::function<void(std::string&)>& edit) {
  photos::ExifOptions exif;
  exif.userComment = plistText(kBlock);
  std::string p = photos::exifApp1Payload(exif);
  edit(p);
  return p;
}
constexpr std::size_t kTiff = 6;                     // TIFF header in the payload
constexpr std::size_t kExifIfd = kTiff + 26;         // the EXIF IFD
constexpr std::size_t kCommentEntry = kExifIfd + 2;  // its only entry: 0x9286

TEST(PngMetadata, ReadsTheTrailerAndRejectsEverythingElse) {
  test::TempDir dir;
  const std::string block = plistText(kBlock);
  std::string exactly2048(2048, ' ');
  exactly2048.replace(0, block.size(), block);
  std::string badUtf8 = plistText(Dict{{"Version", "x"}});
  badUtf8.replace(badUtf8.find(">x<") + 1, 1, "\xC3\x28");

  const char* notPng = "is NOT a png file...";
  const char* tooShort = "File Length is smaller than kSorvPngMetaDataLength = [2048]?????";
  const char* notParsed = "getSorvMetaDataFromPng => CANNOT create userdata to plistObj???";
  struct Case {
    const char* name;
    std::string bytes;
    bool found;
    const char* line;  // a console line the failure writes
  } cases[] = {
      {"nul.png", pngWithTrailer(block, '\0'), true, "Found versionString = [1.2]"},
      {"blank.png", pngWithTrailer(block, ' '), true, nullptr},
      {"newlines.png", pngWithTrailer(block + "\n\r\n\t", '\0'), true, nullptr},
      {"upper.PNG", pngWithTrailer(block), true, nullptr},
      {"mixed.Png", pngWithTrailer(block), true, nullptr},
      {"named.jpg", pngWithTrailer(block), false, notPng},
      {"none.png", pngWithTrailer(std::nullopt), false, notParsed},
      {"jpeg-content.png", jpegWithComment(block, CommentCode::Ascii), false, notParsed},
      {"array.png", pngWithTrailer(plistText(Array{"a", "b"})), false, notParsed},
      {"words.png", pngWithTrailer("just some plain words"), false, notParsed},
      {"badutf8.png", pngWithTrailer(badUtf8), false, notParsed},
      {"exactly2048.png", exactly2048, false, tooShort},
      {"2049.png", "x" + exactly2048, true, nullptr},
      {"empty.png", "", false, tooShort},
      {"tiny.png", "\x89PNG", false, tooShort},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.sub(c.name);
    ASSERT_TRUE(test::writeFile(path, c.bytes));
    testing::internal::CaptureStderr();
    std::optional<Dict> d = getSorvMetaDataFromPng(path);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.has_value(), c.found);
    if (c.found && d) {
      EXPECT_EQ(*d, kBlock);
    }
    if (c.line) {
      EXPECT_NE(console.find(c.line), std::string::npos) << console;
    }
  }
  EXPECT_FALSE(getSorvMetaDataFromPng(dir.sub("missing.png")));
  ASSERT_TRUE(test::writeFile(dir.sub("folder.png/inside"), "x"));
  EXPECT_FALSE(getSorvMetaDataFromPng(dir.sub("folder.png")));
}

TEST(JpegMetadata, ReadsTheUserCommentInEveryCharacterCode) {
  test::TempDir dir;
  const std::string block = plistText(kBlock);
  // ISO-2022-JP and this hand-made UTF-16 take only ASCII text.
  const Dict ascii = {{"Version", "1.2"}, {"QM_kioskStation", "Station 3"}};
  const std::string asciiBlock = plistText(ascii);
  std::string utf16Bom("\xFF\xFE", 2);
  for (char c : asciiBlock) utf16Bom += std::string{c, '\0'};

  struct Case {
    const char* name;
    std::string bytes;
    bool found;
    const Dict* expected = &kBlock;
  } cases[] = {
      {"ascii", jpegWithComment(block, CommentCode::Ascii), true},
      {"ascii-nul-padded", jpegWithComment(block + std::string(40, '\0'), CommentCode::Ascii),
       true},
      {"ascii-motorola", jpegWithComment(block, CommentCode::Ascii, true), true},
      {"unicode-le", jpegWithComment(block, CommentCode::UnicodeLittleEndian), true},
      {"unicode-be", jpegWithComment(block, CommentCode::UnicodeBigEndian), true},
      {"unicode-be-in-intel-tiff", jpegWithComment(block, CommentCode::UnicodeBigEndian, false),
       true},
      {"unicode-le-in-motorola-tiff",
       jpegWithComment(block, CommentCode::UnicodeLittleEndian, true), true},
      {"unicode-bom", jpegWithComment(std::string("UNICODE\0", 8) + utf16Bom, CommentCode::None),
       true, &ascii},
      {"jis", jpegWithComment(asciiBlock, CommentCode::Jis), true, &ascii},
      {"undefined", jpegWithComment(block, CommentCode::Undefined), true},
      {"no-code", jpegWithComment(block, CommentCode::None), true},
      {"plain-words", jpegWithComment("Taken at the fair", CommentCode::Ascii), false},
      {"array-root", jpegWithComment(plistText(Array{"x"}), CommentCode::Ascii), false},
      {"bad-utf8", jpegWithComment(block + "\xFF", CommentCode::Ascii), false},
      {"odd-utf16", jpegWithComment(std::string("UNICODE\0<\0p", 11), CommentCode::None), false},
      {"empty-comment", jpegWithComment("", CommentCode::Ascii), false},
      {"no-exif", photos::encodeJpeg({}), false},
      {"png-content", pngWithTrailer(block), false},
      {"empty", "", false},
      {"soi-only", "\xFF\xD8", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.bytes.empty() && std::string(c.name) != "empty");
    const std::string path = dir.sub(std::string(c.name) + ".jpg");
    ASSERT_TRUE(test::writeFile(path, c.bytes));
    std::optional<Dict> d = getSorvMetaDataFromJpeg(path);
    EXPECT_EQ(d.has_value(), c.found);
    if (c.found && d) {
      EXPECT_EQ(*d, *c.expected);
    }
    EXPECT_EQ(readUserCommentPropertyList(path), d);
  }
  EXPECT_FALSE(getSorvMetaDataFromJpeg(dir.sub("missing.jpg")));
  EXPECT_FALSE(readUserCommentPropertyList(dir.sub("missing.jpg")));
}

TEST(JpegMetadata, SurvivesHostileSegments) {
  test::TempDir dir;
  const std::string good = jpegWithComment(plistText(kBlock), CommentCode::Ascii);
  // An APP0 and an unrelated APP1 before the EXIF segment are walked over.
  std::string app0("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
  std::string xmp("\xFF\xE1\x00\x0Ahttp:/\x00\x00", 12);
  std::string filled("\xFF\xFF\xFF", 3);  // fill bytes before a marker

  struct Case {
    const char* name;
    std::string bytes;
    bool found;
  } cases[] = {
      {"app0-first", good.substr(0, 2) + app0 + good.substr(2), true},
      {"other-app1-first", good.substr(0, 2) + xmp + good.substr(2), true},
      {"fill-bytes", good.substr(0, 2) + filled + good.substr(3), true},
      // The image after the EXIF segment is never read.
      {"cut-after-app1", good.substr(0, good.find("\xFF\xDB")), true},
      {"cut-inside-app1", good.substr(0, 200), false},
      {"count-past-segment", jpegWithApp1(damagedPayload([](std::string& p) {
         putLe32(p, kCommentEntry + 4, 0x7FFFFFF0);
       })),
       false},
      {"offset-past-segment", jpegWithApp1(damagedPayload([](std::string& p) {
         putLe32(p, kCommentEntry + 8, 0xFFFFFF00);
       })),
       false},
      {"exif-ifd-points-to-ifd0",
       jpegWithApp1(damagedPayload([](std::string& p) { putLe32(p, kTiff + 18, 8); })), false},
      {"exif-ifd-past-end",
       jpegWithApp1(damagedPayload([](std::string& p) { putLe32(p, kTiff + 18, 0x00FFFFFF); })),
       false},
      // Only the entries that fit in the segment are read.
      {"ifd-entry-count-huge", jpegWithApp1(damagedPayload([](std::string& p) {
         p[kExifIfd] = '\xFF', p[kExifIfd + 1] = '\xFF';
       })),
       true},  // only the entries that fit in the segment are read
      {"next-ifd-loops", jpegWithApp1(damagedPayload([](std::string& p) {
         putLe32(p, kTiff + 22, 8);  // IFD0's next IFD is IFD0 itself
       })),
       true},
      {"tiff-header-only", jpegWithApp1(std::string("Exif\0\0II*\0\x08\0\0\0", 14)), false},
      {"bad-segment-length", std::string("\xFF\xD8\xFF\xE1\x00\x01", 6), false},
      {"no-marker", std::string("\xFF\xD8\x00\x00\x00\x00", 6), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.sub(std::string(c.name) + ".jpg");
    ASSERT_TRUE(test::writeFile(path, c.bytes));
    std::optional<Dict> d = getSorvMetaDataFromJpeg(path);
    EXPECT_EQ(d.has_value(), c.found);
    if (c.found && d) {
      EXPECT_EQ(*d, kBlock);
    }
  }
}

}  // namespace
}  // namespace sorv
