// The metrics file as an operator's Prometheus meets it: the agent drains a folder with one
// photo the site refuses, the file passes promtool, and a real node exporter serves the
// figures from its textfile collector on loopback.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Program.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/e2e/NodeExporter.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace sorv::test {
namespace {

bool hasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(Metrics, TheFileReachesPrometheusThroughTheNodeExporter) {
  KioskFolders k;
  const TempDir& dir = k.dir;
  const std::string textfiles = dir.sub("textfiles"), metrics = textfiles + "/sorv.prom";
  const std::string& console = k.console;
  std::filesystem::create_directories(textfiles);
  ASSERT_TRUE(k.addPhotos({"BAD.jpg", "IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"}));
  SiteProcess site(dir.sub("store"), {"--fault", "http500", "--fault-only", "BAD"});
  ASSERT_TRUE(site.ok());
  auto run = k.start(site.url(), {}, {"SORV_METRICS_FILE=" + metrics});
  ASSERT_TRUE(run);
  // Written after every outcome: the figures of the drained folder arrive without the
  // 15-second refresh.
  ASSERT_TRUE(waitFor(
      [&] {
        std::string text = readFile(metrics);
        return hasLine(text, "sorv_uploads_total{result=\"ok\"} 3") &&
               hasLine(text, "sorv_problem_folder_photos 1");
      },
      30))
      << readFile(metrics) << readFile(console);
  std::string text = readFile(metrics);
  ProgramRun check = runProgram("/bin/sh", {"-c", "promtool check metrics < \"$0\" 2>&1", metrics});
  EXPECT_EQ(check.status, 0) << check.output << text;
  EXPECT_TRUE(hasLine(text, "sorv_uploads_total{result=\"problem\"} 1")) << text;
  EXPECT_TRUE(hasLine(text, "sorv_waiting_photos 0")) << text;
  EXPECT_TRUE(hasLine(text, "sorv_paused 0")) << text;
  EXPECT_TRUE(hasLine(text, "sorv_stopped_by_site 0")) << text;
  EXPECT_FALSE(hasLine(text, "sorv_upload_bytes_total 0")) << text;
  EXPECT_FALSE(hasLine(text, "sorv_last_success_timestamp_seconds 0")) << text;

  NodeExporter exporter(textfiles, dir.sub("node-exporter.log"));
  ASSERT_GT(exporter.port(), 0) << readFile(dir.sub("node-exporter.log"));
  std::string scraped;
  ASSERT_TRUE(waitFor(
      [&] {
        scraped = exporter.scrape();
        return scraped.find("sorv_uploads_total") != std::string::npos;
      },
      20))
      << readFile(dir.sub("node-exporter.log"));
  EXPECT_TRUE(hasLine(scraped, "sorv_uploads_total{result=\"ok\"} 3")) << scraped;
  EXPECT_TRUE(hasLine(scraped, "sorv_uploads_total{result=\"problem\"} 1")) << scraped;
  EXPECT_TRUE(hasLine(scraped, "sorv_problem_folder_photos 1")) << scraped;
  EXPECT_TRUE(hasLine(scraped, "node_textfile_scrape_error 0")) << scraped;

  EXPECT_EQ(quitBySigterm(*run, console), "");
}

}  // namespace
}  // namespace sorv::test
