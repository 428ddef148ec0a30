// The walk kept between passes against a fresh walk from the top, on real folders changed at
// random, also between two steps of a walk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "files/WalkCache.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

namespace stdfs = std::filesystem;
using Visit = FolderEnumerator::Visit;

struct Seen {
  std::string rel;
  FileInfo info;
  bool operator==(const Seen& o) const {
    const FileInfo &a = info, &b = o.info;
    return rel == o.rel && a.type == b.type && a.size == b.size && a.inode == b.inode &&
           a.device == b.device && a.mode == b.mode && a.mtimeNs == b.mtimeNs &&
           a.ctimeNs == b.ctimeNs;
  }
};

void PrintTo(const Seen& s, std::ostream* os) {
  *os << s.rel << " (type " << int(s.info.type) << " size " << s.info.size << " inode "
      << s.info.inode << " mode " << s.info.mode << " mtime " << s.info.mtimeNs << " ctime "
      << s.info.ctimeNs << ")";
}

std::string nameOf(const std::string& rel) {
  return rel.substr(rel.rfind('/') + 1);
}

// Files "u*" are turned down for good, folders "k*" are not entered, a file "stop*" ends the
// walk.
Visit answer(const FolderEntry& e) {
  const std::string name = nameOf(e.relativePath);
  if (e.isFolder()) return name[0] == 'k' ? Visit::SkipContents : Visit::Continue;
  if (name.starts_with("stop")) return Visit::Stop;
  return name[0] == 'u' ? Visit::Unchanged : Visit::Continue;
}

std::vector<Seen> freshWalk(const std::string& root) {
  std::vector<Seen> seen;
  FolderEnumerator(root).enumerate([&](const FolderEntry& e) {
    seen.push_back({e.relativePath, e.info});
    return answer(e);
  });
  return seen;
}

std::vector<Seen> cachedWalk(WalkCache& cache, const std::string& root) {
  std::vector<Seen> seen;
  cache.enumerate(root, 1, [&](const FolderEntry& e) {
    seen.push_back({e.relativePath, e.info});
    return answer(e);
  });
  return seen;
}

std::vector<Seen> withoutTurnedDown(const std::vector<Seen>& v) {
  std::vector<Seen> out;
  for (const Seen& s : v)
    if (s.info.type == FileType::Directory || nameOf(s.rel)[0] != 'u') out.push_back(s);
  return out;
}

// A changing tree: files and folders made, written, renamed, replaced and removed at random.
class RandomTree {
 public:
  RandomTree(const std::string& root, const std::string& outside, unsigned seed)
      : root_(root), outside_(outside), rng_(seed) {
    stdfs::create_directories(root);
    stdfs::create_directories(outside);
  }

  // One random change; the names of "u" files it wrote go to *touched.
  void change(std::set<std::string>* touched) {
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
        if (nameOf(fresh)[0] == 'u') touched->insert(stdfs::relative(fresh, root_).string());
        break;
      case 2: {  // written again: size, times
        std::string f = pick(files.empty() ? folders : files);
        std::ofstream(at(f), std::ios::app) << "more";
        if (nameOf(f)[0] == 'u') touched->insert(f);
        break;
      }
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

// Makes random changes just before the nth lstat or listing of the walk.
class ActingFileSystem : public test::FaultInjectionFileSystem {
 public:
  int lstat(const std::string& path, FileInfo* info) override {
    act();
    return FaultInjectionFileSystem::lstat(path, info);
  }
  int listDirectory(const std::string& path, std::vector<std::string>* names,
                    std::size_t maxNames) override {
    act();
    return FaultInjectionFileSystem::listDirectory(path, names, maxNames);
  }
  int countdown = -1;
  std::function<void()> action;

 private:
  void act() {
    if (countdown >= 0 && countdown-- == 0) action();
  }
};

TEST(WalkCache, AgreesWithAFreshWalkAfterRandomChanges) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    test::TempDir dir;
    const std::string root = dir.sub("Source");
    RandomTree tree(root, dir.sub("Outside"), seed);
    std::set<std::string> touched;
    for (int i = 0; i < 40; ++i) tree.change(&touched);
    ActingFileSystem acting;
    WalkCache cache(&acting);
    std::mt19937 rng(seed);
    for (int round = 0; round < 60; ++round) {
      SCOPED_TRACE(round);
      touched.clear();
      int changes = 1 + rng() % 4;
      for (int i = 0; i < changes; ++i) tree.change(&touched);
      if (round % 4 == 3) {
        // Changes between two steps of the walk: that walk may see them or not, the next
        // one must.
        acting.countdown = rng() % 30;
        acting.action = [&] {
          std::set<std::string> seenByThatWalk;  // it may have turned them down again
          for (int i = 0; i < changes; ++i) tree.change(&seenByThatWalk);
        };
        cachedWalk(cache, root);
        acting.countdown = -1;
        touched.clear();
      }
      std::vector<Seen> cached = cachedWalk(cache, root), fresh = freshWalk(root);
      ASSERT_EQ(withoutTurnedDown(cached), withoutTurnedDown(fresh));
      // A turned-down file shows again once it changed, and what is shown is current.
      std::set<std::string> inCached;
      for (const Seen& s : cached) inCached.insert(s.rel);
      for (const Seen& s : fresh) {
        if (touched.count(s.rel)) {
          EXPECT_TRUE(inCached.count(s.rel)) << s.rel;
        }
        if (inCached.count(s.rel)) {
          EXPECT_TRUE(std::find(cached.begin(), cached.end(), s) != cached.end()) << s.rel;
        }
      }
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
  auto walk = [&] {
    int visits = 0;
    cache.enumerate(root, 7, [&](const FolderEntry& e) {
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
      {"one file written", [&] { std::ofstream(root + "/F1/IMG_3", std::ios::app) << "y"; }, 2, 0,
       4},
      {"one file removed", [&] { stdfs::remove(root + "/F2/IMG_4"); }, 1, 1, 3},
      {"one file arrived", [&] { test::writeFile(root + "/F0/new", "x"); }, 2, 1, 4},
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
  EXPECT_EQ(cache.counts().freshWalks, 1u);
  EXPECT_EQ(cache.watchCount(), 4u);
}

TEST(WalkCache, AnOverflowedQueueOrAnotherRootMeansAFreshWalk) {
  test::TempDir dir;
  const std::string root = dir.sub("Source");
  test::writeFile(root + "/A/one", "x");
  test::writeFile(root + "/A/two", "x");
  WalkCache cache;
  cachedWalk(cache, root);
  // More events than the kernel queues between two walks.
  int queued = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
  for (int i = 0; i <= queued; ++i)
    ::utimensat(AT_FDCWD, (root + (i % 2 ? "/A/one" : "/A/two")).c_str(), nullptr, 0);
  EXPECT_TRUE(cache.pollChanges());
  std::ofstream(root + "/A/one", std::ios::app) << "changed";
  EXPECT_EQ(cachedWalk(cache, root), freshWalk(root));
  EXPECT_EQ(cache.counts().freshWalks, 2u);
  EXPECT_EQ(cachedWalk(cache, root), freshWalk(root));
  EXPECT_EQ(cache.counts().freshWalks, 2u);

  test::writeFile(dir.sub("Other/B/three"), "x");
  EXPECT_EQ(cachedWalk(cache, dir.sub("Other")), freshWalk(dir.sub("Other")));
  EXPECT_EQ(cache.counts().freshWalks, 3u);
  EXPECT_EQ(cache.watchCount(), 2u);
}

}  // namespace
}  // namespace sorv
