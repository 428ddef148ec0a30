#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files/FolderEnumerator.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using Visit = FolderEnumerator::Visit;

std::vector<FolderEntry> walk(const std::string& root, FileSystem& fs = defaultFileSystem()) {
  std::vector<FolderEntry> entries;
  FolderEnumerator(root, fs).enumerate([&](const FolderEntry& e) {
    entries.push_back(e);
    return Visit::Continue;
  });
  return entries;
}

std::string parentOf(const std::string& rel) {
  std::size_t slash = rel.rfind('/');
  return slash == std::string::npos ? "" : rel.substr(0, slash);
}

TEST(FolderEnumerator, AFolderComesBeforeItsContentsInListingOrder) {
  test::TempDir dir;
  for (const char* rel : {"a/b/c/1.jpg", "a/b/2.jpg", "a/3.jpg", "d/4.jpg", "5.jpg", ".hidden/6"}) {
    ASSERT_TRUE(test::writeFile(dir.sub(rel), "x"));
  }
  std::filesystem::create_directories(dir.sub("empty"));
  std::vector<FolderEntry> entries = walk(dir.path());

  std::set<std::string> seen;
  std::map<std::string, std::vector<std::string>> childrenInOrder;
  for (const FolderEntry& e : entries) {
    std::string parent = parentOf(e.relativePath);
    EXPECT_TRUE(parent.empty() || seen.count(parent)) << e.relativePath << " before its folder";
    EXPECT_EQ(e.fullPath, dir.path() + "/" + e.relativePath);
    seen.insert(e.relativePath);
    childrenInOrder[parent].push_back(
        e.relativePath.substr(parent.empty() ? 0 : parent.size() + 1));
  }
  EXPECT_EQ(seen,
            (std::set<std::string>{"a", "a/b", "a/b/c", "a/b/c/1.jpg", "a/b/2.jpg", "a/3.jpg", "d",
                                   "d/4.jpg", "5.jpg", ".hidden", ".hidden/6", "empty"}));
  // Siblings come exactly as the file system lists them, and a folder's contents follow it
  // before the next sibling (depth first).
  for (const auto& [parent, names] : childrenInOrder) {
    std::vector<std::string> listed;
    posixFileSystem().listDirectory(parent.empty() ? dir.path() : dir.sub(parent), &listed);
    EXPECT_EQ(names, listed) << parent;
  }
  for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
    if (entries[i].isFolder() && entries[i].relativePath == "a/b") {
      EXPECT_EQ(parentOf(entries[i + 1].relativePath), "a/b");
    }
  }
}

TEST(FolderEnumerator, LinksAreReportedButNeverFollowed) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.sub("a/1.jpg"), "x"));
  ASSERT_TRUE(test::writeFile(dir.path() + "-outside/secret.jpg", "x"));
  std::filesystem::create_directory_symlink("..", dir.sub("a/up"));
  std::filesystem::create_directory_symlink(dir.sub("a"), dir.sub("a/self"));
  std::filesystem::create_directory_symlink(dir.path() + "-outside", dir.sub("out"));
  std::filesystem::create_symlink(dir.sub("a/1.jpg"), dir.sub("a/file-link.jpg"));

  std::map<std::string, FileType> types;
  for (const FolderEntry& e : walk(dir.path())) types[e.relativePath] = e.info.type;
  EXPECT_EQ(types, (std::map<std::string, FileType>{{"a", FileType::Directory},
                                                    {"a/1.jpg", FileType::Regular},
                                                    {"a/up", FileType::Symlink},
                                                    {"a/self", FileType::Symlink},
                                                    {"a/file-link.jpg", FileType::Symlink},
                                                    {"out", FileType::Symlink}}));
  std::filesystem::remove_all(dir.path() + "-outside");
}

