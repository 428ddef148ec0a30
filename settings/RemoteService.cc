#include "settings/RemoteService.h"

#include <limits.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "settings/RemoteValue.h"

namespace sorv {

namespace {

constexpr std::size_t kMaxItems = 64;
constexpr std::size_t kMaxTextBytes = 64 * 1024;
constexpr const char* kErrorFailed = "org.freedesktop.DBus.Error.Failed";

std::string errorText(const sdbus::Error& e) {
  return e.getMessage().empty() ? e.getName() : e.getMessage();
}

// One call waiting for the main thread. The posted work may outlive the service.
struct PendingCall {
  std::mutex m;
  std::condition_variable cv;
  bool started = false;
  bool done = false;
  bool abandoned = false;  // no longer wanted unless already started
  std::string failure;     // what the work threw, "" when it did not
};

}  // namespace

struct RemoteService::Impl {
  RemoteHandlers handlers;
  Poster post;
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<sdbus::IObject> object;
  std::thread serving;
  std::atomic<bool> lost{false};
  bool stopped = false;

  std::mutex pendingMutex;
  std::vector<std::weak_ptr<PendingCall>> pending;
  bool stopping = false;  // pendingMutex

  // Unique connection names are never reused on a bus, so a caller's user stays known.
  std::map<std::string, uid_t> callerUsers;  // serving thread only

  void requireSameUser(sdbus::MethodCall& call) {
    std::string sender = call.getSender();
    auto it = callerUsers.find(sender);
    uid_t uid;
    if (it != callerUsers.end()) {
      uid = it->second;
    } else {
      uid = call.getCredsUid();  // asks the bus daemon; throws when it cannot tell
      if (callerUsers.size() >= 256) callerUsers.clear();
      callerUsers.emplace(sender, uid);
    }
    if (uid != ::getuid())
      throw sdbus::Error(kRemoteErrorAccessDenied, "the agent serves only its own user");
  }

