// The event codes, apart from the events' handling: the remote-control client needs them
// without the defaults store that the handling brings.
#include <cstdint>
#include <optional>
#include <string>

#include "settings/RemoteEvents.h"

namespace sorv {

std::optional<std::uint32_t> fourCharCodeFromText(const std::string& text) {
  if (text.size() != 4) return std::nullopt;
  std::uint32_t code = 0;
  for (char c : text) code = (code << 8) | std::uint8_t(c);
  return code;
}

std::string fourCharCodeText(std::uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = char((code >> (24 - 8 * i)) & 0xff);
  return text;
}

bool isInstalledRemoteEvent(std::uint32_t eventClass, std::uint32_t eventID) {
  for (const auto& e : kRemoteEvents)
    if (e.eventClass == eventClass && e.eventID == eventID) return true;
  return false;
}

}  // namespace sorv
