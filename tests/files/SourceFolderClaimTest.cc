#include <gtest/gtest.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "files/SourceFolderClaim.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using Result = SourceFolderClaim::Result;

// Claims behave between objects of one process as between agents: a folder is held by one
// claim at a time, by whatever path it is named, and a claim moved to another folder frees
// the first.
TEST(SourceFolderClaimTest, OneClaimPerFolderByAnyPath) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.sub("A"));
  std::filesystem::create_directories(dir.sub("B"));
  std::filesystem::create_directory_symlink(dir.sub("A"), dir.sub("link"));
  SourceFolderClaim first, second;
  pid_t holder = -1;
  std::string err;
  EXPECT_EQ(first.claim(dir.sub("A"), &holder, &err), Result::Claimed);
  EXPECT_EQ(first.claim(dir.sub("link"), &holder, &err), Result::Claimed);  // held already
  EXPECT_EQ(second.claim(dir.sub("link"), &holder, &err), Result::HeldElsewhere);
  EXPECT_EQ(holder, getpid());  // read back from /proc/locks
  EXPECT_EQ(second.claim(dir.sub("missing"), &holder, &err), Result::Failed);
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(first.claim(dir.sub("B"), &holder, &err), Result::Claimed);
  EXPECT_EQ(second.claim(dir.sub("A"), &holder, &err), Result::Claimed);
  EXPECT_EQ(second.claim(dir.sub("B"), &holder, &err), Result::HeldElsewhere);
  // A failed move to another folder keeps the claim it had.
  EXPECT_EQ(first.claim(dir.sub("A"), &holder, &err), Result::HeldElsewhere);
  EXPECT_EQ(second.claim(dir.sub("B"), &holder, &err), Result::HeldElsewhere);
  first.release();
  EXPECT_EQ(second.claim(dir.sub("B"), &holder, &err), Result::Claimed);
}

// The holder of a claim as /proc tells of it: the process id from /proc/locks, its command name
// shown safely, and whether it is an agent (this test's own process stands for one).
TEST(SourceFolderClaimTest, TheHolderIsFoundAndNamed) {
  const std::string locks =
      "1: POSIX  ADVISORY  WRITE 700 08:01:567 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 12778 08:01:567 0 EOF\n"
      "2: -> FLOCK  ADVISORY  WRITE 900 08:01:567 0 EOF\n"
      "3: FLOCK  ADVISORY  WRITE 31 00:2d:12 0 EOF\n"
      "garbage\n4: FLOCK  ADVISORY  WRITE -5 00:2d:99 0 EOF\n";
  struct Case {
    unsigned major, minor;
    std::uint64_t inode;
    pid_t holder;
  } cases[] = {{8, 1, 567, 12778}, {0, 0x2d, 12, 31}, {0, 0x2d, 99, 0}, {8, 2, 567, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(flockHolderIn(locks, ::makedev(c.major, c.minor), c.inode), c.holder) << c.inode;

  const std::pair<std::string, std::string> names[] = {
      {"flock\n", "flock"},
      {"rsync", "rsync"},
      {"a-very-long-command-name\n", "a-very-long-com"},
      {"tab\tbell\a\xff\n", "tab?bell??"},
      {"", ""},
  };
  for (const auto& [raw, shown] : names) EXPECT_EQ(commandNameFrom(raw), shown);

  pid_t child = ::fork();
  if (child == 0) {
    ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  ClaimHolder other;
  for (int i = 0; i < 200 && other.command != "sleep"; ++i) {
    other = describeClaimHolder(child);
    ::usleep(5000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(other.command, "sleep");
  EXPECT_FALSE(other.isAgent);
  EXPECT_EQ(other.description(), "process " + std::to_string(child) + " (sleep)");
  ClaimHolder self = describeClaimHolder(::getpid());
  EXPECT_TRUE(self.isAgent);
  EXPECT_EQ(ClaimHolder{}.description(), "another process");
  EXPECT_EQ(describeClaimHolder(0).description(), "another process");
}

}  // namespace
}  // namespace sorv
