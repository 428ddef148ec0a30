// Conversions between the remote control's D-Bus values and property-list values: texts as
// "s", lists as "av" (a list of texts also arrives as "as"); anything else is not a text.
#pragma once

#include <sdbus-c++/Types.h>

#include <vector>

#include "platform/Value.h"

namespace sorv {

// Items that are neither texts nor lists become nil values. Lists nest at most a few levels.
Array remoteArrayFromVariants(const std::vector<sdbus::Variant>& items);
Value remoteValueFromVariant(const sdbus::Variant& v);
// Texts and lists of texts or lists; other values travel as their text, or an empty text.
sdbus::Variant remoteVariantFromValue(const Value& v);

}  // namespace sorv
