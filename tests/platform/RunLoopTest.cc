#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "tests/support/FakeClock.h"

namespace sorv {
namespace {

using namespace std::chrono_literals;

TEST(RunLoopTest, RunsWorkPostedFromOtherThreadsInOrderOnTheLoopThread) {
  test::FakeClock clock;
  EventLoop loop(&clock);
  std::vector<int> order;
  std::thread::id loopThread;
  std::thread runner([&] {
    loopThread = std::this_thread::get_id();
    loop.run();
  });
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i) loop.post([&, i] { order.push_back(i); });
    // postAndWait returns only after the work ran, on the loop's thread.
    bool onLoop = false;
    loop.postAndWait([&] { onLoop = loop.isLoopThread(); });
    EXPECT_TRUE(onLoop);
    EXPECT_EQ(order.size(), 5u);
    EXPECT_FALSE(loop.isLoopThread());
  });
  poster.join();
  loop.postAndWait([&] { EXPECT_EQ(std::this_thread::get_id(), loopThread); });
  loop.stop();
  runner.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(loop.interruptSignal(), 0);
}

TEST(RunLoopTest, PostAndWaitOnTheLoopThreadRunsAtOnce) {
  test::FakeClock clock;
  EventLoop loop(&clock);
  std::vector<std::string> steps;
  loop.post([&] {
    steps.push_back("outer");
    loop.postAndWait([&] { steps.push_back("inner"); });  // would deadlock if queued
    steps.push_back("after");
  });
  EXPECT_EQ(loop.runPending(), 1);
  EXPECT_EQ(steps, (std::vector<std::string>{"outer", "inner", "after"}));
  // Work that throws is logged and the loop goes on; postAndWait hands the error back.
  loop.post([] { throw std::runtime_error("boom"); });
  loop.post([&] { steps.push_back("next"); });
  EXPECT_EQ(loop.runPending(), 2);
  EXPECT_EQ(steps.back(), "next");
}

TEST(RunLoopTest, TimersFireOnTheInjectedClock) {
  test::FakeClock clock;
  EventLoop loop(&clock);
  int once = 0, every = 0, never = 0;
  auto oneShot = loop.scheduleTimer(5, false, [&](Timer& t) {
    EXPECT_TRUE(t.isValid());
    ++once;
  });
  auto repeating = loop.scheduleTimer(2, true, [&](Timer&) { ++every; });
  auto cancelled = loop.scheduleTimer(1, false, [&](Timer&) { ++never; });
  std::thread([&] { cancelled->invalidate(); }).join();
  cancelled->invalidate();  // idempotent

  loop.runPending();
  EXPECT_EQ(once + every + never, 0);  // nothing due yet
  clock.advance(2);
  loop.runPending();
  EXPECT_EQ(every, 1);
  clock.advance(3);  // t = 5
  loop.runPending();
  EXPECT_EQ(once, 1);
  EXPECT_FALSE(oneShot->isValid());
  EXPECT_EQ(every, 2);  // fired at 4
  clock.advance(10);    // missed firings collapse into one
  loop.runPending();
  EXPECT_EQ(every, 3);
  EXPECT_TRUE(repeating->isValid());
  clock.advance(100);
  loop.runPending();
  EXPECT_EQ(once, 1);
  EXPECT_EQ(never, 0);
  EXPECT_FALSE(cancelled->isValid());

  // A repeating timer may invalidate itself from its callback.
  repeating->invalidate();
  int selfStop = 0;
  auto t = loop.scheduleTimer(1, true, [&](Timer& timer) {
    if (++selfStop == 2) timer.invalidate();
  });
  for (int i = 0; i < 5; ++i) {
    clock.advance(1);
    loop.runPending();
  }
  EXPECT_EQ(selfStop, 2);
  EXPECT_FALSE(t->isValid());
}

TEST(RunLoopTest, RunningLoopWakesForTimersAndCrossThreadInvalidation) {
  test::FakeClock clock;
  EventLoop loop(&clock);
  std::atomic<int> fired{0}, late{0};
  std::thread runner([&] { loop.run(); });
  auto t = loop.scheduleTimer(30, true, [&](Timer&) { ++fired; });
  auto u = loop.scheduleTimer(60, false, [&](Timer&) { ++late; });
  clock.advance(30);
  for (int i = 0; i < 2000 && fired == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(fired, 1);
  t->invalidate();
  u->invalidate();
  clock.advance(100);
  loop.postAndWait([] {});  // let the loop pass once more
  loop.stop();
  runner.join();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(late, 0);
}

TEST(RunLoopTest, StopsOnTerminationSignal) {
  EventLoop loop;
  loop.stopOnTerminationSignals();
  std::atomic<bool> running{false};
  loop.post([&] { running = true; });
  std::thread runner([&] { loop.run(); });
  while (!running) std::this_thread::sleep_for(1ms);
  kill(getpid(), SIGTERM);
  runner.join();
  EXPECT_EQ(loop.interruptSignal(), SIGTERM);

  // A later plain stop() reports no signal.
  loop.post([&] { loop.stop(); });
  loop.run();
  EXPECT_EQ(loop.interruptSignal(), 0);
}

TEST(RunLoopTest, MainRunLoopCanBeReplaced) {
  RunLoop& fallback = mainRunLoop();
  EXPECT_EQ(&mainRunLoop(), &fallback);
  EventLoop other;
  std::optional<test::ScopedEnv> env(test::EnvParts{.runLoop = &other});
  EXPECT_EQ(&mainRunLoop(), &other);
  env.reset();
  EXPECT_EQ(&mainRunLoop(), &fallback);
}

}  // namespace
}  // namespace sorv
