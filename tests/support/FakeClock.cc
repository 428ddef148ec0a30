#include "tests/support/FakeClock.h"

#include <chrono>

namespace sorv::test {

FakeClock::FakeClock(double start, double wallStart)
    : now_(start), wallOffset_(wallStart - start) {}

double FakeClock::now() {
  return now_.load();
}

double FakeClock::wallNow() {
  return now_.load() + wallOffset_.load();
}

void FakeClock::sleepFor(double seconds) {
  if (seconds <= 0) return;
  slept_ = slept_.load() + seconds;
  advance(seconds);
}

void FakeClock::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                          double deadline) {
  if (now() >= deadline) return;
  cv.wait_for(lock, std::chrono::milliseconds(2));
}

void FakeClock::sleepUnless(std::condition_variable&, std::unique_lock<std::mutex>&, double seconds,
                            const std::function<bool()>& woken) {
  if (!woken()) sleepFor(seconds);
}

void FakeClock::advance(double seconds) {
  double cur = now_.load();
  while (!now_.compare_exchange_weak(cur, cur + seconds)) {
  }
}

}  // namespace sorv::test
