// The folder scan: picks the first ready item of the source folder and hands it to the upload.
#include <strings.h>

#include <ctime>
#include <mutex>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "app/ItemChoice.h"
#include "files/FolderEnumerator.h"
#include "log/MessageLog.h"
#include "metadata/CaptureDate.h"
#include "metadata/ItemRules.h"
#include "metadata/PhotoMetadata.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/fs/FileSystem.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

using namespace cycle;

namespace {

using Visit = FolderEnumerator::Visit;

// How often a pass that chose an item goes on to count the whole tree.
constexpr double kFullCountSeconds = 2;

// A movie counts as there only as a regular file of its own: a link may lead anywhere on the
// machine, and is never followed, sent or moved.
bool movieIsThere(const std::string& path) {
  FileInfo info;
  return defaultFileSystem().lstat(path, &info) == 0 && info.type == FileType::Regular;
}

std::string defaultMetaDataText(const std::string& fuseAction) {
  static const std::pair<const char*, const char*> kTexts[] = {
      {"upload.ardent", "From Ardent 2010 Event."},
      {"upload.brisk", "From Brisk Miami 2010 Event."},
      {"upload.copse", "From Copse 2010 Event."},
      {"upload.dunmore", "From DUNMORE 2010."},
      {"upload.elmwick", "From Elmwick 2010 Event."},
      {"upload.fallow", "From Fallow 2011 Event."},
  };
  for (const auto& [action, text] : kTexts)
    if (fuseAction == action) return text;
  return "";
}

// The client name with "prefFormBaseIdFromFileName": the file name up to the first "_",
// else up to the first blank, else the name without its extension.
std::string baseIdClientName(const std::string& fileName) {
  auto underscore = fileName.find('_');
  if (underscore != std::string::npos) return fileName.substr(0, underscore);
  auto blank = fileName.find(' ');
  if (blank != std::string::npos) return fileName.substr(0, blank);
  return deletingPathExtension(fileName);
}

std::string joinEmails(const Array& emails) {
  std::string joined;
  std::size_t n = 0;
  for (const Value& v : emails) {
    if (n == 4) break;
    auto text = v.stringValue();
    if (!text) continue;
    if (n++) joined += ",";
    joined += *text;
  }
  return joined;
}

// The whole embedded metadata block of a photo, read from the file.
std::optional<Dict> readMetaData(const std::string& path) {
  if (auto png = getSorvMetaDataFromPng(path)) return png;
  return getSorvMetaDataFromJpeg(path);
}

}  // namespace

std::optional<Dict> AppController::metaDataOf(const std::string& path, const FileInfo* info) {
  // Kept for every waiting photo, so only what the scan judges by: whether the block is there,
  // and the movie it names. The whole block would cost a backlog a dictionary a photo.
  ScanFacts facts = scanFacts_.getOrAdd(
      path, info, [](const ScanFacts& f) { return f.metaData >= 0; },
      [&](ScanFacts& f) {
        ++metaDataReads_;
        std::optional<Dict> meta = readMetaData(path);
        f.metaData = meta.has_value();
        const Value* movie = meta ? dictGet(*meta, QMMuxedMovieName) : nullptr;
        f.movie = movie ? std::make_shared<const Value>(*movie) : nullptr;
      });
  if (!facts.metaData) return std::nullopt;
  Dict judged;
  if (facts.movie) judged[QMMuxedMovieName] = *facts.movie;
  return judged;
}

bool AppController::isValidImage(const std::string& path, const FileInfo* info) {
  return scanFacts_
      .getOrAdd(
          path, info, [](const ScanFacts& f) { return f.validImage >= 0; },
          [&](ScanFacts& f) { f.validImage = IsValidImageObject(path); })
      .validImage;
}

bool AppController::isClientLogin() const {
  auto login = Preferences::getCurUserLoginName();
  if (!login) return false;
  for (const char* name : kClientLoginNames)
    if (strcasecmp(login->c_str(), name) == 0) return true;
  return false;
}

