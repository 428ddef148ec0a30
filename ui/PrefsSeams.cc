#include "ui/PrefsSeams.h"

#include "platform/Console.h"
#include "settings/PreferenceFiles.h"
#include "settings/ValueTransformers.h"

namespace sorv {

std::string transformedValue(const std::string& transformerName, const std::string& value) {
  auto transformer = ValueTransformer::valueTransformerForName(transformerName);
  if (!transformer) return value;
  return transformer->transformedValue(value).value_or("");
}

bool savePreferencesToFile(const std::string& path) {
  std::string why;
  if (PreferenceFiles::savePrefsToFile(path, &why)) return true;
  NSLog("Unable to save the preferences to [%s]: %s", path.c_str(), why.c_str());
  return false;
}

bool loadPreferencesFromFile(const std::string& path) {
  std::string why;
  if (PreferenceFiles::loadPrefsFromFile(path, &why)) return true;
  NSLog("Unable to load the preferences from [%s]: %s", path.c_str(), why.c_str());
  return false;
}

}  // namespace sorv
