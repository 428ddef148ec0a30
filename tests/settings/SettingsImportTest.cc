#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/Paths.h"
#include "platform/Plist.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "settings/SettingsImport.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

struct Expected {
  int line;
  const char* text;  // a part of the problem's text
};

struct ParseCase {
  const char* name;
  std::string text;
  std::vector<std::pair<std::string, Value>> settings;  // what a valid file sets, in order
  std::vector<Expected> problems;
};

TEST(SettingsImport, EachLineIsReadOrNamedWithItsLineNumber) {
  const std::string home = homeFolder();
  const ParseCase cases[] = {
      {"comments, blank lines, CRLF and a byte-order mark",
       "\xEF\xBB\xBF# a comment\r\n\r\n   # indented\n\tuserLoginName =  kiosk07 \r\n",
       {{"userLoginName", "kiosk07"}},
       {}},
      {"a quoted text keeps its blanks; # inside a value is the value's",
       "userLoginPassword = \"  p#ss \"\nuserEnteredEventName = Fair # 2026\n",
       {{"userLoginPassword", "  p#ss "}, {"userEnteredEventName", "Fair # 2026"}},
       {}},
      {"an event name is trimmed inside its quotes",
       "userEnteredEventName = \" Fair \"\n",
       {{"userEnteredEventName", "Fair"}},
       {}},
      {"switches in any letter case",
       "prefAutoSynchronize = YES\nprefDoCheckOrders = no\nprefUploadMovie = True\n"
       "prefDoRedirectNSLog = FALSE",
       {{"prefAutoSynchronize", true},
        {"prefDoCheckOrders", false},
        {"prefUploadMovie", true},
        {"prefDoRedirectNSLog", false}},
       {}},
      {"numbers: whole ones as integers, decimals as reals, the ends of each range",
       "prefSecondsBetweenScans = 2.5\nprefUploadTimeOut = 500\nprefDaysToSaveLogs = 3\n"
       "prefDaysOldBeforeDeleting = 32767\nprefSearchPathMethodTag = 0\n"
       "prefDoContinueAfterFailedUploadSecs = 0\nprefMinutesForCheckOrders = +1440",
       {{"prefSecondsBetweenScans", 2.5},
        {"prefUploadTimeOut", 500},
        {"prefDaysToSaveLogs", 3},
        {"prefDaysOldBeforeDeleting", 32767},
        {"prefSearchPathMethodTag", 0},
        {"prefDoContinueAfterFailedUploadSecs", 0},
        {"prefMinutesForCheckOrders", 1440}},
       {}},
      {"folders: ~/ is the home folder, a full path stays",
       "prefLocalSourceUploadFolder = ~/Kiosk/Source\n"
       "prefLocalMasterMirrorSiteFolder = \"/srv/Kiosk Mirror\"",
       {{"prefLocalSourceUploadFolder", home + "/Kiosk/Source"},
        {"prefLocalMasterMirrorSiteFolder", "/srv/Kiosk Mirror"}},
       {}},
      {"site addresses: https, and http",
       "prefVyrURL = HTTPS://photos.example.com/upload?x=1",
       {{"prefVyrURL", "HTTPS://photos.example.com/upload?x=1"}},
       {}},
      {"an unknown setting, and one in the wrong letter case",
       "userLoginName = a\nprefNoSuchThing = 1\nuserloginpassword = b\n",
       {},
       {{2, "unknown setting \"prefNoSuchThing\""}, {3, "did you mean userLoginPassword?"}}},
      {"settings the file does not take (no behaviour, or kept by the agent itself)",
       "prefCreateEncapsulatingFolder = yes\nprefDoCopyOldFtpPref = no\n"
       "prefIsValidLocalSourceUploadFolder = yes",
       {},
       {{1, "unknown setting"}, {2, "unknown setting"}, {3, "unknown setting"}}},
      {"values of the wrong kind",
       "prefAutoSynchronize = maybe\nprefAutoStartUploadAtStartup = 1\n"
       "prefSecondsBetweenScans = soon\nprefUploadTimeOut = 1e3\nprefSecondsBetweenScans2 = 1\n"
       "prefDaysOldBeforeDeleting = 1.5\nprefMinutesForCheckOrders = nan\n"
       "prefDaysToSaveLogs = 0x10\nprefSearchPathMethodTag = 1.",
       {},
       {{1, "\"maybe\" is not yes or no"},
        {2, "\"1\" is not yes or no"},
        {3, "\"soon\" is not a number (1 to 86400 seconds)"},
        {4, "\"1e3\" is not a number"},
        {5, "unknown setting"},
        {6, "\"1.5\" is not a whole number (1 to 32767 days)"},
        {7, "\"nan\" is not a number"},
        {8, "\"0x10\" is not a whole number"},
        {9, "\"1.\" is not a whole number"}}},
      {"numbers out of range",
       "prefSecondsBetweenScans = 0\nprefSecondsBetweenScans = 1\nprefDaysToSaveLogs = 91\n"
       "prefDaysToSaveLogs = 2\nprefSearchPathMethodTag = 4\nprefUploadTimeOut = 86400.5\n"
       "prefDaysOldBeforeDeleting = -1\nprefDoContinueAfterFailedUploadSecs = 99999999999999999999",
       {},
       {{1, "prefSecondsBetweenScans: 0 is out of range (1 to 86400 seconds)"},
        {2, "set again (first on line 1)"},
        {3, "91 is out of range (3 to 90 days)"},
        {4, "prefDaysToSaveLogs is set again"},
        {5, "4 is out of range (0 to 3)"},
        {6, "86400.5 is out of range"},
        {7, "-1 is out of range"},
        {8, "is out of range (0 to 3600 seconds)"}}},
      {"site addresses that are not http(s)",
       "prefVyrURL = ftp://photos.example.com/\n",
       {},
       {{1, "\"ftp://photos.example.com/\" does not begin with https://"}}},
      {"a site address without a host", "prefVyrURL = https:///upload", {}, {{1, "names no host"}}},
      {"texts: empty, unclosed quote, relative folder, the event placeholder",
       "userLoginName =\nuserLoginPassword = \"abc\nprefLocalMasterMirrorSiteFolder = "
       "Kiosk/Mirror\n"
       "userEnteredEventName = turnOnCheckBoxIfUsingThisOption\nprefMetaData = \"\"\n"
       "prefAutoSynchronize =",
       {},
       {{1, "userLoginName: has no value: fill it in"},
        {2, "opens a quote it does not close"},
        {3, "\"Kiosk/Mirror\" is not a full path"},
        {4, "placeholder text"},
        {5, "prefMetaData: has no value"},
        {6, "prefAutoSynchronize: has no value"}}},
      {"lines that are not settings",
       "userLoginName kiosk07\n= value\nuser name = x\n\"userLoginName\" = x\n",
       {},
       {{1, "not a \"key = value\" line"},
        {2, "is not a setting's name"},
        {3, "\"user name\" is not a setting's name"},
        {4, "is not a setting's name"}}},
      {"bytes that are not UTF-8 text, control characters, NUL",
       std::string("userLoginName = k\xff\nuserLoginPassword = a\x01z\nprefMetaData = a") +
           std::string(1, '\0') +
           "b\nuserEnteredEventName = \xC0\xAF\nprefVyrFuseAction = "
           "\xED\xA0\x80\nprefCheckHiResOrderFuseAction = \xE2\x82",
       {},
       {{1, "not UTF-8"},
        {2, "control character"},
        {3, "control character"},
        {4, "not UTF-8"},
        {5, "not UTF-8"},
        {6, "not UTF-8"}}},
      {"a valid multi-byte text",
       "userEnteredEventName = Fête in Zürich 🎡",
       {{"userEnteredEventName", "Fête in Zürich 🎡"}},
       {}},
      {"a line over the bound",
       "# ok\nprefMetaData = " + std::string(5000, 'x') + "\nfoo\n",
       {},
       {{2, "longer than 4096 bytes"}, {3, "not a \"key = value\" line"}}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    SettingsFile file = parseSettingsText(c.text);
    ASSERT_EQ(file.problems.size(), c.problems.size());
    for (std::size_t i = 0; i < c.problems.size(); ++i) {
      EXPECT_EQ(file.problems[i].line, c.problems[i].line) << file.problems[i].text;
      EXPECT_NE(file.problems[i].text.find(c.problems[i].text), std::string::npos)
          << file.problems[i].text;
    }
    if (!c.problems.empty()) continue;
    ASSERT_EQ(file.settings.size(), c.settings.size());
    for (std::size_t i = 0; i < c.settings.size(); ++i) {
      EXPECT_EQ(file.settings[i].key, c.settings[i].first);
      EXPECT_EQ(file.settings[i].value, c.settings[i].second)
          << file.settings[i].value.description();
    }
  }
}

TEST(SettingsImport, InputIsBounded) {
  // A file over the bound is refused whole, before any line is read.
  SettingsFile big = parseSettingsText(std::string(kMaxSettingsFileBytes + 1, '#'));
  ASSERT_EQ(big.problems.size(), 1u);
  EXPECT_EQ(big.problems[0].line, 0);
  EXPECT_TRUE(big.settings.empty());
  // A file of nothing but bad lines stops after a bounded number of problems.
  std::string bad;
  for (int i = 0; i < 5000; ++i) bad += "x\n";
  SettingsFile many = parseSettingsText(bad);
  EXPECT_LE(many.problems.size(), 101u);
  EXPECT_NE(many.problems.back().text.find("too many problems"), std::string::npos);
}

TEST(SettingsImport, StoredValuesAreJudgedByTheSameRules) {
  const struct {
    const char* key;
    Value value;
    const char* problem;  // nullptr: valid
  } cases[] = {
      {"prefAutoSynchronize", Value("YES"), nullptr},  // as the remote control stores it
      {"prefAutoSynchronize", Value(1), nullptr},
      {"prefAutoSynchronize", Value("maybe"), "is not yes or no"},
      {"prefSecondsBetweenScans", Value("30"), nullptr},
      {"prefSecondsBetweenScans", Value(0.5), "0.5 is out of range"},
      {"prefSecondsBetweenScans", Value("abc"), "is not a number"},
      {"prefSecondsBetweenScans", Value(true), "not a number"},
      {"prefDaysToSaveLogs", Value(14), nullptr},
      {"prefDaysOldBeforeDeleting", Value(2.5), "not a whole number"},
      {"prefUploadTimeOut", Value(0), "out of range"},
      {"userLoginName", Value(5), "is not a text"},
      {"userLoginName", Value(""), "has no value"},
      {"prefVyrURL", Value("http://127.0.0.1:8080/upload"), nullptr},
      {"prefVyrURL", Value("ftp://x/"), "does not begin with https://"},
      {"prefVyrURL", Value("file:///etc/passwd"), "does not begin with https://"},
      {"prefVyrURL", Value("https://a b/"), "holds a blank"},
      {"prefVyrURL", Value("http://"), "does not begin"},
      {"prefLocalSourceUploadFolder", Value("~/Kiosk"), nullptr},
      {"prefLocalSourceUploadFolder", Value("Kiosk"), "not a full path"},
      {"prefIsValidLocalSourceUploadFolder", Value(true), "is not a setting"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.value.description());
    auto problem = storedSettingProblem(c.key, c.value);
    if (!c.problem) {
      EXPECT_EQ(problem, std::nullopt) << problem.value_or("");
    } else {
      ASSERT_TRUE(problem.has_value());
      EXPECT_NE(problem->find(c.problem), std::string::npos) << *problem;
    }
  }
  EXPECT_EQ(settingDisplayText(sUserLoginPassword, Value("secret")), "********");
  EXPECT_EQ(settingDisplayText(sPrefAutoSynchronize, Value(true)), "yes");
  EXPECT_EQ(settingDisplayText(sPrefSecondsBetweenScans, Value(2.5)), "2.5");
}

class SettingsImportFileTest : public ::testing::Test {
 protected:
  void SetUp() override { DefaultsStore::resetStandardForPath(dir.sub("defaults.plist")); }
  void TearDown() override { DefaultsStore::resetStandardForPath(""); }
  DefaultsStore& store() { return DefaultsStore::standard(); }
  TempDir dir;
};

// The example shipped with the docs: its four blanks must be filled in, every setting the file
// takes is in it (active or behind a #), and filled in it loads whole.
TEST_F(SettingsImportFileTest, TheShippedExampleNeedsItsBlanksAndCoversEverySetting) {
  std::string example =
      readFile(std::string(SORV_TEST_SOURCE_DIR) + "/resources/linux/sorv-uploader-settings.conf");
  ASSERT_FALSE(example.empty());
  SettingsFile shipped = parseSettingsText(example);
  std::set<std::string> blanks;
  for (const auto& p : shipped.problems) blanks.insert(p.text.substr(0, p.text.find(':')));
  EXPECT_EQ(blanks, (std::set<std::string>{"userLoginName", "userLoginPassword",
                                           "userEnteredEventName", "prefVyrURL"}));

  std::string filled =
      std::regex_replace(example, std::regex("\n(user[A-Za-z]+|prefVyrURL) =\n"), "\n$1 = x\n");
  filled = std::regex_replace(filled, std::regex("prefVyrURL = x"),
                              "prefVyrURL = https://photos.example.com/upload");
  // Every line behind a # that sets something must load as well once uncommented.
  std::string everything =
      std::regex_replace(filled, std::regex("\n# (pref[A-Za-z0-9]+ =)"), "\n$1");
  SettingsFile all = parseSettingsText(everything);
  for (const auto& p : all.problems) ADD_FAILURE() << "line " << p.line << ": " << p.text;
  std::set<std::string> covered;
  for (const auto& s : all.settings) covered.insert(s.key);
  for (const auto& key : importableSettingKeys())
    EXPECT_TRUE(covered.count(key)) << key << " is not in the example";

  // As shipped and filled in, it loads and the agent reads what it says.
  ASSERT_TRUE(writeFile(dir.sub("kiosk.conf"), filled));
  SettingsFile file = readSettingsFile(dir.sub("kiosk.conf"));
  ASSERT_TRUE(file.problems.empty());
  std::string err;
  ASSERT_TRUE(applySettings(file, store(), &err)) << err;
  EXPECT_EQ(Preferences::getPrefVyrURL(), "https://photos.example.com/upload");
  EXPECT_EQ(Preferences::getLocalSourceUploadFolder(), homeFolder() + "/Kiosk/Source");
  EXPECT_EQ(Preferences::getUploadTimeOut(), 500.0f);
  EXPECT_TRUE(Preferences::getDoAutoSynchronize());
  EXPECT_TRUE(Preferences::getAutoStartUploadAtStartup());
  EXPECT_EQ(Preferences::getDaysToSaveLogs(), 14);
}

TEST_F(SettingsImportFileTest, NothingIsStoredUnlessTheWholeFileIsValid) {
  store().setObject(Value("old"), sUserLoginName);
  store().setObject(Value(30), sPrefSecondsBetweenScans);
  ASSERT_TRUE(store().synchronize());
  const std::string before = readFile(dir.sub("defaults.plist"));

  // One bad line among good ones: the good ones are not stored either.
  ASSERT_TRUE(writeFile(dir.sub("bad.conf"),
                        "userLoginName = new\nprefSecondsBetweenScans = 0\nprefVyrURL = "
                        "https://site/\n"));
  SettingsFile bad = readSettingsFile(dir.sub("bad.conf"));
  ASSERT_EQ(bad.problems.size(), 1u);
  std::string err;
  EXPECT_FALSE(applySettings(bad, store(), &err));
  EXPECT_EQ(store().stringForKey(sUserLoginName), "old");
  EXPECT_EQ(store().objectForKey(sPrefVyrURL), std::nullopt);
  EXPECT_EQ(readFile(dir.sub("defaults.plist")), before);

  // A valid file is merged and on disk when applySettings returns; other keys stay.
  ASSERT_TRUE(writeFile(dir.sub("good.conf"), "userLoginName = new\nprefVyrURL = https://site/\n"));
  ASSERT_TRUE(applySettings(readSettingsFile(dir.sub("good.conf")), store(), &err)) << err;
  auto onDisk = plist::parseFile(dir.sub("defaults.plist"));
  ASSERT_TRUE(onDisk && onDisk->asDict());
  EXPECT_EQ(*dictGet(*onDisk->asDict(), sUserLoginName), Value("new"));
  EXPECT_EQ(*dictGet(*onDisk->asDict(), sPrefVyrURL), Value("https://site/"));
  EXPECT_EQ(*dictGet(*onDisk->asDict(), sPrefSecondsBetweenScans), Value(30));
}

TEST_F(SettingsImportFileTest, FilesThatCannotBeReadAreRefusedAtOnce) {
  const std::string fifo = dir.sub("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_TRUE(writeFile(dir.sub("big.conf"), std::string(kMaxSettingsFileBytes + 10, '#')));
  const struct {
    std::string path;
    const char* problem;
  } cases[] = {
      {dir.sub("missing.conf"), "No such file"},
      {dir.path(), "not a regular file"},
      {fifo, "not a regular file"},  // opened without waiting for a writer
      {dir.sub("big.conf"), "larger than 65536 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SettingsFile file = readSettingsFile(c.path);
    ASSERT_EQ(file.problems.size(), 1u);
    EXPECT_EQ(file.problems[0].line, 0);
    EXPECT_NE(file.problems[0].text.find(c.problem), std::string::npos) << file.problems[0].text;
  }
}

}  // namespace
}  // namespace sorv
