// The walk kept between passes against a fresh walk from the top, on real folders changed at
// random, also between two steps of a walk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "files/WalkCache.h"
#include "tests/support/ActingFileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

namespace stdfs = std::filesystem;
using Visit = FolderEnumerator::Visit;

// An entry as a walk reports it (access time left out).
std::string seen(const FolderEntry& e) {
  const FileInfo& i = e.info;
  return e.relativePath + " type " + std::to_string(int(i.type)) + " size " +
         std::to_string(i.size) + " inode " + std::to_string(i.inode) + " mode " +
         std::to_string(i.mode) + " times " + std::to_string(i.mtimeNs) + " " +
         std::to_string(i.ctimeNs);
}

// Files "u*" are turned down for good, folders "k*" are not entered, a file "stop*" ends the
// walk. Turned-down files are left out of what is compared: a kept walk may skip them.
Visit answer(const FolderEntry& e, std::vector<std::string>* out, std::set<std::string>* down) {
  const std::string name = e.relativePath.substr(e.relativePath.rfind('/') + 1);
  if (e.isFolder()) {
    out->push_back(seen(e));
    return name[0] == 'k' ? Visit::SkipContents : Visit::Continue;
  }
  if (name[0] == 'u') {
    down->insert(seen(e));
    return Visit::Unchanged;
  }
  out->push_back(seen(e));
  return name.starts_with("stop") ? Visit::Stop : Visit::Continue;
}

// A changing tree: files and folders made, written, renamed, replaced and removed at random.
class RandomTree {
 public:
  RandomTree(const std::string& root, const std::string& outside, unsigned seed)
      : root_(root), outside_(outside), rng_(seed) {
    stdfs::create_directories(root);
    stdfs::create_directories(outside);
  }

  void change() {
    std::vector<std::string> files, folders{""};
    for (auto it = stdfs::recursive_directory_iterator(root_); it != stdfs::end(it); ++it) {
      std::string rel = stdfs::relative(it->path(), root_).string();
      if (it->is_symlink() || !it->is_directory())
        files.push_back(rel);
      else
        folders.push_back(rel);
    }
    auto pick = [&](const std::vector<std::string>& v) { return v[rng_() % v.size()]; };
    auto at = [&](const std::string& rel) { return rel.empty() ? root_ : root_ + "/" + rel; };
    const std::string folder = pick(folders);
    const std::string fresh = at(folder) + "/" + newName();
    std::error_code ec;
    switch (rng_() % 11) {
      case 0:
      case 1:
        test::writeFile(fresh, std::string(rng_() % 50, 'x'));
        break;
      case 2:  // written again: size, times
        std::ofstream(at(pick(files.empty() ? folders : files)), std::ios::app) << "more";
        break;
      case 3:
        if (!files.empty()) stdfs::remove(at(pick(files)), ec);
        break;
      case 4:
        if (!files.empty()) stdfs::rename(at(pick(files)), fresh, ec);
        break;
      case 5:
        if (folder.size() < 12) stdfs::create_directory(fresh, ec);
        break;
      case 6:
        if (!folder.empty()) stdfs::remove_all(at(folder), ec);
        break;
      case 7: {  // a folder moved elsewhere in the tree (not into itself)
        std::string to = pick(folders);
        if (!folder.empty() && to.size() < 12 && !(to + "/").starts_with(folder + "/"))
          stdfs::rename(at(folder), at(to) + "/" + newName(), ec);
        break;
      }
      case 8: {  // a folder with contents moved in
        std::string staged = outside_ + "/" + newName();
        test::writeFile(staged + "/" + newName() + "/" + newName(), "inside");
        test::writeFile(staged + "/" + newName(), "inside");
        stdfs::rename(staged, fresh, ec);
        break;
      }
      case 9:  // through a link, a folder's permissions
        if (!files.empty()) ::chmod(at(pick(files)).c_str(), 0600 | (rng_() % 2 ? 044 : 0));
        break;
      case 10:
        if (!files.empty()) ::symlink("..", fresh.c_str());
        break;
    }
  }

 private:
  std::string newName() {
    static const char* const kStarts[] = {"a", "b", "u", "k", "stop", "c"};
    std::string name = kStarts[rng_() % 6];
    return name + std::to_string(rng_() % 40);
  }
  std::string root_, outside_;
  std::mt19937 rng_;
};

