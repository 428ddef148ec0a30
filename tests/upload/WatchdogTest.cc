// The upload watchdog: a one-shot timer on the main run loop that asks for a relaunch.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "platform/RunLoop.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeHttpTransport.h"
#include "tests/upload/UploadTestEnv.h"
#include "upload/HttpController.h"

namespace sorv::test {
namespace {

class RecordingDelegate : public HttpProgressDelegate {
 public:
  explicit RecordingDelegate(bool responds = true) : responds_(responds) {}
  bool respondsToRelaunchApp() const override { return responds_; }
  void relaunchApp(const Dict& request) override { requests.push_back(request); }
  std::vector<Dict> requests;

 private:
  bool responds_;
};

class WatchdogTest : public UploadTest {
 protected:
  void SetUp() override {
    UploadTest::SetUp();
    env.emplace(EnvParts{.runLoop = &loop});
    setPref("prefVyrURL", Value("http://127.0.0.1:9/upload"));
    transport.setReply(200, "<r><s>OK</s><m>m</m></r>");
  }
  void TearDown() override {
    env.reset();
    UploadTest::TearDown();
  }
  ScopedFakeClock fake;
  EventLoop loop{&fake.clock};
  FakeHttpTransport transport;
  std::optional<ScopedEnv> env;
};

TEST_F(WatchdogTest, FiresAfterTheUploadTimeOutAndAsksForARelaunch) {
  struct Case {
    const char* what;
    int hook;  // -1: no hook, 0: inactive, 1: active
    bool responds;
    double timeout;      // preference value; 0 means unset (500)
    std::int64_t flags;  // expected, 0 for no request
  };
  const std::vector<Case> cases = {
      {"headless, default time-out", -1, true, 0, 0x100300},
      {"in the background", 0, true, 120, 0x100300},
      {"in the foreground", 1, true, 30, 1},
      {"delegate that cannot relaunch", 1, false, 30, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.timeout > 0)
      setPref("prefUploadTimeOut", Value(c.timeout));
    else
      setPref("prefUploadTimeOut", Value(0));
    double limit = c.timeout > 0 ? c.timeout : 500;
    HttpController controller(&transport);
    RecordingDelegate delegate(c.responds);
    controller.setProgressDelegate(&delegate);
    if (c.hook >= 0) controller.setIsApplicationActiveHook([&] { return c.hook == 1; });
    transport.hold();
    std::size_t before = transport.requests().size();
    std::thread upload([&] { controller.doRunHttpUploaderWithInfo(makeItem("a.jpg", "J")); });
    ASSERT_TRUE(transport.waitForRequests(before + 1));

    fake.clock.advance(limit - 1);
    loop.runPending();
    loop.runPending();
    EXPECT_TRUE(delegate.requests.empty());
    fake.clock.advance(2);
    loop.runPending();  // the timer fires and posts the request
    loop.runPending();  // the posted request reaches the delegate
    if (c.flags) {
      ASSERT_EQ(delegate.requests.size(), 1u);
      EXPECT_EQ(delegate.requests[0].at("LSLaunchFlags").integerValue(), c.flags);
      EXPECT_EQ(delegate.requests[0].at("sender").integerValue(),
                static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&controller)));
    } else {
      EXPECT_TRUE(delegate.requests.empty());
    }
    transport.release();
    upload.join();
  }
}

TEST_F(WatchdogTest, WaitsWhileTheBodyMovesAndFiresOnceNoByteHasMovedForTheTimeOut) {
  struct Case {
    const char* what;
    double moveEvery;  // seconds between moves of the body; 0: it never moves
    double movesFor;   // seconds during which it moves
    double firesAt;    // seconds after the start when the relaunch is asked for; 0: never
  };
  const double limit = 30;
  const std::vector<Case> cases = {
      {"never moves", 0, 0, 30},
      {"moves every 10 s throughout", 10, 400, 0},
      {"moves every 29 s throughout", 29, 400, 0},
      {"moves for 100 s, then stops", 10, 100, 130},
      {"moves once at 25 s", 25, 25, 55},
      {"moves every 31 s: a stretch of 30 s without a byte", 31, 400, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    setPref("prefUploadTimeOut", Value(limit));
    HttpController controller(&transport);
    RecordingDelegate delegate;
    controller.setProgressDelegate(&delegate);
    transport.hold();
    std::size_t before = transport.requests().size();
    std::thread upload([&] { controller.doRunHttpUploaderWithInfo(makeItem("a.jpg", "J")); });
    ASSERT_TRUE(transport.waitForRequests(before + 1));
    std::shared_ptr<UploadProgress> progress = transport.requests().back().progress;
    ASSERT_TRUE(progress);
    const double start = fake.clock.now();
    double firedAt = 0;
    std::uint64_t sent = 0;
    for (int second = 1; second <= 400 && firedAt == 0; ++second) {
      fake.clock.advance(1);
      if (c.moveEvery > 0 && second <= c.movesFor && second % static_cast<int>(c.moveEvery) == 0)
        progress->sent(sent += 16384);
      loop.runPending();
      loop.runPending();
      if (!delegate.requests.empty()) firedAt = fake.clock.now() - start;
    }
    EXPECT_EQ(firedAt, c.firesAt);
    EXPECT_LE(delegate.requests.size(), 1u);
    transport.release();
    upload.join();
    // Once the upload has returned, nothing fires any more.
    fake.clock.advance(1000);
    loop.runPending();
    loop.runPending();
    EXPECT_LE(delegate.requests.size(), 1u);
  }
}

TEST_F(WatchdogTest, AnUploadThatReturnsInTimeDisarmsIt) {
  HttpController controller(&transport);
  RecordingDelegate delegate;
  controller.setProgressDelegate(&delegate);
  controller.doRunHttpUploaderWithInfo(makeItem("a.jpg", "J"));
  fake.clock.advance(10000);
  loop.runPending();
  loop.runPending();
  EXPECT_TRUE(delegate.requests.empty());
}

TEST_F(WatchdogTest, NoDelegateOnlyLogs) {
  HttpController controller(&transport);
  transport.hold();
  std::thread upload([&] { controller.doRunHttpUploaderWithInfo(makeItem("a.jpg", "J")); });
  ASSERT_TRUE(transport.waitForRequests(1));
  fake.clock.advance(501);
  EXPECT_GE(loop.runPending() + loop.runPending(), 1);
  transport.release();
  upload.join();
}

}  // namespace
}  // namespace sorv::test
