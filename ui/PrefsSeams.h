// What the preferences window borrows from the settings area: the display transformers and
// preference files, one function each.
#pragma once

#include <string>

namespace sorv {

// The display of value through the named transformer ("ShowSpacesTransformer", ...).
std::string transformedValue(const std::string& transformerName, const std::string& value);

// Writes the preference keys to a preference file at path / loads one; false when it failed.
bool savePreferencesToFile(const std::string& path);
bool loadPreferencesFromFile(const std::string& path);

}  // namespace sorv
