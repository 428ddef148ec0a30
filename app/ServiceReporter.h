// Keeps the service manager told how the agent is doing: READY=1 once start-up is done, STATUS=
// with the status line and the counts when they change, WATCHDOG=1 from the main loop's own
// timer so that a wedged loop is noticed and the agent restarted, STOPPING=1 at quit. Does
// nothing when no manager listens. Nothing here waits for the manager: a notification its full
// queue does not take is sent again later (the status as it is by then).
#pragma once

#include <atomic>
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
  // The watchdog is fed at half its time, but never more often than this: twice a second
  // costs nothing, while a shorter pace would not make a healthy loop answer any sooner (one
  // pass of its work may take that long) and only spins the agent. A shorter watchdog is said
  // once.
  static constexpr double kMinFeedSeconds = 0.5;
  // Without a watchdog the timer only offers again a status the manager did not take.
  static constexpr double kRefreshSeconds = 60;
  // Changes closer together than this reach the manager as one STATUS.
  static constexpr double kStatusSpacingSeconds = 0.5;

  // manager: not owned, outlives this. status: the cycle's figures, called on the loop's thread.
  ServiceReporter(ServiceManager& manager, std::function<CycleStatus()> status);
  ~ServiceReporter();  // stop()
  ServiceReporter(const ServiceReporter&) = delete;
  ServiceReporter& operator=(const ServiceReporter&) = delete;

  // The main window's status line as it changes; from any thread.
  void setStatusLine(const std::string& text) EXCLUDES(mutex_);
  // The status or the counts changed; from any thread. The loop then sends STATUS= when its
  // text differs from the last one the manager took.
  void changed();
  // Says READY=1 with the first status, then feeds the watchdog on the loop's timer until
  // stop().
  void start(RunLoop& loop);
  // The timer: WATCHDOG=1 when the manager watches, and the status when the manager has not
  // taken it yet. The loop's thread.
  void tick();
  // STOPPING=1 and the timer ends. Idempotent.
  void stop();
  // The timer's interval once started.
  double tickSeconds() const { return tickSeconds_; }

 private:
  std::string statusLine() EXCLUDES(mutex_);
  // Sends READY=1 (until taken) and STATUS= when the text changed. The loop's thread.
  void sendStatus();

  ServiceManager& manager_;
  const std::function<CycleStatus()> status_;
  Mutex mutex_;
  std::string statusLine_ GUARDED_BY(mutex_);
  std::atomic<RunLoop*> loop_{nullptr};  // set while started
  std::atomic<bool> changePosted_{false};
  // Ends with this object: posted work that runs later does nothing.
  std::shared_ptr<ServiceReporter*> self_ = std::make_shared<ServiceReporter*>(this);
  // The loop's thread only.
  bool started_ = false;
  bool watched_ = false;
  bool readyPending_ = false;
  std::string sentStatus_;
  double lastStatusSent_ = -1;
  double tickSeconds_ = 0;
  std::shared_ptr<Timer> timer_, spacingTimer_;
};

}  // namespace sorv
