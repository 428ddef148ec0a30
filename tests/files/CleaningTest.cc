#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "files/DescriptorWalk.h"
#include "files/FolderCleaning.h"
#include "files/QMI_FileManager.h"
#include "platform/ProgressWindow.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeFileDates.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

namespace fs = std::filesystem;
constexpr double kDay = 86400;
const Date k1904{-2082844800.0};

double now() {
  return static_cast<double>(time(nullptr));
}

// Dates the item `days` old by its creation date (or by its modification date, when
// `creation` is a zero date).
void age(test::FakeFileDates& dates, const std::string& path, double days,
         std::optional<Date> creation = std::nullopt) {
  Date when{now() - days * kDay};
  dates.set(path, creation.value_or(when), when);
}

struct Walked {
  std::string rel;
  std::string content;  // "jpeg", "png", "movie", "text", "dir"
  double days;
  bool zeroCreation;
  bool kept;
};

TEST(Cleaning, OldPhotosGoAndEverythingElseStays) {
  test::TempDir dir;
  test::ScopedFakeFileDates fake;
  const std::string mirror = dir.sub("Mirror"), outside = dir.sub("Outside");
  const Walked cases[] = {
      {"Event/old.jpg", "jpeg", 31, false, false},
      {"Event/young.jpg", "jpeg", 29, false, true},
      {"Event/Client/old.png", "png", 45, false, false},
      {"Event/old.mov", "movie", 400, false, true},
      {"Event/notes.txt", "text", 400, false, true},
      {"Event/1904.jpg", "jpeg", 40, true, false},  // zero creation: the modification date ages it
      {"Event/.hidden.jpg", "jpeg", 31, false, false},
      {"Source/Event/waiting.jpg", "jpeg", 90, false, true},  // the source folder inside the mirror
      {"Event/broken.jpg", "text", 90, false, true},          // named like a photo, is not one
  };
  const std::string jpeg = photos::encodeJpeg({}), png = photos::encodePng({});
  for (const Walked& c : cases) {
    const std::string bytes = c.content == "jpeg" ? jpeg : c.content == "png" ? png : "not a photo";
    ASSERT_TRUE(test::writeFile(mirror + "/" + c.rel, bytes));
    age(fake.dates, mirror + "/" + c.rel, c.days,
        c.zeroCreation ? std::optional(k1904) : std::nullopt);
  }
  // Links out of the mirror: their targets are old photos and must stay.
  ASSERT_TRUE(test::writeFile(outside + "/target.jpg", jpeg));
  ASSERT_TRUE(test::writeFile(outside + "/Deep/target.jpg", jpeg));
  age(fake.dates, outside + "/target.jpg", 90);
  age(fake.dates, outside + "/Deep/target.jpg", 90);
  fs::create_symlink(outside + "/target.jpg", mirror + "/Event/link.jpg");
  fs::create_symlink(outside, mirror + "/LinkedFolder");
  age(fake.dates, mirror + "/Event/link.jpg", 90);
  age(fake.dates, mirror + "/LinkedFolder/target.jpg", 90);

  ConsoleProgressWindow window;
  OldPhotoCounts counts =
      deleteOldPhotosBelow(mirror, Date{now() - 30 * kDay}, &window, mirror + "/Source");
  for (const Walked& c : cases) EXPECT_EQ(fs::exists(mirror + "/" + c.rel), c.kept) << c.rel;
  EXPECT_EQ(counts.deleted, 4u);
  EXPECT_EQ(counts.failed, 0u);
  EXPECT_TRUE(fs::exists(outside + "/target.jpg"));
  EXPECT_TRUE(fs::exists(outside + "/Deep/target.jpg"));
  EXPECT_TRUE(fs::is_symlink(mirror + "/Event/link.jpg"));
}

