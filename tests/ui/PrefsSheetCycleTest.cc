// The preferences sheet against a running cycle and the reference site: asking for the
// preferences during an upload pauses the cycle, the sheet opens once it has halted, and
// ending the sheet resumes the cycle until the folder is drained.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <filesystem>

#include "app/AppController.h"
#include "log/MessageLog.h"
#include "platform/Plist.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/Preferences.h"
#include "tests/support/SiteProcess.h"
#include "tests/ui/UiHarness.h"
#include "ui/MainWindow.h"

namespace sorv::test {
namespace {

bool writePhoto(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  photos::JpegOptions options;
  photos::ExifOptions exif;
  exif.dateTimeOriginal = "2024:05:01 10:20:30";
  exif.userComment = plist::toXml(Value(Dict{{"QM_kioskStation", "K1"}}));
  options.exif = exif;
  return photos::writeJpeg(path, options);
}

int filesBelow(const std::string& folder) {
  int n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) ++n;
  return n;
}

TEST(PrefsSheet, PausesARealCycleAndItsEndResumesIt) {
  UiHarness h;
  SiteProcess site(h.dir.sub("store"), {"--fault", "slow", "--slow-seconds", "0.4"});
  ASSERT_TRUE(site.ok());
  std::string source = h.dir.sub("Source"), mirror = h.dir.sub("Mirror");
  mkdir(mirror.c_str(), 0755);
  const int kPhotos = 4;
  for (int i = 1; i <= kPhotos; ++i)
    ASSERT_TRUE(writePhoto(source + "/Fair/IMG_" + std::to_string(i) + ".jpg"));
  h.setPref(sPrefLocalSourceUploadFolder, source);
  h.setPref(sPrefLocalMasterMirrorSiteFolder, mirror);
  h.setPref(sUserLoginName, "kiosk7");
  h.setPref(sUserLoginPassword, "secret");
  h.setPref(sPrefUserEnteredEventName, "Spring Fair");
  h.setPref(sPrefAutoSynchronize, false);
  h.setPref(sPrefVyrURL, site.url());

  MainWindow view;
  AppController controller(&view);
  view.setController(&controller);
  controller.startUp();
  view.window()->show();
  auto* prefButton = view.window()->findChild<QAbstractButton*>("ibOpenPrefButton");
  PrefsWindow* prefs = view.prefsWindow();

  controller.applicationOpenFile(source);
  ASSERT_TRUE(h.pumpUntil([] { return AppController::startedUploadProcess(); }));
  prefButton->click();
  h.pump();
  EXPECT_FALSE(prefButton->isEnabled());
  ASSERT_TRUE(h.pumpUntil([&] { return prefs->isVisible(); }, 30));
  EXPECT_TRUE(AppController::didHaltProcess());
  EXPECT_TRUE(prefs->ibLoginPanel()->displayAsSheet());
  EXPECT_TRUE(prefButton->isEnabled());
  int uploadedWhilePaused = filesBelow(mirror);
  EXPECT_LT(uploadedWhilePaused, kPhotos);
  h.pumpUntil([] { return false; }, 1.0);  // the cycle stays halted while the sheet is up
  EXPECT_EQ(filesBelow(mirror), uploadedWhilePaused);

  prefs->ibClickedOnSaveAndClose();  // valid settings: the sheet ends and the cycle resumes
  ASSERT_TRUE(h.pumpUntil([&] { return filesBelow(mirror) == kPhotos; }, 30));
  EXPECT_FALSE(prefs->isVisible());
  EXPECT_FALSE(prefs->lockButton()->isChecked());  // saving locks the window

  controller.stopWatcher();
  h.pumpUntil([&] { return controller.runningThreadCount() == 0; }, 30);
  h.pump();  // what the last thread posted before it ended reaches the window while it lives
  MessageLog::CloseLog();
}

}  // namespace
}  // namespace sorv::test
