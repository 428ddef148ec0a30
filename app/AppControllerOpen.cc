// The open request that starts every pass, its validation, and the login.
#include <limits.h>
#include <stdlib.h>
#include <strings.h>

#include <cstdio>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "log/MessageLog.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/fs/FileSystem.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

using namespace cycle;

namespace {

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~') return path;
  if (path.size() > 1 && path[1] != '/') return path;
  const char* home = getenv("HOME");
  return std::string(home ? home : "") + path.substr(1);
}

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf)) return buf;
  return path;
}

// True when `inner` is `outer` or lies below it (both canonical).
bool isSameOrInside(const std::string& inner, const std::string& outer) {
  if (inner == outer) return true;
  if (outer == "/") return true;
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         inner[outer.size()] == '/';
}

std::string trimmed(const std::string& s) {
  const char* ws = " \t\n\r\f\v";
  auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// Whether url begins with http:// or https:// (any letter case); nothing else is sent to.
bool hasWebScheme(const std::string& url) {
  return strncasecmp(url.c_str(), "http://", 7) == 0 ||
         strncasecmp(url.c_str(), "https://", 8) == 0;
}

}  // namespace

bool AppController::applicationOpenFile(const std::optional<std::string>& path) {
  if (gInsideOpenFile) {
    NSLog("Inside %s => %s...  Another Instance is ALREADY RUNNING....", "AppController",
          "application:openFile:");
    return true;
  }
  if (!path || !defaultFileSystem().exists(*path)) {
    NSLog("Inside %s => %s...  Source Path/Item Does NOT Exist = [%s]....", "AppController",
          "application:openFile:", path ? path->c_str() : "(null)");
    halted_ = true;
    statusChanged();
    keepTryingOnTimer("The source folder is not there");
    return true;
  }
  setIsInsideOpenFile(true);
  if (gStartedUploadProcess) {
    NSLog("Inside %s => %s...  An UPLOAD Process Is Still In Progress....", "AppController",
          "application:openFile:");
    setIsInsideOpenFile(false);
    return false;
  }
  if (!validateUserInfoBeforeUploading(path)) {
    halted_ = true;
    statusChanged();
    setIsInsideOpenFile(false);
    keepTryingOnTimer("The folders or settings are not ready");
    return false;
  }
  if (!claimSourceFolder(*path)) {
    setIsInsideOpenFile(false);
    keepTryingOnTimer("Another process holds the source folder");
    return false;
  }
  halted_ = false;
  cancelRetriggerTimerOnMainThread();
  getCurrentLoginInfo();
  getUserEnteredEventName();
  std::optional<std::string> eventName;
  std::optional<std::string> userName;
  {
    MutexLock lock(&fieldsMutex_);
    fRootFolder = *path;
    eventName = fCurEventName;
    userName = fCurUserName;
  }
  Dict request;
  request[kLocalRootFolder] = *path;
  if (auto mirror = Preferences::getLocalMasterMirrorSiteFolder())
    request[kLocalMirrorFolder] = *mirror;
  if (eventName) request[kUserEnteredEventName] = *eventName;
  NotificationCenter::defaultCenter().post(kScanFolderNotification, this, makeDict(request));

  if (view_ && view_->hasProgressPanel()) {
    if (!view_->isProgressPanelVisible()) {
      AppView* view = view_;
      mainRunLoop().post([view] { view->bringProgressPanelToFront(); });
    }
    ibUpdateLoginName(userName.value_or("") + kSiteDomainSuffix);
    ibUpdateUploadMainPath(*path + "/");
    ibUpdateSourceFolderPath(*path);
  }
  setIsInsideOpenFile(false);
  return true;
}

