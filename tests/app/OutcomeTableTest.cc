// Every row of the outcome table end to end against the reference site: where the photo and
// its movie end, how many POSTs the site saw, what the operator was shown.
#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/SiteProcess.h"

namespace sorv::test {
namespace {

TEST(OutcomeTable, EveryRowEndsInItsPlace) {
  const struct {
    const char* name;
    const char* fault;
    const char* item;    // under the source folder
    const char* movie;   // named by the metadata; beside the item
    bool problemFolder;  // create "Problem Folder" first
    const char* clash;   // a file already at this path under the problem folder
    const char* ends;    // where the photo ends, relative to the test's folder
  } rows[] = {
      {"nested after HTTP 500", "http500", "Event/Sub/IMG_3.jpg", "IMG_3.mov", true, nullptr,
       "Problem Folder/Event/Sub/IMG_3.jpg"},
      {"name clash", "http500", "Event/IMG_1.jpg", nullptr, true, "Event/IMG_1.jpg",
       "Problem Folder/Event/IMG_1 (2).jpg"},
      {"no problem folder yet", "http500", "Event/IMG_1.jpg", nullptr, false, nullptr,
       "Problem Folder/Event/IMG_1.jpg"},
      {"padded ERROR", "paddederror", "Event/IMG_1.jpg", nullptr, true, nullptr,
       "Source/Event/IMG_1.jpg"},
      {"OK and a line end", "oknewline", "Event/IMG_1.jpg", nullptr, true, nullptr,
       "Mirror/Event/IMG_1.jpg"},
      {"named movie on success", "", "Event/IMG_1.jpg", "sitting 7.mov", true, nullptr,
       "Mirror/Event/IMG_1.jpg"},
      {"named movie on failure", "warning", "Event/IMG_1.jpg", "sitting 7.mov", true, nullptr,
       "Problem Folder/Event/IMG_1.jpg"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    CycleHarness h(true, true);
    std::vector<std::string> args;
    if (*r.fault) args = {"--fault", r.fault};
    SiteProcess site(h.dir.sub("store"), args);
    ASSERT_TRUE(site.ok());
    h.setPref(sPrefVyrURL, site.url());
    if (r.problemFolder) createFolderWithParents(h.problem());
    if (r.clash) {
      createFolderWithParents(deletingLastPathComponent(h.problem() + "/" + r.clash));
      ASSERT_TRUE(writeFile(h.problem() + "/" + r.clash, "an earlier photo"));
    }
    Dict meta = standardMetaData();
    const std::string item = h.source() + "/" + r.item;
    const std::string folder = deletingLastPathComponent(r.item);
    if (r.movie) {
      meta["QM_muxedMovieName"] = std::string(r.movie);
      ASSERT_TRUE(writeFile(deletingLastPathComponent(item) + "/" + r.movie, "movie bytes"));
    }
    ASSERT_TRUE(writeJpegWithMeta(item, meta));
    const std::string bytes = readFile(item);
    drive(h, 20, [&] { return !exists(item); });

    EXPECT_EQ(readFile(h.dir.sub(r.ends)), bytes);
    EXPECT_EQ(postsFor(h.dir.sub("store"), lastPathComponent(r.item)), 1);
    if (r.clash) {
      EXPECT_EQ(readFile(h.problem() + "/" + r.clash), "an earlier photo");
    }
    if (r.movie) {
      std::string movieEnds = deletingLastPathComponent(r.ends) + "/" + r.movie;
      EXPECT_EQ(readFile(h.dir.sub(movieEnds)), "movie bytes") << movieEnds;
    }
    if (std::string(r.fault) == "paddederror") {
      bool red = false;
      EXPECT_TRUE(
          h.view.wasShown(AppField::FTPCallbackStatus, "The service is not taking uploads", &red));
      EXPECT_TRUE(red);
    }
  }
}

}  // namespace
}  // namespace sorv::test
