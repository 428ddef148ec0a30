// What happens to an item after its upload: mirror folder, problem folder or a retry.
#include <strings.h>
#include <sys/stat.h>

#include <ctime>

#include "app/AppConfig.h"
#include "app/AppController.h"
#include "app/Notifications.h"
#include "files/QMI_FileManager.h"
#include "log/MessageLog.h"
#include "metadata/ItemRules.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

namespace {

// The relative path of the movie that goes with item (same folder), or nullopt.
std::optional<std::string> movieItemPath(const std::string& root, const std::string& item) {
  auto movie = getMatchingExistingMovieFilePath(appendingPathComponent(root, item));
  if (!movie) return std::nullopt;
  std::string folder = deletingLastPathComponent(item);
  return folder.empty() ? lastPathComponent(*movie)
                        : appendingPathComponent(folder, lastPathComponent(*movie));
}

}  // namespace

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
      // The movie is looked for first: it is found beside the image, before the image moves.
      auto movie = movieItemPath(*root, *item);
      QMI_FileManager::moveFileToPath(*item, *root);
      if (movie) QMI_FileManager::moveFileToPath(*movie, *root);
    }
  }
  NotificationCenter::defaultCenter().post(kCleanUpAfterUploadNotification, this, info);
}

void AppController::handleNotification_UploadFail(const Notification* note) {
  ibUpdateUploadStatusTextField("");
  DictRef info = note ? note->userInfo : nullptr;
  bool move = false;
  bool stop = false;
  std::string errorText;
  if (info) {
    if (const Dict* error = dictGetDict(*info, kHttpError)) {
      const std::string* desc = dictGetString(*error, "localizedDescription");
      errorText = desc ? *desc : Value(*error).description();
      showInRed(errorText);
      defaultClock().sleepFor(1.0);
    } else if (const Value* e = dictGet(*info, kHttpError)) {
      errorText = e->stringValue().value_or(e->description());
      showInRed(errorText);
      defaultClock().sleepFor(1.0);
    }
    if (const Value* custom = dictGet(*info, kHttpOurCustomError)) {
      showInRed(custom->stringValue().value_or(custom->description()));
      stop = true;
    }
    const std::string* message = dictGetString(*info, kHttpOurCustomMessage);
    const std::string messageText = message ? *message : std::string();
    if (const std::string* status = dictGetString(*info, kHttpOurCustomStatus)) {
      if (strcasecmp(status->c_str(), "ERROR") == 0) {
        showInRed(messageText);
        stop = true;
      } else if (strcasecmp(status->c_str(), "Warning") == 0) {
        showInRed(messageText);
        move = true;
      } else if (strcasecmp(status->c_str(), "OK") == 0) {
        ibUpdateFTPCallbackStatusTextField(messageText, false);
        ibUpdateUploadStatusTextField(messageText);
      }
    }
    if (const Value* code = dictGet(*info, kHttpStatusCode)) {
      long status = static_cast<long>(code->integerValue());
      if (status != 200) {
        showInRed(stringWithFormat("HTTP Server Returned Status Code: %li", status));
        defaultClock().sleepFor(2.0);
        move = true;
      } else if (strcasecmp(messageText.c_str(), "No Email Addresses Sent") == 0) {
        defaultClock().sleepFor(2.0);
        move = true;
      }
    }
    if (move) {
      const std::string* root = dictGetString(*info, kLocalRootFolder);
      const std::string* item = dictGetString(*info, kLocalItem);
      auto problem = Preferences::getLocalProblemUploadFolder();
      if (!root) {
        NSLog("Inside %s => %s... PASSED BAD cDictKeyLocalSourceUploadFolder", "AppController",
              "handleNotification_UploadFail:");
      } else if (!item) {
        NSLog("Inside %s => %s... PASSED BAD cDictKeyCurItem", "AppController",
              "handleNotification_UploadFail:");
      } else if (problem) {
        std::string folder = deletingLastPathComponent(*item);
        ::mkdir(appendingPathComponent(*problem, folder).c_str(), 0755);
        auto movie = movieItemPath(*root, *item);
        QMI_FileManager::moveFileToPath(*item, *root, *problem, false, false);
        if (movie) QMI_FileManager::moveFileToPath(*movie, *root, *problem, false, false);
      }
    }
  }
  auto& store = DefaultsStore::standard();
  if (store.boolForKey(sPrefDoContinueAfterFailedUpload)) {
    stop = false;
    float secs = static_cast<float>(store.floatForKey(sPrefDoContinueAfterFailedUploadSecs));
    if (secs > 0) {
      std::string when = formatCycleDate(defaultClock().wallNow() + secs);
      ibUpdateFTPCallbackStatusTextField(
          errorText + stringWithFormat("\nWill Re-Try in %4.2f seconds (at: %s)",
                                       static_cast<double>(secs), when.c_str()),
          true);
      defaultClock().sleepFor(secs);
    }
  }
  if (stop) {
    setStartedUploadProcess(false);
    return;
  }
  NotificationCenter::defaultCenter().post(kCleanUpAfterUploadNotification, this, info);
}

}  // namespace sorv
