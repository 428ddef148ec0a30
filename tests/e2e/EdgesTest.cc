// The agent against the real site when the world around it misbehaves: a photo replaced while
// it uploads, a source folder that goes away and comes back or is swapped for a link, two
// agents on one folder, bad intervals in the defaults file, a movie that is a link.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <thread>

#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

namespace fs = std::filesystem;

// A kiosk on its own bundle copy (its own message log), with an auto-synchronise of 2 s.
struct Kiosk {
  explicit Kiosk(const std::string& folder, const std::string& url, const Dict& more = {})
      : root((fs::create_directories(folder), folder)) {
    fs::create_directories(src);
    fs::create_directories(mirror);
    Dict prefs{{sPrefAutoSynchronize, true}, {sPrefSecondsBetweenScans, 2}};
    for (const auto& [k, v] : more) prefs[k] = v;
    writeKioskDefaults(root + "/defaults.plist", src, mirror, url, prefs);
  }
  std::unique_ptr<AgentProcess> start() {
    return std::make_unique<AgentProcess>(agent, src, root + "/defaults.plist", root + "/logs",
                                          console);
  }
  std::string photo(const std::string& rel, int width, const Dict& meta = {}) {
    Dict m{{"QM_kioskStation", "K1"}};
    for (const auto& [k, v] : meta) m[k] = v;
    return writePhoto(src + "/" + rel, false, width, 30, m);
  }
  bool drained() const { return filesUnder(src).empty(); }
  std::string root, src = root + "/Source", mirror = root + "/Mirror",
                    console = root + "/console.txt", agent = installAgentBundle(root);
};

// The bytes of every file the site stored (images and movies), each as often as it came.
std::multiset<std::string> storedBytes(const std::string& store) {
  std::multiset<std::string> out;
  for (const auto& [rel, bytes] : filesUnder(store))
    if (rel.find("fields.plist") == std::string::npos && rel[0] != '.') out.insert(bytes);
  return out;
}

bool siteStored(const std::string& store, const std::string& name) {
  return readFile(store + "/.requests.log").find(name + "\t-\tstored") != std::string::npos ||
         readFile(store + "/.requests.log").find(name + "\tslow\tstored") != std::string::npos;
}

// New bytes written under a temporary name and renamed over the photo, or written into the
// photo itself: either way the bytes read for the upload are not the ones now at the path.
TEST(Edges, APhotoChangedWhileItUploadsIsSentAgainAndNeverArchivedUnsent) {
  TempDir dir;
  SiteProcess site(dir.sub("store"), {"--fault", "slow", "--slow-seconds", "3"});
  ASSERT_TRUE(site.ok());
  Kiosk k(dir.path(), site.url());
  std::string oldA = k.photo("Event/A_000.jpg", 40), oldB = k.photo("Event/B_000.jpg", 41);
  std::string newA =
      writePhoto(dir.sub("stage/A_000.jpg"), false, 80, 30, Dict{{"QM_kioskStation", "K2"}});
  std::string newB =
      writePhoto(dir.sub("stage/B_000.jpg"), false, 90, 30, Dict{{"QM_kioskStation", "K3"}});
  auto agent = k.start();
  // The site has the old bytes and takes 3 s over its reply: the photo changes meanwhile.
  ASSERT_TRUE(waitFor([&] { return siteStored(dir.sub("store"), "A_000.jpg"); }, 60));
  fs::rename(dir.sub("stage/A_000.jpg"), k.src + "/Event/A_000.jpg");
  ASSERT_TRUE(waitFor([&] { return siteStored(dir.sub("store"), "B_000.jpg"); }, 60));
  {
    std::ofstream rewrite(k.src + "/Event/B_000.jpg", std::ios::binary | std::ios::trunc);
    rewrite << newB;
  }
  ASSERT_TRUE(waitFor([&] { return k.drained(); }, 90)) << readFile(k.console);
  EXPECT_EQ(storedBytes(dir.sub("store")), (std::multiset<std::string>{oldA, oldB, newA, newB}));
  EXPECT_EQ(readFile(k.mirror + "/Event/A_000.jpg"), newA);
  EXPECT_EQ(readFile(k.mirror + "/Event/B_000.jpg"), newB);
  EXPECT_NE(
      readFile(agentMessageLogPath(dir.sub("logs"))).find("changed while it was being uploaded"),
      std::string::npos);
}

// The source folder renamed away for a while (a disk unplugged, a share reconnecting), or
// swapped for a link to another folder and back: the agent keeps trying and drains it.
TEST(Edges, ASourceFolderThatGoesAwayOrIsSwappedIsDrainedWhenItIsBack) {
  for (bool swapForLink : {false, true}) {
    SCOPED_TRACE(swapForLink ? "swapped for a link" : "renamed away");
    TempDir dir;
    SiteProcess site(dir.sub("store"));
    ASSERT_TRUE(site.ok());
    Kiosk k(dir.path(), site.url());
    auto agent = k.start();
    ASSERT_TRUE(waitForText(k.console, "Waiting For New Images...", 30));
    fs::rename(k.src, dir.sub("away"));
    if (swapForLink) {
      fs::create_directories(dir.sub("other"));
      fs::create_directory_symlink(dir.sub("other"), k.src);
    }
    // A few timer passes while the path names something else.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    std::set<std::string> photos;
    for (int i = 0; i < 4; ++i) {
      std::string rel = "Event/IMG_" + std::to_string(i) + ".jpg";
      writePhoto(dir.sub("away/" + rel), false, 40 + i, 30, Dict{{"QM_kioskStation", "K1"}});
      photos.insert(rel);
    }
    if (swapForLink) fs::remove(k.src);
    fs::rename(dir.sub("away"), k.src);
    EXPECT_TRUE(waitFor([&] { return k.drained(); }, 60)) << readFile(k.console);
    for (const auto& rel : photos) EXPECT_TRUE(fs::exists(k.mirror + "/" + rel)) << rel;
  }
}

