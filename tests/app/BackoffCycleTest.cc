// The site-wide backoff in the cycle, on the fake clock: a locked account and a site that
// answers 5xx cost a bounded number of POSTs, only the first 5xx photo goes to the problem
// folder, the waits grow, and a success, a settings change or the operator ends it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "platform/Paths.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"

namespace sorv::test {
namespace {

// The waits the message log announced, in order.
std::vector<double> announcedWaits(const std::string& log) {
  std::vector<double> waits;
  static const std::regex re("retry ([0-9]+) in a row waits ([0-9]+) seconds");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), re); it != std::sregex_iterator();
       ++it)
    waits.push_back(std::stod((*it)[2]));
  return waits;
}

void expectGrowing(const std::vector<double>& waits, double base) {
  ASSERT_GE(waits.size(), 3u);
  for (std::size_t i = 0; i < waits.size(); ++i) {
    double low = base * (1 << i), high = base * (2 << i);
    EXPECT_GE(waits[i], std::min(low, 900.0) - 0.5) << i;
    EXPECT_LE(waits[i], std::min(high, 1800.0) + 0.5) << i;
  }
}

int filesBelow(const std::string& folder) {
  int n = 0;
  for (int i = 1; i <= 6; ++i) n += exists(folder + "/Fair/IMG_" + std::to_string(i) + ".jpg");
  return n;
}

TEST(BackoffCycle, LockedAccountBacksOffAndASuccessEndsIt) {
  CycleHarness h;
  h.setPref(sPrefAutoSynchronize, true);
  h.setPref(sPrefSecondsBetweenScans, 2);
  for (int i = 1; i <= 6; ++i)
    ASSERT_TRUE(writeJpegWithMeta(h.source() + "/Fair/IMG_" + std::to_string(i) + ".jpg",
                                  standardMetaData()));
  h.transport.setResult(ScriptedTransport::reply("ERROR", "Account locked"));
  drive(h, 45);
  // Without the backoff: 23 POSTs in 45 s; with it, one per wait of 2-4, 4-8, 8-16, 16-32 s.
  EXPECT_LE(h.transport.posts(), 6);
  EXPECT_GE(h.transport.posts(), 3);
  EXPECT_EQ(filesBelow(h.source()), 6);
  expectGrowing(announcedWaits(h.messageLog()), 2);

  h.transport.setResult(ScriptedTransport::reply("OK", "Upload received"));
  drive(h, 600, [&] { return filesBelow(h.mirror()) == 6; });
  EXPECT_EQ(filesBelow(h.mirror()), 6);
  EXPECT_NE(h.messageLog().find("The site backoff ends: a photo was uploaded"), std::string::npos);
}

TEST(BackoffCycle, ASiteAnswering5xxSendsOnlyTheFirstPhotoToTheProblemFolder) {
  CycleHarness h;  // auto-synchronise off: the backoff's own timer brings the passes
  h.setPref(sPrefSecondsBetweenScans, 2);
  for (int i = 1; i <= 4; ++i)
    ASSERT_TRUE(writeJpegWithMeta(h.source() + "/Fair/IMG_" + std::to_string(i) + ".jpg",
                                  standardMetaData()));
  h.transport.setResult(ScriptedTransport::reply("OK", "fine", 503));
  drive(h, 120);
  EXPECT_EQ(filesBelow(h.problem()), 1);
  EXPECT_EQ(filesBelow(h.source()), 3);
  EXPECT_LE(h.transport.posts(), 9);  // 1 + one per wait: 2-4, 4-8, ..., 64-128 s
  auto waits = announcedWaits(h.messageLog());
  expectGrowing(waits, 2);
  const std::string journal = readFile(h.dir.sub("logs/problems.jsonl"));
  EXPECT_NE(journal.find("\"http_status\":503"), std::string::npos) << journal;
  EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 1);

  // A settings change ends the backoff; the next failure starts it again from the bottom.
  h.setPref(sPrefSecondsBetweenScans, 3);
  EXPECT_NE(h.messageLog().find("The site backoff ends: a setting changed"), std::string::npos);
  EXPECT_EQ(h.controller->siteBackoffRetries(), 0);

  h.transport.setResult(ScriptedTransport::reply("OK", "Upload received"));
  h.controller->ibClickedOnSynchronizeAgain(nullptr);
  drive(h, 300, [&] { return filesBelow(h.mirror()) == 3; });
  EXPECT_EQ(filesBelow(h.mirror()), 3);
  EXPECT_EQ(filesBelow(h.problem()), 1);
}

// A 429 is the site's state whatever its Retry-After says: no photo is blamed, and the cycle
// backs off from the first answer.
TEST(BackoffCycle, TooManyRequestsWithoutAUsableWaitKeepsEveryPhoto) {
  for (const char* retryAfter : {"", "soon", "-1", "1e30"}) {
    SCOPED_TRACE(retryAfter);
    CycleHarness h;
    h.setPref(sPrefSecondsBetweenScans, 2);
    for (int i = 1; i <= 3; ++i)
      ASSERT_TRUE(writeJpegWithMeta(h.source() + "/Fair/IMG_" + std::to_string(i) + ".jpg",
                                    standardMetaData()));
    HttpResult busy = ScriptedTransport::reply("FAIL", "The service is busy", 429);
    if (*retryAfter) busy.responseHeaders.emplace_back("Retry-After", retryAfter);
    h.transport.setResult(busy);
    drive(h, 45);
    EXPECT_EQ(filesBelow(h.source()), 3);
    EXPECT_EQ(filesBelow(h.problem()), 0);
    EXPECT_LE(h.transport.posts(), 6);  // one, then one per wait of 2-4, 4-8, 8-16, 16-32 s
    expectGrowing(announcedWaits(h.messageLog()), 2);
  }
}

// The upload the agent starts by itself after launch is no operator's: the backoff keeps its
// wait and its count, and the photo it holds stays in the source.
TEST(BackoffCycle, TheStartUpUploadLeavesTheBackoffAlone) {
  CycleHarness h;
  h.setPref(sPrefSecondsBetweenScans, 300);
  h.setPref(sPrefAutoStartUploadAtStartup, true);
  for (int i = 1; i <= 2; ++i)
    ASSERT_TRUE(writeJpegWithMeta(h.source() + "/Fair/IMG_" + std::to_string(i) + ".jpg",
                                  standardMetaData()));
  h.transport.setResult(ScriptedTransport::reply("OK", "fine", 503));
  h.controller->applicationDidFinishLaunching();  // its upload comes 10 s later
  ASSERT_TRUE(h.runPass());  // the first photo to the problem folder, the second backs off
  ASSERT_EQ(h.controller->siteBackoffRetries(), 1);
  h.fake.clock.advance(11);
  ASSERT_TRUE(h.pumpUntil([&] { return h.isIdle(); }));
  EXPECT_EQ(h.controller->siteBackoffRetries(), 1);
  EXPECT_EQ(filesBelow(h.source()), 1);
  EXPECT_EQ(h.messageLog().find("the operator asked"), std::string::npos);
}

}  // namespace
}  // namespace sorv::test
