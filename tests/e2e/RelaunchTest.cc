// A site that takes a photo's upload and never answers: the upload watchdog replaces the agent
// with a fresh process, which uploads the photo once the site answers again. Through the
// bundle's relaunch helper, and through a service manager that restarts the agent on its
// relaunch exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "process/Process.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

// The site's request log lines for photos named name: outcome by request, in order.
std::vector<std::string> outcomesFor(const std::string& store, const std::string& name) {
  std::vector<std::string> outcomes;
  std::ifstream log(store + "/.requests.log");
  for (std::string line; std::getline(log, line);)
    if (line.find(name) != std::string::npos) outcomes.push_back(line.substr(line.rfind('\t') + 1));
  return outcomes;
}

struct HungSiteKiosk {
  TempDir dir;
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror"), store = dir.sub("store");
  std::string photo;  // bytes of Fair/IMG_1.jpg
  SiteProcess site{store, {"--fault", "hang", "--fault-times", "1", "--hang-seconds", "60"}};
  std::string agent;
  std::string console = dir.sub("console.txt");

  HungSiteKiosk() {
    std::filesystem::create_directories(mirror);
    photo = writePhoto(src + "/Fair/IMG_1.jpg", false, 32, 24, Dict{{"QM_kioskStation", "K1"}});
    agent = installAgentBundle(dir.path());
    writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site.url(),
                       Dict{{sPrefUploadTimeOut, 3}});
  }
  bool ready() const { return site.ok() && !agent.empty() && !photo.empty(); }
  AgentProcess start(const std::vector<std::string>& env = {}) {
    return AgentProcess(agent, src, dir.sub("defaults.plist"), dir.sub("logs"), console, env);
  }
  // The photo reached the mirror whole, after exactly one held and one stored request.
  void expectUploadedOnceAfterTheHang() {
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(mirror + "/Fair/IMG_1.jpg"); }, 30))
        << readFile(console);
    EXPECT_EQ(readFile(mirror + "/Fair/IMG_1.jpg"), photo);
    EXPECT_FALSE(std::filesystem::exists(src + "/Fair/IMG_1.jpg"));
    EXPECT_EQ(outcomesFor(store, "IMG_1.jpg"), (std::vector<std::string>{"held", "stored"}));
    EXPECT_EQ(readFile(console).find("AddressSanitizer"), std::string::npos);
  }
};

TEST(Relaunch, AHungUploadEndsWithAFreshAgentThatUploadsThePhoto) {
  HungSiteKiosk kiosk;
  ASSERT_TRUE(kiosk.ready());
  AgentProcess first = kiosk.start();
  // The first agent quits after its watchdog; the photo is still whole in the source folder.
  int status = -1;
  ASSERT_TRUE(first.wait(30, &status)) << readFile(kiosk.console);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(readFile(kiosk.console).find("the helper starts a new agent"), std::string::npos);

  kiosk.expectUploadedOnceAfterTheHang();
  auto fresh = processesRunning(kiosk.agent);
  ASSERT_EQ(fresh.size(), 1u) << readFile(kiosk.console);
  ::kill(fresh[0], SIGTERM);
  EXPECT_TRUE(waitFor([&] { return processesRunning(kiosk.agent).empty(); }, 10));
}

TEST(Relaunch, UnderAServiceManagerTheAgentExitsForTheManagerToRestartIt) {
  HungSiteKiosk kiosk;
  ASSERT_TRUE(kiosk.ready());
  // A stub manager: runs the agent and starts it again when it exits with the relaunch status.
  AgentProcess first = kiosk.start({"SORV_SERVICE_MANAGER=test"});
  int status = -1;
  ASSERT_TRUE(first.wait(30, &status)) << readFile(kiosk.console);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), kRelaunchExitStatus);
  EXPECT_TRUE(processesRunning(kiosk.agent).empty()) << "no helper may start an agent";
  EXPECT_TRUE(std::filesystem::exists(kiosk.src + "/Fair/IMG_1.jpg"));

  AgentProcess second = kiosk.start({"SORV_SERVICE_MANAGER=test"});
  kiosk.expectUploadedOnceAfterTheHang();
  second.signal(SIGTERM);
  ASSERT_TRUE(second.wait(10, &status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace sorv::test
