// The reference site, sorv-site, run as a child process on an ephemeral loopback port.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace sorv::test {

class SiteProcess {
 public:
  // Starts the site with --port 0 --store storeDir and the extra arguments; waits (bounded)
  // for its "listening on 127.0.0.1:<port>" line. ok() is false when it did not start.
  explicit SiteProcess(const std::string& storeDir, std::vector<std::string> extraArgs = {});
  ~SiteProcess();  // SIGTERM, then waits
  SiteProcess(const SiteProcess&) = delete;
  SiteProcess& operator=(const SiteProcess&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // "http://127.0.0.1:<port>/upload" (https:// when started with --tls-cert), with
  // "?<query>" when given.
  std::string url(const std::string& query = "") const;

  // The built sorv-site executable.
  static std::string executablePath();

 private:
  pid_t pid_ = -1;
  int port_ = -1;
  bool tls_ = false;
};

// A loopback port that refuses every connection for as long as the object lives: bound but
// never listening, so no other process can take it meanwhile. With listening, connections are
// taken (into the listen queue) and never answered: a hung server.
class RefusingPort {
 public:
  explicit RefusingPort(bool listening = false);
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:<port>/upload"

 private:
  int fd_ = -1;
  int port_ = -1;
};

}  // namespace sorv::test
