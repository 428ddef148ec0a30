// One order check against the reference site on loopback: a reply of 1,000 orders whose
// originals lie in the 200 subfolders of the alternate folder (search method 3), while the
// agent's photo cycle drains 300 photos into the same site. Prints the time per order with
// and without its upload, and how far the resident set grew during the check. Then the walk
// alone over replies of 1,000 and 20,000 orders, to show what grows with the reply.
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <thread>

#include "app/AppController.h"
#include "app/HeadlessView.h"
#include "files/QMI_FileManager.h"
#include "log/MessageLog.h"
#include "metadata/ItemRules.h"
#include "orders/HttpHiResController.h"
#include "orders/OrderReply.h"
#include "platform/Notifications.h"
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
using Clock = std::chrono::steady_clock;

constexpr int kOrders = 1000;
constexpr int kSubfolders = 200;
constexpr int kPhotos = 300;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

long rssKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// Samples the resident set every few milliseconds while it lives; peak() is the highest.
class RssSampler {
 public:
  RssSampler()
      : thread_([this] {
          while (!done_) {
            long now = rssKiB();
            if (now > peak_) peak_ = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  ~RssSampler() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  long peak() const { return peak_; }

 private:
  std::atomic<bool> done_{false};
  std::atomic<long> peak_{0};
  std::thread thread_;
};

// The real transport, with the time spent in sends added up.
class TimedTransport : public HttpTransport {
 public:
  HttpResult post(const HttpRequest& request) override {
    auto start = Clock::now();
    HttpResult result = curl_.post(request);
    std::lock_guard<std::mutex> lock(mutex_);
    seconds += secondsSince(start);
    ++posts;
    return result;
  }
  double seconds = 0;
  int posts = 0;

 private:
  CurlHttpTransport curl_;
  std::mutex mutex_;
};

void makeOriginalsAndOrders(const test::TempDir& dir) {
  std::string original = photos::encodeJpeg(photos::JpegOptions{});
  Array orders;
  for (int i = 0; i < kOrders; ++i) {
    char folder[32];
    std::snprintf(folder, sizeof folder, "Folder %03d", i % kSubfolders);
    std::string name = "ORIG_" + std::to_string(i) + ".jpg";
    createFolderWithParents(dir.sub("Alt/") + folder);
    photos::writeBytes(dir.sub("Alt/") + folder + "/" + name, original);
    orders.push_back(Value(Dict{{"localfilelocation", Value("/Volumes/Kiosk/Event/" + name)},
                                {"orderid", Value(std::to_string(5000 + i))},
                                {"imageid", Value(std::to_string(9000 + i))},
                                {"pictureid", Value(std::to_string(i))},
                                {"filename", Value(name)}}));
  }
  plist::writeFileAtomically(dir.sub("orders.plist"), Value(orders));
}

void makePhotos(const std::string& src) {
  photos::JpegOptions with;
  photos::ExifOptions exif;
  exif.dateTimeOriginal = "2026:05:01 10:20:30";
  exif.userComment = plist::toXml(Value(Dict{{"QM_kioskStation", "K1"}}));
  with.exif = exif;
  std::string bytes = photos::encodeJpeg(with);
  for (int i = 0; i < kPhotos; ++i) {
    std::string folder = src + "/Event/Booth " + std::to_string(i % 10);
    createFolderWithParents(folder);
    photos::writeBytes(folder + "/IMG_" + std::to_string(i) + ".jpg", bytes);
  }
}

int storedHiRes(const std::string& store) {
  std::ifstream log(store + "/.requests.log");
  std::string line;
  int n = 0;
  while (std::getline(log, line))
    if (line.starts_with("orders.hiresupload\t") && line.ends_with("\tstored")) ++n;
  return n;
}

void checkBesideTheCycle() {
  test::TempDir dir;
  setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
  setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
  makeOriginalsAndOrders(dir);
  std::string src = dir.sub("src"), mirror = dir.sub("mirror");
  makePhotos(src);
  mkdir(mirror.c_str(), 0755);
  mkdir(dir.sub("store").c_str(), 0755);
  test::SiteProcess site(dir.sub("store"), {"--orders", dir.sub("orders.plist")});
  if (!site.ok()) {
    std::fprintf(stderr, "sorv-site did not start\n");
    std::exit(1);
  }
  test::writeKioskDefaults(dir.sub("defaults.plist"), src, mirror, site.url(),
                           Dict{{sPrefAutoSynchronize, false},
                                {sPrefDoCheckOrders, false},  // the check below is timed on its own
                                {sPrefCheckHiResOrderFuseAction, "orders.v4check"},
                                {sPrefUploadHiResOrderFuseAction, "orders.hiresupload"},
                                {sPrefSearchPathMethodTag, 3},
                                {sPrefVyrHiResAlternatePath1, dir.sub("Alt")}});
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  AppController::resetCycleState();

  EventLoop loop;
  std::optional<test::ScopedEnv> env(test::EnvParts{.runLoop = &loop});
  HeadlessView view;
  {
    AppController controller(&view);
    controller.startUp();
    controller.applicationOpenFile(src);

    TimedTransport transport;
    std::atomic<bool> checkDone{false};
    double checkSeconds = 0;
    long before = rssKiB(), peak = 0;
    std::thread check([&] {
      RssSampler sampler;
      auto start = Clock::now();
      HttpHiResController hiRes(&transport);
      hiRes.doQueryAndUploadHiResWithInfo(
          makeDict(Dict{{kEdUser, Value("bench")}, {kEdPasswd, Value("bench")}}));
      checkSeconds = secondsSince(start);
      sampler.stop();
      peak = sampler.peak();
      checkDone = true;
    });
    bool cycleBusyAtEnd = false;
    while (!checkDone || AppController::startedUploadProcess() || AppController::isScanning() ||
           AppController::insideOpenFile() || controller.runningThreadCount() > 0) {
      if (checkDone && !cycleBusyAtEnd) cycleBusyAtEnd = AppController::startedUploadProcess();
      loop.runPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    check.join();
    MessageLog::CloseLog();

    int stored = storedHiRes(dir.sub("store"));
    double beside = checkSeconds - transport.seconds;
    std::printf(
        "order check: %d orders, %d hi-res uploads stored, %d requests, photo cycle "
        "still draining when it ended: %s\n",
        kOrders, stored, transport.posts, cycleBusyAtEnd ? "yes" : "no");
    std::printf("  whole check %.3f s: %.3f ms per order with its upload\n", checkSeconds,
                1000 * checkSeconds / kOrders);
    std::printf("  in sends %.3f s; beside the uploads %.3f ms per order (target < 1 ms)\n",
                transport.seconds, 1000 * beside / kOrders);
    std::printf("  resident set: %ld KiB before, peak %ld KiB during the check (+%ld KiB)\n",
                before, peak, peak - before);

    // The parts of "beside the uploads": the search and the image check, alone.
    auto t = Clock::now();
    std::vector<std::string> found;
    for (int i = 0; i < kOrders; ++i) {
      if (auto path = QMI_FileManager::doResolveOriginalPath(
              "/Volumes/Kiosk/Event/ORIG_" + std::to_string(i) + ".jpg",
              std::optional<std::vector<std::string>>({dir.sub("Alt")})))
        found.push_back(*path);
    }
    double searchSeconds = secondsSince(t);
    t = Clock::now();
    for (const auto& path : found) (void)IsValidImageObject(path);
    std::printf("  of which the search %.3f ms and the image check %.3f ms per order\n",
                1000 * searchSeconds / kOrders, 1000 * secondsSince(t) / kOrders);
  }
  env.reset();
}

// The walk alone (search method 0, nothing looked up): how the resident set grows with the
// number of orders once the document is parsed.
void walkGrowth(int orders) {
  std::string reply = "<orders>";
  for (int i = 0; i < orders; ++i)
    reply += "<order><localfilelocation>/Volumes/Kiosk/Event/ORIG_" + std::to_string(i) +
             ".jpg</localfilelocation><orderid>1</orderid><imageid>2</imageid><pictureid>3"
             "</pictureid></order>";
  reply += "<status>OK</status><message>m</message></orders>";
  test::TempDir dir;
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  DefaultsStore::standard().setObject(Value(0), sPrefSearchPathMethodTag);
  long start = rssKiB();
  pugi::xml_document doc;
  std::string err;
  parseOrderReply(reply, &doc, &err);
  long parsed = rssKiB();
  RssSampler sampler;
  HttpHiResController hiRes;
  Dict info{{kEdUser, Value("u")}, {kEdPasswd, Value("p")}};
  auto t = Clock::now();
  hiRes.parseDataVers3(&doc, &info);
  double seconds = secondsSince(t);
  sampler.stop();
  std::printf(
      "walk of %d orders (%zu KiB reply): document +%ld KiB, walk +%ld KiB, %.4f ms "
      "per order\n",
      orders, reply.size() / 1024, parsed - start, std::max(0L, sampler.peak() - parsed),
      1000 * seconds / orders);
}

}  // namespace

int main() {
  checkBesideTheCycle();
  walkGrowth(1000);
  walkGrowth(20000);
  return 0;
}
