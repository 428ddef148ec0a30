#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "platform/Datagram.h"

namespace sorv {

namespace {

// sd_notify waits while the manager's queue is full, and so would the main loop that feeds the
// watchdog and answers SIGTERM: the notifications go out here without waiting instead.
class SystemdServiceManager : public ServiceManager {
 public:
  SystemdServiceManager() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}

  bool listening() override {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
  }
  bool notify(const std::string& assignments) override {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    UnixAddress to;
    if (!socket || fd_ < 0 || !unixAddress(socket, &to)) return false;
    return sendDatagram(fd_, to, assignments) == DatagramResult::Sent;
  }
  double watchdogSeconds() override {
    std::uint64_t usec = 0;
    // Only when the watchdog is meant for this process (WATCHDOG_PID, when set, is ours).
    if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
    return static_cast<double>(usec) / 1e6;
  }

 private:
  const int fd_;
};

}  // namespace

ServiceManager::~ServiceManager() = default;

ServiceManager& systemServiceManager() {
  static ServiceManager* manager = new SystemdServiceManager;
  return *manager;
}

}  // namespace sorv
