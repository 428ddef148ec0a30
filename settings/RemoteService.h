// The agent's remote control on the D-Bus session bus. One object offers these methods:
//   HandleEvent(s eventClass, s eventID, av directObject) -> v reply
//     the four-character event class and ID, the direct object's items (texts), and the
//     reply's direct object: a text, a list (av), or an empty list when none was set;
//   OpenFile(s folder) -> b handled
//     the open request of a later launch;
//   GetStatus() -> a{sv} status
//     the cycle's figures (settings/StatusReport.h gives the keys);
//   GetProblems() -> aa{sv}
//     the photos in the problem folder, newest first: "path", "movies" (as), "time", "reason",
//     and when known "http_status" (i), "site_status", "site_message", "transport_error";
//   Requeue(s path) -> (bs)
//     moves one photo of the problem folder back to the source: whether it moved, and why;
//   RequeueAll() -> (uas)
//     the same for every photo: how many moved, and a line for each photo.
// Only callers running as the same user as the agent are served. No exception from the bus or
// from a handler leaves the service: a failed call is answered with an error, and a connection
// that ends (the bus daemon stopped) ends the service and is reported through onLost.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// One photo of the problem folder as GetProblems gives it.
struct RemoteProblem {
  std::string path;  // relative to the problem folder
  std::vector<std::string> movies;
  std::string time;  // ISO 8601: when it was moved there
  std::string reason;
  std::optional<int> httpStatus;
  std::string siteStatus, siteMessage, transportError;  // "" when not known
};

struct RemoteRequeueAnswer {
  unsigned count = 0;              // photos moved back
  std::vector<std::string> lines;  // one a photo
};

// What the service answers with. onStatus runs on the serving thread, so it must be cheap and
// thread safe (it answers while the main thread is busy); an empty onStatus answers an empty
// dictionary. The others run on the main thread, one call at a time; an empty problem-folder
// handler refuses its method.
struct RemoteHandlers {
  std::function<AppleEventReply(const AppleEvent& event)> onEvent;
  std::function<bool(const std::string& folder)> onOpen;
  std::function<Dict()> onStatus;
  std::function<std::vector<RemoteProblem>()> onProblems;
  std::function<bool(const std::string& path, std::string* message)> onRequeue;
  std::function<RemoteRequeueAnswer()> onRequeueAll;
  // Posted once when the connection to the bus ends while the service runs, with a one-line
  // reason; the service then serves nothing more and is to be stopped and dropped.
  std::function<void(const std::string& why)> onLost;
};

class RemoteService {
 public:
  // Queues fn for the main thread (mainRunLoop().post in the agent).
  using Poster = std::function<void(std::function<void()> fn)>;

  // Connects to the session bus, takes kRemoteBusName and serves calls on a thread of its
  // own until stop() or until the connection ends. nullptr with a one-line reason when there
  // is no bus or the name is taken.
  static std::unique_ptr<RemoteService> start(RemoteHandlers handlers, Poster post,
                                              std::string* err);
  ~RemoteService();  // stop()
  RemoteService(const RemoteService&) = delete;
  RemoteService& operator=(const RemoteService&) = delete;

  // Releases the name and ends the serving thread after replies already made are sent. Calls
  // still waiting for the main thread get kRemoteErrorQuitting. Idempotent; not from the
  // serving thread.
  void stop();
  // False once the connection to the bus has ended (onLost is then on its way).
  bool connected() const;

  struct Impl;

 private:
  explicit RemoteService(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace sorv