ItemRules AppController::scanRules(double scanTime) {
  ItemRules rules;
  rules.formBaseId = Preferences::getPrefFormBaseIdFromFileName();
  rules.uploadMovie = DefaultsStore::standard().boolForKey(sPrefUploadMovie);
  rules.clientLogin = isClientLogin();
  rules.isValidImage = [this](const std::string& path, const FileInfo& info) {
    return isValidImage(path, &info);
  };
  rules.metaDataOf = [this](const std::string& path, const FileInfo& info) {
    return metaDataOf(path, &info);
  };
  if (!retryBook_.empty()) {
    rules.isHeld = [this, scanTime](const std::string& path) {
      return retryBook_.isHeld(path, scanTime);
    };
  }
  rules.movieIsThere = movieIsThere;
  return rules;
}

std::uint64_t AppController::verdictKeyOf(const ItemRules& rules) {
  return 1 | (rules.formBaseId ? 2 : 0) | (rules.clientLogin ? 4 : 0);
}

void AppController::noteSeen(const FolderEntry& entry) {
  scanFacts_.markSeen(entry.fullPath);
}

void AppController::forgetUnseenFiles() {
  scanFacts_.dropUnseen();
  if (!retryBook_.empty()) {
    retryBook_.prune([](const std::string& path) {
      FileInfo info;
      return defaultFileSystem().lstat(path, &info) == 0;
    });
  }
}

void AppController::forgetFile(const std::string& fullPath) {
  scanFacts_.erase(fullPath);
}

void AppController::countWhileHeldElsewhere(const std::string& folder) {
  if (!countsOn_ || quitting_ || heldCountRunning_.exchange(true)) return;
  spawn("heldCount", [this, folder] {
    countReadOnly(folder, false);
    heldCountRunning_ = false;
    statusChanged();
  });
}

void AppController::keepCountsCurrent() {
  if (!countsOn_ || quitting_) return;
  const double now = defaultClock().now();
  if (!countUpkeep_.startWalk(now, gStartedUploadProcess || gIsScanning)) return;
  std::optional<std::string> folder = rootFolder();
  if (!folder) folder = Preferences::getLocalSourceUploadFolder();
  if (!folder) {
    countUpkeep_.counted(now, true);  // no folder chosen: nothing waits
    countUpkeep_.finished();
    return;
  }
  spawn("count", [this, folder = *folder] {
    const bool changed = countReadOnly(folder, true);
    countUpkeep_.finished();
    if (changed) statusChanged();
  });
}

FolderEnumerator::Visit AppController::countOnly(const FolderEntry& entry, const ItemRules& rules,
                                                 std::vector<CycleCounts::Seen>* ready) {
  const FileStamp stamp = FileStamp::of(entry.info);
  if (counts_.knownReady(entry.relativePath, stamp)) return Visit::Continue;
  Visit visit = judgeScanEntry(entry, rules);
  countEntry(entry, visit, rules, ready, nullptr);
  return visit == Visit::Stop ? Visit::Continue : visit;
}

bool AppController::countsMayGoStale() {
  return gDidHaltProcess || gWantsToHaltProcess || gStartedUploadProcess || gIsScanning ||
         stoppedBySite_ || folderHolder().has_value() || siteBackoffRemaining() > 0;
}

void AppController::scheduleCountUpkeep() {
  if (!countsOn_ || quitting_) return;
  const double interval =
      countsMayGoStale() ? CountUpkeep::kTickSeconds : CountUpkeep::kQuietSeconds;
  if (countUpkeepInterval_ > 0) {  // a tick is pending
    if (countUpkeepInterval_ <= interval) return;
    countUpkeepTimer_->invalidate();
  }
  countUpkeepInterval_ = interval;
  countUpkeepSlow_ = interval > CountUpkeep::kTickSeconds;
  countUpkeepTimer_ = mainRunLoop().scheduleTimer(interval, false, [this](Timer&) {
    countUpkeepInterval_ = 0;
    keepCountsCurrent();
    scheduleCountUpkeep();
  });
}

