#include <gtest/gtest.h>

#include "platform/Bundle.h"
#include "platform/Plist.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

// The test executable is not inside a bundle, so the build tree's bundle is the main one.
TEST(BundleTest, TheBuiltBundleHasItsInfoAndFactoryDefaults) {
  EXPECT_EQ(Bundle::bundlePath(), std::string(SORV_TEST_BUILD_DIR) + "/Sorv-FTPUploader.app");
  const Dict& info = Bundle::infoDictionary();
  for (const char* key : {"CFBundleName", "CFBundleDisplayName", "CFBundleExecutable"}) {
    SCOPED_TRACE(key);
    ASSERT_NE(dictGetString(info, key), nullptr);
    EXPECT_EQ(*dictGetString(info, key), "Sorv-FTPUploader");
  }
  ASSERT_NE(dictGetString(info, "CFBundleShortVersionString"), nullptr);
  EXPECT_FALSE(dictGetString(info, "CFBundleShortVersionString")->empty());
  ASSERT_NE(dictGetString(info, "NSHumanReadableCopyright"), nullptr);
  EXPECT_EQ(*dictGetString(info, "CFBundleIdentifier"), "com.quenmor.SorvUploader");
  EXPECT_EQ(Bundle::displayName(), "Sorv-FTPUploader");

  auto defaults = Bundle::pathForResource("FactoryDefault", "plist");
  ASSERT_TRUE(defaults.has_value());
  auto parsed = plist::parseFile(*defaults);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_NE(parsed->asDict(), nullptr);
}

TEST(BundleTest, ResourcesComeFromTheChosenBundle) {
  test::TempDir tmp;
  std::string bundle = tmp.sub("Other.app");
  ASSERT_TRUE(test::writeFile(bundle + "/Contents/Resources/lockOpening.aif", "FORM"));
  ASSERT_TRUE(
      test::writeFile(bundle + "/Contents/Resources/English.lproj/x.strings", "\"a\"=\"b\";"));
  Bundle::setMainBundlePath(bundle);
  EXPECT_EQ(Bundle::bundlePath(), bundle);
  EXPECT_EQ(Bundle::resourcesPath(), bundle + "/Contents/Resources");
  EXPECT_EQ(Bundle::pathForResource("lockOpening", "aif"),
            bundle + "/Contents/Resources/lockOpening.aif");
  EXPECT_EQ(Bundle::pathForResource("English", "lproj"),
            bundle + "/Contents/Resources/English.lproj");
  EXPECT_FALSE(Bundle::pathForResource("lockClosing", "aif").has_value());
  EXPECT_FALSE(Bundle::pathForResource("../../Contents/Resources/lockOpening", "aif"));
  EXPECT_FALSE(Bundle::pathForResource("", "aif").has_value());
  Bundle::setMainBundlePath("");
}

}  // namespace
}  // namespace sorv
