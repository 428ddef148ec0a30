// What one agent process leaves for the next in relaunches.plist: the photos whose uploads
// made it relaunch, and when the waiting photos were first seen.
#include <algorithm>
#include <cstring>

#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "log/MessageLog.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/fs/FileSystem.h"
#include "settings/Preferences.h"

namespace sorv {

namespace {

std::string carriedStatePath() {
  return appendingPathComponent(logFolderPath(), kRelaunchStateName);
}

}  // namespace

bool AppController::stillThere(const std::string& path, const FileStamp& stamp) {
  FileInfo info;
  return defaultFileSystem().lstat(path, &info) == 0 && info.type == FileType::Regular &&
         uploadStamp(info) == stamp;
}

void AppController::loadCarriedState() {
  FileSystem& fs = defaultFileSystem();
  RelaunchState state = readRelaunchState(fs, carriedStatePath());
  const double now = defaultClock().now(), wallNow = defaultClock().wallNow();
  for (const RelaunchRecord& r : state.relaunched) {
    if (!stillThere(r.path, r.stamp)) continue;
    double ago = std::max(0.0, wallNow - r.lastRelaunch);
    retryBook_.recordRelaunches(r.path, r.stamp, r.relaunches, now - ago, r.lastRelaunch);
  }
  MutexLock lock(&carryMutex_);
  carriedWaiting_ = std::move(state.waiting);
}

void AppController::saveCarriedState(bool always) {
  Clock& clock = defaultClock();
  const double now = clock.now(), wallNow = clock.wallNow();
  RelaunchState state;
  // A held photo is carried for as long as it is in the folder: only those that have left
  // give way, so that none of those still there hangs the agent again. Should the file fill
  // up all the same, the latest relaunches are kept.
  for (const auto& r : retryBook_.relaunchedItems())
    if (stillThere(r.path, r.stamp))
      state.relaunched.push_back({r.path, r.stamp, r.relaunches, r.lastWall});
  std::sort(state.relaunched.begin(), state.relaunched.end(),
            [](const RelaunchRecord& a, const RelaunchRecord& b) {
              return a.lastRelaunch > b.lastRelaunch;
            });
  MutexLock lock(&carryMutex_);
  if (!carriedOver_) {
    state.waiting = carriedWaiting_;  // no walk yet: what the process before saw still holds
  } else if (!countsRoot_.empty()) {
    for (const auto& c : counts_.waitingSince(now, wallNow, kMaxFirstSeenRecords)) {
      // Whole seconds: the file is not rewritten for the clocks' drift alone.
      state.waiting.push_back({appendingPathComponent(countsRoot_, c.item), c.stamp,
                               static_cast<double>(static_cast<long long>(c.firstSeenWall))});
    }
  }
  std::string bytes = state.empty() ? std::string() : encodeRelaunchState(state);
  if (!always && bytes == lastCarriedWrite_) return;
  const std::string file = carriedStatePath();
  if (!state.empty()) createFolderWithParents(logFolderPath());
  if (int rc = writeRelaunchState(defaultFileSystem(), file, state)) {
    if (!carryWriteFailed_) NSLog("Could not write [%s]: %s", file.c_str(), std::strerror(rc));
    carryWriteFailed_ = true;  // said once until a write succeeds again
    return;
  }
  carryWriteFailed_ = false;
  lastCarriedWrite_ = std::move(bytes);
}

void AppController::noteRelaunchOfItemInFlight() {
  std::string path;
  {
    MutexLock lock(&carryMutex_);
    path = inFlight_;
  }
  FileInfo info;
  if (path.empty() || defaultFileSystem().lstat(path, &info) != 0 || info.type != FileType::Regular)
    return;
  Clock& clock = defaultClock();
  int n = retryBook_.noteRelaunch(path, uploadStamp(info), clock.now(), clock.wallNow());
  MessageLog::LogMessage(
      stringWithFormat("[%s] was uploading when no byte of it had moved for %.0f seconds; it has "
                       "made the agent relaunch %d time%s%s",
                       path.c_str(), static_cast<double>(Preferences::getUploadTimeOut()), n,
                       n == 1 ? "" : "s",
                       n >= ItemRetryBook::kHoldAfterRelaunches
                           ? ", so the next agent holds it back while other photos wait"
                           : "")
          .c_str(),
      true);
}

void AppController::carryOverFirstSeen(const std::string& root) {
  std::vector<CycleCounts::Carried> carried;
  {
    MutexLock lock(&carryMutex_);
    countsRoot_ = root;
    if (carriedOver_) return;
    carriedOver_ = true;
    const std::string prefix = root.ends_with('/') ? root : root + "/";
    for (const FirstSeenRecord& w : carriedWaiting_)
      if (w.path.size() > prefix.size() && w.path.starts_with(prefix))
        carried.push_back({w.path.substr(prefix.size()), w.stamp, w.firstSeen});
    carriedWaiting_.clear();
  }
  if (carried.empty()) return;
  counts_.carryOver(std::move(carried), defaultClock().now(), defaultClock().wallNow());
}

void AppController::reportRelaunchHold(const std::string& full) {
  const int n = retryBook_.relaunches(full);
  if (n < ItemRetryBook::kHoldAfterRelaunches || !retryBook_.takeHoldReport(full)) return;
  MessageLog::LogMessage(
      stringWithFormat("Holding back [%s]: its upload made the agent relaunch %d times, no byte "
                       "moving for %.0f seconds; the photos behind it go first, and it is tried "
                       "again when no other photo waits",
                       full.c_str(), n, static_cast<double>(Preferences::getUploadTimeOut()))
          .c_str(),
      true);
}

}  // namespace sorv
