// The application controller: owner of the upload cycle. One pass scans the source folder,
// picks one item, uploads it, moves it by the outcome and starts the next pass; when nothing
// is left it waits for a timer, the watcher or the operator.
//
// The cycle's flags are process-wide (one controller per process). Flags are read without a
// lock; the setters serialise on fThreadLock, which exists from construction on, before any
// thread starts. The controller must outlive every thread it starts; its destructor waits
// for them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/AppView.h"
#include "app/CountUpkeep.h"
#include "app/CycleCounts.h"
#include "app/CycleStatus.h"
#include "app/ItemRetryBook.h"
#include "app/MetricsFile.h"
#include "app/RemoteReconnect.h"
#include "app/SiteBackoff.h"
#include "files/ItemCache.h"
#include "files/SourceFolderClaim.h"
#include "files/WalkCache.h"
#include "logfiles/RelaunchState.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/Value.h"
#include "upload/HttpController.h"

namespace sorv {

class FolderWatcher;
struct ProblemPhoto;
struct ProblemRecord;
struct ItemRules;
class RemoteService;
struct RemoteHandlers;

class AppController : public HttpProgressDelegate {
 public:
  // view: not owned, must outlive the controller.
  explicit AppController(AppView* view);
  ~AppController() override;
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  // Start-up, in this order on the main thread (the whole sequence reads top to bottom in
  // AppControllerStartup.cc).
  static void initialize();               // class set-up: transformers, defaults, log files
  void awakeFromNib();                    // registers the observers, before HttpController
  void applicationWillFinishLaunching();  // message log, background work, HttpController
  void applicationDidFinishLaunching();   // may arm the automatic first pass

  // The start-up after initialize(), on the main thread: awakeFromNib, afterAwake (a window's
  // own set-up), applicationWillFinishLaunching, afterWillFinish.
  void startUp(const std::function<void()>& afterAwake = {},
               const std::function<void()>& afterWillFinish = {});
  // The whole launch: startUp, the launcher's open request of folder (when given), then
  // applicationDidFinishLaunching. The main loop runs after it.
  void launch(const std::optional<std::string>& folder,
              const std::function<void()>& afterAwake = {},
              const std::function<void()>& afterWillFinish = {});
  // The quit after the main loop ended: applicationShouldTerminate, applicationWillTerminate,
  // the end of the remote control, the defaults written out.
  void quit();

  // Start-up steps that belong to other areas of the agent.
  static void registerValueTransformers();
  static void setupConsoleLogFile();  // the day's log file, when prefDoRedirectNSLog asks
  static void deleteOldLogFiles();
  void setupForAppleEventsForThisApp();
  // Ends the remote control at quit, after the replies already made are sent.
  void stopRemoteControl();
  void deleteEmptySourceFoldersAtStartup();
  void deleteEmptySourceFoldersAtQuit();
  void doSetupDeleteOldPhotosThread();
  // The delete thread's work: old photos out of the mirror folder (when the preference asks).
  void deleteOldOldPhotosAndFolderIfEmptyWorks();
  // Deletes the empty folders below the source folder's own folders, behind a progress window.
  void ibDeleteLocalFtpFolderIfEmpty(AppControl* sender);
  // Hi-res order checks (AppControllerOrders.cc). doQueryAndUploadHiResProcess is the body
  // of one check, on a thread of its own; the others run on the main thread.
  void doQueryAndUploadHiResProcess();
  void setupQueryAndUploadHiResProcess();  // arms the timer of the next check
  void doQueryAndUploadHiResInThread();    // starts a check on a new thread
  // Seconds between checks: 3600 without "prefMinutesForCheckOrders", its minutes x 60 when
  // that is above 0, else 10.
  static double orderCheckIntervalSeconds();
  // Ends the background work of the start-up (order checks, deletions) at quit.
  void stopBackgroundWork();
  // Copies the older edition's settings once (prefDoCopyOldFtpPref).
  static void migrateOldFtpPrefs();

