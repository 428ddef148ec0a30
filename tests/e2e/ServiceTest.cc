// The agent as a service manager runs it: no folder on the command line, SORV_SOURCE_FOLDER in
// its environment, and a notification socket that hears READY=1, the status and the watchdog.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

// A datagram socket at path that keeps every notification sent to it, on a thread of its own.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    timeval wait{0, 100 * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    reader_ = std::thread([this] {
      char buf[4096];
      while (!done_) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        got_.emplace_back(buf, static_cast<size_t>(n));
      }
    });
  }
  ~NotifySocket() {
    done_ = true;
    reader_.join();
    ::close(fd_);
  }
  bool bound() const { return bound_; }
  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
  }
  int count(const std::string& text) {
    int n = 0;
    for (const std::string& m : messages()) n += m.find(text) != std::string::npos;
    return n;
  }
  std::string all() {
    std::string text;
    for (const std::string& m : messages()) text += "[" + m + "]\n";
    return text;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::vector<std::string> got_;
  std::thread reader_;
};

TEST(Service, ServesItsFolderOnEveryPassAndTellsTheManager) {
  TempDir dir(TempDir::kShortPath);
  namespace fs = std::filesystem;
  const std::string served = dir.sub("Served"), other = dir.sub("Other"),
                    mirror = dir.sub("Mirror");
  fs::create_directories(served + "/Fair");
  fs::create_directories(mirror);
  const Dict meta{{"QM_kioskStation", "K1"}};
  // The preference names another folder: its photo stays where it is.
  ASSERT_FALSE(writePhoto(other + "/Fair/OTHER_1.jpg", false, 32, 24, meta).empty());
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  std::string agent = installAgentBundle(dir.path());
  ASSERT_FALSE(agent.empty());
  ASSERT_TRUE(writeKioskDefaults(dir.sub("d.plist"), other, mirror, site.url(),
                                 {{"prefSecondsBetweenScans", 30}}));
  NotifySocket manager(dir.sub("notify"));
  ASSERT_TRUE(manager.bound());
  const std::string console = dir.sub("console.txt");
  AgentProcess run(agent, "", dir.sub("d.plist"), dir.sub("logs"), console,
                   {"SORV_SOURCE_FOLDER=" + served, "NOTIFY_SOCKET=" + dir.sub("notify"),
                    "WATCHDOG_USEC=1000000"});
  ASSERT_TRUE(waitFor([&] { return manager.count("READY=1") == 1; }, 20))
      << manager.all() << readFile(console);

  // Photos that arrive after start, one after the other pass, all come from the served folder.
  for (const char* name : {"IMG_1.jpg", "IMG_2.jpg"}) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ASSERT_FALSE(writePhoto(served + "/Fair/" + name, false, 32, 24, meta).empty());
    ASSERT_TRUE(waitFor([&] { return fs::exists(mirror + "/Fair/" + name); }, 20))
        << name << "\n"
        << readFile(console);
  }
  EXPECT_TRUE(fs::exists(other + "/Fair/OTHER_1.jpg"));
  int stored = 0;
  for (const auto& [path, bytes] : filesUnder(dir.sub("store"))) {
    EXPECT_EQ(path.find("OTHER"), std::string::npos) << path;
    stored += path.ends_with(".jpg");
  }
  EXPECT_EQ(stored, 2);

  ASSERT_TRUE(waitFor([&] { return manager.count(", 0 waiting, 2 today") > 0; }, 10))
      << manager.all();
  // Fed at half the watchdog's second from the main loop.
  EXPECT_GE(manager.count("WATCHDOG=1"), 4) << manager.all();
  EXPECT_EQ(quitBySigterm(run, console), "");
  EXPECT_EQ(manager.count("STOPPING=1"), 1) << manager.all();
  EXPECT_NE(readFile(agentMessageLogPath(dir.sub("logs"))).find("Serving [" + served + "]"),
            std::string::npos);
}

}  // namespace
}  // namespace sorv::test
