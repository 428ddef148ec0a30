#include "tests/support/SiteProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace sorv::test {

std::string SiteProcess::executablePath() {
#ifdef SORV_SITE_PATH
  return SORV_SITE_PATH;
#else
  return std::string(SORV_BUILD_DIR) + "/site/sorv-site";
#endif
}

// The site's log lines go to a file of their own under BUILD/logs/sites (the executable is
// BUILD/site/sorv-site); the test's output names the file.
static std::string nextSiteLogPath() {
  static std::atomic<int> count{0};
  auto dir = std::filesystem::path(SiteProcess::executablePath()).parent_path().parent_path() /
             "logs" / "sites";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return (dir / ("site-" + std::to_string(::getpid()) + "-" + std::to_string(++count) + ".log"))
      .string();
}

SiteProcess::SiteProcess(const std::string& storeDir, std::vector<std::string> extraArgs) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  std::string logPath = nextSiteLogPath();
  std::fprintf(stderr, "sorv-site log: %s\n", logPath.c_str());
  std::vector<std::string> args = {executablePath(), "--port", "0", "--store", storeDir};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  for (const auto& a : extraArgs) tls_ = tls_ || a == "--tls-cert";
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log >= 0) ::dup2(log, 2);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
    char buf[256];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  const char* prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) == 0) port_ = std::atoi(line.c_str() + std::strlen(prefix));
}

SiteProcess::~SiteProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    ::usleep(10000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

std::string SiteProcess::url(const std::string& query) const {
  std::string u =
      std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/upload";
  return query.empty() ? u : u + "?" + query;
}

RefusingPort::RefusingPort(bool listening) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return;
  if (listening) ::listen(fd_, 16);
  port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) ::close(fd_);
}

std::string RefusingPort::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/upload";
}

}  // namespace sorv::test
