#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace sorv {

namespace {

class SystemdServiceManager : public ServiceManager {
 public:
  bool listening() override {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
  }
  bool notify(const std::string& assignments) override {
    return listening() && sd_notify(0, assignments.c_str()) > 0;
  }
  double watchdogSeconds() override {
    std::uint64_t usec = 0;
    // Only when the watchdog is meant for this process (WATCHDOG_PID, when set, is ours).
    if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
    return static_cast<double>(usec) / 1e6;
  }
};

}  // namespace

ServiceManager::~ServiceManager() = default;

ServiceManager& systemServiceManager() {
  static ServiceManager* manager = new SystemdServiceManager;
  return *manager;
}

}  // namespace sorv
