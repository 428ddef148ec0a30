// The real file system on POSIX calls; every call retries on EINTR.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/fs/FileSystem.h"

namespace sorv {
namespace {

std::int64_t toNs(const struct timespec& ts) {
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct timespec fromNs(std::int64_t ns) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += 1'000'000'000;
    ts.tv_sec -= 1;
  }
  return ts;
}

void fillInfo(const struct stat& st, FileInfo* info) {
  if (S_ISREG(st.st_mode)) {
    info->type = FileType::Regular;
  } else if (S_ISDIR(st.st_mode)) {
    info->type = FileType::Directory;
  } else if (S_ISLNK(st.st_mode)) {
    info->type = FileType::Symlink;
  } else {
    info->type = FileType::Other;
  }
  info->size = static_cast<std::uint64_t>(st.st_size);
  info->inode = st.st_ino;
  info->device = st.st_dev;
  info->mode = st.st_mode & 07777;
  info->format = st.st_mode & S_IFMT;
  info->atimeNs = toNs(st.st_atim);
  info->mtimeNs = toNs(st.st_mtim);
  info->ctimeNs = toNs(st.st_ctim);
}

int syncFd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

class PosixReadableFile : public ReadableFile {
 public:
  explicit PosixReadableFile(int fd) : fd_(fd) {}
  ~PosixReadableFile() override { ::close(fd_); }
  int read(char* buf, std::size_t n, std::size_t* got) override {
    for (;;) {
      ssize_t r = ::read(fd_, buf, n);
      if (r >= 0) {
        *got = static_cast<std::size_t>(r);
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }

 private:
  int fd_;
};

class PosixWritableFile : public WritableFile {
 public:
  explicit PosixWritableFile(int fd) : fd_(fd) {}
  ~PosixWritableFile() override { close(); }
  int append(std::string_view data) override {
    if (fd_ < 0) return EBADF;
    while (!data.empty()) {
      ssize_t w = ::write(fd_, data.data(), data.size());
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      data.remove_prefix(static_cast<std::size_t>(w));
    }
    return 0;
  }
  int sync() override { return fd_ < 0 ? EBADF : syncFd(fd_); }
  int close() override {
    if (fd_ < 0) return 0;
    int rc = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return rc == EINTR ? 0 : rc;
  }

 private:
  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  int stat(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    fillInfo(st, info);
    return 0;
  }
  int lstat(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    fillInfo(st, info);
    return 0;
  }
  int makeDirectory(const std::string& path, std::uint32_t mode) override {
    return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : errno;
  }
  int rename(const std::string& from, const std::string& to, bool replace) override {
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    if (::unlink(from.c_str()) != 0) return errno;
    return 0;
  }
  int link(const std::string& from, const std::string& to) override {
    return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  int unlink(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }
  int removeTree(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path), ec);
    return ec ? (ec.value() ? ec.value() : EIO) : 0;
  }
  int setAttributes(const std::string& path, std::uint32_t mode, std::int64_t atimeNs,
                    std::int64_t mtimeNs) override {
    struct timespec times[2] = {fromNs(atimeNs), fromNs(mtimeNs)};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return errno;
    if (::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) return errno;
    return 0;
  }
  int openForRead(const std::string& path, std::unique_ptr<ReadableFile>* file) override {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat st;
    int rc = ::fstat(fd, &st) != 0  ? errno
             : S_ISDIR(st.st_mode)  ? EISDIR
             : !S_ISREG(st.st_mode) ? EINVAL
                                    : 0;
    if (rc != 0) {
      ::close(fd);
      return rc;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *file = std::make_unique<PosixReadableFile>(fd);
    return 0;
  }
  int createFile(const std::string& path, std::uint32_t mode,
                 std::unique_ptr<WritableFile>* file) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    static_cast<mode_t>(mode & 07777));
    if (fd < 0) return errno;
    *file = std::make_unique<PosixWritableFile>(fd);
    return 0;
  }
  int syncDirectory(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int rc = syncFd(fd);
    ::close(fd);
    return rc;
  }
  int listDirectory(const std::string& path, std::vector<std::string>* names,
                    std::size_t maxNames) override {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return errno;
    return readNames(dir, names, maxNames);
  }
  int changeMode(const std::string& path, std::uint32_t mode) override {
    return ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) == 0 ? 0 : errno;
  }
  int checkRemovalAllowed(int folderFd, const std::string& name) override {
    return ::faccessat(folderFd, name.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
  }
  int openAppending(const std::string& path, std::uint32_t mode, int* fd) override {
    return openRetrying(AT_FDCWD, path,
                        O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode,
                        fd);
  }
  int openFolder(const std::string& path, int* fd) override {
    return openRetrying(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, fd);
  }
  int openFolderAt(int folderFd, const std::string& name, int* fd) override {
    return openRetrying(folderFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0, fd);
  }
  int openFileAt(int folderFd, const std::string& name, int* fd) override {
    return openRetrying(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0, fd);
  }
  int closeDescriptor(int fd) override {
    int rc = ::close(fd) == 0 ? 0 : errno;
    return rc == EINTR ? 0 : rc;
  }
  int statDescriptor(int fd, FileInfo* info) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    fillInfo(st, info);
    return 0;
  }
  int statAt(int folderFd, const std::string& name, FileInfo* info) override {
    struct stat st;
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    fillInfo(st, info);
    return 0;
  }
  int unlinkAt(int folderFd, const std::string& name, bool folder) override {
    return ::unlinkat(folderFd, name.c_str(), folder ? AT_REMOVEDIR : 0) == 0 ? 0 : errno;
  }
  int listFolder(int folderFd, std::vector<std::string>* names, std::size_t maxNames) override {
    int fd = -1;
    if (int rc = openRetrying(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, &fd)) return rc;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      int rc = errno;
      ::close(fd);
      return rc;
    }
    return readNames(dir, names, maxNames);
  }

 private:
  static int openRetrying(int folderFd, const std::string& name, int flags, std::uint32_t mode,
                          int* fd) {
    for (;;) {
      int opened = ::openat(folderFd, name.c_str(), flags, static_cast<mode_t>(mode & 07777));
      if (opened >= 0) {
        *fd = opened;
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }
  // Reads the names of an open listing and closes it.
  static int readNames(DIR* dir, std::vector<std::string>* names, std::size_t maxNames) {
    int rc = 0;
    for (;;) {
      errno = 0;
      struct dirent* e = ::readdir(dir);
      if (!e) {
        rc = errno;
        break;
      }
      if (e->d_name[0] == '.' &&
          (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'))) {
        continue;
      }
      if (names->size() >= maxNames) {
        rc = E2BIG;
        break;
      }
      names->emplace_back(e->d_name);
    }
    ::closedir(dir);
    return rc;
  }
};

}  // namespace

static_assert(FileSystem::kCurrentFolder == AT_FDCWD);

FileSystem& posixFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace sorv
