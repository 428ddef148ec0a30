// The agent's remote control on the D-Bus session bus. One object offers two methods:
//   HandleEvent(s eventClass, s eventID, av directObject) -> v reply
//     the four-character event class and ID, the direct object's items (texts), and the
//     reply's direct object: a text, a list (av), or an empty list when none was set;
//   OpenFile(s folder) -> b handled
//     the open request of a later launch;
//   GetStatus() -> a{sv} status
//     the cycle's figures (settings/StatusReport.h gives the keys).
// Only callers running as the same user as the agent are served.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/Value.h"
#include "settings/RemoteEvents.h"

namespace sorv {

inline constexpr const char* kRemoteBusName = "com.quenmor.SorvUploader";
inline constexpr const char* kRemoteObjectPath = "/com/quenmor/SorvUploader";
inline constexpr const char* kRemoteInterface = "com.quenmor.SorvUploader.Remote";
inline constexpr const char* kRemoteErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr const char* kRemoteErrorUnknownEvent =
    "com.quenmor.SorvUploader.Error.UnknownEvent";
inline constexpr const char* kRemoteErrorQuitting = "com.quenmor.SorvUploader.Error.Quitting";

// What the service answers with. onEvent and onOpen run on the main thread, one call at a
// time; onStatus runs on the serving thread, so it must be cheap and thread safe (it answers
// while the main thread is busy). An empty onStatus answers an empty dictionary.
struct RemoteHandlers {
  std::function<AppleEventReply(const AppleEvent& event)> onEvent;
  std::function<bool(const std::string& folder)> onOpen;
  std::function<Dict()> onStatus;
};

class RemoteService {
 public:
  // Queues fn for the main thread (mainRunLoop().post in the agent).
  using Poster = std::function<void(std::function<void()> fn)>;

  // Connects to the session bus, takes kRemoteBusName and serves calls on a thread of its
  // own until stop(). nullptr with a one-line reason when there is no bus or the name is
  // taken.
  static std::unique_ptr<RemoteService> start(RemoteHandlers handlers, Poster post,
                                              std::string* err);
  ~RemoteService();  // stop()
  RemoteService(const RemoteService&) = delete;
  RemoteService& operator=(const RemoteService&) = delete;

  // Releases the name and ends the serving thread after replies already made are sent. Calls
  // still waiting for the main thread get kRemoteErrorQuitting. Idempotent; not from the
  // serving thread.
  void stop();

  struct Impl;

 private:
  explicit RemoteService(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace sorv
