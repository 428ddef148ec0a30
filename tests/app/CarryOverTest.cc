// What the cycle carries across a relaunch and across a folder that goes away: a photo whose
// upload made the agent relaunch twice waits behind the others in the next process, the
// waiting photos keep their age, and a photo uploaded while its folder was away is only moved
// when it comes back. Driven with the fake clock and the scripted transport; a "next process"
// is a new controller on the same folders and log folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "log/MessageLog.h"
#include "logfiles/RelaunchState.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "process/Process.h"
#include "settings/Preferences.h"
#include "tests/app/CycleHarness.h"
#include "tests/support/ScopedVariable.h"

namespace sorv::test {
namespace {

namespace fs = std::filesystem;

// The process after a relaunch: a new controller on the same folders, defaults and logs.
void nextProcess(CycleHarness& h) {
  h.controller->stopWatcher();
  ASSERT_TRUE(h.pumpUntil([&] { return h.controller->runningThreadCount() == 0; }));
  h.controller.reset();
  h.loop.runPending();
  MessageLog::CloseLog();
  AppController::resetCycleState();
  h.controller = std::make_unique<AppController>(&h.view);
  h.controller->startUp();
}

std::string uploadedFile(const Dict& upload) {
  const std::string* file = dictGetString(upload, kEdFileName);
  return file ? *file : "";
}

TEST(CarryOver, PhotosThatHangTwiceWaitBehindTheOthersAndKeepTheirAge) {
  ScopedVariable manager("SORV_SERVICE_MANAGER", "test");
  ScopedVariable health("SORV_HEALTH_MINUTES", "0.1");  // 6 s
  CycleHarness h;
  h.setPref(sPrefUploadTimeOut, 5);
  for (const char* name : {"P1", "P2", "P3", "P4", "P5"})
    ASSERT_TRUE(writeJpegWithMeta(h.source() + "/Event/" + name + ".jpg", standardMetaData()));
  // 32 photos held back by an earlier process: more than the file once kept.
  const std::string stateFile = appendingPathComponent(logFolderPath(), kRelaunchStateName);
  RelaunchState earlier;
  for (int i = 0; i < 32; ++i) {
    const std::string path = h.source() + "/Event/H" + std::to_string(i) + ".jpg";
    FileInfo info;
    ASSERT_TRUE(writeJpegWithMeta(path, standardMetaData()));
    ASSERT_EQ(defaultFileSystem().lstat(path, &info), 0);
    FileStamp stamp = FileStamp::of(info);
    stamp.ctimeNs = 0;
    earlier.relaunched.push_back({path, stamp, 2, h.fake.clock.wallNow() - 60});
  }
  ASSERT_EQ(writeRelaunchState(defaultFileSystem(), stateFile, earlier), 0);
  nextProcess(h);  // a controller made after the harness's health setting

  // Twice each, the first photo of the walk that is not held back takes its POST and nothing
  // moves: the watchdog relaunches, and the relaunch is remembered in the log folder beside
  // every photo held back before.
  std::vector<std::string> hung;
  for (int relaunch = 1; relaunch <= 4; ++relaunch) {
    SCOPED_TRACE(relaunch);
    h.transport.hold();
    const std::size_t before = h.uploads().size();
    const std::size_t sent = h.transport.requests().size();
    h.controller->applicationOpenFile(h.source());
    // The loop runs meanwhile: the pass shows its texts on the main thread.
    ASSERT_TRUE(h.pumpUntil([&] { return h.transport.requests().size() > sent; }));
    ASSERT_EQ(h.uploads().size(), before + 1);
    if (relaunch % 2) hung.push_back(uploadedFile(h.uploads().back()));
    EXPECT_EQ(uploadedFile(h.uploads().back()), hung.back()) << "the same photo goes again";
    EXPECT_EQ(hung.back().find("/Event/H"), std::string::npos) << "a held photo went first";
    h.fake.clock.advance(6);
    ASSERT_TRUE(h.pumpUntil([&] { return exitStatus() == kRelaunchExitStatus; }));
    RelaunchState state = readRelaunchState(defaultFileSystem(), stateFile);
    EXPECT_EQ(state.relaunched.size(), 32 + hung.size());  // (no ASSERT: the transport waits)
    const RelaunchRecord latest = state.relaunched.empty() ? RelaunchRecord{} : state.relaunched[0];
    EXPECT_EQ(latest.path, hung.back());
    EXPECT_EQ(latest.relaunches, 2 - relaunch % 2);
    EXPECT_EQ(state.waiting.size(), 37u);
    // The old process ends without another pass.
    setExitStatus(0);
    h.controller->setWantsToHaltProcess(true);
    h.transport.push(ScriptedTransport::transportError("the process ended"));
    h.transport.release();
    ASSERT_TRUE(h.pumpUntil([&] { return h.isIdle(); }));
    nextProcess(h);
  }

  // The fifth process: the waiting photos count from when the first process saw them, so
  // the agent is unhealthy before its first upload; the three others go first, then the
  // held-back photos, when nothing else waits.
  h.transport.hold();
  const std::size_t before = h.uploads().size();
  const std::size_t sent = h.transport.requests().size();
  h.controller->applicationOpenFile(h.source());
  ASSERT_TRUE(h.pumpUntil([&] { return h.transport.requests().size() > sent; }));
  const CycleStatus status = h.controller->cycleStatus();
  ASSERT_TRUE(status.oldestWaitingSeconds);
  EXPECT_GE(*status.oldestWaitingSeconds, 12);
  EXPECT_EQ(status.heldBack, 34);
  EXPECT_NE(h.controller->healthProblem(status).find("waited"), std::string::npos);
  h.transport.release();
  ASSERT_TRUE(h.pumpUntil([&] { return h.isIdle(); }));
  std::vector<std::string> order;
  for (std::size_t i = before; i < h.uploads().size(); ++i)
    order.push_back(uploadedFile(h.uploads()[i]));
  ASSERT_EQ(order.size(), 37u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(order[i].find("/Event/P") != std::string::npos && order[i] != hung[0] &&
                order[i] != hung[1])
        << order[i];
  EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), 37u);
  EXPECT_TRUE(fs::is_empty(h.source() + "/Event"));
  const std::string log = h.messageLog();
  EXPECT_NE(log.find("]: its upload made the agent relaunch 2 times"), std::string::npos) << log;
  // Uploaded: forgotten, and the file says so.
  EXPECT_TRUE(readRelaunchState(defaultFileSystem(), stateFile).relaunched.empty());
}

TEST(CarryOver, APhotoUploadedWhileItsFolderIsAwayIsOnlyMovedWhenItComesBack) {
  for (bool link : {false, true}) {
    SCOPED_TRACE(link ? "swapped for a link" : "renamed away");
    CycleHarness h;
    const std::string photo = h.source() + "/Event/IMG_1.jpg";
    ASSERT_TRUE(writeJpegWithMeta(photo, standardMetaData()));
    const std::string bytes = readFile(photo);
    const std::string away = h.dir.sub("Source.away");
    // While the photo uploads, its source folder goes away.
    h.transport.duringNextSend([&] {
      fs::rename(h.source(), away);
      if (link) {
        fs::create_directories(h.dir.sub("Other"));
        fs::create_directory_symlink(h.dir.sub("Other"), h.source());
      }
    });
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(h.transport.posts(), 1);
    EXPECT_FALSE(exists(h.mirror() + "/Event/IMG_1.jpg"));
    EXPECT_NE(h.messageLog().find("its path was gone"), std::string::npos);

    // Back: the same file is moved, not sent again.
    if (link) fs::remove(h.source());
    fs::rename(away, h.source());
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(h.transport.posts(), 1);
    EXPECT_EQ(readFile(h.mirror() + "/Event/IMG_1.jpg"), bytes);
    EXPECT_FALSE(exists(photo));
    EXPECT_EQ(h.controller->cycleStatus().uploadedSinceStart, 1);

    // A new photo at the same path is a new photo: it is sent.
    ASSERT_TRUE(writeJpegWithMeta(photo, standardMetaData(), "2024:06:01 10:20:30"));
    ASSERT_TRUE(h.runPass());
    EXPECT_EQ(h.transport.posts(), 2);
  }
}

}  // namespace
}  // namespace sorv::test
