#include "tests/support/DatagramSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace sorv::test {

namespace {

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  return addr;
}

std::string memfdBytes(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size > (64 << 20)) return {};
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  ssize_t n = ::pread(fd, bytes.data(), bytes.size(), 0);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

}  // namespace

DatagramSocket::DatagramSocket(const std::string& path, int reads) : path_(path), limit_(reads) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un addr = addressOf(path);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    fd_ = fd;
  } else if (fd >= 0) {
    ::close(fd);
  }
  reader_ = std::thread([this] {
    while (!done_) {
      pollfd p{fd_, POLLIN, 0};
      const int limit = limit_;
      if (fd_ < 0 || (limit >= 0 && read_ >= limit) || ::poll(&p, 1, 50) <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      readOne();
    }
  });
}

DatagramSocket::~DatagramSocket() {
  done_ = true;
  reader_.join();
  if (fd_ >= 0) ::close(fd_);
  ::unlink(path_.c_str());
}

void DatagramSocket::readOne() {
  const ssize_t size = ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  std::vector<char> buf(std::max<ssize_t>(size, 1));
  iovec iov{buf.data(), buf.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (n < 0) return;
  std::string got(buf.data(), static_cast<std::size_t>(n));
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    for (std::size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      got = memfdBytes(fd);
      ::close(fd);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  got_.push_back(std::move(got));
  ++read_;
}

int DatagramSocket::fill() {
  // Each datagram from a socket of its own: one sender's buffer would fill before the queue.
  const sockaddr_un addr = addressOf(path_);
  int sent = 0;
  for (; sent < 100000; ++sent) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ssize_t n =
        ::sendto(fd, "", 0, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    ::close(fd);
    if (n < 0) break;
  }
  return sent;
}

std::vector<std::string> DatagramSocket::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return got_;
}

int DatagramSocket::count(const std::string& text) {
  int n = 0;
  for (const std::string& m : messages()) n += m.find(text) != std::string::npos;
  return n;
}

std::string DatagramSocket::all() {
  std::string text;
  for (const std::string& m : messages()) text += "[" + m + "]\n";
  return text;
}

}  // namespace sorv::test
