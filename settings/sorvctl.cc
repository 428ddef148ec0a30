// sorvctl: drives the agent running for this user over the session bus.
//   sorvctl upload-now | pause | quit | get KEY | set KEY VALUE | open FOLDER
//   sorvctl status [--json] | health
// Prints the reply; exits 1 on "COMMAND FAILED" (health: unhealthy), 3 when no agent runs,
// 4 on other errors.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

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
    "Exit status: 0 done, 1 COMMAND FAILED or unhealthy, 2 usage, 3 no agent running,\n"
    "4 other error.\n";

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
  return usage(stderr, 2);
}
