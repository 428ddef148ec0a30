// The cycle's state, display updates, pause/resume and the notification handlers that only
// touch state.
#include <strings.h>

#include <cstdlib>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "app/ProblemFolder.h"
#include "log/MessageLog.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Thread.h"
#include "platform/fs/FileSystem.h"
#include "settings/Preferences.h"
#include "settings/StatusReport.h"

namespace sorv {

namespace cycle {
std::atomic<std::int64_t> gNeedsToRescan{0};
std::atomic<bool> gIsScanning{false};
std::atomic<bool> gStartedUploadProcess{false};
std::atomic<bool> gWantsToHaltProcess{false};
std::atomic<bool> gDidHaltProcess{false};
std::atomic<bool> gInsideOpenFile{false};
std::atomic<bool> gIsInWatchFolderInstaller{false};
std::atomic<bool> gRunningQueryAndUploadHiResThread{false};
std::atomic<bool> doArdent{true};
}  // namespace cycle

using namespace cycle;

namespace {
bool countsOnFromEnvironment() {
  const char* off = std::getenv("SORV_NO_COUNTS");
  return !(off && std::string(off) == "1");
}
}  // namespace

AppController::AppController(AppView* view)
    : view_(view),
      healthSeconds_(healthMinutesFromText(std::getenv("SORV_HEALTH_MINUTES")) * 60),
      countsOn_(countsOnFromEnvironment()) {
  if (auto path = metricsFileFromEnvironment())
    metricsFile_ =
        std::make_unique<MetricsFile>(*path, defaultFileSystem(), [this] { return cycleStatus(); });
}

AppController::~AppController() {
  {
    MutexLock lock(&settingsToken_->mutex);
    settingsToken_->controller = nullptr;
  }
  stopWatcher();
  if (observing_) NotificationCenter::defaultCenter().removeObserver(this);
  cancelRetriggerTimer();
  if (autoStartTimer_) autoStartTimer_->invalidate();
  if (viewTimer_) viewTimer_->invalidate();
  if (countsTimer_) countsTimer_->invalidate();
  if (countUpkeepTimer_) countUpkeepTimer_->invalidate();
  if (remoteRetryTimer_) remoteRetryTimer_->invalidate();
  if (metricsFile_) metricsFile_->stop();
  // Threads the controller started call back into it; let them finish first.
  MutexLock lock(&threadsMutex_);
  while (runningThreads_.load() != 0) threadsDone_.wait(&threadsMutex_);
}

void AppController::spawn(const std::string& name, std::function<void()> fn) {
  runningThreads_.fetch_add(1);
  startThread(name, [this, fn = std::move(fn)] {
    fn();
    MutexLock lock(&threadsMutex_);
    runningThreads_.fetch_sub(1);
    threadsDone_.notifyAll();
  });
}

void AppController::storeNeedsToRescan(bool yes) {
  if (yes)
    gNeedsToRescan.fetch_add(1);
  else
    gNeedsToRescan.store(0);
}
void AppController::storeIsScanningFolder(bool yes) {
  gIsScanning.store(yes);
}

void AppController::setNeedsToRescan(bool yes) {
  RecursiveMutexLock lock(&fThreadLock);
  storeNeedsToRescan(yes);
}
void AppController::setIsScanningFolder(bool yes) {
  {
    RecursiveMutexLock lock(&fThreadLock);
    storeIsScanningFolder(yes);
  }
  statusChanged();
}
void AppController::setStartedUploadProcess(bool yes) {
  {
    RecursiveMutexLock lock(&fThreadLock);
    gStartedUploadProcess.store(yes);
  }
  statusChanged();
}
void AppController::setWantsToHaltProcess(bool yes) {
  {
    RecursiveMutexLock lock(&fThreadLock);
    gWantsToHaltProcess.store(yes);
  }
  statusChanged();
}
void AppController::setDidHaltProcess(bool yes) {
  {
    RecursiveMutexLock lock(&fThreadLock);
    gDidHaltProcess.store(yes);
  }
  statusChanged();
}
namespace {
// Open threads wait here for a running open request to end.
std::mutex gOpenMutex;
std::condition_variable gOpenDone;
}  // namespace

void AppController::setIsInsideOpenFile(bool yes) {
  {
    RecursiveMutexLock lock(&fThreadLock);
    gInsideOpenFile.store(yes);
  }
  if (!yes) {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    gOpenDone.notify_all();
  }
}

void AppController::waitWhileInsideOpenFile() {
  std::unique_lock<std::mutex> lock(gOpenMutex);
  gOpenDone.wait(lock, [] { return !gInsideOpenFile.load(); });
}
void AppController::setIsInsideWatchFolderThread(bool yes) {
  RecursiveMutexLock lock(&fThreadLock);
  gIsInWatchFolderInstaller.store(yes);
}

std::int64_t AppController::needsToRescanCount() {
  return gNeedsToRescan.load();
}
bool AppController::isScanning() {
  return gIsScanning.load();
}
bool AppController::startedUploadProcess() {
  return gStartedUploadProcess.load();
}
bool AppController::wantsToHaltProcess() {
  return gWantsToHaltProcess.load();
}
bool AppController::didHaltProcess() {
  return gDidHaltProcess.load();
}
bool AppController::insideOpenFile() {
  return gInsideOpenFile.load();
}
bool AppController::isInWatchFolderInstaller() {
  return gIsInWatchFolderInstaller.load();
}
bool AppController::runningQueryAndUploadHiResThread() {
  return gRunningQueryAndUploadHiResThread.load();
}
void AppController::setRunningQueryAndUploadHiResThread(bool yes) {
  gRunningQueryAndUploadHiResThread.store(yes);
}
bool AppController::doArdent() {
  return cycle::doArdent.load();
}

void AppController::resetCycleState() {
  gNeedsToRescan = 0;
  gIsScanning = false;
  gStartedUploadProcess = false;
  gWantsToHaltProcess = false;
  gDidHaltProcess = false;
  gInsideOpenFile = false;
  gIsInWatchFolderInstaller = false;
  gRunningQueryAndUploadHiResThread = false;
  cycle::doArdent = true;
}

std::optional<std::string> AppController::curUserName() const {
  MutexLock lock(&fieldsMutex_);
  return fCurUserName;
}
std::optional<std::string> AppController::curPassword() const {
  MutexLock lock(&fieldsMutex_);
  return fCurPassword;
}
std::optional<std::string> AppController::curEventName() const {
  MutexLock lock(&fieldsMutex_);
  return fCurEventName;
}
std::optional<std::string> AppController::rootFolder() const {
  MutexLock lock(&fieldsMutex_);
  return fRootFolder;
}

// ---- Display updates

void AppController::ibUpdateNSTextField(AppField field, const std::string& text, bool doWait,
                                        bool isError) {
  if (!view_) return;
  if (!view_->isFieldShown(field)) {
    view_->fieldUpdateSkipped(field, text, isError);
    return;
  }
  AppView* view = view_;
  auto update = [view, field, text, isError] { view->setFieldText(field, text, isError); };
  if (doWait)
    mainRunLoop().postAndWait(update);
  else
    mainRunLoop().post(update);
}

void AppController::ibUpdateNSTextField(AppField field, const std::string& text, bool doWait) {
  ibUpdateNSTextField(field, text, doWait, false);
}

void AppController::ibUpdateFTPCallbackStatusTextField(const std::string& text) {
  ibUpdateNSTextField(AppField::FTPCallbackStatus, text, false, false);
}
void AppController::ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) {
  ibUpdateNSTextField(AppField::FTPCallbackStatus, text, false, isError);
}
void AppController::ibUpdateUploadStatusTextField(const std::string& text) {
  ibUpdateNSTextField(AppField::UploadFileStatus, text, false, false);
}
void AppController::ibUpdateFileNameField(const std::string& text) {
  ibUpdateNSTextField(AppField::FileName, text, false, false);
}
void AppController::ibUpdateLoginName(const std::string& text) {
  ibUpdateNSTextField(AppField::LoginName, text, false, false);
}
void AppController::ibUpdateUploadMainPath(const std::string& text) {
  ibUpdateNSTextField(AppField::UploadMainPath, text, false, false);
}
void AppController::ibUpdateSourceFolderPath(const std::string& text) {
  ibUpdateNSTextField(AppField::SourceFolderPath, text, false, false);
  if (view_ && view_->isFieldShown(AppField::SourceFolderPath)) {
    AppView* view = view_;
    mainRunLoop().post([view, text] { view->setFieldToolTip(AppField::SourceFolderPath, text); });
  }
}

