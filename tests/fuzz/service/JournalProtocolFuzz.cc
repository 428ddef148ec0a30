// Any bytes read as the stand-in journal reads them: as a native datagram, and as a stdout
// stream cut into reads at the positions the first bytes give. Every field of every entry
// lies within what was read, no stream line is longer than journald's limit, and each entry
// becomes one line of JSON.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/service/JournalProtocol.h"

namespace {

using namespace sorv::test::journal;

void checkEntry(const Entry& entry, std::size_t size) {
  for (const auto& [name, value] : entry)
    if (name.empty() || value.size() > size) __builtin_trap();
  if (toJson(entry).find('\n') != std::string::npos) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const Entry& entry : parseNative(bytes)) {
    checkEntry(entry, size);
    for (const auto& [name, value] : entry)
      if (!validFieldName(name) || name[0] == '_') __builtin_trap();
  }

  std::size_t cuts = size > 0 ? data[0] % 8 : 0;
  std::string_view rest = bytes.substr(size > cuts ? cuts + 1 : size);
  StreamParser parser;
  auto take = [&](const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
      checkEntry(entry, size);
      if (entry.empty() || entry[0].first != "MESSAGE" || entry[0].second.size() > kMaxLine)
        __builtin_trap();
    }
  };
  for (std::size_t i = 1; i <= cuts && !rest.empty(); ++i) {
    std::size_t n = data[i] % (rest.size() + 1);
    take(parser.feed(rest.substr(0, n)));
    rest.remove_prefix(n);
  }
  take(parser.feed(rest));
  take(parser.finish());
  return 0;
}