  // Version texts of the windows.
  std::string getMacOsVersionString() const;
  std::string getAppVersionString() const;
  std::string getCopyrightString() const;
  void setMacOsVersion(const std::string& text);
  void setAppVersion(const std::string& text);
  void setCopyrightVersion(const std::string& text);

  // State setters: lock fThreadLock, store, unlock.
  void setNeedsToRescan(bool yes) EXCLUDES(fThreadLock);  // YES increments, NO clears
  void setIsScanningFolder(bool yes) EXCLUDES(fThreadLock);
  void setStartedUploadProcess(bool yes) EXCLUDES(fThreadLock);
  void setWantsToHaltProcess(bool yes) EXCLUDES(fThreadLock);
  void setDidHaltProcess(bool yes) EXCLUDES(fThreadLock);
  void setIsInsideOpenFile(bool yes) EXCLUDES(fThreadLock);
  void setIsInsideWatchFolderThread(bool yes) EXCLUDES(fThreadLock);
  // Blocks until no open request runs (woken when the flag clears).
  static void waitWhileInsideOpenFile();

  // The process-wide flags, read without the lock.
  static std::int64_t needsToRescanCount();
  static bool isScanning();
  static bool startedUploadProcess();
  static bool wantsToHaltProcess();
  static bool didHaltProcess();
  static bool insideOpenFile();
  static bool isInWatchFolderInstaller();
  static bool runningQueryAndUploadHiResThread();
  static void setRunningQueryAndUploadHiResThread(bool yes);
  static bool doArdent();
  // Clears every flag and sets doArdent again, as at process start (tests).
  static void resetCycleState();

  // Display updates; the window's own updates are handed to the main thread.
  void ibUpdateNSTextField(AppField field, const std::string& text, bool doWait, bool isError);
  void ibUpdateNSTextField(AppField field, const std::string& text, bool doWait);
  void ibUpdateFTPCallbackStatusTextField(const std::string& text);
  void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError);
  void ibUpdateUploadStatusTextField(const std::string& text);
  void ibUpdateFileNameField(const std::string& text);
  void ibUpdateLoginName(const std::string& text);
  void ibUpdateUploadMainPath(const std::string& text);
  void ibUpdateSourceFolderPath(const std::string& text);
  void ibUpdateProgressBar(const std::string& text);  // "YES" (any case) starts it
  void closeCurrentAlert();

  // Pause and resume.
  void forceProcessToPause(AppControl* sender);
  // The remote pause: a running upload finishes first; with none running the cycle is paused
  // at once, as the pause button does, until a resume or an upload-now.
  void pauseOnRequest();
  void ibClickedOnHalt(AppControl* sender);
  void doHandlePauseResumeButtonAsResume(AppControl* sender);
  // The preferences pause: waits for the halt, then opens the preferences.
  void pauseForPreferences(AppControl* sender);
  void doWaitForUploadProcessToEndInThread(AppControl* sender);

  // Notification handlers (registered by awakeFromNib in this order).
  void handleNotification_ScanFolder(const Notification* note);
  void handleNotification_PrepareUploadStart(const Notification* note);
  void handleNotification_UploadStart(const Notification* note);
  void handleNotification_UploadDone(const Notification* note);
  void handleNotification_UploadSuccess(const Notification* note);
  void handleNotification_UploadFail(const Notification* note);
  void handleNotification_WatcherStarted(const Notification* note);
  void handleNotification_WatcherItemChanged(const Notification* note);
  void handleNotification_UploadProcessPaused(const Notification* note);
  void handleNotification_CleanUpAfterUpload(const Notification* note);
  void handleNotification_CleanUpAfterCompleteLoop(const Notification* note);

  // The open request and its checks.
  bool applicationOpenFile(const std::optional<std::string>& path);
  bool validateUserInfoBeforeUploading(const std::optional<std::string>& path);
  // Claims folder for this agent before anything in it is touched. False, said once per holder
  // until it is free again, while another process holds it (another agent: two agents would
  // send every photo twice); meanwhile the state names the holder and a read-only walk keeps
  // the counts.
  bool claimSourceFolder(const std::string& folder);
  void getCurrentLoginInfo();
  void getUserEnteredEventName();
  void ibUserClickedOnSynchronize(AppControl* sender);
  void saveLoginInfo(AppControl* sender);

