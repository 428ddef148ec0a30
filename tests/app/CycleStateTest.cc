// Pause, resume and the cycle flags, driven by posting the cycle's notifications by hand.
#include <gtest/gtest.h>

#include "platform/NotificationCenter.h"
#include "platform/Notifications.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"

namespace sorv::test {
namespace {

void post(const char* name, DictRef info = makeDict()) {
  NotificationCenter::defaultCenter().post(name, nullptr, info);
}

TEST(CycleState, RescanCounterCountsRequestsAndClears) {
  CycleHarness h(false);
  for (int i = 0; i < 3; ++i) h.controller->setNeedsToRescan(true);
  EXPECT_EQ(AppController::needsToRescanCount(), 3);
  h.controller->setNeedsToRescan(false);
  EXPECT_EQ(AppController::needsToRescanCount(), 0);
}

TEST(CycleState, IdlePauseAndResume) {
  CycleHarness h(false);
  h.controller->ibClickedOnHalt(nullptr);
  h.loop.runPending();
  EXPECT_TRUE(AppController::didHaltProcess());
  EXPECT_TRUE(AppController::wantsToHaltProcess());
  EXPECT_EQ(h.view.pauseButton.title(), "Resume");
  EXPECT_EQ(h.view.text(AppField::FTPCallbackStatus), "Process Paused...");

  // A scan request while halted uploads nothing.
  ASSERT_TRUE(h.runPass());
  EXPECT_EQ(h.view.text(AppField::FTPCallbackStatus),
            "Process Halted... Click Resume If You Wish To Continue...");

  // Pressing again resumes with a new pass (which finds the empty folder).
  h.controller->ibClickedOnHalt(nullptr);
  ASSERT_TRUE(h.pumpUntil([&] { return h.isIdle(); }));
  EXPECT_FALSE(AppController::didHaltProcess());
  EXPECT_FALSE(AppController::wantsToHaltProcess());
  EXPECT_EQ(h.view.pauseButton.title(), "Pause");
  EXPECT_EQ(h.view.text(AppField::FTPCallbackStatus), "Waiting For New Images...");
  EXPECT_EQ(h.view.text(AppField::UploadFileStatus), "Done With Iteration...");
}

TEST(CycleState, PauseDuringUploadCompletesAtUploadDone) {
  CycleHarness h(false);
  HeadlessControl button;
  post(kUploadStartNotification, makeDict({{"localItem", "Event/IMG_1.jpg"}}));
  EXPECT_TRUE(AppController::startedUploadProcess());
  h.loop.runPending();
  EXPECT_EQ(h.view.text(AppField::FileName), "Event/IMG_1.jpg");
  EXPECT_EQ(h.view.text(AppField::UploadFileStatus), "Uploading...");
  EXPECT_TRUE(h.view.animating.load());

  h.controller->ibClickedOnHalt(&button);
  h.loop.runPending();
  EXPECT_TRUE(AppController::wantsToHaltProcess());
  EXPECT_FALSE(AppController::didHaltProcess());
  EXPECT_FALSE(button.isEnabled());
  EXPECT_EQ(h.view.text(AppField::FTPCallbackStatus),
            "Pausing... Waiting for Current Item to Finish...");

  post(kUploadDoneNotification);
  h.loop.runPending();
  EXPECT_TRUE(AppController::didHaltProcess());
  EXPECT_FALSE(h.view.animating.load());
  EXPECT_EQ(h.view.pauseButton.title(), "Resume");
  EXPECT_TRUE(h.view.pauseButton.isEnabled());

  DictRef reply = makeDict({{"localItem", "x"}});
  post(kCleanUpAfterUploadNotification, reply);
  h.loop.runPending();
  EXPECT_TRUE(reply->empty());
  EXPECT_FALSE(AppController::startedUploadProcess());
  EXPECT_EQ(h.view.text(AppField::FTPCallbackStatus), "Process Paused...");
  EXPECT_EQ(h.controller->runningThreadCount(), 0);  // no next pass
}

TEST(CycleState, SecondPrepareDuringUploadIsDropped) {
  CycleHarness h(false);
  int starts = 0;
  NotificationCenter::defaultCenter().addObserver(&starts, kUploadStartNotification,
                                                  [&](const Notification*) { ++starts; });
  post(kPrepareUploadStartNotification, makeDict({{"localItem", "a/1.jpg"}}));
  post(kPrepareUploadStartNotification, makeDict({{"localItem", "a/2.jpg"}}));
  EXPECT_EQ(starts, 1);
  NotificationCenter::defaultCenter().removeObserver(&starts);
}

TEST(CycleState, ForceProcessToPauseOnlyDuringAnUpload) {
  CycleHarness h(false);
  h.controller->forceProcessToPause(nullptr);
  EXPECT_FALSE(AppController::wantsToHaltProcess());
  h.controller->setStartedUploadProcess(true);
  h.controller->forceProcessToPause(nullptr);
  EXPECT_TRUE(AppController::wantsToHaltProcess());
}

TEST(CycleState, PreferencesPauseWaitsForTheHaltThenOpensThem) {
  CycleHarness h(false);
  h.controller->setStartedUploadProcess(true);
  h.controller->pauseForPreferences(nullptr);
  // The waiting thread polls on the fake clock; nothing opens before the halt completes.
  h.fake.clock.advance(5);
  h.loop.runPending();
  EXPECT_EQ(h.view.preferencesOpened.load(), 0);
  post(kUploadDoneNotification);
  ASSERT_TRUE(h.pumpUntil([&] { return h.view.preferencesOpened.load() == 1; }));
  h.controller->doHandlePauseResumeButtonAsResume(nullptr);
  EXPECT_FALSE(AppController::didHaltProcess());
}

TEST(CycleState, AutoSynchronizeTimerStartsTheNextPass) {
  CycleHarness h(false);
  h.setPref(sPrefAutoSynchronize, true);
  h.setPref(sPrefSecondsBetweenScans, 300);
  int scans = 0;
  NotificationCenter::defaultCenter().addObserver(&scans, kScanFolderNotification,
                                                  [&](const Notification*) { ++scans; });
  ASSERT_TRUE(h.runPass());
  ASSERT_TRUE(h.pumpUntil([&] { return h.controller->getRepeatTimer() != nullptr; }));
  EXPECT_EQ(scans, 1);
  auto history = h.view.history(AppField::FTPCallbackStatus);
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history.back().rfind("Next Auto-Synchronize Trigger Date = ", 0), 0u);

