#include "files/SourceFolderClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

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

constexpr std::size_t kMaxLocksBytes = 8 << 20;

// Up to max bytes of a /proc file into *out; false when it cannot be opened.
bool readBounded(const std::string& path, std::size_t max, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  out->clear();
  char buf[4096];
  while (out->size() < max) {
    ssize_t n = ::read(fd, buf, std::min(sizeof buf, max - out->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out->append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

// Where a /proc link leads, or "" when it cannot be read.
std::string linkTarget(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n > 0 && static_cast<std::size_t>(n) < sizeof buf
             ? std::string(buf, static_cast<std::size_t>(n))
             : "";
}

}  // namespace

pid_t flockHolder(std::uint64_t device, std::uint64_t inode) {
  // Bounded: a machine with an absurd number of locks gives "unknown".
  std::string text;
  if (!readBounded("/proc/locks", kMaxLocksBytes, &text)) return 0;
  return flockHolderIn(text, device, inode);
}

pid_t flockHolderIn(std::string_view locks, std::uint64_t device, std::uint64_t inode) {
  for (int n = 0; n < 100000 && !locks.empty(); ++n) {
    const std::size_t end = locks.find('\n');
    const std::string line(locks.substr(0, std::min<std::size_t>(end, 255)));
    locks.remove_prefix(end == std::string_view::npos ? locks.size() : end + 1);
    char kind[16], mode[16];
    unsigned major = 0, minor = 0;
    unsigned long long ino = 0;
    long pid = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:567 0 EOF"; waiters' lines carry "->" and differ.
    if (std::sscanf(line.c_str(), "%*d: %15s %*s %15s %ld %x:%x:%llu", kind, mode, &pid, &major,
                    &minor, &ino) != 6)
      continue;
    if (std::strcmp(kind, "FLOCK") != 0 || ino != inode || ::makedev(major, minor) != device)
      continue;
    return pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? static_cast<pid_t>(pid) : 0;
  }
  return 0;
}

std::string commandNameFrom(std::string_view raw) {
  raw = raw.substr(0, raw.find('\n'));
  std::string name(raw.substr(0, 15));
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  return name;
}

std::string ClaimHolder::description() const {
  if (pid <= 0) return "another process";
  std::string text = "process " + std::to_string(pid);
  if (!command.empty()) text += " (" + command + ")";
  return text;
}

ClaimHolder describeClaimHolder(pid_t pid) {
  ClaimHolder holder;
  holder.pid = pid > 0 ? pid : 0;
  if (holder.pid == 0) return holder;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::string raw;
  if (readBounded(proc + "/comm", 64, &raw)) holder.command = commandNameFrom(raw);
  std::string own;
  if (readBounded("/proc/self/comm", 64, &own)) own = commandNameFrom(own);
  // The agent runs as its bundle's executable or as the installed link to it; the kernel keeps
  // the first 15 bytes of the name.
  static const char* const kAgentNames[] = {"Sorv-FTPUploade", "sorv-uploader"};
  holder.isAgent = !holder.command.empty() && holder.command == own;
  for (const char* name : kAgentNames) holder.isAgent = holder.isAgent || holder.command == name;
  if (!holder.isAgent) {
    const std::string theirs = linkTarget(proc + "/exe");
    holder.isAgent = !theirs.empty() && theirs == linkTarget("/proc/self/exe");
  }
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
