#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/Bundle.h"
#include "platform/Plist.h"
#include "settings/DefaultsStore.h"
#include "settings/PreferenceFiles.h"
#include "settings/Preferences.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::EnvParts;
using test::readFile;
using test::ScopedEnv;
using test::writeFile;

TEST(PreferenceFiles, PanelNameAndPromptRules) {
  using P = PreferenceFiles;
  EXPECT_EQ(P::userEnteredFilename("SavePanel", "MySettings"), "MySettings.plist");
  EXPECT_EQ(P::userEnteredFilename("SavePanel", "A.plist"), "A.plist");
  EXPECT_EQ(P::userEnteredFilename("SavePanel", "MySettings.PLIST"), "MySettings.PLIST.plist");
  EXPECT_EQ(P::userEnteredFilename("Open", "MySettings"), "MySettings");
  EXPECT_FALSE(P::isValidFilename("SavePanel", "a.PLIST"));
  EXPECT_TRUE(P::isValidFilename("SavePanel", std::nullopt));
  EXPECT_TRUE(P::isValidFilename("Open", "a.txt"));
  EXPECT_EQ(P::promptForSelectionChange("Open", "/x/My Prefs.plist"), "Choose \"My Prefs.plist\"");
  EXPECT_EQ(P::promptForSelectionChange("Open", std::nullopt), "Select");
  EXPECT_EQ(P::promptForSelectionChange("SavePanel", "/x/a.plist"), std::nullopt);
  EXPECT_EQ(P::promptForDirectoryChange("Open", std::nullopt), std::nullopt);
}

class PreferenceFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { DefaultsStore::resetStandardForPath(dir.sub("defaults.plist")); }
  void TearDown() override { DefaultsStore::resetStandardForPath(""); }
  DefaultsStore& store() { return DefaultsStore::standard(); }
  test::TempDir dir;
};

TEST_F(PreferenceFilesTest, SavedFileHoldsFactoryAndUserValuesOfTheListOnly) {
  Bundle::setMainBundlePath(dir.sub("Uploader.app"));
  std::filesystem::create_directories(dir.sub("Uploader.app/Contents/Resources"));
  ASSERT_TRUE(plist::writeFileAtomically(
      dir.sub("Uploader.app/Contents/Resources/FactoryDefault.plist"),
      Value(Dict{{sPrefSecondsBetweenScans, 120}, {sPrefVyrURL, "http://site"}})));
  Preferences::setupFactoryDefaults();
  store().setObject(Value("secret"), sUserLoginPassword);
  std::string file = dir.sub("Saved.plist");
  ASSERT_TRUE(PreferenceFiles::savePrefsToFile(file));
  EXPECT_EQ(plist::parseFile(file),
            Value(Dict{{sPrefSecondsBetweenScans, 120}, {sUserLoginPassword, "secret"}}));
  // A failed save leaves the earlier file whole.
  std::string before = readFile(file);
  ASSERT_TRUE(writeFile(dir.sub("blocker"), "x"));
  EXPECT_FALSE(PreferenceFiles::savePrefsToFile(dir.sub("blocker/Saved.plist")));
  EXPECT_EQ(readFile(file), before);
}

TEST_F(PreferenceFilesTest, LoadMergesTheListedKeysOfTheRightType) {
  store().setObject(Value("old"), sUserLoginName);
  store().setObject(Value("http://mine"), sPrefVyrURL);
  store().setObject(Value(30), sPrefDaysOldBeforeDeleting);
  std::string xml = plist::toXml(Value(Dict{{sUserLoginPassword, "new"},
                                            {sPrefVyrURL, "http://other"},
                                            {sPrefAutoSynchronize, "YES"},
                                            {sPrefShowPreviewWhenUploading, true},
                                            {sPrefDaysOldBeforeDeleting, "many"},
                                            {sPrefLocalSourceUploadFolder, 5}}));
  plist_t root = nullptr;  // the same dictionary as a binary property list
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  char* bin = nullptr;
  uint32_t binSize = 0;
  plist_to_bin(root, &bin, &binSize);
  ASSERT_TRUE(writeFile(dir.sub("binary.plist"), std::string(bin, binSize)));
  free(bin);
  plist_free(root);

  int loaded = -1;
  ASSERT_TRUE(PreferenceFiles::loadPrefsFromFile(dir.sub("binary.plist"), nullptr, &loaded));
  EXPECT_EQ(loaded, 3);
  EXPECT_EQ(store().stringForKey(sUserLoginPassword), "new");
  EXPECT_EQ(store().stringForKey(sUserLoginName), "old");       // missing from the file
  EXPECT_EQ(store().stringForKey(sPrefVyrURL), "http://mine");  // not in the list
  EXPECT_TRUE(Preferences::getDoAutoSynchronize());
  EXPECT_TRUE(Preferences::getPrefShowPreviewWhenUploading());
  EXPECT_EQ(store().objectForKey(sPrefDaysOldBeforeDeleting), Value(30));  // wrong types
  EXPECT_EQ(store().objectForKey(sPrefLocalSourceUploadFolder), std::nullopt);

  // Files that are not a property-list dictionary load nothing and say why.
  std::string half = readFile(dir.sub("binary.plist")).substr(0, binSize / 2);
  ASSERT_TRUE(writeFile(dir.sub("truncated.plist"), half));
  ASSERT_TRUE(writeFile(dir.sub("array.plist"), plist::toXml(Value(Array{"a"}))));
  for (const char* name : {"truncated.plist", "array.plist", "missing.plist"}) {
    std::string why;
    EXPECT_FALSE(PreferenceFiles::loadPrefsFromFile(dir.sub(name), &why)) << name;
    EXPECT_FALSE(why.empty()) << name;
  }
  EXPECT_EQ(store().stringForKey(sUserLoginPassword), "new");
}

