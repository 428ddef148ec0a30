// Drains a folder of small photos into the reference site on loopback and compares the
// agent's pace with a shell loop of `curl -F` uploads and `mv` of the same files; then the
// same photos among 5,000 files without metadata. Prints items per second and both ratios.
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "app/AppController.h"
#include "app/HeadlessView.h"
#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "platform/RunLoop.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv;
using Clock = std::chrono::steady_clock;

constexpr int kItems = 500;
constexpr int kNoise = 5000;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// kItems photos with metadata in 10 subfolders; noise photos without metadata beside them.
void makePhotos(const std::string& src, int noise) {
  Dict meta{{"QM_kioskStation", "K1"}, {"OriginalPath", "/orig/x.jpg"}};
  photos::JpegOptions with;
  photos::ExifOptions exif;
  exif.dateTimeOriginal = "2026:05:01 10:20:30";
  exif.userComment = plist::toXml(Value(meta));
  with.exif = exif;
  std::string withBytes = photos::encodeJpeg(with);
  photos::JpegOptions without;
  without.exif = photos::ExifOptions{"2026:05:01 10:20:30", std::nullopt};
  std::string withoutBytes = photos::encodeJpeg(without);
  for (int i = 0; i < kItems; ++i) {
    std::string folder = src + "/Event/Booth " + std::to_string(i % 10);
    createFolderWithParents(folder);
    photos::writeBytes(folder + "/IMG_" + std::to_string(i) + ".jpg", withBytes);
  }
  for (int i = 0; i < noise; ++i) {
    std::string folder = src + "/Event/Booth " + std::to_string(i % 10);
    photos::writeBytes(folder + "/raw_" + std::to_string(i) + ".jpg", withoutBytes);
  }
}

// Runs the agent's cycle in this process until the source folder holds no more items.
double drainWithAgent(const test::TempDir& dir, const std::string& url, int noise,
                      std::uint64_t* reads) {
  std::string src = dir.sub("src"), mirror = dir.sub("mirror");
  makePhotos(src, noise);
  mkdir(mirror.c_str(), 0755);
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  auto& store = DefaultsStore::standard();
  store.setObject(Value(src), sPrefLocalSourceUploadFolder);
  store.setObject(Value(mirror), sPrefLocalMasterMirrorSiteFolder);
  store.setObject(Value("bench"), sUserLoginName);
  store.setObject(Value("bench"), sUserLoginPassword);
  store.setObject(Value("Bench Event"), sPrefUserEnteredEventName);
  store.setObject(Value(url), sPrefVyrURL);
  store.setObject(Value(false), sPrefAutoSynchronize);
  AppController::resetCycleState();

  EventLoop loop;
  setMainRunLoop(&loop);
  HeadlessView view;
  double seconds;
  {
    AppController controller(&view);
    controller.awakeFromNib();
    controller.applicationWillFinishLaunching();
    auto start = Clock::now();
    controller.applicationOpenFile(src);
    while (AppController::startedUploadProcess() || AppController::isScanning() ||
           AppController::insideOpenFile() || controller.runningThreadCount() > 0) {
      loop.runPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    seconds = secondsSince(start);
    *reads = controller.metaDataReads();
    MessageLog::CloseLog();
  }
  setMainRunLoop(nullptr);
  return seconds;
}

// The floor a user could script: one curl upload and one mv per file.
double drainWithCurl(const test::TempDir& dir, const std::string& url) {
  std::string src = dir.sub("src"), mirror = dir.sub("mirror");
  makePhotos(src, 0);
  std::string script = dir.sub("loop.sh");
  std::ofstream(script) << "set -e\ncd '" << src << "'\n"
                        << "find . -name '*.jpg' | while read -r f; do\n"
                        << "  curl -s -o /dev/null -F username=bench -F password=bench"
                        << " -F fuseaction=upload.upload -F eventname='Bench Event'"
                        << " -F \"uploadedfile=@$f;type=image/jpeg\" '" << url << "'\n"
                        << "  mkdir -p \"" << mirror << "/$(dirname \"$f\")\"\n"
                        << "  mv \"$f\" \"" << mirror << "/$f\"\n"
                        << "done\n";
  auto start = Clock::now();
  int rc = std::system(("bash '" + script + "'").c_str());
  double seconds = secondsSince(start);
  if (rc != 0) std::fprintf(stderr, "curl loop failed (%d)\n", rc);
  return seconds;
}

}  // namespace

int main() {
  setenv("SORV_LOG_DIR", "/tmp", 0);
  test::TempDir siteDir;
  test::SiteProcess site(siteDir.sub("store"));
  if (!site.ok()) {
    std::fprintf(stderr, "sorv-site did not start\n");
    return 1;
  }
  test::TempDir home;
  Bundle::setMainBundlePath(home.sub("Sorv-FTPUploader.app"));
  setenv("SORV_DEFAULTS", home.sub("defaults.plist").c_str(), 1);

  double curl, agent, agentNoise;
  std::uint64_t reads = 0, readsNoise = 0;
  {
    test::TempDir d;
    curl = drainWithCurl(d, site.url());
  }
  {
    test::TempDir d;
    agent = drainWithAgent(d, site.url(), 0, &reads);
  }
  {
    test::TempDir d;
    agentNoise = drainWithAgent(d, site.url(), kNoise, &readsNoise);
  }
  std::printf("items: %d small JPEGs in 10 subfolders, site on loopback\n", kItems);
  std::printf("curl -F + mv shell loop : %7.2f s  %7.1f items/s\n", curl, kItems / curl);
  std::printf("agent                   : %7.2f s  %7.1f items/s  (%llu metadata reads)\n", agent,
              kItems / agent, static_cast<unsigned long long>(reads));
  std::printf("agent, +%d files without metadata: %7.2f s  %7.1f items/s  (%llu metadata reads)\n",
              kNoise, agentNoise, kItems / agentNoise, static_cast<unsigned long long>(readsNoise));
  std::printf("ratio agent / curl loop (time)       : %.2f\n", agent / curl);
  std::printf("ratio with %d extra files / without (time): %.2f\n", kNoise, agentNoise / agent);
  return 0;
}
