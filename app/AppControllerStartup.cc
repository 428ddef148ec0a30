// The start-up sequence, in the order the agent runs it: the class set-up, awakeFromNib,
// applicationWillFinishLaunching, the launcher's open request (main.cc), then
// applicationDidFinishLaunching. Steps that belong to other areas are named calls here and
// live beside their area's other controller code.
#include <cstdlib>
#include <filesystem>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/SetupCheck.h"
#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "platform/SystemVersion.h"
#include "process/Process.h"
#include "settings/DefaultsLock.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

namespace {

constexpr const char* kBuiltInCopyright = "Copyright (c) Quenmor. All rights reserved.";
constexpr const char* kOldFtpPrefsName = "com.quenmor.Sorv-FTPUploader.plist";

// Why this process's SORV_SOURCE_FOLDER is not served; said at launch.
std::optional<SetupCheckResult> gServedFolderRefusal;

std::string bundleCopyright() {
  const std::string* text = dictGetString(Bundle::infoDictionary(), "NSHumanReadableCopyright");
  return text ? *text : kBuiltInCopyright;
}

// Where the older edition's settings may lie: our configuration folder, or a copy of the
// other platform's preferences folder under the home folder.
std::optional<std::string> oldFtpPrefsFile() {
  namespace fs = std::filesystem;
  const std::string candidates[] = {
      xdgFolder("XDG_CONFIG_HOME", ".config") + "/Sorv/" + kOldFtpPrefsName,
      homeFolder() + "/Library/Preferences/" + kOldFtpPrefsName};
  std::error_code ec;
  for (const auto& path : candidates)
    if (fs::is_regular_file(path, ec)) return path;
  return std::nullopt;
}

}  // namespace

// ---- The class set-up

void AppController::initialize() {
  // Before the settings are first read: an import that holds the lock finishes first, and
  // none starts while this agent runs.
  holdDefaultsForThisAgent(10);
  registerValueTransformers();
  Preferences::setupFactoryDefaults();
  // A service names its folder in its environment; it is served on every pass of this process.
  // A folder that is not a full path would be taken from whatever folder the agent started
  // in: it is refused as `--check` refuses it, and launch() says so.
  gServedFolderRefusal.reset();
  if (const char* served = std::getenv("SORV_SOURCE_FOLDER"); served && *served) {
    gServedFolderRefusal = sourceFolderFormProblem(served, true);
    if (!gServedFolderRefusal) Preferences::setServedSourceFolder(std::string(served));
  }
  setupConsoleLogFile();
  deleteOldLogFiles();
}

void AppController::startUp(const std::function<void()>& afterAwake,
                            const std::function<void()>& afterWillFinish) {
  awakeFromNib();
  if (afterAwake) afterAwake();
  applicationWillFinishLaunching();
  if (afterWillFinish) afterWillFinish();
}

void AppController::launch(const std::optional<std::string>& folder,
                           const std::function<void()>& afterAwake,
                           const std::function<void()>& afterWillFinish) {
  startUp(afterAwake, afterWillFinish);
  // Without a launch folder, a served folder is opened as if the launcher had named it.
  const std::optional<std::string> first = folder ? folder : Preferences::servedSourceFolder();
  if (auto served = Preferences::servedSourceFolder()) {
    std::string text = "Serving [" + *served + "] on every pass (SORV_SOURCE_FOLDER)";
    auto stored = DefaultsStore::standard().stringForKey(sPrefLocalSourceUploadFolder);
    if (stored && *stored != *served)
      text += "; the preference's folder [" + *stored + "] is not served";
    MessageLog::LogMessage(text.c_str(), true);
  } else if (gServedFolderRefusal) {
    // As other settings of the environment that cannot be used: one line, and the agent goes
    // on without it, on the folder it serves when the variable is not set.
    auto instead =
        folder ? folder : DefaultsStore::standard().stringForKey(sPrefLocalSourceUploadFolder);
    const std::string text =
        "ERROR: " + gServedFolderRefusal->detail + ", so it is not served (" +
        gServedFolderRefusal->fix + "); " +
        (instead ? "[" + *instead + "] is served instead" : "no folder is served");
    MessageLog::LogMessage(text.c_str(), true);
  }
  if (first) applicationOpenFile(*first);
  applicationDidFinishLaunching();
}

void AppController::quit() {
  applicationShouldTerminate();
  applicationWillTerminate();
  stopMetricsFile();
  stopRemoteControl();
  DefaultsStore::standard().synchronize();
}

// ---- awakeFromNib

