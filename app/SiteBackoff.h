// The pacing of the whole cycle while the site, rather than a photo, is failing: after a reply
// that stops the cycle, when two different photos in a row cannot reach the site or get an
// HTTP 5xx answer, or when the site says it is busy (a 429, or a wait it asks for with
// Retry-After), the automatic passes wait longer each time, with a random spread so that a
// fleet of kiosks does not come back in step. Plain state, not thread safe: the controller
// guards it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace sorv {

class SiteBackoff {
 public:
  // Gives a number in [0, 1); called once per wait.
  using Random = std::function<double()>;
  static constexpr double kMaxWait = 30 * 60;

  // random: nullptr means a generator seeded from the system.
  explicit SiteBackoff(Random random = nullptr);

  // The wait before the n-th retry in a row (n >= 1): base x 2^(n-1) + unit x base x 2^(n-1),
  // that is between base x 2^(n-1) and base x 2^n, at most kMaxWait; once base x 2^(n-1)
  // reaches kMaxWait, between kMaxWait / 2 and kMaxWait. Never below base, so the cycle never runs
  // faster than its scan interval. unit is clamped to [0, 1]; a base below 1 second counts as 1
  // second.
  static double waitFor(int n, double base, double unit);

  // What one upload's outcome says about the site.
  enum class Outcome {
    Success,       // resets
    PhotoRefused,  // the site answered about the photo: ends a run of unreachable photos
    Unreachable,   // a transport error or an HTTP 5xx answer
    StoppedCycle,  // a reply that stops the cycle (ERROR)
  };
  // Records the outcome of the upload of item; base is the scan interval now. Gives the wait
  // before the next automatic pass when the cycle is to back off, else nullopt. siteAsks: the
  // wait the site asked for (Retry-After) with an Unreachable outcome; the cycle then backs off
  // at once, for at least that long (at most kMaxWait).
  std::optional<double> record(Outcome outcome, const std::string& item, double base,
                               std::optional<double> siteAsks = std::nullopt);
  // True when the site is failing and `item`, unreachable now, is to stay where it is (no
  // move into the problem folder): the backoff runs, or another photo just failed the same way.
  bool wouldBackOff(const std::string& item) const;
  // Forgets every failure; true when the cycle was backing off.
  bool reset();

  int retries() const { return retries_; }  // the n of the last wait; 0 when not backing off
  bool backingOff() const { return retries_ > 0; }

 private:
  Random random_;
  int retries_ = 0;
  std::string lastUnreachable_;  // the photo of the last unreachable outcome, "" after others
};

}  // namespace sorv
