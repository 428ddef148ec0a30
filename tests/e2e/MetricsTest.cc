// The metrics file as an operator's Prometheus meets it: the agent drains a folder with one
// photo the site refuses, the file passes promtool, and a real node exporter serves the
// figures from its textfile collector on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Program.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

// A loopback port nobody listens on right now.
int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

// The body of GET /metrics on the loopback port, or "" when nothing answered.
std::string scrape(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
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

// The node exporter with only its textfile collector, on folder, until the object goes.
class NodeExporter {
 public:
  NodeExporter(const std::string& folder, const std::string& logPath) : port_(freePort()) {
    pid_ = ::fork();
    if (pid_ == 0) {
      std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port_);
      std::string dir = "--collector.textfile.directory=" + folder;
      FILE* log = std::fopen(logPath.c_str(), "a");
      if (log) ::dup2(fileno(log), 1), ::dup2(fileno(log), 2);
      ::execlp("prometheus-node-exporter", "prometheus-node-exporter",
               "--collector.disable-defaults", "--collector.textfile", dir.c_str(), listen.c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~NodeExporter() {
    if (pid_ > 0) ::kill(pid_, SIGTERM), ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }

 private:
  int port_;
  pid_t pid_ = -1;
};

bool hasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(Metrics, TheFileReachesPrometheusThroughTheNodeExporter) {
  TempDir dir;
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror"), textfiles = dir.sub("textfiles");
  std::filesystem::create_directories(mirror);
  std::filesystem::create_directories(textfiles);
  for (const char* name : {"BAD.jpg", "IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"})
    ASSERT_FALSE(
        writePhoto(src + "/Fair/" + name, false, 32, 24, Dict{{"QM_kioskStation", "K1"}}).empty());
  SiteProcess site(dir.sub("store"), {"--fault", "http500", "--fault-only", "BAD"});
  ASSERT_TRUE(site.ok());
  std::string agent = installAgentBundle(dir.path());
  ASSERT_FALSE(agent.empty());
  ASSERT_TRUE(writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site.url()));
  std::string console = dir.sub("console.txt"), metrics = textfiles + "/sorv.prom";
  AgentProcess run(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), console,
                   {"SORV_METRICS_FILE=" + metrics});
  // Written after every outcome: the figures of the drained folder arrive without the
  // 15-second refresh.
  ASSERT_TRUE(waitFor(
      [&] {
        std::string text = readFile(metrics);
        return hasLine(text, "sorv_uploads_total{result=\"ok\"} 3") &&
               hasLine(text, "sorv_problem_folder_photos 1");
      },
      30))
      << readFile(metrics) << readFile(console);
  std::string text = readFile(metrics);
  ProgramRun check = runProgram("/bin/sh", {"-c", "promtool check metrics < \"$0\" 2>&1", metrics});
  EXPECT_EQ(check.status, 0) << check.output << text;
  EXPECT_TRUE(hasLine(text, "sorv_uploads_total{result=\"problem\"} 1")) << text;
  EXPECT_TRUE(hasLine(text, "sorv_waiting_photos 0")) << text;
  EXPECT_TRUE(hasLine(text, "sorv_paused 0")) << text;
  EXPECT_TRUE(hasLine(text, "sorv_stopped_by_site 0")) << text;
  EXPECT_FALSE(hasLine(text, "sorv_upload_bytes_total 0")) << text;
  EXPECT_FALSE(hasLine(text, "sorv_last_success_timestamp_seconds 0")) << text;

  NodeExporter exporter(textfiles, dir.sub("node-exporter.log"));
  std::string scraped;
  ASSERT_TRUE(waitFor(
      [&] {
        scraped = scrape(exporter.port());
        return scraped.find("sorv_uploads_total") != std::string::npos;
      },
      20))
      << readFile(dir.sub("node-exporter.log"));
  EXPECT_TRUE(hasLine(scraped, "sorv_uploads_total{result=\"ok\"} 3")) << scraped;
  EXPECT_TRUE(hasLine(scraped, "sorv_uploads_total{result=\"problem\"} 1")) << scraped;
  EXPECT_TRUE(hasLine(scraped, "sorv_problem_folder_photos 1")) << scraped;
  EXPECT_TRUE(hasLine(scraped, "node_textfile_scrape_error 0")) << scraped;

  EXPECT_EQ(quitBySigterm(run, console), "");
}

}  // namespace
}  // namespace sorv::test
