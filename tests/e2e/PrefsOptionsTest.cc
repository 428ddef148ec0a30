// The executable's preference-file options, for kiosks without a display.
#include <gtest/gtest.h>

#include "platform/Plist.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

TEST(PrefsOptions, SaveThenLoadAPreferenceFile) {
  TempDir dir;
  std::string defaults = dir.sub("d.plist"), file = dir.sub("Kiosk.plist");
  ASSERT_TRUE(writeDefaults(defaults, {{sUserLoginName, "kiosk"}, {sPrefVyrURL, "http://mine"}}));
  std::vector<std::string> env = {"SORV_DEFAULTS=" + defaults, "SORV_LOG_DIR=" + dir.sub("logs")};
  auto save = runCommand(SORV_AGENT_PATH, {"--save-prefs", file}, env);
  ASSERT_EQ(save.status, 0) << save.err;
  auto saved = plist::parseFile(file);
  ASSERT_TRUE(saved && saved->asDict());
  Dict values = *saved->asDict();
  EXPECT_EQ(values[sUserLoginName], Value("kiosk"));
  EXPECT_TRUE(values.count(sPrefSecondsBetweenScans));  // the factory value
  EXPECT_FALSE(values.count(sPrefVyrURL));              // not a listed setting

  values[sUserLoginName] = "booth2";
  values[sPrefVyrURL] = "http://other";
  ASSERT_TRUE(plist::writeFileAtomically(file, Value(values)));
  auto load = runCommand(SORV_AGENT_PATH, {"--load-prefs", file}, env);
  ASSERT_EQ(load.status, 0) << load.err;
  auto stored = plist::parseFile(defaults);
  ASSERT_TRUE(stored && stored->asDict());
  EXPECT_EQ(stored->asDict()->at(sUserLoginName), Value("booth2"));
  EXPECT_EQ(stored->asDict()->at(sPrefVyrURL), Value("http://mine"));

  ASSERT_TRUE(writeFile(dir.sub("junk.plist"), "<plist><dict><key>a</key>"));
  auto junk = runCommand(SORV_AGENT_PATH, {"--load-prefs", dir.sub("junk.plist")}, env);
  EXPECT_EQ(junk.status, 1);
  EXPECT_NE(junk.err.find("junk.plist: "), std::string::npos) << junk.err;
}

}  // namespace
}  // namespace sorv::test
