#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Program.h"
#include "platform/SystemVersion.h"

namespace sorv {
namespace {

TEST(SystemVersion, VersionsCompareByNumber) {
  struct Case {
    const char* text;
    int major, minor, patch;
    bool atLeast;
  } cases[] = {
      {"10.4.11", 10, 4, 0, true}, {"10.4.11", 10, 5, 0, false}, {"10.6.8", 10, 5, 0, true},
      {"10.10.5", 10, 5, 0, true}, {"10.10.5", 10, 9, 0, true},  {"10.3.9", 10, 4, 0, false},
      {"2.6.12", 2, 6, 13, false}, {"2.6.13", 2, 6, 13, true},   {"6.1.0-13-amd64", 2, 6, 13, true},
      {"3.0", 2, 6, 13, true},     {"garbage", 2, 6, 0, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(versionAtLeast(c.text, c.major, c.minor, c.patch), c.atLeast) << c.text;
}

// Without sw_vers (every Linux) the version is the kernel release, held to the kernel versions.
TEST(SystemVersion, KernelReleaseAndItsThresholds) {
  if (access("/usr/bin/sw_vers", X_OK) == 0) GTEST_SKIP() << "sw_vers answers here";
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(systemVersionText(), std::string(u.release));
  VersionThreshold minimum = minimumSystemVersion(), watcher = watcherSystemVersion();
  EXPECT_EQ(std::vector<int>({minimum.major, minimum.minor, minimum.patch}),
            std::vector<int>({2, 6, 0}));
  EXPECT_EQ(std::vector<int>({watcher.major, watcher.minor, watcher.patch}),
            std::vector<int>({2, 6, 13}));
}

TEST(Program, RunsWithoutAShellAndTellsHowItEnded) {
  std::string overflow = "head -c " + std::to_string(kMaxProgramOutput + 4096) + " /dev/zero";
  struct Case {
    std::string path;
    std::vector<std::string> args;
    bool started;
    int status;
    std::size_t size;
    std::string output;  // checked when size is 0
  } cases[] = {
      {"/bin/echo", {"a  b", "$HOME"}, true, 0, 0, "a  b $HOME\n"},
      {"/bin/sh", {"-c", "echo partial; exit 3"}, true, 3, 0, "partial\n"},
      {"/bin/sh", {"-c", "kill -9 $$"}, true, -1, 0, ""},
      {"/nonexistent/program", {}, false, -1, 0, ""},
      // A program that writes more than is kept is read to its end, so it never blocks.
      {"/bin/sh", {"-c", overflow}, true, 0, kMaxProgramOutput, ""},
  };
  for (const auto& c : cases) {
    ProgramRun run = runProgram(c.path, c.args);
    EXPECT_EQ(run.started, c.started) << c.path;
    EXPECT_EQ(run.status, c.status) << c.path;
    if (c.size)
      EXPECT_EQ(run.output.size(), c.size) << c.path;
    else
      EXPECT_EQ(run.output, c.output) << c.path;
  }
}

}  // namespace
}  // namespace sorv
