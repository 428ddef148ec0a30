// What happens to an item after its upload: mirror folder, problem folder or a retry.
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <optional>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "files/QMI_FileManager.h"
#include "log/LogText.h"
#include "log/MessageLog.h"
#include "metadata/ItemRules.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/fs/FileSystem.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "upload/UploadReply.h"

namespace sorv {

using namespace cycle;

namespace {

bool existsAt(const std::string& path) {
  FileInfo info;
  return defaultFileSystem().lstat(path, &info) == 0;
}

bool isRegularFileAt(const std::string& path) {
  FileInfo info;
  return defaultFileSystem().lstat(path, &info) == 0 && info.type == FileType::Regular;
}

std::string relativeBeside(const std::string& item, const std::string& fileName) {
  std::string folder = deletingLastPathComponent(item);
  return folder.empty() ? fileName : appendingPathComponent(folder, fileName);
}

// The relative paths of the movies that go with the item: the movie its upload named, and
// the movie that matches the image's name, each once, when they are regular files beside the
// item (a link stays where it is).
std::vector<std::string> movieItemPaths(const Dict& info, const std::string& root,
                                        const std::string& item) {
  std::vector<std::string> movies;
  const std::string full = appendingPathComponent(root, item);
  const std::string folder = deletingLastPathComponent(full);
  auto add = [&](const std::string& path) {
    if (deletingLastPathComponent(path) != folder || path == full || !isRegularFileAt(path)) return;
    std::string rel = relativeBeside(item, lastPathComponent(path));
    if (std::find(movies.begin(), movies.end(), rel) == movies.end()) movies.push_back(rel);
  };
  if (const std::string* named = dictGetString(info, kEdMuxedMovieName)) add(*named);
  if (auto matching = getMatchingExistingMovieFilePath(full)) add(*matching);
  return movies;
}

// The first sent file that its path no longer names unchanged (another file renamed over
// it, or written to since it was opened), or "" when every sent file is as it was sent.
std::string changedSinceSent(const Dict& info) {
  const Dict* sent = dictGetDict(info, kHttpSentFiles);
  if (!sent) return "";
  for (const auto& [path, value] : *sent) {
    const Dict* id = value.asDict();
    FileInfo now;
    if (!id || defaultFileSystem().lstat(path, &now) != 0) continue;  // gone: nothing to keep
    auto field = [&](const char* key) {
      const Value* v = dictGet(*id, key);
      return v ? v->integerValue() : -1;
    };
    if (static_cast<std::int64_t>(now.device) != field("device") ||
        static_cast<std::int64_t>(now.inode) != field("inode") ||
        static_cast<std::int64_t>(now.size) != field("size") || now.mtimeNs != field("mtimeNs"))
      return path;
  }
  return "";
}

// The version of path that was sent (status-change time left out), from the reply info.
std::optional<FileStamp> sentStamp(const Dict& info, const std::string& path) {
  const Dict* sent = dictGetDict(info, kHttpSentFiles);
  const Dict* id = sent ? dictGetDict(*sent, path) : nullptr;
  if (!id) return std::nullopt;
  auto field = [&](const char* key) {
    const Value* v = dictGet(*id, key);
    return v ? v->integerValue() : 0;
  };
  return FileStamp{static_cast<std::uint64_t>(field("inode")),
                   static_cast<std::uint64_t>(field("device")),
                   static_cast<std::uint64_t>(field("size")), field("mtimeNs"), 0};
}

// The movies sent with the item, relative like it: the ones beside it that went with it.
std::vector<std::string> sentMovies(const Dict& info, const std::string& root,
                                    const std::string& item) {
  std::vector<std::string> movies;
  const Dict* sent = dictGetDict(info, kHttpSentFiles);
  if (!sent) return movies;
  const std::string full = appendingPathComponent(root, item);
  for (const auto& [path, id] : *sent) {
    if (path == full || deletingLastPathComponent(path) != deletingLastPathComponent(full))
      continue;
    movies.push_back(relativeBeside(item, lastPathComponent(path)));
  }
  return movies;
}

std::string errnoText(int rc) {
  return rc ? std::strerror(rc) : "the file is still in the source folder";
}

}  // namespace

FileStamp AppController::uploadStamp(const FileInfo& info) {
  // The status-change time is left out: a failed move attempt may touch it.
  FileStamp stamp = FileStamp::of(info);
  stamp.ctimeNs = 0;
  return stamp;
}

void AppController::pacedSleep(double seconds) {
  if (seconds <= 0) return;
  std::unique_lock<std::mutex> lock(waitMutex_);
  defaultClock().sleepUnless(waitCv_, lock, seconds, [this] {
    return wakeWaits_.load() || quitting_.load() || gWantsToHaltProcess.load();
  });
  wakeWaits_ = false;
}

void AppController::wakeWaits() {
  {
    std::lock_guard<std::mutex> lock(waitMutex_);
    wakeWaits_ = true;
  }
  waitCv_.notify_all();
}

void AppController::completeRequestedHalt() {
  if (!gWantsToHaltProcess || gDidHaltProcess) return;
  setDidHaltProcess(true);
  AppControl* button = view_ ? view_->pauseResumeButton() : nullptr;
  if (button) {
    mainRunLoop().post([button] {
      button->setTitle("Resume");
      button->setEnabled(true);
    });
  }
}

void AppController::moveMoviesAfter(const std::string& root, const std::vector<std::string>& movies,
                                    bool toMirror, std::string* firstInProblem) {
  auto problem = Preferences::getLocalProblemUploadFolder();
  for (const std::string& movie : movies) {
    if (toMirror) QMI_FileManager::moveFileToPath(movie, root);
    // A movie never stays behind its photo: when the mirror cannot take it, the problem
    // folder does.
    std::string placed;
    if (existsAt(appendingPathComponent(root, movie)) && problem &&
        QMI_FileManager::moveFileToProblemFolder(movie, root, *problem, &placed) == 0 &&
        firstInProblem && firstInProblem->empty())
      *firstInProblem = placed;
  }
}

void AppController::placeUploadedItem(const std::string& root, const std::string& item,
                                      const std::vector<std::string>& movies) {
  const std::string full = appendingPathComponent(root, item);
  int rc = QMI_FileManager::moveFileToPath(item, root);
  if (!existsAt(full) && rc != 0) {
    // Not moved, and its path names nothing now: its folder went away (renamed, swapped for a
    // link) or it was deleted. Should the same file come back, only its move is done.
    if (!retryBook_.keepForReturn(full, defaultClock().now())) {
      retryBook_.forget(full);
      return;
    }
    showInRed(stringWithFormat("Uploaded, But [%s] Was Gone Before It Could Be Moved: %s",
                               item.c_str(), errnoText(rc).c_str()));
    if (retryBook_.takeHoldReport(full)) {
      MessageLog::LogMessage(
          stringWithFormat("Uploaded [%s], but its path was gone when it was to be moved into "
                           "the mirror folder (%s); if the same file comes back, it is not "
                           "uploaded again, only moved",
                           full.c_str(), errnoText(rc).c_str())
              .c_str(),
          true);
    }
    return;
  }
  if (!existsAt(full)) {
    moveMoviesAfter(root, movies, true);
    retryBook_.forget(full);
    return;
  }
  const std::string why = errnoText(rc);
  int tries = retryBook_.recordMoveFailure(full, defaultClock().now(), why);
  if (tries >= ItemRetryBook::kMoveTries) {
    auto problem = Preferences::getLocalProblemUploadFolder();
    std::string placed, movie;
    if (problem) QMI_FileManager::moveFileToProblemFolder(item, root, *problem, &placed);
    if (!existsAt(full)) {
      moveMoviesAfter(root, movies, false, &movie);
      retryBook_.forget(full);
      recordProblem(nullptr, placed.empty() ? item : placed, movie,
                    stringWithFormat("Uploaded, but the mirror folder could not take it after "
                                     "%d tries (%s)",
                                     tries, why.c_str()));
      counts_.forget(item);
      recountProblemFolder();
      showInRed(stringWithFormat(
          "Uploaded, But The Mirror Folder Could Not Take It After %d Tries: Moved [%s] To The "
          "Problem Folder (%s)",
          tries, item.c_str(), why.c_str()));
      myNSLog(
          "Uploaded [%s], but %d moves into the mirror folder failed (%s); it was moved to "
          "the problem folder",
          full.c_str(), tries, why.c_str());
      return;
    }
  }
  // The photo is not sent again: later passes retry only the move, after a growing wait.
  showInRed(stringWithFormat("Uploaded, But Could Not Move [%s] Into The Mirror Folder: %s",
                             item.c_str(), why.c_str()));
  if (retryBook_.takeHoldReport(full)) {
    MessageLog::LogMessage(
        stringWithFormat("Uploaded [%s], but it could not be moved into the mirror folder (%s); "
                         "it will not be uploaded again, only its move is retried",
                         full.c_str(), why.c_str())
            .c_str(),
        true);
  }
}

bool AppController::retryPendingMove(const std::string& root, const std::string& item,
                                     const FileInfo& info) {
  const std::string full = appendingPathComponent(root, item);
  auto movies = retryBook_.pendingMove(full, uploadStamp(info));
  if (!movies) return false;
  setStartedUploadProcess(true);
  ibUpdateFileNameField(item);
  NSLog("[%s] was uploaded already; only its move is tried again", full.c_str());
  placeUploadedItem(root, item, *movies);
  if (!existsAt(full)) {
    counts_.forget(item);
    statusChanged();
  }
  DictRef done = makeDict(Dict{{kLocalRootFolder, root}, {kLocalItem, item}});
  NotificationCenter::defaultCenter().post(kCleanUpAfterUploadNotification, this, done);
  return true;
}

void AppController::armHeldRetryTimer() {
  if (heldRetryTimer_) heldRetryTimer_->invalidate();
  heldRetryTimer_.reset();
  if (quitting_) return;
  double now = defaultClock().now();
  auto end = retryBook_.earliestHoldEnd(now);
  if (!end) return;
  heldRetryTimer_ = mainRunLoop().scheduleTimer(*end - now + 0.01, false, [this](Timer&) {
    if (gStartedUploadProcess || gDidHaltProcess || quitting_) return;
    if (backoffHoldsAutomaticPass("A held item's retry")) return;
    NSLog("A held item's wait is over; opening the source folder again");
    applicationOpenFile(Preferences::getLocalSourceUploadFolder());
  });
}

bool AppController::keepsChangedItem(const Dict& info, const std::string& full) {
  std::string changed = changedSinceSent(info);
  if (changed.empty()) return false;
  // The site has the bytes that were read; the file now at the path is another version,
  // which only the next pass can send.
  retryBook_.forget(full);
  MessageLog::LogMessage(
      stringWithFormat("[%s] changed while it was being uploaded; the new version stays in the "
                       "source folder and is uploaded by the next pass",
                       changed.c_str())
          .c_str(),
      true);
  return true;
}

void AppController::handleNotification_UploadSuccess(const Notification* note) {
  DictRef info = note ? note->userInfo : nullptr;
  if (!info) {
    NSLog("Uknown Item to handle as success?????\n\n");
  } else {
    const std::string* root = dictGetString(*info, kLocalRootFolder);
    const std::string* item = dictGetString(*info, kLocalItem);
    if (!root) {
      NSLog("Inside %s => %s... PASSED BAD cDictKeyLocalSourceUploadFolder", "AppController",
            "handleNotification_UploadSuccess:");
    } else if (!item) {
      NSLog("Inside %s => %s... PASSED BAD cDictKeyCurItem", "AppController",
            "handleNotification_UploadSuccess:");
    } else {
      // The movies are looked for first: they are found beside the image, before it moves.
      auto movies = movieItemPaths(*info, *root, *item);
      FileInfo uploaded;
      const std::string full = appendingPathComponent(*root, *item);
      noteSiteOutcome(SiteBackoff::Outcome::Success, *item);
      const bool relaunched = retryBook_.relaunches(full) > 0;
      if (!keepsChangedItem(*info, full)) {
        if (defaultFileSystem().stat(full, &uploaded) == 0) {
          retryBook_.recordUploaded(full, uploadStamp(uploaded), movies);
        } else if (auto sent = sentStamp(*info, full)) {
          // Gone already (its folder went away while it uploaded): what was sent is kept.
          movies = sentMovies(*info, *root, *item);
          retryBook_.recordUploaded(full, *sent, movies);
        }
        placeUploadedItem(*root, *item, movies);
      }
      // A photo that had made the agent relaunch is forgotten by the next process too.
      if (relaunched) saveCarriedState(false);
      countOutcome(*info, true, "");
    }
  }
  NotificationCenter::defaultCenter().post(kCleanUpAfterUploadNotification, this, info);
}

bool AppController::moveFailedItem(const Dict& info, const std::string& reason) {
  const std::string* root = dictGetString(info, kLocalRootFolder);
  const std::string* item = dictGetString(info, kLocalItem);
  auto problem = Preferences::getLocalProblemUploadFolder();
  if (!root) {
    NSLog("Inside %s => %s... PASSED BAD cDictKeyLocalSourceUploadFolder", "AppController",
          "handleNotification_UploadFail:");
  } else if (!item) {
    NSLog("Inside %s => %s... PASSED BAD cDictKeyCurItem", "AppController",
          "handleNotification_UploadFail:");
  } else if (keepsChangedItem(info, appendingPathComponent(*root, *item))) {
    return true;
  } else if (problem) {
    auto movies = movieItemPaths(info, *root, *item);
    std::string placed, movie;
    QMI_FileManager::moveFileToProblemFolder(*item, *root, *problem, &placed);
    if (!existsAt(appendingPathComponent(*root, *item))) {
      moveMoviesAfter(*root, movies, false, &movie);
      recordProblem(&info, placed.empty() ? *item : placed, movie, reason);
    }
  }
  return false;
}

AppController::FailureVerdict AppController::readFailedReply(const Dict& info) {
  FailureVerdict v;
  if (const Dict* error = dictGetDict(info, kHttpError)) {
    const std::string* desc = dictGetString(*error, "localizedDescription");
    v.errorText = desc ? *desc : Value(*error).description();
  } else if (const Value* e = dictGet(info, kHttpError)) {
    v.errorText = e->stringValue().value_or(e->description());
  }
  if (dictGet(info, kHttpError)) {
    showInRed(v.errorText);
    v.reason = v.errorText;
    v.unreachable = true;
    pacedSleep(1.0);
  }
  if (const Value* custom = dictGet(info, kHttpOurCustomError)) {
    v.reason = custom->stringValue().value_or(custom->description());
    showInRed(v.reason);
    v.stop = true;
  }
  // The site's texts go into status lines, log lines and the status report: bounded.
  const std::string* message = dictGetString(info, kHttpOurCustomMessage);
  const std::string messageText = message ? clippedForLog(*message) : std::string();
  if (const std::string* status = dictGetString(info, kHttpOurCustomStatus)) {
    if (replyWordEquals(status, "ERROR")) {
      showInRed(messageText);
      v.stop = true;
    } else if (replyWordEquals(status, "Warning")) {
      showInRed(messageText);
      v.move = true;
    } else if (replyWordEquals(status, "OK")) {
      ibUpdateFTPCallbackStatusTextField(messageText, false);
      ibUpdateUploadStatusTextField(messageText);
    }
    if (v.reason.empty()) v.reason = clippedForLog(*status) + ": " + messageText;
  }
  if (const Value* code = dictGet(info, kHttpStatusCode)) {
    long status = static_cast<long>(code->integerValue());
    const Value* asked = dictGet(info, kHttpRetryAfter);
    if (asked && (status == 429 || status == 503)) {
      // The site is busy and says for how long: not the photo's fault, so it stays, and the
      // whole cycle waits at least that long.
      v.retryAfter = asked->doubleValue();
      v.reason = stringWithFormat(
          "HTTP Server Returned Status Code: %li; the site asks to wait %.0f seconds", status,
          *v.retryAfter);
      showInRed(v.reason);
      v.unreachable = true;
    } else if (status == 429) {
      // Too many requests, with no wait the reply could give (none, or one that is no number
      // of seconds or date): still the site's state, not the photo's. It stays, and the whole
      // cycle backs off at once by its own growing wait.
      v.retryAfter = 0;
      v.reason = stringWithFormat(
          "HTTP Server Returned Status Code: %li; the site is busy and gives no usable wait",
          status);
      showInRed(v.reason);
      v.unreachable = true;
    } else if (status != 200) {
      v.reason = stringWithFormat("HTTP Server Returned Status Code: %li", status);
      showInRed(v.reason);
      pacedSleep(2.0);
      v.move = true;
      // A 5xx is about the site, not the photo.
      v.unreachable = v.unreachable || (status >= 500 && status <= 599);
    } else if (replyWordEquals(message, "No Email Addresses Sent")) {
      pacedSleep(2.0);
      v.move = true;
    }
  }
  return v;
}

void AppController::handleNotification_UploadFail(const Notification* note) {
  ibUpdateUploadStatusTextField("");
  DictRef info = note ? note->userInfo : nullptr;
  FailureVerdict v;
  bool keptNewVersion = false;
  const std::string* itemPath = info ? dictGetString(*info, kLocalItem) : nullptr;
  const std::string item = itemPath ? *itemPath : std::string();
  if (info) {
    v = readFailedReply(*info);
    // When the site fails for a second photo in a row, the site is at fault, not the photo:
    // it stays in the source for the backoff instead of going to the problem folder.
    if (v.move && v.unreachable && siteBackoffKeepsItem(item)) v.move = false;
    if (v.move) keptNewVersion = moveFailedItem(*info, v.reason);
  }
  auto& store = DefaultsStore::standard();
  if (info) {
    stoppedBySite_ = v.stop && !store.boolForKey(sPrefDoContinueAfterFailedUpload);
    countOutcome(*info, false, v.reason.empty() ? v.errorText : v.reason);
  }
  if (store.boolForKey(sPrefDoContinueAfterFailedUpload)) {
    v.stop = false;
    float secs = static_cast<float>(store.floatForKey(sPrefDoContinueAfterFailedUploadSecs));
    if (secs > 0) {
      std::string when = formatCycleDate(defaultClock().wallNow() + secs);
      ibUpdateFTPCallbackStatusTextField(
          v.errorText + stringWithFormat("\nWill Re-Try in %4.2f seconds (at: %s)",
                                         static_cast<double>(secs), when.c_str()),
          true);
      pacedSleep(secs);
    }
  }
  std::optional<double> backoff;
  if (info) {
    using Outcome = SiteBackoff::Outcome;
    backoff = noteSiteOutcome(v.stop          ? Outcome::StoppedCycle
                              : v.unreachable ? Outcome::Unreachable
                                              : Outcome::PhotoRefused,
                              item, v.retryAfter);
  }
  // A new version left in place is not held to the old one's failure.
  if (info && !keptNewVersion) paceItemLeftInPlace(*info, v.reason, v.stop || backoff.has_value());
  completeRequestedHalt();
  endFailedUpload(info, v.stop, backoff);
}

void AppController::endFailedUpload(const DictRef& info, bool stop, std::optional<double> backoff) {
  if (backoff) {
    // No next pass now: the backoff's timer brings it. A stop the site asked for waits for
    // auto-synchronise as before; a site out of reach is tried again in any case.
    setStartedUploadProcess(false);
    double wait = *backoff;
    bool onlyWhenAutomatic = stop;
    mainRunLoop().post(
        [this, wait, onlyWhenAutomatic] { armSiteBackoffTimer(wait, onlyWhenAutomatic); });
    return;
  }
  if (stop) {
    setStartedUploadProcess(false);
    // The site asked the cycle to stop; with auto-synchronise on, its timer still starts a
    // later pass, so one refusal does not stop the kiosk for good.
    mainRunLoop().post([this] { armRetriggerTimerAfterStop(); });
    return;
  }
  NotificationCenter::defaultCenter().post(kCleanUpAfterUploadNotification, this, info);
}

void AppController::paceItemLeftInPlace(const Dict& info, const std::string& reason, bool stop) {
  const std::string* root = dictGetString(info, kLocalRootFolder);
  const std::string* item = dictGetString(info, kLocalItem);
  if (!root || !item) return;
  const std::string full = appendingPathComponent(*root, *item);
  if (!existsAt(full)) {
    retryBook_.forget(full);
    return;
  }
  // A failure that leaves the item is followed by a wait that grows for that item; from the
  // third in a row the scan passes over it until the wait is over, so the photos behind it go.
  int failures = retryBook_.recordUploadFailure(full, defaultClock().now(), reason);
  double wait = ItemRetryBook::waitAfter(failures);
  if (failures < ItemRetryBook::kHoldAfter) {
    if (!stop) pacedSleep(wait);
    return;
  }
  std::string until = formatCycleDate(defaultClock().wallNow() + wait);
  showInRed(stringWithFormat("Holding Back [%s] After %d Failed Tries, Until %s: %s", item->c_str(),
                             failures, until.c_str(), reason.c_str()));
  if (retryBook_.takeHoldReport(full)) {
    MessageLog::LogMessage(
        stringWithFormat("Holding back [%s] after %d failed uploads in a row (%s); the photos "
                         "behind it go first, and it is tried again after a wait that grows up "
                         "to %.0f seconds",
                         full.c_str(), failures, reason.c_str(), ItemRetryBook::kMaxWait)
            .c_str(),
        true);
  }
}

}  // namespace sorv
