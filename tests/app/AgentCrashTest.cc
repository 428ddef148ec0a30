// The bundle's executable drains a folder on tmpfs into a mirror on disk while it is killed
// with SIGKILL at random moments: every photo must end up whole, exactly once, in the source
// or the mirror folder, and a last run ends cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "platform/Plist.h"
#include "platform/Value.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

namespace fs = std::filesystem;

// A folder on tmpfs, so that moves into the disk-backed mirror cross file systems.
class ShmDir {
 public:
  ShmDir() {
    std::string tmpl = "/dev/shm/sorvcrash.XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~ShmDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

pid_t startAgent(const std::string& exe, const std::string& folder, const std::string& logs) {
  pid_t pid = fork();
  if (pid == 0) {
    std::string out = logs + "/agent.out";
    FILE* f = freopen(out.c_str(), "a", stdout);
    f = freopen(out.c_str(), "a", stderr);
    (void)f;
    execl(exe.c_str(), exe.c_str(), "--headless", folder.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// relative path -> bytes, for every photo (not partial copies) under root.
std::map<std::string, std::string> photosUnder(const std::string& root) {
  std::map<std::string, std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file()) continue;
    std::string name = it->path().filename().string();
    if (name.rfind(".sorv-partial-", 0) == 0 || name.rfind(".", 0) == 0) continue;
    if (it->path().extension() != ".jpg") continue;
    found[fs::relative(it->path(), root).string()] = test::readFile(it->path().string());
  }
  return found;
}

TEST(AgentCrash, PhotosSurviveKillsAcrossFileSystemsAndTheLastRunEndsCleanly) {
  ShmDir shm;
  ASSERT_FALSE(shm.path().empty());
  test::TempDir disk;
  const std::string src = shm.path() + "/Source";
  const std::string mirror = disk.sub("Mirror");
  const std::string logs = disk.sub("logs");
  fs::create_directories(mirror);
  fs::create_directories(logs);

  // Each photo's bytes are unique, so a mix-up between two photos is caught too.
  std::map<std::string, std::string> expected;
  for (int i = 0; i < 60; ++i) {
    photos::ExifOptions exif;
    exif.dateTimeOriginal = "2026:05:01 10:20:30";
    exif.userComment =
        plist::toXml(Value(Dict{{"QM_kioskStation", Value("K" + std::to_string(i))}}));
    photos::JpegOptions jpeg;
    jpeg.width = 160 + i;
    jpeg.exif = exif;
    std::string rel = "Booth " + std::to_string(i % 4) + "/IMG_" + std::to_string(i) + ".jpg";
    expected[rel] = photos::encodeJpeg(jpeg);
    ASSERT_TRUE(test::writeFile(src + "/" + rel, expected[rel]));
  }

  // Each run gets its own copy of the bundle, so its message log stays in the test's folder.
  const std::string bundle = disk.sub("Sorv-FTPUploader.app");
  fs::copy(SORV_TEST_BUNDLE_DIR, bundle, fs::copy_options::recursive);
  const std::string exe = bundle + "/Contents/MacOS/Sorv-FTPUploader";

  test::SiteProcess site(disk.sub("store"), {"--fault", "slow", "--slow-seconds", "0.1"});
  ASSERT_TRUE(site.ok());
  const std::string defaults = disk.sub("defaults.plist");
  Dict prefs{{"prefLocalSourceUploadFolder", Value(src)},
             {"prefLocalMasterMirrorSiteFolder", Value(mirror)},
             {"userLoginName", Value("crash-kiosk")},
             {"userLoginPassword", Value("secret")},
             {"userEnteredEventName", Value("Crash Test")},
             {"prefVyrURL", Value(site.url())},
             {"prefVyrFuseAction", Value("upload.upload")}};
  ASSERT_TRUE(plist::writeFileAtomically(defaults, Value(prefs)));
  setenv("SORV_DEFAULTS", defaults.c_str(), 1);
  setenv("SORV_LOG_DIR", logs.c_str(), 1);

  auto checkWhole = [&](bool exactlyOnce) {
    auto inSource = photosUnder(src);
    auto inMirror = photosUnder(mirror);
    for (const auto& [rel, bytes] : expected) {
      bool s = inSource.count(rel) && inSource[rel] == bytes;
      bool m = inMirror.count(rel) && inMirror[rel] == bytes;
      EXPECT_TRUE(s || m) << rel << " is lost or damaged";
      if (exactlyOnce) {
        EXPECT_FALSE(s && m) << rel << " is in both folders";
      }
      if (inSource.count(rel)) {
        EXPECT_EQ(inSource[rel], bytes) << rel << " damaged in source";
      }
      if (inMirror.count(rel)) {
        EXPECT_EQ(inMirror[rel], bytes) << rel << " damaged in mirror";
      }
    }
    return inSource.size();
  };

  std::mt19937 random(20261208);
  int kills = 0;
  for (int round = 0; round < 20 && !photosUnder(src).empty(); ++round) {
    pid_t pid = startAgent(exe, src, logs);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 500));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ++kills;
    checkWhole(false);
    if (HasFailure()) return;
  }

  std::printf("%d kills; %zu of %zu photos left for the last run\n", kills, photosUnder(src).size(),
              expected.size());
  // The last run drains what is left, then quits on SIGTERM with its clean-up.
  pid_t pid = startAgent(exe, src, logs);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (!photosUnder(src).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  EXPECT_EQ(checkWhole(true), 0u) << "the source was not drained after " << kills << " kills";
  EXPECT_EQ(photosUnder(mirror).size(), expected.size());
  for (const auto& entry : fs::recursive_directory_iterator(mirror))
    EXPECT_NE(entry.path().filename().string().rfind(".sorv-partial-", 0), 0u)
        << "leftover partial copy " << entry.path();
  std::string log = test::readFile(disk.sub("Sorv-FTPUploaderLog.txt"));
  EXPECT_NE(log.find("applicationWillTerminate - DONE!"), std::string::npos);
}

}  // namespace
}  // namespace sorv
