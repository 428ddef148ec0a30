#include "app/SiteBackoff.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

namespace sorv {

SiteBackoff::SiteBackoff(Random random) : random_(std::move(random)) {
  if (!random_) {
    auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
    random_ = [engine] { return std::uniform_real_distribution<double>(0, 1)(*engine); };
  }
}

double SiteBackoff::waitFor(int n, double base, double unit) {
  if (!(base >= 1)) base = 1;  // also NaN
  if (!(unit >= 0)) unit = 0;
  unit = std::min(unit, 1.0);
  n = std::clamp(n, 1, 64);
  double low = base * std::ldexp(1.0, n - 1);
  double high = std::min(low * 2, kMaxWait);
  // Past the cap every wait would be the same; the spread then stays in its upper half.
  if (low >= kMaxWait) low = kMaxWait / 2;
  return std::max(base, low + unit * (high - low));
}

bool SiteBackoff::wouldBackOff(const std::string& item) const {
  return retries_ > 0 || (!lastUnreachable_.empty() && lastUnreachable_ != item);
}

std::optional<double> SiteBackoff::record(Outcome outcome, const std::string& item, double base,
                                          std::optional<double> siteAsks) {
  switch (outcome) {
    case Outcome::Success:
      reset();
      return std::nullopt;
    case Outcome::PhotoRefused:
      lastUnreachable_.clear();
      return std::nullopt;
    case Outcome::Unreachable:
      if (!siteAsks && !wouldBackOff(item)) {
        lastUnreachable_ = item;
        return std::nullopt;
      }
      lastUnreachable_ = item;
      break;
    case Outcome::StoppedCycle:
      lastUnreachable_.clear();
      break;
  }
  ++retries_;
  double wait = waitFor(retries_, base, random_());
  if (outcome == Outcome::Unreachable && siteAsks && *siteAsks > wait)
    wait = std::min(*siteAsks, kMaxWait);
  return wait;
}

bool SiteBackoff::reset() {
  bool was = retries_ > 0;
  retries_ = 0;
  lastUnreachable_.clear();
  return was;
}

}  // namespace sorv