void AppController::ibUpdateProgressBar(const std::string& text) {
  if (!view_ || !view_->hasProgressBar()) return;
  bool animate = strcasecmp(text.c_str(), "YES") == 0;
  AppView* view = view_;
  mainRunLoop().post([view, animate] { view->setProgressBarAnimating(animate); });
}

void AppController::showInRed(const std::string& text) {
  ibUpdateFTPCallbackStatusTextField(text, true);
  ibUpdateUploadStatusTextField(text);
}

void AppController::closeCurrentAlert() {
  // No operation stores an alert here; the slot only ever gets cleared.
  fCurAlert = nullptr;
}

// ---- Pause and resume

namespace {
void postTitle(AppControl* button, const std::string& title, std::optional<bool> enabled) {
  if (!button) return;
  mainRunLoop().post([button, title, enabled] {
    button->setTitle(title);
    if (enabled) button->setEnabled(*enabled);
  });
}
}  // namespace

void AppController::forceProcessToPause(AppControl*) {
  if (gStartedUploadProcess && !gDidHaltProcess) {
    setWantsToHaltProcess(true);
    wakeWaits();
  }
}

void AppController::pauseOnRequest() {
  if (gDidHaltProcess) return;
  if (!gStartedUploadProcess) return holdPaused(view_ ? view_->pauseResumeButton() : nullptr);
  forceProcessToPause(nullptr);
  ibUpdateFTPCallbackStatusTextField("Pausing... Waiting for Current Item to Finish...");
}