  // The scan (runs on the scan thread).
  void scanFolderOnMainThread(const Notification* note);

  // Scheduling.
  void openFileOnMainThread();
  void doSetupRetriggerTimerOnMainThread();
  void doSetupRetriggerTimer();
  // Main thread: after the site stopped the cycle, the auto-synchronise timer (when on) still
  // brings a later pass; the status line keeps the site's message.
  void armRetriggerTimerAfterStop();
  // Any thread: with auto-synchronise on, arms its timer again after an open request was
  // turned down (a source folder that is gone for a moment, a claim held by another agent),
  // so that the cycle is never stopped for good. `why` must be a string literal.
  void keepTryingOnTimer(const char* why);
  void armRetriggerTimerQuietly(const char* why);  // main thread
  // "prefSecondsBetweenScans" when it is a finite number of at least one second, else the
  // default interval (logged once per bad value).
  double secondsBetweenScans();
  void cancelRetriggerTimerOnMainThread();
  void cancelRetriggerTimer();
  void setRepeatTimer(std::shared_ptr<Timer> timer);
  std::shared_ptr<Timer> getRepeatTimer() const;
  void doAutoResynchronize();
  void ibClickedOnSynchronizeAgain(AppControl* sender);
  void doWatchFolderInThread(const std::string& folder);
  // Runs the source-folder watcher on the calling thread until stopWatcher().
  void doInstallTheWatcher(const std::string& folder);
  // Ends the watcher (and keeps a later one from starting): quit, and the destructor.
  void stopWatcher();

  // Quit.
  void ibClickedOnQuit(AppControl* sender);
  bool applicationShouldTerminate();
  void applicationWillTerminate();

  // The upload watchdog's relaunch request (from HttpController, on the main thread).
  void relaunchApp(const Dict& request) override;
  // Starts the relaunch helper (or, under a service manager, sets the relaunch exit status)
  // and terminates. request: "LSLaunchFlags" (default 1); button: an operator's button.
  void relaunch(const Dict* request, AppControl* button);
  // The operator's restart: the helper application, then the forced restart.
  [[noreturn]] void doRelaunchThisApp(AppControl* sender);

  // The cycle's state and counts now. Any thread; cheap (no file-system access). From launch
  // on, a read-only count between passes keeps the counts with the folder (keepCountsCurrent).
  CycleStatus cycleStatus() const;
  // fn runs on whatever thread after every outcome and state change; set once before
  // launch(), may be empty. It must not call back into the cycle's setters.
  void setStatusObserver(std::function<void()> fn);
  // Counts the photos in the problem folder again (at start, after each move into it, after
  // a photo was taken out of it). Any thread; walks the problem folder.
  void recountProblemFolder();
  // cycleStatus() as the remote control's status dictionary, with the health verdict
  // (SORV_HEALTH_MINUTES as the agent read it at construction). Any thread.
  Dict statusReport() const;
  // Why the cycle is not healthy, or "" when it is: photos waited longer than the health
  // minutes without any success in that time, or the site stopped the cycle.
  std::string healthProblem(const CycleStatus& status) const;
  // The problem folder for the remote control (AppControllerProblems.cc), main thread.
  struct ProblemEntry {
    std::string path;                 // relative to the problem folder, as displayed
    std::vector<std::string> movies;  // the same
    std::string time;                 // ISO 8601: when it was moved there
    std::string reason;               // why, from problems.jsonl; "unknown" when it says nothing
    std::optional<long> httpStatus;
    std::string siteStatus, siteMessage, transportError;
  };
  // The photos now in the problem folder, newest first.
  std::vector<ProblemEntry> problemPhotos();
  // Moves one photo (a displayed path relative to the problem folder) with its movies back to
  // the source folder and starts a pass. *message: one line on what happened.
  bool requeueProblemPhoto(const std::string& path, std::string* message);
  // The same for every photo of the problem folder; gives how many moved, a line for each.
  int requeueAllProblemPhotos(std::vector<std::string>* lines);

