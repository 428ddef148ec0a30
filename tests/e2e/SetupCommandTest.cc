// A kiosk set up from the command line as the README shows it: the example settings file
// filled in, imported, and checked, with the agent's own executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "platform/Plist.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

// The shipped example with its four blanks filled in.
std::string filledExample(const std::string& url) {
  std::string text =
      readFile(std::string(SORV_TEST_SOURCE_DIR) + "/resources/linux/sorv-uploader-settings.conf");
  text = std::regex_replace(text, std::regex("\nuserLoginName =\n"), "\nuserLoginName = kiosk07\n");
  text = std::regex_replace(text, std::regex("\nuserLoginPassword =\n"),
                            "\nuserLoginPassword = s3cret#1\n");
  text = std::regex_replace(text, std::regex("\nuserEnteredEventName =\n"),
                            "\nuserEnteredEventName = Summer Fair\n");
  return std::regex_replace(text, std::regex("\nprefVyrURL =\n"), "\nprefVyrURL = " + url + "\n");
}

Dict defaultsIn(const std::string& path) {
  auto v = plist::parseFile(path);
  return v && v->asDict() ? *v->asDict() : Dict{};
}

TEST(SetupCommand, TheExampleIsImportedWholeOrNotAtAllAndTheCheckSaysWhatIsWrong) {
  TempDir dir;
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  const std::string defaults = dir.sub("home/.config/Sorv/com.quenmor.SorvUploader.plist");
  const std::vector<std::string> env = {
      "HOME=" + dir.sub("home"), "SORV_DEFAULTS=" + defaults, "SORV_LOG_DIR=" + dir.sub("logs"),
      "DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir.sub("no-bus"), "no_proxy=*"};
  std::filesystem::create_directories(dir.sub("home/Kiosk/Source"));
  std::filesystem::create_directories(dir.sub("home/Kiosk/Mirror"));
  ASSERT_TRUE(writeFile(dir.sub("kiosk.conf"), filledExample(site.url())));
  ASSERT_TRUE(writeFile(dir.sub("bad.conf"),
                        "userLoginName = kiosk07\nprefSecondsBetweenScans = "
                        "0\nprefDoCheckOrder = yes\n"));
  std::filesystem::permissions(dir.sub("bad.conf"), std::filesystem::perms(0644));
  auto env2 = [&](const std::string& extra) {
    auto e = env;
    e.push_back(extra);
    return e;
  };

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::vector<std::string> out;  // parts of standard output, or of error when it fails
  } cases[] = {
      {"a file with faults stores nothing",
       {"--import-settings", dir.sub("bad.conf")},
       env,
       1,
       {dir.sub("bad.conf") + ":2: prefSecondsBetweenScans: 0 is out of range",
        dir.sub("bad.conf") + ":3: unknown setting \"prefDoCheckOrder\"", "Nothing was imported",
        "(mode 644), and it holds the site's password; make it yours alone: chmod 600 " +
            dir.sub("bad.conf")}},
      {"nothing set yet: the check fails",
       {"--check"},
       env,
       1,
       {"FAIL  settings: userLoginName is not set", "7 of 8 checks failed."}},
      {"the filled-in example is imported, the password masked",
       {"--import-settings", dir.sub("kiosk.conf")},
       env,
       0,
       {"Imported 19 settings", "  userLoginPassword = ********\n",
        "  prefLocalSourceUploadFolder = " + dir.sub("home/Kiosk/Source") + "\n",
        "  prefAutoSynchronize = yes\n"}},
      {"the check passes", {"--check"}, env, 0, {"PASS  site answers: ", "All 8 checks passed."}},
      {"the service's folder is checked, not the stored one",
       {"--check"},
       env2("SORV_SOURCE_FOLDER=" + dir.sub("Missing")),
       1,
       {"FAIL  source folder: " + dir.sub("Missing") + " (SORV_SOURCE_FOLDER) does not exist"}},
      {"a file that is not there",
       {"--import-settings", dir.sub("none.conf")},
       env,
       1,
       {"none.conf: No such file"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandResult r = runCommand(SORV_AGENT_PATH, c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    const std::string& text = c.status == 0 ? r.out : r.err + r.out;
    for (const auto& part : c.out)
      EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
    if (std::string(c.name) == "a file with faults stores nothing") {
      EXPECT_FALSE(std::filesystem::exists(defaults));
    }
  }
  Dict stored = defaultsIn(defaults);
  EXPECT_EQ(stored[sUserLoginPassword], Value("s3cret#1"));
  EXPECT_EQ(stored[sPrefUserEnteredEventName], Value("Summer Fair"));
  EXPECT_EQ(stored[sPrefVyrURL], Value(site.url()));
  EXPECT_EQ(stored[sPrefUploadTimeOut], Value(500));
  EXPECT_TRUE(std::filesystem::is_empty(dir.sub("store")));  // the check sent nothing
}

// A running agent would write its own settings back over imported ones.
TEST(SetupCommand, ImportIsRefusedWhileAnAgentRuns) {
  TempDir dir;
  PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  SiteProcess site(dir.sub("store"));
  const std::string src = dir.sub("Source"), defaults = dir.sub("d.plist");
  std::filesystem::create_directories(src);
  std::filesystem::create_directories(dir.sub("Mirror"));
  ASSERT_TRUE(writeKioskDefaults(defaults, src, dir.sub("Mirror"), site.url()));
  const std::string agent = installAgentBundle(dir.path());
  AgentProcess run(agent, src, defaults, dir.sub("logs"), dir.sub("console.txt"), {bus.envEntry()});
  ASSERT_TRUE(waitForText(dir.sub("console.txt"), "Status: Waiting For New Images...", 30));
  const std::string before = readFile(defaults);

  ASSERT_TRUE(writeFile(dir.sub("kiosk.conf"), "userLoginName = booth2\n"));
  CommandResult r = runCommand(SORV_AGENT_PATH, {"--import-settings", dir.sub("kiosk.conf")},
                               {bus.envEntry(), "SORV_DEFAULTS=" + defaults});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("an agent is running for this user"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(defaults), before);
  EXPECT_EQ(quitBySigterm(run, dir.sub("console.txt")), "");
}

}  // namespace
}  // namespace sorv::test
