#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeFileDates.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

namespace fs = std::filesystem;

// The days preference as the old-photo job reads it: anything but a positive number of days
// falls back to 30, so that a bad value never makes every photo old.
TEST(CleaningJob, DaysPreferenceAndRefusedMirror) {
  const struct {
    const char* name;
    std::optional<Value> days;
    bool mirrorIsSource;
    bool deleted31, deleted29;
  } cases[] = {
      {"30 days", Value(30), false, true, false},
      {"28 days", Value(28), false, true, true},
      {"unset", std::nullopt, false, true, false},
      {"zero", Value(0), false, true, false},
      {"negative", Value(-5), false, true, false},
      {"text", Value("many"), false, true, false},
      {"mirror is the source folder", Value(30), true, false, false},
  };
  for (const auto& c : cases) {
    test::ScopedFakeClock clock;
    test::ScopedFakeFileDates fake;
    test::CycleHarness h(false);
    h.setPref(sPrefUseDoDeleteOldPhotos, true);
    if (c.days) {
      h.setPref(sPrefDaysOldBeforeDeleting, *c.days);
    } else {
      DefaultsStore::standard().removeObject(sPrefDaysOldBeforeDeleting);
    }
    const std::string mirror = c.mirrorIsSource ? h.source() : h.mirror();
    if (c.mirrorIsSource) h.setPref(sPrefLocalMasterMirrorSiteFolder, mirror);
    const double now = clock.clock.wallNow();
    for (int days : {31, 29}) {
      const std::string path = mirror + "/Event/" + std::to_string(days) + ".jpg";
      ASSERT_TRUE(test::writeFile(path, photos::encodeJpeg({})));
      fake.dates.set(path, Date{now - days * 86400.0}, Date{now});
    }
    h.controller->deleteOldOldPhotosAndFolderIfEmptyWorks();
    EXPECT_EQ(!fs::exists(mirror + "/Event/31.jpg"), c.deleted31) << c.name;
    EXPECT_EQ(!fs::exists(mirror + "/Event/29.jpg"), c.deleted29) << c.name;
  }
}

}  // namespace
}  // namespace sorv
