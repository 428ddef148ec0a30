// The scan's walk kept between passes, seen from the cycle: changes made at any moment of a
// pass are all uploaded, once each, without the timer; verdicts follow the settings; the
// console lines of every pass stay those of a walk from the top.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <set>

#include "platform/Paths.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FaultInjectionFileSystem.h"

namespace sorv::test {
namespace {

namespace stdfs = std::filesystem;

// Before every second lstat or listing in the source folder made while a scan is choosing its
// item, runs the next of the actions.
class ActingFileSystem : public FaultInjectionFileSystem {
 public:
  ActingFileSystem(std::string source, std::vector<std::function<void()>> actions)
      : source_(std::move(source)), actions_(std::move(actions)) {}
  int lstat(const std::string& path, FileInfo* info) override {
    act(path);
    return FaultInjectionFileSystem::lstat(path, info);
  }
  int listDirectory(const std::string& path, std::vector<std::string>* names,
                    std::size_t maxNames) override {
    act(path);
    return FaultInjectionFileSystem::listDirectory(path, names, maxNames);
  }
  bool done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_ == actions_.size();
  }

 private:
  void act(const std::string& path) {
    if (!path.starts_with(source_) || !AppController::isScanning() ||
        AppController::startedUploadProcess())
      return;
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);  // not from inside an action
    if (!lock.owns_lock() || next_ == actions_.size() || ++calls_ % 2) return;
    actions_[next_++]();
  }
  std::string source_;
  std::vector<std::function<void()>> actions_;
  std::mutex mutex_;
  std::size_t next_ = 0;
  int calls_ = 0;
};

TEST(ScanWalk, PhotosAddedRenamedAndDeletedDuringPassesAreAllUploadedOnce) {
  CycleHarness h;  // the auto-synchronise timer is off
  std::set<std::string> expected;
  for (const char* folder : {"Event A", "Event B", "Event C/Booth"}) {
    for (int i = 0; i < 3; ++i) {
      std::string rel = std::string(folder) + "/IMG_" + std::to_string(i) + ".jpg";
      ASSERT_TRUE(writeJpegWithMeta(h.source() + "/" + rel, standardMetaData()));
      expected.insert(rel);
    }
    writeFile(h.source() + "/" + folder + "/raw.jpg", "no metadata");
  }
  // Complete photos arrive by a rename, as a copy tool's last step does.
  int made = 0;
  auto arrive = [&](const std::string& rel) {
    std::string staged = h.dir.sub("Staging/" + std::to_string(made++) + ".jpg");
    writeJpegWithMeta(staged, standardMetaData());
    createFolderWithParents(deletingLastPathComponent(h.source() + "/" + rel));
    stdfs::rename(staged, h.source() + "/" + rel);
    expected.insert(rel);
  };
  auto renameOne = [&](const std::string& toFolder) {
    for (const std::string& rel : expected) {
      if (!exists(h.source() + "/" + rel)) continue;
      std::string to = toFolder + "/Renamed_" + lastPathComponent(rel);
      createFolderWithParents(h.source() + "/" + toFolder);
      stdfs::rename(h.source() + "/" + rel, h.source() + "/" + to);
      expected.erase(rel);
      expected.insert(to);
      return;
    }
  };
  std::vector<std::function<void()>> actions;
  for (int round = 0; round < 4; ++round) {
    const std::string n = std::to_string(round);
    actions.push_back([&, n] { arrive("Event A/New_" + n + ".jpg"); });
    actions.push_back([&, n] { arrive("Late " + n + "/Deep/IMG.jpg"); });
    actions.push_back([&] { renameOne("Event B"); });
    actions.push_back([&, round] {
      std::error_code ec;
      stdfs::remove(h.source() + (round % 2 ? "/Event A/raw.jpg" : "/Event B/raw.jpg"), ec);
    });
  }
  ActingFileSystem acting(h.source(), actions);
  setDefaultFileSystem(&acting);
  h.controller->applicationOpenFile(h.source());
  auto allThere = [&] {
    for (const std::string& rel : expected)
      if (!exists(h.mirror() + "/" + rel)) return false;
    return true;
  };
  bool drained = h.pumpUntil([&] { return h.isIdle() && acting.done() && allThere(); }, 60);
  h.pumpUntil([&] { return h.isIdle(); });
  setDefaultFileSystem(nullptr);
  ASSERT_TRUE(drained);
  EXPECT_EQ(h.transport.posts(), static_cast<int>(expected.size()));
  for (const std::string& rel : expected) EXPECT_FALSE(exists(h.source() + "/" + rel)) << rel;
  EXPECT_GT(h.controller->walkCounts().walks, h.controller->walkCounts().freshWalks);
}

TEST(ScanWalk, APhotoArrivingWhileAPassFindsNothingIsNotLeftForTheTimer) {
  CycleHarness h;  // no timer, and the watcher only starts once this pass has ended
  writeFile(h.dir.sub("Source/Event/raw.jpg"), "no metadata");
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Staging/IMG_1.jpg"), standardMetaData()));
  ActingFileSystem acting(h.source(), {[&] {
                            // Into the root, whose listing this walk has read already.
                            createFolderWithParents(h.dir.sub("Source/Late"));
                            stdfs::rename(h.dir.sub("Staging/IMG_1.jpg"),
                                          h.dir.sub("Source/Late/IMG_1.jpg"));
                          }});
  setDefaultFileSystem(&acting);
  h.controller->applicationOpenFile(h.source());
  bool uploaded = h.pumpUntil([&] { return exists(h.dir.sub("Mirror/Late/IMG_1.jpg")); }, 10);
  h.pumpUntil([&] { return h.isIdle(); });
  setDefaultFileSystem(nullptr);
  EXPECT_TRUE(acting.done());
  EXPECT_TRUE(uploaded);
  EXPECT_EQ(h.transport.posts(), 1);
}

TEST(ScanWalk, TurnedDownFilesAreLookedAtAgainWhenTheSettingsChange) {
  CycleHarness h;
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_1.jpg"), std::nullopt));
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/AB12_x.jpg"), standardMetaData()));
  h.setPref(sUserLoginName, "kiosk7");
  for (int pass = 0; pass < 2; ++pass) {
    CapturedOutput err(2);
    ASSERT_TRUE(h.runPass());
    // Every pass says what a walk from the top says, though nothing changed.
    EXPECT_NE(err.text().find("Root Item [" + h.dir.sub("Source/AB12_x.jpg") + "]"),
              std::string::npos)
        << pass;
  }
  EXPECT_EQ(h.transport.posts(), 0);
  h.setPref(sUserLoginName, "garnet");  // a client: no metadata needed
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 1);
  EXPECT_TRUE(exists(h.dir.sub("Mirror/Event/IMG_1.jpg")));
  h.setPref(sPrefFormBaseIdFromFileName, true);  // root images are candidates now
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.transport.posts(), 2);
  EXPECT_TRUE(exists(h.dir.sub("Mirror/AB12_x.jpg")));
}

}  // namespace
}  // namespace sorv::test
