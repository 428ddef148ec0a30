// Alerts from the localised strings resources, the preferred language, and the sounds.
#include <gtest/gtest.h>

#include "platform/Value.h"
#include "settings/DefaultsStore.h"
#include "tests/ui/UiHarness.h"
#include "ui/Alerts.h"
#include "ui/Sound.h"

namespace sorv::test {
namespace {

TEST(Alerts, LookupsByLanguageAndKey) {
  UiHarness h;
  // A language of our own with entries that leave fields out.
  writeFile(h.resources() + "/xx.lproj/myLocalDictionary.strings",
            "<plist version=\"1.0\"><dict>"
            "<key>Bare</key><dict/>"
            "<key>Args</key><dict><key>mesg</key><string>%@ then %@ then %@</string>"
            "<key>alternateButton</key><string>No</string>"
            "<key>otherAltButton</key><string>Later</string></dict>"
            "</dict></plist>");
  std::vector<AlertSpec> shown;
  int answer = kAlertDefault;
  setAlertPresenter([&](const AlertSpec& alert, QWidget*) {
    shown.push_back(alert);
    return answer;
  });
  const struct {
    std::optional<const char*> language;
    const char* key;
    int result;
    const char* title;
    const char* button;
  } cases[] = {
      {"en", "NSAlertWindow_9003", 1, "Uploading in Progress", "OK"},
      {std::nullopt, "NSAlertWindow_9008", 1, "Volume Not Allowed", "OK"},
      {"es", "NSAlertWindow_9009", 1, "Búsqueda en todo el disco", "Aceptar"},
      {"es", "NSAlertWindow_9003", 1, "Subida en curso", "Aceptar"},
      {"en-US", "NSAlertWindow_9003", -2, "Unable to Find Resource For:", "OK"},
      {"fr", "NSAlertWindow_9003", -2, "Unable to Find Resource For:", "OK"},
      {"en", "NSAlertWindow_0000", -2, "Unable to Find Resource For:", "OK"},
      {"../..", "NSAlertWindow_9003", -2, "Unable to Find Resource For:", "OK"},
      {"xx", "Bare", 1, "NO INFO", "OK"},
  };
  auto& store = DefaultsStore::standard();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    if (c.language)
      store.setObject(Value(Array{Value(*c.language), Value("en")}), "AppleLanguages");
    else
      store.removeObject("AppleLanguages");
    shown.clear();
    EXPECT_EQ(myNSRunAlertPanel("myLocalDictionary", c.key), c.result);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].title, c.title);
    EXPECT_EQ(shown[0].defaultButton, c.button);
    if (c.result == -2) {
      EXPECT_EQ(shown[0].message,
                std::string("name.strings = \"myLocalDictionary\"\rkey = \"") + c.key + "\"");
    }
  }
  EXPECT_EQ(shown[0].message, "(No Further Info Given)");

  store.setObject(Value(Array{Value("xx")}), "AppleLanguages");
  answer = kAlertOther;
  shown.clear();
  EXPECT_EQ(myNSRunAlertPanel("myLocalDictionary", "Args", std::string("one")), kAlertOther);
  EXPECT_EQ(shown[0].message, "one then (null) then ");
  EXPECT_EQ(shown[0].alternateButton, "No");
  EXPECT_EQ(shown[0].otherButton, "Later");
  // The sheet variant gives -2 even when it showed the alert.
  EXPECT_EQ(myNSRunAlertPanelOnWindow(nullptr, nullptr, "myLocalDictionary", "Args"), -2);
  EXPECT_EQ(shown.size(), 2u);
  setAlertPresenter({});
}

TEST(Alerts, PreferredLanguageFromTheEnvironmentWhenTheStoreHasNone) {
  UiHarness h;
  DefaultsStore::standard().removeObject("AppleLanguages");
  const struct {
    const char* language;
    const char* lang;
    const char* expected;
  } cases[] = {
      {"", "es_ES.UTF-8", "Spanish"},
      {"es:en", "en_US.UTF-8", "Spanish"},
      {"", "en_US.UTF-8", "English"},
      {"", "C", "English"},
      {"", "", "English"},
      {"", "de_DE", "de"},
  };
  for (const auto& c : cases) {
    setenv("LANGUAGE", c.language, 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", c.lang, 1);
    EXPECT_EQ(getPreferredLanguage(), c.expected) << c.language << " " << c.lang;
  }
  DefaultsStore::standard().setObject(Value(Array{}), "AppleLanguages");
  EXPECT_EQ(getPreferredLanguage(), "English");
}

TEST(Sound, MissingSoundOrDeviceGivesFalseAtOnce) {
  UiHarness h;
  EXPECT_FALSE(doPlaySound("noSuchSound", "aif"));
  writeFile(h.resources() + "/broken.aif", "FORM nothing of the sort");
  EXPECT_FALSE(doPlaySound("broken", "aif"));
}

}  // namespace
}  // namespace sorv::test
