#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace sorv {

namespace {

class SystemClock : public Clock {
 public:
  double now() override {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }
  double wallNow() override {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
  }
  void sleepFor(double seconds) override {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
  void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 double deadline) override {
    using namespace std::chrono;
    double left = deadline - now();
    if (left <= 0) return;
    // Very long waits are capped; callers re-check their condition anyway.
    if (left > 86400.0) left = 86400.0;
    cv.wait_for(lock, duration_cast<steady_clock::duration>(duration<double>(left)));
  }
};

}  // namespace

void Clock::sleepUnless(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                        double seconds, const std::function<bool()>& woken) {
  double deadline = now() + seconds;
  while (!woken() && now() < deadline) waitUntil(cv, lock, deadline);
}

Clock& systemClock() {
  static SystemClock* clock = new SystemClock;
  return *clock;
}

}  // namespace sorv