TEST(Cleaning, EmptyFolderWalks) {
  struct Case {
    const char* name;
    std::vector<std::string> folders, files;
    bool spare;
    std::optional<double> cutoffDays;
    int walks;
    std::vector<std::string> expected;  // what remains, folders with a trailing "/"
  };
  const Case cases[] = {
      {"a lone .DS_Store is empty", {"A"}, {"A/.DS_Store"}, false, {}, 1, {}},
      {"a second hidden file is not",
       {"A"},
       {"A/.DS_Store", "A/.x"},
       false,
       {},
       1,
       {"A/", "A/.DS_Store", "A/.x"}},
      {"files are never deleted", {"A"}, {"A/photo.jpg"}, false, {}, 1, {"A/", "A/photo.jpg"}},
      {"sparing keeps the root's own folders", {"A/B", "C"}, {}, true, {}, 1, {"A/", "C/"}},
      {"one walk removes one level", {"A/B"}, {}, false, {}, 1, {"A/"}},
      {"two walks remove two", {"A/B"}, {}, false, {}, 2, {}},
      {"a 3-day cut-off keeps yesterday's folder", {"New", "Old"}, {}, false, 3, 1, {"New/"}},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    test::ScopedFakeFileDates fake;
    const std::string root = dir.sub("root");
    fs::create_directories(root);
    for (const auto& f : c.folders) fs::create_directories(root + "/" + f);
    for (const auto& f : c.files) test::writeFile(root + "/" + f, "x");
    age(fake.dates, root + "/New", 1);
    age(fake.dates, root + "/Old", 4);
    for (int i = 0; i < c.walks; ++i) {
      if (c.cutoffDays) {
        QMI_FileManager::deleteOLDFolderIfEmpty(root, c.spare,
                                                static_cast<std::int16_t>(*c.cutoffDays));
      } else {
        QMI_FileManager::deleteFolderIfEmpty(root, c.spare);
      }
    }
    std::vector<std::string> left;
    for (const auto& [rel, content] : test::treeOf(root))
      left.push_back(content == "<dir>" ? rel + "/" : rel);
    EXPECT_EQ(left, c.expected) << c.name;
    EXPECT_TRUE(fs::is_directory(root)) << c.name;
  }
}

TEST(Cleaning, RootsThatAreRefused) {
  test::TempDir dir;
  const char* savedHome = getenv("HOME");
  std::string home = savedHome ? savedHome : "";
  setenv("HOME", dir.sub("home").c_str(), 1);
  fs::create_directories(dir.sub("home/Source/Event"));
  fs::create_directories(dir.sub("Mirror"));
  const std::string source = dir.sub("home/Source");
  EXPECT_TRUE(refusalForCleaningRoot("/"));
  EXPECT_TRUE(refusalForCleaningRoot(dir.sub("home")));
  EXPECT_TRUE(refusalForCleaningRoot(dir.sub("home/")));
  EXPECT_TRUE(refusalForCleaningRoot(source, source));
  EXPECT_TRUE(refusalForCleaningRoot(source + "/Event", source));
  EXPECT_FALSE(refusalForCleaningRoot(dir.sub("Mirror"), source));
  EXPECT_FALSE(refusalForCleaningRoot(source));  // the empty-folder walks may clean it
  setenv("HOME", home.c_str(), 1);
}