void AppController::publishReadySoFar(const std::vector<CycleCounts::Seen>& ready, double now,
                                      ReadySoFar* soFar) {
  // A few times a second at most, and only once enough is new: judging a large drop takes
  // seconds, and the counts show it growing meanwhile instead of what was there before.
  constexpr std::size_t kAtLeast = 64;
  constexpr double kEvery = 0.25;
  if (ready.size() < soFar->published + kAtLeast) return;
  const double at = defaultClock().now();
  if (soFar->at >= 0 && at - soFar->at < kEvery) return;
  std::vector<CycleCounts::Seen> added(
      ready.begin() + static_cast<std::ptrdiff_t>(soFar->published), ready.end());
  counts_.noteWalk(added, {}, now);
  soFar->published = ready.size();
  soFar->at = at;
  statusChanged();
}

bool AppController::countReadOnly(const std::string& folder, bool upkeep) {
  MutexLock walkLock(&sourceWalkMutex_);
  const double now = defaultClock().now();
  if (upkeep) {
    if (!countUpkeep_.stillDue()) return false;  // a pass's walk counted meanwhile
    if (countUpkeep_.mayTrustQueue(now) && walkCache_.changesUnder(folder) == false) {
      countUpkeep_.counted(now, false);
      return false;
    }
  }
  const std::uint64_t departures = counts_.departures();
  counts_.beginWalk();
  if (!defaultFileSystem().isDirectory(folder)) {  // nothing waits in a folder that is not there
    if (!counts_.replaceReadyUnlessLeft({}, now, departures)) return false;
    countUpkeep_.counted(now, true);
    return true;
  }
  carryOverFirstSeen(folder);
  const ItemRules rules = scanRules(now);
  std::vector<CycleCounts::Seen> ready;
  ReadySoFar soFar;
  // The scan's own judgement of each photo, and nothing else: no folder is made in the mirror,
  // no photo is chosen, nothing is moved.
  const bool walked =
      walkCache_.enumerate(folder, verdictKeyOf(rules), [&](const FolderEntry& entry) {
        if (quitting_) return Visit::Stop;
        if (entry.isFolder()) return Visit::Continue;
        publishReadySoFar(ready, now, &soFar);
        noteSeen(entry);
        return countOnly(entry, rules, &ready);
      });
  if (!walked || quitting_) return false;
  forgetUnseenFiles();
  // An upload that ended meanwhile may have taken a photo the walk saw: the next count tells.
  if (!counts_.replaceReadyUnlessLeft(ready, now, departures)) return false;
  countUpkeep_.counted(now, true);
  return true;
}

void AppController::scanFolderOnMainThread(const Notification* note) {
  std::optional<ScanRequest> scan = beginScan(note);
  if (!scan) return;
  const ItemRules rules = scanRules(defaultClock().now());

  std::optional<FolderEntry> chosen = walkForNextItem(*scan, rules);
  ibUpdateFTPCallbackStatusTextField("");
  if (!chosen) {
    scanNothingFound(scan->root, scan->request);
    scanEnd(scan->working);
    return;
  }
  std::optional<PreparedItem> item = prepareChosenItem(*scan, *chosen, rules);
  if (!item) return;
  DictRef info = buildUploadInfo(*scan, *chosen, *item);
  NotificationCenter::defaultCenter().post(kPrepareUploadStartNotification, this, info);
  scanEnd(scan->working);
}

