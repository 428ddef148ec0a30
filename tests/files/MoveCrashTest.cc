// A child process moves photos back and forth between tmpfs and the disk and is killed with
// SIGKILL at random moments; every photo must survive whole, and the next moves tidy up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "files/QMI_FileManager.h"
#include "files/SafeMove.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

bool isPartial(const std::string& name) {
  return name.rfind(kPartialMovePrefix, 0) == 0;
}

std::map<std::string, std::string> makePhotos(std::mt19937& rng) {
  std::map<std::string, std::string> photos;
  std::uniform_int_distribution<int> size(0, 1 << 20);
  for (int i = 0; i < 24; ++i) {
    std::string bytes(i == 0 ? 0 : size(rng), '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    photos["IMG_" + std::to_string(i) + ".jpg"] = std::move(bytes);
  }
  return photos;
}

// Moves whatever is in one folder to the other, then back, until killed.
[[noreturn]] void moveBackAndForth(const std::string& shmRoot, const std::string& diskRoot,
                                   bool overwrite) {
  int devnull = ::open("/dev/null", O_WRONLY);
  if (devnull >= 0) ::dup2(devnull, STDERR_FILENO);
  for (int pass = 0; pass < 100000; ++pass) {
    const std::string& from = pass % 2 == 0 ? shmRoot : diskRoot;
    const std::string& to = pass % 2 == 0 ? diskRoot : shmRoot;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(from + "/Event1", ec)) {
      std::string name = e.path().filename().string();
      if (isPartial(name)) continue;
      QMI_FileManager::moveFileToPath("Event1/" + name, from, to, overwrite, false);
    }
  }
  ::_exit(0);
}

struct Census {
  int duplicates = 0;
  int partials = 0;
};

// Every photo whole in exactly one folder, or in both (killed between the copy's commit and
// the source's removal); nothing else but partial copies.
Census checkPhotos(const std::map<std::string, std::string>& photos, const std::string& a,
                   const std::string& b) {
  Census census;
  std::map<std::string, int> seen;
  for (const std::string& folder : {a + "/Event1", b + "/Event1"}) {
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
      std::string name = e.path().filename().string();
      if (isPartial(name)) {
        ++census.partials;
        continue;
      }
      auto it = photos.find(name);
      if (it == photos.end()) {
        ADD_FAILURE() << "unexpected " << e.path();
        continue;
      }
      EXPECT_EQ(test::readFile(e.path().string()), it->second) << e.path() << " is not whole";
      ++seen[name];
    }
  }
  for (const auto& [name, bytes] : photos) {
    EXPECT_GE(seen[name], 1) << name << " was lost";
    if (seen[name] == 2) ++census.duplicates;
  }
  return census;
}

TEST(MoveCrash, KilledAtRandomMomentsEveryPhotoSurvivesWhole) {
  test::TempDir disk;
  test::TempDir shm{test::TempDir::kMemory};
  std::mt19937 rng(20261208);
  std::map<std::string, std::string> photos = makePhotos(rng);
  for (const auto& [name, bytes] : photos)
    ASSERT_TRUE(test::writeFile(shm.sub("Event1/" + name), bytes));
  std::filesystem::create_directories(disk.sub("Event1"));

  Census total;
  std::uniform_int_distribution<int> delayUs(0, 60000);
  const int rounds = 60;
  for (int round = 0; round < rounds; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) moveBackAndForth(shm.path(), disk.path(), round % 2 == 0);
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    SCOPED_TRACE(testing::Message() << "round " << round);
    Census census = checkPhotos(photos, shm.path(), disk.path());
    total.duplicates += census.duplicates;
    total.partials += census.partials;
    if (HasFailure()) return;
  }
  std::printf("%d rounds: %d leftover partial copies, %d photos caught in both folders\n", rounds,
              total.partials, total.duplicates);

  // Moves into each folder remove the leftovers and finish any move caught halfway.
  for (const auto& [name, bytes] : photos) {
    QMI_FileManager::moveFileToPath("Event1/" + name, shm.path(), disk.path(), false, false);
  }
  ASSERT_TRUE(test::writeFile(shm.sub("Event1/marker.jpg"), "m"));
  QMI_FileManager::moveFileToPath("Event1/marker.jpg", shm.path(), disk.path(), false, false);
  QMI_FileManager::moveFileToPath("Event1/marker.jpg", disk.path(), shm.path(), false, false);
  std::filesystem::remove(shm.sub("Event1/marker.jpg"));

  std::map<std::string, std::string> onDisk = test::treeOf(disk.path());
  EXPECT_EQ(onDisk.size(), photos.size() + 1);
  for (const auto& [name, bytes] : photos) {
    EXPECT_TRUE(onDisk.count("Event1/" + name) && onDisk["Event1/" + name] == bytes) << name;
  }
  EXPECT_EQ(test::treeOf(shm.path()), (std::map<std::string, std::string>{{"Event1", "<dir>"}}));
}

}  // namespace
}  // namespace sorv
