// The metrics file: its text passes Prometheus's own checker and carries the figures, and a
// failed write leaves the last good file whole and is said once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/MetricsFile.h"
#include "platform/Program.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using test::FaultInjectionFileSystem;

// promtool's verdict on the file: empty when it passes, else its complaints.
std::string promtoolComplaints(const std::string& file) {
  ProgramRun run = runProgram("/bin/sh", {"-c", "promtool check metrics < \"$0\" 2>&1", file});
  if (!run.started) return "promtool did not start";
  return run.status == 0 ? "" : run.output.empty() ? "promtool failed" : run.output;
}

TEST(MetricsFile, TextPassesPromtoolAndCarriesTheFigures) {
  test::ScopedFakeClock clock;  // the wall clock at 1.8e9 s
  CycleStatus fresh;
  CycleStatus draining;
  draining.state = CycleState::Uploading;
  draining.waiting = 7996;
  draining.heldBack = 2;
  draining.oldestWaitingSeconds = 12.5;
  draining.outcomesOk = 4;
  draining.outcomesRetry = 3;
  draining.outcomesProblem = 1;
  draining.bytesUploaded = 5'000'000'000ull;
  draining.lastSuccessTime = 1'796'000'000.25;
  draining.problemFolder = 1;
  CycleStatus paused = draining;
  paused.state = CycleState::Paused;
  CycleStatus stopped = draining;
  stopped.state = CycleState::StoppedBySite;
  struct Row {
    const char* name;
    CycleStatus status;
    std::vector<std::string> lines;
  } rows[] = {
      {"fresh",
       fresh,
       {"sorv_uploads_total{result=\"ok\"} 0", "sorv_waiting_photos 0",
        "sorv_oldest_waiting_photo_age_seconds 0", "sorv_last_success_timestamp_seconds 0",
        "sorv_paused 0", "sorv_stopped_by_site 0",
        "sorv_metrics_written_timestamp_seconds 1800000000"}},
      {"draining",
       draining,
       {"sorv_uploads_total{result=\"ok\"} 4", "sorv_uploads_total{result=\"problem\"} 1",
        "sorv_uploads_total{result=\"retry\"} 3", "sorv_upload_bytes_total 5000000000",
        "sorv_waiting_photos 7996", "sorv_held_back_photos 2",
        "sorv_oldest_waiting_photo_age_seconds 12.500",
        "sorv_last_success_timestamp_seconds 1796000000.250", "sorv_problem_folder_photos 1",
        "sorv_paused 0", "sorv_stopped_by_site 0"}},
      {"paused", paused, {"sorv_paused 1", "sorv_stopped_by_site 0"}},
      {"stopped", stopped, {"sorv_paused 0", "sorv_stopped_by_site 1"}},
  };
  test::TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MetricsFile file(dir.sub("sorv.prom"), posixFileSystem(), [&] { return row.status; });
    ASSERT_TRUE(file.write());
    std::string text = test::readFile(file.path());
    EXPECT_EQ(promtoolComplaints(file.path()), "") << text;
    for (const std::string& line : row.lines)
      EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text;
    for (const char* name :
         {"sorv_uploads_total", "sorv_upload_bytes_total", "sorv_waiting_photos",
          "sorv_held_back_photos", "sorv_oldest_waiting_photo_age_seconds",
          "sorv_last_success_timestamp_seconds", "sorv_problem_folder_photos", "sorv_paused",
          "sorv_stopped_by_site", "sorv_metrics_written_timestamp_seconds"}) {
      EXPECT_NE(text.find(std::string("# HELP ") + name + " "), std::string::npos) << name;
      EXPECT_NE(text.find(std::string("# TYPE ") + name + " "), std::string::npos) << name;
    }
  }
  // Each write carries its own time.
  clock.clock.advance(2.25);
  MetricsFile later(dir.sub("sorv.prom"), posixFileSystem(), [&] { return fresh; });
  ASSERT_TRUE(later.write());
  EXPECT_NE(test::readFile(later.path())
                .find("\nsorv_metrics_written_timestamp_seconds 1800000002.250\n"),
            std::string::npos)
      << test::readFile(later.path());
}

TEST(MetricsFile, AFailedWriteKeepsTheLastFileWholeAndIsSaidOnce) {
  test::TempDir dir;
  FaultInjectionFileSystem faults;
  CycleStatus status;
  status.outcomesOk = 1;
  MetricsFile file(dir.sub("sorv.prom"), faults, [&] { return status; });
  ASSERT_TRUE(file.write());
  std::string good = test::readFile(file.path());

  status.outcomesOk = 2;
  test::CapturedOutput err(2);
  faults.failNth(FaultInjectionFileSystem::Op::Append, 1, ENOSPC);
  faults.failNth(FaultInjectionFileSystem::Op::Rename, 1, EIO);
  EXPECT_FALSE(file.write());  // the disk is full
  EXPECT_FALSE(file.write());  // the rename fails
  EXPECT_EQ(test::readFile(file.path()), good);
  EXPECT_TRUE(file.write());
  std::string said = err.text();

  EXPECT_NE(test::readFile(file.path()).find("sorv_uploads_total{result=\"ok\"} 2"),
            std::string::npos);
  std::vector<std::string> names;
  ASSERT_EQ(posixFileSystem().listDirectory(dir.path(), &names, 100), 0);
  EXPECT_EQ(names, std::vector<std::string>{"sorv.prom"});  // no temporary file left behind
  auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = said.find(what); at != std::string::npos; at = said.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("Cannot write the metrics file"), 1u) << said;
  EXPECT_EQ(count("No space left on device"), 1u) << said;
  EXPECT_EQ(count("is written again"), 1u) << said;
}

// A metrics path that names something other than a regular file (here a FIFO; a device node
// as root would do the same) is left as it is: nothing is written, and that is said once
// however often the write comes. Once a regular file may go there, it is written again.
TEST(MetricsFile, APathThatIsNoRegularFileIsLeftAsItIsAndSaidOnce) {
  test::TempDir dir;
  const std::string path = dir.sub("sorv.prom");
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  CycleStatus status;
  MetricsFile file(path, posixFileSystem(), [&] { return status; });
  test::CapturedOutput err(2);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(file.write());
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_TRUE(file.write());
  const std::string said = err.text();
  EXPECT_NE(test::readFile(path).find("sorv_paused 0"), std::string::npos);
  std::size_t refusals = 0;
  for (std::size_t at = said.find("it is a FIFO"); at != std::string::npos;
       at = said.find("it is a FIFO", at + 1))
    ++refusals;
  EXPECT_EQ(refusals, 1u) << said;
  EXPECT_EQ(said.find("Cannot write the metrics file"), std::string::npos) << said;
  EXPECT_NE(said.find("is written again"), std::string::npos) << said;
}

}  // namespace
}  // namespace sorv
