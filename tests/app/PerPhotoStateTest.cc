// What the cycle keeps per photo follows the source folder: photos that were uploaded, and
// files that left by any other way, leave no entry behind, while a photo that stays is not
// read again.
#include <gtest/gtest.h>

#include <filesystem>

#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"

namespace sorv::test {
namespace {

int filesIn(const std::string& root) {
  int n = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root))
    n += e.is_regular_file();
  return n;
}

TEST(PerPhotoState, CachesHoldWhatTheSourceFolderHolds) {
  struct Case {
    const char* name;
    bool formBaseId;  // valid images anywhere: the valid-image cache is used as well
  } cases[] = {{"photos with metadata", false}, {"photos named by their base id", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CycleHarness h;
    h.setPref(sPrefFormBaseIdFromFileName, c.formBaseId);
    for (int i = 0; i < 6; ++i)
      ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_" + std::to_string(i) + ".jpg"),
                                    standardMetaData()));
    // Stays: it waits for a movie that never comes; and two files that are no photos.
    Dict waits = standardMetaData();
    waits["QM_muxedMovieName"] = "IMG_9_muxed.mov";
    ASSERT_TRUE(writeJpegWithMeta(h.dir.sub("Source/Event/IMG_9.jpg"), waits));
    writeFile(h.dir.sub("Source/Event/raw_1.jpg"), "no photo");
    writeFile(h.dir.sub("Source/Event/raw_2.jpg"), "no photo either");

    drive(h, 60, [&] { return filesIn(h.source()) == 3; });
    ASSERT_EQ(filesIn(h.source()), 3);
    EXPECT_EQ(h.transport.posts(), 6);
    auto kept = h.controller->perPhotoEntries();
    EXPECT_LE(kept.scanFacts, 3u);
    EXPECT_EQ(kept.retryBook, 0u);
    EXPECT_EQ(kept.waiting, 0u);

    // The photo that stays is not read again by later passes.
    const auto reads = h.controller->metaDataReads();
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(h.controller->metaDataReads(), reads);

    // Whatever leaves the folder without the cycle is forgotten by the next pass.
    std::filesystem::rename(h.dir.sub("Source/Event/IMG_9.jpg"), h.dir.sub("IMG_9.jpg"));
    std::filesystem::remove(h.dir.sub("Source/Event/raw_1.jpg"));
    std::filesystem::remove(h.dir.sub("Source/Event/raw_2.jpg"));
    ASSERT_TRUE(h.runPass());
    kept = h.controller->perPhotoEntries();
    EXPECT_EQ(kept.scanFacts, 0u);
    EXPECT_EQ(kept.waiting, 0u);
  }
}

}  // namespace
}  // namespace sorv::test
