#include "files/DescriptorWalk.h"

#include <errno.h>
#include <string.h>

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

// One open folder of the walk with its names, listed when it is entered.
struct Level {
  int fd = -1;
  std::vector<std::string> names;
  std::size_t next = 0;
  std::string relativePath;
};

bool sameFile(const FileInfo& a, const FileInfo& b) {
  return a.device == b.device && a.inode == b.inode;
}

// Lists one opened folder of the walk onto the stack; false (fd closed) when it cannot be read.
bool enter(FileSystem& fs, int fd, std::string relativePath, std::vector<Level>* stack, int* err) {
  Level level;
  level.fd = fd;
  level.relativePath = std::move(relativePath);
  // A listing that broke off after some names still walks those names.
  int rc = fs.listFolder(fd, &level.names);
  if (rc != 0 && level.names.empty()) {
    fs.closeDescriptor(fd);
    if (err) *err = rc;
    return false;
  }
  stack->push_back(std::move(level));
  return true;
}

}  // namespace

void setWalkStepHook(std::function<void(const std::string&)> hook) {
  stepHook() = std::move(hook);
}

void runWalkStepHook(const std::string& relativePath) {
  if (stepHook()) stepHook()(relativePath);
}

int openWalkedFolder(const WalkEntry& entry) {
  FileSystem& fs = defaultFileSystem();
  int fd = -1;
  if (fs.openFolderAt(entry.folderFd, entry.name, &fd) != 0) return -1;
  FileInfo now;
  if (fs.statDescriptor(fd, &now) != 0 || !sameFile(now, entry.info)) {
    fs.closeDescriptor(fd);
    return -1;
  }
  return fd;
}

bool walkEntryUnchanged(const WalkEntry& entry) {
  FileInfo now;
  if (defaultFileSystem().statAt(entry.folderFd, entry.name, &now) != 0) return false;
  return sameFile(now, entry.info) && now.type == entry.info.type;
}

int walkBelow(const std::string& root, bool recursive,
              const std::function<WalkVisit(const WalkEntry&)>& visit, std::size_t maxDepth) {
  FileSystem& fs = defaultFileSystem();
  int rootFd = -1;
  if (int rc = fs.openFolder(root, &rootFd)) return rc;
  std::vector<Level> stack;
  int rootErr = 0;
  if (!enter(fs, rootFd, "", &stack, &rootErr)) return rootErr;
  bool stopped = false;
  while (!stack.empty() && !stopped) {
    Level& level = stack.back();
    if (level.next == level.names.size()) {
      fs.closeDescriptor(level.fd);
      stack.pop_back();
      continue;
    }
    WalkEntry entry;
    entry.folderFd = level.fd;
    entry.name = level.names[level.next++];
    const std::string& parent = level.relativePath;
    entry.relativePath = parent.empty() ? entry.name : parent + "/" + entry.name;
    entry.fullPath = appendingPathComponent(root, entry.relativePath);
    entry.depth = stack.size();
    runWalkStepHook(entry.relativePath);
    if (int rc = fs.statAt(entry.folderFd, entry.name, &entry.info)) {
      if (rc == ENOENT) {
        myNSLog("testDirectory=> curItem does NOT exist: %s\n", entry.fullPath.c_str());
      } else {
        NSLog("walkBelow => skipped [%s]: %s", entry.fullPath.c_str(), strerror(rc));
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
    enter(fs, fd, entry.relativePath, &stack, nullptr);
  }
  for (Level& level : stack) fs.closeDescriptor(level.fd);
  return 0;
}

}  // namespace sorv
