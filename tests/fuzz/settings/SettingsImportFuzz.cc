// Parses arbitrary bytes as a kiosk's settings file: never crashes, every problem names a line
// of the file, and every value a valid file sets passes the rules for stored values too.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/SettingsImport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  sorv::SettingsFile file = sorv::parseSettingsText(text);
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  for (const auto& p : file.problems)
    if (p.line < 0 || static_cast<std::size_t>(p.line) > lines || p.text.empty()) std::abort();
  if (!file.problems.empty()) return 0;
  for (const auto& s : file.settings) {
    if (!sorv::isImportableSetting(s.key)) std::abort();
    if (sorv::storedSettingProblem(s.key, s.value)) std::abort();
    (void)sorv::settingDisplayText(s.key, s.value);
  }
  return 0;
}
