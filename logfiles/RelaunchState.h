// "relaunches.plist" in the log folder: what one agent process leaves for the next across a
// relaunch, a restart or a quit. The photos whose uploads made the agent relaunch (so that
// a photo that always hangs is held back instead of relaunching the agent for ever), and when
// the photos still waiting were first seen (so that their age goes on across processes). Each
// photo is named by its path and its version (device, inode, size, modification time).
// Bounded; written atomically; a damaged, foreign or oversized file reads as empty.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "files/ItemCache.h"
#include "platform/fs/FileSystem.h"

namespace sorv {

inline constexpr const char* kRelaunchStateName = "relaunches.plist";

struct RelaunchRecord {
  std::string path;         // the photo's full path
  FileStamp stamp;          // its version; the status-change time is not kept (0)
  int relaunches = 0;       // relaunches its upload has caused so far
  double lastRelaunch = 0;  // wall-clock seconds since 1970 of the latest
  bool operator==(const RelaunchRecord&) const = default;
};

struct FirstSeenRecord {
  std::string path;      // the photo's full path
  FileStamp stamp;       // its version; the status-change time is not kept (0)
  double firstSeen = 0;  // wall-clock seconds since 1970
  bool operator==(const FirstSeenRecord&) const = default;
};

struct RelaunchState {
  std::vector<RelaunchRecord> relaunched;
  std::vector<FirstSeenRecord> waiting;
  bool empty() const { return relaunched.empty() && waiting.empty(); }
  bool operator==(const RelaunchState&) const = default;
};

// Bounds of what is written and read: records beyond them, and paths longer, are left out.
// The relaunch records are bounded by the file's size rather than their count: some two
// thousand photos of ordinary paths, so that a photo still held back is not left out while it
// waits. Readers that take fewer records read the first ones, and the file never grows past
// the size they take.
inline constexpr std::size_t kMaxRelaunchRecords = 4096;
inline constexpr std::size_t kMaxFirstSeenRecords = 256;
inline constexpr std::size_t kMaxRelaunchPathBytes = 1024;
inline constexpr std::size_t kMaxRelaunchStateBytes = 1024 * 1024;
inline constexpr int kMaxRecordedRelaunches = 1000;

// The state as an XML property list, within the bounds above. When the records would make the
// file larger than kMaxRelaunchStateBytes, the waiting photos' times give way first, then the
// relaunch records from the end of the list: put the ones to keep first.
std::string encodeRelaunchState(const RelaunchState& state);
// The records of a property list made by encodeRelaunchState; anything else gives what can be
// taken from it (records of the wrong shape are skipped), at most the bounds above.
RelaunchState decodeRelaunchState(std::string_view bytes);

// Reads the file: a missing, unreadable, special or oversized file gives an empty state.
RelaunchState readRelaunchState(FileSystem& fs, const std::string& file);
// Replaces the file with the state, synced, through a temporary file; an empty state removes
// it. Gives 0 or an errno value.
int writeRelaunchState(FileSystem& fs, const std::string& file, const RelaunchState& state);

}  // namespace sorv
