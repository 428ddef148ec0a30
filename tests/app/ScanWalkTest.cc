// The scan's walk kept between passes, seen from the cycle: changes made at any moment of a
// pass are all uploaded, once each, without the timer.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>

#include "platform/Paths.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/ActingFileSystem.h"
#include "tests/support/ScopedEnv.h"

namespace sorv::test {
namespace {

namespace stdfs = std::filesystem;

// Runs the actions one by one, each before every second lstat or listing in the source folder
// made while a scan is choosing its item.
struct Acting {
  Acting(const std::string& source, std::vector<std::function<void()>> list)
      : actions(std::move(list)) {
    fs.when = [this, source](const std::string& path) {
      return path.starts_with(source) && AppController::isScanning() &&
             !AppController::startedUploadProcess() && next < actions.size() && ++calls % 2 == 0;
    };
    fs.action = [this] {
      actions[next]();
      ++next;  // done() only once the action has run
    };
  }
  bool done() const { return next == actions.size(); }
  ActingFileSystem fs;
  std::vector<std::function<void()>> actions;
  std::atomic<std::size_t> next{0};
  int calls = 0;
};

// Runs the cycle from an open request until cond holds (no timer, no clock advanced).
bool cycleUntil(CycleHarness& h, Acting& acting, const std::function<bool()>& cond) {
  ScopedEnv env({.fileSystem = &acting.fs});
  h.controller->applicationOpenFile(h.source());
  bool met = h.pumpUntil([&] { return h.isIdle() && acting.done() && cond(); }, 30);
  h.pumpUntil([&] { return h.isIdle(); });
  return met;
}

TEST(ScanWalk, PhotosAddedRenamedAndDeletedDuringPassesAreAllUploadedOnce) {
  CycleHarness h;                  // the auto-synchronise timer is off
  std::set<std::string> expected;  // relative paths that must reach the mirror
  for (const char* folder : {"Event A", "Event B", "Event C/Booth"}) {
    for (int i = 0; i < 3; ++i) {
      std::string rel = std::string(folder) + "/IMG_" + std::to_string(i) + ".jpg";
      ASSERT_TRUE(writeJpegWithMeta(h.source() + "/" + rel, standardMetaData()));
      expected.insert(rel);
    }
    writeFile(h.source() + "/" + folder + "/raw.jpg", "no metadata");
  }
  int made = 0;
  auto arrive = [&](const std::string& rel) {  // complete, by a rename
    std::string staged = h.dir.sub("Staging/" + std::to_string(made++) + ".jpg");
    writeJpegWithMeta(staged, standardMetaData());
    createFolderWithParents(deletingLastPathComponent(h.source() + "/" + rel));
    stdfs::rename(staged, h.source() + "/" + rel);
    expected.insert(rel);
  };
  auto stillInSource = [&] {
    for (const std::string& rel : expected)
      if (exists(h.source() + "/" + rel)) return rel;
    return std::string();
  };
  std::vector<std::function<void()>> actions;
  for (int round = 0; round < 4; ++round) {
    const std::string n = std::to_string(round);
    actions.push_back([&, n] { arrive("Event A/New_" + n + ".jpg"); });
    actions.push_back([&, n] { arrive("Late " + n + "/Deep/IMG.jpg"); });
    actions.push_back([&, n] {
      std::string rel = stillInSource();
      if (rel.empty()) return;
      stdfs::rename(h.source() + "/" + rel, h.source() + "/Event B/Renamed_" + n + ".jpg");
      expected.erase(rel);
      expected.insert("Event B/Renamed_" + n + ".jpg");
    });
    actions.push_back([&] {
      std::string rel = stillInSource();
      if (rel.empty()) return;
      stdfs::remove(h.source() + "/" + rel);
      expected.erase(rel);
    });
  }
  Acting acting(h.source(), actions);
  ASSERT_TRUE(cycleUntil(h, acting, [&] {
    for (const std::string& rel : expected)
      if (!exists(h.mirror() + "/" + rel)) return false;
    return true;
  }));
  EXPECT_EQ(h.transport.posts(), static_cast<int>(expected.size()));
  EXPECT_GT(h.controller->walkCounts().walks, h.controller->walkCounts().freshWalks);
}

TEST(ScanWalk, APhotoArrivingWhileAPassFindsNothingIsNotLeftForTheTimer) {
  CycleHarness h;  // no timer, and the watcher only starts once this pass has ended
  writeFile(h.dir.sub("Source/Event/raw.jpg"), "no metadata");
  ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Staging/IMG_1.jpg"), standardMetaData()));
  Acting acting(h.source(), {[&] {
                  // Into the root, whose listing this walk has read already.
                  createFolderWithParents(h.dir.sub("Source/Late"));
                  stdfs::rename(h.dir.sub("Staging/IMG_1.jpg"), h.dir.sub("Source/Late/IMG_1.jpg"));
                }});
  EXPECT_TRUE(cycleUntil(h, acting, [&] { return exists(h.dir.sub("Mirror/Late/IMG_1.jpg")); }));
  EXPECT_EQ(h.transport.posts(), 1);
}

}  // namespace
}  // namespace sorv::test
