// The service manager that started this process (systemd), told how the agent is doing through
// its notification socket: ready, the status text, liveness, stopping.
#pragma once

#include <string>

namespace sorv {

class ServiceManager {
 public:
  ServiceManager() = default;
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;
  virtual ~ServiceManager();

  // True when a manager listens for notifications (NOTIFY_SOCKET is set).
  virtual bool listening() = 0;
  // Sends newline-separated assignments ("READY=1", "STATUS=...", "WATCHDOG=1") without
  // waiting; false when nobody listens, the send failed or the manager's queue is full (the
  // caller sends again later). Safe from any thread.
  virtual bool notify(const std::string& assignments) = 0;
  // How often the manager expects "WATCHDOG=1", in seconds; 0 when it does not watch.
  virtual double watchdogSeconds() = 0;
};

// systemd's notification socket ($NOTIFY_SOCKET, a path or "@" and an abstract name). Never
// destroyed.
ServiceManager& systemServiceManager();
// The current Env's service manager.
ServiceManager& defaultServiceManager();

}  // namespace sorv
