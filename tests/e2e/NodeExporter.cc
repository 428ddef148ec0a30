#include "tests/e2e/NodeExporter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/e2e/AgentProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {

NodeExporter::NodeExporter(const std::string& folder, const std::string& logPath) {
  const std::string dir = "--collector.textfile.directory=" + folder;
  pid_ = ::fork();
  if (pid_ == 0) {
    FILE* log = std::fopen(logPath.c_str(), "a");
    if (log) ::dup2(fileno(log), 1), ::dup2(fileno(log), 2);
    ::execlp("prometheus-node-exporter", "prometheus-node-exporter", "--collector.disable-defaults",
             "--collector.textfile", dir.c_str(), "--web.listen-address=127.0.0.1:0",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ < 0) return;
  // Port 0: the exporter logs the port it took, `msg="Listening on" address=127.0.0.1:PORT`.
  const std::string said = "address=127.0.0.1:";
  waitFor(
      [&] {
        std::string log = readFile(logPath);
        std::size_t at = log.find("Listening on");
        if (at != std::string::npos) at = log.find(said, at);
        if (at != std::string::npos) port_ = std::atoi(log.c_str() + at + said.size());
        return port_ > 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      },
      10);
  if (port_ <= 0) port_ = -1;
}

NodeExporter::~NodeExporter() {
  if (pid_ > 0) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
}

std::string NodeExporter::scrape() const {
  if (port_ <= 0) return "";
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::write(fd, request.data(), request.size()) == ssize_t(request.size())) {
      char buf[8192];
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0 && reply.size() < (8u << 20);)
        reply.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  std::size_t body = reply.find("\r\n\r\n");
  return body == std::string::npos ? "" : reply.substr(body + 4);
}

}  // namespace sorv::test
