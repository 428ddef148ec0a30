// The site-wide backoff as a kiosk meets it: a site that answers 500 to every photo takes the
// first photo into the problem folder and then sees the agent's retries thin out, each wait
// within its doubling bounds; when the site is well again the next retry drains the folder
// with nobody pressing a button.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

int lineCount(const std::string& file) {
  std::ifstream in(file);
  int n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

// Waits up to seconds for done, noting in posts when each POST reached the site (seconds from
// the call, from the site's request log in store).
bool notePostsUntil(const std::string& store, std::vector<double>& posts,
                    const std::function<bool()>& done, double seconds) {
  const auto start = std::chrono::steady_clock::now();
  return waitFor(
      [&] {
        while (lineCount(store + "/.requests.log") > static_cast<int>(posts.size()))
          posts.push_back(
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return done();
      },
      seconds);
}

TEST(Backoff, RetriesThinOutWhileTheSiteFailsAndTheFolderDrainsWhenItIsBack) {
  KioskFolders k;
  const TempDir& dir = k.dir;
  const std::string &src = k.src, &mirror = k.mirror, &console = k.console;
  ASSERT_TRUE(k.addPhotos({"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg", "IMG_4.jpg"}));
  auto failing = std::make_unique<SiteProcess>(dir.sub("store"),
                                               std::vector<std::string>{"--fault", "http500"});
  ASSERT_TRUE(failing->ok());
  const int port = failing->port();
  auto run = k.start(failing->url(), Dict{{sPrefSecondsBetweenScans, 1.0}});
  ASSERT_TRUE(run && run->started());

  const std::string requests = dir.sub("store/.requests.log");
  std::vector<double> posts;
  ASSERT_TRUE(notePostsUntil(
      dir.sub("store"), posts, [&] { return posts.size() >= 5; }, 60))
      << readFile(console);
  // The first photo refused went to the problem folder; the second backs the whole cycle
  // off. The agent says each wait, and each lies within its doubling bounds (1 s between
  // scans): 1-2 s, 2-4 s, 4-8 s. The photo's own pacing comes on top, so each gap between two
  // POSTs is at least its wait (give or take the 50 ms polling and the rounding).
  const std::string messages = readFile(agentMessageLogPath(dir.sub("logs")));
  for (int n = 1; n <= 3; ++n) {
    const std::string said = "retry " + std::to_string(n) + " in a row waits ";
    const std::size_t at = messages.find(said);
    ASSERT_NE(at, std::string::npos) << messages;
    const double wait = std::atof(messages.c_str() + at + said.size());
    EXPECT_GE(wait, (1 << (n - 1))) << said << messages;
    EXPECT_LE(wait, (1 << n)) << said << messages;
    EXPECT_GE(posts[n + 1] - posts[n], wait - 0.6) << said;
  }
  int inProblemFolder = 0, inSource = 0;
  for (const char* name : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg", "IMG_4.jpg"}) {
    inProblemFolder += std::filesystem::exists(dir.sub("Problem Folder/Fair/") + name);
    inSource += std::filesystem::exists(src + "/Fair/" + name);
  }
  EXPECT_EQ(inProblemFolder, 1) << readFile(requests);
  EXPECT_EQ(inSource, 3) << readFile(requests);

  // The site is well again on the same port: a retry of the backoff drains the folder.
  failing.reset();
  SiteProcess site(dir.sub("store"), {"--port", std::to_string(port)});
  ASSERT_TRUE(site.ok());
  ASSERT_TRUE(waitFor([&] { return filesUnder(mirror).size() == 3; }, 40)) << readFile(console);
  EXPECT_NE(readFile(agentMessageLogPath(dir.sub("logs"))).find("The site backoff ends"),
            std::string::npos);

  EXPECT_EQ(quitBySigterm(*run, console), "");
}

// A busy site that says how long to wait (Retry-After, in seconds or as an HTTP date) holds
// the whole cycle at least that long from its first answer; the photo is not at fault and stays
// in the source folder, and when the site takes uploads again every photo goes, once.
TEST(Backoff, ABusySiteThatSaysHowLongIsWaitedForAndNoPhotoIsBlamed) {
  auto httpDate = [](double secondsFromNow) {
    std::time_t t = std::time(nullptr) + static_cast<std::time_t>(secondsFromNow);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(buf);
  };
  const struct {
    const char* fault;
    std::function<std::string()> retryAfter;  // taken when the site starts
    double atLeast;  // the first wait, less the time to the first POST and the polling
  } rows[] = {{"http503", [] { return std::string("4"); }, 3.5},
              {"http429", [&] { return httpDate(6); }, 3}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.fault);
    KioskFolders k;
    const TempDir& dir = k.dir;
    ASSERT_TRUE(k.addPhotos({"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"}));
    SiteProcess site(dir.sub("store"),
                     {"--fault", r.fault, "--retry-after", r.retryAfter(), "--fault-times", "2"});
    ASSERT_TRUE(site.ok());
    auto run = k.start(site.url(), Dict{{sPrefSecondsBetweenScans, 1.0}});
    ASSERT_TRUE(run && run->started());

    const std::string requests = dir.sub("store/.requests.log");
    std::vector<double> posts;
    ASSERT_TRUE(notePostsUntil(
        dir.sub("store"), posts, [&] { return filesUnder(k.mirror).size() == 3; }, 60))
        << readFile(k.console);
    ASSERT_GE(posts.size(), 2u);
    EXPECT_GE(posts[1] - posts[0], r.atLeast) << readFile(requests);
    EXPECT_EQ(lineCount(requests), 5);  // two busy answers, then each photo once
    EXPECT_TRUE(filesUnder(dir.sub("Problem Folder")).empty());
    const std::string messages = readFile(agentMessageLogPath(dir.sub("logs")));
    EXPECT_NE(messages.find("retry 1 in a row waits"), std::string::npos) << messages;
    EXPECT_NE(messages.find("Retry-After"), std::string::npos) << messages;
    EXPECT_EQ(quitBySigterm(*run, k.console), "");
  }
}

}  // namespace
}  // namespace sorv::test