bool AppController::claimSourceFolder(const std::string& folder) {
  pid_t holder = 0;
  std::string err;
  switch (sourceClaim_.claim(expandTilde(folder), &holder, &err)) {
    case SourceFolderClaim::Result::Claimed:
      setFolderHolder(std::nullopt);
      reportedHolder_ = 0;
      if (claimRefused_.exchange(false))
        MessageLog::LogMessage(
            ("The Local Source Upload Folder [" + folder + "] is free again; this agent serves it")
                .c_str(),
            true);
      return true;
    case SourceFolderClaim::Result::HeldElsewhere: {
      ClaimHolder who = describeClaimHolder(holder);
      setFolderHolder(who);
      statusChanged();
      // Said once per holder: a backup that ends and another that begins are two lines.
      const bool newRefusal = !claimRefused_.exchange(true);
      const bool newHolder = reportedHolder_.exchange(who.pid) != who.pid;
      if (newRefusal || newHolder) {
        std::string text =
            who.isAgent
                ? "Local Source Upload Folder [" + folder + "] Is Served By Another Agent" +
                      (who.pid > 0 ? " (process " + std::to_string(who.pid) + ")" : "") +
                      "; This One Leaves It Alone Until It Is Free"
                : "Local Source Upload Folder [" + folder + "] Is Held By " + who.description() +
                      ", Not An Upload Agent; No Photo Is Uploaded Until It Lets Go";
        MessageLog::LogMessage(text.c_str(), true);
        ibUpdateFTPCallbackStatusTextField(text, true);
      }
      countWhileHeldElsewhere(folder);
      return false;
    }
    case SourceFolderClaim::Result::Failed:
      setFolderHolder(std::nullopt);
      // A folder that cannot be opened cannot be walked either; the walk says why.
      NSLog("Could not claim the source folder [%s]: %s", folder.c_str(), err.c_str());
      return true;
  }
  return true;
}

namespace {

// The folder checks of an open request: both folders chosen and real, neither inside the
// other, the problem folder outside the source. Logs each fault; returns how many.
int folderErrors(const std::optional<std::string>& path) {
  int errors = 0;
  auto logError = [&](const std::string& text) {
    ++errors;
    MessageLog::LogMessage(text.c_str(), true);
  };
  std::string mirror = expandTilde(Preferences::getLocalMasterMirrorSiteFolder().value_or(""));
  if (mirror.empty()) {
    logError("Local Master Mirror Folder Has NOT Been Selected Yet...");
  } else if (!defaultFileSystem().isDirectory(mirror)) {
    logError("Local Master Mirror Folder is NOT a Valid FOLDER: [" + mirror + "]");
  }
  std::string source =
      expandTilde(path ? *path : Preferences::getLocalSourceUploadFolder().value_or(""));
  if (source.empty()) {
    logError("Local Source Upload Folder Has NOT Been Selected Yet...");
  } else if (!defaultFileSystem().isDirectory(source)) {
    logError("Local Source Upload Folder is NOT a Valid FOLDER: [" + source + "]");
  }
  if (errors > 0) return errors;

  // Uploads moved into a mirror inside the source would be uploaded again, and the
  // old-photo deletion of the mirror would remove photos never uploaded.
  std::string realMirror = canonical(mirror);
  std::string realSource = canonical(source);
  if (isSameOrInside(realMirror, realSource) || isSameOrInside(realSource, realMirror)) {
    logError("Local Master Mirror Folder [" + mirror +
             "] May NOT Be, Lie Inside or Contain the Local Source Upload Folder [" + source + "]");
  } else if (auto problem = Preferences::getLocalProblemUploadFolder()) {
    // The problem folder sits beside the mirror; inside the source, failed items would
    // come back for upload.
    std::string realProblem = canonical(expandTilde(*problem));
    if (isSameOrInside(realProblem, realSource)) {
      logError("Problem Folder [" + *problem +
               "] May NOT Be or Lie Inside the Local Source Upload Folder [" + source + "]");
    }
  }
  return errors;
}

}  // namespace

