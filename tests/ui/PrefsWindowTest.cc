// The preferences window's lock, tab check, observed keys and folder choosers, on real widgets.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QTabWidget>
#include <QWidget>
#include <filesystem>

#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/ui/UiHarness.h"
#include "ui/Alerts.h"
#include "ui/PrefsWindow.h"
#include "ui/Tags.h"

namespace sorv::test {
namespace {

// Every widget of the three groups, with what the lock may do to it.
struct Controls {
  std::vector<QWidget*> locked, neverLocked, labels;
};

Controls controlsOf(PrefsWindow& prefs) {
  Controls c;
  for (QWidget* group :
       {prefs.ibChangeablePrefView(), prefs.ibChangeablePref2View(), prefs.ibChangeablePref3View()})
    for (QWidget* w : group->findChildren<QWidget*>()) {
      if (!isControl(w) || w->objectName().startsWith("qt_")) continue;
      bool reveal = w->property(kImageNameProperty).toString() == "DownloadReveal";
      if (tagOf(w) == -99 || reveal)
        c.neverLocked.push_back(w);
      else
        c.locked.push_back(w);
      if (tagOf(w) == -100) c.labels.push_back(w);
    }
  return c;
}

bool insideBox(QWidget* w, QWidget* box) {
  return box->isAncestorOf(w);
}

TEST(PrefsWindow, LockEnablesTheGroupsAndTheOrderBoxFollowsItsKey) {
  UiHarness h;
  h.setPref(sPrefDoCheckOrders, false);
  QWidget main;
  PrefsWindow prefs(nullptr, &main, nullptr);
  QAbstractButton* lock = prefs.lockButton();
  ASSERT_TRUE(lock);
  QWidget* box = findSubView(prefs.ibChangeablePref3View(), "NSBOX1");
  ASSERT_TRUE(box);
  Controls c = controlsOf(prefs);
  ASSERT_GT(c.neverLocked.size(), 3u);  // three reveal buttons and a note
  ASSERT_FALSE(c.labels.empty());

  lock->setChecked(false);
  prefs.ibClickedOnLockIcon(lock);
  h.pump();
  for (QWidget* w : c.locked) EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  for (QWidget* w : c.neverLocked) EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
  for (QWidget* w : c.labels) EXPECT_TRUE(w->styleSheet().contains("grey"));

  lock->setChecked(true);
  prefs.ibClickedOnLockIcon(lock);
  h.pump();
  for (QWidget* w : c.locked)
    EXPECT_EQ(w->isEnabled(), !insideBox(w, box)) << w->objectName().toStdString();
  for (QWidget* w : c.labels) EXPECT_TRUE(w->styleSheet().contains("black"));

  // The order box follows the key while unlocked, from any writer of the store.
  DefaultsStore::standard().setBool(true, sPrefDoCheckOrders);
  ASSERT_TRUE(h.pumpUntil([&] { return box->isEnabled(); }));
  for (QWidget* w : c.locked) EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();

  // A tag that is not the lock's changes nothing; the forced lock locks.
  QWidget* someone = c.locked.front();
  prefs.ibClickedOnLockIcon(qobject_cast<QAbstractButton*>(viewWithTag(&main, 111)));
  EXPECT_TRUE(someone->isEnabled());
  prefs.forceLockedIcon(false);
  EXPECT_FALSE(lock->isChecked());
  EXPECT_FALSE(someone->isEnabled());
}

TEST(PrefsWindow, TabCheckWritesTheValidityFlagsAndTheDisplaysTakeTheirColour) {
  UiHarness h;
  QWidget main;
  PrefsWindow prefs(nullptr, &main, nullptr);
  std::string source = h.dir.sub("Source");
  mkdir(source.c_str(), 0755);
  h.setPref(sPrefLocalSourceUploadFolder, source);
  h.setPref(sPrefLocalMasterMirrorSiteFolder, h.dir.sub("no such mirror"));
  h.setPref(sPrefVyrHiResAlternatePath1, h.dir.path());
  auto& store = DefaultsStore::standard();
  store.setBool(false, sPrefIsValidLocalSourceUploadFolder);
  store.setBool(true, sPrefIsValidLocalMasterMirrorSiteFolder);
  store.setBool(false, sPrefIsValidVyrHiResAlternatePath1);
  h.pump();

  auto indexOf = [&](int identifier) {
    for (int i = 0; i < prefs.ibTabView()->count(); ++i)
      if (prefs.ibTabView()->widget(i)->property("identifier").toInt() == identifier) return i;
    return -1;
  };
  prefs.ibTabView()->setCurrentIndex(indexOf(2));
  EXPECT_TRUE(store.boolForKey(sPrefIsValidLocalSourceUploadFolder));
  EXPECT_FALSE(store.boolForKey(sPrefIsValidLocalMasterMirrorSiteFolder));
  EXPECT_FALSE(store.boolForKey(sPrefIsValidVyrHiResAlternatePath1));  // tab 3 not shown yet
  ASSERT_TRUE(h.pumpUntil([&] {
    return prefs.ibMainWindowLocalMirrorSitePath()->styleSheet().contains("red") &&
           prefs.ibMainWindowLocalSourcePath()->styleSheet().contains("black");
  }));
  prefs.ibTabView()->setCurrentIndex(indexOf(3));
  EXPECT_TRUE(store.boolForKey(sPrefIsValidVyrHiResAlternatePath1));

  // A new source path reads as a false flag until the chooser writes the flag after it.
  h.setPref(sPrefLocalSourceUploadFolder, h.dir.sub("Other"));
  ASSERT_TRUE(h.pumpUntil(
      [&] { return prefs.ibMainWindowLocalSourcePath()->styleSheet().contains("red"); }));
  mkdir(h.dir.sub("Mirror").c_str(), 0755);
  prefs.openPanelDidEnd(1, std::string(sPrefLocalMasterMirrorSiteFolder), {h.dir.sub("Mirror")});
  EXPECT_EQ(store.stringForKey(sPrefLocalMasterMirrorSiteFolder), h.dir.sub("Mirror"));
  EXPECT_EQ(prefs.ibMainWindowLocalMirrorSitePath()->toolTip().toStdString(), h.dir.sub("Mirror"));
  ASSERT_TRUE(h.pumpUntil(
      [&] { return prefs.ibMainWindowLocalMirrorSitePath()->styleSheet().contains("black"); }));
  EXPECT_EQ(prefs.ibMainWindowLocalMirrorSitePath()->text().toStdString(), h.dir.sub("Mirror"));
}

TEST(PrefsWindow, AlternatePathVolumeRootsFollowTheRootPreference) {
  UiHarness h;
  QWidget main;
  PrefsWindow prefs(nullptr, &main, nullptr);
  std::vector<std::string> shown;
  setAlertPresenter([&](const AlertSpec& alert, QWidget*) {
    shown.push_back(alert.title);
    return kAlertDefault;
  });
  auto& store = DefaultsStore::standard();
  h.setPref(sPrefVyrHiResAlternatePath1, "/kept");
  store.setBool(false, sPrefAllowRootVolumeSelections);
  prefs.openPanelDidEnd(1, std::string(sPrefVyrHiResAlternatePath1), {"/tmp", "/"});
  EXPECT_EQ(store.stringForKey(sPrefVyrHiResAlternatePath1), "/kept");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Volume Not Allowed");

  store.setBool(true, sPrefAllowRootVolumeSelections);
  prefs.openPanelDidEnd(1, std::string(sPrefVyrHiResAlternatePath1), {"/"});
  EXPECT_EQ(store.stringForKey(sPrefVyrHiResAlternatePath1), "/");
  EXPECT_TRUE(store.boolForKey(sPrefIsValidVyrHiResAlternatePath1));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1], "Searching a Whole Disk");

