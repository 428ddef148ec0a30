// The cycle's status: its counts kept from the walk and the outcomes, the state read from
// the cycle's flags, the health verdict and the status observer.
#include <signal.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "app/ItemChoice.h"
#include "files/FolderEnumerator.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/fs/FileSystem.h"
#include "settings/Preferences.h"
#include "settings/StatusReport.h"

namespace sorv {

using namespace cycle;

namespace {

constexpr double kViewRefreshSeconds = 0.25;

// The bytes the site took for an upload: the sizes of the files it was sent.
std::uint64_t sentBytes(const Dict& info) {
  const Dict* sent = dictGetDict(info, kHttpSentFiles);
  if (!sent) return 0;
  std::uint64_t bytes = 0;
  for (const auto& [path, value] : *sent) {
    const Dict* id = value.asDict();
    const Value* size = id ? dictGet(*id, "size") : nullptr;
    if (size && size->integerValue() > 0) bytes += static_cast<std::uint64_t>(size->integerValue());
  }
  return bytes;
}

// A photo of the problem folder: a visible regular file that is not a movie.
bool isProblemPhoto(const FolderEntry& entry) {
  const std::string name = lastPathComponent(entry.relativePath);
  return entry.info.type == FileType::Regular && !name.empty() && name[0] != '.' &&
         strcasecmp(pathExtension(name).c_str(), "mov") != 0;
}

// Whether the process is still there (a holder that ended is no longer waited for, even
// before the timer's next pass claims the folder).
bool processRuns(pid_t pid) {
  return pid <= 0 || ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

void AppController::setFolderHolder(std::optional<ClaimHolder> holder) {
  MutexLock lock(&holderMutex_);
  folderHolder_ = std::move(holder);
}

std::optional<ClaimHolder> AppController::folderHolder() const {
  MutexLock lock(&holderMutex_);
  return folderHolder_;
}

AppController::PerPhotoEntries AppController::perPhotoEntries() const {
  PerPhotoEntries n;
  n.scanFacts = scanFacts_.size();
  n.retryBook = retryBook_.size();
  n.waiting = static_cast<std::size_t>(cycleStatus().waiting);
  return n;
}

CycleStatus AppController::cycleStatus() const {
  Clock& clock = defaultClock();
  CycleStatus status = counts_.snapshot(clock.now(), clock.wallNow());
  const bool paused = gDidHaltProcess || gWantsToHaltProcess;
  const std::optional<ClaimHolder> holder = folderHolder();
  if (gStartedUploadProcess || (gIsScanning && !paused)) {
    status.state = CycleState::Uploading;
  } else if (paused) {
    status.state = CycleState::Paused;
  } else if (holder && processRuns(holder->pid)) {
    status.state = CycleState::HeldElsewhere;
    status.folderHolder = holder->description();
  } else if (stoppedBySite_) {
    status.state = CycleState::StoppedBySite;
  } else if (halted_) {
    status.state = CycleState::Halted;
  } else {
    status.state = CycleState::Waiting;
  }
  return status;
}

void AppController::setStatusObserver(std::function<void()> fn) {
  statusObserver_ = std::move(fn);
}

void AppController::statusChanged() {
  if (statusObserver_) statusObserver_();
  // A pause, a backoff or a pass begun while the upkeep sleeps: a count now, then every second.
  if (countUpkeepSlow_ && !quitting_ && !countUpkeepHurry_.exchange(true)) {
    mainRunLoop().post([this] {
      countUpkeepHurry_ = false;
      if (!countsMayGoStale()) return;
      keepCountsCurrent();
      scheduleCountUpkeep();
    });
  }
  if (metricsFile_ && !quitting_ && !metricsWritePending_.exchange(true)) {
    mainRunLoop().post([this] {
      metricsWritePending_ = false;
      metricsFile_->write();
    });
  }
  if (!view_ || quitting_ || viewRefreshPending_.exchange(true)) return;
  mainRunLoop().post([this] {
    const double wait = lastViewRefresh_ + kViewRefreshSeconds - defaultClock().now();
    if (lastViewRefresh_ < 0 || wait <= 0) return refreshCountsView();
    viewTimer_ = mainRunLoop().scheduleTimer(wait, false, [this](Timer&) { refreshCountsView(); });
  });
}

void AppController::startMetricsFile() {
  if (metricsFile_) metricsFile_->start(mainRunLoop());
}

void AppController::stopMetricsFile() {
  if (!metricsFile_) return;
  metricsFile_->stop();
  metricsFile_->write();
}

void AppController::refreshCountsView() {
  viewRefreshPending_ = false;
  lastViewRefresh_ = defaultClock().now();
  if (view_ && !quitting_) view_->showCounts(cycleStatus());
}

void AppController::recountProblemFolder() {
  auto problem = Preferences::getLocalProblemUploadFolder();
  std::int64_t photos = 0;
  if (problem) {
    FolderEnumerator(*problem).enumerate([&](const FolderEntry& entry) {
      if (isProblemPhoto(entry)) ++photos;
      return FolderEnumerator::Visit::Continue;
    });
  }
  counts_.setProblemFolder(photos);
  statusChanged();
}

std::string AppController::healthProblem(const CycleStatus& status) const {
  if (status.state == CycleState::StoppedBySite) {
    std::string why = "the site has stopped the upload cycle";
    if (!status.lastFailureReason.empty()) why += ": " + status.lastFailureReason;
    return why;
  }
  const double now = defaultClock().wallNow();
  const bool recentSuccess =
      status.lastSuccessTime && now - *status.lastSuccessTime <= healthSeconds_;
  if (status.oldestWaitingSeconds && *status.oldestWaitingSeconds > healthSeconds_ &&
      !recentSuccess) {
    std::string why = stringWithFormat("%lld photos have waited %s without an upload",
                                       static_cast<long long>(status.waiting),
                                       ageText(*status.oldestWaitingSeconds).c_str());
    if (status.state == CycleState::HeldElsewhere)
      why += "; the source folder is held by " + status.folderHolder;
    return why;
  }
  return "";
}

Dict AppController::statusReport() const {
  const CycleStatus s = cycleStatus();
  Dict d;
  d[kStatusState] = cycleStateText(s);
  d[kStatusCurrentItem] = s.currentItem;
  d[kStatusWaiting] = static_cast<long long>(s.waiting);
  d[kStatusHeldBack] = static_cast<long long>(s.heldBack);
  if (s.oldestWaitingSeconds) d[kStatusOldestWaiting] = *s.oldestWaitingSeconds;
  d[kStatusUploadedToday] = static_cast<long long>(s.uploadedToday);
  d[kStatusUploadedSinceStart] = static_cast<long long>(s.uploadedSinceStart);
  d[kStatusBytesUploaded] = static_cast<long long>(s.bytesUploaded);
  if (s.lastSuccessTime) {
    d[kStatusLastSuccess] = *s.lastSuccessTime;
    d[kStatusLastSuccessItem] = s.lastSuccessItem;
  }
  if (s.lastFailureTime) {
    d[kStatusLastFailure] = *s.lastFailureTime;
    d[kStatusLastFailureItem] = s.lastFailureItem;
    d[kStatusLastFailureReason] = s.lastFailureReason;
  }
  d[kStatusProblemFolder] = static_cast<long long>(s.problemFolder);
  std::string why = healthProblem(s);
  d[kStatusHealthy] = why.empty();
  d[kStatusHealthReason] = why;
  return d;
}

void AppController::countEntry(const FolderEntry& entry, FolderEnumerator::Visit verdict,
                               const ItemRules& rules, std::vector<CycleCounts::Seen>* ready,
                               std::vector<std::string>* notReady) {
  using Visit = FolderEnumerator::Visit;
  // A held photo was judged ready before it failed; the judgement passes over it unread.
  const bool held = verdict == Visit::Continue && rules.isHeld && rules.isHeld(entry.fullPath);
  if (verdict == Visit::Stop || held)
    ready->push_back({entry.relativePath, FileStamp::of(entry.info), held});
  else if (notReady && entry.info.type == FileType::Regular)
    notReady->push_back(entry.relativePath);
}

void AppController::countOutcome(const Dict& info, bool success, const std::string& reason) {
  const std::string* root = dictGetString(info, kLocalRootFolder);
  const std::string* item = dictGetString(info, kLocalItem);
  if (!root || !item) return;
  FileInfo there;
  const bool left = defaultFileSystem().lstat(appendingPathComponent(*root, *item), &there) != 0;
  const double wallNow = defaultClock().wallNow();
  if (success) {
    stoppedBySite_ = false;
    counts_.recordSuccess(*item, sentBytes(info), wallNow);
  } else {
    counts_.recordFailure(*item, reason, left, wallNow);
  }
  if (left) {
    counts_.forget(*item);
    forgetFile(appendingPathComponent(*root, *item));
  }
  counts_.setCurrentItem("");
  // A failed item that left the source went to the problem folder.
  if (!success && left)
    recountProblemFolder();
  else
    statusChanged();
}

}  // namespace sorv