// A folder swapped for a link to the outside between two steps of a walk: nothing outside
// the root is deleted, and failures are logged once and counted.
TEST(Cleaning, SwapsDuringAWalkNeverReachOutside) {
  test::TempDir dir;
  test::ScopedFakeFileDates fake;
  const std::string root = dir.sub("root"), outside = dir.sub("outside");
  const std::string jpeg = photos::encodeJpeg({});
  for (const char* rel :
       {"A/old.jpg", "B/old.jpg", "C/1.jpg", "C/2.jpg", "C/3.jpg", "D/keep.jpg"}) {
    test::writeFile(root + "/" + rel, jpeg);
    test::writeFile(outside + "/" + rel, jpeg);
    age(fake.dates, root + "/" + rel, 90);
    age(fake.dates, outside + "/" + rel, 90);
  }
  fs::create_directories(root + "/E");
  fs::create_directories(outside + "/E");
  fs::create_directories(outside + "/A/Empty");
  std::map<std::string, int> calls;
  bool emptyFolderWalk = false;
  setWalkStepHook([&](const std::string& rel) {
    int n = ++calls[rel];
    auto swap = [&](const std::string& what) {
      fs::rename(root + "/" + what, dir.sub("moved-" + std::to_string(calls.size())));
      fs::create_symlink(outside + "/" + what, root + "/" + what);
    };
    // After its look, before entering it (A) or removing it (E).
    if ((rel == "A" && n == 2) || (rel == "E" && n == 2 && emptyFolderWalk)) swap(rel);
    if (rel == "B/old.jpg" && n == 1) swap("B");  // the folder goes while its file is judged
    if (rel.rfind("C/", 0) == 0 && rel.find(".tmp") == std::string::npos && n == 2) {
      // A new file under the same name: the judged one is gone, nothing is deleted.
      fs::rename(root + "/" + rel, root + "/" + rel + ".tmp");
      fs::copy_file(root + "/" + rel + ".tmp", root + "/" + rel);
    }
  });
  test::CapturedOutput err(2);
  deleteOldPhotosBelow(root, Date{now() - 30 * kDay}, nullptr, std::nullopt);
  calls.clear();
  emptyFolderWalk = true;
  QMI_FileManager::deleteFolderIfEmpty(root, false);
  setWalkStepHook(nullptr);
  const std::string log = err.text();

  for (const char* rel :
       {"A/old.jpg", "B/old.jpg", "C/1.jpg", "C/2.jpg", "C/3.jpg", "D/keep.jpg", "E", "A/Empty"})
    EXPECT_TRUE(fs::exists(outside + "/" + rel)) << rel;
  EXPECT_FALSE(fs::exists(root + "/D/keep.jpg"));  // the walk went on past the failures
  std::size_t logged = 0;
  for (std::size_t at = log.find("could not delete"); at != std::string::npos;
       at = log.find("could not delete", at + 1))
    ++logged;
  EXPECT_LE(logged, 2u);  // one line per kind of failure and walk
  EXPECT_NE(log.find("deletions failed in all"), std::string::npos);
}

TEST(Cleaning, AgeAndEmptinessTests) {
  test::TempDir dir;
  test::ScopedFakeFileDates fake;
  const Date cutoff{now() - 30 * kDay};
  const struct {
    const char* name;
    std::optional<Date> creation;
    double modifiedDaysAgo;
    bool earlier;
  } cases[] = {
      {"created before", Date{cutoff.secondsSince1970 - 1}, 0, true},
      {"created at the cut-off", cutoff, 90, false},
      {"1904 creation, old modification", k1904, 31, true},
      {"1970 creation, young modification", Date{0}, 29, false},
      {"no birth time recorded", std::nullopt, 31, true},
  };
  for (const auto& c : cases) {
    const std::string path = dir.sub(c.name);
    test::writeFile(path, "x");
    fake.dates.set(path, c.creation, Date{now() - c.modifiedDaysAgo * kDay});
    EXPECT_EQ(itemIsEarlierThan(path, cutoff), c.earlier) << c.name;
  }
  EXPECT_FALSE(itemIsEarlierThan(dir.sub("missing"), cutoff));
  fs::create_directories(dir.sub("store"));
  test::writeFile(dir.sub("store/.DS_Store"), "");
  fs::create_directories(dir.sub("storeFolder/.DS_Store"));
  fs::create_directories(dir.sub("empty"));
  EXPECT_TRUE(isDirectoryEmpty(dir.sub("empty")));
  EXPECT_TRUE(isDirectoryEmpty(dir.sub("store")));
  EXPECT_FALSE(isDirectoryEmpty(dir.sub("storeFolder")));
  EXPECT_FALSE(isDirectoryEmpty(dir.sub("missing")));
}

}  // namespace
}  // namespace sorv
