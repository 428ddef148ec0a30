// The client side of the remote control: sends one event, or an open request, to the agent
// running for this user on the session bus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "settings/RemoteService.h"

namespace sorv {

struct RemoteCallResult {
  enum class Status { Ok, NoAgent, Failed };
  Status status = Status::Failed;
  Value reply;        // Ok: the reply (a text, or a list; an empty list when none was set)
  std::string error;  // otherwise: a one-line reason
};

// Sends the event with the given direct-object items (texts) and waits up to timeoutSeconds.
// NoAgent when there is no session bus or nobody owns the agent's name.
RemoteCallResult sendRemoteEvent(std::uint32_t eventClass, std::uint32_t eventID,
                                 const Array& items, double timeoutSeconds = 25);
// Hands folder to the running agent as an open request; reply: whether it was handled.
RemoteCallResult sendOpenRequest(const std::string& folder, double timeoutSeconds = 25);

// The cycle's status (reply: a Dict with the keys of settings/StatusReport.h).
RemoteCallResult requestStatus(double timeoutSeconds = 25);
// The photos in the problem folder (GetProblems), newest first; *problems is filled when the
// result is Ok.
RemoteCallResult sendProblemsRequest(std::vector<RemoteProblem>* problems,
                                     double timeoutSeconds = 25);
// Requeue(path): reply true when it moved; *message: the agent's line.
RemoteCallResult sendRequeueRequest(const std::string& path, std::string* message,
                                    double timeoutSeconds = 120);
// RequeueAll(): reply the number moved; *lines: one a photo.
RemoteCallResult sendRequeueAllRequest(std::vector<std::string>* lines,
                                       double timeoutSeconds = 600);

// The reply as printed by sorvctl: a text as it is; a list's items one a line, the items of
// a nested list separated by tabs.
std::string remoteReplyText(const Value& reply);

}  // namespace sorv
