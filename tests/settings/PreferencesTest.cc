#include <gtest/gtest.h>
#include <stdlib.h>

#include <cfloat>
#include <filesystem>

#include "platform/Bundle.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::CapturedOutput;
using test::TempDir;
using test::writeFile;

class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
    setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
    DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
    Bundle::setMainBundlePath(dir.sub("Uploader.app"));
  }
  void TearDown() override { DefaultsStore::resetStandardForPath(""); }
  DefaultsStore& store() { return DefaultsStore::standard(); }
  std::string factoryPath() const {
    return dir.sub("Uploader.app/Contents/Resources/FactoryDefault.plist");
  }
  // Runs setupFactoryDefaults and gives its console output.
  std::string setupFactory() {
    CapturedOutput err(2);
    Preferences::setupFactoryDefaults();
    return err.text();
  }
  TempDir dir;
};

TEST_F(PreferencesTest, EmptyStoreGivesTableDefaults) {
  EXPECT_EQ(Preferences::getLocalSourceUploadFolder(), std::nullopt);
  EXPECT_EQ(Preferences::getLocalMasterMirrorSiteFolder(), std::nullopt);
  EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), std::nullopt);
  EXPECT_EQ(Preferences::getCurUserLoginName(), std::nullopt);
  EXPECT_EQ(Preferences::getVyrFuseAction(), std::nullopt);
  EXPECT_EQ(Preferences::getPrefSecondsBetweenScans(), std::nullopt);
  EXPECT_EQ(Preferences::getPrefDaysOldBeforeDeleting(), std::nullopt);
  EXPECT_EQ(Preferences::getPrefMinutesForCheckOrders(), std::nullopt);
  EXPECT_EQ(Preferences::getUploadTimeOut(), 500.0f);
  EXPECT_EQ(Preferences::getPrefSearchPathMethodTag(), 0);
  EXPECT_TRUE(Preferences::getUseEventName());
  // Plain boolean reads leave the store alone.
  EXPECT_FALSE(Preferences::getPrefShowPreviewWhenUploading());
  EXPECT_FALSE(Preferences::getPrefDoCheckOrders());
  EXPECT_FALSE(Preferences::getDoRedirectNSLog());
  EXPECT_TRUE(store().userDomain().empty());

  // Boolean reads with write-back store an explicit false for an absent key.
  struct WriteBack {
    bool (*read)();
    const char* key;
  };
  const WriteBack writeBacks[] = {
      {Preferences::getPrefDeleteEmptyFtpFolders, "prefDeleteEmptyFtpFolders"},
      {Preferences::getDoAutoSynchronize, "prefAutoSynchronize"},
      {Preferences::getPrefUseDoDeleteOldPhotos, "prefDoUseDeleteOldPhotos"},
      {Preferences::getPrefShowWindowAtStartup, "prefShowWindowAtStartup"},
      {Preferences::getAutoStartUploadAtStartup, "prefAutoStartUploadAtStartup"},
  };
  for (const WriteBack& w : writeBacks) {
    SCOPED_TRACE(w.key);
    EXPECT_FALSE(w.read());
    auto stored = store().userDomain();
    ASSERT_TRUE(dictGet(stored, w.key));
    EXPECT_EQ(*dictGet(stored, w.key), Value(false));
    // A stored true is answered and left as it was.
    store().setBool(true, w.key);
    EXPECT_TRUE(w.read());
    EXPECT_EQ(store().objectForKey(w.key), Value(true));
  }

  EXPECT_EQ(Preferences::getDaysToSaveLogs(), 14);
  EXPECT_EQ(store().objectForKey("prefDaysToSaveLogs"), Value(14));
}

TEST_F(PreferencesTest, BooleanAccessorsReadYesNoTexts) {
  const std::pair<Value, bool> cases[] = {
      {Value("Yes"), true}, {Value("YES"), true}, {Value("no"), false},
      {Value("NO"), false}, {Value(1), true},     {Value(0), false},
  };
  for (const auto& [stored, expected] : cases) {
    SCOPED_TRACE(stored.description());
    store().setObject(stored, "prefDoCheckOrders");
    store().setObject(stored, "prefAutoSynchronize");
    EXPECT_EQ(Preferences::getPrefDoCheckOrders(), expected);
    EXPECT_EQ(Preferences::getDoAutoSynchronize(), expected);
    // The write-back only fills an absent key; a stored text stays a text.
    EXPECT_EQ(store().objectForKey("prefAutoSynchronize"), stored);
  }
  store().setBool(false, "prefUseEventName");
  EXPECT_TRUE(Preferences::getUseEventName());
}

