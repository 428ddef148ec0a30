// Conversions between the remote control's D-Bus values and property-list values: texts as
// "s", lists as "av" (a list of texts also arrives as "as"); anything else is not a text.
#pragma once

#include <sdbus-c++/Types.h>

#include <map>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace sorv {

// Items that are neither texts nor lists become nil values. Lists nest at most a few levels.
Array remoteArrayFromVariants(const std::vector<sdbus::Variant>& items);
Value remoteValueFromVariant(const sdbus::Variant& v);
// Texts and lists of texts or lists; other values travel as their text, or an empty text.
sdbus::Variant remoteVariantFromValue(const Value& v);

// A flat dictionary as a{sv}: booleans "b", integers "x", reals "d", texts "s"; other
// values travel as their text.
std::map<std::string, sdbus::Variant> remoteDictToVariants(const Dict& d);
// The reverse, bounded: at most 64 keys, texts of at most 64 KiB; other types are left out.
Dict remoteDictFromVariants(const std::map<std::string, sdbus::Variant>& m);

}  // namespace sorv
