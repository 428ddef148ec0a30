// The cycle's counts through a day of a kiosk: uploads, a retry and a hold, a move to the
// problem folder, a pause, a stop by the site, the health verdict and local midnight.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/Paths.h"
#include "settings/Preferences.h"
#include "settings/StatusReport.h"
#include "tests/app/CycleHarness.h"

namespace sorv::test {
namespace {

constexpr std::int64_t kAny = -1;

std::string photo(CycleHarness& h, int n) {
  std::string path = h.dir.sub("Source/Event/IMG_" + std::to_string(n) + ".jpg");
  EXPECT_TRUE(writeJpegWithMeta(path, standardMetaData()));
  return path;
}

// Seconds from wall until one second past the next local midnight.
double untilPastMidnight(double wall) {
  std::time_t t = static_cast<std::time_t>(wall);
  std::tm local{};
  localtime_r(&t, &local);
  local.tm_hour = 24;
  local.tm_min = 0;
  local.tm_sec = 1;
  local.tm_isdst = -1;
  return static_cast<double>(std::mktime(&local)) - wall;
}

TEST(CycleCounts, ThroughUploadsFailuresPauseStopAndMidnight) {
  ::setenv("SORV_HEALTH_MINUTES", "1", 1);
  CycleHarness h;
  ::unsetenv("SORV_HEALTH_MINUTES");
  createFolderWithParents(h.problem());
  h.controller->recountProblemFolder();
  int observed = 0;
  CycleStatus duringFirstSend;

  struct Row {
    const char* step;
    std::function<void()> act;
    CycleState state;
    std::int64_t waiting, heldBack, today, sinceStart, problem;
    bool healthy;
  };
  const Row rows[] = {
      {"nothing walked yet", [] {}, CycleState::Waiting, 0, 0, 0, 0, 0, true},
      {"four photos: one uploaded, one refused with HTTP 500, one held after three failures, "
       "one uploaded behind it",
       [&] {
         for (int n = 1; n <= 4; ++n) photo(h, n);
         h.transport.duringNextSend([&] { duringFirstSend = h.controller->cycleStatus(); });
         h.transport.push(ScriptedTransport::reply("OK", "fine"));
         h.transport.push(ScriptedTransport::reply("OK", "fine", 500));
         for (int i = 0; i < 3; ++i) h.transport.push(ScriptedTransport::reply("FAIL", "later"));
         ASSERT_TRUE(h.runPass());
       },
       CycleState::Waiting, 1, 1, 2, 2, 1, true},
      {"a minute and more without a success while a photo waits", [&] { h.fake.clock.advance(61); },
       CycleState::Waiting, 1, 1, 2, 2, 1, false},
      {"paused",
       [&] {
         h.controller->ibClickedOnHalt(nullptr);
         h.loop.runPending();
       },
       CycleState::Paused, 1, 1, 2, 2, 1, false},
      {"resumed with a new photo; the site stops the cycle",
       [&] {
         photo(h, 5);
         h.transport.push(ScriptedTransport::reply("ERROR", "Account locked"));
         h.controller->ibClickedOnHalt(nullptr);
         ASSERT_TRUE(h.pumpUntil([&] { return h.isIdle(); }));
       },
       CycleState::StoppedBySite, 2, kAny, 2, 2, 1, false},
      {"the site answers again: everything left is uploaded",
       [&] {
         drive(h, 900, [&] {
           return !exists(h.dir.sub("Source/Event/IMG_3.jpg")) &&
                  !exists(h.dir.sub("Source/Event/IMG_5.jpg"));
         });
       },
       CycleState::Waiting, 0, 0, 4, 4, 1, true},
      {"past local midnight",
       [&] { h.fake.clock.advance(untilPastMidnight(h.fake.clock.wallNow())); },
       CycleState::Waiting, 0, 0, 0, 4, 1, true},
      {"a photo after midnight",
       [&] {
         photo(h, 6);
         ASSERT_TRUE(h.runPass());
       },
       CycleState::Waiting, 0, 0, 1, 5, 1, true},
  };
  h.controller->setStatusObserver([&] { ++observed; });
  for (const Row& row : rows) {
    SCOPED_TRACE(row.step);
    row.act();
    const CycleStatus s = h.controller->cycleStatus();
    EXPECT_EQ(s.state, row.state) << cycleStateText(s.state);
    EXPECT_EQ(s.waiting, row.waiting);
    if (row.heldBack != kAny) {
      EXPECT_EQ(s.heldBack, row.heldBack);
    }
    EXPECT_EQ(s.uploadedToday, row.today);
    EXPECT_EQ(s.uploadedSinceStart, row.sinceStart);
    EXPECT_EQ(s.problemFolder, row.problem);
    EXPECT_EQ(s.oldestWaitingSeconds.has_value(), row.waiting > 0);
    EXPECT_EQ(s.currentItem, "");
    const Dict report = h.controller->statusReport();
    const Value* healthy = dictGet(report, kStatusHealthy);
    ASSERT_TRUE(healthy && healthy->asBoolean());
    EXPECT_EQ(*healthy->asBoolean(), row.healthy) << *dictGetString(report, kStatusHealthReason);
  }

  EXPECT_GT(observed, 10);  // every outcome and state change told the observer
  // While the first photo was being sent, all four waited and the cycle was uploading it.
  EXPECT_EQ(duringFirstSend.state, CycleState::Uploading);
  EXPECT_EQ(duringFirstSend.waiting, 4);
  EXPECT_FALSE(duringFirstSend.currentItem.empty());
  const CycleStatus end = h.controller->cycleStatus();
  EXPECT_EQ(end.outcomesOk, 5u);
  EXPECT_EQ(end.outcomesProblem, 1u);
  EXPECT_GE(end.outcomesRetry, 4u);  // three failures, the stop, and any retry of the held one
  EXPECT_GT(end.bytesUploaded, 0u);
  EXPECT_EQ(end.lastSuccessItem.rfind("Event/IMG_", 0), 0u);
  EXPECT_EQ(end.lastFailureReason, "ERROR: Account locked");
}

// The oldest waiting photo as photos come, leave and whole-tree walks find fewer; a walk counts
// the photos knownReady() found without listing them.
TEST(CycleCounts, OldestFollowsArrivalsDeparturesAndWalks) {
  CycleCounts c;
  const FileStamp stamp{1, 2, 3, 4, 5};
  auto seen = [&](const char* item) { return CycleCounts::Seen{item, stamp, false}; };
  struct Row {
    const char* step;
    std::function<void()> act;
    double now;
    std::int64_t waiting;
    double oldest;  // seconds; -1: none
  } rows[] = {
      {"a and b at 10",
       [&] {
         c.noteWalk({seen("a"), seen("b")}, {}, 10);
       },
       10, 2, 0},
      {"c at 20", [&] { c.noteWalk({seen("c")}, {}, 20); }, 30, 3, 20},
      {"a leaves: b is as old", [&] { c.forget("a"); }, 30, 2, 20},
      {"b leaves: c is the oldest", [&] { c.forget("b"); }, 30, 1, 10},
      {"a walk finds c known and d new",
       [&] {
         c.beginWalk();
         ASSERT_TRUE(c.knownReady("c", stamp));
         c.replaceReady({seen("d")}, 40);
       },
       40, 2, 20},
      {"a walk finds only d", [&] { c.beginWalk(), c.replaceReady({seen("d")}, 50); }, 50, 1, 10},
      {"a walk finds none", [&] { c.beginWalk(), c.replaceReady({}, 60); }, 60, 0, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.step);
    row.act();
    const CycleStatus s = c.snapshot(row.now, row.now);
    EXPECT_EQ(s.waiting, row.waiting);
    EXPECT_EQ(s.oldestWaitingSeconds.value_or(-1), row.oldest);
  }
}

// Between passes the counts still follow the folder: from launch, while paused and while the
// site backs the cycle off; never "healthy" with nothing counted while photos wait.
TEST(CycleCounts, FollowTheFolderFromLaunchWhilePausedAndBackingOff) {
  CycleHarness h(false);  // launched below, with the photos there
  h.setPref(sPrefSecondsBetweenScans, 300);
  for (int n = 1; n <= 2; ++n) photo(h, n);
  const struct {
    const char* step;
    std::function<void()> act;
    int arrive;  // photos dropped after the step
    std::int64_t waiting;
    CycleState state;
  } rows[] = {
      {"launched with two photos",
       [&] {
         h.controller->applicationWillFinishLaunching();
         h.controller->applicationDidFinishLaunching();
       },
       0, 2, CycleState::Waiting},
      {"paused while idle", [&] { h.controller->ibClickedOnHalt(nullptr); }, 3, 5,
       CycleState::Paused},
      {"resumed; the site answers 429 and the cycle backs off",
       [&] {
         h.transport.setResult(ScriptedTransport::reply("FAIL", "busy", 429));
         h.controller->ibClickedOnHalt(nullptr);
         ASSERT_TRUE(h.pumpUntil([&] { return h.isIdle(); }));
       },
       1, 6, CycleState::Waiting},
  };
  int next = 3;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.step);
    row.act();
    const Dict report = h.controller->statusReport();
    EXPECT_FALSE(dictGet(report, kStatusWaiting)->integerValue() == 0 &&
                 *dictGet(report, kStatusHealthy)->asBoolean());
    for (int i = 0; i < row.arrive; ++i) photo(h, next++);
    h.fake.clock.advance(1);
    EXPECT_TRUE(h.pumpUntil([&] { return h.controller->cycleStatus().waiting == row.waiting; }, 5))
        << h.controller->cycleStatus().waiting;
    EXPECT_EQ(h.controller->cycleStatus().state, row.state);
  }
}

}  // namespace
}  // namespace sorv::test
