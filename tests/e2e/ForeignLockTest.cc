// A program that is no upload agent (util-linux `flock`, as a backup or an operator's script
// would) holds the source folder's lock while photos wait: the agent touches nothing, and
// sorvctl, the health verdict, the metrics file and the message log say who holds the folder
// and how many photos wait; once the holder ends, every photo is uploaded once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "files/SourceFolderClaim.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

namespace fs = std::filesystem;

// `flock FOLDER sleep 600` in a process group of its own: ended with every process holding
// the lock (the sleep inherits it).
class FlockHolder {
 public:
  explicit FlockHolder(const std::string& folder) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::execlp("flock", "flock", folder.c_str(), "sleep", "600", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid_ > 0) ::setpgid(pid_, pid_);
  }
  ~FlockHolder() { end(); }
  pid_t pid() const { return pid_; }
  void end() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// How often the site stored each image name.
std::map<std::string, int> storedNames(const std::string& store) {
  std::map<std::string, int> names;
  std::ifstream log(store + "/.requests.log");
  for (std::string line; std::getline(log, line);) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string x; std::getline(ss, x, '\t');) f.push_back(x);
    if (f.size() >= 4 && f[3] == "stored") ++names[f[1]];
  }
  return names;
}

TEST(ForeignLock, StatusAndHealthNameTheHolderThenEveryPhotoGoesOnce) {
  PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  TempDir dir;
  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  fs::create_directories(mirror);
  constexpr int kPhotos = 12;
  for (int i = 0; i < kPhotos; ++i)
    ASSERT_FALSE(writePhoto(src + "/Fair/IMG_" + std::to_string(i) + ".jpg", false, 40 + i, 30,
                            Dict{{"QM_kioskStation", "K1"}})
                     .empty());
  FlockHolder holder(src);
  ASSERT_GT(holder.pid(), 0);
  ASSERT_TRUE(waitFor(
      [&] {
        SourceFolderClaim probe;
        pid_t pid = 0;
        std::string err;
        return probe.claim(src, &pid, &err) == SourceFolderClaim::Result::HeldElsewhere &&
               pid == holder.pid();
      },
      10))
      << "flock did not take the folder";

  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  writeKioskDefaults(dir.sub("d.plist"), src, mirror, site.url(),
                     Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 1}});
  const std::string agent = installAgentBundle(dir.path()), console = dir.sub("console.txt"),
                    metrics = dir.sub("sorv.prom");
  AgentProcess run(agent, src, dir.sub("d.plist"), dir.sub("logs"), console,
                   {bus.envEntry(), "SORV_HEALTH_MINUTES=0.05", "SORV_METRICS_FILE=" + metrics});
  ASSERT_TRUE(run.started());
  auto sorvctl = [&](const std::vector<std::string>& args) {
    return runCommand(SORV_SORVCTL_PATH, args, {bus.envEntry()}, 30);
  };

  const std::string held = "process " + std::to_string(holder.pid()) + " (flock)";
  CommandResult status;
  ASSERT_TRUE(waitFor(
      [&] {
        status = sorvctl({"status"});
        auto shown = keyValueLines(status.out);
        return shown["State"] == "waiting for " + held &&
               shown["Waiting"] == std::to_string(kPhotos);
      },
      60))
      << status.out << status.err << readFile(console);
  CommandResult json = sorvctl({"status", "--json"});
  EXPECT_NE(json.out.find("\"state\":\"waiting for " + held + "\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"waiting\":" + std::to_string(kPhotos)), std::string::npos);

  // Past the health window (3 s) without an upload: unhealthy, and why.
  CommandResult health = runUntilStatus([&] { return sorvctl({"health"}); }, 1, 30);
  ASSERT_EQ(health.status, 1) << health.out;
  EXPECT_NE(health.out.find(std::to_string(kPhotos) + " photos have waited"), std::string::npos)
      << health.out;
  EXPECT_NE(health.out.find("held by " + held), std::string::npos) << health.out;
  ASSERT_TRUE(waitFor(
      [&] { return readFile(metrics).find("sorv_source_folder_held 1\n") != std::string::npos; },
      20));
  EXPECT_NE(readFile(metrics).find("sorv_waiting_photos " + std::to_string(kPhotos) + "\n"),
            std::string::npos)
      << readFile(metrics);

  // The holder is named by its command; nothing was sent, moved or made meanwhile.
  const std::string log = readFile(agentMessageLogPath(dir.sub("logs")));
  EXPECT_NE(log.find("Is Held By " + held + ", Not An Upload Agent"), std::string::npos) << log;
  EXPECT_EQ(log.find("Is Held By "), log.rfind("Is Held By ")) << "said more than once: " << log;
  EXPECT_EQ(log.find("Served By Another Agent"), std::string::npos) << log;
  EXPECT_TRUE(storedNames(dir.sub("store")).empty());
  EXPECT_EQ(filesUnder(src).size(), static_cast<std::size_t>(kPhotos));
  EXPECT_TRUE(fs::is_empty(mirror));

  holder.end();
  ASSERT_TRUE(waitFor([&] { return filesUnder(src).empty(); }, 60)) << readFile(console);
  std::map<std::string, int> stored = storedNames(dir.sub("store"));
  EXPECT_EQ(stored.size(), static_cast<std::size_t>(kPhotos));
  for (const auto& [name, times] : stored) EXPECT_EQ(times, 1) << name;
  EXPECT_EQ(filesUnder(mirror).size(), static_cast<std::size_t>(kPhotos));
  ASSERT_TRUE(waitFor([&] { return sorvctl({"health"}).status == 0; }, 20));
  auto shown = keyValueLines(sorvctl({"status"}).out);
  EXPECT_EQ(shown["State"], "waiting");
  EXPECT_EQ(shown["Waiting"], "0");
  EXPECT_EQ(shown["Uploaded since start"], std::to_string(kPhotos));
  EXPECT_NE(readFile(agentMessageLogPath(dir.sub("logs"))).find("is free again"),
            std::string::npos);
  EXPECT_EQ(sorvctl({"quit"}).status, 0);
  int exit = -1;
  EXPECT_TRUE(run.wait(20, &exit));
}

}  // namespace
}  // namespace sorv::test
