// Whole passes against the reference site on loopback, through the real HTTP transport.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/NotificationCenter.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/SiteProcess.h"

namespace sorv::test {
namespace {

// Uploads the site has stored (its hidden in-progress folders left out).
int storedUploads(const std::string& store) {
  int n = 0;
  if (DIR* d = opendir(store.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

TEST(SiteCycle, FolderDrainsIntoTheSiteAndTheMirror) {
  CycleHarness h(true, true);
  SiteProcess site(h.dir.sub("store"));
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  const char* items[] = {"Fair/Booth 1/IMG_1.jpg", "Fair/Booth 1/IMG_2.png",
                         "Fair/Booth 2/IMG_3.jpg", "Gala/IMG_4.jpg"};
  for (const char* rel : items) {
    std::string path = h.source() + "/" + rel;
    ASSERT_TRUE(std::string(rel).ends_with(".png") ? writePngWithMeta(path, standardMetaData())
                                                   : writeJpegWithMeta(path, standardMetaData()));
  }
  writeFile(h.dir.sub("Source/Fair/Booth 1/IMG_1.mov"), "movie one");
  ASSERT_TRUE(h.runPass());
  for (const char* rel : items) {
    EXPECT_TRUE(exists(h.mirror() + "/" + rel)) << rel;
    EXPECT_FALSE(exists(h.source() + "/" + rel)) << rel;
  }
  EXPECT_EQ(readFile(h.dir.sub("Mirror/Fair/Booth 1/IMG_1.mov")), "movie one");
  EXPECT_EQ(storedUploads(h.dir.sub("store")), 4);
}

TEST(SiteCycle, FaultModes) {
  const struct {
    const char* fault;
    bool toProblem;
    bool staysInSource;
    double minWait;
  } cases[] = {
      {"http500", true, false, 2.0}, {"error", false, true, 0.0}, {"warning", true, false, 0.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    CycleHarness h(true, true);
    SiteProcess site(h.dir.sub("store"), {"--fault", c.fault});
    ASSERT_TRUE(site.ok());
    h.setPref(sPrefVyrURL, site.url());
    createFolderWithParents(h.problem());
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Fair/IMG_1.jpg"), standardMetaData()));
    writeFile(h.dir.sub("Source/Fair/IMG_1.mov"), "movie");
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(exists(h.dir.sub("Problem Folder/Fair/IMG_1.jpg")), c.toProblem);
    EXPECT_EQ(exists(h.dir.sub("Problem Folder/Fair/IMG_1.mov")), c.toProblem);
    EXPECT_EQ(exists(h.dir.sub("Source/Fair/IMG_1.jpg")), c.staysInSource);
    EXPECT_FALSE(exists(h.dir.sub("Mirror/Fair/IMG_1.jpg")));
    EXPECT_GE(h.fake.clock.totalSlept(), c.minWait);
    EXPECT_EQ(h.uploads().size(), 1u);
  }
}

TEST(SiteCycle, SiteDownLeavesTheItemAndRetriesUntilItAnswers) {
  CycleHarness h(true, true);
  // A port that refuses connections and that no other test's site can take meanwhile.
  RefusingPort down;
  ASSERT_GT(down.port(), 0);
  h.setPref(sPrefVyrURL, down.url());
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Fair/IMG_1.jpg"), standardMetaData()));
  h.controller->applicationOpenFile(h.source());
  ASSERT_TRUE(h.pumpUntil([&] { return h.uploads().size() >= 3; }));
  EXPECT_TRUE(exists(h.dir.sub("Source/Fair/IMG_1.jpg")));
  // One second after each transport error, and the item's own growing wait.
  EXPECT_GE(h.fake.clock.totalSlept(), 2.0 + 1.0 + 2.0);

  SiteProcess site(h.dir.sub("store"));
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  // Held back after its third failure, the item is tried again once its wait is over.
  ASSERT_TRUE(h.pumpUntil([&] {
    if (h.isIdle()) h.fake.clock.advance(1);
    return h.isIdle() && exists(h.dir.sub("Mirror/Fair/IMG_1.jpg"));
  }));
  EXPECT_EQ(storedUploads(h.dir.sub("store")), 1);
}

TEST(SiteCycle, WatcherStartsAPassForAPhotoDroppedIntoANewFolder) {
  CycleHarness h(true, true);  // the auto-synchronise timer is off
  SiteProcess site(h.dir.sub("store"));
  ASSERT_TRUE(site.ok());
  h.setPref(sPrefVyrURL, site.url());
  std::atomic<bool> started{false};
  int observer = 0;
  NotificationCenter::defaultCenter().addObserver(&observer, kWatcherStarted,
                                                  [&](const Notification*) { started = true; });
  ASSERT_TRUE(h.runPass());  // finds nothing and installs the watcher
  ASSERT_TRUE(h.pumpUntil([&] { return started.load(); }, 10));
  NotificationCenter::defaultCenter().removeObserver(&observer);
  {
    CapturedOutput err(2);
    h.controller->doWatchFolderInThread(h.source());
    EXPECT_NE(err.text().find("ALREADY inside doWatchFolderInThread"), std::string::npos);
  }
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Staging/IMG_1.jpg"), standardMetaData()));
  createFolderWithParents(h.dir.sub("Source/New Event"));
  std::filesystem::rename(h.dir.sub("Staging/IMG_1.jpg"), h.dir.sub("Source/New Event/IMG_1.jpg"));
  EXPECT_TRUE(h.pumpUntil([&] { return exists(h.dir.sub("Mirror/New Event/IMG_1.jpg")); }, 10));
  EXPECT_EQ(storedUploads(h.dir.sub("store")), 1);
}

}  // namespace
}  // namespace sorv::test
