// The controller's remote control and the preferences window's display conversions: the
// value transformers registered at class set-up, and the event service started while the
// application finishes launching.
#include "app/AppController.h"
#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/RunLoop.h"
#include "platform/fs/FileSystem.h"
#include "settings/RemoteEvents.h"
#include "settings/RemoteService.h"
#include "settings/ValueTransformers.h"

namespace sorv {

namespace {

// The events act on the controller as the window's buttons would, without a sender.
class ControllerEventTarget : public RemoteEventTarget {
 public:
  explicit ControllerEventTarget(AppController* controller) : controller_(controller) {}
  void forceProcessToPause() override { controller_->pauseOnRequest(); }
  void ibClickedOnSynchronizeAgain() override { controller_->ibClickedOnSynchronizeAgain(nullptr); }
  void closeCurrentAlert() override { controller_->closeCurrentAlert(); }
  void ibClickedOnQuit() override { controller_->ibClickedOnQuit(nullptr); }

 private:
  AppController* controller_;
};

// The site hosts of the login-name display, from the Info dictionary when it names them.
SiteHosts siteHostsFromBundle() {
  SiteHosts hosts;
  const Dict& info = Bundle::infoDictionary();
  if (const std::string* s = dictGetString(info, "SorvServiceDomain")) hosts.serviceDomain = *s;
  if (const std::string* s = dictGetString(info, "SorvSecondBrandDomain"))
    hosts.secondBrandDomain = *s;
  if (const std::string* s = dictGetString(info, "SorvSecondBrandPictureHost"))
    hosts.secondBrandPictureHost = *s;
  return hosts;
}

}  // namespace

void AppController::registerValueTransformers() {
  ValueTransformer::setValueTransformer(
      std::make_shared<LoginNameToFtpNameTransformer>(siteHostsFromBundle()), "LoginNameToFtpName");
  ValueTransformer::setValueTransformer(std::make_shared<ShowSpacesTransformer>(),
                                        "ShowSpacesTransformer");
  ValueTransformer::setValueTransformer(std::make_shared<UpperStringTransformer>(),
                                        "UpperStringTransformer");
}

RemoteHandlers AppController::remoteHandlers(int generation) {
  auto target = std::make_shared<ControllerEventTarget>(this);
  RemoteHandlers handlers;
  handlers.onEvent = [target](const AppleEvent& event) {
    AppleEventReply reply;
    handleTestAEHandler(*target, &event, &reply);
    return reply;
  };
  handlers.onOpen = [this](const std::string& folder) {
    // A relative path, or a path that names no folder, opens nothing: the caller is told.
    FileInfo info;
    if (folder.empty() || folder[0] != '/' || defaultFileSystem().stat(folder, &info) != 0 ||
        info.type != FileType::Directory)
      return false;
    resetSiteBackoff("a new open request came");
    return applicationOpenFile(folder);
  };
  // Answered on the service's own thread: a busy main thread does not delay it.
  handlers.onStatus = [this] { return statusReport(); };
  handlers.onProblems = [this] {
    std::vector<RemoteProblem> list;
    for (auto& p : problemPhotos()) {
      std::optional<int> status;
      if (p.httpStatus) status = static_cast<int>(*p.httpStatus);
      list.push_back({std::move(p.path), std::move(p.movies), std::move(p.time),
                      std::move(p.reason), status, std::move(p.siteStatus),
                      std::move(p.siteMessage), std::move(p.transportError)});
    }
    return list;
  };
  handlers.onRequeue = [this](const std::string& path, std::string* message) {
    return requeueProblemPhoto(path, message);
  };
  handlers.onRequeueAll = [this] {
    RemoteRequeueAnswer answer;
    answer.count = static_cast<unsigned>(requeueAllProblemPhotos(&answer.lines));
    return answer;
  };
  std::weak_ptr<int> alive = remoteAlive_;
  handlers.onLost = [this, alive, generation](const std::string& why) {
    if (alive.lock()) remoteControlLost(generation, why);
  };
  return handlers;
}

void AppController::setupForAppleEventsForThisApp() {
  if (remoteService_) return;
  std::string why;
  auto service = RemoteService::start(
      remoteHandlers(++remoteGeneration_),
      [](std::function<void()> fn) { mainRunLoop().post(std::move(fn)); }, &why);
  if (!service) {
    NSLog("UNABLE setupForAppleEventsForThisApp\n");
    NSLog("Remote control is off: %s", why.c_str());
    remoteControlOff(remoteReconnect_.off(defaultClock().now()));
    return;
  }
  remoteService_ = std::move(service);
  remoteReconnect_.on(defaultClock().now());
}

void AppController::remoteControlOff(double wait) {
  if (remoteStopped_) return;
  if (remoteRetryTimer_) remoteRetryTimer_->invalidate();
  remoteRetryTimer_ =
      mainRunLoop().scheduleTimer(wait, false, [this](Timer&) { tryRemoteControlAgain(); });
}

// The bus may be slow to answer, or stalled: the try runs on a thread of its own and the main
// loop goes on.
void AppController::tryRemoteControlAgain() {
  if (remoteStopped_ || remoteService_ || remoteTrying_) return;
  remoteTrying_ = true;
  auto handlers = std::make_shared<RemoteHandlers>(remoteHandlers(++remoteGeneration_));
  std::weak_ptr<int> alive = remoteAlive_;
  spawn("remoteRetry", [this, handlers, alive] {
    std::string why;
    std::shared_ptr<RemoteService> service = RemoteService::start(
        *handlers, [](std::function<void()> fn) { mainRunLoop().post(std::move(fn)); }, &why);
    mainRunLoop().post([this, alive, service] {
      if (!alive.lock()) return;
      remoteTrying_ = false;
      if (service && (remoteStopped_ || !service->connected())) service->stop();
      if (remoteStopped_) return;
      if (!service || !service->connected()) {
        remoteControlOff(remoteReconnect_.off(defaultClock().now()));
        return;
      }
      remoteService_ = service;
      remoteReconnect_.on(defaultClock().now());
      MessageLog::LogMessage(
          "Remote control is on again: the agent took its name on the session bus", true);
    });
  });
}

void AppController::remoteControlLost(int generation, const std::string& why) {
  if (remoteStopped_ || !remoteService_ || generation != remoteGeneration_) return;
  remoteService_->stop();
  remoteService_.reset();
  std::string text = "WARNING: Remote control is off: the session bus went away (" + why +
                     "); uploads go on, and the agent takes its name again when a bus is back";
  MessageLog::LogMessage(text.c_str(), true);
  remoteControlOff(remoteReconnect_.off(defaultClock().now()));
}

void AppController::stopRemoteControl() {
  remoteStopped_ = true;
  if (remoteRetryTimer_) remoteRetryTimer_->invalidate();
  if (remoteService_) remoteService_->stop();
}

}  // namespace sorv