// Two agents started on one source folder without a session bus between them: each photo goes
// once, the second says why it waits, and takes over when the first is killed.
TEST(Edges, TwoAgentsOnOneSourceFolderSendEachPhotoOnce) {
  TempDir dir;
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  Kiosk first(dir.sub("one"), site.url());
  Kiosk second(dir.sub("two"), site.url());
  fs::remove_all(second.src);
  fs::create_directory_symlink(first.src, second.src);  // the same folder by another path
  for (int i = 0; i < 12; ++i) first.photo("Event/IMG_" + std::to_string(i) + ".jpg", 40 + i);
  auto a = first.start();
  auto b = second.start();
  ASSERT_TRUE(waitFor([&] { return first.drained(); }, 90)) << readFile(first.console);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::multiset<std::string> stored = storedBytes(dir.sub("store"));
  std::set<std::string> distinct(stored.begin(), stored.end());
  EXPECT_EQ(stored.size(), 12u);
  EXPECT_EQ(distinct.size(), 12u);
  bool aWaits = readFile(first.console).find("Served By Another Agent") != std::string::npos;
  bool bWaits = readFile(second.console).find("Served By Another Agent") != std::string::npos;
  EXPECT_NE(aWaits, bWaits);
  // The serving agent dies without a word; its claim goes with it.
  (aWaits ? b : a)->signal(SIGKILL);
  first.photo("Event/LATE.jpg", 90);
  EXPECT_TRUE(waitFor([&] { return first.drained(); }, 60))
      << readFile((aWaits ? first : second).console);
  EXPECT_EQ(storedBytes(dir.sub("store")).size(), 13u);
}

// Intervals a hand-edited defaults file may hold: each means the default interval, so an idle
// agent scans a few times at most instead of thousands.
TEST(Edges, BadScanIntervalsMeanTheDefaultInterval) {
  TempDir dir;
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  const Value bad[] = {Value(0), Value("abc"), Value(std::numeric_limits<double>::quiet_NaN()),
                       Value(-5), Value(0.001)};
  std::vector<std::unique_ptr<Kiosk>> kiosks;
  std::vector<std::unique_ptr<AgentProcess>> agents;
  for (std::size_t i = 0; i < std::size(bad); ++i) {
    kiosks.push_back(std::make_unique<Kiosk>(dir.sub("k" + std::to_string(i)), site.url(),
                                             Dict{{sPrefSecondsBetweenScans, bad[i]}}));
    agents.push_back(kiosks.back()->start());
  }
  // Each agent's first pass finds nothing; then a few seconds show whether the timer spins.
  for (const auto& k : kiosks) EXPECT_TRUE(waitForText(k->console, "NO File found", 60));
  std::this_thread::sleep_for(std::chrono::seconds(4));
  for (const auto& k : kiosks) {
    std::string console = readFile(k->console);
    SCOPED_TRACE(console.substr(0, 2000));
    std::size_t scans = 0;
    for (std::size_t at = 0; (at = console.find("NO File found", at)) != std::string::npos; ++at)
      ++scans;
    EXPECT_GE(scans, 1u);
    EXPECT_LE(scans, 3u);
    EXPECT_NE(console.find("the auto-synchronise timer uses 120 seconds"), std::string::npos);
  }
}

// A movie named by the metadata that is a link to a file outside the tree: never read or sent;
// its photo waits as for a missing movie while the others go.
TEST(Edges, AMovieThatIsALinkIsNeverSent) {
  TempDir dir;
  SiteProcess site(dir.sub("store"));
  ASSERT_TRUE(site.ok());
  Kiosk k(dir.path(), site.url());
  ASSERT_TRUE(writeFile(dir.sub("outside/secret.mov"), "the kiosk's private file"));
  k.photo("Event/LINKED.jpg", 40, Dict{{"QM_muxedMovieName", "M.mov"}});
  fs::create_symlink(dir.sub("outside/secret.mov"), k.src + "/Event/M.mov");
  std::string good = k.photo("Event/GOOD.jpg", 41);
  auto agent = k.start();
  ASSERT_TRUE(waitFor([&] { return fs::exists(k.mirror + "/Event/GOOD.jpg"); }, 60));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(storedBytes(dir.sub("store")), std::multiset<std::string>{good});
  EXPECT_TRUE(fs::is_symlink(k.src + "/Event/M.mov"));
  EXPECT_TRUE(fs::exists(k.src + "/Event/LINKED.jpg"));
}

}  // namespace
}  // namespace sorv::test
