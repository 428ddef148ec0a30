// sorvctl: drives the agent running for this user over the session bus.
//   sorvctl upload-now | pause | quit | get KEY | set KEY VALUE | open FOLDER
//   sorvctl status [--json] | health | problems | requeue PATH | requeue --all
// Prints the reply; exits 1 on "COMMAND FAILED" (health: unhealthy; requeue: nothing moved),
// 3 when no agent runs, 4 on other errors.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/RemoteClient.h"
#include "settings/RemoteEvents.h"
#include "settings/StatusReport.h"

namespace {

constexpr const char* kUsage =
    "usage: sorvctl COMMAND\n"
    "Drives the Sorv upload agent running for this user.\n"
    "  upload-now         start or resume the upload cycle\n"
    "  pause              pause a running cycle after its current item\n"
    "  quit               quit the agent\n"
    "  get KEY            print a setting (userEnteredEventName, userLoginName,\n"
    "                     userLoginPassword, prefSecondsBetweenScans)\n"
    "  set KEY VALUE      change a setting\n"
    "  open FOLDER        start a pass over FOLDER\n"
    "  status [--json]    print the cycle's state and counts (--json: one JSON object)\n"
    "  health             print healthy (exit 0), or why not (exit 1)\n"
    "  problems           list the photos in the problem folder, newest first, with why\n"
    "  requeue PATH       move a photo (PATH inside the problem folder) and its movies back\n"
    "                     to the source folder for the next pass\n"
    "  requeue --all      the same for every photo of the problem folder\n"
    "Exit status: 0 done, 1 COMMAND FAILED, unhealthy or nothing requeued, 2 usage, 3 no\n"
    "agent running, 4 other error.\n";

int usage(FILE* out, int status) {
  std::fputs(kUsage, out);
  return status;
}

int report(const sorv::RemoteCallResult& result) {
  using Status = sorv::RemoteCallResult::Status;
  if (result.status == Status::NoAgent) {
    std::fprintf(stderr, "sorvctl: no Sorv upload agent is running for this user (%s)\n",
                 result.error.c_str());
    return 3;
  }
  if (result.status == Status::Failed) {
    std::fprintf(stderr, "sorvctl: the request failed: %s\n", result.error.c_str());
    return 4;
  }
  std::string text = sorv::remoteReplyText(result.reply);
  if (!text.empty()) std::printf("%s\n", text.c_str());
  return text == sorv::kReplyCommandFailed ? 1 : 0;
}

// status, status --json and health: the agent decides; sorvctl only prints.
int status(bool json, bool health) {
  sorv::RemoteCallResult result = sorv::requestStatus();
  if (result.status != sorv::RemoteCallResult::Status::Ok) return report(result);
  const sorv::Dict* d = result.reply.asDict();
  if (!d || !sorv::dictGet(*d, sorv::kStatusState)) {
    std::fprintf(stderr, "sorvctl: the agent sent no status\n");
    return 4;
  }
  if (!health) {
    std::string out = json ? sorv::statusJson(*d) + "\n" : sorv::statusLines(*d);
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  const sorv::Value* healthy = sorv::dictGet(*d, sorv::kStatusHealthy);
  if (healthy && healthy->asBoolean() && *healthy->asBoolean()) {
    std::printf("healthy\n");
    return 0;
  }
  const std::string* why = sorv::dictGetString(*d, sorv::kStatusHealthReason);
  std::printf("%s\n", why && !why->empty() ? why->c_str() : "no verdict");
  return 1;
}

// Bytes as the agent lists paths: valid UTF-8 as it is, any other byte as \xHH.
std::string displayed(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t n = c < 0x80             ? 1
                    : (c & 0xe0) == 0xc0 ? 2
                    : (c & 0xf0) == 0xe0 ? 3
                    : (c & 0xf8) == 0xf0 ? 4
                                         : 0;
    bool valid = n > 0 && c >= 0x20 && c != 0xc0 && c != 0xc1 && i + n <= bytes.size();
    for (std::size_t k = 1; valid && k < n; ++k)
      valid = (static_cast<unsigned char>(bytes[i + k]) & 0xc0) == 0x80;
    if (!valid) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      text += buf;
      continue;
    }
    text.append(bytes, i, n);
    i += n - 1;
  }
  return text;
}

int problems() {
  std::vector<sorv::RemoteProblem> list;
  auto result = sorv::sendProblemsRequest(&list);
  if (result.status != sorv::RemoteCallResult::Status::Ok) return report(result);
  for (const auto& p : list) {
    std::string movies;
    for (const auto& m : p.movies) movies += (movies.empty() ? " (with " : ", ") + m;
    if (!movies.empty()) movies += ")";
    std::printf("%s\t%s%s\t%s\n", p.time.c_str(), p.path.c_str(), movies.c_str(), p.reason.c_str());
  }
  return 0;
}

int requeue(const std::string& path) {
  std::string message;
  std::vector<std::string> lines;
  auto result = path.empty() ? sorv::sendRequeueAllRequest(&lines)
                             : sorv::sendRequeueRequest(displayed(path), &message);
  if (result.status != sorv::RemoteCallResult::Status::Ok) return report(result);
  if (!path.empty()) lines.push_back(message);
  for (const auto& line : lines) std::printf("%s\n", line.c_str());
  bool any = path.empty() ? result.reply.integerValue() > 0
                          : result.reply.asBoolean() && *result.reply.asBoolean();
  return any ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace sorv;
  if (argc < 2) return usage(stderr, 2);
  std::string command = argv[1];
  int extra = argc - 2;
  if (command == "--help" || command == "-h") return usage(stdout, 0);
  if ((command == "upload-now" || command == "pause" || command == "quit") && extra == 0) {
    std::uint32_t id = command == "pause" ? kPauseEventID : kUploadNowEventID;
    if (command == "quit") return report(sendRemoteEvent(kCoreEventClass, kAEQuitApplication, {}));
    return report(sendRemoteEvent(kSorvEventClass, id, {}));
  }
  if (command == "status" && extra == 0) return status(false, false);
  if (command == "status" && extra == 1 && std::strcmp(argv[2], "--json") == 0)
    return status(true, false);
  if (command == "health" && extra == 0) return status(false, true);
  if (command == "get" && extra == 1)
    return report(sendRemoteEvent(kSorvEventClass, kCommandEventID, {"getValue", argv[2], ""}));
  if (command == "set" && extra == 2)
    return report(
        sendRemoteEvent(kSorvEventClass, kCommandEventID, {"setValue", argv[2], argv[3]}));
  if (command == "open" && extra == 1) {
    std::error_code ec;
    auto folder = std::filesystem::absolute(argv[2], ec);
    auto result = sendOpenRequest(ec ? std::string(argv[2]) : folder.string());
    if (result.status == RemoteCallResult::Status::Ok) {
      bool handled = result.reply.asBoolean() && *result.reply.asBoolean();
      std::printf("%s\n", handled ? "OPENED" : "NOT OPENED");
      return handled ? 0 : 1;
    }
    return report(result);
  }
  if (command == "problems" && extra == 0) return problems();
  if (command == "requeue" && extra == 1) {
    std::string path = argv[2];
    if (path == "--all") return requeue("");
    if (path.empty()) return usage(stderr, 2);
    return requeue(path);
  }
  return usage(stderr, 2);
}
