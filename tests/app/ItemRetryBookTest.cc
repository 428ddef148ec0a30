// The retry book's holds for photos that made the agent relaunch, and its memory of photos
// uploaded while their path was gone.
#include <gtest/gtest.h>

#include "app/ItemRetryBook.h"

namespace sorv::test {
namespace {

TEST(ItemRetryBook, ARelaunchedPhotoWaitsItsTurnThenGoesAloneThenInOrder) {
  const FileStamp stamp{7, 2, 1000, 123456789, 0};
  struct Row {
    int relaunches;
    double at;  // seconds after the latest relaunch
    bool held, alone;
  };
  const Row rows[] = {
      // One relaunch: not held, it goes first as before.
      {1, 0, false, false},
      // Two: behind the others for 30 minutes; alone at once.
      {2, 0, true, true},
      {2, 1799, true, true},
      {2, 1801, false, false},
      // Three: alone after 30 s, behind the others for an hour.
      {3, 10, true, false},
      {3, 31, true, true},
      {3, 3601, false, false},
      // Many: alone after 15 minutes at most, behind the others for 4 hours at most.
      {40, 899, true, false},
      {40, 901, true, true},
      {40, 4 * 3600 + 1, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.relaunches) + " relaunches, " + std::to_string(r.at) + " s");
    ItemRetryBook book;
    book.recordRelaunches("/k/Source/E/A.jpg", stamp, r.relaunches, 100, 1.8e9);
    EXPECT_EQ(book.isHeld("/k/Source/E/A.jpg", 100 + r.at), r.held);
    EXPECT_EQ(book.goesWhenAlone("/k/Source/E/A.jpg", 100 + r.at), r.alone);
    EXPECT_FALSE(book.isHeld("/k/Source/E/B.jpg", 100 + r.at));
  }
}

TEST(ItemRetryBook, RelaunchesCountPerVersionAndEndWithTheUpload) {
  ItemRetryBook book;
  const FileStamp v1{7, 2, 1000, 1, 0}, v2{8, 2, 1000, 2, 0};
  EXPECT_EQ(book.noteRelaunch("/s/A.jpg", v1, 10, 1.8e9), 1);
  EXPECT_EQ(book.noteRelaunch("/s/A.jpg", v1, 20, 1.8e9 + 10), 2);
  EXPECT_TRUE(book.goesWhenAlone("/s/A.jpg", 21));
  auto items = book.relaunchedItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].relaunches, 2);
  EXPECT_EQ(items[0].lastWall, 1.8e9 + 10);
  // A new version at the same path starts again.
  EXPECT_EQ(book.noteRelaunch("/s/A.jpg", v2, 30, 1.8e9 + 20), 1);
  // Uploaded: the relaunches are forgotten.
  book.recordUploaded("/s/A.jpg", v2, {});
  EXPECT_TRUE(book.relaunchedItems().empty());
  EXPECT_FALSE(book.isHeld("/s/A.jpg", 31));
}

TEST(ItemRetryBook, AnUploadWhosePathWasGoneOutlivesPruningUpToItsBound) {
  ItemRetryBook book;
  const FileStamp stamp{7, 2, 1000, 1, 0};
  EXPECT_FALSE(book.keepForReturn("/s/never-uploaded.jpg", 1));
  for (std::size_t i = 0; i <= ItemRetryBook::kMaxAwaitingReturn; ++i) {
    const std::string path = "/s/" + std::to_string(i) + ".jpg";
    book.recordUploaded(path, stamp, {"E/" + std::to_string(i) + ".mov"});
    EXPECT_TRUE(book.keepForReturn(path, 1 + static_cast<double>(i)));
  }
  book.recordUploaded("/s/moved.jpg", stamp, {});
  book.prune([](const std::string&) { return false; });  // every path is gone
  EXPECT_FALSE(book.pendingMove("/s/moved.jpg", stamp));
  EXPECT_FALSE(book.pendingMove("/s/0.jpg", stamp)) << "the oldest goes beyond the bound";
  auto movies = book.pendingMove("/s/1.jpg", stamp);
  ASSERT_TRUE(movies);
  EXPECT_EQ(*movies, std::vector<std::string>{"E/1.mov"});
  EXPECT_FALSE(book.pendingMove("/s/1.jpg", FileStamp{9, 2, 1000, 1, 0})) << "another file";
  EXPECT_FALSE(book.isHeld("/s/1.jpg", 5));
}

}  // namespace
}  // namespace sorv::test
