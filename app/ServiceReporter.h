// Keeps the service manager told how the agent is doing: READY=1 once start-up is done, STATUS=
// with the status line and the counts as they change (looked at once a second), WATCHDOG=1
// from the main loop so that a wedged loop is noticed and the agent restarted, STOPPING=1 at
// quit. Does nothing when no manager listens.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/CycleStatus.h"
#include "platform/Mutex.h"
#include "platform/RunLoop.h"
#include "platform/ServiceManager.h"

namespace sorv {

// "Uploading Fair/IMG_3.jpg, 12 waiting, 40 today", or the status line ("Waiting For New
// Images...") or the state in its place, with ", N in the problem folder" when there are any.
std::string serviceStatusText(const CycleStatus& status, const std::string& statusLine);

class ServiceReporter {
 public:
  static constexpr double kTickSeconds = 1;

  // manager: not owned, outlives this. status: the cycle's figures, called on the loop's thread.
  ServiceReporter(ServiceManager& manager, std::function<CycleStatus()> status);
  ~ServiceReporter();  // stop()
  ServiceReporter(const ServiceReporter&) = delete;
  ServiceReporter& operator=(const ServiceReporter&) = delete;

  // The main window's status line as it changes; from any thread.
  void setStatusLine(const std::string& text) EXCLUDES(mutex_);
  // Says READY=1 with the first status, then ticks on loop's timer until stop().
  void start(RunLoop& loop);
  // Sends STATUS= when its text changed and WATCHDOG=1 when half the watchdog time has
  // passed since the last. The loop's thread.
  void tick();
  // STOPPING=1 and the timer ends. Idempotent.
  void stop();

 private:
  std::string statusLine() EXCLUDES(mutex_);

  ServiceManager& manager_;
  const std::function<CycleStatus()> status_;
  Mutex mutex_;
  std::string statusLine_ GUARDED_BY(mutex_);
  // The loop's thread only.
  std::string sentStatus_;
  double watchdogSeconds_ = 0;
  double lastWatchdog_ = -1;
  bool started_ = false;
  std::shared_ptr<Timer> timer_;
};

}  // namespace sorv
