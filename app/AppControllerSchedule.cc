// What starts the next pass (clean-up, timer, watcher, operator), start-up and quit.
#include <sys/utsname.h>

#include <cstdio>
#include <ctime>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "app/Notifications.h"
#include "files/FolderWatcher.h"
#include "log/MessageLog.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "settings/Preferences.h"

namespace sorv {

std::string formatCycleDate(double secondsSince1970) {
  std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, kDateFormat, &tm);
  return buf;
}

using namespace cycle;

namespace {

// inotify (the watcher's event source) needs Linux 2.6.13, the counterpart of 10.5.
bool kernelHasFolderEvents() {
  struct utsname u;
  if (uname(&u) != 0) return false;
  int major = 0, minor = 0, patch = 0;
  if (std::sscanf(u.release, "%d.%d.%d", &major, &minor, &patch) < 2) return false;
  if (major != 2) return major > 2;
  if (minor != 6) return minor > 6;
  return patch >= 13;
}

}  // namespace

void AppController::awakeFromNib() {
  fWatcherRunLoop = nullptr;
  auto& center = NotificationCenter::defaultCenter();
  using Handler = void (AppController::*)(const Notification*);
  const std::pair<const char*, Handler> observers[] = {
      {kScanFolderNotification, &AppController::handleNotification_ScanFolder},
      {kPrepareUploadStartNotification, &AppController::handleNotification_PrepareUploadStart},
      {kUploadStartNotification, &AppController::handleNotification_UploadStart},
      {kUploadDoneNotification, &AppController::handleNotification_UploadDone},
      {kUploadSuccessNotification, &AppController::handleNotification_UploadSuccess},
      {kUploadFailNotification, &AppController::handleNotification_UploadFail},
      {kWatcherStarted, &AppController::handleNotification_WatcherStarted},
      {kWatcherItemChanged, &AppController::handleNotification_WatcherItemChanged},
      {kUploadProcessPaused, &AppController::handleNotification_UploadProcessPaused},
      {kCleanUpAfterUploadNotification, &AppController::handleNotification_CleanUpAfterUpload},
      {kCleanUpAfterCompleteLoop, &AppController::handleNotification_CleanUpAfterCompleteLoop},
  };
  for (const auto& observer : observers) {
    auto handler = observer.second;
    center.addObserver(this, observer.first,
                       [this, handler](const Notification* n) { (this->*handler)(n); });
  }
  observing_ = true;
  isRunningLeopard_ = kernelHasFolderEvents();
}

void AppController::applicationWillFinishLaunching() {
  MessageLog::InitLog();
  MessageLog::LogMessage("applicationWillFinishLaunching", true);
  {
    std::lock_guard<std::mutex> lock(fieldsMutex_);
    fCurUserName = kPlaceholderUserName;
    fCurPassword = kPlaceholderPassword;
    fRootFolder.reset();
  }
  fRepeatTimer.reset();
  fCurAlert = nullptr;
  fHttpController = std::make_unique<HttpController>();
  fHttpController->setProgressDelegate(this);
  fThreadLock = std::make_unique<std::recursive_mutex>();
}

void AppController::applicationDidFinishLaunching() {
  MessageLog::LogMessage("applicationDidFinishLaunching", true);
  if (Preferences::getAutoStartUploadAtStartup()) {
    NSLog("Will autoResynchronizeAtStartup is TRUE...");
    double delay = Preferences::getPrefShowWindowAtStartup() ? 30 : 10;
    autoStartTimer_ = mainRunLoop().scheduleTimer(
        delay, false, [this](Timer&) { ibUserClickedOnSynchronize(nullptr); });
  } else {
    NSLog("Will autoResynchronizeAtStartup is FALSE...");
  }
}

// ---- Opening the folder again

void AppController::openFileOnMainThread() {
  while (gInsideOpenFile) defaultClock().sleepFor(0.5);
  applicationOpenFile(Preferences::getLocalSourceUploadFolder());
}

void AppController::doSetupRetriggerTimerOnMainThread() {
  mainRunLoop().post([this] { doSetupRetriggerTimer(); });
}

void AppController::doSetupRetriggerTimer() {
  if (!Preferences::getDoAutoSynchronize()) {
    NSLog("Done %s => %s... [self getDoAutoSynchronize] = NO...", "AppController",
          "doSetupRetriggerTimer:");
    return;
  }
  cancelRetriggerTimer();
  double interval = kDefaultSecondsBetweenScans;
  if (auto secs = Preferences::getPrefSecondsBetweenScans()) {
    interval = secs->doubleValue();
  } else {
    NSLog("Failed to get NSNumber for intervalInSecs");
  }
  setRepeatTimer(
      mainRunLoop().scheduleTimer(interval, false, [this](Timer&) { doAutoResynchronize(); }));
  std::string when = formatCycleDate(defaultClock().wallNow() + interval);
  std::string text = stringWithFormat("Next Auto-Synchronize Trigger Date = %s...", when.c_str());
  if (!isRunningLeopard_) text += "\n(This would Not be needed if running on Mac OS 10.5 or higer)";
  ibUpdateFTPCallbackStatusTextField(text);
}

void AppController::cancelRetriggerTimerOnMainThread() {
  mainRunLoop().post([this] { cancelRetriggerTimer(); });
}

void AppController::cancelRetriggerTimer() {
  if (fRepeatTimer && fRepeatTimer->isValid()) fRepeatTimer->invalidate();
  fRepeatTimer.reset();
}

void AppController::setRepeatTimer(std::shared_ptr<Timer> timer) {
  fRepeatTimer = std::move(timer);
}

