// The open request's validation: folders (including a mirror that overlaps the source),
// event name and login.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"

namespace sorv::test {
namespace {

struct ValidationCase {
  const char* name;
  std::function<void(CycleHarness&)> setup;
  bool accepted;
  const char* logLine;  // expected in the message log, or nullptr
};

TEST(OpenRequest, ValidationTable) {
  const ValidationCase cases[] = {
      {"all set", [](CycleHarness&) {}, true, nullptr},
      {"mirror unset",
       [](CycleHarness&) {
         DefaultsStore::standard().removeObject(sPrefLocalMasterMirrorSiteFolder);
       },
       false, "Local Master Mirror Folder Has NOT Been Selected Yet..."},
      {"mirror missing",
       [](CycleHarness& h) { h.setPref(sPrefLocalMasterMirrorSiteFolder, h.dir.sub("nowhere")); },
       false, "Local Master Mirror Folder is NOT a Valid FOLDER: ["},
      {"mirror is a file",
       [](CycleHarness& h) {
         writeFile(h.dir.sub("file"), "x");
         h.setPref(sPrefLocalMasterMirrorSiteFolder, h.dir.sub("file"));
       },
       false, "Local Master Mirror Folder is NOT a Valid FOLDER: ["},
      {"mirror equals source",
       [](CycleHarness& h) { h.setPref(sPrefLocalMasterMirrorSiteFolder, h.source()); }, false,
       "May NOT Be, Lie Inside or Contain the Local Source Upload Folder"},
      {"mirror inside source",
       [](CycleHarness& h) {
         mkdir(h.dir.sub("Source/Done").c_str(), 0755);
         h.setPref(sPrefLocalMasterMirrorSiteFolder, h.dir.sub("Source/Done"));
       },
       false, "May NOT Be, Lie Inside or Contain the Local Source Upload Folder"},
      {"mirror inside source through a trailing slash and ..",
       [](CycleHarness& h) {
         mkdir(h.dir.sub("Source/Done").c_str(), 0755);
         h.setPref(sPrefLocalMasterMirrorSiteFolder, h.dir.sub("Mirror/../Source/Done/"));
       },
       false, "May NOT Be, Lie Inside or Contain the Local Source Upload Folder"},
      {"mirror contains source",
       [](CycleHarness& h) { h.setPref(sPrefLocalMasterMirrorSiteFolder, h.dir.path()); }, false,
       "May NOT Be, Lie Inside or Contain the Local Source Upload Folder"},
      {"source is a sibling with a common prefix",
       [](CycleHarness& h) {
         mkdir(h.dir.sub("Source2").c_str(), 0755);
         h.setPref(sPrefLocalMasterMirrorSiteFolder, h.dir.sub("Source2"));
       },
       true, nullptr},
      {"problem folder is the source",
       [](CycleHarness& h) {
         mkdir(h.dir.sub("Problem Folder").c_str(), 0755);
         h.setPref(sPrefLocalSourceUploadFolder, h.dir.sub("Problem Folder"));
       },
       false, "May NOT Be or Lie Inside the Local Source Upload Folder"},
      {"source missing",
       [](CycleHarness& h) { h.setPref(sPrefLocalSourceUploadFolder, h.dir.sub("gone")); }, false,
       "Local Source Upload Folder is NOT a Valid FOLDER: ["},
      {"source unset",
       [](CycleHarness&) { DefaultsStore::standard().removeObject(sPrefLocalSourceUploadFolder); },
       false, "Local Source Upload Folder Has NOT Been Selected Yet..."},
      {"event blank", [](CycleHarness& h) { h.setPref(sPrefUserEnteredEventName, "  \n"); }, false,
       nullptr},
      {"event is the hint text",
       [](CycleHarness& h) {
         h.setPref(sPrefUserEnteredEventName, "TURNONCHECKBOXIFUSINGTHISOPTION");
       },
       false, nullptr},
      {"user name empty", [](CycleHarness& h) { h.setPref(sUserLoginName, ""); }, false, nullptr},
      {"password empty", [](CycleHarness& h) { h.setPref(sUserLoginPassword, ""); }, false,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CycleHarness h(false);
    c.setup(h);
    bool ok = h.controller->validateUserInfoBeforeUploading(std::nullopt);
    EXPECT_EQ(ok, c.accepted);
    EXPECT_EQ(h.view.beeps.load(), c.accepted ? 0 : 1);
    if (c.logLine) {
      EXPECT_NE(h.messageLog().find(c.logLine), std::string::npos) << h.messageLog();
    }
  }
}

TEST(OpenRequest, RefusedOpenStartsNoPass) {
  CycleHarness h(false);
  h.setPref(sPrefLocalMasterMirrorSiteFolder, h.source());
  writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), standardMetaData());
  EXPECT_FALSE(h.controller->applicationOpenFile(h.source()));
  EXPECT_FALSE(AppController::insideOpenFile());
  EXPECT_EQ(h.controller->runningThreadCount(), 0);
  EXPECT_TRUE(exists(h.dir.sub("Source/Event/IMG_1.jpg")));
}

TEST(OpenRequest, EventNameIsTrimmedAndStoredBack) {
  CycleHarness h(false);
  h.setPref(sPrefUserEnteredEventName, "  Spring Fair \t\n");
  EXPECT_TRUE(h.controller->validateUserInfoBeforeUploading(std::nullopt));
  EXPECT_EQ(h.controller->curEventName().value_or(""), "Spring Fair");
  EXPECT_EQ(DefaultsStore::standard().stringForKey(sPrefUserEnteredEventName).value_or(""),
            "Spring Fair");
}

TEST(OpenRequest, OpenWhileAnotherRunsOrDuringUpload) {
  CycleHarness h(false);
  // A missing folder is answered YES without any effect.
  EXPECT_TRUE(h.controller->applicationOpenFile(h.dir.sub("missing")));
  EXPECT_EQ(h.controller->runningThreadCount(), 0);
  h.controller->setStartedUploadProcess(true);
  EXPECT_FALSE(h.controller->applicationOpenFile(h.source()));
  EXPECT_FALSE(AppController::insideOpenFile());
  h.controller->setStartedUploadProcess(false);
  h.controller->setIsInsideOpenFile(true);
  EXPECT_TRUE(h.controller->applicationOpenFile(h.source()));
  EXPECT_EQ(h.controller->runningThreadCount(), 0);
  h.controller->setIsInsideOpenFile(false);
}

}  // namespace
}  // namespace sorv::test
