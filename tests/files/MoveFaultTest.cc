#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "files/QMI_FileManager.h"
#include "files/SafeMove.h"
#include "platform/fs/FileSystem.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/FaultInjectionFileSystem.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace sorv {
namespace {

using Fault = test::FaultInjectionFileSystem;
using Op = Fault::Op;
using test::ScopedEnv;

const std::string& photoBytes() {
  static const std::string bytes = [] {
    std::string b(3 << 20, '\0');
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 7 + i / 4093);
    return b;
  }();
  return bytes;
}

bool hasPartials(const std::string& folder) {
  for (const auto& [rel, bytes] : test::treeOf(folder)) {
    if (rel.find(kPartialMovePrefix) != std::string::npos) return true;
  }
  return false;
}

// One item on tmpfs, moved to the disk through the fault wrapper.
struct CrossMove {
  test::TempDir disk;
  test::TempDir shm{test::TempDir::kMemory};
  std::string bytes = photoBytes();
  std::string src = shm.sub("A_1.jpg");
  std::string destFolder = disk.sub("mirror");
  std::string dest = destFolder + "/A_1.jpg";
  CrossMove() {
    EXPECT_TRUE(test::writeFile(src, bytes));
    std::filesystem::create_directories(destFolder);
  }
};

// Whole at the source, or whole at the destination (both only in the instant after the copy
// is in place and before the source goes); never a part of it anywhere under its name.
void expectWholeSomewhere(const CrossMove& m) {
  bool atSource = std::filesystem::exists(m.src);
  bool atDest = std::filesystem::exists(m.dest);
  EXPECT_TRUE(atSource || atDest);
  if (atSource) {
    EXPECT_EQ(test::readFile(m.src), m.bytes);
  }
  if (atDest) {
    EXPECT_EQ(test::readFile(m.dest), m.bytes);
  }
}

TEST(MoveFaults, AFailedStepLeavesTheSourceIntactAndNoCopyBehind) {
  struct Case {
    Op op;
    int nth;
  } cases[] = {
      {Op::CreateFile, 1},    {Op::Read, 2},     {Op::Append, 1},      {Op::Append, 3},
      {Op::SetAttributes, 1}, {Op::SyncFile, 1}, {Op::Close, 1},       {Op::Rename, 2},
      {Op::SyncDirectory, 1}, {Op::Unlink, 1},   {Op::OpenForRead, 1},
  };
  for (bool replace : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "op " << static_cast<int>(c.op) << " call " << c.nth
                                      << (replace ? " replace" : " no replace"));
      CrossMove m;
      Fault fs;
      // The first rename is the same-file-system attempt; EXDEV sends the move to the copy.
      fs.failNth(c.op, c.nth, EIO);
      EXPECT_NE(moveFileSafely(fs, m.src, m.dest, replace), 0);
      EXPECT_EQ(test::readFile(m.src), m.bytes);
      EXPECT_FALSE(std::filesystem::exists(m.dest));
      EXPECT_FALSE(hasPartials(m.destFolder));
    }
  }
}

TEST(MoveFaults, ThroughTheFileManagerAFailedSyncKeepsTheItem) {
  CrossMove m;
  Fault fs;
  fs.failNth(Op::SyncFile, 1, EIO);
  {
    ScopedEnv env({.fileSystem = &fs});
    QMI_FileManager::moveFileToPath("A_1.jpg", m.shm.path(), m.destFolder, true, false);
  }
  EXPECT_EQ(test::readFile(m.src), m.bytes);
  EXPECT_FALSE(std::filesystem::exists(m.dest));
}

// Plays a crash after every step of a clean move: the machine keeps only what was synced.
TEST(MoveFaults, ACrashAtAnyStepLosesNothingAndTheNextMoveFinishes) {
  int steps = 0;
  {
    CrossMove m;
    Fault fs;
    ASSERT_EQ(moveFileSafely(fs, m.src, m.dest, false), 0);
    steps = fs.callCount();
  }
  ASSERT_GT(steps, 8);
  for (bool replace : {true, false}) {
    for (int k = 0; k <= steps; ++k) {
      SCOPED_TRACE(testing::Message() << "crash after " << k << " of " << steps
                                      << (replace ? " replace" : " no replace"));
      CrossMove m;
      Fault fs;
      fs.dieAfter(k);
      moveFileSafely(fs, m.src, m.dest, replace);
      fs.dropUnsyncedData();
      expectWholeSomewhere(m);

      if (std::filesystem::exists(m.src)) {
        EXPECT_EQ(moveFileSafely(posixFileSystem(), m.src, m.dest, replace), 0);
      }
      EXPECT_FALSE(std::filesystem::exists(m.src));
      EXPECT_EQ(test::readFile(m.dest), m.bytes);
      EXPECT_FALSE(hasPartials(m.destFolder));
    }
  }
}

// The model is strict enough to catch a move that removes the source too early.
TEST(MoveFaults, TheCrashModelDropsACopyWhoseFolderWasNeverSynced) {
  CrossMove m;
  Fault fs;
  ASSERT_EQ(fs.copyFile(m.src, m.dest + ".tmp", true), 0);
  ASSERT_EQ(fs.rename(m.dest + ".tmp", m.dest, false), 0);
  fs.dropUnsyncedData();
  EXPECT_FALSE(std::filesystem::exists(m.dest));
  EXPECT_FALSE(std::filesystem::exists(m.dest + ".tmp"));

  std::unique_ptr<WritableFile> file;
  ASSERT_EQ(fs.createFile(m.dest, 0644, &file), 0);
  ASSERT_EQ(file->append("synced"), 0);
  ASSERT_EQ(file->sync(), 0);
  ASSERT_EQ(file->append(" and lost"), 0);
  ASSERT_EQ(fs.syncDirectory(m.destFolder), 0);
  fs.dropUnsyncedData();
  EXPECT_EQ(test::readFile(m.dest), "synced");
}

}  // namespace
}  // namespace sorv
