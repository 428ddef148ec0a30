// The old-photo job on a mirror folder of many small photos in many folders, a tenth of them
// old: time and peak memory at a tenth of the size and at full size (memory should not grow
// with the tree), then the pace of the upload cycle draining 500 photos into the reference
// site, alone and while the job runs on its own thread over the same mirror folder.
// Usage: bench_cleaning [photos (100000)] [folders (2000)]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "app/AppController.h"
#include "app/HeadlessView.h"
#include "files/FolderCleaning.h"
#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/FileDates.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "platform/RunLoop.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv;
using Steady = std::chrono::steady_clock;

constexpr int kItems = 500;
constexpr double kDay = 86400;

double secondsSince(Steady::time_point t) {
  return std::chrono::duration<double>(Steady::now() - t).count();
}

// Most Linux file systems here record a birth time that cannot be set; the bench ages files
// by their modification time, as on a file system without birth times.
class ModificationDates : public FileDates {
 public:
  std::optional<FileDateInfo> read(const std::string& path) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileDateInfo{std::nullopt, Date{st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9}};
  }
  bool setCreationDate(const std::string&, Date) override { return false; }
};

long procStatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + strlen(field));
  return -1;
}

void makeOld(const std::string& path) {
  struct timespec t[2];
  t[0].tv_sec = t[1].tv_sec = time(nullptr) - static_cast<time_t>(60 * kDay);
  t[0].tv_nsec = t[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), t, 0);
}

// photos small JPEGs spread over folders; every tenth is made 60 days old.
void makeMirror(const std::string& root, int photos, int folders) {
  photos::JpegOptions small;
  small.width = small.height = 16;
  const std::string bytes = photos::encodeJpeg(small);
  for (int f = 0; f < folders; ++f)
    createFolderWithParents(root + "/Event " + std::to_string(f / 50) + "/Booth " +
                            std::to_string(f));
  for (int i = 0; i < photos; ++i) {
    int f = i % folders;
    std::string path = root + "/Event " + std::to_string(f / 50) + "/Booth " + std::to_string(f) +
                       "/IMG_" + std::to_string(i) + ".jpg";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) continue;
    if (write(fd, bytes.data(), bytes.size()) < 0) std::perror("write");
    close(fd);
    if (i % 10 == 0) makeOld(path);
  }
}

void jobAlone(int photos, int folders) {
  test::TempDir dir;
  makeMirror(dir.sub("mirror"), photos, folders);
  sync();
  long before = procStatusKb("VmRSS:");
  std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak (VmHWM) to now
  auto start = Steady::now();
  OldPhotoCounts counts = deleteOldPhotosBelow(dir.sub("mirror"), Date{time(nullptr) - 30 * kDay},
                                               nullptr, std::nullopt);
  double seconds = secondsSince(start);
  long peak = procStatusKb("VmHWM:");
  std::printf(
      "old-photo job, %6d photos in %4d folders: %6.2f s, %zu deleted, %zu failed, "
      "peak memory +%ld kB over %ld kB\n",
      photos, folders, seconds, counts.deleted, counts.failed, peak - before, before);
}

void makeItems(const std::string& src) {
  Dict meta{{"QM_kioskStation", "K1"}, {"OriginalPath", "/orig/x.jpg"}};
  photos::JpegOptions with;
  photos::ExifOptions exif;
  exif.dateTimeOriginal = "2026:05:01 10:20:30";
  exif.userComment = plist::toXml(Value(meta));
  with.exif = exif;
  const std::string bytes = photos::encodeJpeg(with);
  for (int i = 0; i < kItems; ++i) {
    std::string folder = src + "/Event/Booth " + std::to_string(i % 10);
    createFolderWithParents(folder);
    photos::writeBytes(folder + "/IMG_" + std::to_string(i) + ".jpg", bytes);
  }
}

// Drains kItems photos; with a mirror of `mirrorPhotos`, the old-photo job runs beside it.
// *jobSeconds: how long the job ran (0 without it).
double drain(const std::string& url, int mirrorPhotos, int folders, double* jobSeconds) {
  test::TempDir dir;
  const std::string src = dir.sub("src"), mirror = dir.sub("mirror");
  makeItems(src);
  createFolderWithParents(mirror);
  if (mirrorPhotos) makeMirror(mirror + "/Earlier", mirrorPhotos, folders);
  sync();
  test::writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, url,
                           Dict{{sPrefAutoSynchronize, false}});
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  AppController::resetCycleState();

  EventLoop loop;
  std::optional<test::ScopedEnv> env(test::EnvParts{.runLoop = &loop});
  HeadlessView view;
  double seconds;
  *jobSeconds = 0;
  {
    AppController controller(&view);
    controller.startUp();
    std::atomic<bool> jobDone{mirrorPhotos == 0};
    std::thread job;
    auto start = Steady::now();
    if (mirrorPhotos) {
      job = std::thread([&] {
        auto jobStart = Steady::now();
        deleteOldPhotosBelow(mirror, Date{time(nullptr) - 30 * kDay}, nullptr, src);
        *jobSeconds = secondsSince(jobStart);
        jobDone = true;
      });
    }
    controller.applicationOpenFile(src);
    while (AppController::startedUploadProcess() || AppController::isScanning() ||
           AppController::insideOpenFile() || controller.runningThreadCount() > 0) {
      loop.runPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    seconds = secondsSince(start);
    if (job.joinable()) job.join();
    MessageLog::CloseLog();
  }
  env.reset();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int photos = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int folders = argc > 2 ? std::atoi(argv[2]) : 2000;
  if (photos < 10 || folders < 1) return 2;
  // The agent's console lines would swamp the figures.
  if (!std::freopen("/dev/null", "w", stderr)) return 1;
  setenv("SORV_LOG_DIR", "/tmp", 0);
  ModificationDates dates;
  test::ScopedEnv env({.fileDates = &dates});

  jobAlone(photos / 10, std::max(1, folders / 10));
  jobAlone(photos, folders);

  test::TempDir siteDir;
  test::SiteProcess site(siteDir.sub("store"));
  if (!site.ok()) {
    std::printf("sorv-site did not start\n");
    return 1;
  }
  test::TempDir home;
  Bundle::setMainBundlePath(home.sub("Sorv-FTPUploader.app"));
  setenv("SORV_DEFAULTS", home.sub("defaults.plist").c_str(), 1);
  // Alternating rounds, so that a warming disk or a busy neighbour does not favour one side.
  double aloneTotal = 0, besideTotal = 0;
  for (int round = 1; round <= 2; ++round) {
    double noJob = 0, withJob = 0;
    double alone = drain(site.url(), 0, folders, &noJob);
    double beside = drain(site.url(), photos, folders, &withJob);
    aloneTotal += alone;
    besideTotal += beside;
    std::printf(
        "round %d: upload cycle, %d photos alone: %6.2f s %6.1f items/s; beside the job: "
        "%6.2f s %6.1f items/s (the job ran %.2f s of it)\n",
        round, kItems, alone, kItems / alone, beside, kItems / beside, withJob);
  }
  std::printf("pace beside the job / pace alone: %.2f\n", aloneTotal / besideTotal);
  return 0;
}
