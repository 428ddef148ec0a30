#include "files/SourceFolderClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sorv {
namespace {

// The lock file that stands for the folder (device, inode) where the folder cannot be locked.
std::string lockFilePath(std::uint64_t device, std::uint64_t inode) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = runtime && runtime[0] == '/' ? runtime : "/tmp";
  return folder + "/sorv-source-" + std::to_string(device) + "-" + std::to_string(inode) + ".lock";
}

int lockExclusive(int fd) {
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
}

}  // namespace

pid_t flockHolder(std::uint64_t device, std::uint64_t inode) {
  std::FILE* f = std::fopen("/proc/locks", "re");
  if (!f) return 0;
  pid_t holder = 0;
  char line[256];
  // Bounded: a machine with an absurd number of locks gives "unknown".
  for (int n = 0; n < 100000 && std::fgets(line, sizeof line, f); ++n) {
    char kind[16], mode[16];
    unsigned major = 0, minor = 0;
    unsigned long long ino = 0;
    long pid = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:567 0 EOF"; waiters' lines carry "->" and differ.
    if (std::sscanf(line, "%*d: %15s %*s %15s %ld %x:%x:%llu", kind, mode, &pid, &major, &minor,
                    &ino) != 6)
      continue;
    if (std::strcmp(kind, "FLOCK") != 0 || ino != inode || ::makedev(major, minor) != device)
      continue;
    holder = static_cast<pid_t>(pid);
    break;
  }
  std::fclose(f);
  return holder;
}

SourceFolderClaim::~SourceFolderClaim() {
  release();
}

void SourceFolderClaim::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lockFd_ >= 0) ::close(lockFd_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = lockFd_ = -1;
  device_ = inode_ = 0;
}

SourceFolderClaim::Result SourceFolderClaim::claim(const std::string& path, pid_t* holder,
                                                   std::string* err) {
  if (holder) *holder = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (err) *err = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return Result::Failed;
  }
  const auto device = static_cast<std::uint64_t>(st.st_dev);
  const auto inode = static_cast<std::uint64_t>(st.st_ino);
  if (fd_ >= 0 && device == device_ && inode == inode_) {
    ::close(fd);
    return Result::Claimed;
  }
  int lockFd = -1;
  int rc = lockExclusive(fd);
  if (rc != 0 && rc != EWOULDBLOCK) {
    // Some network file systems lock no folders: a local lock file stands in for it.
    std::string lockPath = lockFilePath(device, inode);
    lockFd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (lockFd < 0) {
      if (err) *err = lockPath + ": " + std::strerror(errno);
      ::close(fd);
      return Result::Failed;
    }
    rc = lockExclusive(lockFd);
  }
  if (rc != 0) {
    struct stat held {};
    if (holder && ::fstat(lockFd >= 0 ? lockFd : fd, &held) == 0)
      *holder = flockHolder(static_cast<std::uint64_t>(held.st_dev),
                            static_cast<std::uint64_t>(held.st_ino));
    if (err) *err = std::strerror(rc);
    if (lockFd >= 0) ::close(lockFd);
    ::close(fd);
    return rc == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
  }
  if (lockFd_ >= 0) ::close(lockFd_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  lockFd_ = lockFd;
  device_ = device;
  inode_ = inode;
  return Result::Claimed;
}

}  // namespace sorv
