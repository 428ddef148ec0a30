// A real Prometheus node exporter with only its textfile collector, on a loopback port of its
// own choosing, for the tests of the metrics file as a fleet's Prometheus meets it.
#pragma once

#include <sys/types.h>

#include <string>

namespace sorv::test {

class NodeExporter {
 public:
  // Starts prometheus-node-exporter on folder (its output appended to logPath) and waits
  // (bounded) for the port it listens on. port() is -1 when it did not start.
  NodeExporter(const std::string& folder, const std::string& logPath);
  ~NodeExporter();  // SIGTERM, then waits
  NodeExporter(const NodeExporter&) = delete;
  NodeExporter& operator=(const NodeExporter&) = delete;

  int port() const { return port_; }
  // The body of GET /metrics, or "" when nothing answered.
  std::string scrape() const;

 private:
  pid_t pid_ = -1;
  int port_ = -1;
};

}  // namespace sorv::test
