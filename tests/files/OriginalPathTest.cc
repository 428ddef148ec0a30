#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files/QMI_FileManager.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::writeFile;

struct ResolveCase {
  const char* name;
  int tag;
  std::string recorded;            // "$" stands for the temporary folder
  std::vector<std::string> roots;  // empty: no list
  std::optional<std::string> found;
};

TEST(OriginalPathTest, CandidatesUnderEachRootBySearchMethod) {
  test::TempDir dir;
  test::useTemporaryHome(dir.path());
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  for (const char* file :
       {"kiosk/Event/IMG_1.jpg", "kiosk/My Event/IMG 5.jpg", "Alt/Event/IMG_4.jpg",
        "Alt/2010/Event/IMG_2.jpg", "Alt/Hidden/Moved/IMG_3.jpg",
        "Alt/Volumes/Kiosk/Event/IMG_6.jpg", "Alt/Event/IMG_6.jpg", "rootfile", "Alt/passwd"})
    ASSERT_TRUE(writeFile(dir.sub(file), "x"));
  std::filesystem::create_directories(dir.sub("kiosk/Folder.jpg"));
  ASSERT_TRUE(writeFile(dir.sub("Alt/.hidden"), "Hidden\n"));

  const std::string alt = "$/Alt";
  const ResolveCase cases[] = {
      {"tag 0 finds nothing", 0, "$/kiosk/Event/IMG_1.jpg", {alt}, std::nullopt},
      {"tag 1 the recorded file", 1, "$/kiosk/Event/IMG_1.jpg", {alt}, "$/kiosk/Event/IMG_1.jpg"},
      {"tag 1 a recorded folder", 1, "$/kiosk/Folder.jpg", {}, "$/kiosk/Folder.jpg"},
      {"tag 1 ignores the roots", 1, "/Volumes/Kiosk/Event/IMG_4.jpg", {alt}, std::nullopt},
      {"tag 2 the recorded file first",
       2,
       "$/kiosk/Event/IMG_1.jpg",
       {alt},
       "$/kiosk/Event/IMG_1.jpg"},
      {"tag 2 never a folder", 2, "$/kiosk/Folder.jpg", {alt}, std::nullopt},
      {"tag 2 without a list", 2, "/Volumes/Kiosk/Event/IMG_4.jpg", {}, std::nullopt},
      {"tag 2 leading parts dropped",
       2,
       "/Volumes/Kiosk/Event/IMG_4.jpg",
       {alt},
       "$/Alt/Event/IMG_4.jpg"},
      {"tag 2 longest candidate first",
       2,
       "/Volumes/Kiosk/Event/IMG_6.jpg",
       {alt},
       "$/Alt/Volumes/Kiosk/Event/IMG_6.jpg"},
      {"tag 2 visible subfolder",
       2,
       "/Volumes/X/Event/IMG_2.jpg",
       {alt},
       "$/Alt/2010/Event/IMG_2.jpg"},
      {"tag 2 hidden subfolder not searched", 2, "/Volumes/X/Moved/IMG_3.jpg", {alt}, std::nullopt},
      {"tag 3 a root that is a file is skipped",
       3,
       "/Volumes/Kiosk/Event/IMG_4.jpg",
       {"$/rootfile", alt},
       "$/Alt/Event/IMG_4.jpg"},
      {"tag 3 only the first root is expanded",
       3,
       "/Volumes/X/Event/IMG_2.jpg",
       {"$/rootfile", alt},
       std::nullopt},
      {"tag 3 %20 is a blank",
       3,
       "$/kiosk/My%20Event/IMG%205.jpg",
       {},
       "$/kiosk/My Event/IMG 5.jpg"},
      {"tag 2 a relative path under the root",
       2,
       "Event/IMG_4.jpg",
       {alt},
       "$/Alt/Event/IMG_4.jpg"},
      {"tag 3 no .. component", 3, "/x/../../Alt/passwd", {alt}, std::nullopt},
      {"tag 3 malformed escape", 3, "$/kiosk/Event/IMG_1.jpg%2", {alt}, std::nullopt},
  };
  auto expand = [&](std::string s) {
    if (s.starts_with("$")) s = dir.path() + s.substr(1);
    return s;
  };
  for (const auto& c : cases) {
    DefaultsStore::standard().setObject(Value(c.tag), sPrefSearchPathMethodTag);
    std::optional<std::vector<std::string>> roots;
    if (!c.roots.empty()) {
      roots.emplace();
      for (const auto& r : c.roots) roots->push_back(expand(r));
    }
    auto found = QMI_FileManager::doResolveOriginalPath(expand(c.recorded), roots);
    std::optional<std::string> want;
    if (c.found) want = expand(*c.found);
    EXPECT_EQ(found, want) << c.name;
  }
}

}  // namespace
}  // namespace sorv