void AppController::holdPaused(AppControl* button) {
  // No upload runs: the cycle is paused at once, and every pass is refused until a resume.
  setWantsToHaltProcess(true);
  setDidHaltProcess(true);
  postTitle(button, "Resume", std::nullopt);
  ibUpdateFTPCallbackStatusTextField("Process Paused...");
}

void AppController::ibClickedOnHalt(AppControl* sender) {
  MessageLog::LogMessage("ibClickedOnHalt\n", true);
  AppControl* button = sender ? sender : (view_ ? view_->pauseResumeButton() : nullptr);
  if (gDidHaltProcess) {
    setWantsToHaltProcess(false);
    setDidHaltProcess(false);
    postTitle(button, "Pause", std::nullopt);
    ibUpdateFTPCallbackStatusTextField("");
    resetSiteBackoff("the operator resumed the cycle");
    applicationOpenFile(Preferences::getLocalSourceUploadFolder());
    return;
  }
  if (gStartedUploadProcess) {
    setWantsToHaltProcess(true);
    wakeWaits();
    if (sender) mainRunLoop().post([sender] { sender->setEnabled(false); });
    ibUpdateFTPCallbackStatusTextField("Pausing... Waiting for Current Item to Finish...");
    return;
  }
  holdPaused(button);
}

void AppController::doHandlePauseResumeButtonAsResume(AppControl* sender) {
  if (!gDidHaltProcess) return;
  setWantsToHaltProcess(false);
  setDidHaltProcess(false);
  AppControl* button = sender ? sender : (view_ ? view_->pauseResumeButton() : nullptr);
  postTitle(button, "Pause", true);
  resetSiteBackoff("the operator resumed the cycle");
  applicationOpenFile(Preferences::getLocalSourceUploadFolder());
}

void AppController::pauseForPreferences(AppControl* sender) {
  ibUpdateFTPCallbackStatusTextField("Will Open Pref Panel After Current Item is Finished...");
  if (sender) mainRunLoop().post([sender] { sender->setEnabled(false); });
  forceProcessToPause(sender);
  spawn("prefWait", [this, sender] { doWaitForUploadProcessToEndInThread(sender); });
}

void AppController::doWaitForUploadProcessToEndInThread(AppControl* sender) {
  while (!gDidHaltProcess) defaultClock().sleepFor(1.0);
  // A control cannot travel in a property-list dictionary; the controller keeps it.
  prefsSender_.store(sender);
  NotificationCenter::defaultCenter().post(kUploadProcessPaused, this, nullptr);
}

// ---- Handlers that touch state

namespace {
void logUnknown(const char* handler) {
  NSLog("Unknown Class Type Found: [%s] with the info:\n", handler);
}
}  // namespace

void AppController::handleNotification_ScanFolder(const Notification* note) {
  if (!note) return logUnknown("handleNotification_ScanFolder");
  Notification copy = *note;
  spawn("scan", [this, copy] { scanFolderOnMainThread(&copy); });
}

