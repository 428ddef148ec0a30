// The agent's remote control on the D-Bus session bus. One object offers two methods:
//   HandleEvent(s eventClass, s eventID, av directObject) -> v reply
//     the four-character event class and ID, the direct object's items (texts), and the
//     reply's direct object: a text, a list (av), or an empty list when none was set;
//   OpenFile(s folder) -> b handled
//     the open request of a later launch;
//   GetProblems() -> aa{sv}
//     the photos in the problem folder, newest first: "path", "movies" (as), "time", "reason",
//     and when known "http_status" (i), "site_status", "site_message", "transport_error";
//   Requeue(s path) -> (bs)
//     moves one photo of the problem folder back to the source: whether it moved, and why;
//   RequeueAll() -> (uas)
//     the same for every photo: how many moved, and a line for each photo.
// Only callers running as the same user as the agent are served.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

class RemoteService {
 public:
  // Run on the main thread, one call at a time.
  using EventHandler = std::function<AppleEventReply(const AppleEvent& event)>;
  using OpenHandler = std::function<bool(const std::string& folder)>;
  // Queues fn for the main thread (mainRunLoop().post in the agent).
  using Poster = std::function<void(std::function<void()> fn)>;
  // The problem folder's handlers, run on the main thread like the others.
  using ProblemsHandler = std::function<std::vector<RemoteProblem>()>;
  using RequeueHandler = std::function<bool(const std::string& path, std::string* message)>;
  using RequeueAllHandler = std::function<RemoteRequeueAnswer()>;
  struct Handlers {
    EventHandler onEvent;
    OpenHandler onOpen;
    ProblemsHandler onProblems;      // may be empty: the method is then refused
    RequeueHandler onRequeue;        // the same
    RequeueAllHandler onRequeueAll;  // the same
  };

  // Connects to the session bus, takes kRemoteBusName and serves calls on a thread of its
  // own until stop(). nullptr with a one-line reason when there is no bus or the name is
  // taken.
  static std::unique_ptr<RemoteService> start(Handlers handlers, Poster post, std::string* err);
  static std::unique_ptr<RemoteService> start(EventHandler onEvent, OpenHandler onOpen, Poster post,
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