  // The site-wide backoff (AppControllerBackoff.cc). The operator, a settings change and the
  // first success end it; any thread.
  void resetSiteBackoff(const char* why) EXCLUDES(backoffMutex_);
  // True (and said on the console) while the backoff holds the automatic passes back.
  bool backoffHoldsAutomaticPass(const char* who) EXCLUDES(backoffMutex_);
  // Seconds until the backoff lets the automatic passes run again; 0 when it does not hold them.
  double siteBackoffRemaining() EXCLUDES(backoffMutex_);
  int siteBackoffRetries() EXCLUDES(backoffMutex_);

  // Read access for the window and tests.
  std::optional<std::string> curUserName() const EXCLUDES(fieldsMutex_);
  std::optional<std::string> curPassword() const EXCLUDES(fieldsMutex_);
  std::optional<std::string> curEventName() const EXCLUDES(fieldsMutex_);
  std::optional<std::string> rootFolder() const EXCLUDES(fieldsMutex_);
  bool isRunningLeopard() const { return isRunningLeopard_; }
  HttpController* httpController() const { return fHttpController.get(); }
  // Threads started by the controller that have not finished yet, the watcher's aside (it
  // runs until the quit).
  int runningThreadCount() const { return runningThreads_.load() - watcherRunning_.load(); }
  // Reads of file metadata that were not served from the cache (benchmarks, tests).
  std::uint64_t metaDataReads() const { return metaDataReads_.load(); }
  // The scan's walks: how many, how many reused nothing, what they listed and lstat'ed.
  WalkCache::Counts walkCounts() const { return walkCache_.counts(); }
  // What the cycle keeps per photo (tests, benchmarks): it follows what the source folder holds.
  struct PerPhotoEntries {
    std::size_t scanFacts = 0, retryBook = 0, waiting = 0;
  };
  PerPhotoEntries perPhotoEntries() const;

