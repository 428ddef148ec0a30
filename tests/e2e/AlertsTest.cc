// The shipped alert rules against the real agent's figures: the agent drains a folder, then the
// site's ERROR reply stops its cycle; a real node exporter serves the metrics file, and
// promtool evaluates the rules on the scraped values, as the kiosk's series in Prometheus.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "platform/Program.h"
#include "settings/Preferences.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/NodeExporter.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

const std::string kRules = SORV_TEST_SOURCE_DIR "/resources/prometheus/sorv-alerts.yml";
const std::string kInstance = "booth-1:9100";

// The sorv_ samples of a scrape by series ("sorv_uploads_total{result=\"ok\"}"), with values.
using Samples = std::map<std::string, double>;

Samples sorvSamples(const std::string& scraped) {
  Samples samples;
  std::istringstream in(scraped);
  for (std::string line; std::getline(in, line);) {
    std::size_t space = line.rfind(' ');
    if (line.rfind("sorv_", 0) == 0 && space != std::string::npos)
      samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
  }
  return samples;
}

double value(const Samples& samples, const std::string& series) {
  auto it = samples.find(series);
  return it == samples.end() ? -1 : it->second;
}

// Seconds from the last upload to the write of the figures, on the kiosk's clock.
double sinceLastSuccess(const Samples& s) {
  return value(s, "sorv_metrics_written_timestamp_seconds") -
         value(s, "sorv_last_success_timestamp_seconds");
}

// One promtool test group: the samples as the kiosk's series at time 0, and whether each
// alert's expression selects the kiosk then (the alert is pending or firing).
std::string testGroup(const std::string& name, const Samples& samples,
                      const std::map<std::string, bool>& selects) {
  std::string out = "  - name: " + name + "\n    interval: 1m\n    input_series:\n";
  const std::string labels = "instance=\"" + kInstance + "\",job=\"sorv-kiosks\"";
  for (const auto& [series, v] : samples) {
    std::size_t brace = series.find('{');
    std::string labelled = brace == std::string::npos ? series + "{" + labels + "}"
                                                      : series.substr(0, brace + 1) + labels + "," +
                                                            series.substr(brace + 1);
    char text[64];
    *std::to_chars(text, text + sizeof text - 1, v).ptr = '\0';  // the shortest exact form
    out += "      - series: '" + labelled + "'\n        values: '" + text + "'\n";
  }
  out += "    promql_expr_test:\n";
  for (const auto& [alert, selected] : selects) {
    out += "      - expr: count by (instance) (ALERTS{alertname=\"" + alert + "\"})\n";
    out += "        eval_time: 0m\n";
    out += selected ? "        exp_samples:\n          - labels: '{instance=\"" + kInstance +
                          "\"}'\n            value: 1\n"
                    : "        exp_samples: []\n";
  }
  return out;
}

// The rules with the stall's 15 minutes (900 s, twice in its expression) cut to seconds.
std::string scaledRules(double seconds) {
  std::string rules = readFile(kRules), from = "> 900", to = "> " + std::to_string(int(seconds));
  int replaced = 0;
  for (std::size_t at = rules.find(from); at != std::string::npos; at = rules.find(from, at)) {
    rules.replace(at, from.size(), to);
    ++replaced;
  }
  return replaced == 2 ? rules : "";
}