  h.fake.clock.advance(299);
  h.loop.runPending();
  EXPECT_EQ(scans, 1);
  h.fake.clock.advance(2);
  ASSERT_TRUE(h.pumpUntil([&] { return scans == 2 && h.isIdle(); }));
  NotificationCenter::defaultCenter().removeObserver(&scans);
}

TEST(CycleState, AutoStartOpensTheSourceFolderAfterLaunch) {
  const struct {
    bool showWindow;
    double delay;
  } cases[] = {{false, 10}, {true, 30}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delay);
    CycleHarness h(false);
    h.setPref(sPrefAutoStartUploadAtStartup, true);
    h.setPref(sPrefShowWindowAtStartup, c.showWindow);
    int scans = 0;
    NotificationCenter::defaultCenter().addObserver(&scans, kScanFolderNotification,
                                                    [&](const Notification*) { ++scans; });
    h.controller->applicationDidFinishLaunching();
    h.fake.clock.advance(c.delay - 1);
    h.loop.runPending();
    EXPECT_EQ(scans, 0);
    h.fake.clock.advance(2);
    ASSERT_TRUE(h.pumpUntil([&] { return scans == 1 && h.isIdle(); }));
    NotificationCenter::defaultCenter().removeObserver(&scans);
  }
}

TEST(CycleState, NoTimerWhenAutoSynchronizeIsOff) {
  CycleHarness h(false);
  ASSERT_TRUE(h.runPass());
  h.loop.runPending();
  EXPECT_EQ(h.controller->getRepeatTimer(), nullptr);
}

}  // namespace
}  // namespace sorv::test