 private:
  // Remote control while it is off: tries on a thread of their own, paced by remoteReconnect_
  // (AppControllerRemote.cc). generation names the service the handlers belong to.
  RemoteHandlers remoteHandlers(int generation);
  void remoteControlOff(double wait);
  void tryRemoteControlAgain();
  void remoteControlLost(int generation, const std::string& why);
  // Waits of the outcome handlers: cut short by a pause, a quit or wakeWaits().
  void pacedSleep(double seconds);
  void wakeWaits();
  // Pauses an idle cycle at once: the flags, the button's "Resume" and the status line.
  void holdPaused(AppControl* button);
  // Completes a pause asked for after the item's upload had ended.
  void completeRequestedHalt();
  // After a failed upload that left the item in place: counts it, waits or holds it back.
  void paceItemLeftInPlace(const Dict& info, const std::string& reason, bool stop);
  // Moves an uploaded item (and then its movies) into the mirror; after repeated failures,
  // into the problem folder. The item is remembered as uploaded until it has left.
  void placeUploadedItem(const std::string& root, const std::string& item,
                         const std::vector<std::string>& movies);
  // True (and logged) when a file sent for the item changed since it was opened: the new
  // version stays in the source for the next pass and nothing is moved.
  bool keepsChangedItem(const Dict& info, const std::string& full);
  // What a failed upload's reply says: shown on the status lines and paced as it asks.
  struct FailureVerdict {
    bool move = false;         // into the problem folder
    bool stop = false;         // the site asked the cycle to stop
    bool unreachable = false;  // no answer from the site, or an HTTP 5xx or 429 one
    // The site asked (Retry-After of a 429 or 503) for this many seconds before the next try;
    // 0 for a 429 without a usable Retry-After. Either way the backoff starts at once.
    std::optional<double> retryAfter;
    std::string errorText;  // the transport's error
    std::string reason;     // in words, for the logs and the counts
  };
  FailureVerdict readFailedReply(const Dict& info);
  // The failed upload's end: the backoff's timer, a stop, or the next pass.
  void endFailedUpload(const DictRef& info, bool stop, std::optional<double> backoff);
  // A failed item the site's reply asks to move: into the problem folder, with its movies.
  // True when a new version of it was found in place instead (nothing moved).
  bool moveFailedItem(const Dict& info, const std::string& reason);
  // *firstInProblem (when given): the first movie placed in the problem folder, as placed.
  void moveMoviesAfter(const std::string& root, const std::vector<std::string>& movies,
                       bool toMirror, std::string* firstInProblem = nullptr);
  // The scan's chosen item was uploaded already: tries only its move. False when it was not.
  bool retryPendingMove(const std::string& root, const std::string& item, const FileInfo& info);
  // Main thread: a pass when the earliest hold of a held item ends.
  void armHeldRetryTimer();
  // What a relaunch or a quit leaves for the next process, in the log folder's
  // relaunches.plist (AppControllerCarryOver.cc). At launch: the relaunched photos still
  // there unchanged go into the retry book; the first-seen times wait for the first walk.
  void loadCarriedState();
  // Writes the relaunched photos and the waiting photos' first-seen times (when they changed
  // since the last write, unless `always`). Any thread.
  void saveCarriedState(bool always);
  // The watchdog's relaunch: counted against the photo in flight, with a message-log line.
  void noteRelaunchOfItemInFlight();
  // Scan thread, at the walks of root: the first hands the carried first-seen times under
  // root to the counts.
  void carryOverFirstSeen(const std::string& root);
  // A photo held back by its relaunches that the scan passed over for another: says why, once.
  void reportRelaunchHold(const std::string& full);
  static FileStamp uploadStamp(const FileInfo& info);
  // Whether the photo at path is still there in this version: a photo that has left, or
  // changed, is not the one that hung.
  static bool stillThere(const std::string& path, const FileStamp& stamp);

  // A failed upload's verdict on the site; on a backoff, the wait before the next automatic
  // pass (the item then stays in the source). siteAsks: the wait of the site's Retry-After.
  std::optional<double> noteSiteOutcome(SiteBackoff::Outcome outcome, const std::string& item,
                                        std::optional<double> siteAsks = std::nullopt)
      EXCLUDES(backoffMutex_);
  bool siteBackoffKeepsItem(const std::string& item) EXCLUDES(backoffMutex_);
  // Main thread: the next automatic pass after the backoff's wait; with onlyWhenAutomatic,
  // only when auto-synchronise is on (a stop asked for by the site).
  void armSiteBackoffTimer(double wait, bool onlyWhenAutomatic);
  void watchSettingsForBackoff();
  void settingChanged(const std::string& key) EXCLUDES(backoffMutex_);
  // Appends the reason of a move into the problem folder to problems.jsonl; a failure is
  // logged once until a line is written again.
  void recordProblem(const Dict* info, const std::string& placedAs, const std::string& movie,
                     const std::string& reason);
  // Moves photo back to the source, with the movie its reason (record, may be null) names; a
  // pass follows when startPass and it moved.
  bool requeueOne(const std::string& problemRoot, const std::string& sourceRoot, ProblemPhoto photo,
                  const ProblemRecord* record, bool startPass, std::string* message);
  // The synchronise requests without the operator's reset of the backoff.
  void synchronizeAgain();
  void startSynchronize();
  // The automatic first pass a while after launch (main thread).
  void autoStartUpload();

