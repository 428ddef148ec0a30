// The inotify watcher on real folders: what counts as a change, folders that arrive later or
// with contents, and a file that is still being written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "files/FolderWatcher.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

// A watcher on its own thread that counts its reports.
class RunningWatcher {
 public:
  explicit RunningWatcher(const std::string& root)
      : watcher_(
            root,
            [this](const std::string& folder, bool) {
              std::lock_guard<std::mutex> lock(mutex_);
              folders_.push_back(folder);
            },
            0.2, 3.0) {
    ok_ = watcher_.start(nullptr);
    if (ok_) thread_ = std::thread([this] { watcher_.run(); });
  }
  ~RunningWatcher() {
    watcher_.stop();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_; }
  // Reports that arrive within seconds (real time), after which nothing more came for 0.5 s.
  std::vector<std::string> reportsWithin(double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::size_t seen = 0;
    auto quietSince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::lock_guard<std::mutex> lock(mutex_);
      if (folders_.size() != seen) {
        seen = folders_.size();
        quietSince = std::chrono::steady_clock::now();
      } else if (seen &&
                 std::chrono::steady_clock::now() - quietSince > std::chrono::milliseconds(500)) {
        break;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(folders_);
    return out;
  }
  FolderWatcher& watcher() { return watcher_; }

 private:
  FolderWatcher watcher_;
  bool ok_ = false;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> folders_;
};

TEST(FolderWatcherTest, ReportsArrivalsFolderByFolderButNotFilesStillBeingWritten) {
  TempDir dir;
  const std::string root = dir.sub("Source");
  std::filesystem::create_directories(root + "/Event");
  RunningWatcher w(root);
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(w.watcher().watchCount(), 2u);

  // A nested folder made after the start, with a photo in it: its parent reports at once,
  // and from then on the new folder itself is watched.
  std::filesystem::create_directories(root + "/Event/Sub");
  ASSERT_TRUE(writeFile(root + "/Event/Sub/IMG_1.jpg", "photo"));
  auto reports = w.reportsWithin(3);
  EXPECT_NE(std::find(reports.begin(), reports.end(), root + "/Event"), reports.end());
  ASSERT_TRUE(writeFile(root + "/Event/Sub/IMG_1b.jpg", "photo"));
  EXPECT_EQ(w.reportsWithin(3), std::vector<std::string>{root + "/Event/Sub"});

  // Open for writing: nothing until it is closed.
  int fd = ::open((root + "/Event/IMG_2.jpg").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "half", 4), 4);
  EXPECT_TRUE(w.reportsWithin(1.0).empty());
  ::close(fd);
  EXPECT_EQ(w.reportsWithin(3), std::vector<std::string>{root + "/Event"});

  // A folder moved in with contents: its own folders are watched at once.
  std::filesystem::create_directories(dir.sub("Elsewhere/Gala/Booth"));
  ASSERT_TRUE(writeFile(dir.sub("Elsewhere/Gala/Booth/IMG_3.jpg"), "photo"));
  std::filesystem::rename(dir.sub("Elsewhere/Gala"), root + "/Gala");
  EXPECT_EQ(w.reportsWithin(3), std::vector<std::string>{root});
  ASSERT_TRUE(writeFile(root + "/Gala/Booth/IMG_4.jpg", "photo"));
  EXPECT_EQ(w.reportsWithin(3), std::vector<std::string>{root + "/Gala/Booth"});

  // Removal counts too, and the removed folders' watches go.
  std::filesystem::remove_all(root + "/Gala");
  EXPECT_FALSE(w.reportsWithin(3).empty());
  EXPECT_EQ(w.watcher().watchCount(), 3u);  // Source, Event, Event/Sub
}

TEST(FolderWatcherTest, AnOverflowedQueueAsksForAWalkOfTheWholeTree) {
  TempDir dir;
  const std::string root = dir.sub("Source");
  std::filesystem::create_directories(root + "/Event");
  std::vector<std::pair<std::string, bool>> reports;
  FolderWatcher watcher(
      root,
      [&](const std::string& folder, bool overflow) { reports.emplace_back(folder, overflow); },
      0.2, 3.0);
  ASSERT_TRUE(watcher.start(nullptr));
  // More events than the kernel queues while nobody reads them.
  std::ifstream limit("/proc/sys/fs/inotify/max_queued_events");
  int queued = 16384;
  limit >> queued;
  if (queued > 200000) GTEST_SKIP() << "the kernel's event queue is too long to fill here";
  for (int i = 0; i <= queued; ++i)
    ASSERT_TRUE(writeFile(root + "/Event/" + std::to_string(i), ""));
  std::thread run([&] { watcher.run(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  watcher.stop();
  run.join();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), std::make_pair(root, true));
}

}  // namespace
}  // namespace sorv::test