std::shared_ptr<Timer> AppController::getRepeatTimer() const {
  return fRepeatTimer;
}

void AppController::doAutoResynchronize() {
  if (gStartedUploadProcess) {
    NSLog("Inside doAutoResynchronize - a process already in session????");
    return;
  }
  if (Preferences::getDoAutoSynchronize()) {
    ibClickedOnSynchronizeAgain(nullptr);
  } else {
    NSLog("doAutoResynchronize - auto-synchronize is off...");
  }
}

void AppController::ibClickedOnSynchronizeAgain(AppControl*) {
  wakeWaits();  // a wait after a failed upload ends now
  if (!gStartedUploadProcess) {
    ibUserClickedOnSynchronize(nullptr);
  } else if (gDidHaltProcess) {
    ibClickedOnHalt(view_ ? view_->progressPanelControl(111) : nullptr);
  } else {
    NSLog("ibClickedOnSynchronizeAgain - an upload process in progress...");
  }
}

void AppController::doWatchFolderInThread(const std::string& folder) {
  NSLog("Inside THREAD *********** %s => %s...", "AppController", "doWatchFolderInThread:");
  if (gIsInWatchFolderInstaller) {
    NSLog("ALREADY inside doWatchFolderInThread     EXITING THREAD...\n\n");
    return;
  }
  setIsInsideWatchFolderThread(true);
  if (fWatcherRunLoop) {
    NSLog("Returning.... fWatcherRunLoop ALREADY Setup....    EXITING THREAD...\n");
    return;
  }
  if (folder.empty()) {
    NSLog("Passed NO Info to %s => %s...", "AppController", "doWatchFolderInThread:");
    return;
  }
  if (folder.size() > kMaxWatchedPathBytes) {
    NSLog(
        "The source folder's path is longer than %zu bytes; it is not watched, and the timer "
        "starts the passes",
        kMaxWatchedPathBytes);
    return;
  }
  if (!isRunningLeopard_) {
    const char* lines[] = {"====================================================",
                           "FSEvents NOT supported on 10.4.x and lower...",
                           "Will NOT Be Able to Watch for Folder in real time...",
                           "===================================================="};
    for (const char* line : lines) MessageLog::LogMessage(line, true);
    return;
  }
  doInstallTheWatcher(folder);
  NSLog("Done outside doInstallTheWatcher...");
}

void AppController::doInstallTheWatcher(const std::string& folder) {
  // Every change means the folder must be scanned again; which one changed is not passed on.
  FolderWatcher watcher(folder, [](const std::string&, bool) {
    NSLog("=====>>>>  FOUND EVENT Inside fsevents_callback  <<<<<=======");
    NotificationCenter::defaultCenter().post(kWatcherItemChanged, nullptr, nullptr);
  });
  std::string err;
  {
    std::lock_guard<std::mutex> lock(watcherMutex_);
    if (quitting_) return;
    watcher_ = &watcher;
    ++watcherRunning_;
  }
  if (watcher.start(&err)) {
    NotificationCenter::defaultCenter().post(
        kWatcherStarted, nullptr,
        makeDict(Dict{{kCFRunLoopRef,
                       Value(static_cast<long long>(reinterpret_cast<std::intptr_t>(&watcher)))}}));
    NSLog("doInstallTheWatcher is running inside NSRunLoop = %p\n", static_cast<void*>(&watcher));
    watcher.run();
    NSLog("Done With CFRunLoopRun inside doInstallTheWatcher...");
  } else {
    NSLog("The source-folder watcher could not start (%s); the timer starts the passes",
          err.c_str());
  }
  std::lock_guard<std::mutex> lock(watcherMutex_);
  watcher_ = nullptr;
  --watcherRunning_;
}

void AppController::stopWatcher() {
  std::lock_guard<std::mutex> lock(watcherMutex_);
  quitting_ = true;
  if (watcher_) watcher_->stop();
}

// ---- Quit

void AppController::ibClickedOnQuit(AppControl*) {
  MessageLog::LogMessage("ibClickedOnQuit\n", true);
  if (view_ && view_->isLoginPanelVisible()) view_->closeLoginPanel();
  if (view_) view_->terminate();
}

bool AppController::applicationShouldTerminate() {
  std::fputs("applicationShouldTerminate\n", stdout);
  std::fflush(stdout);
  MessageLog::LogMessage("applicationShouldTerminate\n");
  return true;
}

void AppController::applicationWillTerminate() {
  stopWatcher();
  wakeWaits();
  if (gStartedUploadProcess) {
    NSLog("Telling Thread to Stop - as soon as possible");
    setWantsToHaltProcess(true);
  }
  if (Preferences::getPrefDeleteEmptyFtpFolders()) {
    // The empty-folder clean-up is not part of this build; the folders stay.
    NSLog("prefDeleteEmptyFtpFolders is on, but no empty-folder clean-up is available yet.");
  }
  cancelRetriggerTimer();
  if (autoStartTimer_) autoStartTimer_->invalidate();
  if (heldRetryTimer_) heldRetryTimer_->invalidate();
  MessageLog::LogMessage("applicationWillTerminate - DONE!", true);
  MessageLog::CloseLog();
}

void AppController::relaunchApp(const Dict& request) {
  // The relaunch helper is not built yet: the request is only recorded.
  std::string text = "relaunchApp: an upload outlived its watchdog; relaunch requested (" +
                     Value(request).description() +
                     ") but no relaunch helper is available, the agent keeps running.";
  MessageLog::LogMessage(text.c_str(), true);
}

}  // namespace sorv