void AppController::handleNotification_PrepareUploadStart(const Notification* note) {
  if (!note) return logUnknown("handleNotification_PrepareUploadStart");
  if (gStartedUploadProcess) {
    myNSLog("Inside %s => %s... => An Upload Process Already in Progress...", "AppController",
            "handleNotification_PrepareUploadStart:");
    return;
  }
  if (gDidHaltProcess) {
    // Paused while the scan chose this item: it stays in the source until the resume.
    NSLog("The cycle was paused while the scan ran; the chosen item waits for the resume");
    return;
  }
  NotificationCenter::defaultCenter().post(kUploadStartNotification, this, note->userInfo);
}

void AppController::handleNotification_UploadStart(const Notification* note) {
  if (!note) return logUnknown("handleNotification_UploadStart");
  const std::string* item = note->userInfo ? dictGetString(*note->userInfo, kLocalItem) : nullptr;
  if (item) counts_.setCurrentItem(*item);
  {
    const std::string* file =
        note->userInfo ? dictGetString(*note->userInfo, kEdFileName) : nullptr;
    MutexLock lock(&carryMutex_);
    inFlight_ = file ? *file : std::string();
  }
  // Journal entries written while it uploads name it, as `sorvctl problems` shows a name:
  // control bytes and bytes that are no UTF-8 as \xHH, which the journal shows as text.
  setConsoleItem(item ? displayPath(*item) : "");
  setStartedUploadProcess(true);
  if (item)
    ibUpdateFileNameField(*item);
  else
    NSLog("handleNotification_UploadStart got bad itemToMove = nil...");
  ibUpdateUploadStatusTextField("Uploading...");
  ibUpdateProgressBar("YES");
  if (Preferences::getPrefShowPreviewWhenUploading() && view_ && view_->hasImageView()) {
    const std::string* file =
        note->userInfo ? dictGetString(*note->userInfo, kEdFileName) : nullptr;
    if (file) {
      AppView* view = view_;
      std::string path = *file;
      mainRunLoop().post([view, path] { view->showPreviewImage(path); });
    }
  }
}

void AppController::handleNotification_UploadDone(const Notification* note) {
  if (!note) return logUnknown("handleNotification_UploadDone");
  {
    MutexLock lock(&carryMutex_);
    inFlight_.clear();
  }
  ibUpdateProgressBar("NO");
  if (gWantsToHaltProcess) {
    setDidHaltProcess(true);
    postTitle(view_ ? view_->pauseResumeButton() : nullptr, "Resume", true);
  }
}

void AppController::handleNotification_WatcherStarted(const Notification* note) {
  if (!note) return logUnknown("handleNotification_WatcherStarted");
  const Value* loop = note->userInfo ? dictGet(*note->userInfo, kCFRunLoopRef) : nullptr;
  if (!loop) {
    NSLog("Unable to SET fWatcherRunLoop???");
    return;
  }
  RecursiveMutexLock lock(&fThreadLock);
  fWatcherRunLoop =
      reinterpret_cast<const void*>(static_cast<std::uintptr_t>(loop->integerValue()));
}

void AppController::handleNotification_WatcherItemChanged(const Notification* note) {
  if (!note) return logUnknown("handleNotification_WatcherItemChanged");
  spawn("open", [this] { openFileOnMainThread(); });
}

void AppController::handleNotification_UploadProcessPaused(const Notification* note) {
  if (!note) return logUnknown("handleNotification_UploadProcessPaused");
  if (view_) view_->openPreferences(prefsSender_.exchange(nullptr));
}

void AppController::handleNotification_CleanUpAfterUpload(const Notification* note) {
  if (!note) logUnknown("handleNotification_CleanUpAfterUpload");
  if (note && note->userInfo) note->userInfo->clear();
  setConsoleItem("");
  setStartedUploadProcess(false);
  if (gDidHaltProcess) {
    ibUpdateFTPCallbackStatusTextField("Process Paused...");
    return;
  }
  spawn("open", [this] { openFileOnMainThread(); });
}

void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification* note) {
  if (!note) logUnknown("handleNotification_CleanUpAfterCompleteLoop");
  if (note && note->userInfo) note->userInfo->clear();
  setConsoleItem("");
  setStartedUploadProcess(false);
}

}  // namespace sorv
