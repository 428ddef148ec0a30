// A fleet of agents that all saw the site fail for an outage: when does each retry first after
// the site is back? Uses SiteBackoff's own arithmetic with a seeded random source and prints
// the histogram of those first retries, their spread, and the same fleet without the random
// spread.
//   bench_backoff [--agents 200] [--outage 600] [--interval 120] [--seed 23] [--bin 30]
//                 [--together]   (every agent's first failure at the same moment)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/SiteBackoff.h"

namespace {

struct Options {
  int agents = 200;
  double outage = 600, interval = 120, bin = 30;
  unsigned seed = 23;
  bool together = false;
};

// Seconds after the recovery at which each agent's first retry comes.
std::vector<double> firstRetries(const Options& o, bool jitter) {
  std::mt19937_64 engine(o.seed);
  std::uniform_real_distribution<double> uniform(0, 1);
  std::vector<double> after;
  for (int a = 0; a < o.agents; ++a) {
    // An agent meets the outage at its own next pass, within one scan interval.
    double t = o.together ? 0 : uniform(engine) * o.interval;
    sorv::SiteBackoff backoff([&] { return jitter ? uniform(engine) : 0.0; });
    // The first photo fails, then a second one: the backoff begins.
    backoff.record(sorv::SiteBackoff::Outcome::Unreachable, "first", o.interval);
    while (true) {
      auto wait = backoff.record(sorv::SiteBackoff::Outcome::Unreachable, "next", o.interval);
      t += wait.value_or(o.interval);
      if (t >= o.outage) break;  // this retry finds the site back
    }
    after.push_back(t - o.outage);
  }
  std::sort(after.begin(), after.end());
  return after;
}

void print(const char* title, const std::vector<double>& after, const Options& o) {
  auto pct = [&](double p) { return after[static_cast<std::size_t>(p * (after.size() - 1))]; };
  std::printf("%s: first retries after recovery, %d agents\n", title, o.agents);
  std::printf("  min %.0f s  p10 %.0f s  median %.0f s  p90 %.0f s  max %.0f s  spread %.0f s\n",
              after.front(), pct(0.1), pct(0.5), pct(0.9), after.back(),
              after.back() - after.front());
  int bins = static_cast<int>(after.back() / o.bin) + 1;
  std::vector<int> counts(bins, 0);
  for (double s : after) ++counts[static_cast<int>(s / o.bin)];
  int most = *std::max_element(counts.begin(), counts.end());
  for (int b = 0; b < bins; ++b) {
    std::string bar(most ? counts[b] * 50 / most : 0, '#');
    std::printf("  %5.0f-%5.0f s %4d %s\n", b * o.bin, (b + 1) * o.bin, counts[b], bar.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    auto next = [&] { return i + 1 < argc ? argv[++i] : "0"; };
    if (!std::strcmp(argv[i], "--agents"))
      o.agents = std::max(1, std::atoi(next()));
    else if (!std::strcmp(argv[i], "--outage"))
      o.outage = std::atof(next());
    else if (!std::strcmp(argv[i], "--interval"))
      o.interval = std::atof(next());
    else if (!std::strcmp(argv[i], "--seed"))
      o.seed = static_cast<unsigned>(std::atol(next()));
    else if (!std::strcmp(argv[i], "--bin"))
      o.bin = std::max(1.0, std::atof(next()));
    else if (!std::strcmp(argv[i], "--together"))
      o.together = true;
  }
  std::printf("Outage %.0f s, scan interval %.0f s, seed %u%s\n\n", o.outage, o.interval, o.seed,
              o.together ? ", every agent failing at the same moment" : "");
  auto jittered = firstRetries(o, true);
  print("With the random spread", jittered, o);
  std::printf("\n");
  print("Without it (doubling only)", firstRetries(o, false), o);
  double spread = jittered.back() - jittered.front();
  std::printf("\nSpread with the random spread: %.0f s (target: at least 60 s): %s\n", spread,
              spread >= 60 ? "met" : "NOT MET");
  return 0;
}
