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
       {"k/E/1.jpg", "k/My E/5.jpg", "Alt/E/4.jpg", "Alt/2010/E/2.jpg", "Alt/Hidden/M/3.jpg",
        "Alt/V/K/E/6.jpg", "Alt/E/6.jpg", "rootfile", "Alt/passwd"})
    ASSERT_TRUE(writeFile(dir.sub(file), "x"));
  std::filesystem::create_directories(dir.sub("k/F.jpg"));
  ASSERT_TRUE(writeFile(dir.sub("Alt/.hidden"), "Hidden\n"));
  // Links inside the alternate folder: one out of it, one to a file of its own.
  ASSERT_TRUE(writeFile(dir.sub("secret/S/7.jpg"), "x"));
  std::filesystem::create_directory_symlink(dir.sub("secret/S"), dir.sub("Alt/S"));
  std::filesystem::create_symlink(dir.sub("Alt/E/4.jpg"), dir.sub("Alt/E/8.jpg"));

  const std::string alt = "$/Alt", file = "$/rootfile";
  const auto none = std::nullopt;
  const ResolveCase cases[] = {
      {"tag 0 nothing", 0, "$/k/E/1.jpg", {alt}, none},
      {"tag 1 the file", 1, "$/k/E/1.jpg", {alt}, "$/k/E/1.jpg"},
      {"tag 1 a folder", 1, "$/k/F.jpg", {}, "$/k/F.jpg"},
      {"tag 1 no roots", 1, "/V/K/E/4.jpg", {alt}, none},
      {"tag 2 the file first", 2, "$/k/E/1.jpg", {alt}, "$/k/E/1.jpg"},
      {"tag 2 never a folder", 2, "$/k/F.jpg", {alt}, none},
      {"tag 2 no list", 2, "/V/K/E/4.jpg", {}, none},
      {"tag 2 parts dropped", 2, "/V/K/E/4.jpg", {alt}, "$/Alt/E/4.jpg"},
      {"tag 2 longest first", 2, "/V/K/E/6.jpg", {alt}, "$/Alt/V/K/E/6.jpg"},
      {"tag 2 visible subfolder", 2, "/V/X/E/2.jpg", {alt}, "$/Alt/2010/E/2.jpg"},
      {"tag 2 hidden subfolder", 2, "/V/X/M/3.jpg", {alt}, none},
      {"tag 2 relative path", 2, "E/4.jpg", {alt}, "$/Alt/E/4.jpg"},
      {"tag 3 a root that is a file", 3, "/V/K/E/4.jpg", {file, alt}, "$/Alt/E/4.jpg"},
      {"tag 3 only the first root expanded", 3, "/V/X/E/2.jpg", {file, alt}, none},
      {"tag 3 %20 is a blank", 3, "$/k/My%20E/5.jpg", {}, "$/k/My E/5.jpg"},
      {"tag 3 no .. component", 3, "/x/../../Alt/passwd", {alt}, none},
      {"tag 3 malformed escape", 3, "$/k/E/1.jpg%2", {alt}, none},
      {"tag 2 a link out of the root", 2, "/V/K/S/7.jpg", {alt}, none},
      {"tag 2 a link within the root", 2, "/V/K/E/8.jpg", {alt}, "$/Alt/E/8.jpg"},
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