TEST(WalkCache, AgreesWithAFreshWalkAfterRandomChanges) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    test::TempDir dir;
    const std::string root = dir.sub("Source");
    RandomTree tree(root, dir.sub("Outside"), seed);
    for (int i = 0; i < 40; ++i) tree.change();
    test::ActingFileSystem acting;
    int countdown = -1, changes = 0;
    acting.when = [&](const std::string&) { return countdown >= 0 && countdown-- == 0; };
    acting.action = [&] {
      for (int i = 0; i < changes; ++i) tree.change();
    };
    WalkCache cache(&acting);
    std::mt19937 rng(seed);
    auto kept = [&](std::vector<std::string>* out, std::set<std::string>* down) {
      cache.enumerate(root, 1, [&](const FolderEntry& e) { return answer(e, out, down); });
    };
    for (int round = 0; round < 60; ++round) {
      SCOPED_TRACE(round);
      changes = 1 + rng() % 4;
      for (int i = 0; i < changes; ++i) tree.change();
      std::vector<std::string> cached, fresh;
      std::set<std::string> cachedDown, freshDown;
      if (round % 4 == 3) {
        // Changes between two steps of a walk: that walk may see them or not, the next must.
        countdown = rng() % 30;
        kept(&cached, &cachedDown);
        countdown = -1;
        cached.clear();
        cachedDown.clear();
      }
      kept(&cached, &cachedDown);
      FolderEnumerator(root).enumerate(
          [&](const FolderEntry& e) { return answer(e, &fresh, &freshDown); });
      ASSERT_EQ(cached, fresh);
      for (const std::string& s : cachedDown) EXPECT_TRUE(freshDown.count(s)) << s;
    }
    // Only a change of the root's own attributes (a chmod through a link to "..") builds the
    // cache again.
    EXPECT_LT(cache.counts().freshWalks * 4, cache.counts().walks);
  }
}

TEST(WalkCache, ReadsOnlyWhatChanged) {
  test::TempDir dir;
  const std::string root = dir.sub("Source");
  for (int f = 0; f < 3; ++f)
    for (int i = 0; i < 20; ++i)
      test::writeFile(root + "/F" + std::to_string(f) + "/IMG_" + std::to_string(i), "x");
  test::FaultInjectionFileSystem counting;
  WalkCache cache(&counting);
  std::uint64_t key = 7;  // the visitor's settings
  auto walk = [&] {
    int visits = 0;
    cache.enumerate(root, key, [&](const FolderEntry& e) {
      ++visits;
      return e.isFolder() ? Visit::Continue : Visit::Unchanged;
    });
    return visits;
  };
  struct Step {
    const char* what;
    std::function<void()> change;
    int lstats, listings, visits;
  } steps[] = {
      {"first walk", [] {}, 63, 4, 63},
      {"new folders' own lstat once more", [] {}, 3, 0, 3},
      {"nothing changed", [] {}, 0, 0, 3},
      {"one turned-down file written, so shown again",
       [&] { std::ofstream(root + "/F1/IMG_3", std::ios::app) << "y"; }, 2, 0, 4},
      {"one file removed", [&] { stdfs::remove(root + "/F2/IMG_4"); }, 1, 1, 3},
      {"one file arrived", [&] { test::writeFile(root + "/F0/new", "x"); }, 2, 1, 4},
      {"other settings: every file shown again", [&] { key = 8; }, 0, 0, 63},
      {"the queue overflowed: all afresh",
       [&] {
         int queued = 16384;
         std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
         for (int i = 0; i <= queued; ++i)
           ::utimensat(AT_FDCWD, (root + (i % 2 ? "/F1/IMG_1" : "/F1/IMG_2")).c_str(), nullptr, 0);
         EXPECT_TRUE(cache.pollChanges());
       },
       63, 4, 63},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.change();
    int lstats = counting.callCount(test::FaultInjectionFileSystem::Op::Lstat);
    int listings = counting.callCount(test::FaultInjectionFileSystem::Op::ListDirectory);
    EXPECT_EQ(walk(), s.visits);
    EXPECT_EQ(counting.callCount(test::FaultInjectionFileSystem::Op::Lstat) - lstats, s.lstats);
    EXPECT_EQ(counting.callCount(test::FaultInjectionFileSystem::Op::ListDirectory) - listings,
              s.listings);
  }
  EXPECT_EQ(cache.counts().freshWalks, 2u);
  EXPECT_EQ(cache.watchCount(), 4u);
}

}  // namespace
}  // namespace sorv
