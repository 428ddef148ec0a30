// The agent driven over a private session bus: by sorvctl, by busctl, by another launch of
// the agent, by a caller of another user, and by several clients at once while it uploads.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/Plist.h"
#include "settings/Preferences.h"
#include "settings/RemoteClient.h"
#include "settings/RemoteEvents.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/PrivateBus.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

const Dict kMeta{{"QM_kioskStation", "K1"}};

// A headless agent on a bus of its own that every local user may connect to.
struct RemoteKiosk {
  explicit RemoteKiosk(int photos = 0) : site(dir.sub("store")) {
    std::filesystem::create_directories(mirror);
    std::filesystem::create_directories(src);
    for (int i = 0; i < photos; ++i)
      writePhoto(src + "/Fair/IMG_" + std::to_string(i) + ".jpg", false, 64, 48, kMeta);
    writeKioskDefaults(defaults, src, mirror, site.url());
    agent = installAgentBundle(dir.path());
    if (bus.ok()) run = launch(src, console);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);  // for the library client
  }
  ~RemoteKiosk() { unsetenv("DBUS_SESSION_BUS_ADDRESS"); }
  std::unique_ptr<AgentProcess> launch(const std::string& folder, const std::string& out) {
    return std::make_unique<AgentProcess>(agent, folder, defaults, dir.sub("logs"), out,
                                          std::vector<std::string>{bus.envEntry()});
  }
  CommandResult sorvctl(const std::vector<std::string>& args, int uid = -1) {
    return runCommand(SORV_SORVCTL_PATH, args, {bus.envEntry()}, 30, uid);
  }
  Dict quitAndReadDefaults() {
    EXPECT_EQ(sorvctl({"quit"}).status, 0);
    int status = -1;
    EXPECT_TRUE(run->wait(20, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto v = plist::parseFile(defaults);
    return v && v->asDict() ? *v->asDict() : Dict{};
  }
  TempDir dir;
  PrivateBus bus;
  SiteProcess site;
  std::string src = dir.sub("Source"), mirror = dir.sub("Mirror"), defaults = dir.sub("d.plist"),
              console = dir.sub("console.txt"), agent;
  std::unique_ptr<AgentProcess> run;
};

bool waitForFile(const std::string& path) {
  for (int i = 0; i < 300 && !std::filesystem::exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return std::filesystem::exists(path);
}

TEST(RemoteControl, SorvctlBusctlAndASecondLaunchDriveTheAgent) {
  RemoteKiosk k;
  if (!k.bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  ASSERT_TRUE(waitForText(k.console, "Status: Waiting For New Images...", 30));
  const std::string get = "COMMAND SUCCESS\ngetValue\t";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"pause"}, 0, "ACCEPTED\n"},  // idle: holds the cycle paused until upload-now
      {{"upload-now"}, 0, "ACCEPTED\n"},
      {{"set", "prefAutoSynchronize", "YES"}, 0, "COMMAND SUCCESS\n"},
      {{"set", "prefAutoSynchronize", "true"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefSecondsBetweenScans", "0"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefSecondsBetweenScans", "-5"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefSecondsBetweenScans", "120"}, 0, "COMMAND SUCCESS\n"},
      {{"get", "prefSecondsBetweenScans"}, 0, get + "prefSecondsBetweenScans\t120.00\n"},
      {{"set", "prefSecondsBetweenScans", "45.5"}, 0, "COMMAND SUCCESS\n"},
      {{"set", "prefDaysOldBeforeDeleting", "7.9"}, 0, "COMMAND SUCCESS\n"},
      {{"set", "prefDaysOldBeforeDeleting", "0.5"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefShowWindowAtStartup", "yes"}, 1, "COMMAND FAILED\n"},
      {{"get", "prefDaysOldBeforeDeleting"}, 1, "COMMAND FAILED\n"},
      {{"get", "userLoginName"}, 0, get + "userLoginName\tkiosk\n"},
      {{"bogus"}, 2, ""},
  };
  for (const auto& c : cases) {
    auto r = k.sorvctl(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[0];
  }
  if (::access("/usr/bin/busctl", X_OK) == 0) {
    auto r = runCommand("/usr/bin/busctl",
                        {"--user", "call", "com.quenmor.SorvUploader", "/com/quenmor/SorvUploader",
                         "com.quenmor.SorvUploader.Remote", "HandleEvent", "ssav", "sorv", "1234",
                         "3", "s", "getValue", "s", "prefSecondsBetweenScans", "s", ""},
                        {k.bus.envEntry()});
    EXPECT_EQ(r.out,
              "v av 2 s \"COMMAND SUCCESS\" av 3 s \"getValue\" s "
              "\"prefSecondsBetweenScans\" s \"45.50\"\n")
        << r.err;
  }
  if (::getuid() == 0) {  // a caller of another user changes nothing
    auto intruder = k.sorvctl({"set", "userLoginName", "intruder"}, /*nobody*/ 65534);
    EXPECT_EQ(intruder.status, 4) << intruder.out << intruder.err;
    EXPECT_NE(intruder.err.find("own user"), std::string::npos) << intruder.err;
  } else {
    std::printf("[ SKIPPED  ] a caller of another user: switching users needs root\n");
  }

  // A second launch hands its folder over and exits; the running agent uploads from it.
  std::string bytes = writePhoto(k.dir.sub("Later/Gala/IMG_9.jpg"), false, 64, 48, kMeta);
  auto second = k.launch(k.dir.sub("Later"), k.dir.sub("console2.txt"));
  int status = -1;
  ASSERT_TRUE(second->wait(20, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(waitForFile(k.mirror + "/Gala/IMG_9.jpg"));
  EXPECT_EQ(readFile(k.mirror + "/Gala/IMG_9.jpg"), bytes);

  Dict stored = k.quitAndReadDefaults();
  std::string log = readFile(agentMessageLogPath(k.dir.sub("logs")));
  EXPECT_NE(log.find("ibClickedOnQuit"), std::string::npos);
  EXPECT_NE(log.find("applicationWillTerminate - DONE!"), std::string::npos);
  EXPECT_EQ(stored[sPrefAutoSynchronize], Value("YES"));
  EXPECT_EQ(stored[sPrefSecondsBetweenScans], Value(45.5));
  EXPECT_EQ(stored[sPrefDaysOldBeforeDeleting], Value(7));
  EXPECT_EQ(stored[sUserLoginName], Value("kiosk"));
  EXPECT_FALSE(stored.count(sPrefShowWindowAtStartup) &&
               stored[sPrefShowWindowAtStartup] != Value(false));
  auto gone = k.sorvctl({"pause"});
  EXPECT_EQ(gone.status, 3);
  EXPECT_NE(gone.err.find("no Sorv upload agent is running"), std::string::npos) << gone.err;
}

// The bus ends under a running agent: it goes on uploading, an import finds it without a bus,
// a settings file changed meanwhile keeps its values at the agent's next write, and a new bus
// at the same address gets the agent's answers again.
TEST(RemoteControl, TheAgentOutlivesItsBusAndTakesTheNextOne) {
  RemoteKiosk k;
  if (!k.bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  ASSERT_TRUE(waitForText(k.console, "Status: Waiting For New Images...", 30));
  k.bus.stop();
  ASSERT_TRUE(waitForText(k.console, "Remote control is off", 10));
  std::string bytes = writePhoto(k.src + "/Fair/IMG_1.jpg", false, 64, 48, kMeta);
  ASSERT_TRUE(waitForFile(k.mirror + "/Fair/IMG_1.jpg"));
  EXPECT_EQ(readFile(k.mirror + "/Fair/IMG_1.jpg"), bytes);

  ASSERT_TRUE(writeFile(k.dir.sub("kiosk.conf"), "userLoginName = booth2\n"));
  auto import = runCommand(SORV_AGENT_PATH, {"--import-settings", k.dir.sub("kiosk.conf")},
                           {k.bus.envEntry(), "SORV_DEFAULTS=" + k.defaults});
  EXPECT_EQ(import.status, 1);
  EXPECT_NE(import.err.find("an agent is running for this user"), std::string::npos) << import.err;
  auto onDisk = plist::parseFile(k.defaults);
  ASSERT_TRUE(onDisk && onDisk->asDict());
  Dict changed = *onDisk->asDict();
  changed[sUserLoginName] = Value("booth2");  // as another program would, past the lock
  ASSERT_TRUE(writeDefaults(k.defaults, changed));

  ASSERT_TRUE(k.bus.start());
  EXPECT_TRUE(waitFor([&] { return k.sorvctl({"status"}).status == 0; }, 60));
  EXPECT_EQ(k.sorvctl({"set", "prefSecondsBetweenScans", "77"}).status, 0);
  Dict stored = k.quitAndReadDefaults();
  EXPECT_EQ(stored[sUserLoginName], Value("booth2"));
  EXPECT_EQ(stored[sPrefSecondsBetweenScans], Value(77.0));
  std::string console = readFile(k.console);
  EXPECT_EQ(console.find("Remote control is off"), console.rfind("Remote control is off"));
}

// Four clients set 250 values each while the agent drains its folder: every call is
// answered, each client's last value is the one stored, and every photo arrives.
TEST(RemoteControl, ConcurrentSetsWhileDrainingLoseNothing) {
  constexpr int kPhotos = 24, kClients = 4, kCalls = 250;
  RemoteKiosk k(kPhotos);
  if (!k.bus.ok()) GTEST_SKIP() << "dbus-daemon is not available";
  ASSERT_TRUE(waitForText(k.console, "applicationDidFinishLaunching", 30));
  const char* keys[kClients] = {sPrefDaysOldBeforeDeleting, sPrefSecondsBetweenScans,
                                sPrefShowPreviewWhenUploading, sPrefDeleteEmptyFtpFolders};
  auto valueOf = [](int client, int i) -> std::string {
    if (client >= 2) return i % 2 ? "no" : "yes";
    return std::to_string(client == 0 ? 100 + i : 1000 + i);
  };
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < kCalls; ++i) {
        Array items{"setValue", keys[c], valueOf(c, i)};
        if (sendRemoteEvent(kSorvEventClass, kCommandEventID, items).reply ==
            Value("COMMAND SUCCESS"))
          ++answered;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(answered.load(), kClients * kCalls);
  for (int i = 0; i < 300 && filesUnder(k.mirror).size() < kPhotos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(filesUnder(k.mirror).size(), size_t(kPhotos));
  EXPECT_TRUE(filesUnder(k.src).empty());
  Dict stored = k.quitAndReadDefaults();
  EXPECT_EQ(stored[keys[0]], Value(100 + kCalls - 1));
  EXPECT_EQ(stored[keys[1]], Value(double(1000 + kCalls - 1)));
  EXPECT_EQ(stored[keys[2]], Value("no"));
  EXPECT_EQ(stored[keys[3]], Value("no"));
}

}  // namespace
}  // namespace sorv::test
