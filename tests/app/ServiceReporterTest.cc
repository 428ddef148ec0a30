#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "app/ServiceReporter.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/DatagramSocket.h"
#include "tests/support/FakeClock.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

// A manager that keeps every notification it is sent.
class FakeServiceManager : public ServiceManager {
 public:
  bool listening() override { return listens; }
  bool notify(const std::string& assignments) override {
    std::lock_guard<std::mutex> lock(mutex);
    sent.push_back(assignments);
    return real ? real->notify(assignments) : listens;
  }
  double watchdogSeconds() override { return watchdog; }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(sent, {});
  }
  bool listens = true;
  double watchdog = 0;
  ServiceManager* real = nullptr;  // passes the notifications on
  std::mutex mutex;
  std::vector<std::string> sent;
};

CycleStatus status(CycleState state, const std::string& item, int waiting, int today,
                   int problems = 0) {
  CycleStatus s;
  s.state = state;
  s.currentItem = item;
  s.waiting = waiting;
  s.uploadedToday = today;
  s.problemFolder = problems;
  return s;
}

CycleStatus held(int waiting) {
  CycleStatus s = status(CycleState::HeldElsewhere, "", waiting, 0);
  s.folderHolder = "process 42 (flock)";
  return s;
}

TEST(ServiceReporterTest, StatusTextNamesWhatTheCycleDoesAndItsCounts) {
  struct Case {
    CycleStatus status;
    std::string line;
    std::string text;
  } cases[] = {
      {status(CycleState::Uploading, "Fair/IMG_3.jpg", 12, 40), "Uploading Item 3...",
       "Uploading Fair/IMG_3.jpg, 12 waiting, 40 today"},
      {status(CycleState::Waiting, "", 0, 40), "Waiting For New Images...",
       "Waiting For New Images..., 0 waiting, 40 today"},
      {status(CycleState::Uploading, "", 3, 0, 2), "",
       "Uploading, 3 waiting, 0 today, 2 in the problem folder"},
      {status(CycleState::StoppedBySite, "", 5, 1), "", "Stopped by the site, 5 waiting, 1 today"},
      {status(CycleState::Halted, "", 0, 0), "Local Source Upload Folder\nHas NOT Been Selected",
       "Local Source Upload Folder Has NOT Been Selected, 0 waiting, 0 today"},
      {held(7), "", "Waiting for process 42 (flock), 7 waiting, 0 today"},
  };
  for (const Case& c : cases) EXPECT_EQ(serviceStatusText(c.status, c.line), c.text);
}

// Advances the clock in quarter seconds, running the loop's timers as they come due.
void runFor(test::FakeClock& clock, EventLoop& loop, double seconds) {
  for (double t = 0; t < seconds; t += 0.25) {
    clock.advance(0.25);
    loop.runPending();
  }
}

TEST(ServiceReporterTest, ReadyOnceThenStatusWhenItChangesAndTheWatchdogOnItsOwnTimer) {
  test::ScopedFakeClock time;
  EventLoop loop;
  FakeServiceManager manager;
  manager.watchdog = 120;
  CycleStatus now = status(CycleState::Waiting, "", 0, 0);
  ServiceReporter reporter(manager, [&] { return now; });
  reporter.setStatusLine("Waiting For New Images...");
  reporter.start(loop);
  reporter.start(loop);  // a second start says nothing
  EXPECT_EQ(manager.take(), std::vector<std::string>{
                                "READY=1\nSTATUS=Waiting For New Images..., 0 waiting, 0 today"});

  time.clock.advance(1);
  reporter.changed();  // nothing changed
  loop.runPending();
  EXPECT_TRUE(manager.take().empty());
  now = status(CycleState::Uploading, "Fair/IMG_1.jpg", 3, 0);
  reporter.changed();
  loop.runPending();
  EXPECT_EQ(manager.take(),
            std::vector<std::string>{"STATUS=Uploading Fair/IMG_1.jpg, 3 waiting, 0 today"});
  // The watchdog at half its 120 s after the start, whatever happened meanwhile.
  runFor(time.clock, loop, 58.5);
  EXPECT_TRUE(manager.take().empty());
  runFor(time.clock, loop, 0.5);
  EXPECT_EQ(manager.take(), std::vector<std::string>{"WATCHDOG=1"});

  reporter.stop();
  reporter.stop();
  reporter.changed();
  runFor(time.clock, loop, 60);
  EXPECT_EQ(manager.take(), std::vector<std::string>{"STOPPING=1"});
}

// Through the real notification socket, full until the manager reads it: nothing waits for it,
// the watchdog is fed at half its time but never faster than the bound, and once the socket is
// read the manager hears READY=1 with the status as it is then, not the ones it missed.
TEST(ServiceReporterTest, AFullNotifySocketHoldsNothingUpAndTheWatchdogIsBounded) {
  struct Case {
    double watchdog;
    double every;
    int feedsIn10Seconds;
    bool said;
  } cases[] = {
      {120, 60, 0, false},   {1, 0.5, 20, false},
      {0.8, 0.5, 20, true},   // half of it is below the bound: fed at the bound
      {1e-6, 0.5, 20, true},  // WATCHDOG_USEC=1: no spinning
      {0, 60, 0, false},      // not watched: the timer only offers the status again
  };
  for (const Case& c : cases) {
    test::TempDir dir(test::TempDir::kShortPath);
    test::DatagramSocket socket(dir.sub("notify"));
    ASSERT_GT(socket.fill(), 0);
    test::ScopedVariable notify("NOTIFY_SOCKET", dir.sub("notify"));
    test::ScopedFakeClock time;
    EventLoop loop;
    FakeServiceManager manager;
    manager.watchdog = c.watchdog;
    manager.real = &systemServiceManager();
    CycleStatus now = status(CycleState::Waiting, "", 3, 0);
    ServiceReporter reporter(manager, [&] { return now; });
    test::CapturedOutput err(STDERR_FILENO);
    reporter.start(loop);
    for (int i = 1; i <= 10; ++i) {
      now = status(CycleState::Uploading, "Fair/IMG_" + std::to_string(i) + ".jpg", 3, i);
      reporter.changed();
      runFor(time.clock, loop, 1);
    }
    const std::vector<std::string> tried = manager.take();
    EXPECT_EQ(reporter.tickSeconds(), c.every) << c.watchdog;
    EXPECT_EQ(std::count(tried.begin(), tried.end(), "WATCHDOG=1"), c.feedsIn10Seconds)
        << c.watchdog;
    EXPECT_EQ(err.text().find("shorter than the agent can honour") != std::string::npos, c.said);
    now = status(CycleState::Waiting, "", 0, 10);
    socket.read();
    reporter.changed();
    runFor(time.clock, loop, 1);
    EXPECT_EQ(socket.count("READY=1\nSTATUS=Waiting, 0 waiting, 10 today"), 1) << socket.all();
    EXPECT_EQ(socket.count("IMG_"), 0) << c.watchdog;
  }
}

TEST(ServiceReporterTest, WithoutAManagerNothingIsSent) {
  test::ScopedFakeClock time;
  EventLoop loop;
  FakeServiceManager manager;
  manager.listens = false;
  manager.watchdog = 2;
  ServiceReporter reporter(manager, [] { return CycleStatus{}; });
  reporter.start(loop);
  time.clock.advance(5);
  reporter.tick();
  reporter.stop();
  EXPECT_TRUE(manager.take().empty());
}

}  // namespace
}  // namespace sorv
