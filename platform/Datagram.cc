#include "platform/Datagram.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace sorv {

bool unixAddress(const std::string& path, UnixAddress* out) {
  *out = {};
  out->addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof out->addr.sun_path) return false;
  std::memcpy(out->addr.sun_path, path.data(), path.size());
  // An abstract name is its bytes after a NUL, without a terminator.
  if (path[0] == '@') out->addr.sun_path[0] = '\0';
  out->length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                       (path[0] == '@' ? 0 : 1));
  return true;
}

DatagramResult sendDatagram(int fd, const UnixAddress& to, std::string_view bytes, int passFd) {
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_un*>(&to.addr);
  msg.msg_namelen = to.length;
  msg.msg_iov = bytes.empty() ? nullptr : &iov;
  msg.msg_iovlen = bytes.empty() ? 0 : 1;
  if (passFd >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &passFd, sizeof passFd);
  }
  for (;;) {
    if (::sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return DatagramResult::Sent;
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
      case ENOBUFS:
        return DatagramResult::Full;
      case EMSGSIZE:
        return DatagramResult::TooLarge;
      default:
        return DatagramResult::Unreachable;
    }
  }
}

int sealedMemfd(const std::string& bytes) {
  int fd = ::memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  return fd;
}

}  // namespace sorv