std::optional<AppController::ScanRequest> AppController::beginScan(const Notification* note) {
  // The check and the flag are one step under the controller's lock, as is the end's look at
  // the counter: a request counted while a scan ends is never lost.
  bool already = false;
  {
    RecursiveMutexLock lock(&fThreadLock);
    already = gIsScanning;
    if (already) {
      storeNeedsToRescan(true);
    } else {
      storeNeedsToRescan(false);
      storeIsScanningFolder(true);
    }
  }
  if (already) {
    NSLog("\n ******** Already Started a scanning process  [%lli] *******\n\n",
          static_cast<long long>(gNeedsToRescan.load()));
    return std::nullopt;
  }
  if (gStartedUploadProcess) {
    NSLog(
        "Cannot Scan Folder Yet - while an upload is still in progress!!!!!!!!!!!!!!!!!!!!!!!!!!!"
        "\n\n");
    setIsScanningFolder(false);
    return std::nullopt;
  }
  if (gDidHaltProcess) {
    ibUpdateFTPCallbackStatusTextField("Process Halted... Click Resume If You Wish To Continue...");
    setIsScanningFolder(false);
    return std::nullopt;
  }
  if (!note || !note->userInfo) {
    ibUpdateFTPCallbackStatusTextField(
        "BAD Internal ERROR!!!!! No Info To Start Scan of Folder...");
    setIsScanningFolder(false);
    return std::nullopt;
  }
  ScanRequest scan;
  scan.request = note->userInfo;
  scan.working = makeDict(*scan.request);
  scan.working->erase(kHttpError);
  const std::string* rootPtr = dictGetString(*scan.working, kLocalRootFolder);
  const std::string* mirrorPtr = dictGetString(*scan.working, kLocalMirrorFolder);
  const std::string* eventPtr = dictGetString(*scan.working, kUserEnteredEventName);
  if (!rootPtr || !mirrorPtr || !eventPtr) {
    MessageLog::LogMessage("Passed Note:\n" + Value(*scan.request).description() + "\n\n");
    MessageLog::LogMessage(
        !rootPtr ? "Unable to determine root folder to start the enumeration process..."
        : !mirrorPtr
            ? "Unable to determine dest folder to start the enumeration process..."
            : "Unable to determine userEnteredEventName to start the enumeration process...");
    setIsScanningFolder(false);
    return std::nullopt;
  }
  scan.root = *rootPtr;
  scan.mirror = *mirrorPtr;
  scan.eventName = *eventPtr;
  return scan;
}

std::optional<FolderEntry> AppController::walkForNextItem(const ScanRequest& scan,
                                                          const ItemRules& rules) {
  // A file turned down for what it is (its name, its type, its own contents) stays turned
  // down until it changes, under the same settings: the walk then leaves it out. Verdicts that
  // depend on other files or on the time (a movie beside it, a hold) are never kept.
  const std::uint64_t verdictKey = verdictKeyOf(rules);
  //
  // The counts come from the same walk: the photos it judged ready are waiting. Every few
  // seconds (and whenever nothing is left to choose) the walk goes on past the chosen item
  // and counts the whole tree; in between, the outcomes and the part walked keep the counts.
  std::optional<FolderEntry> chosen;
  std::optional<FolderEntry> alone;  // held back by its relaunches: goes when nothing else does
  std::string passedOver;            // the first photo held back by its relaunches
  const double now = defaultClock().now();
  if (countsOn_) carryOverFirstSeen(scan.root);
  const bool fullCount =
      countsOn_ && (lastFullCount_ < 0 || now - lastFullCount_ >= kFullCountSeconds);
  std::vector<CycleCounts::Seen> ready;
  std::vector<std::string> notReady;
  ReadySoFar soFar;
  MutexLock walkLock(&sourceWalkMutex_);
  if (countsOn_) counts_.beginWalk();
  const bool walked = walkCache_.enumerate(scan.root, verdictKey, [&](const FolderEntry& entry) {
    if (entry.isFolder()) {
      if (!chosen)
        defaultFileSystem().makeDirectory(appendingPathComponent(scan.mirror, entry.relativePath),
                                          entry.info.mode);
      return Visit::Continue;
    }
    if (fullCount) publishReadySoFar(ready, now, &soFar);
    noteSeen(entry);
    if (chosen) return countOnly(entry, rules, &ready);  // counting only, past the chosen item
    Visit visit = judgeScanEntry(entry, rules);
    if (countsOn_) countEntry(entry, visit, rules, &ready, &notReady);
    if (visit == Visit::Continue && rules.isHeld &&
        retryBook_.relaunches(entry.fullPath) >= ItemRetryBook::kHoldAfterRelaunches &&
        retryBook_.isHeld(entry.fullPath, now)) {
      if (passedOver.empty()) passedOver = entry.fullPath;
      if (!alone && retryBook_.goesWhenAlone(entry.fullPath, now)) alone = entry;
    }
    if (visit == Visit::Stop) {
      chosen = entry;
      if (fullCount) return Visit::Continue;
    }
    return visit;
  });
  if (chosen && !passedOver.empty()) {
    reportRelaunchHold(passedOver);
  } else if (!chosen && alone) {
    // No other photo is ready: the held-back one is tried, if it is ready itself.
    ItemRules unheld = rules;
    unheld.isHeld = nullptr;
    if (judgeScanEntry(*alone, unheld) == Visit::Stop) chosen = alone;
  }
  if (countsOn_ && walked) {
    if (fullCount || !chosen) {
      counts_.replaceReady(ready, now);
      lastFullCount_ = now;
      countUpkeep_.counted(now, true);
    } else {
      counts_.noteWalk(ready, notReady, now);
    }
    statusChanged();
  }
  // A walk that saw the whole tree: what it did not see has left the folder.
  if (walked && (fullCount || !chosen)) forgetUnseenFiles();
  // Until the source-folder watcher runs, a change that landed while the walk was under way
  // would wait for the timer; the walk's own change queue asks for the next pass instead.
  if (!chosen && !isInWatchFolderInstaller() && walkCache_.pollChanges()) setNeedsToRescan(true);
  return chosen;
}

