// The process clock behind an interface so that tests can move time by hand.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

namespace sorv {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic seconds from an arbitrary origin; used for waits and timers.
  virtual double now() = 0;
  // Wall-clock seconds since 1970-01-01 00:00:00 UTC; used for dates and ages.
  virtual double wallNow() = 0;
  // Blocks the calling thread for the given seconds (a fake clock advances instead).
  virtual void sleepFor(double seconds) = 0;
  // Waits on cv (lock held by the caller) until notified or until now() >= deadline.
  // Spurious returns are allowed; callers re-check their condition.
  virtual void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         double deadline) = 0;
  // Blocks for the given seconds unless woken() holds: it is checked first and each time cv
  // is notified (lock held by the caller). A fake clock advances by the whole time instead,
  // unless woken() already holds.
  virtual void sleepUnless(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           double seconds, const std::function<bool()>& woken);
};

// The real clock (steady_clock and system_clock).
Clock& systemClock();

// The clock the process uses: currentEnv().clock() (platform/Env.h). Safe from any thread.
Clock& defaultClock();

}  // namespace sorv
