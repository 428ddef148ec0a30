#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "app/ServiceReporter.h"
#include "tests/support/FakeClock.h"

namespace sorv {
namespace {

// A manager that keeps every notification it is sent.
class FakeServiceManager : public ServiceManager {
 public:
  bool listening() override { return listens; }
  bool notify(const std::string& assignments) override {
    std::lock_guard<std::mutex> lock(mutex);
    sent.push_back(assignments);
    return listens;
  }
  double watchdogSeconds() override { return watchdog; }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(sent, {});
  }
  bool listens = true;
  double watchdog = 0;
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

TEST(ServiceReporterTest, ReadyOnceThenStatusOnChangeAndTheWatchdogFedAtHalfItsTime) {
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

  reporter.tick();  // nothing changed, the watchdog is not due
  EXPECT_TRUE(manager.take().empty());
  now = status(CycleState::Uploading, "Fair/IMG_1.jpg", 3, 0);
  time.clock.advance(30);
  reporter.tick();
  EXPECT_EQ(manager.take(),
            std::vector<std::string>{"STATUS=Uploading Fair/IMG_1.jpg, 3 waiting, 0 today"});
  time.clock.advance(30);
  reporter.tick();
  EXPECT_EQ(manager.take(), std::vector<std::string>{"WATCHDOG=1"});
  time.clock.advance(59);
  reporter.tick();
  EXPECT_TRUE(manager.take().empty());
  time.clock.advance(1);
  reporter.tick();
  EXPECT_EQ(manager.take(), std::vector<std::string>{"WATCHDOG=1"});

  reporter.stop();
  reporter.stop();
  reporter.tick();
  EXPECT_EQ(manager.take(), std::vector<std::string>{"STOPPING=1"});
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
