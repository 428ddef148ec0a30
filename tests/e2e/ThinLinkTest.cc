// The agent on a thin or unsteady link, against the real site: a photo slower than the upload
// watchdog but moving is uploaded without a relaunch; a photo whose upload truly hangs
// relaunches the agent at most twice, then waits behind the good photos, and the agent turns
// unhealthy across the relaunches; a photo in flight when its source folder goes away is
// stored once. Each kiosk runs the agent as a service would (SORV_SERVICE_MANAGER=test: a
// relaunch is exit status 75), and the test stands in for the manager that starts it again.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "process/Process.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

namespace fs = std::filesystem;

const Dict kThinMeta{{"QM_kioskStation", "K1"}};

// The site's request log: (file name, outcome) by request, in order.
std::vector<std::pair<std::string, std::string>> requests(const std::string& store) {
  std::vector<std::pair<std::string, std::string>> out;
  std::ifstream log(store + "/.requests.log");
  for (std::string line; std::getline(log, line);) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string x; std::getline(ss, x, '\t');) f.push_back(x);
    if (f.size() >= 4) out.emplace_back(f[1], f[3]);
  }
  return out;
}

int storedCount(const std::string& store, const std::string& name) {
  int n = 0;
  for (const auto& [file, outcome] : requests(store)) n += file == name && outcome == "stored";
  return n;
}

// The names in folder in the order the file system lists them, which is the order the
// agent's walk meets them.
std::vector<std::string> listed(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  return names;
}

struct ThinKiosk {
  TempDir dir;
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror"), store = dir.sub("store");
  std::string agent = installAgentBundle(dir.path());
  std::string console = dir.sub("console.txt");
  std::map<std::string, std::string> photos;  // file name in Fair/ -> bytes
  std::unique_ptr<SiteProcess> site;
  std::unique_ptr<AgentProcess> running;
  int relaunches = 0;  // exits with the relaunch status, each followed by a new start
  std::vector<std::string> env{"SORV_SERVICE_MANAGER=test"};

  ThinKiosk() { fs::create_directories(mirror); }
  // A photo of about `bytes` bytes: a small JPEG with filler after its end.
  void addPhoto(const std::string& name, std::size_t bytes = 0) {
    std::string photo = writePhoto(src + "/Fair/" + name, false, 32, 24, kThinMeta);
    if (photo.size() < bytes) {
      std::mt19937 rng(static_cast<unsigned>(bytes));
      std::string filler(bytes - photo.size(), '\0');
      for (char& c : filler) c = static_cast<char>('a' + rng() % 26);
      photo += filler;
      writeFile(src + "/Fair/" + name, photo);
    }
    photos[name] = photo;
  }
  void startSite(const std::vector<std::string>& args) {
    site = std::make_unique<SiteProcess>(store, args);
  }
  void prefs(const Dict& more) {
    writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site->url(), more);
  }
  void start() {
    running = std::make_unique<AgentProcess>(agent, src, dir.sub("defaults.plist"), dir.sub("logs"),
                                             console, env);
  }
  // The manager's turn: an agent that ended with the relaunch status is started again (up to
  // maxRelaunches times); false once an agent ended any other way.
  bool serve(int maxRelaunches) {
    int status = 0;
    if (!running->wait(0, &status)) return true;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != kRelaunchExitStatus) return false;
    if (++relaunches > maxRelaunches) return false;
    start();
    return true;
  }
  // Serves until done() (true) or the time is up or an agent failed (false).
  bool serveUntil(const std::function<bool()>& done, double seconds, int maxRelaunches) {
    bool alive = true;
    return waitFor([&] { return !(alive = alive && serve(maxRelaunches)) || done(); }, seconds) &&
           alive;
  }
  bool inMirror(const std::string& name) const {
    return readFile(mirror + "/Fair/" + name) == photos.at(name);
  }
  bool allInMirror() const {
    for (const auto& [name, bytes] : photos)
      if (!inMirror(name)) return false;
    return true;
  }
  std::string messageLog() const { return readFile(agentMessageLogPath(dir.sub("logs"))); }
  std::string quit() { return quitBySigterm(*running, console); }
};