bool AppController::validateUserInfoBeforeUploading(const std::optional<std::string>& path) {
  int errors = folderErrors(path);
  const bool foldersOk = errors == 0;
  auto logError = [&](const std::string& text) {
    ++errors;
    MessageLog::LogMessage(text.c_str(), true);
  };

  if (foldersOk) {
    getUserEnteredEventName();
    auto event = curEventName();
    if (!event) {
      ++errors;
      NSLog("fCurEventName is NIL??????");
    } else if (event->empty()) {
      ++errors;
      NSLog("fCurEventName is BLANK??????");
    } else if (strcasecmp(event->c_str(), kEventNameHintText) == 0) {
      ++errors;
      NSLog("fCurEventName is turnOnCheckBoxIfUsingThisOption??????");
    }
  }

  // Any other scheme would read local files (file://) or talk to other services as "replies".
  auto url = Preferences::getPrefVyrURL();
  if (!url || !hasWebScheme(*url)) {
    std::string text = "The Site Address (prefVyrURL) Must Begin With http:// or https://: [" +
                       url.value_or("") + "]";
    logError(text);
    ibUpdateFTPCallbackStatusTextField(text, true);
  }

  getCurrentLoginInfo();
  auto password = curPassword();
  auto user = curUserName();
  if (password && password->empty()) {
    ++errors;
    NSLog("fCurPassword is NOT set or Blank??????");
  }
  if (!user || user->empty()) {
    ++errors;
    NSLog("fCurUserName is NOT set or Blank??????");
  }

  if (errors > 0 && view_) view_->beep();
  return errors == 0;
}

void AppController::getCurrentLoginInfo() {
  auto& store = DefaultsStore::standard();
  auto name = store.stringForKey(sUserLoginName);
  auto password = store.stringForKey(sUserLoginPassword);
  MutexLock lock(&fieldsMutex_);
  if (name)
    fCurUserName = *name;
  else
    consolePrintf("Using Factory default for curUserLoginName\n");
  if (password)
    fCurPassword = *password;
  else
    consolePrintf("Using Factory default for curUserLoginPassword\n");
}

void AppController::getUserEnteredEventName() {
  auto& store = DefaultsStore::standard();
  auto stored = store.stringForKey(sPrefUserEnteredEventName);
  if (!stored) {
    NSLog("USER did NOT Enter a Valid Event/Location Name");
    return;
  }
  std::string name = trimmed(*stored);
  if (name != *stored) {
    NSLog("Event name [%s] trimmed to [%s]", stored->c_str(), name.c_str());
    store.setObject(Value(name), sPrefUserEnteredEventName);
  }
  MutexLock lock(&fieldsMutex_);
  fCurEventName = name;
}

void AppController::ibUserClickedOnSynchronize(AppControl*) {
  resetSiteBackoff("the operator asked for an upload");
  startSynchronize();
}

void AppController::autoStartUpload() {
  // No operator asked for this pass: a pause holds, a running pass goes on, and a site backoff
  // keeps its wait and its count of retries in a row.
  if (gStartedUploadProcess || gDidHaltProcess) {
    NSLog("The start-up upload is not needed: the cycle is %s",
          gDidHaltProcess ? "paused" : "uploading already");
    return;
  }
  if (backoffHoldsAutomaticPass("The start-up upload")) return;
  startSynchronize();
}

void AppController::startSynchronize() {
  if (gStartedUploadProcess) {
    NSLog("ibUserClickedOnSynchronize - an upload process in progress...");
    if (view_) {
      view_->beep();
      view_->beep();
    }
    return;
  }
  if (!validateUserInfoBeforeUploading(std::nullopt)) {
    keepTryingOnTimer("The folders or settings are not ready");
    return;
  }
  saveLoginInfo(nullptr);
  auto mirror = Preferences::getLocalMasterMirrorSiteFolder();
  if (mirror && !defaultFileSystem().exists(*mirror)) {
    MessageLog::LogMessage("Local Mirror Folder Does NOT Exist:\n" + *mirror);
    MessageLog::LogMessage("Trying to Create Local Mirror Folder at:\n" + *mirror);
    defaultFileSystem().makeDirectory(*mirror, 0755);
  }
  applicationOpenFile(Preferences::getLocalSourceUploadFolder());
}

void AppController::saveLoginInfo(AppControl*) {
  if (!validateUserInfoBeforeUploading(std::nullopt)) {
    if (view_) view_->beep();
    return;
  }
  getCurrentLoginInfo();
  if (view_ && view_->isLoginPanelVisible()) {
    AppView* view = view_;
    mainRunLoop().post([view] { view->closeLoginPanel(); });
  }
}

}  // namespace sorv
