// The agent as a service manager runs it: no folder on the command line, SORV_SOURCE_FOLDER in
// its environment, and a notification socket that hears READY=1, the status and the watchdog.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "tests/e2e/AgentProcess.h"
#include "tests/support/DatagramSocket.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

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
  DatagramSocket manager(dir.sub("notify"));
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
    ASSERT_TRUE(waitFor(
        [&] {
          manager.read();  // a manager reads as it goes
          return fs::exists(mirror + "/Fair/" + name);
        },
        20))
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

// Neighbours that stop reading: a journal that reads 20 entries and then stalls, and a
// notification socket whose queue nobody reads. Photos that arrive meanwhile are all stored,
// SIGTERM is obeyed, and what waited for the journal reaches it once it reads again.
TEST(Service, AJournalAndAManagerThatStopReadingHoldNothingUp) {
  TempDir dir(TempDir::kShortPath);
  namespace fs = std::filesystem;
  const std::string served = dir.sub("Served"), mirror = dir.sub("Mirror");
  fs::create_directories(served);
  fs::create_directories(mirror);
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  std::string agent = installAgentBundle(dir.path());
  ASSERT_FALSE(agent.empty());
  ASSERT_TRUE(writeKioskDefaults(dir.sub("d.plist"), served, mirror, site.url(),
                                 {{"prefSecondsBetweenScans", 30}}));
  DatagramSocket journal(dir.sub("journal")), manager(dir.sub("notify"));
  ASSERT_GT(manager.fill(), 0);
  // Standard error is the journal's stream, as under a service manager.
  const std::string console = dir.sub("console.txt");
  ASSERT_TRUE(writeFile(console, ""));
  struct stat st {};
  ASSERT_EQ(::stat(console.c_str(), &st), 0);
  AgentProcess run(
      agent, "", dir.sub("d.plist"), dir.sub("logs"), console,
      {"SORV_SOURCE_FOLDER=" + served, "NOTIFY_SOCKET=" + dir.sub("notify"),
       "WATCHDOG_USEC=1000000", "SORV_JOURNAL_SOCKET=" + dir.sub("journal"),
       "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)});
  EXPECT_TRUE(waitFor(
      [&] {
        journal.read(20 - static_cast<int>(journal.messages().size()));
        return journal.messages().size() == 20;
      },
      20));
  journal.fill();

  const int photos = 12;
  const Dict meta{{"QM_kioskStation", "K1"}};
  for (int i = 0; i < photos; ++i)
    ASSERT_FALSE(
        writePhoto(dir.sub("Staging/Fair/IMG_" + std::to_string(i) + ".jpg"), false, 32, 24, meta)
            .empty());
  fs::rename(dir.sub("Staging/Fair"), served + "/Fair");
  auto stored = [&] {
    int n = 0;
    for (const auto& [path, bytes] : filesUnder(dir.sub("store"))) n += path.ends_with(".jpg");
    return n;
  };
  EXPECT_TRUE(waitFor([&] { return stored() == photos; }, 60)) << stored() << "\n"
                                                               << readFile(console);
  EXPECT_TRUE(waitFor([&] { return journal.count("IMG_11.jpg") > 0; }, 10));
  EXPECT_EQ(quitBySigterm(run, console, 10), "");
  EXPECT_EQ(stored(), photos);
}

}  // namespace
}  // namespace sorv::test