std::optional<AppController::PreparedItem> AppController::prepareChosenItem(
    const ScanRequest& scan, const FolderEntry& chosen, const ItemRules& rules) {
  const std::string& fullPath = chosen.fullPath;
  const std::string& relPath = chosen.relativePath;
  const std::string fileName = lastPathComponent(relPath);
  if (rules.isHeld) {
    FileInfo now;
    if (defaultFileSystem().stat(fullPath, &now) == 0 &&
        retryPendingMove(scan.root, relPath, now)) {
      scanEnd(scan.working);
      return std::nullopt;
    }
  }
  if (!metaDataOf(fullPath) && !isClientLogin()) {
    // Still being written: the next scan request tries again.
    defaultClock().sleepFor(1.0);
    setIsScanningFolder(false);
    setNeedsToRescan(true);
    return std::nullopt;
  }
  auto fuse = Preferences::getVyrFuseAction();
  if (fuse) cycle::doArdent = strcasecmp(fuse->c_str(), "upload.upload") != 0;
  Dict& working = *scan.working;
  if (cycle::doArdent) working[kUserEnteredClientName] = deletingPathExtension(fileName);
  if (rules.formBaseId) {
    working[kUserEnteredClientName] = baseIdClientName(fileName);
  } else if (!cycle::doArdent) {
    working[kUserEnteredClientName] = lastPathComponent(deletingLastPathComponent(relPath));
  }

  std::optional<Date> date;
  if (!defaultFileSystem().exists(fullPath)) {
    NSLog("WHAT???? FILE is LOST or Missing????? [%s]\n\n", fullPath.c_str());
  } else {
    date = GetAndUpdateFileCreationDate(fullPath, true, false);
  }
  if (!date) {
    scanNothingFound(scan.root, scan.request);
    scanEnd(scan.working);
    return std::nullopt;
  }
  PreparedItem item;
  item.captureTime = formatCycleDate(date->secondsSince1970);
  item.fuseAction = fuse.value_or("upload.upload");
  item.metaText = Preferences::getPrefMetaData().value_or(defaultMetaDataText(item.fuseAction));
  return item;
}

