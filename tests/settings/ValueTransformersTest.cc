#include <gtest/gtest.h>

#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "settings/ValueTransformers.h"

namespace sorv {
namespace {

TEST(ValueTransformers, LoginNameGivesTheSiteOfItsBrand) {
  DefaultsStore::resetStandardForPath("");
  LoginNameToFtpNameTransformer t(SiteHosts{"svc.test", "brand.test", "pics.brand.test"});
  struct Case {
    std::optional<std::string> fuseAction, name, shown;
  } cases[] = {
      {std::nullopt, std::nullopt, kSiteUnknownText},
      {std::nullopt, "", kEnterLoginNameText},
      {std::nullopt, "jones", "http://jones.svc.test"},
      {"upload.upload", "jones", "http://jones.svc.test"},
      {"BRIGHTPANE.upload", "Jones ", "http://Jones .brand.test"},
      {"UPLOAD.BP5", "jones", "http://pics.brand.test/jones"},
      {"upload.bp5x", "jones", "http://jones.svc.test"},
  };
  for (const auto& c : cases) {
    if (c.fuseAction)
      DefaultsStore::standard().setObject(Value(*c.fuseAction), sPrefVyrFuseAction);
    else
      DefaultsStore::standard().removeObject(sPrefVyrFuseAction);
    EXPECT_EQ(t.transformedValue(c.name), c.shown) << c.name.value_or("nil");
  }
  EXPECT_FALSE(ValueTransformer::allowsReverseTransformation());
}

TEST(ValueTransformers, UpperAndShowSpaces) {
  UpperStringTransformer upper;
  ShowSpacesTransformer spaces;
  EXPECT_EQ(upper.transformedValue("abc"), "ABC");
  EXPECT_EQ(upper.transformedValue(""), std::nullopt);
  EXPECT_EQ(upper.transformedValue(std::nullopt), kSiteUnknownText);
  EXPECT_EQ(spaces.transformedValue(""), "");
  EXPECT_EQ(spaces.transformedValue(" a b "), "[ a b ]");
  EXPECT_EQ(spaces.transformedValue(std::nullopt), kSiteUnknownText);
}

TEST(ValueTransformers, FormatterLimitsAndCapitalises) {
  CustomTextFieldFormatter f;
  EXPECT_EQ(f.maximumLength(), 9);
  std::optional<std::string> replacement;
  std::string field;
  for (char c : std::string("abc")) {  // typing a, b, c: each edit is replaced in capitals
    EXPECT_FALSE(f.isPartialStringValid(field + c, &replacement, nullptr));
    field = replacement.value();
  }
  EXPECT_EQ(field, "ABC");
  EXPECT_TRUE(f.isPartialStringValid("AB-12.éÉ9", &replacement, nullptr));  // nine characters
  EXPECT_FALSE(f.isPartialStringValid("AB-12.éÉ90", &replacement, nullptr));
  EXPECT_EQ(replacement, std::nullopt);
}

}  // namespace
}  // namespace sorv