// A preference file or the defaults file replaces only a regular file (or nothing): a link or a
// FIFO in its place stays as it is, the link's target untouched, and the refusal is said once
// however often the write is tried.
TEST_F(PreferenceFilesTest, OnlyARegularFileIsReplacedAndARefusalIsSaidOnce) {
  enum class Writer { PreferenceFile, DefaultsFile };
  enum class Kind { Link, Fifo };
  const std::string target = dir.sub("target.plist");
  for (Writer writer : {Writer::PreferenceFile, Writer::DefaultsFile}) {
    for (Kind kind : {Kind::Link, Kind::Fifo}) {
      const bool prefs = writer == Writer::PreferenceFile;
      SCOPED_TRACE(std::string(prefs ? "preferences" : "defaults") +
                   (kind == Kind::Link ? ", link" : ", FIFO"));
      const std::string file = prefs ? dir.sub("Saved.plist") : dir.sub("defaults.plist");
      ::unlink(file.c_str());
      ASSERT_TRUE(writeFile(target, "not ours"));
      ASSERT_EQ(kind == Kind::Link ? ::symlink(target.c_str(), file.c_str())
                                   : ::mkfifo(file.c_str(), 0600),
                0);
      struct stat before {};
      ASSERT_EQ(::lstat(file.c_str(), &before), 0);
      test::CapturedOutput err(2);
      for (int i = 0; i < 3; ++i) {
        store().setObject(Value("value " + std::to_string(i)), sUserLoginPassword);
        std::string why;
        EXPECT_FALSE(prefs ? PreferenceFiles::savePrefsToFile(file, &why) : store().synchronize());
        if (prefs) {
          EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
        }
      }
      const std::string said = err.text();
      struct stat after {};
      ASSERT_EQ(::lstat(file.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino);
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(readFile(target), "not ours");
      const std::string line =
          prefs ? "Could not save the preferences" : "Could not write the defaults file";
      std::size_t n = 0;
      for (std::size_t at = said.find(line); at != std::string::npos; at = said.find(line, at + 1))
        ++n;
      EXPECT_EQ(n, 1u) << said;
      ::unlink(file.c_str());
    }
  }
}

// Every step of writing a preference file or the defaults file can fail (a full disk most
// likely): the write reports it, the earlier file stays whole and no temporary file is left.
TEST_F(PreferenceFilesTest, AFailedWriteKeepsTheOldFileWhole) {
  using Fault = test::FaultInjectionFileSystem;
  enum class Writer { PreferenceFile, DefaultsFile };
  const struct {
    Fault::Op op;
    int err;
  } steps[] = {
      {Fault::Op::CreateFile, ENOSPC}, {Fault::Op::ChangeMode, EPERM}, {Fault::Op::Append, ENOSPC},
      {Fault::Op::SyncFile, EIO},      {Fault::Op::Close, ENOSPC},     {Fault::Op::Rename, ENOSPC},
  };
  for (Writer writer : {Writer::PreferenceFile, Writer::DefaultsFile}) {
    for (const auto& step : steps) {
      const std::string file =
          writer == Writer::PreferenceFile ? dir.sub("Saved.plist") : dir.sub("defaults.plist");
      const std::string what =
          std::string(writer == Writer::PreferenceFile ? "preferences" : "defaults") + ", step " +
          std::to_string(static_cast<int>(step.op));
      store().setObject(Value("old"), sUserLoginPassword);
      ASSERT_TRUE(writer == Writer::PreferenceFile ? PreferenceFiles::savePrefsToFile(file)
                                                   : store().synchronize());
      const std::string before = readFile(file);
      store().setObject(Value("new"), sUserLoginPassword);
      test::CapturedOutput err(2);
      std::string why;
      {
        // Every call of the step fails, so a flush of the store's own thread meanwhile fails too.
        Fault faults;
        for (int n = 1; n <= 50; ++n) faults.failNth(step.op, n, step.err);
        std::optional<ScopedEnv> env(EnvParts{.fileSystem = &faults});
        bool written = writer == Writer::PreferenceFile
                           ? PreferenceFiles::savePrefsToFile(file, &why)
                           : store().synchronize();
        EXPECT_FALSE(written) << what;
        EXPECT_EQ(readFile(file), before) << what;
        std::size_t temporaries = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
          temporaries += e.path().string().rfind(file + ".", 0) == 0;
        EXPECT_EQ(temporaries, 0u) << what;
        env.reset();
        store().synchronize();  // waits for a write of the store's thread that may still run
      }
      const std::string log = err.text();
      const char* line = writer == Writer::PreferenceFile ? "Could not save the preferences"
                                                          : "Could not write the defaults file";
      EXPECT_NE(log.find(line), std::string::npos) << what << "\n" << log;
      EXPECT_NE(log.find(strerror(step.err)), std::string::npos) << what << "\n" << log;
      if (writer == Writer::PreferenceFile) {
        EXPECT_NE(why.find(strerror(step.err)), std::string::npos) << what;
      }
    }
  }
}

}  // namespace
}  // namespace sorv
