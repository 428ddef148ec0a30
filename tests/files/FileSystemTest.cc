#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs/FileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

TEST(PosixFileSystem, RenameWithoutReplaceNeverReplaces) {
  test::TempDir dir;
  FileSystem& fs = posixFileSystem();
  ASSERT_TRUE(test::writeFile(dir.sub("a"), "A"));
  ASSERT_TRUE(test::writeFile(dir.sub("b"), "B"));
  EXPECT_EQ(fs.rename(dir.sub("a"), dir.sub("b"), false), EEXIST);
  EXPECT_EQ(test::readFile(dir.sub("b")), "B");
  EXPECT_EQ(fs.rename(dir.sub("a"), dir.sub("b"), true), 0);
  EXPECT_EQ(test::readFile(dir.sub("b")), "A");
  EXPECT_EQ(fs.rename(dir.sub("b"), "/dev/shm/sorv-fs-test-never", true), EXDEV);
}

TEST(PosixFileSystem, CopyKeepsBytesModeAndTimesAndNeverReplaces) {
  test::TempDir dir;
  FileSystem& fs = posixFileSystem();
  std::string bytes(2'500'000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
  ASSERT_TRUE(test::writeFile(dir.sub("src"), bytes));
  ASSERT_EQ(fs.setAttributes(dir.sub("src"), 0400, 5'000'000'001, 6'000'000'002), 0);

  ASSERT_EQ(fs.copyFile(dir.sub("src"), dir.sub("dst"), true), 0);
  FileInfo info;
  ASSERT_EQ(fs.stat(dir.sub("dst"), &info), 0);
  EXPECT_EQ(test::readFile(dir.sub("dst")), bytes);
  EXPECT_EQ(info.mode, 0400u);
  EXPECT_EQ(info.mtimeNs, 6'000'000'002);
  EXPECT_EQ(info.atimeNs, 5'000'000'001);

  ASSERT_TRUE(test::writeFile(dir.sub("other"), "keep"));
  EXPECT_EQ(fs.copyFile(dir.sub("src"), dir.sub("other"), false), EEXIST);
  EXPECT_EQ(test::readFile(dir.sub("other")), "keep");
}

TEST(PosixFileSystem, ReadersRefuseFoldersAndSpecialFilesWithoutBlocking) {
  test::TempDir dir;
  FileSystem& fs = posixFileSystem();
  ASSERT_EQ(::mkfifo(dir.sub("fifo").c_str(), 0600), 0);
  std::unique_ptr<ReadableFile> file;
  EXPECT_EQ(fs.openForRead(dir.sub("fifo"), &file), EINVAL);
  EXPECT_EQ(fs.openForRead(dir.path(), &file), EISDIR);
  EXPECT_EQ(fs.copyFile(dir.sub("fifo"), dir.sub("copy"), false), EINVAL);
  EXPECT_FALSE(std::filesystem::exists(dir.sub("copy")));
}

TEST(PosixFileSystem, RemoveTreeRemovesLinksNotWhatTheyPointAt) {
  test::TempDir dir;
  FileSystem& fs = posixFileSystem();
  ASSERT_TRUE(test::writeFile(dir.sub("outside/keep.jpg"), "keep"));
  ASSERT_TRUE(test::writeFile(dir.sub("tree/sub/x"), "x"));
  std::filesystem::create_directory_symlink(dir.sub("outside"), dir.sub("tree/sub/link"));
  EXPECT_EQ(fs.removeTree(dir.sub("tree")), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.sub("tree")));
  EXPECT_EQ(test::readFile(dir.sub("outside/keep.jpg")), "keep");
  EXPECT_EQ(fs.removeTree(dir.sub("tree")), ENOENT);
}

TEST(PosixFileSystem, ListingStopsAtItsBound) {
  test::TempDir dir;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(test::writeFile(dir.sub(std::to_string(i)), ""));
  std::vector<std::string> names;
  EXPECT_EQ(posixFileSystem().listDirectory(dir.path(), &names, 4), E2BIG);
  EXPECT_EQ(names.size(), 4u);
  names.clear();
  EXPECT_EQ(posixFileSystem().listDirectory(dir.path(), &names), 0);
  EXPECT_EQ(names.size(), 10u);
}

TEST(PosixFileSystem, InfoTellsLinksFromWhatTheyPointAt) {
  test::TempDir dir;
  FileSystem& fs = posixFileSystem();
  ASSERT_TRUE(test::writeFile(dir.sub("f"), "12345"));
  std::filesystem::create_symlink(dir.sub("f"), dir.sub("l"));
  std::filesystem::create_symlink(dir.sub("missing"), dir.sub("dangling"));
  FileInfo viaLink, link;
  ASSERT_EQ(fs.stat(dir.sub("l"), &viaLink), 0);
  ASSERT_EQ(fs.lstat(dir.sub("l"), &link), 0);
  EXPECT_EQ(viaLink.type, FileType::Regular);
  EXPECT_EQ(viaLink.size, 5u);
  EXPECT_EQ(link.type, FileType::Symlink);
  EXPECT_FALSE(fs.exists(dir.sub("dangling")));
  EXPECT_TRUE(fs.isDirectory(dir.path()));
}

}  // namespace
}  // namespace sorv
