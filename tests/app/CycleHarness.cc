#include "tests/app/CycleHarness.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv::test {

void RecordingView::setFieldText(AppField field, const std::string& text, bool isError) {
  std::lock_guard<std::mutex> lock(mutex_);
  texts_[field].emplace_back(text, isError);
}

void RecordingView::setProgressBarAnimating(bool on) {
  animating = on;
}

std::string RecordingView::text(AppField field) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = texts_.find(field);
  return it == texts_.end() || it->second.empty() ? "" : it->second.back().first;
}

bool RecordingView::wasShown(AppField field, const std::string& text, bool* isError) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = texts_.find(field);
  if (it == texts_.end()) return false;
  for (const auto& [t, red] : it->second) {
    if (t == text) {
      if (isError) *isError = red;
      return true;
    }
  }
  return false;
}

std::vector<std::string> RecordingView::history(AppField field) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  auto it = texts_.find(field);
  if (it != texts_.end())
    for (const auto& entry : it->second) out.push_back(entry.first);
  return out;
}

CycleHarness::CycleHarness(bool withUploads, bool realTransport)
    : env({.clock = &fake.clock,
           .httpTransport = realTransport ? nullptr : &transport,
           .runLoop = &loop}) {
  transport.setResult(ScriptedTransport::reply("OK", "Upload received"));
  setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
  setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
  Bundle::setMainBundlePath(dir.sub("Sorv-FTPUploader.app"));
  DefaultsStore::resetStandardForPath(dir.sub("defaults.plist"));
  ScopedEnv::settle = &DefaultsStore::settleStandard;
  AppController::resetCycleState();
  mkdir(source().c_str(), 0755);
  mkdir(mirror().c_str(), 0755);
  setPref(sPrefLocalSourceUploadFolder, source());
  setPref(sPrefLocalMasterMirrorSiteFolder, mirror());
  setPref(sUserLoginName, "kiosk7");
  setPref(sUserLoginPassword, "secret");
  setPref(sPrefUserEnteredEventName, "Spring Fair");
  setPref(sPrefAutoSynchronize, false);
  setPref(sPrefVyrURL, "http://127.0.0.1:9/upload");

  // Registered before the controller: sees each upload info before the upload empties it.
  NotificationCenter::defaultCenter().addObserver(this, kUploadStartNotification,
                                                  [this](const Notification* n) {
                                                    if (!n->userInfo) return;
                                                    std::lock_guard<std::mutex> lock(mutex_);
                                                    uploads_.push_back(*n->userInfo);
                                                  });
  controller = std::make_unique<AppController>(&view);
  if (withUploads) {
    controller->startUp();
  } else {
    controller->awakeFromNib();
    MessageLog::InitLog();
  }
}

CycleHarness::~CycleHarness() {
  controller->stopWatcher();
  pumpUntil([this] { return controller->runningThreadCount() == 0; }, 60);
  controller.reset();
  NotificationCenter::defaultCenter().removeObserver(this);
  loop.runPending();
  MessageLog::CloseLog();
  AppController::resetCycleState();
}

void CycleHarness::setPref(const std::string& key, const Value& value) {
  DefaultsStore::standard().setObject(value, key);
}

bool CycleHarness::pumpUntil(const std::function<bool()>& cond, double capSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(capSeconds);
  while (true) {
    loop.runPending();
    if (cond()) {
      // What a thread posted just before it ended (a status line) is shown too.
      loop.runPending();
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool CycleHarness::isIdle() const {
  return !AppController::startedUploadProcess() && !AppController::isScanning() &&
         !AppController::insideOpenFile() && controller->runningThreadCount() == 0;
}

bool CycleHarness::runPass(const std::optional<std::string>& folder) {
  controller->applicationOpenFile(folder ? *folder : source());
  return pumpUntil([this] { return isIdle(); });
}

std::vector<Dict> CycleHarness::uploads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uploads_;
}

std::string CycleHarness::messageLog() const {
  return readFile(MessageLog::logFilePath());
}

Dict standardMetaData() {
  return Dict{{"QM_kioskStation", "K1"}, {"OriginalPath", "/Volumes/Photos/orig.jpg"}};
}

bool writeJpegWithMeta(const std::string& path, const std::optional<Dict>& meta,
                       const std::string& exifDate) {
  createFolderWithParents(deletingLastPathComponent(path));
  photos::JpegOptions options;
  photos::ExifOptions exif;
  exif.dateTimeOriginal = exifDate;
  if (meta) exif.userComment = plist::toXml(Value(*meta));
  options.exif = exif;
  return photos::writeJpeg(path, options);
}

bool writePngWithMeta(const std::string& path, const std::optional<Dict>& meta) {
  createFolderWithParents(deletingLastPathComponent(path));
  photos::PngOptions options;
  if (meta) options.trailer = plist::toXml(Value(*meta));
  return photos::writePng(path, options);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// POSTs the site saw whose image file name contains name (its request log, one per line).
int postsFor(const std::string& store, const std::string& name) {
  std::ifstream in(store + "/.requests.log");
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(name) != std::string::npos) ++n;
  return n;
}

// The image file names the site stored, as it received them.
std::vector<std::string> storedImageNames(const std::string& store) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(store)) {
    if (e.path().filename().string()[0] == '.') continue;
    auto v = plist::parseFile(e.path().string() + "/fields.plist");
    const Array* parts = v && v->asDict() ? dictGetArray(*v->asDict(), "parts") : nullptr;
    for (const Value& p : parts ? *parts : Array{}) {
      const Dict* d = p.asDict();
      const std::string* name = d ? dictGetString(*d, "name") : nullptr;
      const std::string* file = d ? dictGetString(*d, "filename") : nullptr;
      if (name && file && *name == "imgfile") names.push_back(*file);
    }
  }
  return names;
}

// Runs the cycle from an open of the source folder; whenever it is idle, moves the fake
// clock on by a second, so that timers and held items come due, until done() or until
// fakeSeconds have passed.
void drive(CycleHarness& h, double fakeSeconds, const std::function<bool()>& done) {
  const double start = h.fake.clock.now();
  h.controller->applicationOpenFile(h.source());
  h.pumpUntil(
      [&] {
        if (!h.isIdle()) return false;
        if (done && done()) return true;
        if (h.fake.clock.now() - start >= fakeSeconds) return true;
        h.fake.clock.advance(1);
        return false;
      },
      120);
  h.pumpUntil([&] { return h.isIdle(); });
}

}  // namespace sorv::test