TEST(ThinLink, APhotoSlowerThanTheWatchdogButMovingIsUploadedWithoutARelaunch) {
  ThinKiosk k;
  for (const char* name : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg", "IMG_4.jpg"}) k.addPhoto(name);
  // The photo the walk meets first is the big one: 160 KiB at 20 KiB/s take 8 s, more than
  // twice the watchdog's 3 s.
  const std::string big = listed(k.src + "/Fair").front();
  k.addPhoto(big, 160 * 1024);
  k.startSite({});
  ASSERT_TRUE(k.site->ok() && !k.agent.empty());
  k.prefs(Dict{{sPrefUploadTimeOut, 3}});
  k.env.push_back("SORV_MAX_UPLOAD_RATE=20k");
  k.start();
  ASSERT_TRUE(k.serveUntil([&] { return k.allInMirror(); }, 60, 0))
      << k.relaunches << " relaunches\n"
      << readFile(k.console);
  EXPECT_EQ(k.relaunches, 0);
  for (const auto& [name, bytes] : k.photos) EXPECT_EQ(storedCount(k.store, name), 1) << name;
  EXPECT_EQ(k.messageLog().find("Relaunch"), std::string::npos);
  EXPECT_EQ(k.quit(), "");
}

TEST(ThinLink, AHungPhotoRelaunchesTheAgentTwiceThenTheGoodPhotosGoFirst) {
  ThinKiosk k;
  for (const char* name : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg", "IMG_4.jpg"}) k.addPhoto(name);
  // The site takes the first photo of the walk and never answers, twice; the third try of it
  // is stored.
  const std::string hung = listed(k.src + "/Fair").front();
  k.startSite(
      {"--fault", "hang", "--fault-only", hung, "--fault-times", "2", "--hang-seconds", "60"});
  ASSERT_TRUE(k.site->ok() && !k.agent.empty());
  k.prefs(Dict{{sPrefUploadTimeOut, 3}});
  k.start();
  ASSERT_TRUE(k.serveUntil([&] { return k.allInMirror(); }, 90, 4))
      << k.relaunches << " relaunches\n"
      << readFile(k.console);
  EXPECT_EQ(k.relaunches, 2);
  // Two held tries of the hung photo, then the three others, then the hung one, each once.
  auto seen = requests(k.store);
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0], std::make_pair(hung, std::string("held")));
  EXPECT_EQ(seen[1], std::make_pair(hung, std::string("held")));
  for (int i = 2; i < 5; ++i) {
    EXPECT_NE(seen[i].first, hung);
    EXPECT_EQ(seen[i].second, "stored");
  }
  EXPECT_EQ(seen[5], std::make_pair(hung, std::string("stored")));
  EXPECT_NE(k.messageLog().find("Holding back [" + k.src + "/Fair/" + hung +
                                "]: its upload made the agent relaunch 2 times"),
            std::string::npos)
      << k.messageLog();
  EXPECT_EQ(k.quit(), "");
}

TEST(ThinLink, PhotosWaitingAcrossRelaunchesTurnTheAgentUnhealthy) {
  PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  ThinKiosk k;
  k.addPhoto("IMG_1.jpg");
  k.startSite({"--fault", "hang", "--hang-seconds", "60"});
  ASSERT_TRUE(k.site->ok() && !k.agent.empty());
  // Each agent lives about 2 s before its watchdog relaunches it; the health window is 6 s.
  k.prefs(Dict{{sPrefUploadTimeOut, 2}});
  k.env.push_back(bus.envEntry());
  k.env.push_back("SORV_HEALTH_MINUTES=0.1");
  k.start();
  CommandResult health;
  ASSERT_TRUE(k.serveUntil(
      [&] {
        health = runCommand(SORV_SORVCTL_PATH, {"health"}, {bus.envEntry()}, 10);
        return health.status == 1;
      },
      40, 5))
      << k.relaunches << " relaunches; health: " << health.out << "\n"
      << readFile(k.console);
  // One relaunch is enough to show it: no single agent lives the 6 s window on its own.
  EXPECT_GE(k.relaunches, 1);
  EXPECT_NE(health.out.find("waited"), std::string::npos) << health.out;
  EXPECT_TRUE(fs::exists(k.src + "/Fair/IMG_1.jpg"));
  k.running->signal(SIGTERM);
  int status;
  EXPECT_TRUE(k.running->wait(10, &status));
}

TEST(ThinLink, APhotoInFlightWhenItsFolderGoesAwayIsStoredOnce) {
  for (bool link : {false, true}) {
    SCOPED_TRACE(link ? "swapped for a link" : "renamed away");
    ThinKiosk k;
    k.addPhoto("IMG_1.jpg");
    k.addPhoto("IMG_2.jpg");
    // Each answer takes 1.5 s to arrive: the folder goes away between the site storing a photo
    // and the agent moving it.
    k.startSite({"--fault", "slow", "--slow-seconds", "1.5"});
    ASSERT_TRUE(k.site->ok() && !k.agent.empty());
    k.prefs(Dict{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 1}});
    k.start();
    ASSERT_TRUE(waitFor([&] { return !requests(k.store).empty(); }, 30)) << readFile(k.console);
    fs::rename(k.src, k.src + ".away");
    if (link) {
      fs::create_directories(k.dir.sub("other"));
      fs::create_directory_symlink(k.dir.sub("other"), k.src);
    }
    // The answer arrives and the move finds nothing; the folder stays away a while longer.
    ASSERT_TRUE(waitForText(k.console, "handleNotification_UploadSuccess", 10))
        << readFile(k.console);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (link) fs::remove(k.src);
    fs::rename(k.src + ".away", k.src);
    ASSERT_TRUE(waitFor([&] { return k.inMirror("IMG_1.jpg") && k.inMirror("IMG_2.jpg"); }, 30))
        << readFile(k.console);
    // Time for a second POST of either photo, were one due.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(storedCount(k.store, "IMG_1.jpg"), 1);
    EXPECT_EQ(storedCount(k.store, "IMG_2.jpg"), 1);
    EXPECT_EQ(k.relaunches, 0);
    EXPECT_NE(k.messageLog().find("its path was gone"), std::string::npos);
    EXPECT_EQ(k.quit(), "");
  }
}

}  // namespace
}  // namespace sorv::test