  // Starts fn on a detached thread that the destructor waits for.
  void spawn(const std::string& name, std::function<void()> fn);
  // The setters' stores, for a caller that holds fThreadLock already.
  void storeNeedsToRescan(bool yes) REQUIRES(fThreadLock);
  void storeIsScanningFolder(bool yes) REQUIRES(fThreadLock);
  // Shows text in red on the status line and as the item status.
  void showInRed(const std::string& text);
  // Scan steps (AppControllerScan.cc), in the order a pass runs them.
  struct ScanRequest {
    DictRef request;  // the scan notification's info
    DictRef working;  // its copy, which collects the client name
    std::string root, mirror, eventName;
  };
  struct PreparedItem {
    std::string captureTime, fuseAction, metaText;
  };
  // Entry checks: the scan flag, a running upload, a pause, the request's folders and event.
  std::optional<ScanRequest> beginScan(const Notification* note) EXCLUDES(fThreadLock);
  // The walk: mirror folders made on the way, the first item the rules accept.
  std::optional<FolderEntry> walkForNextItem(const ScanRequest& scan, const ItemRules& rules);
  // The chosen item's client name, capture date and texts; nullopt when the pass ended here.
  std::optional<PreparedItem> prepareChosenItem(const ScanRequest& scan, const FolderEntry& chosen,
                                                const ItemRules& rules);
  DictRef buildUploadInfo(const ScanRequest& scan, const FolderEntry& chosen,
                          const PreparedItem& item);
  void scanEnd(const DictRef& working) EXCLUDES(fThreadLock);
  void scanNothingFound(const std::string& folder, const DictRef& request);
  bool isClientLogin() const;
  // The embedded metadata and image validity of a file, read once per file version.
  // Cached reads; `info` is the walk's fresh stat of path when the caller has one. The
  // metadata holds only what the scan judges by: its presence and the movie it names.
  std::optional<Dict> metaDataOf(const std::string& path, const FileInfo* info = nullptr);
  bool isValidImage(const std::string& path, const FileInfo* info = nullptr);

  // After an outcome or a state change: the status observer, and a refresh of the view's
  // counts on the main thread (at most a few a second).
  void statusChanged();
  void refreshCountsView();  // main thread
  // The metrics file's timer from launch to quit, and its last write at quit (main thread).
  void startMetricsFile();
  void stopMetricsFile();
  // The walk's verdict on one photo for the counts: ready (held or not) or not.
  void countEntry(const FolderEntry& entry, FolderEnumerator::Visit verdict, const ItemRules& rules,
                  std::vector<CycleCounts::Seen>* ready, std::vector<std::string>* notReady);
  // A walk that only counts: a photo known ready as it is, else the scan's judgement of it.
  FolderEnumerator::Visit countOnly(const FolderEntry& entry, const ItemRules& rules,
                                    std::vector<CycleCounts::Seen>* ready);
  // The item left the source folder, or was tried: the counts and the observer learn of it.
  void countOutcome(const Dict& info, bool success, const std::string& reason);
  // The pass's rules of choice, with holds as at scanTime; and the key under which the walk
  // keeps their lasting verdicts.
  ItemRules scanRules(double scanTime);
  static std::uint64_t verdictKeyOf(const ItemRules& rules);
  // Per-photo state follows the folder: a file the walk saw is kept; after a walk of the whole
  // tree, what it did not see is forgotten (caches, retry book); a file that left is forgotten
  // at once. Callers of the first two hold sourceWalkMutex_ across the walk.
  void noteSeen(const FolderEntry& entry);
  void forgetUnseenFiles();
  void forgetFile(const std::string& fullPath);
  // While another process holds the source folder: the counts from a read-only walk of it (on
  // a thread of its own; nothing is claimed, made, moved or sent).
  void countWhileHeldElsewhere(const std::string& folder);
  // Main thread, from launch on a timer: between passes a read-only count keeps the counts
  // with the folder (CountUpkeep says when).
  void keepCountsCurrent();
  // Main thread: the upkeep's next tick, every second while the counts can go stale between
  // passes (countsMayGoStale), else every CountUpkeep::kQuietSeconds: then the timer's and the
  // watcher's passes count what arrives, and an idle agent sleeps.
  void scheduleCountUpkeep();
  bool countsMayGoStale();
  // Counts folder by a read-only walk and gives the counts its figures, unless a photo left
  // meanwhile; for the upkeep, only when still due and the folder may have changed. True when
  // the counts were replaced.
  bool countReadOnly(const std::string& folder, bool upkeep);
  // Inside a walk that counts the whole tree: gives the counts the photos found ready so far
  // (those past soFar->published), at most a few times a second.
  struct ReadySoFar {
    std::size_t published = 0;
    double at = -1;  // when last given
  };
  void publishReadySoFar(const std::vector<CycleCounts::Seen>& ready, double now,
                         ReadySoFar* soFar);
  void setFolderHolder(std::optional<ClaimHolder> holder) EXCLUDES(holderMutex_);
  std::optional<ClaimHolder> folderHolder() const EXCLUDES(holderMutex_);

