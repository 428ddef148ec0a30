// tinyproxy on a loopback port, in the foreground, for the tests of uploads through a proxy.
#pragma once

#include <sys/types.h>

#include <string>

namespace sorv::test {

class ProxyProcess {
 public:
  // Writes the configuration (the port, a log in folder, then extraConfig's lines) into folder
  // and starts tinyproxy; port 0 takes a free one.
  ProxyProcess(const std::string& folder, const std::string& extraConfig, int port = 0);
  ~ProxyProcess();  // SIGTERM and reap
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;

  bool listening() const;
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string log() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_;
};

}  // namespace sorv::test
