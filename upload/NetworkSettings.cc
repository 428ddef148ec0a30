#include "upload/NetworkSettings.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "log/MessageLog.h"
#include "platform/http/HttpTransport.h"
#include "platform/http/UploadRate.h"

namespace sorv {

void checkNetworkSettingsOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string err;
    uploadRateFromEnvironment(&err);
    if (!err.empty())
      myNSLog("ERROR: %s=\"%s\" is not used (%s); uploads are not capped", kUploadRateVariable,
              std::getenv(kUploadRateVariable), err.c_str());
    const char* ca = std::getenv(kCaFileVariable);
    std::string bundle, why;
    if (ca && *ca && !readCertificateAuthorityFile(ca, &bundle, &why))
      myNSLog("ERROR: %s=\"%s\" cannot be read (%s); secure connections will fail until it can",
              kCaFileVariable, ca, why.c_str());
  });
}

void warnOnceIfPasswordInClear(const std::string& url) {
  static std::atomic<bool> warned{false};
  if (!sendsInClearToAnotherHost(url) || warned.exchange(true)) return;
  myNSLog(
      "WARNING: the site address %s starts with http://: the site password travels "
      "unencrypted. Use an https:// address.",
      url.c_str());
}

}  // namespace sorv
