#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/Paths.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

TEST(PathsTest, ComponentHelpersBehaveLikeThePlatformMethods) {
  struct Case {
    const char* path;
    const char* last;
    const char* deletingLast;
    const char* ext;
    const char* deletingExt;
  };
  const Case cases[] = {
      {"/a/b/c.jpg", "c.jpg", "/a/b", "jpg", "/a/b/c"},
      {"/a/b/", "b", "/a", "", "/a/b"},
      {"/a", "a", "/", "", "/a"},
      {"/", "/", "/", "", "/"},
      {"", "", "", "", ""},
      {"a", "a", "", "", "a"},
      {"a.b/c", "c", "a.b", "", "a.b/c"},
      {"x.tar.gz", "x.tar.gz", "", "gz", "x.tar"},
      {"/p/.DS_Store", ".DS_Store", "/p", "", "/p/.DS_Store"},
      {"/p/._img.jpg", "._img.jpg", "/p", "jpg", "/p/._img"},
      {"/p/name.", "name.", "/p", "", "/p/name."},
      {"dir.app//", "dir.app", "", "app", "dir"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(lastPathComponent(c.path), c.last);
    EXPECT_EQ(deletingLastPathComponent(c.path), c.deletingLast);
    EXPECT_EQ(pathExtension(c.path), c.ext);
    EXPECT_EQ(deletingPathExtension(c.path), c.deletingExt);
  }
}

TEST(PathsTest, AppendingJoinsWithOneSlash) {
  struct Case {
    const char* path;
    const char* comp;
    const char* joined;
  };
  const Case cases[] = {
      {"/tmp", "x.jpg", "/tmp/x.jpg"},
      {"/tmp/", "x.jpg", "/tmp/x.jpg"},
      {"/", "x", "/x"},
      {"", "x", "x"},
      {"/tmp", "/x/", "/tmp/x"},
      {"/tmp", "", "/tmp"},
      {"a", "b/c", "a/b/c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " + " + c.comp);
    EXPECT_EQ(appendingPathComponent(c.path, c.comp), c.joined);
  }
  EXPECT_EQ(appendingPathExtension("/tmp/a.old", "jpg"), "/tmp/a.old.jpg");
  EXPECT_EQ(appendingPathExtension("/tmp/", "jpg"), "/tmp.jpg");
  EXPECT_EQ(appendingPathExtension("", "jpg"), "");
}

TEST(PathsTest, FoldersComeFromTheEnvironment) {
  test::TempDir tmp;
  setenv("SORV_LOG_DIR", tmp.sub("logs").c_str(), 1);
  setenv("SORV_DEFAULTS", tmp.sub("d.plist").c_str(), 1);
  EXPECT_EQ(logFolderPath(), tmp.sub("logs"));
  EXPECT_EQ(defaultsFilePath(), tmp.sub("d.plist"));
  setenv("SORV_DEFAULTS", "", 1);  // empty counts as unset
  setenv("XDG_CONFIG_HOME", tmp.sub("cfg").c_str(), 1);
  EXPECT_EQ(defaultsFilePath(), tmp.sub("cfg") + "/Sorv/com.quenmor.SorvUploader.plist");
  setenv("SORV_DEFAULTS", tmp.sub("d.plist").c_str(), 1);

  std::string deep = tmp.sub("x/y/z");
  EXPECT_TRUE(createFolderWithParents(deep));
  EXPECT_TRUE(createFolderWithParents(deep));  // already there
  struct stat st {};
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_TRUE(test::writeFile(tmp.sub("file"), "x"));
  EXPECT_FALSE(createFolderWithParents(tmp.sub("file")));
  EXPECT_FALSE(createFolderWithParents(tmp.sub("file/sub")));
}

}  // namespace
}  // namespace sorv
