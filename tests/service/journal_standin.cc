// journal_standin --dir DIR --out FILE [--ready FILE]: listens where journald does (DIR/socket
// for native datagrams, DIR/stdout for the output streams a service manager connects its
// services to) and appends every entry it receives to FILE, one JSON object a line, with the
// trusted fields journald would add (_TRANSPORT, _PID, _UID, _GID, __REALTIME_TIMESTAMP).
// FILE --ready is made once both sockets listen. SIGTERM or SIGINT end it. For tests that run
// a user manager where no journald runs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/service/JournalProtocol.h"

namespace {

using sorv::test::journal::Entry;

// journald takes entries up to 768 MiB; the stand-in takes up to 64 MiB.
constexpr std::size_t kMaxEntry = 64 << 20;
constexpr std::size_t kMaxStreams = 256;
constexpr int kMaxPassedFds = 8;

int fail(const char* what) {
  std::fprintf(stderr, "journal_standin: %s: %s\n", what, std::strerror(errno));
  return 1;
}

int bindSocket(const std::string& path, int type) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::chmod(path.c_str(), 0666) != 0 || (type == SOCK_STREAM && ::listen(fd, 64) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string realtimeMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return std::to_string(static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000);
}

class Output {
 public:
  explicit Output(int fd) : fd_(fd) {}
  // One write per entry (O_APPEND), so a reader never sees half a line.
  void write(Entry entry, const std::vector<std::pair<const char*, std::string>>& trusted) {
    for (const auto& [name, value] : trusted) entry.emplace_back(name, value);
    entry.emplace_back("__REALTIME_TIMESTAMP", realtimeMicros());
    std::string line = sorv::test::journal::toJson(entry) + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
};

// A memfd passed with SCM_RIGHTS holds an entry too large for a datagram.
bool readMemfd(int fd, std::string* out) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > kMaxEntry)
    return false;
  out->resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < out->size()) {
    ssize_t n = ::pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out->resize(done);
  return true;
}

void readDatagram(int sock, std::vector<char>& buf, Output& output) {
  // A datagram can be as large as the sender's buffer allows: peek at its size first.
  ssize_t size = ::recv(sock, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (size > 0 && static_cast<std::size_t>(size) > buf.size())
    buf.resize(std::min(static_cast<std::size_t>(size), kMaxEntry));
  iovec iov{buf.data(), buf.size()};
  alignas(
      cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(kMaxPassedFds * sizeof(int))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  if (n < 0) return;
  std::vector<int> fds;
  const ucred* cred = nullptr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len == CMSG_LEN(sizeof(ucred)))
      cred = reinterpret_cast<const ucred*>(CMSG_DATA(c));
    if (c->cmsg_type == SCM_RIGHTS) {
      std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        fds.push_back(fd);
      }
    }
  }
  std::vector<std::pair<const char*, std::string>> trusted{{"_TRANSPORT", "journal"}};
  if (cred) {
    trusted.emplace_back("_PID", std::to_string(cred->pid));
    trusted.emplace_back("_UID", std::to_string(cred->uid));
    trusted.emplace_back("_GID", std::to_string(cred->gid));
  }
  std::string data;
  bool whole = !(msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
  if (fds.size() == 1 && n == 0)
    whole = whole && readMemfd(fds[0], &data);
  else if (fds.empty())
    data.assign(buf.data(), static_cast<std::size_t>(n));
  else
    whole = false;
  for (int fd : fds) ::close(fd);
  if (!whole) return;
  for (Entry& entry : sorv::test::journal::parseNative(data))
    output.write(std::move(entry), trusted);
}

struct Stream {
  sorv::test::journal::StreamParser parser;
  std::vector<std::pair<const char*, std::string>> trusted;

  void write(std::vector<Entry> entries, Output& output) {
    for (Entry& entry : entries) {
      if (!parser.unitId().empty()) entry.emplace_back("_STREAM_UNIT_ID", parser.unitId());
      output.write(std::move(entry), trusted);
    }
  }
};

// Reads what one stream connection has; returns false when it is to be closed.
bool readStream(int fd, Stream& stream, Output& output) {
  char buf[64 * 1024];
  ssize_t n = ::read(fd, buf, sizeof buf);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  stream.write(
      n == 0 ? stream.parser.finish() : stream.parser.feed({buf, static_cast<std::size_t>(n)}),
      output);
  return n > 0 && !stream.parser.broken();
}

void acceptStream(int listener, std::map<int, std::unique_ptr<Stream>>& streams) {
  int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  if (streams.size() >= kMaxStreams) {
    ::close(fd);
    return;
  }
  auto stream = std::make_unique<Stream>();
  stream->trusted.emplace_back("_TRANSPORT", "stdout");
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
    stream->trusted.emplace_back("_PID", std::to_string(cred.pid));
    stream->trusted.emplace_back("_UID", std::to_string(cred.uid));
    stream->trusted.emplace_back("_GID", std::to_string(cred.gid));
  }
  streams[fd] = std::move(stream);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, outPath, readyPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--dir") dir = argv[i + 1];
    if (opt == "--out") outPath = argv[i + 1];
    if (opt == "--ready") readyPath = argv[i + 1];
  }
  if (dir.empty() || outPath.empty()) {
    std::fprintf(stderr, "usage: journal_standin --dir DIR --out FILE [--ready FILE]\n");
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  int sigfd = ::signalfd(-1, &stop, SFD_CLOEXEC);
  ::mkdir(dir.c_str(), 0755);
  int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (sigfd < 0 || out < 0) return fail(outPath.c_str());
  int native = bindSocket(dir + "/socket", SOCK_DGRAM);
  int listener = bindSocket(dir + "/stdout", SOCK_STREAM);
  if (native < 0 || listener < 0) return fail("binding the sockets");
  int one = 1, rcvbuf = 8 << 20;
  ::setsockopt(native, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
  if (::setsockopt(native, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
    ::setsockopt(native, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (!readyPath.empty()) {
    int ready = ::open(readyPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (ready < 0) return fail(readyPath.c_str());
    ::close(ready);
  }

  Output output(out);
  std::vector<char> buf(64 * 1024);
  std::map<int, std::unique_ptr<Stream>> streams;
  for (;;) {
    std::vector<pollfd> fds{{sigfd, POLLIN, 0}, {native, POLLIN, 0}, {listener, POLLIN, 0}};
    for (const auto& [fd, _] : streams) fds.push_back({fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return fail("poll");
    }
    if (fds[0].revents) break;
    if (fds[1].revents) readDatagram(native, buf, output);
    if (fds[2].revents) acceptStream(listener, streams);
    for (std::size_t i = 3; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      auto it = streams.find(fds[i].fd);
      if (!readStream(fds[i].fd, *it->second, output)) {
        ::close(fds[i].fd);
        streams.erase(it);
      }
    }
  }
  for (auto& [fd, stream] : streams) {
    stream->write(stream->parser.finish(), output);
    ::close(fd);
  }
  ::unlink((dir + "/socket").c_str());
  ::unlink((dir + "/stdout").c_str());
  return 0;
}
