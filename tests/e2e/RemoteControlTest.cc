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

// A headless agent with an empty source folder, on a bus of its own.
struct RemoteKiosk {
  explicit RemoteKiosk(bool anyUser = false, int photos = 0)
      : bus(anyUser), site(dir.sub("store")) {
    std::filesystem::create_directories(src);
    std::filesystem::create_directories(mirror);
    for (int i = 0; i < photos; ++i)
      writePhoto(src + "/Fair/IMG_" + std::to_string(i) + ".jpg", false, 64, 48,
                 Dict{{"QM_kioskStation", "K1"}});
    agent = installAgentBundle(dir.path());
    writeKioskDefaults(defaults, src, mirror, site.url());
  }
  void start() {
    run = std::make_unique<AgentProcess>(agent, src, defaults, dir.sub("logs"), console,
                                         std::vector<std::string>{bus.envEntry()});
  }
  CommandResult sorvctl(const std::vector<std::string>& args, int uid = -1) {
    return runCommand(SORV_SORVCTL_PATH, args, {bus.envEntry()}, 30, uid);
  }
  Dict storedDefaults() {
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

#define SKIP_WITHOUT_BUS(kiosk) \
  if (!(kiosk).bus.ok()) GTEST_SKIP() << "dbus-daemon is not available"

TEST(RemoteControl, SorvctlAndBusctlDriveTheAgentThenQuitIt) {
  RemoteKiosk k;
  SKIP_WITHOUT_BUS(k);
  ASSERT_TRUE(k.site.ok());
  k.start();
  ASSERT_TRUE(waitForText(k.console, "Status: Waiting For New Images...", 30))
      << readFile(k.console);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"pause"}, 0, "ACCEPTED\n"},
      {{"upload-now"}, 0, "ACCEPTED\n"},  // idle: changes nothing
      {{"set", "prefAutoSynchronize", "YES"}, 0, "COMMAND SUCCESS\n"},
      {{"set", "prefAutoSynchronize", "true"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefSecondsBetweenScans", "0"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefSecondsBetweenScans", "-5"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefSecondsBetweenScans", "120"}, 0, "COMMAND SUCCESS\n"},
      {{"get", "prefSecondsBetweenScans"},
       0,
       "COMMAND SUCCESS\ngetValue\tprefSecondsBetweenScans\t120.00\n"},
      {{"set", "prefSecondsBetweenScans", "45.5"}, 0, "COMMAND SUCCESS\n"},
      {{"set", "prefDaysOldBeforeDeleting", "7.9"}, 0, "COMMAND SUCCESS\n"},
      {{"set", "prefDaysOldBeforeDeleting", "0.5"}, 1, "COMMAND FAILED\n"},
      {{"set", "prefShowWindowAtStartup", "yes"}, 1, "COMMAND FAILED\n"},
      {{"get", "prefDaysOldBeforeDeleting"}, 1, "COMMAND FAILED\n"},
      {{"get", "userLoginName"}, 0, "COMMAND SUCCESS\ngetValue\tuserLoginName\tkiosk\n"},
      {{"bogus"}, 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    auto r = k.sorvctl(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
  }
  // The library client for what sorvctl does not send: capitals, and an unknown command.
  setenv("DBUS_SESSION_BUS_ADDRESS", k.bus.address().c_str(), 1);
  auto caps = sendRemoteEvent(kSorvEventClass, kCommandEventID,
                              {"SETVALUE", "userEnteredEventName", "Gala"});
  EXPECT_EQ(caps.reply, Value("COMMAND SUCCESS")) << caps.error;
  auto other =
      sendRemoteEvent(kSorvEventClass, kCommandEventID, {"frobValue", "userLoginName", "x"});
  EXPECT_EQ(other.reply, Value("COMMAND SUCCESS"));
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  if (::access("/usr/bin/busctl", X_OK) == 0) {
    auto r = runCommand("/usr/bin/busctl",
                        {"--user", "call", "com.quenmor.SorvUploader", "/com/quenmor/SorvUploader",
                         "com.quenmor.SorvUploader.Remote", "HandleEvent", "ssav", "sorv", "1234",
                         "3", "s", "getValue", "s", "prefSecondsBetweenScans", "s", ""},
                        {k.bus.envEntry()});
    EXPECT_EQ(r.out,
              "v av 2 s \"COMMAND SUCCESS\" av 3 s \"getValue\" s \"prefSecondsBetweenScans\" s "
              "\"45.50\"\n")
        << r.err;
  }

  auto quit = k.sorvctl({"quit"});
  EXPECT_EQ(quit.status, 0) << quit.err;
  int status = -1;
  ASSERT_TRUE(k.run->wait(20, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string log = readFile(agentMessageLogPath(k.dir.path()));
  EXPECT_NE(log.find("ibClickedOnQuit"), std::string::npos);
  EXPECT_NE(log.find("applicationWillTerminate - DONE!"), std::string::npos);
  Dict stored = k.storedDefaults();
  EXPECT_EQ(stored[sPrefAutoSynchronize], Value("YES"));
  EXPECT_EQ(stored[sPrefSecondsBetweenScans], Value(45.5));
  EXPECT_EQ(stored[sPrefDaysOldBeforeDeleting], Value(7));
  EXPECT_EQ(stored[sPrefUserEnteredEventName], Value("Gala"));
  EXPECT_EQ(
      stored.count(sPrefShowWindowAtStartup) ? stored[sPrefShowWindowAtStartup] : Value(false),
      Value(false));
  auto gone = k.sorvctl({"pause"});
  EXPECT_EQ(gone.status, 3);
  EXPECT_NE(gone.err.find("no Sorv upload agent is running"), std::string::npos) << gone.err;
  EXPECT_EQ(readFile(k.console).find("AddressSanitizer"), std::string::npos);
}

TEST(RemoteControl, ASecondLaunchHandsItsFolderToTheRunningAgent) {
  RemoteKiosk k;
  SKIP_WITHOUT_BUS(k);
  ASSERT_TRUE(k.site.ok());
  k.start();
  ASSERT_TRUE(waitForText(k.console, "Status: Waiting For New Images...", 30))
      << readFile(k.console);
  std::string later = k.dir.sub("Later");
  std::string bytes =
      writePhoto(later + "/Gala/IMG_9.jpg", false, 64, 48, Dict{{"QM_kioskStation", "K2"}});
  std::string console2 = k.dir.sub("console2.txt");
  AgentProcess second(k.agent, later, k.defaults, k.dir.sub("logs2"), console2, {k.bus.envEntry()});
  int status = -1;
  ASSERT_TRUE(second.wait(20, &status)) << readFile(console2);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(readFile(console2).find("Handed ["), std::string::npos) << readFile(console2);
  for (int i = 0; i < 300 && !std::filesystem::exists(k.mirror + "/Gala/IMG_9.jpg"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(readFile(k.mirror + "/Gala/IMG_9.jpg"), bytes);
  EXPECT_TRUE(k.run->wait(0, &status) == false);  // the first agent runs on
}

TEST(RemoteControl, ACallerOfAnotherUserIsRefused) {
  if (::getuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  RemoteKiosk k(/*anyUser=*/true);
  SKIP_WITHOUT_BUS(k);
  ASSERT_TRUE(k.site.ok());
  k.start();
  ASSERT_TRUE(waitForText(k.console, "Status: Waiting For New Images...", 30))
      << readFile(k.console);
  auto intruder = k.sorvctl({"set", "userLoginName", "intruder"}, /*uid nobody*/ 65534);
  EXPECT_EQ(intruder.status, 4) << intruder.out << intruder.err;
  EXPECT_NE(intruder.err.find("own user"), std::string::npos) << intruder.err;
  auto get = k.sorvctl({"get", "userLoginName"});
  EXPECT_EQ(get.out, "COMMAND SUCCESS\ngetValue\tuserLoginName\tkiosk\n") << get.err;
}

// Four clients set 250 values each while the agent drains its folder: every call is
// answered, the last value of each client's key is the one stored, and every photo arrives.
TEST(RemoteControl, ConcurrentSetsWhileDrainingLoseNothing) {
  constexpr int kPhotos = 24, kClients = 4, kCalls = 250;
  RemoteKiosk k(false, kPhotos);
  SKIP_WITHOUT_BUS(k);
  ASSERT_TRUE(k.site.ok());
  k.start();
  ASSERT_TRUE(waitForText(k.console, "applicationDidFinishLaunching", 30)) << readFile(k.console);
  setenv("DBUS_SESSION_BUS_ADDRESS", k.bus.address().c_str(), 1);
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
        auto r =
            sendRemoteEvent(kSorvEventClass, kCommandEventID, {"setValue", keys[c], valueOf(c, i)});
        if (r.reply == Value("COMMAND SUCCESS")) ++answered;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(answered.load(), kClients * kCalls);
  for (int i = 0; i < 600 && filesUnder(k.mirror).size() < kPhotos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(filesUnder(k.mirror).size(), size_t(kPhotos));
  auto quit = sendRemoteEvent(kCoreEventClass, kAEQuitApplication, {});
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_EQ(quit.status, RemoteCallResult::Status::Ok) << quit.error;
  int status = -1;
  ASSERT_TRUE(k.run->wait(20, &status));
  EXPECT_TRUE(filesUnder(k.src).empty());
  Dict stored = k.storedDefaults();
  EXPECT_EQ(stored[keys[0]], Value(100 + kCalls - 1));
  EXPECT_EQ(stored[keys[1]], Value(double(1000 + kCalls - 1)));
  EXPECT_EQ(stored[keys[2]], Value("no"));
  EXPECT_EQ(stored[keys[3]], Value("no"));
  EXPECT_EQ(stored[sUserLoginName], Value("kiosk"));
}

}  // namespace
}  // namespace sorv::test
