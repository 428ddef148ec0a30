#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "files/QMI_FileManager.h"
#include "files/SafeMove.h"
#include "platform/Value.h"
#include "platform/fs/FileSystem.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::readFile;
using test::writeFile;
using Tree = std::map<std::string, std::string>;

const std::string kDir = "<dir>";

// Files and folders to lay out: relative path → bytes, or "<dir>".
void layOut(const std::string& root, const Tree& tree) {
  for (const auto& [rel, bytes] : tree) {
    if (bytes == kDir) {
      std::filesystem::create_directories(root + "/" + rel);
    } else {
      ASSERT_TRUE(writeFile(root + "/" + rel, bytes));
    }
  }
}

struct MoveCase {
  const char* name;
  Tree source, dest;  // before the move; dest "" as a key alone means the root is absent
  bool destRootMissing = false;
  std::string item;
  bool overwrite = true, encapsulate = false;
  Tree sourceAfter, destAfter;
  bool destRootAfter = true;
};

const std::vector<MoveCase>& moveCases() {
  static const std::vector<MoveCase> cases = {
      {"overwrite replaces the older file in the mirror",
       {{"Event1/A_1.jpg", "new photo"}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "old"}},
       false,
       "Event1/A_1.jpg",
       true,
       false,
       {{"Event1", kDir}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "new photo"}}},
      {"no overwrite keeps the source when the destination exists",
       {{"Event1/A_1.jpg", "new photo"}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "old"}},
       false,
       "Event1/A_1.jpg",
       false,
       false,
       {{"Event1", kDir}, {"Event1/A_1.jpg", "new photo"}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "old"}}},
      {"no overwrite finishes a move whose identical copy is already in place",
       {{"Event1/A_1.jpg", "same bytes"}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "same bytes"}},
       false,
       "Event1/A_1.jpg",
       false,
       false,
       {{"Event1", kDir}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "same bytes"}}},
      {"no overwrite into a free name moves",
       {{"Event1/A_1.jpg", "photo"}},
       {{"Event1", kDir}},
       false,
       "Event1/A_1.jpg",
       false,
       false,
       {{"Event1", kDir}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "photo"}}},
      {"overwrite replaces a folder standing at the destination",
       {{"Event1/A_1.jpg", "photo"}},
       {{"Event1/A_1.jpg/inner.txt", "x"}},
       false,
       "Event1/A_1.jpg",
       true,
       false,
       {{"Event1", kDir}},
       {{"Event1", kDir}, {"Event1/A_1.jpg", "photo"}}},
      {"a folder item is created, not moved",
       {{"Event1/Sub/A_1.jpg", "photo"}},
       {{"Event1", kDir}},
       false,
       "Event1/Sub",
       true,
       false,
       {{"Event1", kDir}, {"Event1/Sub", kDir}, {"Event1/Sub/A_1.jpg", "photo"}},
       {{"Event1", kDir}, {"Event1/Sub", kDir}}},
      {"encapsulation puts AB12_003.jpg into AB12",
       {{"Event1/AB12_003.jpg", "photo"}},
       {{"Event1", kDir}},
       false,
       "Event1/AB12_003.jpg",
       true,
       true,
       {{"Event1", kDir}},
       {{"Event1", kDir}, {"Event1/AB12", kDir}, {"Event1/AB12/AB12_003.jpg", "photo"}}},
      {"encapsulation leaves _x.jpg in its normal folder",
       {{"Event1/_x.jpg", "photo"}},
       {{"Event1", kDir}},
       false,
       "Event1/_x.jpg",
       true,
       true,
       {{"Event1", kDir}},
       {{"Event1", kDir}, {"Event1/_x.jpg", "photo"}}},
      {"encapsulation leaves x.jpg in its normal folder",
       {{"Event1/x.jpg", "photo"}},
       {{"Event1", kDir}},
       false,
       "Event1/x.jpg",
       true,
       true,
       {{"Event1", kDir}},
       {{"Event1", kDir}, {"Event1/x.jpg", "photo"}}},
      {"a vanished source does nothing, not even the destination root",
       {{"Event1", kDir}},
       {},
       true,
       "Event1/gone.jpg",
       true,
       false,
       {{"Event1", kDir}},
       {},
       false},
      {"a missing parent folder leaves the source",
       {{"Event1/A_1.jpg", "photo"}},
       {},
       false,
       "Event1/A_1.jpg",
       true,
       false,
       {{"Event1", kDir}, {"Event1/A_1.jpg", "photo"}},
       {}},
      {"only the destination root itself is created",
       {{"top.jpg", "photo"}},
       {},
       true,
       "top.jpg",
       true,
       false,
       {},
       {{"top.jpg", "photo"}}},
      {"names with blanks, percent signs and odd bytes move",
       {{"Ev %s 1/\xff\xfe 100%@ b\xc3\xa9.jpg", "photo"}},
       {{"Ev %s 1", kDir}},
       false,
       "Ev %s 1/\xff\xfe 100%@ b\xc3\xa9.jpg",
       false,
       false,
       {{"Ev %s 1", kDir}},
       {{"Ev %s 1", kDir}, {"Ev %s 1/\xff\xfe 100%@ b\xc3\xa9.jpg", "photo"}}},
  };
  return cases;
}