  AppView* view_;
  CycleCounts counts_;
  std::function<void()> statusObserver_;
  const double healthSeconds_;
  // The counts' upkeep in the scan; SORV_NO_COUNTS=1 turns it off (benchmarks compare).
  const bool countsOn_;
  double lastFullCount_ = -1;  // scan thread only: when a walk last counted the whole tree
  CountUpkeep countUpkeep_;
  std::shared_ptr<Timer> countUpkeepTimer_;    // main thread only
  double countUpkeepInterval_ = 0;             // main thread only: the pending tick's; 0: none
  std::atomic<bool> countUpkeepSlow_{false};   // the pending tick is a slow one
  std::atomic<bool> countUpkeepHurry_{false};  // a check for a faster tick is posted
  std::atomic<bool> stoppedBySite_{false};
  std::atomic<bool> halted_{false};  // the last open request found the folders or settings unfit
  std::atomic<bool> viewRefreshPending_{false};
  double lastViewRefresh_ = -1;         // main thread only
  std::shared_ptr<Timer> viewTimer_;    // main thread only
  std::shared_ptr<Timer> countsTimer_;  // main thread only: the minute's console line
  // The metrics file (SORV_METRICS_FILE), made at construction; written on the main thread
  // after changes (one write for the changes of one turn of the loop) and on its own timer.
  std::unique_ptr<MetricsFile> metricsFile_;
  std::atomic<bool> metricsWritePending_{false};
  // Serialises the flag setters and the storing of fWatcherRunLoop.
  RecursiveMutex fThreadLock;
  mutable Mutex fieldsMutex_;  // guards the text fields below between threads
  std::optional<std::string> fRootFolder GUARDED_BY(fieldsMutex_);
  std::optional<std::string> fCurEventName GUARDED_BY(fieldsMutex_);
  std::optional<std::string> fCurUserName GUARDED_BY(fieldsMutex_);
  std::optional<std::string> fCurPassword GUARDED_BY(fieldsMutex_);
  std::shared_ptr<Timer> fRepeatTimer;     // main thread only
  std::shared_ptr<Timer> autoStartTimer_;  // the first pass without a launcher
  const void* fWatcherRunLoop GUARDED_BY(fThreadLock) = nullptr;
  const void* fCurAlert = nullptr;
  std::unique_ptr<HttpController> fHttpController;
  std::shared_ptr<RemoteService> remoteService_;  // while remote control is on
  // Main thread only: the pacing of the tries while remote control is off, the timer of the
  // next one, the generation of the last service started, whether a try runs, and whether the
  // quit ended remote control for good. remoteAlive_ dies with the controller.
  RemoteReconnect remoteReconnect_;
  std::shared_ptr<Timer> remoteRetryTimer_;
  int remoteGeneration_ = 0;
  bool remoteTrying_ = false;
  bool remoteStopped_ = false;
  std::shared_ptr<int> remoteAlive_ = std::make_shared<int>(0);
  bool isRunningLeopard_ = false;
  std::string _macVersionString GUARDED_BY(fieldsMutex_);
  std::string _appVersionString GUARDED_BY(fieldsMutex_);
  std::string _appCopyrightString GUARDED_BY(fieldsMutex_);
  std::string badScanInterval_ GUARDED_BY(fieldsMutex_);  // the bad interval logged last
  bool observing_ = false;
  std::atomic<AppControl*> prefsSender_{nullptr};  // who asked for the preferences pause

