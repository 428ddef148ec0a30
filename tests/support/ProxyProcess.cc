#include "tests/support/ProxyProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

int freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

}  // namespace

ProxyProcess::ProxyProcess(const std::string& folder, const std::string& extraConfig, int port)
    : port_(port > 0 ? port : freeLoopbackPort()) {
  log_ = folder + "/tinyproxy.log";
  std::string conf = folder + "/tinyproxy.conf";
  writeFile(conf, "Port " + std::to_string(port_) + "\nListen 127.0.0.1\nTimeout 30\n" +
                      "LogFile \"" + log_ + "\"\nLogLevel Connect\nMaxClients 10\n" + extraConfig);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::execlp("tinyproxy", "tinyproxy", "-d", "-c", conf.c_str(), nullptr);
    ::_exit(127);
  }
  for (int i = 0; i < 200 && !listening(); ++i) ::usleep(20000);
}

ProxyProcess::~ProxyProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

bool ProxyProcess::listening() const {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port_));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

std::string ProxyProcess::log() const {
  return readFile(log_);
}

}  // namespace sorv::test
