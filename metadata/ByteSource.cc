#include "metadata/ByteSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sorv {

std::size_t MemorySource::read(std::uint64_t offset, void* buf, std::size_t n) {
  if (offset >= bytes_.size()) return 0;
  std::size_t count = std::min<std::uint64_t>(n, bytes_.size() - offset);
  std::memcpy(buf, bytes_.data() + offset, count);
  return count;
}

std::unique_ptr<FileSource> FileSource::open(const std::string& path) {
  if (path.empty()) return nullptr;
  // O_NONBLOCK keeps open() from waiting on a FIFO; it has no effect on regular files.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<FileSource>(new FileSource(fd, static_cast<std::uint64_t>(st.st_size)));
}

FileSource::~FileSource() {
  ::close(fd_);
}

std::size_t FileSource::read(std::uint64_t offset, void* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t got =
        ::pread(fd_, static_cast<char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

}  // namespace sorv
