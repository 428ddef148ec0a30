// What starts the next pass (clean-up, timer, watcher, operator), and the quit.
#include <cmath>
#include <cstdio>
#include <ctime>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "files/FolderWatcher.h"
#include "log/MessageLog.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "process/Process.h"
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

// ---- Opening the folder again

void AppController::openFileOnMainThread() {
  // The next pass after an upload, a watcher event or a replayed request: automatic passes,
  // none of which ends a pause.
  if (gDidHaltProcess) return;
  if (backoffHoldsAutomaticPass("The next pass")) return;
  waitWhileInsideOpenFile();
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
  double interval = secondsBetweenScans();
  setRepeatTimer(
      mainRunLoop().scheduleTimer(interval, false, [this](Timer&) { doAutoResynchronize(); }));
  std::string when = formatCycleDate(defaultClock().wallNow() + interval);
  std::string text = stringWithFormat("Next Auto-Synchronize Trigger Date = %s...", when.c_str());
  if (!isRunningLeopard_) text += "\n(This would Not be needed if running on Mac OS 10.5 or higer)";
  ibUpdateFTPCallbackStatusTextField(text);
}

void AppController::armRetriggerTimerAfterStop() {
  armRetriggerTimerQuietly("The cycle stopped");
}

void AppController::keepTryingOnTimer(const char* why) {
  if (!Preferences::getDoAutoSynchronize()) return;
  mainRunLoop().post([this, why] { armRetriggerTimerQuietly(why); });
}

void AppController::armRetriggerTimerQuietly(const char* why) {
  if (!Preferences::getDoAutoSynchronize()) return;
  cancelRetriggerTimer();
  double interval = secondsBetweenScans();
  setRepeatTimer(
      mainRunLoop().scheduleTimer(interval, false, [this](Timer&) { doAutoResynchronize(); }));
  std::string when = formatCycleDate(defaultClock().wallNow() + interval);
  NSLog("%s; Next Auto-Synchronize Trigger Date = %s...", why, when.c_str());
}

double AppController::secondsBetweenScans() {
  auto secs = Preferences::getPrefSecondsBetweenScans();
  if (!secs) {
    NSLog("Failed to get NSNumber for intervalInSecs");
    return kDefaultSecondsBetweenScans;
  }
  // Zero, a negative number, NaN or a word from a hand-edited defaults file would make the
  // timer fire at once, over and over: such a value means the default, said once.
  double seconds = secs->doubleValue();
  if (std::isfinite(seconds) && seconds >= kMinSecondsBetweenScans) return seconds;
  std::string bad = secs->description();
  MutexLock lock(&fieldsMutex_);
  if (bad != badScanInterval_) {
    badScanInterval_ = bad;
    MessageLog::LogMessage(
        stringWithFormat("\"prefSecondsBetweenScans\" is [%s], not a number of at least %.0f "
                         "second; the auto-synchronise timer uses %.0f seconds",
                         bad.c_str(), kMinSecondsBetweenScans, kDefaultSecondsBetweenScans)
            .c_str(),
        true);
  }
  return kDefaultSecondsBetweenScans;
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
  if (gDidHaltProcess) {
    NSLog("doAutoResynchronize - the cycle is paused; the resume starts the next pass");
    return;
  }
  if (double left = siteBackoffRemaining(); left > 0) {
    armSiteBackoffTimer(left, false);  // this timer took the backoff's place: it comes back
    return;
  }
  if (Preferences::getDoAutoSynchronize()) {
    synchronizeAgain();
  } else {
    NSLog("doAutoResynchronize - auto-synchronize is off...");
  }
}

void AppController::ibClickedOnSynchronizeAgain(AppControl*) {
  resetSiteBackoff("the operator asked for an upload");
  // A cycle paused between uploads resumes: the operator asked for an upload.
  if (gDidHaltProcess && !gStartedUploadProcess)
    return ibClickedOnHalt(view_ ? view_->pauseResumeButton() : nullptr);
  synchronizeAgain();
}

void AppController::synchronizeAgain() {
  wakeWaits();  // a wait after a failed upload ends now
  if (!gStartedUploadProcess) {
    startSynchronize();
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
  bool watcherStored;
  {
    RecursiveMutexLock lock(&fThreadLock);
    watcherStored = fWatcherRunLoop != nullptr;
  }
  if (watcherStored) {
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
    MutexLock lock(&watcherMutex_);
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
  MutexLock lock(&watcherMutex_);
  watcher_ = nullptr;
  --watcherRunning_;
}

void AppController::stopWatcher() {
  MutexLock lock(&watcherMutex_);
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
  if (Preferences::getPrefDeleteEmptyFtpFolders()) deleteEmptySourceFoldersAtQuit();
  stopBackgroundWork();
  cancelRetriggerTimer();
  if (autoStartTimer_) autoStartTimer_->invalidate();
  if (heldRetryTimer_) heldRetryTimer_->invalidate();
  if (countsTimer_) countsTimer_->invalidate();
  if (countUpkeepTimer_) countUpkeepTimer_->invalidate();
  if (carryTimer_) carryTimer_->invalidate();
  if (viewTimer_) viewTimer_->invalidate();
  saveCarriedState(true);
  MessageLog::LogMessage("applicationWillTerminate - DONE!", true);
  MessageLog::CloseLog();
}

void AppController::relaunchApp(const Dict& request) {
  relaunch(&request, nullptr);
}

void AppController::relaunch(const Dict* request, AppControl* button) {
  long flags = 1;
  if (request) {
    if (const Value* v = dictGet(*request, "LSLaunchFlags"))
      flags = static_cast<long>(v->integerValue());
  }
  (void)button;  // the terminate sender: the quit sequence is the same for every sender
  if (request) noteRelaunchOfItemInFlight();
  saveCarriedState(true);
  if (runningUnderServiceManager()) {
    // A detached helper would end with the service; the manager starts the agent again
    // when it exits with this status.
    std::string text = stringWithFormat(
        "Relaunch (flags %ld): exiting with status %d for the service manager to restart", flags,
        kRelaunchExitStatus);
    MessageLog::LogMessage(text.c_str(), false);
    NSLogTextWithPriority(LogPriority::Warning, "NSLog = " + text);
    setExitStatus(kRelaunchExitStatus);
  } else if (startRelaunchHelper(flags)) {
    std::string text =
        stringWithFormat("Relaunch (flags %ld): the helper starts a new agent", flags);
    MessageLog::LogMessage(text.c_str(), true);
  }
  view_->terminate();
}

void AppController::doRelaunchThisApp(AppControl*) {
  sorvNSTaskRelaunchSelf();
  forceToRestart();
}

}  // namespace sorv
