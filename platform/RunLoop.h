// The main thread's run loop: posted work and timers, run by one thread.
#pragma once

#include <functional>
#include <memory>

namespace sorv {

class Clock;

class Timer {
 public:
  virtual ~Timer() = default;
  // Stops the timer; it never fires again. Safe from any thread, idempotent.
  virtual void invalidate() = 0;
  // True until invalidated or, for a one-shot timer, until it has fired.
  virtual bool isValid() const = 0;
};

class RunLoop {
 public:
  virtual ~RunLoop() = default;
  // Queues fn to run on the loop's thread; returns at once. Safe from any thread.
  virtual void post(std::function<void()> fn) = 0;
  // Runs fn on the loop's thread and waits for it; runs it at once when called on that thread.
  virtual void postAndWait(std::function<void()> fn) = 0;
  // Schedules fn after `seconds` (then every `seconds` when repeats). fn runs on the loop's
  // thread and receives the timer. The loop keeps the timer until it is invalidated or done.
  virtual std::shared_ptr<Timer> scheduleTimer(double seconds, bool repeats,
                                               std::function<void(Timer&)> fn) = 0;
  // True when called on the loop's thread.
  virtual bool isLoopThread() const = 0;
};

// Our own run loop, for headless mode and tests. The thread that calls run() becomes the
// loop's thread (before that, the constructing thread counts as the loop thread).
class EventLoop : public RunLoop {
 public:
  explicit EventLoop(Clock* clock = nullptr);  // nullptr: defaultClock() at each use
  ~EventLoop() override;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  void post(std::function<void()> fn) override;
  void postAndWait(std::function<void()> fn) override;
  std::shared_ptr<Timer> scheduleTimer(double seconds, bool repeats,
                                       std::function<void(Timer&)> fn) override;
  bool isLoopThread() const override;

  // Runs posted work and due timers until stop() is called.
  void run();
  // Runs what is posted and what is due now, then returns; for tests.
  // Returns the number of items run.
  int runPending();
  // Makes run() return after the item in progress. Safe from any thread, not from a signal
  // handler (use stopOnTerminationSignals for signals).
  void stop();
  // Makes run() return when SIGINT, SIGTERM or SIGHUP arrives; returns the signal number
  // that ended the last run(), 0 when stop() did.
  void stopOnTerminationSignals();
  int interruptSignal() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The process's main run loop: currentEnv().runLoop() (platform/Env.h). The entry points
// install an Env with theirs (headless: an EventLoop; GUI: the Qt adapter); Env::Default()'s
// is a process-wide EventLoop.
RunLoop& mainRunLoop();

}  // namespace sorv
