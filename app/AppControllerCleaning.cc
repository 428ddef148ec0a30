// Cleaning at start-up and at quit: empty folders, old photos, the day's log file.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

#include "app/AppController.h"
#include "files/FolderCleaning.h"
#include "files/QMI_FileManager.h"
#include "log/MessageLog.h"
#include "logfiles/QMLogFileManager.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/ProgressWindow.h"
#include "settings/Preferences.h"

namespace sorv {
namespace {

constexpr std::int16_t kDefaultDaysOldBeforeDeleting = 30;
constexpr double kSecondsPerDay = 86400;
// The old-photo job waits this long after launch, so that the first pass starts first.
constexpr double kDelayBeforeDeletingOldPhotos = 4;
constexpr double kDelayStep = 0.25;

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The days preference as the job uses it; unset or not a positive number of days gives the
// default (0 or fewer days would make every photo in the mirror folder old).
std::int16_t daysOldBeforeDeleting() {
  std::optional<Value> pref = Preferences::getPrefDaysOldBeforeDeleting();
  if (!pref) {
    NSLog("deleteOldOldPhotosAndFolderIfEmpty => getPrefDaysOldBeforeDeleting returned nil???");
  } else {
    auto days = static_cast<std::int16_t>(pref->integerValue());
    if (days > 0) return days;
    NSLog("deleteOldOldPhotosAndFolderIfEmpty => getPrefDaysOldBeforeDeleting is [%i]???",
          static_cast<int>(days));
  }
  NSLog("deleteOldOldPhotosAndFolderIfEmpty => Reverting to Default value of [%i] days...",
        static_cast<int>(kDefaultDaysOldBeforeDeleting));
  return kDefaultDaysOldBeforeDeleting;
}

std::string dateText(double seconds) {
  return Value(Date{seconds}).description();
}

}  // namespace

void AppController::setupConsoleLogFile() {
  if (Preferences::getDoRedirectNSLog()) {
    QMLogFileManager::setupLogFile();
  } else {
    NSLog("prefDoRedirectNSLog is OFF: console lines stay on standard error...");
  }
}

void AppController::deleteOldLogFiles() {
  NSLog("Checking for Old Log Files to Delete...");
  double now = defaultClock().wallNow();
  std::int32_t days = Preferences::getDaysToSaveLogs();
  QMLogFileManager::deleteOldLogsWithOptions({{"deleteSubDirectory", true},
                                              {"deleteImmediately", true},
                                              {"beforeDate", Date{now - days * kSecondsPerDay}}});
  NSLog("Checking for Old Log Files to Delete...Done.");
  NSLog("Checking for Old \"myConsole.Log\" Files to Delete...");
  days = Preferences::getDaysToSaveLogs();
  QMLogFileManager::deleteOldLogsWithOptions({{"deleteSubDirectory", false},
                                              {"deleteImmediately", true},
                                              {"sourcePath", "~/Documents"},
                                              {"baseName", "myConsole"},
                                              {"beforeDate", Date{now - days * kSecondsPerDay}}});
  NSLog("Checking for Old \"myConsole.Log\" Files to Delete...Done.");
}

void AppController::deleteEmptySourceFoldersAtStartup() {
  std::optional<std::string> source = Preferences::getLocalSourceUploadFolder();
  if (!source || source->empty() || !claimSourceFolder(*source)) return;
  // Each walk removes one level of nested empty folders.
  QMI_FileManager::deleteOLDFolderIfEmpty(*source, false, 3);
  QMI_FileManager::deleteOLDFolderIfEmpty(*source, false, 3);
}

void AppController::deleteEmptySourceFoldersAtQuit() {
  ibDeleteLocalFtpFolderIfEmpty(nullptr);
}

void AppController::ibDeleteLocalFtpFolderIfEmpty(AppControl*) {
  std::optional<std::string> source = Preferences::getLocalSourceUploadFolder();
  if (!source || !isFolder(*source) || !claimSourceFolder(*source)) return;
  std::unique_ptr<myProgressWindowController> window = makeProgressWindow("maintenanceWindow");
  if (window) {
    window->showWindow();
    window->ibUpdateLine1TextField("Deleting Empty Folders in the Source Upload Folder:", false);
    window->ibUpdateLine2TextField("", false);
    window->ibUpdateProgressBar("YES");
  } else {
    NSLog("%s", kNoProgressWindowLog);
  }
  Date cutoff{defaultClock().wallNow() - 2 * kSecondsPerDay};
  QMI_FileManager::deleteFolderIfEmpty(*source, true, cutoff, window.get());
  if (window) window->close();
}

void AppController::doSetupDeleteOldPhotosThread() {
  // Read here and again by the job: no thread at all while the preference is off.
  if (!Preferences::getPrefUseDoDeleteOldPhotos()) return;
  spawn("deleteOldPhotos", [this] {
    NSLog("doSetupDeleteOldPhotosThread - Started...");
    deleteOldOldPhotosAndFolderIfEmptyWorks();
    if (!quitting_) {
      if (std::optional<std::string> mirror = Preferences::getLocalMasterMirrorSiteFolder())
        QMI_FileManager::deleteFolderIfEmpty(*mirror, false);
    }
    NSLog("doSetupDeleteOldPhotosThread - Done...");
  });
}

void AppController::deleteOldOldPhotosAndFolderIfEmptyWorks() {
  if (!Preferences::getPrefUseDoDeleteOldPhotos()) {
    NSLog("deleteOldOldPhotosAndFolderIfEmpty -> preference is turned off...");
    return;
  }
  const std::int16_t days = daysOldBeforeDeleting();
  const double now = defaultClock().wallNow();
  const Date cutoff{now - days * kSecondsPerDay};
  NSLog("Current Date is now: [%s]", dateText(now).c_str());
  NSLog("Looking For Images that are EARLIER than: [%s]",
        dateText(cutoff.secondsSince1970).c_str());

  const std::string mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
  struct stat st;
  if (mirror.empty() || stat(mirror.c_str(), &st) != 0) {
    myNSLog("testDirectory=> source item FOLDER does NOT exist: %s\n", mirror.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    myNSLog("testDirectory=> source item is NOT a Folder: %s\n", mirror.c_str());
    return;
  }
  const std::optional<std::string> source = Preferences::getLocalSourceUploadFolder();
  if (std::optional<std::string> why = refusalForCleaningRoot(mirror, source)) {
    myNSLog("deleteOldOldPhotosAndFolderIfEmpty => will not delete photos in [%s]: %s",
            mirror.c_str(), why->c_str());
    return;
  }

  // In short steps, so that a quit (or the controller's end) does not wait for the delay.
  for (double left = kDelayBeforeDeletingOldPhotos; left > 0 && !quitting_; left -= kDelayStep)
    defaultClock().sleepFor(std::min(left, kDelayStep));
  if (quitting_) return;

  std::unique_ptr<myProgressWindowController> window = makeProgressWindow("maintenanceWindow");
  if (window) {
    window->ibUpdateLine1TextField(
        stringWithFormat("Deleting the OLD Photos (older than %i days)...", static_cast<int>(days)),
        false);
    window->ibUpdateLine2TextField("", false);
    window->ibUpdateProgressBar("YES");
    window->showWindow();
  } else {
    NSLog("%s", kNoProgressWindowLog);
  }
  OldPhotoCounts counts = deleteOldPhotosBelow(mirror, cutoff, window.get(), source,
                                               [this] { return quitting_.load(); });
  MessageLog::LogMessage(
      stringWithFormat("Deleted %zu old photos from the mirror folder (%zu "
                       "failed, %zu old files that are not images kept)",
                       counts.deleted, counts.failed, counts.skipped));
  if (window) window->close();
}

}  // namespace sorv
