// Kills the agent with SIGKILL at random moments while it drains a folder on a RAM file system
// into a mirror folder on the disk, then checks that no photo was lost, doubled or damaged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "files/SafeMove.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

constexpr int kPhotos = 40;
constexpr int kMaxKilledRuns = 80;

struct Expected {
  std::map<std::string, std::string> photos;  // relative path -> bytes
  std::map<std::string, std::string> movies;
};

// Photos of varied sizes (so copies across file systems take varied time) in nested
// subfolders, some with a movie named in their metadata.
Expected makeSource(const std::string& src) {
  const char* folders[] = {"Fair/Booth 1", "Fair/Booth 2", "Gala/Salle été", "Gala/Room 3/Late"};
  Expected e;
  std::mt19937 rng(7);
  for (int i = 0; i < kPhotos; ++i) {
    std::string folder = folders[i % 4];
    bool png = i % 5 == 4;
    std::string name = "IMG_" + std::to_string(i) + (png ? ".png" : ".jpg");
    Dict meta{{"QM_kioskStation", "K" + std::to_string(i % 3)},
              {"OriginalPath", "/Volumes/Capture/" + name}};
    if (i % 8 == 3) {
      std::string movie = "IMG_" + std::to_string(i) + ".mov";
      std::string bytes(20000 + rng() % 200000, '\0');
      for (char& c : bytes) c = static_cast<char>(rng());
      writeFile(src + "/" + folder + "/" + movie, bytes);
      e.movies[folder + "/" + movie] = bytes;
      meta["QM_muxedMovieName"] = movie;
    }
    int width = 64 + static_cast<int>(rng() % 900);
    std::string bytes =
        writePhoto(src + "/" + folder + "/" + name, png, width, width * 3 / 4, meta);
    e.photos[folder + "/" + name] = bytes;
  }
  return e;
}

bool isPartialCopy(const std::string& rel) {
  std::string name = rel.substr(rel.rfind('/') + 1);
  return name.rfind(kPartialMovePrefix, 0) == 0;
}

// Every file of `expected` is whole in the source or the mirror (in both only when a move was
// killed between placing its copy and removing the source); anything else present is a
// partial copy under its temporary name. Gives the number left in the source.
int checkPlacement(const std::map<std::string, std::string>& expected,
                   const std::map<std::string, std::string>& src,
                   const std::map<std::string, std::string>& mirror, bool exactlyOnce) {
  int inSource = 0;
  for (const auto& [rel, bytes] : expected) {
    auto s = src.find(rel), m = mirror.find(rel);
    int places = (s != src.end()) + (m != mirror.end());
    if (exactlyOnce) {
      EXPECT_EQ(places, 1) << rel;
    } else {
      EXPECT_GE(places, 1) << rel;
    }
    if (s != src.end()) {
      EXPECT_TRUE(s->second == bytes) << "damaged in the source: " << rel;
      ++inSource;
    }
    if (m != mirror.end()) {
      EXPECT_TRUE(m->second == bytes) << "damaged in the mirror: " << rel;
    }
  }
  return inSource;
}

void checkNothingElse(const Expected& e, const std::map<std::string, std::string>& files,
                      const char* where) {
  for (const auto& [rel, bytes] : files) {
    if (e.photos.count(rel) || e.movies.count(rel) || isPartialCopy(rel)) continue;
    ADD_FAILURE() << "unexpected file in the " << where << ": " << rel << " (" << bytes.size()
                  << " bytes)";
  }
}

// Contents of every image the site stored, from all its stores.
std::multiset<std::string> receivedImages(const std::vector<std::string>& stores) {
  std::multiset<std::string> images;
  for (const auto& store : stores) {
    for (const auto& [rel, bytes] : filesUnder(store)) {
      if (rel[0] == '.' || rel.ends_with("/fields.plist") || rel.ends_with(".mov")) continue;
      images.insert(bytes);
    }
  }
  return images;
}

