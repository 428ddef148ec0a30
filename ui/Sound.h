// Short sounds from the bundle's resources (the lock's "lockOpening" and "lockClosing").
#pragma once

#include <string>

namespace sorv {

// Plays Resources/<name>.<type> on the default sound device without blocking the caller: the
// device is opened here and the samples are written by a thread of their own. True when the
// sound started playing; false for a missing or unreadable file or when there is no device.
bool doPlaySound(const std::string& name, const std::string& type);

}  // namespace sorv
