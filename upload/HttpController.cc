#include "upload/HttpController.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "log/MessageLog.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/http/UploadRate.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "upload/MultipartForm.h"
#include "upload/NetworkSettings.h"
#include "upload/UploadReply.h"

namespace sorv {
namespace {

constexpr const char* kClassName = "HttpController";

std::optional<std::string> textFor(const Dict& info, const char* key) {
  const Value* v = dictGet(info, key);
  return v ? v->stringValue() : std::nullopt;
}

std::string trimWhitespaceAndNewlines(const std::string& s) {
  const char* ws = " \t\r\n\v\f";
  auto b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

bool fileExistsAtPath(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool debugDumpsWithFiles() {
  const char* v = std::getenv("SORV_DEBUG_DUMPS");
  return v && std::strcmp(v, "1") == 0;
}

// Dumps never fail an upload: the folder is made when it can be and errors are ignored.
void writeDebugDump(const MultipartForm& form, const char* name, bool withFileBytes) {
  std::string folder = logFolderPath();
  createFolderWithParents(folder);
  form.writeDump(appendingPathComponent(folder, name), withFileBytes);
}

Value identityValue(const HttpBodyFile& file) {
  const HttpBodyFile::Identity& id = file.openedAs();
  return Value(Dict{{"device", Value(static_cast<long long>(id.device))},
                    {"inode", Value(static_cast<long long>(id.inode))},
                    {"size", Value(static_cast<long long>(id.size))},
                    {"mtimeNs", Value(static_cast<long long>(id.mtimeNs))}});
}

void markUnreadable(Dict* reply) {
  (*reply)[kHttpOurCustomStatus] = Value(kUnreadableFileStatus);
  (*reply)[kHttpOurCustomMessage] = Value(kUnreadableFileMessage);
}

// The text fields of the photo upload, in the site's fixed order.
void addTextFields(MultipartForm& form, const Dict& info, const std::string& user,
                   const std::string& passwd, const std::string& clientName) {
  std::string event = *textFor(info, kEdEventName);
  if (auto station = textFor(info, kEdKioskStation)) {
    std::string trimmed = trimWhitespaceAndNewlines(*station);
    if (!trimmed.empty()) event += "_" + trimmed;
  }
  auto fusePref = Preferences::getVyrFuseAction();
  bool bp5 = fusePref && strcasecmp(fusePref->c_str(), "upload.bp5") == 0;

  form.addField("username", user);
  form.addField("password", passwd);
  form.addField("event", event);
  if (bp5) {
    std::string code = passwd;
    for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    form.addField("account", user);
    form.addField("code", code);
    form.addField("ids", clientName);
  }
  form.addField("client", clientName);
  form.addField("capturetime", *textFor(info, kEdCaptureTime));
  form.addField("metadata", *textFor(info, kEdMetaData));
  form.addField("fuseaction", *textFor(info, kEdVyrFuseAction));
  if (auto emails = textFor(info, kEdEmails)) form.addField("emails", *emails);
  if (auto original = textFor(info, kEdOriginalPath)) form.addField("localfilelocation", *original);
  if (const Dict* kestrel = dictGetDict(info, kEdKestrelInfo)) {
    if (auto v = textFor(*kestrel, "email")) form.addField("email", *v);
    if (auto v = textFor(*kestrel, "mobile")) form.addField("phone", *v);
  }
  if (const Dict* sitting = dictGetDict(info, kEdSittingInfoDictionary)) {
    static const std::pair<const char*, const char*> kSittingFields[] = {
        {"bglocation", "bgloc"},
        {"firstname", "firstname"},
        {"lastname", "lastname"},
        {"zip", "zip"},
        {"age", "age"},
        {"email", "email"},
        {"sittingid", "sittingid"}};
    for (const auto& [field, key] : kSittingFields)
      if (auto v = textFor(*sitting, key)) form.addField(field, *v);
  }
  form.addField("Submit", "Upload");
}

// The movie that goes with the image, or nullopt.
std::optional<std::string> moviePathFor(const Dict& info, const std::string& imagePath) {
  if (const Value* muxed = dictGet(info, kEdMuxedMovieName)) {
    auto path = muxed->stringValue();
    if (path && fileExistsAtPath(*path)) return path;
    return std::nullopt;
  }
  if (!DefaultsStore::standard().boolForKey(sPrefUploadMovie)) return std::nullopt;
  std::string path = appendingPathExtension(deletingPathExtension(imagePath), "mov");
  if (fileExistsAtPath(path)) return path;
  return std::nullopt;
}

}  // namespace

HttpController::HttpController(HttpTransport* transport) : transport_(transport) {
  checkNetworkSettingsOnce();
  auto& center = NotificationCenter::defaultCenter();
  center.addObserver(this, kUploadStartNotification,
                     [this](const Notification* n) { handleNotification_UploadStart(n); });
  center.addObserver(this, kUploadDoneNotification,
                     [this](const Notification* n) { handleNotification_UploadDone(n); });
  center.addObserver(this, kUploadSuccessNotification,
                     [this](const Notification* n) { handleNotification_UploadSuccess(n); });
  center.addObserver(this, kUploadFailNotification,
                     [this](const Notification* n) { handleNotification_UploadFail(n); });
}

HttpController::~HttpController() {
  NotificationCenter::defaultCenter().removeObserver(this);
}

void HttpController::setIsApplicationActiveHook(std::function<bool()> hook) {
  MutexLock lock(&hookMutex_);
  isActiveHook_ = std::move(hook);
}

bool HttpController::isApplicationActive() {
  std::function<bool()> hook;
  {
    MutexLock lock(&hookMutex_);
    hook = isActiveHook_;
  }
  return hook && hook();
}

bool HttpController::doRunHttpUploaderWithInfo(const DictRef& info) {
  if (!info) {
    NSLog("Passed NO Info to %s => %s...", kClassName, "doRunHttpUploaderWithInfo:");
    return true;
  }
  auto reply = makeDict(*info);
  auto finish = [&] {
    NotificationCenter::defaultCenter().post(kUploadDoneNotification, this, reply);
    info->clear();
    return true;
  };

  // Without a required key no request can be built; the attempt still ends in one
  // "UploadDoneNotification", as a failure, so that the cycle is not left waiting.
  for (const char* key : {kEdUser, kEdPasswd, kEdFileName, kEdClientName, kEdEventName, kEdMetaData,
                          kEdCaptureTime, kEdVyrFuseAction}) {
    if (!textFor(*info, key)) {
      NSLog("Inside %s => %s... upload info has no %s", kClassName,
            "doRunHttpUploaderWithInfo:", key);
      (*reply)[kHttpOurCustomStatus] = Value("Warning");
      (*reply)[kHttpOurCustomMessage] = Value(std::string("Upload info is missing ") + key);
      return finish();
    }
  }
  std::string user = *textFor(*info, kEdUser);
  std::string passwd = *textFor(*info, kEdPasswd);
  std::string imagePath = *textFor(*info, kEdFileName);
  std::string clientName = *textFor(*info, kEdClientName);

  MultipartForm form;
  addTextFields(form, *info, user, passwd, clientName);
  if (!form.refusedField().empty()) {
    // A value holding the delimiter would end its part early and forge fields of its own.
    myNSLog(
        "Not sending [%s]: its field \"%s\" holds the form's delimiter \"%s\"; it goes "
        "to the problem folder",
        imagePath.c_str(), form.refusedField().c_str(), kFormDelimiter);
    (*reply)[kHttpOurCustomStatus] = Value(kRefusedFormStatus);
    (*reply)[kHttpOurCustomMessage] = Value(
        stringWithFormat("The photo was not sent: its field \"%s\" holds the form's delimiter",
                         form.refusedField().c_str()));
    return finish();
  }
  form.addFilePartHeader("imgfile", lastPathComponent(imagePath), contentTypeForPath(imagePath));
  writeDebugDump(form, "postBodyData.txt", false);

  std::string err;
  std::shared_ptr<HttpBodyFile> image = HttpBodyFile::open(imagePath, &err);
  if (image) {
    form.addFile(image);
  } else {
    NSLog("Error in Reading the Contents of file at path:\n%s\n\n", imagePath.c_str());
  }

  Dict sent;
  if (image) sent[imagePath] = identityValue(*image);
  if (auto moviePath = moviePathFor(*info, imagePath)) {
    form.addFilePartHeader("vidfile", lastPathComponent(*moviePath), "video/quicktime");
    std::shared_ptr<HttpBodyFile> movie = HttpBodyFile::open(*moviePath, &err);
    if (!movie) {
      NSLog("Error in Reading the Contents of MOVIE file at path:\n%s\n\n", moviePath->c_str());
      if (debugDumpsWithFiles()) writeDebugDump(form, "postBodyDataWithImage.txt", true);
      markUnreadable(reply.get());
      return finish();
    }
    form.addFile(movie);
    sent[*moviePath] = identityValue(*movie);
  }
  (*reply)[kHttpSentFiles] = std::move(sent);
  if (debugDumpsWithFiles()) writeDebugDump(form, "postBodyDataWithImage.txt", true);
  if (!image) {
    // Nothing is sent; the reply info makes the item a failure instead of a silent success.
    markUnreadable(reply.get());
    return finish();
  }

  form.addClosingLine();
  HttpRequest request;
  request.url = Preferences::getPrefVyrURL().value_or("");
  request.headers.emplace_back("Content-Type", multipartContentType());
  request.body = form.body();
  request.stallTimeoutSeconds = stallTimeout_.load();
  request.forbiddenInFiles = kFileDelimiter;
  request.connection = kUploadConnection;
  request.maxSendBytesPerSecond = currentUploadRateCap();
  warnOnceIfPasswordInClear(request.url);

  request.progress = std::make_shared<UploadProgress>([] { return defaultClock().now(); });
  auto watch = std::make_shared<UploadWatch>(Preferences::getUploadTimeOut(), request.progress);
  armWatchdog(watch, watch->limit);
  HttpTransport& transport = transport_ ? *transport_ : defaultHttpTransport();
  HttpResult result = transport.post(request);
  {
    MutexLock lock(&watch->mutex);
    watch->over = true;
    if (watch->timer && watch->timer->isValid()) watch->timer->invalidate();
  }

  if (result.error && result.error->domain == kBodyRefusedDomain) {
    // The send stopped before the closing line, so the site has no complete upload.
    myNSLog("Stopped sending [%s]: %s; it goes to the problem folder", imagePath.c_str(),
            result.error->description.c_str());
    (*reply)[kHttpOurCustomStatus] = Value(kRefusedFormStatus);
    (*reply)[kHttpOurCustomMessage] = Value(result.error->description);
    return finish();
  }
  addHttpResultKeys(result, reply.get());
  if (result.statusCode == 429 || result.statusCode == 503) {
    // The site is busy and may say for how long.
    if (auto wait = retryAfterSeconds(result.responseHeaders, defaultClock().wallNow()))
      (*reply)[kHttpRetryAfter] = Value(*wait);
  }
  if (result.body) addUploadStatusKeys(parseUploadReply(*result.body), reply.get());
  return finish();
}

void HttpController::doRunHttpUploaderInThread(const Notification* notification) {
  if (!notification) {
    NSLog("Passed NO Info to %s => %s...", kClassName, "doRunHttpUploaderInThread:");
    return;
  }
  doRunHttpUploaderInThread(notification->userInfo);
}

void HttpController::doRunHttpUploaderInThread(const DictRef& info) {
  if (!info) {
    NSLog("Passed NO Info to %s => %s...", kClassName, "doRunHttpUploaderInThread:");
    return;
  }
  doRunHttpUploaderWithInfo(info);
}

void HttpController::handleNotification_UploadStart(const Notification* notification) {
  if (!notification) {
    NSLog("\n\nUnknown Notification Info inside %s::%s:\n%s\n\n", kClassName,
          "handleNotification_UploadStart:", "(null)");
    return;
  }
  doRunHttpUploaderInThread(notification);
}

void HttpController::handleNotification_UploadDone(const Notification* notification) {
  if (!notification) {
    NSLog("Unknown Class Type Found: [%s] with the info:\n", "(null)");
    return;
  }
  static const Dict kEmpty;
  const Dict& reply = notification->userInfo ? *notification->userInfo : kEmpty;
  const char* name =
      isUploadReplySuccess(reply) ? kUploadSuccessNotification : kUploadFailNotification;
  NotificationCenter::defaultCenter().post(name, this, notification->userInfo);
}

void HttpController::handleNotification_UploadSuccess(const Notification*) {
  NSLog("Inside %s => %s...", kClassName, "handleNotification_UploadSuccess:");
}

void HttpController::handleNotification_UploadFail(const Notification*) {
  NSLog("Inside %s => %s...", kClassName, "handleNotification_UploadFail:");
}

void HttpController::armWatchdog(const std::shared_ptr<UploadWatch>& watch, double seconds) {
  MutexLock lock(&watch->mutex);
  if (watch->over) return;
  // The timer holds the watch weakly: the upload owns it, and the two make no cycle.
  std::weak_ptr<UploadWatch> weak = watch;
  watch->timer = mainRunLoop().scheduleTimer(seconds, false, [this, weak](Timer& t) {
    std::shared_ptr<UploadWatch> live = weak.lock();
    if (!live) return;
    {
      MutexLock lock(&live->mutex);
      if (live->over) return;
    }
    // A slow upload whose bytes still move is not stuck: the watchdog waits for a stretch of
    // prefUploadTimeOut seconds in which none has moved.
    const double still = defaultClock().now() - live->progress->lastMove();
    if (still < live->limit) {
      if (!live->rearmed) {
        live->rearmed = true;
        NSLog(
            "The upload is slow but moving (%llu bytes sent); the watchdog waits until no "
            "byte has moved for %.0f seconds",
            static_cast<unsigned long long>(live->progress->bytesSent()), live->limit);
      }
      armWatchdog(live, live->limit - still);
      return;
    }
    uploadTimerFired(t);
  });
}

void HttpController::uploadTimerFired(Timer&) {
  // The line that explains the relaunch to come: a warning, not a trace.
  NSLogTextWithPriority(LogPriority::Warning,
                        stringWithFormat("Inside %s => %s.....Taking too long to upload - need "
                                         "to relaunch....",
                                         kClassName, "uploadTimerFired:"));
  HttpProgressDelegate* delegate = progressDelegate();
  if (!delegate) return;
  if (!delegate->respondsToRelaunchApp()) {
    NSLog("Inside %s => %s... progress delegate does not answer relaunchApp:", kClassName,
          "uploadTimerFired:");
    return;
  }
  Dict request{{"LSLaunchFlags",
                Value(static_cast<long long>(isApplicationActive() ? kLaunchFlagsActive
                                                                   : kLaunchFlagsInBackground))},
               {"sender", Value(static_cast<long long>(reinterpret_cast<std::intptr_t>(this)))}};
  mainRunLoop().post([delegate, request] { delegate->relaunchApp(request); });
}

bool isUploadReplySuccess(const Dict& reply) {
  bool failed = dictGet(reply, kHttpError) != nullptr || dictGet(reply, kHttpOurCustomError);
  if (const std::string* status = dictGetString(reply, kHttpOurCustomStatus)) {
    if (replyWordEquals(status, "FAIL") || replyWordEquals(status, "ERROR")) {
      failed = true;
    } else if (replyWordEquals(status, "Warning")) {
      failed = !replyWordEquals(dictGetString(reply, kHttpOurCustomMessage),
                                "No Email Addresses Sent") ||
               failed;
    }
  }
  if (const Value* code = dictGet(reply, kHttpStatusCode)) {
    long long status = code->integerValue();
    if (status != 200) {
      NSLog("HTTP Status Code is [%lli]", status);
      return false;
    }
  }
  return !failed;
}

}  // namespace sorv
