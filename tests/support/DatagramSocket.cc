#include "tests/support/DatagramSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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

}  // namespace

DatagramSocket::DatagramSocket(const std::string& path) : path_(path) {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const sockaddr_un addr = addressOf(path);
  if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

DatagramSocket::~DatagramSocket() {
  if (fd_ >= 0) ::close(fd_);
  ::unlink(path_.c_str());
}

int DatagramSocket::fill() {
  // Each from a socket of its own: one sender's buffer would fill before the queue does.
  const sockaddr_un addr = addressOf(path_);
  int sent = 0;
  for (bool took = true; took && sent < 100000; sent += took) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    took = ::sendto(fd, "", 0, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&addr),
                    sizeof addr) == 0;
    ::close(fd);
  }
  return sent;
}

void DatagramSocket::read(int max) {
  for (int n = 0; fd_ >= 0 && n != max; ++n) {
    const ssize_t size = ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) return;
    std::string got(static_cast<std::size_t>(size), '\0');
    iovec iov{got.data(), got.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) < 0) return;
    if (cmsghdr* c = CMSG_FIRSTHDR(&msg); c && c->cmsg_type == SCM_RIGHTS) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
      struct stat st {};
      got.assign(::fstat(fd, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0, '\0');
      got.resize(
          static_cast<std::size_t>(std::max<ssize_t>(0, ::pread(fd, got.data(), got.size(), 0))));
      ::close(fd);
    }
    got_.push_back(std::move(got));
  }
}

int DatagramSocket::count(const std::string& text) {
  read();
  return static_cast<int>(std::count_if(got_.begin(), got_.end(), [&](const std::string& m) {
    return m.find(text) != std::string::npos;
  }));
}

std::string DatagramSocket::all() {
  read();
  std::string text;
  for (const std::string& m : got_) text += "[" + m + "]\n";
  return text;
}

}  // namespace sorv::test
