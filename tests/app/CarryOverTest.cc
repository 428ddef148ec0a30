// What the cycle carries across a relaunch and across a folder that goes away: a photo whose
// upload made the agent relaunch twice waits behind the others in the next process, the
// waiting photos keep their age, and a photo uploaded while its folder was away is only moved
// when it comes back. Driven with the fake clock and the scripted transport; a "next process"
// is a new controller on the same folders and log folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>

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

TEST(CarryOver, APhotoThatHangsTwiceWaitsBehindTheOthersAndKeepsItsAge) {
  ScopedVariable manager("SORV_SERVICE_MANAGER", "test");
  ScopedVariable health("SORV_HEALTH_MINUTES", "0.1");  // 6 s
  CycleHarness h;
  h.setPref(sPrefUploadTimeOut, 5);
  for (const char* name : {"P1", "P2", "P3", "P4", "P5"})
    ASSERT_TRUE(writeJpegWithMeta(h.source() + "/Event/" + name + ".jpg", standardMetaData()));
  const std::string stateFile = appendingPathComponent(logFolderPath(), kRelaunchStateName);
  RelaunchState held;  // 32 photos held back a minute ago (the fake wall clock is at 1.8e9)
  for (int i = 0; i < 32; ++i) {
    const std::string p = h.source() + "/Event/H" + std::to_string(i) + ".jpg";
    FileInfo f;
    ASSERT_TRUE(writeJpegWithMeta(p, standardMetaData()) && !defaultFileSystem().lstat(p, &f));
    held.relaunched.push_back({p, {f.inode, f.device, f.size, f.mtimeNs, 0}, 2, 1.8e9 - 60});
  }
  ASSERT_EQ(writeRelaunchState(defaultFileSystem(), stateFile, held), 0);
  nextProcess(h);  // a controller made after the harness's health setting

  // Twice each, the first photo of the walk takes its POST and nothing moves: the watchdog
  // relaunches, and the relaunch is remembered in the log folder.
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
    h.fake.clock.advance(6);
    ASSERT_TRUE(h.pumpUntil([&] { return exitStatus() == kRelaunchExitStatus; }));
    RelaunchState state = readRelaunchState(defaultFileSystem(), stateFile);
    EXPECT_EQ(state.relaunched.size(), 32 + hung.size());  // EXPECT: the transport waits
    EXPECT_EQ(state.relaunched[0].path, hung.back());
    EXPECT_EQ(state.relaunched[0].relaunches, 2 - relaunch % 2);
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
  // held-back photo, when nothing else waits.
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
  for (int i = 0; i < 3; ++i) EXPECT_EQ(order[i].find("/Event/H"), std::string::npos) << i;
  for (const auto& p : hung) EXPECT_EQ(std::count(order.begin() + 3, order.end(), p), 1) << p;
  for (const char* name : {"P1", "P2", "P3", "P4"})
    EXPECT_TRUE(exists(h.mirror() + "/Event/" + name + ".jpg")) << name;
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