TEST_F(PreferencesTest, DaysToSaveLogsIsClampedAndWrittenBack) {
  struct Case {
    Value stored;
    int answer;
    Value afterwards;
  };
  const Case cases[] = {
      {Value(1), 3, Value(3)},       {Value(2), 3, Value(3)},
      {Value(3), 3, Value(3)},       {Value(45), 45, Value(45)},
      {Value(90), 90, Value(90)},    {Value(91), 90, Value(90)},
      {Value(-5), 14, Value(14)},    {Value(0), 14, Value(14)},
      {Value("abc"), 14, Value(14)}, {Value("30"), 30, Value("30")},
      {Value(7.9), 7, Value(7.9)},   {Value(4294967299LL), 90, Value(90)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.description());
    store().setObject(c.stored, "prefDaysToSaveLogs");
    EXPECT_EQ(Preferences::getDaysToSaveLogs(), c.answer);
    EXPECT_EQ(store().objectForKey("prefDaysToSaveLogs"), c.afterwards);
    EXPECT_EQ(Preferences::getDaysToSaveLogs(), c.answer);  // stable on the second read
  }
}

TEST_F(PreferencesTest, UploadTimeOut) {
  const std::pair<Value, float> cases[] = {
      {Value(0.5), 0.5f},     {Value(0), 500.0f},       {Value(-1), 500.0f},
      {Value("abc"), 500.0f}, {Value("250"), 250.0f},   {Value(30), 30.0f},
      {Value(true), 1.0f},    {Value(Date{5}), 500.0f}, {Value(1e300), FLT_MAX},
  };
  for (const auto& [stored, expected] : cases) {
    SCOPED_TRACE(stored.description());
    store().setObject(stored, "prefUploadTimeOut");
    EXPECT_EQ(Preferences::getUploadTimeOut(), expected);
  }
}

TEST_F(PreferencesTest, SearchPathTagAndItsPredicates) {
  struct Case {
    Value stored;
    int tag;
    bool originalPath;
    bool alternate;
  };
  const Case cases[] = {
      {Value(0), 0, false, false},   {Value(1), 1, true, false},    {Value(2), 2, false, true},
      {Value(3), 3, true, true},     {Value(4), 4, false, false},   {Value(65537), 1, true, false},
      {Value(65539), 3, true, true}, {Value(-1), -1, false, false}, {Value("2"), 2, false, true},
      {Value(3.9), 3, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.description());
    store().setObject(c.stored, "prefSearchPathMethodTag");
    EXPECT_EQ(Preferences::getPrefSearchPathMethodTag(), c.tag);
    EXPECT_EQ(Preferences::getPrefAlwaysSearchOriginalPath(), c.originalPath);
    EXPECT_EQ(Preferences::getPrefDoUseVyrHiResAlternatePath1(), c.alternate);
  }
}

TEST_F(PreferencesTest, ProblemFolderIsASiblingOfTheMirror) {
  const std::pair<const char*, const char*> cases[] = {
      {"/A/B/Mirror", "/A/B/Problem Folder"},
      {"/Volumes/Work/Mirror", "/Volumes/Work/Problem Folder"},
  };
  for (const auto& [mirror, problem] : cases) {
    store().setObject(Value(mirror), "prefLocalMasterMirrorSiteFolder");
    EXPECT_EQ(Preferences::getLocalProblemUploadFolder(), problem);
  }
}

TEST_F(PreferencesTest, StoredObjectsComeBackUnchanged) {
  store().setObject(Value("90"), "prefSecondsBetweenScans");
  store().setObject(Value(12), "prefDaysOldBeforeDeleting");
  store().setObject(Value(2.5), "prefMinutesForCheckOrders");
  EXPECT_EQ(Preferences::getPrefSecondsBetweenScans(), Value("90"));
  EXPECT_EQ(Preferences::getPrefDaysOldBeforeDeleting(), Value(12));
  EXPECT_EQ(Preferences::getPrefMinutesForCheckOrders(), Value(2.5));
  store().setObject(Value(42), "userLoginName");
  EXPECT_EQ(Preferences::getCurUserLoginName(), "42");  // a number reads as its text
}

TEST_F(PreferencesTest, YesNoStrings) {
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {"YES", true},         {"yes", true}, {"no", true},    {"No", true},   {"nO", true},
      {std::nullopt, false}, {"", false},   {"yes ", false}, {" no", false}, {"y", false},
      {"true", false},       {"1", false},  {"yess", false}, {"n", false},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text.value_or("nil"));
    EXPECT_EQ(isValidYesNoString(text), expected);
  }
}

TEST_F(PreferencesTest, SaveSettingStoresUnchangedLogsAndSynchronizes) {
  CapturedOutput err(2);
  EXPECT_TRUE(saveSettingToUserDefaults(Value("Yes"), "prefAutoSynchronize"));
  EXPECT_TRUE(saveSettingToUserDefaults(Value(180), "prefSecondsBetweenScans"));
  std::string console = err.text();
  EXPECT_NE(console.find("SETTING parameterValue=[Yes] for parameterName=[prefAutoSynchronize]"),
            std::string::npos)
      << console;
  EXPECT_NE(
      console.find("SETTING parameterValue=[180] for parameterName=[prefSecondsBetweenScans]"),
      std::string::npos)
      << console;
  // Already on disk: a second store on the same file sees both values with their types.
  DefaultsStore fromDisk(dir.sub("defaults.plist"));
  EXPECT_EQ(fromDisk.objectForKey("prefAutoSynchronize"), Value("Yes"));
  EXPECT_EQ(fromDisk.objectForKey("prefSecondsBetweenScans"), Value(180));
  EXPECT_TRUE(Preferences::getDoAutoSynchronize());
}

