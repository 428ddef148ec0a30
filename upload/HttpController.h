// The upload controller: listens for upload requests, sends one photo (and its movie) as a
// multipart POST under a watchdog, turns the site's reply into the upload reply info and
// classifies it as a success or a failure.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/Value.h"
#include "platform/http/HttpTransport.h"

namespace sorv {

// Who is asked to relaunch the application when an upload hangs (the application
// controller). Called on the main run loop.
class HttpProgressDelegate {
 public:
  virtual ~HttpProgressDelegate() = default;
  // False for a delegate that cannot relaunch; the watchdog then only logs.
  virtual bool respondsToRelaunchApp() const { return true; }
  // request: "LSLaunchFlags" (integer: 1 when the application is active, else 0x100300)
  // and "sender" (integer: the address of the HttpController that asks).
  virtual void relaunchApp(const Dict& request) = 0;
};

inline constexpr std::int64_t kLaunchFlagsActive = 1;
inline constexpr std::int64_t kLaunchFlagsInBackground = 0x100300;

// Texts of the reply info when the image or the movie cannot be read and nothing is sent.
inline constexpr const char* kUnreadableFileStatus = "Warning";
inline constexpr const char* kUnreadableFileMessage = "Error in Reading the Contents of file";
// The status of a reply info when the form could not be sent safely (a value or a file holds
// the form's delimiter): a Warning, which sends the item to the problem folder.
inline constexpr const char* kRefusedFormStatus = "Warning";

class HttpController {
 public:
  // Registers the four observers with NotificationCenter::defaultCenter().
  // transport nullptr: defaultHttpTransport() at each upload.
  explicit HttpController(HttpTransport* transport = nullptr);
  // Unregisters the observers; must not run while an upload is in progress.
  ~HttpController();
  HttpController(const HttpController&) = delete;
  HttpController& operator=(const HttpController&) = delete;

  // Non-owning; null until set. Written once at start-up, read from the main thread.
  HttpProgressDelegate* progressDelegate() const { return progressDelegate_.load(); }
  void setProgressDelegate(HttpProgressDelegate* delegate) { progressDelegate_.store(delegate); }

  // Whether the application is the active (frontmost) one; the UI sets it. Unset (headless):
  // never active.
  void setIsApplicationActiveHook(std::function<bool()> hook);

  // The no-progress limit of each request (60 s); tests shorten it.
  void setRequestStallTimeout(double seconds) { stallTimeout_ = seconds; }

  // One photo upload, synchronous on the calling thread: builds and sends the request,
  // posts "UploadDoneNotification" with the upload reply info (a copy of info plus the
  // http* keys), then empties info. Always true.
  bool doRunHttpUploaderWithInfo(const DictRef& info);

  // Runs doRunHttpUploaderWithInfo on this thread with the notification's user info, or
  // with the dictionary; logs and does nothing when given nothing.
  void doRunHttpUploaderInThread(const Notification* notification);
  void doRunHttpUploaderInThread(const DictRef& info);

  void handleNotification_UploadStart(const Notification* notification);
  // Classifies the reply info and posts "UploadSuccessNotification" or
  // "UploadFailNotification" with the same dictionary.
  void handleNotification_UploadDone(const Notification* notification);
  void handleNotification_UploadSuccess(const Notification* notification);
  void handleNotification_UploadFail(const Notification* notification);

  // The watchdog's relaunch, on the main run loop: asks the delegate to relaunch. The
  // watchdog calls it once no byte of the upload's body has moved for prefUploadTimeOut
  // seconds (the reply is small: a site that takes the body and then says nothing is stuck).
  void uploadTimerFired(Timer& timer);

 private:
  // One upload's watchdog: its timer, re-armed on the main run loop while the body moves.
  struct UploadWatch {
    UploadWatch(double seconds, std::shared_ptr<UploadProgress> p)
        : limit(seconds), progress(std::move(p)) {}
    const double limit;
    const std::shared_ptr<UploadProgress> progress;
    bool rearmed = false;  // main run loop only: the first re-arm is logged
    Mutex mutex;
    std::shared_ptr<Timer> timer GUARDED_BY(mutex);
    bool over GUARDED_BY(mutex) = false;  // the upload returned
  };
  // Schedules the watchdog's next look, seconds from now, unless the upload is over.
  void armWatchdog(const std::shared_ptr<UploadWatch>& watch, double seconds);
  bool isApplicationActive();

  HttpTransport* transport_;
  std::atomic<HttpProgressDelegate*> progressDelegate_{nullptr};
  Mutex hookMutex_;
  std::function<bool()> isActiveHook_ GUARDED_BY(hookMutex_);
  std::atomic<double> stallTimeout_{60};
};

// The success rule over an upload reply info: no transport error, no custom error, a
// status code of 200 (or none), and a service status other than FAIL, ERROR or a Warning
// that is not about missing e-mail addresses.
bool isUploadReplySuccess(const Dict& replyInfo);

}  // namespace sorv
