// The cleaning walks against a file system that refuses single steps: a failed step is logged
// (once per kind), the walk goes on with the other entries, and nothing else is touched.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "files/FolderCleaning.h"
#include "files/QMI_FileManager.h"
#include "files/UserTrash.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeFileDates.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

namespace fs = std::filesystem;
using Fault = test::FaultInjectionFileSystem;
using test::ScopedEnv;
constexpr double kDaySeconds = 86400;

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Installs the fault-injecting file system as the default while it lives.
struct ScopedFaults {
  Fault fs;
  ScopedEnv env{{.fileSystem = &fs}};
};

TEST(CleaningFaults, FailedStepsAreLoggedAndTheWalkGoesOn) {
  enum class Job { OldPhotos, EmptyFolders };
  struct Case {
    const char* name;
    Job job;
    Fault::Op op;
    std::vector<int> failing;  // call numbers of op that fail
    int err;
    std::size_t left;                                         // entries of the three that remain
    std::vector<std::pair<std::string, std::size_t>> logged;  // text → times in the log
  };
  const Case cases[] = {
      {"a photo whose unlink fails stays, the others go",
       Job::OldPhotos,
       Fault::Op::UnlinkAt,
       {1},
       EACCES,
       1,
       {{"could not delete", 1}, {"Permission denied", 1}, {"failed in all", 0}}},
      {"two failures of one kind give one line and a count",
       Job::OldPhotos,
       Fault::Op::UnlinkAt,
       {1, 2},
       EROFS,
       2,
       {{"could not delete", 1}, {"2 deletions failed in all", 1}}},
      {"two kinds give one line each",
       Job::OldPhotos,
       Fault::Op::UnlinkAt,
       {1, 2},
       0,  // EROFS then EBUSY, below
       2,
       {{"could not delete", 2}, {"failed in all", 0}}},
      {"an entry that cannot be looked at is skipped",
       Job::OldPhotos,
       Fault::Op::StatAt,
       {3},  // A is looked at twice (before its check and its unlink), then B
       EIO,
       1,
       {{"walkBelow => skipped", 1}, {"could not delete", 0}}},
      {"a folder whose rmdir fails stays, the others go",
       Job::EmptyFolders,
       Fault::Op::UnlinkAt,
       {1},
       EBUSY,
       1,
       {{"could not delete", 1}, {"Device or resource busy", 1}}},
      {"a folder that cannot be opened is left alone",
       Job::EmptyFolders,
       Fault::Op::OpenFolderAt,
       {1},
       EMFILE,
       1,
       {{"could not delete", 0}}},
  };
  const std::string jpeg = photos::encodeJpeg({});
  for (const Case& c : cases) {
    test::TempDir dir;
    test::ScopedFakeFileDates fake;
    const std::string root = dir.sub("root");
    fs::create_directories(root);
    for (const char* name : {"A", "B", "C"}) {
      const std::string path = root + "/" + name + (c.job == Job::OldPhotos ? ".jpg" : "");
      if (c.job == Job::OldPhotos) {
        ASSERT_TRUE(test::writeFile(path, jpeg));
      } else {
        fs::create_directories(path);
      }
      Date old{static_cast<double>(time(nullptr)) - 90 * kDaySeconds};
      fake.dates.set(path, old, old);
    }
    test::CapturedOutput err(2);
    {
      ScopedFaults faults;
      for (std::size_t i = 0; i < c.failing.size(); ++i) {
        int e = c.err ? c.err : (i == 0 ? EROFS : EBUSY);
        faults.fs.failNth(c.op, c.failing[i], e);
      }
      if (c.job == Job::OldPhotos) {
        OldPhotoCounts counts =
            deleteOldPhotosBelow(root, Date{time(nullptr) - 30 * kDaySeconds}, nullptr, std::nullopt);
        EXPECT_EQ(counts.deleted, 3 - c.left) << c.name;
        EXPECT_EQ(counts.failed, c.op == Fault::Op::UnlinkAt ? c.left : 0u) << c.name;
      } else {
        QMI_FileManager::deleteFolderIfEmpty(root, false);
      }
    }
    const std::string log = err.text();
    EXPECT_EQ(test::treeOf(root).size(), c.left) << c.name;
    for (const auto& [text, times] : c.logged)
      EXPECT_EQ(occurrences(log, text), times) << c.name << ": " << text << "\n" << log;
  }
}

// The trash's own steps go through the file system too: a record that cannot be written
// leaves the file where it was and no record behind.
TEST(CleaningFaults, TrashThatCannotRecordKeepsTheFile) {
  const struct {
    const char* name;
    Fault::Op op;
    bool kept;
  } cases[] = {
      {"no room for the record", Fault::Op::Append, true},
      {"the record cannot be created", Fault::Op::CreateFile, true},
      {"the move itself fails", Fault::Op::Rename, true},
      {"nothing fails", Fault::Op::Link, false},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    setenv("XDG_DATA_HOME", dir.sub("share").c_str(), 1);
    const std::string file = dir.sub("old.log");
    ASSERT_TRUE(test::writeFile(file, "log"));
    {
      ScopedFaults faults;
      // Every try of a name fails, so the whole move fails.
      for (int n = 1; n <= 200; ++n) faults.fs.failNth(c.op, n, ENOSPC);
      EXPECT_EQ(moveFileToUserTrash(file), !c.kept) << c.name;
    }
    EXPECT_EQ(fs::exists(file), c.kept) << c.name;
    std::size_t records = 0;
    if (fs::exists(userTrashPath() + "/info"))
      for (const auto& e : fs::directory_iterator(userTrashPath() + "/info")) ++records, (void)e;
    EXPECT_EQ(records, c.kept ? 0u : 1u) << c.name;
    unsetenv("XDG_DATA_HOME");
  }
}

}  // namespace
}  // namespace sorv