TEST_F(PreferencesTest, KeyListHasEighteenKeysInOrder) {
  const std::vector<std::string> expected = {
      "prefLocalMasterMirrorSiteFolder",
      "prefLocalSourceUploadFolder",
      "userLoginName",
      "userLoginPassword",
      "prefCreateEncapsulatingFolder",
      "prefShowPreviewWhenUploading",
      "prefDeleteEmptyFtpFolders",
      "prefUseEventName",
      "userEnteredEventName",
      "prefAutoSynchronize",
      "prefSecondsBetweenScans",
      "prefDoUseDeleteOldPhotos",
      "prefDaysOldBeforeDeleting",
      "prefShowWindowAtStartup",
      "prefAutoQuitAndRelaunchPerIteration",
      "prefDeleteServerItemFirst",
      "prefAutoStartUploadAtStartup",
      "prefDoCopyOldFtpPref",
  };
  EXPECT_EQ(Preferences::prefKeyNameArray(), expected);
  EXPECT_STREQ(sPrefUseDoDeleteOldPhotos, "prefDoUseDeleteOldPhotos");
  EXPECT_STREQ(sPrefUserEnteredEventName, "userEnteredEventName");
  EXPECT_STREQ(sPrefs_DaysToSaveLogs, "prefDaysToSaveLogs");
}

TEST_F(PreferencesTest, ShippedFactoryDefaultsAreRegistered) {
  const char* source = SORV_TEST_SOURCE_DIR;
  std::filesystem::create_directories(dir.sub("Uploader.app/Contents/Resources"));
  std::filesystem::copy_file(std::string(source) + "/resources/FactoryDefault.plist",
                             factoryPath());
  std::string console = setupFactory();
  EXPECT_NE(console.find("userDefaultsValuesPath = [" + factoryPath() + "]"), std::string::npos)
      << console;
  EXPECT_NE(console.find("About to register factory default dictionary:\n"), std::string::npos);
  EXPECT_EQ(console.find("NIL!!!!"), std::string::npos);

  EXPECT_EQ(Preferences::getVyrFuseAction(), "upload.upload");
  EXPECT_EQ(Preferences::getUploadTimeOut(), 500.0f);
  EXPECT_EQ(Preferences::getPrefSecondsBetweenScans()->doubleValue(), 120.0);
  EXPECT_EQ(Preferences::getDaysToSaveLogs(), 14);
  EXPECT_FALSE(Preferences::getPrefDeleteEmptyFtpFolders());
  // Every value came from the factory domain: nothing was written back.
  EXPECT_TRUE(store().userDomain().empty());
  // A user value still wins over the factory value.
  store().setObject(Value("upload.bp5"), "prefVyrFuseAction");
  EXPECT_EQ(Preferences::getVyrFuseAction(), "upload.bp5");

  // Initial values: the listed keys the file holds, nothing else.
  Dict initial = Preferences::initialValues();
  EXPECT_TRUE(dictGet(initial, "prefSecondsBetweenScans"));
  EXPECT_FALSE(dictGet(initial, "prefVyrFuseAction"));
  for (const auto& [key, value] : initial) {
    const auto& keys = Preferences::prefKeyNameArray();
    EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key;
  }
}

TEST_F(PreferencesTest, MissingOrBrokenFactoryDefaultsGiveTableDefaults) {
  const std::optional<std::string> files[] = {
      std::nullopt,
      std::string("<?xml version=\"1.0\"?><plist><dict><key>prefUploadTimeOut</key>"),
      std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
      std::string(),
  };
  for (const auto& bytes : files) {
    SCOPED_TRACE(bytes.value_or("(no file)"));
    std::filesystem::remove_all(dir.sub("Uploader.app"));
    if (bytes) {
      ASSERT_TRUE(writeFile(factoryPath(), *bytes));
    }
    std::string console = setupFactory();
    EXPECT_NE(console.find("userDefaultsValuesDict == NIL!!!!"), std::string::npos) << console;
    EXPECT_EQ(console.find("About to register"), std::string::npos);
    EXPECT_EQ(Preferences::getVyrFuseAction(), std::nullopt);
    EXPECT_EQ(Preferences::getUploadTimeOut(), 500.0f);
    EXPECT_EQ(Preferences::getPrefSecondsBetweenScans(), std::nullopt);
    EXPECT_TRUE(Preferences::initialValues().empty());
    EXPECT_EQ(Preferences::prefKeyNameArray().size(), 18u);
  }
}

}  // namespace
}  // namespace sorv