TEST(Alerts, StalledAndStoppedBySiteSelectTheRealKioskOnlyWhenTheyShould) {
  // The rules' 15 minutes of a stall become this many seconds in the scaled copy.
  constexpr double kStallSeconds = 2;
  TempDir dir;
  const std::string src = dir.sub("Source"), mirror = dir.sub("Mirror");
  const std::string textfiles = dir.sub("textfiles");
  std::filesystem::create_directories(mirror);
  std::filesystem::create_directories(textfiles);
  const Dict meta{{"QM_kioskStation", "K1"}};
  for (const char* name : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"})
    ASSERT_FALSE(writePhoto(src + "/Fair/" + name, false, 32, 24, meta).empty());
  // A locked account's answer, for photos named LOCK only.
  SiteProcess site(dir.sub("store"), {"--fault", "error", "--fault-only", "LOCK"});
  ASSERT_TRUE(site.ok());
  const std::string agent = installAgentBundle(dir.path());
  ASSERT_FALSE(agent.empty());
  // A pass every second, each rewriting the file, so the ages grow without the 15 s refresh.
  ASSERT_TRUE(
      writeKioskDefaults(dir.sub("d.plist"), src, mirror, site.url(),
                         Dict{{sPrefSecondsBetweenScans, 1.0}, {sPrefAutoSynchronize, true}}));
  const std::string console = dir.sub("console.txt");
  AgentProcess run(agent, src, dir.sub("d.plist"), dir.sub("logs"), console,
                   {"SORV_METRICS_FILE=" + textfiles + "/sorv.prom"});
  ASSERT_TRUE(run.started());
  const std::string exporterLog = dir.sub("node-exporter.log");
  NodeExporter exporter(textfiles, exporterLog);
  ASSERT_GT(exporter.port(), 0) << readFile(exporterLog);

  auto scrapeUntil = [&](const std::function<bool(const Samples&)>& done, Samples* out) {
    return waitFor(
        [&] {
          *out = sorvSamples(exporter.scrape());
          return done(*out);
        },
        30);
  };
  // Drained, and idle for longer than the scaled stall: nothing waits.
  Samples drained;
  ASSERT_TRUE(scrapeUntil(
      [&](const Samples& s) {
        return value(s, "sorv_uploads_total{result=\"ok\"}") == 3 &&
               value(s, "sorv_waiting_photos") == 0 && sinceLastSuccess(s) > kStallSeconds;
      },
      &drained))
      << readFile(console) << readFile(exporterLog);
  EXPECT_EQ(value(drained, "sorv_stopped_by_site"), 0);

  // The site's ERROR stops the cycle; the photo waits, past the scaled stall.
  ASSERT_FALSE(writePhoto(src + "/Fair/LOCK_1.jpg", false, 32, 24, meta).empty());
  Samples stopped;
  ASSERT_TRUE(scrapeUntil(
      [&](const Samples& s) {
        return value(s, "sorv_stopped_by_site") == 1 &&
               value(s, "sorv_oldest_waiting_photo_age_seconds") > kStallSeconds &&
               sinceLastSuccess(s) > kStallSeconds;
      },
      &stopped))
      << readFile(console);
  EXPECT_EQ(value(stopped, "sorv_waiting_photos"), 1);
  EXPECT_EQ(value(stopped, "sorv_uploads_total{result=\"ok\"}"), 3);
  EXPECT_LT(value(stopped, "sorv_oldest_waiting_photo_age_seconds"), 900);

  // The rules as shipped, and with the stall cut to kStallSeconds; each on both scrapes.
  const std::string scaled = scaledRules(kStallSeconds);
  ASSERT_FALSE(scaled.empty()) << "the stall's 900 s are not twice in " << kRules;
  ASSERT_TRUE(writeFile(dir.sub("scaled.yml"), scaled));
  struct Row {
    const char* rules;
    std::string path;
    bool drainedStalled, drainedStopped, stoppedStalled, stoppedStopped;
  } rows[] = {
      {"as shipped", kRules, false, false, false, true},
      // Past the stall too, but a kiosk the site stopped raises its own alert, not Stalled.
      {"stall cut to seconds", dir.sub("scaled.yml"), false, false, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rules);
    std::string tests = "rule_files:\n  - " + row.path + "\nevaluation_interval: 1m\ntests:\n";
    tests += testGroup("drained", drained,
                       {{"SorvUploaderStalled", row.drainedStalled},
                        {"SorvUploaderStoppedBySite", row.drainedStopped}});
    tests += testGroup("stopped by the site", stopped,
                       {{"SorvUploaderStalled", row.stoppedStalled},
                        {"SorvUploaderStoppedBySite", row.stoppedStopped}});
    const std::string file = dir.sub("alerts.test.yml");
    ASSERT_TRUE(writeFile(file, tests));
    ProgramRun check = runProgram("/bin/sh", {"-c", "promtool test rules \"$0\" 2>&1", file});
    EXPECT_EQ(check.status, 0) << check.output << tests;
  }
  EXPECT_EQ(quitBySigterm(run, console), "");
}

}  // namespace
}  // namespace sorv::test
