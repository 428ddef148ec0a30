#include "ui/PrefsSeams.h"

#include "platform/Console.h"

namespace sorv {

std::string transformedValue(const std::string&, const std::string& value) {
  return value;
}

bool savePreferencesToFile(const std::string& path) {
  NSLog("Preference files are not part of this build; nothing written to [%s]", path.c_str());
  return false;
}

bool loadPreferencesFromFile(const std::string& path) {
  NSLog("Preference files are not part of this build; nothing read from [%s]", path.c_str());
  return false;
}

}  // namespace sorv
