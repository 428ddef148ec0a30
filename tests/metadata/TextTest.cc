#include <gtest/gtest.h>

#include "metadata/UserComment.h"

namespace sorv {
namespace {

TEST(MetadataText, Utf8Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {std::string("nul\0inside", 10), true},
      {"\xC3", false},              // cut short
      {"\xE2\x82", false},          // cut short
      {"\xC0\xAF", false},          // overlong "/"
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // past U+10FFFF
      {"\x80", false},              // stray continuation
      {"\xFF", false},
      {"\xC3\x28", false},  // bad continuation
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid);
  }
}

TEST(MetadataText, Utf16Decoding) {
  auto bytes = [](const char* s, std::size_t n) { return std::string(s, n); };
  struct Case {
    std::string in;
    bool bigEndian;
    std::optional<std::string> out;
  } cases[] = {
      {bytes("<\0a\0", 4), false, "<a"},
      {bytes("\0<\0a", 4), true, "<a"},
      {bytes("\xAC\x20", 2), false, "\xE2\x82\xAC"},
      {bytes("\x3D\xD8\x00\xDE", 4), false, "\xF0\x9F\x98\x80"},  // surrogate pair
      {bytes("\x3D\xD8", 2), false, std::nullopt},                // high surrogate alone
      {bytes("\x3D\xD8\x41\x00", 4), false, std::nullopt},        // high then not low
      {bytes("\x00\xDE", 2), false, std::nullopt},                // low surrogate alone
      {bytes("<\0a", 3), false, std::nullopt},                    // odd length
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(
        utf16ToUtf8(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size(), c.bigEndian),
        c.out);
  }
}

TEST(MetadataText, DictionaryTextWithPadding) {
  const std::string dict =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>Version</key><string>2</string></dict></plist>";
  struct Case {
    const char* name;
    std::string text;
    bool found;
  } cases[] = {
      {"bare", dict, true},
      {"nul padding", dict + std::string(500, '\0'), true},
      {"blank padding", dict + std::string(500, ' '), true},
      {"mixed padding", dict + std::string("\n\0 \t\0\r", 6), true},
      {"only padding", std::string(64, '\0'), false},
      {"empty", "", false},
      {"array root", "<plist version=\"1.0\"><array><string>a</string></array></plist>", false},
      {"string root", "<plist version=\"1.0\"><string>a</string></plist>", false},
      {"words", "hello there", false},
      {"unterminated", dict.substr(0, dict.size() - 10), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Dict> d = parseDictionaryText(c.text);
    EXPECT_EQ(d.has_value(), c.found);
    if (d) {
      EXPECT_EQ(*d, (Dict{{"Version", "2"}}));
    }
  }
}

}  // namespace
}  // namespace sorv