  // Cancelled, without a key or without a path: nothing stored.
  prefs.openPanelDidEnd(0, std::string(sPrefLocalSourceUploadFolder), {"/tmp"});
  prefs.openPanelDidEnd(1, std::nullopt, {"/tmp"});
  prefs.openPanelDidEnd(1, std::string(sPrefLocalSourceUploadFolder), {});
  EXPECT_FALSE(store.stringForKey(sPrefLocalSourceUploadFolder).value_or("") == "/tmp");
  setAlertPresenter({});
}

TEST(PrefsWindow, IsRootVolumeOnRealPaths) {
  UiHarness h;
  std::string deep = h.dir.sub("Photos/2011");
  std::filesystem::create_directories(deep);
  const struct {
    std::string path;
    bool root;
  } cases[] = {
      {"/", true},
      {"/proc", true},  // the top of a mounted file system
      {"/proc/self/fd", false},
      {h.dir.path(), false},
      {deep, false},
      {h.dir.sub("missing"), false},
      {h.dir.sub("Photos/2011/../2011"), false},
      {"relative/path", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isRootVolume(c.path), c.root) << c.path;
  if (std::filesystem::is_directory("/Volumes")) {
    EXPECT_TRUE(isRootVolume("/Volumes"));
  }
}

TEST(PrefsWindow, SavePanelNamesEndInPlist) {
  EXPECT_EQ(panelUserEnteredFilename(true, "MySettings"), "MySettings.plist");
  EXPECT_EQ(panelUserEnteredFilename(true, "MySettings.PLIST"), "MySettings.PLIST.plist");
  EXPECT_EQ(panelUserEnteredFilename(true, "a.plist"), "a.plist");
  EXPECT_EQ(panelUserEnteredFilename(false, "MySettings"), "MySettings");
}

TEST(PrefsWindow, AServedFolderIsNamedUnderTheSourceFolder) {
  UiHarness h;
  QWidget main;
  for (const char* served : {"", "/srv/kiosk/Source"}) {
    Preferences::setServedSourceFolder(std::string(served));
    PrefsWindow prefs(nullptr, &main, nullptr);
    prefs.showServedSourceFolder();
    prefs.showServedSourceFolder();  // said once
    auto notes = prefs.ibChangeablePref2View()->findChildren<QLabel*>("servedSourceFolderNote");
    if (!*served) {
      EXPECT_TRUE(notes.empty());
      continue;
    }
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes[0]->text().contains(served)) << notes[0]->text().toStdString();
    EXPECT_TRUE(notes[0]->text().contains("SORV_SOURCE_FOLDER"));
  }
  Preferences::setServedSourceFolder(std::nullopt);
}

}  // namespace
}  // namespace sorv::test
