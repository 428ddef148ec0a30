// Replacing a file through a temporary one: only a missing path or a regular file is replaced;
// a link, a folder, a FIFO, a socket or a device node in its place stays exactly as it was.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>

#include "platform/fs/AtomicWrite.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::readFile;
using test::writeFile;

// Binds a Unix socket at path; the descriptor stays open until the end of the test.
bool makeSocket(const std::string& path, int* fd) {
  *fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (*fd < 0 || path.size() >= sizeof a.sun_path) return false;
  path.copy(a.sun_path, path.size());
  return ::bind(*fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

TEST(AtomicWrite, OnlyAMissingPathOrARegularFileIsReplaced) {
  test::TempDir dir;
  const std::string target = dir.sub("target.txt");
  int socketFd = -1;
  const struct {
    const char* what;
    std::function<bool(const std::string&)> make;  // false: this kind cannot be made here
    int expect;                                    // 0: written
  } rows[] = {
      {"missing", [](const std::string&) { return true; }, 0},
      {"regular file", [](const std::string& p) { return writeFile(p, "old"); }, 0},
      {"link to a file",
       [&](const std::string& p) { return ::symlink(target.c_str(), p.c_str()) == 0; },
       kRefusedLink},
      {"dangling link", [](const std::string& p) { return ::symlink("nowhere", p.c_str()) == 0; },
       kRefusedLink},
      {"folder", [](const std::string& p) { return ::mkdir(p.c_str(), 0700) == 0; },
       kRefusedFolder},
      {"FIFO", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; }, kRefusedFifo},
      {"socket", [&](const std::string& p) { return makeSocket(p, &socketFd); }, kRefusedSocket},
      // A node of its own (the null device's numbers), never the system's /dev/null: only root
      // may make one.
      {"device",
       [](const std::string& p) { return ::mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; },
       kRefusedDevice},
  };
  int n = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_TRUE(writeFile(target, "target bytes"));
    const std::string path = dir.sub("file" + std::to_string(n++));
    if (!r.make(path)) {
      ASSERT_EQ(std::string(r.what), "device") << "only a device node may be beyond reach";
      continue;
    }
    struct stat before {};
    bool existed = ::lstat(path.c_str(), &before) == 0;
    int rc = writeFileAtomically(defaultFileSystem(), path, "new", 0644, true);
    EXPECT_EQ(rc, r.expect) << atomicWriteErrorText(rc);
    struct stat after {};
    if (r.expect == 0) {
      EXPECT_EQ(readFile(path), "new");
      ASSERT_EQ(::lstat(path.c_str(), &after), 0);
      EXPECT_EQ(after.st_mode & 07777, 0644u);
    } else {
      ASSERT_TRUE(existed);
      ASSERT_EQ(::lstat(path.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino);
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(after.st_rdev, before.st_rdev);
      EXPECT_NE(atomicWriteErrorText(rc).find("not a regular file"), std::string::npos);
    }
    EXPECT_EQ(readFile(target), "target bytes");
    // No temporary file is left beside it.
    std::vector<std::string> names;
    ASSERT_EQ(defaultFileSystem().listDirectory(dir.path(), &names, 100), 0);
    for (const auto& name : names)
      if (name.starts_with("file")) {
        EXPECT_EQ(name.find('.'), std::string::npos) << name;
      }
  }
  if (socketFd >= 0) ::close(socketFd);

  // A writer that keeps trying says a refusal once per path and kind.
  const std::string p = dir.sub("said");
  EXPECT_TRUE(firstRefusalOf(p, kRefusedFifo));
  EXPECT_FALSE(firstRefusalOf(p, kRefusedFifo));
  EXPECT_TRUE(firstRefusalOf(p, kRefusedLink));
  EXPECT_TRUE(firstRefusalOf(dir.sub("other"), kRefusedFifo));
}

}  // namespace
}  // namespace sorv
