#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/http/HttpTransport.h"

namespace sorv {

std::unique_ptr<HttpBodyFile> HttpBodyFile::open(const std::string& path, std::string* err) {
  // A link is never followed: it may lead to any file on the machine.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (err) *err = errno == ELOOP ? "is a symbolic link" : std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (err) *err = S_ISDIR(st.st_mode) ? "is a folder" : "not a regular file";
    ::close(fd);
    return nullptr;
  }
  // O_NONBLOCK only kept a FIFO from blocking the open; regular files ignore it.
  HttpBodyFile::Identity identity{
      static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size),
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  return std::unique_ptr<HttpBodyFile>(new HttpBodyFile(fd, identity, path));
}

HttpBodyFile::HttpBodyFile(int fd, const Identity& openedAs, std::string path)
    : fd_(fd), size_(openedAs.size), openedAs_(openedAs), path_(std::move(path)) {}

HttpBodyFile::~HttpBodyFile() {
  ::close(fd_);
}

long long HttpBodyFile::readAt(std::uint64_t offset, char* buf, std::size_t n) const {
  if (offset >= size_) return 0;
  if (n > size_ - offset) n = static_cast<std::size_t>(size_ - offset);
  for (;;) {
    ssize_t got = ::pread(fd_, buf, n, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

void ByteWatch::reset(std::string_view before) {
  std::size_t keep = needle_.empty() ? 0 : needle_.size() - 1;
  if (before.size() > keep) before.remove_prefix(before.size() - keep);
  tail_.assign(before);
}

bool ByteWatch::feed(std::string_view bytes) {
  if (needle_.empty() || bytes.empty()) return false;
  const std::size_t keep = needle_.size() - 1;
  // Across the edge: the kept tail and the first bytes of the new piece.
  std::string edge = tail_;
  edge.append(bytes.substr(0, keep));
  if (edge.find(needle_) != std::string::npos) return true;
  if (bytes.size() >= needle_.size() &&
      ::memmem(bytes.data(), bytes.size(), needle_.data(), needle_.size()))
    return true;
  if (bytes.size() >= keep) {
    tail_.assign(bytes.substr(bytes.size() - keep));
  } else {
    tail_.append(bytes);
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
  }
  return false;
}

void HttpBody::appendText(std::string_view bytes) {
  if (bytes.empty()) return;
  if (!pieces_.empty() && !pieces_.back().file) {
    pieces_.back().text.append(bytes);
    return;
  }
  pieces_.push_back(Piece{std::string(bytes), nullptr});
}

void HttpBody::appendFile(std::shared_ptr<HttpBodyFile> file) {
  if (file) pieces_.push_back(Piece{{}, std::move(file)});
}

UploadProgress::UploadProgress(std::function<double()> now)
    : now_(std::move(now)), lastMove_(now_ ? now_() : 0) {}

void UploadProgress::sent(std::uint64_t total) {
  // libcurl repeats the same count while it waits; a new count (also after a rewind) moves.
  if (sent_.exchange(total) != total && now_) lastMove_.store(now_());
}

std::uint64_t HttpBody::size() const {
  std::uint64_t total = 0;
  for (const auto& p : pieces_) total += p.file ? p.file->size() : p.text.size();
  return total;
}

}  // namespace sorv
