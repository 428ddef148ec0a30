// The backoff's arithmetic: the bounds of each retry, the 30-minute cap with its spread, the
// scan interval as the floor, and what resets it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "app/SiteBackoff.h"

namespace sorv {
namespace {

TEST(SiteBackoff, WaitsDoubleWithinTheirBoundsUpToTheCap) {
  const struct {
    int n;
    double base, low, high;  // the wait with unit 0 and with unit 1
  } rows[] = {
      {1, 120, 120, 240},   {2, 120, 240, 480},   {3, 120, 480, 960},    {4, 120, 960, 1800},
      {5, 120, 900, 1800},  {40, 120, 900, 1800}, {1, 2, 2, 4},          {9, 2, 512, 1024},
      {10, 2, 1024, 1800},  {1, 0.1, 1, 2},       {1, 3600, 3600, 3600}, {11, 2, 900, 1800},
      {1000, 2, 900, 1800},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "n=" << r.n << " base=" << r.base);
    EXPECT_DOUBLE_EQ(SiteBackoff::waitFor(r.n, r.base, 0), r.low);
    EXPECT_DOUBLE_EQ(SiteBackoff::waitFor(r.n, r.base, 1), r.high);
    double mid = SiteBackoff::waitFor(r.n, r.base, 0.5);
    EXPECT_GE(mid, r.low);
    EXPECT_LE(mid, r.high);
    EXPECT_GE(mid, std::max(1.0, r.base));  // never faster than the scan interval
  }
  // Nonsense in, a sane wait out.
  EXPECT_DOUBLE_EQ(SiteBackoff::waitFor(0, 10, -3), 10);
  EXPECT_DOUBLE_EQ(SiteBackoff::waitFor(-5, 10, 7), 20);
  EXPECT_DOUBLE_EQ(SiteBackoff::waitFor(1, std::nan(""), 0), 1);
}

// Outcomes start the backoff, grow and reset it. A site that says how long to wait
// (Retry-After) backs the cycle off at its first answer, for at least that long and at most the
// cap; a shorter ask leaves the usual wait.
TEST(SiteBackoff, OutcomesStartGrowAndResetItAndTheSitesOwnWaitBoundsIt) {
  using O = SiteBackoff::Outcome;
  const double base = 10;
  struct Step {
    O outcome;
    const char* item;
    std::optional<double> asks;
    double expect;  // the wait at unit 0.5; 0 for none
  };
  auto play = [&](SiteBackoff& backoff, const std::vector<Step>& steps) {
    int i = 0;
    for (const auto& s : steps) {
      SCOPED_TRACE(i++);
      EXPECT_EQ(backoff.record(s.outcome, s.item, base, s.asks).value_or(0), s.expect);
    }
  };
  SiteBackoff backoff([] { return 0.5; });
  play(backoff,
       {
           {O::Unreachable, "A", std::nullopt, 0},   // one photo: its own business
           {O::Unreachable, "A", std::nullopt, 0},   // the same photo again
           {O::Unreachable, "B", std::nullopt, 15},  // another photo: the site fails; retry 1
           {O::Unreachable, "B", std::nullopt, 30},  // retry 2, whichever photo
           {O::PhotoRefused, "C", std::nullopt, 0},  // the site answered about a photo: not counted
           {O::Unreachable, "C", std::nullopt, 60},  // still backing off: retry 3
           {O::Success, "C", std::nullopt, 0},       // resets
           {O::Unreachable, "D", std::nullopt, 0},   // a new run begins with one photo
           {O::PhotoRefused, "E", std::nullopt, 0},  // ends that run
           {O::Unreachable, "F", std::nullopt, 0},   // so F is a first photo again
           {O::StoppedCycle, "F", std::nullopt, 15},  // a stop backs off at once
           {O::StoppedCycle, "F", std::nullopt, 30},
       });
  EXPECT_EQ(backoff.retries(), 2);
  EXPECT_TRUE(backoff.wouldBackOff("anything"));
  EXPECT_TRUE(backoff.reset());  // the operator or a settings change
  EXPECT_FALSE(backoff.reset());
  EXPECT_FALSE(backoff.wouldBackOff("F"));
  EXPECT_EQ(backoff.record(O::Unreachable, "F", base), std::nullopt);

  SiteBackoff asked([] { return 0.5; });
  play(asked, {
                  {O::Unreachable, "A", 100, 100},     // at once, for the whole 100 s
                  {O::Unreachable, "A", 1, 30},        // the usual retry 2 is longer
                  {O::Unreachable, "B", 5000, 1800},   // never past the cap
                  {O::Success, "B", std::nullopt, 0},  // resets
                  {O::Unreachable, "C", 0, 15},     // "now" still waits the scan interval's retry
                  {O::PhotoRefused, "D", 600, 0},   // only an unreachable answer is the site's wait
                  {O::StoppedCycle, "D", 600, 30},  // a stop goes by its own rule
              });
}

}  // namespace
}  // namespace sorv