  static constexpr std::size_t kMaxWatchedPathBytes = 499;
  Mutex watcherMutex_;
  FolderWatcher* watcher_ GUARDED_BY(watcherMutex_) = nullptr;  // while doInstallTheWatcher runs
  std::atomic<int> watcherRunning_{0};

  SourceFolderClaim sourceClaim_;
  std::atomic<bool> claimRefused_{false};  // a refused claim was reported
  std::atomic<pid_t> reportedHolder_{0};   // the holder it named
  mutable Mutex holderMutex_;
  // Set while another process holds the source folder's claim.
  std::optional<ClaimHolder> folderHolder_ GUARDED_BY(holderMutex_);
  std::atomic<bool> heldCountRunning_{false};
  // The scan's walk and the read-only walk take turns, each with its sweep of the caches.
  Mutex sourceWalkMutex_;

  ItemRetryBook retryBook_;
  Mutex backoffMutex_;
  SiteBackoff siteBackoff_ GUARDED_BY(backoffMutex_);
  double backoffUntil_ GUARDED_BY(backoffMutex_) = 0;  // monotonic seconds
  Dict backoffSettings_ GUARDED_BY(backoffMutex_);     // the user's settings when it began
  // Cleared by the destructor: a settings observer still registered finds no controller.
  struct SettingsToken {
    Mutex mutex;
    AppController* controller GUARDED_BY(mutex) = nullptr;
  };
  std::shared_ptr<SettingsToken> settingsToken_ = std::make_shared<SettingsToken>();
  std::atomic<bool> journalFailed_{false};
  std::shared_ptr<Timer> heldRetryTimer_;  // main thread only
  Mutex carryMutex_;
  std::string inFlight_ GUARDED_BY(carryMutex_);    // full path of the photo uploading now
  std::string countsRoot_ GUARDED_BY(carryMutex_);  // the folder the counts' items lie in
  std::vector<FirstSeenRecord> carriedWaiting_ GUARDED_BY(carryMutex_);
  bool carriedOver_ GUARDED_BY(carryMutex_) = false;      // the first walk took carriedWaiting_
  std::string lastCarriedWrite_ GUARDED_BY(carryMutex_);  // what the file holds now
  bool carryWriteFailed_ GUARDED_BY(carryMutex_) = false;
  std::shared_ptr<Timer> carryTimer_;  // main thread only: the minute's write
  // The outcome waits and the order check's pause sleep on waitCv_. A plain std::mutex:
  // Clock::sleepUnless waits on std types. It guards no data; the flags it waits on are atomic.
  std::mutex waitMutex_;
  std::condition_variable waitCv_;
  std::atomic<bool> wakeWaits_{false};
  std::atomic<bool> quitting_{false};

  std::shared_ptr<Timer> orderCheckTimer_;  // main thread only
  std::atomic<bool> stopOrderChecks_{false};
  // Expires with the controller: work posted by an order check looks at it first.
  std::shared_ptr<int> orderChecksAlive_ = std::make_shared<int>(0);

  // What the scan judges a file by, one entry a file for both reads (a backlog keeps one a
  // waiting photo): each read is made once per version of the file, when first needed.
  struct ScanFacts {
    std::int8_t validImage = -1;         // -1: not read yet
    std::int8_t metaData = -1;           // -1: not read yet, 0: no metadata block, 1: a block
    std::shared_ptr<const Value> movie;  // the block's movie entry, when it has one
  };
  ItemCache<ScanFacts> scanFacts_;
  std::atomic<std::uint64_t> metaDataReads_{0};
  WalkCache walkCache_;  // the scan's walk between passes (scan thread only)

  std::atomic<int> runningThreads_{0};
  Mutex threadsMutex_;  // with threadsDone_, wakes the destructor when a thread ends
  CondVar threadsDone_;
};

}  // namespace sorv
