#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/Plist.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

Value sampleValue() {
  Dict inner{{"QM_kioskStation", Value("Kiosk 3")}, {"empty", Value(Dict{})}};
  return Value(Dict{
      {"bool", Value(true)},
      {"int", Value(-42)},
      {"big", Value(static_cast<long long>(1) << 40)},
      {"real", Value(0.1)},
      {"text", Value("Ä <b>&amp; \"q\" ünï€")},
      {"date", Value(Date{1700000000})},
      {"old", Value(Date{-2082844800})},  // 1904-01-01
      {"data", Value(Data{0, 1, 2, 255})},
      {"list", Value(Array{Value(1), Value("two"), Value(Array{})})},
      {"inner", Value(inner)},
  });
}

std::string toBinary(const std::string& xml) {
  plist_t p = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &p);
  if (!p) return {};
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(p, &bin, &len);
  std::string out(bin, len);
  plist_to_bin_free(bin);
  plist_free(p);
  return out;
}

TEST(PlistTest, RoundTripsThroughXmlAndBinary) {
  Value v = sampleValue();
  std::string xml = plist::toXml(v);
  ASSERT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);
  std::string bin = toBinary(xml);
  ASSERT_EQ(bin.compare(0, 8, "bplist00"), 0);
  for (const std::string* encoded : {&xml, &bin}) {
    std::string err;
    auto back = plist::parse(encoded->data(), encoded->size(), &err);
    ASSERT_TRUE(back.has_value()) << err;
    EXPECT_EQ(*back, v) << back->description();
  }
}

TEST(PlistTest, RejectsMalformedInputWithAReason) {
  const std::string deepXml = [] {
    std::string s = "<plist version=\"1.0\">";
    for (int i = 0; i < 100000; ++i) s += "<array>";
    return s;
  }();
  const std::string cases[] = {
      "",
      "not a plist",
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>",
      "<plist version=\"1.0\"><integer>12</plist>",
      std::string("bplist00\0\0\0", 11),
      std::string("bplist00") + std::string(40, '\xff'),
      deepXml,
  };
  for (const std::string& c : cases) {
    SCOPED_TRACE(c.substr(0, 60));
    std::string err;
    EXPECT_FALSE(plist::parse(c.data(), c.size(), &err).has_value());
    EXPECT_FALSE(err.empty());
  }
  EXPECT_FALSE(plist::parse(nullptr, 10).has_value());
}

// A hand-built binary list: object i is an array holding object i+1 twice, so libplist would
// build 2^n nodes from a file of a few hundred bytes.
std::string doublingBinary(int levels) {
  std::string body = "bplist00";
  std::string offsets;
  for (int i = 0; i <= levels; ++i) {
    offsets += static_cast<char>(body.size());
    if (i == levels) {
      body += '\x10';  // integer of one byte
      body += '\x07';
    } else {
      body += '\xA2';  // array of two references
      body += static_cast<char>(i + 1);
      body += static_cast<char>(i + 1);
    }
  }
  std::string trailer(32, '\0');
  trailer[6] = 1;  // offset size
  trailer[7] = 1;  // reference size
  trailer[15] = static_cast<char>(levels + 1);
  trailer[31] = static_cast<char>(body.size());
  return body + offsets + trailer;
}

TEST(PlistTest, BoundsWhatABinaryListExpandsTo) {
  std::string small = doublingBinary(3);
  auto v = plist::parse(small.data(), small.size());
  ASSERT_TRUE(v.has_value());
  ASSERT_NE(v->asArray(), nullptr);
  EXPECT_EQ(v->asArray()->size(), 2u);

  std::string bomb = doublingBinary(60);
  std::string err;
  EXPECT_FALSE(plist::parse(bomb.data(), bomb.size(), &err).has_value());
  EXPECT_NE(err.find("too large"), std::string::npos) << err;

  std::string cycle = doublingBinary(2);
  cycle[9] = 0;  // the top array now holds itself
  err.clear();
  EXPECT_FALSE(plist::parse(cycle.data(), cycle.size(), &err).has_value());
  EXPECT_FALSE(err.empty());
}

// A binary dictionary of one entry whose key object is `key` and whose value is true.
std::string oneEntryBinary(const std::string& key) {
  std::string body = "bplist00";
  std::string offsets;
  offsets += static_cast<char>(body.size());
  body += "\xD1\x01\x02";
  offsets += static_cast<char>(body.size());
  body += key;
  offsets += static_cast<char>(body.size());
  body += '\x09';
  std::string trailer(32, '\0');
  trailer[6] = 1;
  trailer[7] = 1;
  trailer[15] = 3;
  trailer[31] = static_cast<char>(body.size());
  return body + offsets + trailer;
}

TEST(PlistTest, ChecksBinaryDictionaryKeys) {
  struct Case {
    std::string key;
    bool ok;
  };
  const Case cases[] = {
      {std::string("\x53"
                   "abc",
                   4),
       true},
      {std::string("\x61\x00\x41", 3), true},  // UTF-16 "A"
      {std::string("\x53"
                   "a\0b",
                   4),
       false},                                  // NUL inside a key
      {std::string("\x61\x00\x00", 3), false},  // UTF-16 NUL
      {std::string("\x10\x05", 2), false},      // an integer as key
      {std::string("\x5F\x10\x7F"
                   "ab",
                   5),
       false},  // length past the objects
  };
  for (const Case& c : cases) {
    std::string bin = oneEntryBinary(c.key);
    SCOPED_TRACE(c.key);
    auto v = plist::parse(bin.data(), bin.size());
    EXPECT_EQ(v.has_value(), c.ok);
    if (v) {
      ASSERT_NE(v->asDict(), nullptr);
      EXPECT_EQ(v->asDict()->size(), 1u);
    }
  }
}

TEST(PlistTest, AcceptsAnyRootAndBoundsFileSize) {
  const char* arrayRoot =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>a</string><true/></array>"
      "</plist>";
  auto v = plist::parse(arrayRoot, std::strlen(arrayRoot));
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, Value(Array{Value("a"), Value(true)}));

  test::TempDir tmp;
  std::string path = tmp.sub("list.plist");
  std::string xml = plist::toXml(sampleValue());
  ASSERT_TRUE(test::writeFile(path, xml));
  EXPECT_TRUE(plist::parseFile(path).has_value());
  std::string err;
  EXPECT_FALSE(plist::parseFile(path, &err, xml.size() - 1).has_value());
  EXPECT_NE(err.find("too large"), std::string::npos);
  EXPECT_FALSE(plist::parseFile(tmp.sub("missing"), &err).has_value());
  EXPECT_NE(err.find("missing"), std::string::npos);
}

TEST(PlistTest, WritesAtomicallyWithTheGivenMode) {
  test::TempDir tmp;
  std::string path = tmp.sub("prefs.plist");
  ASSERT_TRUE(test::writeFile(path, "old contents"));
  std::string err;
  ASSERT_TRUE(plist::writeFileAtomically(path, sampleValue(), &err, 0600)) << err;
  auto back = plist::parseFile(path);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, sampleValue());
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary file is left beside it.
  EXPECT_EQ(test::readFile(tmp.sub("prefs.plist.XXXXXX")), "");
  EXPECT_FALSE(plist::writeFileAtomically(tmp.sub("no/such/dir/p.plist"), Value(1), &err));
  EXPECT_FALSE(err.empty());
}

}  // namespace
}  // namespace sorv