void AppController::awakeFromNib() {
  {
    RecursiveMutexLock lock(&fThreadLock);
    fWatcherRunLoop = nullptr;
  }
  watchSettingsForBackoff();
  // The controller's observers come before HttpController's: the cycle relies on that order.
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

  // The system version: enough to run at all, and whether folders can be watched.
  if (auto version = systemVersionText(); !version || version->empty()) {
    NSLog("runShellScript2 failed to get Mac OS version???");
  } else {
    std::string text = *version;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    setMacOsVersion("v" + text);
    auto watch = watcherSystemVersion(), minimum = minimumSystemVersion();
    isRunningLeopard_ = versionAtLeast(text, watch.major, watch.minor, watch.patch);
    if (!versionAtLeast(text, minimum.major, minimum.minor, minimum.patch)) {
      NSLog(
          "Sorry - Unsupported Mac OS Version: Your OS Version is: [%s]\nMinimum "
          "Requirement: [v%2.2f]",
          getMacOsVersionString().c_str(), minimum.major + minimum.minor / 10.0);
      view_->terminate();
    }
  }

  setCopyrightVersion(bundleCopyright());
  setAppVersion(bundleShortVersion());
  migrateOldFtpPrefs();
  // The defaults observers, the preferences tab view and the code field belong to the
  // preferences window; a headless agent has none.
}

void AppController::migrateOldFtpPrefs() {
  auto& store = DefaultsStore::standard();
  auto flag = store.objectForKey(sPrefDoCopyOldFtpPref);
  if (!flag) {
    NSLog("This version does NOT have pref = [%s]", sPrefDoCopyOldFtpPref);
    return;
  }
  if (store.boolForKey(sPrefDoCopyOldFtpPref)) {
    NSLog("ALREADY Copied OLD Ftp Prefs...");
    return;
  }
  auto path = oldFtpPrefsFile();
  if (!path) {
    NSLog("NO OLD ftp-uploader.plist to copy...");
    return;
  }
  NSLog("Need to Copy OLD Ftp Prefs from: [%s]", path->c_str());
  auto old = plist::parseFile(*path);
  const Dict* values = old ? old->asDict() : nullptr;
  if (!values) return;
  for (const auto& key : Preferences::prefKeyNameArray())
    if (const Value* v = dictGet(*values, key)) store.setObject(*v, key);
  store.setObject(Value(true), sPrefDoCopyOldFtpPref);
  store.synchronize();
}

// ---- applicationWillFinishLaunching

void AppController::applicationWillFinishLaunching() {
  MessageLog::InitLog();
  MessageLog::LogMessage("applicationWillFinishLaunching", true);
  loadCarriedState();
  {
    MutexLock lock(&fieldsMutex_);
    fCurUserName = kPlaceholderUserName;
    fCurPassword = kPlaceholderPassword;
    fRootFolder.reset();
  }
  fRepeatTimer.reset();
  fCurAlert = nullptr;
  fillInVersionString(view_->versionField());
  std::string copyright = "Copyright Info is [" + bundleCopyright() + "]";
  MessageLog::LogMessage(copyright.c_str(), true);
  // The source folder is counted before the remote control answers: from its first answer, the
  // status and the health verdict tell what waits.
  if (auto folder = Preferences::getLocalSourceUploadFolder(); folder && countsOn_)
    countReadOnly(*folder, false);
  // The login panel and the folder tool tips belong to the preferences window.
  setupForAppleEventsForThisApp();
  deleteEmptySourceFoldersAtStartup();
  doSetupDeleteOldPhotosThread();
  doQueryAndUploadHiResInThread();
  fHttpController = std::make_unique<HttpController>();
  fHttpController->setProgressDelegate(this);
  spawn("countProblems", [this] { recountProblemFolder(); });
}

// ---- applicationDidFinishLaunching (after the launcher's open request)

void AppController::applicationDidFinishLaunching() {
  MessageLog::LogMessage("applicationDidFinishLaunching", true);
  // The counts once a minute beside the refreshes after changes: a stuck queue still shows.
  countsTimer_ = mainRunLoop().scheduleTimer(60, true, [this](Timer&) { refreshCountsView(); });
  // The first-seen times reach the file once a minute too: a killed agent leaves them.
  carryTimer_ = mainRunLoop().scheduleTimer(60, true, [this](Timer&) { saveCarriedState(false); });
  startMetricsFile();
  // The counts from the start on, and between passes, without waiting for a pass's walk.
  if (countsOn_) {
    scheduleCountUpkeep();
  }
  if (Preferences::getAutoStartUploadAtStartup()) {
    NSLog("Will autoResynchronizeAtStartup is TRUE...");
    double delay = Preferences::getPrefShowWindowAtStartup() ? 30 : 10;
    autoStartTimer_ =
        mainRunLoop().scheduleTimer(delay, false, [this](Timer&) { autoStartUpload(); });
  } else {
    NSLog("Will autoResynchronizeAtStartup is FALSE...");
  }
}

// ---- Version texts

std::string AppController::getMacOsVersionString() const {
  MutexLock lock(&fieldsMutex_);
  return _macVersionString;
}
std::string AppController::getAppVersionString() const {
  MutexLock lock(&fieldsMutex_);
  return _appVersionString;
}
std::string AppController::getCopyrightString() const {
  MutexLock lock(&fieldsMutex_);
  return _appCopyrightString;
}
void AppController::setMacOsVersion(const std::string& text) {
  MutexLock lock(&fieldsMutex_);
  _macVersionString = text;
}
void AppController::setAppVersion(const std::string& text) {
  MutexLock lock(&fieldsMutex_);
  _appVersionString = text;
}
void AppController::setCopyrightVersion(const std::string& text) {
  MutexLock lock(&fieldsMutex_);
  _appCopyrightString = text;
}

}  // namespace sorv
