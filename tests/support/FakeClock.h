// A clock that tests move by hand. sleepFor advances it at once, so code that waits
// seconds runs without sleeping; timers of an EventLoop on this clock fire when advanced.
#pragma once

#include <atomic>

#include "platform/Clock.h"
#include "tests/support/ScopedEnv.h"

namespace sorv::test {

class FakeClock : public Clock {
 public:
  explicit FakeClock(double start = 1000.0, double wallStart = 1.8e9);
  double now() override;
  double wallNow() override;
  void sleepFor(double seconds) override;  // advances; records the total slept
  void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 double deadline) override;  // polls every few real milliseconds
  void sleepUnless(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, double seconds,
                   const std::function<bool()>& woken) override;
  void advance(double seconds);
  double totalSlept() const { return slept_.load(); }

 private:
  std::atomic<double> now_;
  std::atomic<double> wallOffset_;
  std::atomic<double> slept_{0};
};

// Installs a FakeClock as the process's clock for the lifetime of the object.
class ScopedFakeClock {
 public:
  FakeClock clock;

 private:
  ScopedEnv env_{{.clock = &clock}};
};

}  // namespace sorv::test