TEST(Crash, KilledAtRandomMomentsLosesNoPhoto) {
  TempDir ram(TempDir::kMemoryElseDisk);
  TempDir disk;
  ASSERT_FALSE(ram.path().empty());
  if (sameFileSystem(ram.path(), disk.path()))
    std::printf("note: no RAM file system; source and mirror share one file system\n");
  std::string src = ram.path() + "/Source", mirror = disk.sub("Mirror");
  std::filesystem::create_directories(mirror);
  Expected e = makeSource(src);
  ASSERT_EQ(e.photos.size(), static_cast<std::size_t>(kPhotos));
  std::string agent = installAgentBundle(disk.path());
  ASSERT_FALSE(agent.empty());

  // A prompt site and one that trickles its replies, so kills land in sends as well as moves.
  SiteProcess prompt(disk.sub("store-prompt"));
  SiteProcess slow(disk.sub("store-slow"), {"--fault", "slow", "--slow-seconds", "0.2"});
  ASSERT_TRUE(prompt.ok() && slow.ok());
  auto writePrefs = [&](const std::string& url) {
    return writeDefaults(disk.sub("defaults.plist"),
                         Dict{{sPrefLocalSourceUploadFolder, src},
                              {sPrefLocalMasterMirrorSiteFolder, mirror},
                              {sUserLoginName, "kiosk"},
                              {sUserLoginPassword, "secret"},
                              {sPrefUserEnteredEventName, "Fair 2026"},
                              {sPrefVyrURL, url}});
  };
  std::string console = disk.sub("console.txt");

  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  int runs = 0, left = kPhotos, partialsSeen = 0, doubledSeen = 0;
  for (; runs < kMaxKilledRuns && left > 0; ++runs) {
    ASSERT_TRUE(writePrefs(runs % 3 == 2 ? slow.url() : prompt.url()));
    AgentProcess run(agent, src, disk.sub("defaults.plist"), disk.sub("logs"), console);
    ASSERT_TRUE(run.started());
    // Log-uniform from 3 ms to 300 ms: many kills early in a run, some after several items.
    double ms = 3 * std::pow(100.0, std::uniform_real_distribution<double>(0, 1)(rng));
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    run.signal(SIGKILL);
    int status = 0;
    ASSERT_TRUE(run.wait(10, &status));
    auto inSource = filesUnder(src), inMirror = filesUnder(mirror);
    for (const auto& [rel, bytes] : inMirror) {
      if (isPartialCopy(rel)) ++partialsSeen;
      if (inSource.count(rel)) ++doubledSeen;
    }
    left = checkPlacement(e.photos, inSource, inMirror, false);
    checkPlacement(e.movies, inSource, inMirror, false);
    if (HasFailure()) FAIL() << "after killed run " << runs;
  }

  // One last run to the end of the folder, then an ordinary quit.
  ASSERT_TRUE(writePrefs(prompt.url()));
  std::string finalConsole = disk.sub("console-final.txt");
  AgentProcess last(agent, src, disk.sub("defaults.plist"), disk.sub("logs"), finalConsole);
  ASSERT_TRUE(waitForText(finalConsole, "Status: Waiting For New Images...", 30))
      << readFile(finalConsole);
  last.signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(last.wait(10, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  auto inSource = filesUnder(src), inMirror = filesUnder(mirror);
  EXPECT_EQ(checkPlacement(e.photos, inSource, inMirror, true), 0) << "photos left undrained";
  int moviesLeft = checkPlacement(e.movies, inSource, inMirror, true);
  checkNothingElse(e, inSource, "source");
  checkNothingElse(e, inMirror, "mirror");
  EXPECT_FALSE(std::filesystem::exists(disk.sub("Problem Folder")));

  auto received = receivedImages({disk.sub("store-prompt"), disk.sub("store-slow")});
  int partials = 0;
  for (const auto& [rel, bytes] : inMirror) partials += isPartialCopy(rel);
  for (const auto& [rel, bytes] : e.photos)
    EXPECT_GE(received.count(bytes), 1u) << "never reached the site whole: " << rel;
  for (const std::string& f : {console, finalConsole}) {
    std::string text = readFile(f);
    EXPECT_EQ(text.find("AddressSanitizer"), std::string::npos) << f;
    EXPECT_EQ(text.find("runtime error:"), std::string::npos) << f;
  }
  std::printf(
      "%d killed runs (%d photos left for the last run); after kills %d partial copies "
      "and %d files in both places seen; %zu images received for %d photos; at the end "
      "%d partial copies in the mirror and %d movies in the source\n",
      runs, left, partialsSeen, doubledSeen, received.size(), kPhotos, partials, moviesLeft);
}

}  // namespace
}  // namespace sorv::test
