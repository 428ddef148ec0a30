#include "files/DescriptorWalk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "log/MessageLog.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {
namespace {

std::function<void(const std::string&)>& stepHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

struct Level {
  DIR* dir;
  std::string relativePath;
};

}  // namespace

void setWalkStepHook(std::function<void(const std::string&)> hook) {
  stepHook() = std::move(hook);
}

void runWalkStepHook(const std::string& relativePath) {
  if (stepHook()) stepHook()(relativePath);
}

int openWalkedFolder(const WalkEntry& entry) {
  int fd =
      openat(entry.folderFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat now;
  if (fstat(fd, &now) != 0 || now.st_dev != entry.st.st_dev || now.st_ino != entry.st.st_ino) {
    close(fd);
    return -1;
  }
  return fd;
}

bool walkEntryUnchanged(const WalkEntry& entry) {
  struct stat now;
  if (fstatat(entry.folderFd, entry.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return now.st_dev == entry.st.st_dev && now.st_ino == entry.st.st_ino &&
         (now.st_mode & S_IFMT) == (entry.st.st_mode & S_IFMT);
}

int walkBelow(const std::string& root, bool recursive,
              const std::function<WalkVisit(const WalkEntry&)>& visit, std::size_t maxDepth) {
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return errno;
  DIR* rootDir = fdopendir(rootFd);
  if (!rootDir) {
    int err = errno;
    close(rootFd);
    return err;
  }
  std::vector<Level> stack;
  stack.push_back({rootDir, ""});
  bool stopped = false;
  while (!stack.empty() && !stopped) {
    errno = 0;
    struct dirent* d = readdir(stack.back().dir);
    if (!d) {
      closedir(stack.back().dir);
      stack.pop_back();
      continue;
    }
    if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
    WalkEntry entry;
    entry.folderFd = dirfd(stack.back().dir);
    entry.name = d->d_name;
    const std::string& parent = stack.back().relativePath;
    entry.relativePath = parent.empty() ? entry.name : parent + "/" + entry.name;
    entry.fullPath = appendingPathComponent(root, entry.relativePath);
    entry.depth = stack.size();
    runWalkStepHook(entry.relativePath);
    if (fstatat(entry.folderFd, d->d_name, &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) {
        myNSLog("testDirectory=> curItem does NOT exist: %s\n", entry.fullPath.c_str());
      } else {
        NSLog("walkBelow => skipped [%s]: %s", entry.fullPath.c_str(), strerror(errno));
      }
      continue;
    }
    WalkVisit answer = visit(entry);
    if (answer == WalkVisit::Stop) stopped = true;
    if (answer != WalkVisit::Continue || !entry.isFolder() || !recursive) continue;
    if (stack.size() >= maxDepth) {
      NSLog("walkBelow => not entering [%s]: too deep", entry.fullPath.c_str());
      continue;
    }
    runWalkStepHook(entry.relativePath);
    int fd = openWalkedFolder(entry);
    if (fd < 0) {
      NSLog("walkBelow => not entering [%s]: changed or unreadable", entry.fullPath.c_str());
      continue;
    }
    DIR* inner = fdopendir(fd);
    if (!inner) {
      close(fd);
      continue;
    }
    stack.push_back({inner, entry.relativePath});
  }
  for (Level& level : stack) closedir(level.dir);
  return 0;
}

}  // namespace sorv