// Runs every case with the source on the same file system as the destination and on tmpfs.
TEST(MoveFileToPath, FollowsTheMoveRulesOnOneAndAcrossFileSystems) {
  for (bool acrossFileSystems : {false, true}) {
    for (const MoveCase& c : moveCases()) {
      SCOPED_TRACE(std::string(c.name) + (acrossFileSystems ? " (across)" : " (same)"));
      test::TempDir disk;
      test::TempDir shm{test::TempDir::kMemory};
      std::string srcRoot = (acrossFileSystems ? shm.path() : disk.path()) + "/src";
      std::string destRoot = disk.path() + "/mirror";
      std::filesystem::create_directories(srcRoot);
      if (!c.destRootMissing) std::filesystem::create_directories(destRoot);
      layOut(srcRoot, c.source);
      layOut(destRoot, c.dest);

      QMI_FileManager::moveFileToPath(c.item, srcRoot, destRoot, c.overwrite, c.encapsulate);

      EXPECT_EQ(test::treeOf(srcRoot), c.sourceAfter);
      EXPECT_EQ(std::filesystem::exists(destRoot), c.destRootAfter);
      EXPECT_EQ(test::treeOf(destRoot), c.destAfter);
    }
  }
}

TEST(MoveFileToPath, AcrossFileSystemsKeepsModeAndTimes) {
  test::TempDir disk;
  test::TempDir shm{test::TempDir::kMemory};
  std::string src = shm.sub("Event1/A_1.jpg");
  ASSERT_TRUE(writeFile(src, std::string(300000, 'x')));
  ASSERT_EQ(
      posixFileSystem().setAttributes(src, 0640, 1'000'000'123'456'789, 1'100'000'000'987'654'321),
      0);
  std::filesystem::create_directories(disk.sub("mirror/Event1"));

  QMI_FileManager::moveFileToPath("Event1/A_1.jpg", shm.path(), disk.sub("mirror"), false, false);

  FileInfo info;
  ASSERT_EQ(posixFileSystem().stat(disk.sub("mirror/Event1/A_1.jpg"), &info), 0);
  EXPECT_EQ(info.size, 300000u);
  EXPECT_EQ(info.mode, 0640u);
  EXPECT_EQ(info.mtimeNs, 1'100'000'000'987'654'321);
  EXPECT_FALSE(std::filesystem::exists(src));
}

TEST(MoveFileToPath, NextMoveIntoAFolderRemovesLeftoversOfKilledMovesOnly) {
  test::TempDir disk;
  test::TempDir shm{test::TempDir::kMemory};
  std::string dest = disk.sub("mirror/Event1");
  std::filesystem::create_directories(dest);
  // pid 2^22+1 is above any pid Linux hands out, so its owner is surely gone.
  std::string dead = dest + "/" + kPartialMovePrefix + "4194305-0-A_0.jpg";
  std::string mine = dest + "/" + kPartialMovePrefix + std::to_string(getpid()) + "-0-B.jpg";
  std::string lookalike = dest + "/.sorv-partial-notapid.jpg";
  for (const std::string& p : {dead, mine, lookalike}) ASSERT_TRUE(writeFile(p, "partial"));
  ASSERT_TRUE(writeFile(shm.sub("Event1/A_1.jpg"), "photo"));

  QMI_FileManager::moveFileToPath("Event1/A_1.jpg", shm.path(), disk.sub("mirror"), true, false);

  EXPECT_FALSE(std::filesystem::exists(dead));
  EXPECT_TRUE(std::filesystem::exists(mine));  // a running process may still be copying
  EXPECT_TRUE(std::filesystem::exists(lookalike));
  EXPECT_EQ(readFile(dest + "/A_1.jpg"), "photo");
}

TEST(MoveFileToPath, TheMirrorVariantsUseTheMirrorPreference) {
  test::TempDir disk;
  test::useTemporaryHome(disk.path());
  ASSERT_TRUE(writeFile(disk.sub("src/Event1/A_1.jpg"), "photo"));
  std::filesystem::create_directories(disk.sub("mirror/Event1"));
  ASSERT_TRUE(writeFile(disk.sub("mirror/Event1/A_1.jpg"), "old"));
  DefaultsStore::resetStandardForPath(disk.sub("defaults.plist"));
  DefaultsStore::standard().setObject(Value(disk.sub("mirror")), sPrefLocalMasterMirrorSiteFolder);

  QMI_FileManager::moveFileToPath("Event1/A_1.jpg", disk.sub("src"));

  EXPECT_EQ(readFile(disk.sub("mirror/Event1/A_1.jpg")), "photo");
  EXPECT_FALSE(std::filesystem::exists(disk.sub("src/Event1/A_1.jpg")));
}

TEST(GetBaseName1, TakesTheNameBeforeTheFirstUnderscore) {
  struct Case {
    std::optional<std::string> path;
    std::optional<std::string> base;
  } cases[] = {
      {std::nullopt, std::nullopt},
      {"Event1/AB12_003.jpg", "AB12"},
      {"AB12_003_x.jpg", "AB12"},
      {"Event1/x.jpg", std::nullopt},
      {"Event1/_x.jpg", std::nullopt},
      {"Ev_ent/x.jpg", std::nullopt},  // only the last component counts
      {" AB 12_1.jpg", " AB 12"},      // not trimmed, blanks kept
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.value_or("(nil)"));
    EXPECT_EQ(getBaseName1(c.path), c.base);
  }
}

TEST(CreateEncapsulationFolder, NamesAndCreatesOnlyWhenAsked) {
  test::TempDir disk;
  std::filesystem::create_directories(disk.sub("dest/Event1"));
  EXPECT_EQ(createEncapsulationFolder(disk.sub("dest"), "Event1/AB12_003.jpg", false),
            disk.sub("dest/Event1/AB12"));
  EXPECT_FALSE(std::filesystem::exists(disk.sub("dest/Event1/AB12")));
  EXPECT_EQ(createEncapsulationFolder(disk.sub("dest"), "Event1/AB12_003.jpg", true),
            disk.sub("dest/Event1/AB12"));
  EXPECT_TRUE(std::filesystem::is_directory(disk.sub("dest/Event1/AB12")));
  EXPECT_EQ(createEncapsulationFolder(disk.sub("dest"), "Event1/photo.jpg", true),
            disk.sub("dest/Event1"));
}

}  // namespace
}  // namespace sorv
