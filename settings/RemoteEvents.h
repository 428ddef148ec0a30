// Remote control events: the four events other programs send the agent (upload now, pause,
// quit, and the command event that reads or sets one preference) and their handling. The
// transport (RemoteService) delivers each event here on the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv {

// A four-character code as a 32-bit big-endian value ('sorv').
constexpr std::uint32_t fourCharCode(const char (&text)[5]) {
  return (std::uint32_t(std::uint8_t(text[0])) << 24) |
         (std::uint32_t(std::uint8_t(text[1])) << 16) |
         (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3]));
}
// nullopt unless text is exactly four bytes.
std::optional<std::uint32_t> fourCharCodeFromText(const std::string& text);
std::string fourCharCodeText(std::uint32_t code);

inline constexpr std::uint32_t kSorvEventClass = fourCharCode("sorv");
inline constexpr std::uint32_t kUploadNowEventID = fourCharCode("upnw");
inline constexpr std::uint32_t kPauseEventID = fourCharCode("paus");
inline constexpr std::uint32_t kCommandEventID = fourCharCode("1234");
inline constexpr std::uint32_t kCoreEventClass = fourCharCode("aevt");
inline constexpr std::uint32_t kAEQuitApplication = fourCharCode("quit");

struct AppleEventCode {
  std::uint32_t eventClass;
  std::uint32_t eventID;
};
// The installed events, in installation order: upload-now, pause, command, quit.
inline constexpr AppleEventCode kRemoteEvents[] = {{kSorvEventClass, kUploadNowEventID},
                                                   {kSorvEventClass, kPauseEventID},
                                                   {kSorvEventClass, kCommandEventID},
                                                   {kCoreEventClass, kAEQuitApplication}};
bool isInstalledRemoteEvent(std::uint32_t eventClass, std::uint32_t eventID);

inline constexpr const char* kReplyAccepted = "ACCEPTED";
inline constexpr const char* kReplyCommandSuccess = "COMMAND SUCCESS";
inline constexpr const char* kReplyCommandFailed = "COMMAND FAILED";

// What the events act on: the application controller in the agent, a recorder in tests.
class RemoteEventTarget {
 public:
  virtual ~RemoteEventTarget() = default;
  virtual void forceProcessToPause() = 0;
  virtual void ibClickedOnSynchronizeAgain() = 0;
  virtual void closeCurrentAlert() = 0;
  virtual void ibClickedOnQuit() = 0;
};

struct AppleEvent {
  std::uint32_t eventClass = 0;
  std::uint32_t eventID = 0;
  // The direct object: a list whose items are texts (other values are not texts).
  std::optional<Array> directObject;
};

// The reply event's direct object: a text, a list, or nothing (nullopt).
using AppleEventReply = std::optional<Value>;

// Handles one event on the main thread. event nullptr: nothing happens. replyEvent nullptr:
// the event came without a reply event (a command event then does nothing at all).
// Stored values go through saveSettingToUserDefaults.
void handleTestAEHandler(RemoteEventTarget& target, const AppleEvent* event,
                         AppleEventReply* replyEvent);

// The numeric value of the longest decimal prefix after leading white space ("9e1" gives
// 90, "12abc" 12); 0 when the text does not begin with a number.
double leadingDecimalValue(const std::string& text);

}  // namespace sorv
