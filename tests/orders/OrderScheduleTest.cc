// The order-check chain of the application controller under a fake clock: the intervals,
// the running flag, the switch, and a quit in the middle of a check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/AppController.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"

namespace sorv {
namespace {

using test::CycleHarness;

TEST(OrderScheduleTest, IntervalFromTheMinutesPreference) {
  CycleHarness h(false);
  EXPECT_EQ(AppController::orderCheckIntervalSeconds(), 3600);  // absent
  const std::pair<Value, double> cases[] = {
      {Value(0.5), 30}, {Value(2), 120}, {Value(0), 10}, {Value(-3), 10}, {Value("none"), 10}};
  for (const auto& [minutes, seconds] : cases) {
    h.setPref(sPrefMinutesForCheckOrders, minutes);
    EXPECT_EQ(AppController::orderCheckIntervalSeconds(), seconds) << minutes.description();
  }
}

TEST(OrderScheduleTest, EachCheckArmsTheNextOneAndNeverTwoAtOnce) {
  CycleHarness h(false);
  h.setPref(sPrefDoCheckOrders, true);
  h.setPref(sPrefMinutesForCheckOrders, Value(0.5));
  auto settle = [&] {
    return h.pumpUntil([&] {
      return h.controller->runningThreadCount() == 0 &&
             !AppController::runningQueryAndUploadHiResThread();
    });
  };

  h.controller->setupQueryAndUploadHiResProcess();
  h.fake.clock.advance(29);
  h.loop.runPending();
  ASSERT_TRUE(settle());
  EXPECT_EQ(h.transport.posts(), 0);
  h.fake.clock.advance(1);
  h.loop.runPending();
  ASSERT_TRUE(h.pumpUntil([&] { return h.transport.posts() == 1; }));
  ASSERT_TRUE(settle());
  h.loop.runPending();  // the finished check arms the next one
  h.fake.clock.advance(30);
  ASSERT_TRUE(h.pumpUntil([&] { return h.transport.posts() == 2; }));
  ASSERT_TRUE(settle());

  // A check that finds another one running ends without arming a timer.
  h.loop.runPending();
  AppController::setRunningQueryAndUploadHiResThread(true);
  h.fake.clock.advance(30);
  h.loop.runPending();
  ASSERT_TRUE(h.pumpUntil([&] { return h.controller->runningThreadCount() == 0; }));
  h.controller->doQueryAndUploadHiResProcess();
  AppController::setRunningQueryAndUploadHiResThread(false);
  for (int i = 0; i < 3; ++i) {
    h.fake.clock.advance(3600);
    h.loop.runPending();
  }
  ASSERT_TRUE(settle());
  EXPECT_EQ(h.transport.posts(), 2);

  // Switched off: no thread and no request.
  h.setPref(sPrefDoCheckOrders, false);
  h.controller->doQueryAndUploadHiResInThread();
  EXPECT_EQ(h.controller->runningThreadCount(), 0);
  EXPECT_EQ(h.transport.posts(), 2);
}

TEST(OrderScheduleTest, AQuitDoesNotWaitForARunningCheck) {
  CycleHarness h(false);
  h.setPref(sPrefDoCheckOrders, true);
  h.setPref(sPrefCheckHiResOrderFuseAction, "orders.check");
  h.setPref(sPrefSearchPathMethodTag, 1);
  std::string photo = h.dir.sub("IMG_1.jpg");
  ASSERT_TRUE(test::writeJpegWithMeta(photo, std::nullopt));
  std::string order = "<order><localfilelocation>" + photo +
                      "</localfilelocation><orderid>1</orderid><imageid>2</imageid><pictureid>3"
                      "</pictureid></order>";
  HttpResult reply;
  reply.statusCode = 200;
  reply.body = "<orders>" + order + order + order + "</orders>";
  h.transport.push(reply);
  std::atomic<bool> released{false};
  h.transport.duringNextSend([&] {
    while (!released) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });

  h.controller->doQueryAndUploadHiResInThread();
  ASSERT_TRUE(h.pumpUntil([&] { return h.transport.posts() == 1; }));
  h.controller->applicationWillTerminate();  // returns while the query is still held
  EXPECT_TRUE(AppController::runningQueryAndUploadHiResThread());
  released = true;
  ASSERT_TRUE(h.pumpUntil([&] { return h.controller->runningThreadCount() == 0; }));
  h.fake.clock.advance(7200);
  h.loop.runPending();
  EXPECT_EQ(h.transport.posts(), 1);  // no upload after the quit, no next check
}

}  // namespace
}  // namespace sorv