  // Runs fn on the main thread and waits for it; false when the service stops first.
  bool runOnMainThread(std::function<void()> fn) {
    auto call = std::make_shared<PendingCall>();
    {
      std::lock_guard<std::mutex> lock(pendingMutex);
      if (stopping) return false;
      std::erase_if(pending, [](const auto& w) { return w.expired(); });
      pending.push_back(call);
    }
    post([call, fn = std::move(fn)] {
      {
        std::lock_guard<std::mutex> lock(call->m);
        if (call->abandoned) return;
        call->started = true;
      }
      std::string failure;
      try {
        fn();
      } catch (const std::exception& e) {
        failure = e.what();
      } catch (...) {
        failure = "the call failed";
      }
      std::lock_guard<std::mutex> lock(call->m);
      call->failure = std::move(failure);
      call->done = true;
      call->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(call->m);
    call->cv.wait(lock, [&] { return call->done || (call->abandoned && !call->started); });
    if (call->done && !call->failure.empty()) throw sdbus::Error(kErrorFailed, call->failure);
    return call->done;
  }

  // The serving thread: the library's event loop, which throws once the connection ends.
  void serve() {
    std::string why;
    try {
      connection->enterEventLoop();
      return;  // left by stop()
    } catch (const sdbus::Error& e) {
      why = errorText(e);
    } catch (const std::exception& e) {
      why = e.what();
    } catch (...) {
      why = "the connection failed";
    }
    lost = true;
    if (handlers.onLost) post([fn = handlers.onLost, why] { fn(why); });
  }

  // A method of this object as the library calls it: whatever the method throws reaches the
  // caller as an error reply, never the library's loop.
  std::function<void(sdbus::MethodCall)> guarded(void (Impl::*method)(sdbus::MethodCall)) {
    return [this, method](sdbus::MethodCall call) {
      try {
        (this->*method)(std::move(call));
      } catch (const sdbus::Error&) {
        throw;
      } catch (const std::exception& e) {
        throw sdbus::Error(kErrorFailed, e.what());
      } catch (...) {
        throw sdbus::Error(kErrorFailed, "the call failed");
      }
    };
  }

  void abandonPending() {
    std::lock_guard<std::mutex> lock(pendingMutex);
    stopping = true;
    for (auto& w : pending) {
      if (auto call = w.lock()) {
        std::lock_guard<std::mutex> callLock(call->m);
        call->abandoned = true;
        call->cv.notify_all();
      }
    }
  }

  void handleEvent(sdbus::MethodCall call) {
    requireSameUser(call);
    std::string classText, idText;
    std::vector<sdbus::Variant> items;
    call >> classText >> idText >> items;
    auto eventClass = fourCharCodeFromText(classText), eventID = fourCharCodeFromText(idText);
    if (!eventClass || !eventID || !isInstalledRemoteEvent(*eventClass, *eventID))
      throw sdbus::Error(kRemoteErrorUnknownEvent,
                         "no handler for the event '" + classText + "' '" + idText + "'");
    // The handler reads three items; more, or very long texts, are refused unread.
    bool tooLarge = items.size() > kMaxItems;
    for (const auto& item : items)
      tooLarge = tooLarge || (item.containsValueOfType<std::string>() &&
                              item.get<std::string>().size() > kMaxTextBytes);
    if (tooLarge)
      throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                         "the direct object is too large");
    AppleEvent event{*eventClass, *eventID, std::nullopt};
    if (!items.empty()) event.directObject = remoteArrayFromVariants(items);
    AppleEventReply reply;
    if (!runOnMainThread([&] { reply = handlers.onEvent(event); }))
      throw sdbus::Error(kRemoteErrorQuitting, "the agent is quitting");
    auto answer = call.createReply();
    answer << remoteVariantFromValue(reply.value_or(Value(Array{})));
    answer.send();
  }

  void openFile(sdbus::MethodCall call) {
    requireSameUser(call);
    std::string folder;
    call >> folder;
    if (folder.empty() || folder.size() >= PATH_MAX)
      throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs", "not a folder path");
    bool handled = false;
    if (!runOnMainThread([&] { handled = handlers.onOpen(folder); }))
      throw sdbus::Error(kRemoteErrorQuitting, "the agent is quitting");
    auto answer = call.createReply();
    answer << handled;
    answer.send();
  }

  void getStatus(sdbus::MethodCall call) {
    requireSameUser(call);
    Dict status = handlers.onStatus ? handlers.onStatus() : Dict();
    auto answer = call.createReply();
    answer << remoteDictToVariants(status);
    answer.send();
  }

  void getProblems(sdbus::MethodCall call) {
    requireSameUser(call);
    std::vector<RemoteProblem> problems;
    if (!handlers.onProblems)
      throw sdbus::Error("org.freedesktop.DBus.Error.UnknownMethod", "not served");
    if (!runOnMainThread([&] { problems = handlers.onProblems(); }))
      throw sdbus::Error(kRemoteErrorQuitting, "the agent is quitting");
    std::vector<std::map<std::string, sdbus::Variant>> list;
    for (const RemoteProblem& p : problems) {
      std::map<std::string, sdbus::Variant> entry{{"path", sdbus::Variant(p.path)},
                                                  {"movies", sdbus::Variant(p.movies)},
                                                  {"time", sdbus::Variant(p.time)},
                                                  {"reason", sdbus::Variant(p.reason)}};
      if (p.httpStatus) entry.emplace("http_status", sdbus::Variant(std::int32_t(*p.httpStatus)));
      if (!p.siteStatus.empty()) entry.emplace("site_status", sdbus::Variant(p.siteStatus));
      if (!p.siteMessage.empty()) entry.emplace("site_message", sdbus::Variant(p.siteMessage));
      if (!p.transportError.empty())
        entry.emplace("transport_error", sdbus::Variant(p.transportError));
      list.push_back(std::move(entry));
    }
    auto answer = call.createReply();
    answer << list;
    answer.send();
  }

  void requeue(sdbus::MethodCall call) {
    requireSameUser(call);
    std::string path;
    call >> path;
    if (path.empty() || path.size() >= PATH_MAX)
      throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs", "not a path");
    bool moved = false;
    std::string message;
    if (!handlers.onRequeue)
      throw sdbus::Error("org.freedesktop.DBus.Error.UnknownMethod", "not served");
    if (!runOnMainThread([&] { moved = handlers.onRequeue(path, &message); }))
      throw sdbus::Error(kRemoteErrorQuitting, "the agent is quitting");
    auto answer = call.createReply();
    answer << sdbus::Struct<bool, std::string>(moved, message);
    answer.send();
  }

  void requeueAll(sdbus::MethodCall call) {
    requireSameUser(call);
    RemoteRequeueAnswer result;
    if (!handlers.onRequeueAll)
      throw sdbus::Error("org.freedesktop.DBus.Error.UnknownMethod", "not served");
    if (!runOnMainThread([&] { result = handlers.onRequeueAll(); }))
      throw sdbus::Error(kRemoteErrorQuitting, "the agent is quitting");
    auto answer = call.createReply();
    answer << sdbus::Struct<std::uint32_t, std::vector<std::string>>(result.count, result.lines);
    answer.send();
  }
};

std::unique_ptr<RemoteService> RemoteService::start(RemoteHandlers handlers, Poster post,
                                                    std::string* err) {
  auto impl = std::make_unique<Impl>();
  impl->handlers = std::move(handlers);
  impl->post = std::move(post);
  try {
    impl->connection = sdbus::createSessionBusConnection();
    impl->connection->requestName(kRemoteBusName);
    impl->object = sdbus::createObject(*impl->connection, kRemoteObjectPath);
    Impl* raw = impl.get();
    impl->object->registerMethod(kRemoteInterface, "HandleEvent", "ssav", "v",
                                 raw->guarded(&Impl::handleEvent));
    impl->object->registerMethod(kRemoteInterface, "OpenFile", "s", "b",
                                 raw->guarded(&Impl::openFile));
    impl->object->registerMethod(kRemoteInterface, "GetStatus", "", "a{sv}",
                                 raw->guarded(&Impl::getStatus));
    impl->object->registerMethod(kRemoteInterface, "GetProblems", "", "aa{sv}",
                                 raw->guarded(&Impl::getProblems));
    impl->object->registerMethod(kRemoteInterface, "Requeue", "s", "(bs)",
                                 raw->guarded(&Impl::requeue));
    impl->object->registerMethod(kRemoteInterface, "RequeueAll", "", "(uas)",
                                 raw->guarded(&Impl::requeueAll));
    impl->object->finishRegistration();
    // Our own thread rather than the library's: its loop throws when the bus goes away.
    impl->serving = std::thread([raw] { raw->serve(); });
  } catch (const sdbus::Error& e) {
    if (err) *err = errorText(e);
    return nullptr;
  } catch (const std::exception& e) {
    if (err) *err = e.what();
    return nullptr;
  }
  return std::unique_ptr<RemoteService>(new RemoteService(std::move(impl)));
}

RemoteService::RemoteService(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

RemoteService::~RemoteService() {
  stop();
}

void RemoteService::stop() {
  if (impl_->stopped) return;
  impl_->stopped = true;
  impl_->abandonPending();
  // On a bus that went away each of these fails; none of that may stop the quit.
  try {
    impl_->connection->releaseName(kRemoteBusName);
  } catch (...) {
  }
  try {
    impl_->connection->leaveEventLoop();
  } catch (...) {
  }
  if (impl_->serving.joinable()) impl_->serving.join();
  try {
    impl_->object.reset();
    impl_->connection.reset();  // flushes replies already queued
  } catch (...) {
  }
}

bool RemoteService::connected() const {
  return !impl_->lost;
}

}  // namespace sorv