DictRef AppController::buildUploadInfo(const ScanRequest& scan, const FolderEntry& chosen,
                                       const PreparedItem& item) {
  const std::string& fullPath = chosen.fullPath;
  const std::string& fuseAction = item.fuseAction;
  std::string captureTime = item.captureTime;
  DictRef info = makeDict(*scan.working);
  const bool plainUpload = strcasecmp(fuseAction.c_str(), "upload.upload") == 0;
  if (!plainUpload) {
    if (auto comment = readUserCommentPropertyList(fullPath)) {
      if (const Dict* kestrel = dictGetDict(*comment, QMKestrelInfo))
        (*info)[kEdKestrelInfo] = *kestrel;
      if (const Array* emails = dictGetArray(*comment, QMEmailsForUpload)) {
        if (!emails->empty()) (*info)[kEdEmails] = joinEmails(*emails);
      }
    }
  }
  bool needSitting = true;
  const std::string folderPath = deletingLastPathComponent(fullPath);
  if (auto meta = readMetaData(fullPath)) {
    if (const std::string* original = dictGetString(*meta, "OriginalPath"))
      (*info)[kEdOriginalPath] = *original;
    if (const std::string* station = dictGetString(*meta, QMKioskStation))
      (*info)[kEdKioskStation] = *station;
    if (const std::string* movie = safeMovieName(*meta, fullPath))
      (*info)[kEdMuxedMovieName] = appendingPathComponent(folderPath, *movie);
    if (const Dict* sitting = dictGetDict(*meta, "SittingInfoDictionary")) {
      (*info)[kEdSittingInfoDictionary] = *sitting;
      if (const Value* when = dictGet(*sitting, "capturetime")) {
        if (const Date* d = when->asDate())
          captureTime = formatCycleDate(d->secondsSince1970);
        else if (auto text = when->stringValue())
          captureTime = *text;
      }
      needSitting = false;
    } else if (strcasecmp(fuseAction.c_str(), "upload.isling") == 0) {
      NSLog("No SittingInfoDictionary in [%s] for fuse action %s", fullPath.c_str(),
            fuseAction.c_str());
    }
  }
  if (needSitting) {
    auto login = Preferences::getCurUserLoginName();
    if (login && strcasecmp(login->c_str(), kSittingClientLoginName) == 0)
      (*info)[kEdSittingInfoDictionary] = Dict{{"sittingid", getBaseIDFromFileName(fullPath)}};
  }

  const std::string* clientName = dictGetString(*scan.working, kUserEnteredClientName);
  // The item is moved back out of the folder it was found in.
  (*info)[kLocalRootFolder] = scan.root;
  if (auto m = Preferences::getLocalMasterMirrorSiteFolder()) (*info)[kLocalMirrorFolder] = *m;
  (*info)[kLocalItem] = chosen.relativePath;
  (*info)[kEdUser] = curUserName().value_or("");
  (*info)[kEdPasswd] = curPassword().value_or("");
  (*info)[kEdFileName] = fullPath;
  (*info)[kEdClientName] = clientName ? *clientName : std::string();
  (*info)[kEdEventName] = scan.eventName;
  (*info)[kEdMetaData] = item.metaText;
  (*info)[kEdCaptureTime] = captureTime;
  (*info)[kEdVyrFuseAction] = fuseAction;
  return info;
}

void AppController::scanNothingFound(const std::string& folder, const DictRef& request) {
  // Nothing waits: whatever the site said before stops nothing now.
  stoppedBySite_ = false;
  NSLog("Scanning done - NO File found for uploading...");
  ibUpdateUploadStatusTextField("Done With Iteration...");
  ibUpdateFTPCallbackStatusTextField("Waiting For New Images...");
  spawn("watchInstall", [this, folder] { doWatchFolderInThread(folder); });
  if (!retryBook_.empty()) {
    retryBook_.prune([](const std::string& path) {
      FileInfo info;
      return defaultFileSystem().lstat(path, &info) == 0;
    });
    mainRunLoop().post([this] { armHeldRetryTimer(); });
  }
  NotificationCenter::defaultCenter().post(kCleanUpAfterCompleteLoop, this, request);
  doSetupRetriggerTimerOnMainThread();
}

void AppController::scanEnd(const DictRef& working) {
  bool again = false;
  {
    RecursiveMutexLock lock(&fThreadLock);
    storeIsScanningFolder(false);
    again = gNeedsToRescan.load() != 0;
  }
  working->clear();
  if (again) spawn("open", [this] { openFileOnMainThread(); });
}

}  // namespace sorv