TEST(FolderEnumerator, OddNamesComeBackByteForByte) {
  test::TempDir dir;
  const std::vector<std::string> names = {"with blank.jpg",
                                          "100% %s %n %@.jpg",
                                          "\xc3\xbcn\xc3\xaf"
                                          "c\xc3\xb8"
                                          "de.jpg",
                                          "bad \xff\xfe\x80.jpg",
                                          "new\nline.jpg",
                                          " lead and trail ",
                                          "-dash.jpg"};
  for (const std::string& n : names) ASSERT_TRUE(test::writeFile(dir.sub("Ev %1/" + n), n));
  std::set<std::string> found;
  for (const FolderEntry& e : walk(dir.path())) {
    if (e.isFolder()) continue;
    found.insert(e.relativePath);
    EXPECT_EQ(test::readFile(e.fullPath), e.relativePath.substr(6));
  }
  std::set<std::string> expected;
  for (const std::string& n : names) expected.insert("Ev %1/" + n);
  EXPECT_EQ(found, expected);
}

TEST(FolderEnumerator, StopsAndSkipsWhenTheCallbackSays) {
  test::TempDir dir;
  for (const char* rel : {"a/1", "a/2", "b/3", "b/4", "c"})
    ASSERT_TRUE(test::writeFile(dir.sub(rel), ""));
  int visits = 0;
  FolderEnumerator(dir.path()).enumerate([&](const FolderEntry&) {
    return ++visits == 3 ? Visit::Stop : Visit::Continue;
  });
  EXPECT_EQ(visits, 3);

  std::set<std::string> seen;
  FolderEnumerator(dir.path()).enumerate([&](const FolderEntry& e) {
    seen.insert(e.relativePath);
    return e.relativePath == "a" ? Visit::SkipContents : Visit::Continue;
  });
  EXPECT_EQ(seen, (std::set<std::string>{"a", "b", "b/3", "b/4", "c"}));
  EXPECT_FALSE(FolderEnumerator(dir.sub("missing")).enumerate([](const FolderEntry&) {
    return Visit::Continue;
  }));
}

TEST(FolderEnumerator, EntriesThatVanishOrCannotBeReadAreSkipped) {
  test::TempDir dir;
  for (int f = 0; f < 5; ++f) {
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(test::writeFile(dir.sub("d" + std::to_string(f) + "/" + std::to_string(i)), ""));
    }
  }
  // The first folder met removes every other folder, and the first file met in it removes
  // the rest of its own folder.
  std::string firstFolder, removedAt;
  std::vector<std::string> seen;
  bool ok = FolderEnumerator(dir.path()).enumerate([&](const FolderEntry& e) {
    seen.push_back(e.relativePath);
    if (firstFolder.empty()) {
      firstFolder = e.relativePath;
      for (int f = 0; f < 5; ++f) {
        std::string name = "d" + std::to_string(f);
        if (name != firstFolder) std::filesystem::remove_all(dir.sub(name));
      }
    } else if (removedAt.empty()) {
      removedAt = e.relativePath;
      for (const auto& other : std::filesystem::directory_iterator(dir.sub(firstFolder))) {
        if (other.path().string() != e.fullPath) std::filesystem::remove(other.path());
      }
    }
    return Visit::Continue;
  });
  EXPECT_TRUE(ok);
  EXPECT_EQ(seen, (std::vector<std::string>{firstFolder, removedAt}));

  // A folder that cannot be listed leaves out its contents only.
  for (int f = 0; f < 3; ++f)
    ASSERT_TRUE(test::writeFile(dir.sub("e" + std::to_string(f) + "/x"), ""));
  test::FaultInjectionFileSystem fs;
  fs.failNth(test::FaultInjectionFileSystem::Op::ListDirectory, 2, EACCES);
  std::vector<FolderEntry> entries = walk(dir.path(), fs);
  int folders = 0, files = 0;
  for (const FolderEntry& e : entries) (e.isFolder() ? folders : files)++;
  EXPECT_EQ(folders, 4);  // the one the callback kept, and e0 to e2
  EXPECT_EQ(files, 3);    // the unlisted folder's file is missing
}

}  // namespace
}  // namespace sorv
