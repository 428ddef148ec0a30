// Start-up lines about the network settings of the environment and the site address.
#pragma once

#include <string>

namespace sorv {

// Logs, once per process, a SORV_MAX_UPLOAD_RATE that is not a rate (uploads then go uncapped)
// and a SORV_CA_FILE that cannot be read.
void checkNetworkSettingsOnce();

// Logs, once per process, that url sends the site password unencrypted (http:// to another
// computer).
void warnOnceIfPasswordInClear(const std::string& url);

// The kept connection of photo uploads, and the one of order checks beside it.
inline constexpr const char* kUploadConnection = "uploads";
inline constexpr const char* kOrdersConnection = "orders";

}  // namespace sorv
