// The scan's choice of the next item, called directly on made-up walk entries: which file is
// taken, which verdicts the walk may keep until the file changes, and what is read for it.
#include <gtest/gtest.h>

#include <set>

#include "app/ItemChoice.h"
#include "metadata/PhotoMetadata.h"

namespace sorv::test {
namespace {

using Visit = FolderEnumerator::Visit;

FolderEntry entryAt(const std::string& rel, FileType type = FileType::Regular) {
  FolderEntry entry;
  entry.relativePath = rel;
  entry.fullPath = "/src/" + rel;
  entry.info.type = type;
  return entry;
}

// Rules over made-up files: which are valid images, which carry metadata (and which movie
// it names), which are held, which movies exist. Counts the metadata reads.
struct World {
  bool formBaseId = false, uploadMovie = false, clientLogin = false;
  std::set<std::string> validImages, withMeta, held, movies;
  std::string movieName;  // named by every metadata block when not empty
  int metaReads = 0;

  ItemRules rules() {
    ItemRules r;
    r.formBaseId = formBaseId;
    r.uploadMovie = uploadMovie;
    r.clientLogin = clientLogin;
    r.isValidImage = [this](const std::string& path, const FileInfo&) {
      return validImages.count(path) > 0;
    };
    r.metaDataOf = [this](const std::string& path, const FileInfo&) -> std::optional<Dict> {
      ++metaReads;
      if (!withMeta.count(path)) return std::nullopt;
      Dict meta{{"OriginalPath", Value("/orig/" + path)}};
      if (!movieName.empty()) meta[QMMuxedMovieName] = Value(movieName);
      return meta;
    };
    if (!held.empty()) r.isHeld = [this](const std::string& path) { return held.count(path) > 0; };
    r.movieIsThere = [this](const std::string& path) { return movies.count(path) > 0; };
    return r;
  }
};

TEST(ItemChoice, EachRuleGivesItsVerdict) {
  struct Row {
    const char* what;
    FolderEntry entry;
    std::function<void(World&)> setUp;
    Visit expected;
    int metaReads;
  };
  const std::string photo = "/src/Event/IMG_1.jpg";
  const Row rows[] = {
      {"a photo with metadata", entryAt("Event/IMG_1.jpg"), [&](World& w) { w.withMeta = {photo}; },
       Visit::Stop, 1},
      {"a hidden file is never read", entryAt("Event/.IMG_1.jpg"), [](World&) {}, Visit::Unchanged,
       0},
      {"a link is never followed", entryAt("Event/IMG_1.jpg", FileType::Symlink),
       [&](World& w) { w.withMeta = {photo}; }, Visit::Unchanged, 0},
      {"a file at the top is not an item", entryAt("IMG_1.jpg"),
       [](World& w) { w.withMeta = {"/src/IMG_1.jpg"}; }, Visit::Continue, 0},
      {"a movie is not an item", entryAt("Event/clip.MOV"),
       [](World& w) { w.withMeta = {"/src/Event/clip.MOV"}; }, Visit::Unchanged, 0},
      {"by file name: a valid image at the top", entryAt("IMG_1.jpg"),
       [](World& w) {
         w.formBaseId = true;
         w.validImages = w.withMeta = {"/src/IMG_1.jpg"};
       },
       Visit::Stop, 1},
      {"by file name: not a valid image", entryAt("Event/IMG_1.jpg"),
       [&](World& w) {
         w.formBaseId = true;
         w.withMeta = {photo};
       },
       Visit::Unchanged, 0},
      {"a held item waits, unread", entryAt("Event/IMG_1.jpg"),
       [&](World& w) { w.withMeta = w.held = {photo}; }, Visit::Continue, 0},
      {"no metadata", entryAt("Event/IMG_1.jpg"), [](World&) {}, Visit::Unchanged, 1},
      {"no metadata, not a plain file", entryAt("Event/IMG_1.jpg", FileType::Other), [](World&) {},
       Visit::Continue, 1},
      {"no metadata under a client login", entryAt("Event/IMG_1.jpg"),
       [](World& w) { w.clientLogin = true; }, Visit::Stop, 1},
      {"its .mov is asked for and missing", entryAt("Event/IMG_1.jpg"),
       [&](World& w) {
         w.uploadMovie = true;
         w.withMeta = {photo};
       },
       Visit::Continue, 1},
      {"its .mov is asked for and there", entryAt("Event/IMG_1.jpg"),
       [&](World& w) {
         w.uploadMovie = true;
         w.withMeta = {photo};
         w.movies = {"/src/Event/IMG_1.mov"};
       },
       Visit::Stop, 1},
      {"the movie its metadata names is missing", entryAt("Event/IMG_1.jpg"),
       [&](World& w) {
         w.withMeta = {photo};
         w.movieName = "clip.mov";
       },
       Visit::Continue, 1},
      {"the movie its metadata names is there", entryAt("Event/IMG_1.jpg"),
       [&](World& w) {
         w.withMeta = {photo};
         w.movieName = "clip.mov";
         w.movies = {"/src/Event/clip.mov"};
       },
       Visit::Stop, 1},
      {"a movie name with a folder in it is ignored", entryAt("Event/IMG_1.jpg"),
       [&](World& w) {
         w.withMeta = {photo};
         w.movieName = "../clip.mov";
       },
       Visit::Stop, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    World world;
    row.setUp(world);
    EXPECT_EQ(judgeScanEntry(row.entry, world.rules()), row.expected);
    EXPECT_EQ(world.metaReads, row.metaReads);
  }
}

TEST(ItemChoice, TheFirstAcceptedEntryInWalkOrderIsChosen) {
  World world;
  world.withMeta = {"/src/B/two.jpg", "/src/B/three.jpg"};
  world.held = {"/src/B/two.jpg"};
  const std::vector<FolderEntry> entries = {entryAt("A", FileType::Directory),
                                            entryAt("A/none.jpg"),
                                            entryAt("B", FileType::Directory),
                                            entryAt("B/two.jpg"),
                                            entryAt("B/three.jpg"),
                                            entryAt("B/four.jpg")};
  auto chosen = chooseNextItem(entries, world.rules());
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->relativePath, "B/three.jpg");

  world.withMeta.clear();
  EXPECT_FALSE(chooseNextItem(entries, world.rules()));
  EXPECT_FALSE(chooseNextItem({}, world.rules()));
}

}  // namespace
}  // namespace sorv::test
