#include <gtest/gtest.h>
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

}  // namespace
}  // namespace sorv
