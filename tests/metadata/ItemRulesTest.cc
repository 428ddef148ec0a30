#include <gtest/gtest.h>

#include <vector>

#include "metadata/ItemRules.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

TEST(BaseId, TakesTheNameUpToTheFirstUnderscoreElseBlank) {
  struct Case {
    const char* in;
    const char* id;
  } cases[] = {
      {"IMG 0012.JPG", "IMG"},
      {"photo.jpg", "photo"},
      {" AB_1.jpg", "AB"},
      {"a.b_c.jpg", "a.b"},
      {"AB12_x_y.jpg", "AB12"},
      {"AB12 copy.jpg", "AB12"},
      {"_lead.jpg", ""},
      {"A B_C.jpg", "A B"},
      {"/source/Event 1/AB12_3.jpg", "AB12"},
      {"\tTabbed .jpg", "Tabbed"},
      {"noext", "noext"},
      {"two.ext.jpg", "two.ext"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(getBaseIDFromFileName(c.in), c.id);
  }
}

TEST(MovieMatch, PrefersThePlainNameThenTheMuxedOne) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    const char* image;
    const char* expected;  // nullptr: none
  } cases[] = {
      {"both", {"P1.mov", "P1_muxed.mov"}, "P1.jpg", "P1.mov"},
      {"muxed only", {"P1_muxed.mov"}, "P1.jpg", "P1_muxed.mov"},
      {"plain only", {"P1.mov"}, "P1.png", "P1.mov"},
      {"none", {"P2.mov", "P1.jpg.mov"}, "P1.jpg", nullptr},
      {"folder counts", {"P1.mov/inner"}, "P1.jpg", "P1.mov"},
      {"no extension", {"P1.mov"}, "P1", "P1.mov"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    for (const std::string& f : c.files) ASSERT_TRUE(test::writeFile(dir.sub(f), "m"));
    std::optional<std::string> got = getMatchingExistingMovieFilePath(dir.sub(c.image));
    if (c.expected) {
      EXPECT_EQ(got, dir.sub(c.expected));
    } else {
      EXPECT_FALSE(got);
    }
  }
  EXPECT_FALSE(getMatchingExistingMovieFilePath(std::nullopt));
}

TEST(Invisibility, HiddenListAndFixedSystemPaths) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.sub("a/.hidden"), "secret.jpg\nfolder\r\ngone.jpg\n\nlast"));
  for (const char* f : {"a/secret.jpg", "a/visible.jpg", "a/.dotted", "a/last", "a/folder/x",
                        "a/secret.jpgx", "b/secret.jpg"}) {
    ASSERT_TRUE(test::writeFile(dir.sub(f), "x"));
  }
  // A name past the first 64 KiB of the list is not seen.
  ASSERT_TRUE(test::writeFile(dir.sub("c/.hidden"), std::string(70000, '\n') + "late.jpg\n"));
  ASSERT_TRUE(test::writeFile(dir.sub("c/late.jpg"), "x"));
  ASSERT_TRUE(test::writeFile(dir.sub("d/.hidden/inside"), "x"));  // a folder, not a list
  ASSERT_TRUE(test::writeFile(dir.sub("d/secret.jpg"), "x"));

  struct Case {
    std::string path;
    bool invisible;
  } cases[] = {
      {"/dev", true},
      {"/Network", true},
      {"/mach", true},
      {"/mach.sym", true},
      {"/dev/", false},
      {"/Dev", false},
      {"/devices", false},
      {"/", false},
      {dir.sub("a/secret.jpg"), true},
      {dir.sub("a/folder"), true},
      {dir.sub("a/folder/"), true},
      {dir.sub("a/last"), true},
      {dir.sub("a/visible.jpg"), false},
      {dir.sub("a/.dotted"), false},
      {dir.sub("a/secret.jpgx"), false},
      {dir.sub("a/gone.jpg"), false},
      {dir.sub("b/secret.jpg"), false},
      {dir.sub("c/late.jpg"), false},
      {dir.sub("d/secret.jpg"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(isInvisibleFileAtPath2(c.path), c.invisible);
  }
}

}  // namespace
}  // namespace sorv
