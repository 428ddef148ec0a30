#include <gtest/gtest.h>

#include "platform/MacRoman.h"

namespace sorv {
namespace {

TEST(MacRomanTest, DecodesEveryByteToItsCharacter) {
  struct Case {
    unsigned char byte;
    const char* utf8;
  };
  const Case cases[] = {
      {0x41, "A"},      {0x80, "\u00C4"}, {0x8E, "\u00E9"}, {0x96, "\u00F1"}, {0xA5, "\u2022"},
      {0xA9, "\u00A9"}, {0xCA, "\u00A0"}, {0xD2, "\u201C"}, {0xDB, "\u20AC"}, {0xDE, "\uFB01"},
      {0xF0, "\uF8FF"}, {0xF5, "\u0131"}, {0xFF, "\u02C7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.byte));
    EXPECT_EQ(macRomanToUtf8(std::string(1, static_cast<char>(c.byte))), c.utf8);
  }
  EXPECT_EQ(macRomanToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
  // All 256 bytes decode to valid, non-empty characters.
  for (int b = 0; b < 256; ++b) EXPECT_FALSE(macRomanToUtf8(std::string(1, char(b))).empty());
}

TEST(MacRomanTest, PercentUnescapeTakesBytesAsMacRoman) {
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  };
  const Case cases[] = {
      {"/Volumes/Fotos/Jos%8E%20P%8Frez/a.jpg", true, "/Volumes/Fotos/Jos\u00E9 P\u00E8rez/a.jpg"},
      {"plain", true, "plain"},
      {"%41%62", true, "Ab"},
      {"%e9", true, "\u00C8"},
      {"", true, ""},
      {"100%", false, ""},
      {"%4", false, ""},
      {"%zz", false, ""},
      {"a%2", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string out = "untouched";
    EXPECT_EQ(percentUnescapeMacRoman(c.in, &out), c.ok);
    if (c.ok) {
      EXPECT_EQ(out, c.out);
    }
  }
}

}  // namespace
}  // namespace sorv
