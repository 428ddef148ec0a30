// requeue --all: every photo of the problem folder goes back with the movie its reason names,
// and problems.jsonl is read once for all of them, not once a photo.
#include <gtest/gtest.h>

#include <atomic>

#include "logfiles/ProblemJournal.h"
#include "platform/Paths.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/FaultInjectionFileSystem.h"

namespace sorv::test {
namespace {

// Counts the openings of files whose name ends in `suffix`.
class OpenCounter : public FaultInjectionFileSystem {
 public:
  explicit OpenCounter(std::string suffix) : suffix_(std::move(suffix)) {}
  int openForRead(const std::string& path, std::unique_ptr<ReadableFile>* file) override {
    if (path.ends_with(suffix_)) ++opened;
    return FaultInjectionFileSystem::openForRead(path, file);
  }
  std::atomic<int> opened{0};

 private:
  std::string suffix_;
};

TEST(Requeue, AllPhotosGoBackWithOneReadingOfTheReasons) {
  CycleHarness h;
  constexpr int kPhotos = 40;
  createFolderWithParents(h.source());
  for (int n = 0; n < kPhotos; ++n) {
    const std::string name = "Event/IMG_" + std::to_string(n) + ".jpg";
    ASSERT_TRUE(writeFile(h.problem() + "/" + name, "photo " + std::to_string(n)));
    ProblemRecord record{"2026-05-01T10:20:30Z", name, "", 500, "", "", "", "HTTP 500"};
    if (n == 7) {
      // A movie only its reason names.
      record.movie = "Event/sitting 7.mov";
      ASSERT_TRUE(writeFile(h.problem() + "/" + record.movie, "movie 7"));
    }
    ASSERT_EQ(appendProblemRecord(defaultFileSystem(), h.dir.sub("logs/problems.jsonl"), record),
              0);
  }
  OpenCounter fs(kProblemJournalName);
  ScopedEnv env(EnvParts{.fileSystem = &fs});
  std::vector<std::string> lines;
  EXPECT_EQ(h.controller->requeueAllProblemPhotos(&lines), kPhotos);
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kPhotos));
  EXPECT_EQ(fs.opened, 1);
  EXPECT_EQ(readFile(h.source() + "/Event/IMG_7.jpg"), "photo 7");
  EXPECT_EQ(readFile(h.source() + "/Event/sitting 7.mov"), "movie 7");
}

}  // namespace
}  // namespace sorv::test
