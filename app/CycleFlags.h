// The cycle's process-wide flags, shared by the controller's source files. Atomic so that
// the unlocked reads the cycle relies on are well defined; writes go through the setters.
#pragma once

#include <atomic>
#include <cstdint>

namespace sorv::cycle {

extern std::atomic<std::int64_t> gNeedsToRescan;
extern std::atomic<bool> gIsScanning;
extern std::atomic<bool> gStartedUploadProcess;
extern std::atomic<bool> gWantsToHaltProcess;
extern std::atomic<bool> gDidHaltProcess;
extern std::atomic<bool> gInsideOpenFile;
extern std::atomic<bool> gIsInWatchFolderInstaller;
extern std::atomic<bool> gRunningQueryAndUploadHiResThread;
// Which client-name rule the last fuse action called for; kept across scans.
extern std::atomic<bool> doArdent;

}  // namespace sorv::cycle
