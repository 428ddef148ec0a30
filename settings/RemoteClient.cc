#include "settings/RemoteClient.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <map>

#include "settings/RemoteEvents.h"
#include "settings/RemoteService.h"
#include "settings/RemoteValue.h"

namespace sorv {

namespace {

RemoteCallResult failure(const sdbus::Error& e) {
  RemoteCallResult result;
  const std::string& name = e.getName();
  bool noAgent = name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                 name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
                 name == "org.freedesktop.DBus.Error.UnknownObject" || name == kRemoteErrorQuitting;
  result.status = noAgent ? RemoteCallResult::Status::NoAgent : RemoteCallResult::Status::Failed;
  result.error = e.getMessage().empty() ? name : e.getMessage();
  return result;
}

template <typename Fill, typename Read>
RemoteCallResult call(const char* method, double timeoutSeconds, Fill fill, Read read) {
  std::unique_ptr<sdbus::IConnection> connection;
  try {
    connection = sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& e) {
    RemoteCallResult result;
    result.status = RemoteCallResult::Status::NoAgent;
    result.error = "no session bus: " + e.getMessage();
    return result;
  }
  try {
    auto proxy = sdbus::createProxy(*connection, kRemoteBusName, kRemoteObjectPath);
    auto message = proxy->createMethodCall(kRemoteInterface, method);
    fill(message);
    auto answer = proxy->callMethod(message, std::uint64_t(timeoutSeconds * 1e6));
    RemoteCallResult result;
    result.status = RemoteCallResult::Status::Ok;
    result.reply = read(answer);
    return result;
  } catch (const sdbus::Error& e) {
    return failure(e);
  }
}

}  // namespace

RemoteCallResult sendRemoteEvent(std::uint32_t eventClass, std::uint32_t eventID,
                                 const Array& items, double timeoutSeconds) {
  std::vector<sdbus::Variant> list;
  for (const Value& item : items) list.push_back(remoteVariantFromValue(item));
  return call(
      "HandleEvent", timeoutSeconds,
      [&](sdbus::MethodCall& m) {
        m << fourCharCodeText(eventClass) << fourCharCodeText(eventID) << list;
      },
      [](sdbus::MethodReply& r) {
        sdbus::Variant v;
        r >> v;
        return remoteValueFromVariant(v);
      });
}

RemoteCallResult sendOpenRequest(const std::string& folder, double timeoutSeconds) {
  return call(
      "OpenFile", timeoutSeconds, [&](sdbus::MethodCall& m) { m << folder; },
      [](sdbus::MethodReply& r) {
        bool handled = false;
        r >> handled;
        return Value(handled);
      });
}

RemoteCallResult requestStatus(double timeoutSeconds) {
  return call(
      "GetStatus", timeoutSeconds, [](sdbus::MethodCall&) {},
      [](sdbus::MethodReply& r) {
        std::map<std::string, sdbus::Variant> status;
        r >> status;
        return Value(remoteDictFromVariants(status));
      });
}

RemoteCallResult sendProblemsRequest(std::vector<RemoteProblem>* problems, double timeoutSeconds) {
  return call(
      "GetProblems", timeoutSeconds, [](sdbus::MethodCall&) {},
      [&](sdbus::MethodReply& r) {
        std::vector<std::map<std::string, sdbus::Variant>> list;
        r >> list;
        auto text = [](const std::map<std::string, sdbus::Variant>& m, const char* key) {
          auto it = m.find(key);
          return it != m.end() && it->second.containsValueOfType<std::string>()
                     ? it->second.get<std::string>()
                     : std::string();
        };
        for (const auto& m : list) {
          RemoteProblem p;
          p.path = text(m, "path");
          p.time = text(m, "time");
          p.reason = text(m, "reason");
          p.siteStatus = text(m, "site_status");
          p.siteMessage = text(m, "site_message");
          p.transportError = text(m, "transport_error");
          if (auto it = m.find("movies");
              it != m.end() && it->second.containsValueOfType<std::vector<std::string>>())
            p.movies = it->second.get<std::vector<std::string>>();
          if (auto it = m.find("http_status");
              it != m.end() && it->second.containsValueOfType<std::int32_t>())
            p.httpStatus = it->second.get<std::int32_t>();
          problems->push_back(std::move(p));
        }
        return Value(static_cast<long long>(list.size()));
      });
}

RemoteCallResult sendRequeueRequest(const std::string& path, std::string* message,
                                    double timeoutSeconds) {
  return call(
      "Requeue", timeoutSeconds, [&](sdbus::MethodCall& m) { m << path; },
      [&](sdbus::MethodReply& r) {
        sdbus::Struct<bool, std::string> answer;
        r >> answer;
        *message = std::get<1>(answer);
        return Value(std::get<0>(answer));
      });
}

RemoteCallResult sendRequeueAllRequest(std::vector<std::string>* lines, double timeoutSeconds) {
  return call(
      "RequeueAll", timeoutSeconds, [](sdbus::MethodCall&) {},
      [&](sdbus::MethodReply& r) {
        sdbus::Struct<std::uint32_t, std::vector<std::string>> answer;
        r >> answer;
        *lines = std::get<1>(answer);
        return Value(static_cast<long long>(std::get<0>(answer)));
      });
}

std::string remoteReplyText(const Value& reply) {
  const Array* list = reply.asArray();
  if (!list) return reply.stringValue().value_or("");
  std::string text;
  for (const Value& item : *list) {
    if (const Array* inner = item.asArray()) {
      for (std::size_t i = 0; i < inner->size(); ++i)
        text += (i ? "\t" : "") + (*inner)[i].stringValue().value_or("");
    } else {
      text += item.stringValue().value_or("");
    }
    text += "\n";
  }
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace sorv
