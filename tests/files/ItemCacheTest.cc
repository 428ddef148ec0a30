#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files/ItemCache.h"
#include "platform/Value.h"
#include "platform/fs/FileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

TEST(ItemCache, AnUnchangedFileIsReadOnceAndAnyChangeReadsItAgain) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path, const std::string& folder)> change;
    bool readAgain;
  } cases[] = {
      {"nothing", [](const std::string&, const std::string&) {}, false},
      {"a byte appended",
       [](const std::string& p, const std::string&) { test::writeFile(p, "photo!"); }, true},
      {"same size, other modification time",
       [](const std::string& p, const std::string&) {
         test::writeFile(p, "PHOTO");
         posixFileSystem().setAttributes(p, 0644, 0, 123'000'000'000);
       },
       true},
      {"replaced by another file of the same size and time",
       [](const std::string& p, const std::string& folder) {
         FileInfo old;
         posixFileSystem().stat(p, &old);
         test::writeFile(folder + "/new", "other");
         posixFileSystem().setAttributes(folder + "/new", old.mode, old.atimeNs, old.mtimeNs);
         posixFileSystem().rename(folder + "/new", p, true);
       },
       true},
      {"only its mode changed",
       [](const std::string& p, const std::string&) {
         FileInfo old;
         posixFileSystem().stat(p, &old);
         posixFileSystem().setAttributes(p, 0600, old.atimeNs, old.mtimeNs);
       },
       true},
      {"removed", [](const std::string& p, const std::string&) { std::filesystem::remove(p); },
       true},
  };
  // Each case runs with the cache stat'ing the file itself and with the walk's fresh lstat.
  for (bool walkStat : {false, true})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (walkStat ? " (walk's stat)" : ""));
      test::TempDir dir;
      std::string path = dir.sub("IMG_1.jpg");
      ASSERT_TRUE(test::writeFile(path, "photo"));
      ItemCache<std::optional<Dict>> cache;
      int reads = 0;
      auto read = [&] {
        ++reads;
        std::string bytes = test::readFile(path);
        return bytes.empty() ? std::nullopt : std::optional<Dict>(Dict{{"bytes", Value(bytes)}});
      };
      auto get = [&] {
        FileInfo info;
        if (walkStat && posixFileSystem().lstat(path, &info) == 0)
          return cache.getOrCompute(path, info, read);
        return cache.getOrCompute(path, read);
      };
      auto first = get();
      ASSERT_EQ(reads, 1);
      EXPECT_EQ(get(), first);
      EXPECT_EQ(reads, 1);
      c.change(path, dir.path());
      auto again = get();
      EXPECT_EQ(reads, c.readAgain ? 2 : 1);
      EXPECT_EQ(again, read());  // exactly what an uncached read gives now
    }
}

TEST(ItemCache, AMissingFileOrOneChangingWhileReadIsNotKept) {
  test::TempDir dir;
  ItemCache<bool> cache;
  int reads = 0;
  auto missing = [&] {
    ++reads;
    return false;
  };
  cache.getOrCompute(dir.sub("none.jpg"), missing);
  cache.getOrCompute(dir.sub("none.jpg"), missing);
  EXPECT_EQ(reads, 2);

  std::string growing = dir.sub("growing.jpg");
  ASSERT_TRUE(test::writeFile(growing, "half"));
  auto readWhileWritten = [&] {
    ++reads;
    test::writeFile(growing, "half and the rest");
    return false;
  };
  cache.getOrCompute(growing, readWhileWritten);
  EXPECT_EQ(cache.size(), 0u);
  cache.getOrCompute(growing, missing);  // read again, now kept
  cache.getOrCompute(growing, missing);
  EXPECT_EQ(reads, 4);
}

TEST(ItemCache, BeyondItsCapacityTheLeastRecentlyUsedGo) {
  test::TempDir dir;
  ItemCache<int> cache(3);
  int reads = 0;
  auto read = [&] { return ++reads; };
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(test::writeFile(dir.sub(std::to_string(i)), "x"));
  cache.getOrCompute(dir.sub("0"), read);
  cache.getOrCompute(dir.sub("1"), read);
  cache.getOrCompute(dir.sub("2"), read);
  cache.getOrCompute(dir.sub("0"), read);  // 0 is used again; 1 is now the oldest
  cache.getOrCompute(dir.sub("3"), read);
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_EQ(reads, 4);
  cache.getOrCompute(dir.sub("0"), read);
  cache.getOrCompute(dir.sub("2"), read);
  EXPECT_EQ(reads, 4);
  cache.getOrCompute(dir.sub("1"), read);
  EXPECT_EQ(reads, 5);
}

// A walk of the whole folder marks what it sees; what it did not see, and was not read since
// the last sweep, goes. Marks made before a sweep do not carry over to the next one.
TEST(ItemCache, ASweepKeepsWhatTheWalkSaw) {
  test::TempDir dir;
  ItemCache<int> cache;
  int reads = 0;
  auto read = [&] { return ++reads; };
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(test::writeFile(dir.sub(std::to_string(i)), "x"));
    cache.getOrCompute(dir.sub(std::to_string(i)), read);
  }
  EXPECT_EQ(cache.dropUnseen(), 0u);  // all were stored since the last sweep
  cache.markSeen(dir.sub("0"));
  cache.markSeen(dir.sub("2"));
  cache.markSeen(dir.sub("gone"));         // no entry: nothing happens
  cache.getOrCompute(dir.sub("3"), read);  // a hit is not a mark
  EXPECT_EQ(cache.dropUnseen(), 2u);
  EXPECT_EQ(cache.size(), 2u);
  cache.getOrCompute(dir.sub("0"), read);
  cache.getOrCompute(dir.sub("2"), read);
  EXPECT_EQ(reads, 4);                     // the ones kept are still served
  cache.getOrCompute(dir.sub("1"), read);  // read again, and kept as new by the next sweep
  EXPECT_EQ(reads, 5);
  EXPECT_EQ(cache.dropUnseen(), 2u);  // 0 and 2 were not seen by this walk
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.dropUnseen(), 1u);
  EXPECT_EQ(cache.size(), 0u);
}

// Readers on several threads while another rewrites the files; run under the sanitizers.
TEST(ItemCache, ManyThreadsSeeWhatTheFilesHold) {
  test::TempDir dir;
  const int files = 40;
  for (int i = 0; i < files; ++i) ASSERT_TRUE(test::writeFile(dir.sub(std::to_string(i)), "v0"));
  ItemCache<std::string> cache(16);
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 6; ++t) {
    readers.emplace_back([&, t] {
      for (int round = 0; round < 300; ++round) {
        std::string path = dir.sub(std::to_string((round * 7 + t) % files));
        std::string value = cache.getOrCompute(path, [&] { return test::readFile(path); });
        EXPECT_EQ(value.substr(0, 1), "v");
      }
    });
  }
  std::thread writer([&] {
    for (int round = 1; !stop.load() && round < 2000; ++round) {
      std::string path = dir.sub(std::to_string(round % files));
      test::writeFile(path + ".new", "v" + std::to_string(round));
      posixFileSystem().rename(path + ".new", path, true);
    }
  });
  for (std::thread& r : readers) r.join();
  stop = true;
  writer.join();
  for (int i = 0; i < files; ++i) {
    std::string path = dir.sub(std::to_string(i));
    EXPECT_EQ(cache.getOrCompute(path, [&] { return test::readFile(path); }), test::readFile(path));
  }
}

}  // namespace
}  // namespace sorv
