// The figures behind CycleStatus, kept as the cycle goes: the photos the scan's walk found
// ready (with when each was first seen), the outcomes, and the problem folder's count. The
// walk reports what it judged; the outcome handlers report what they did. Thread safe; every
// call is cheap (no file-system access).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/CycleStatus.h"
#include "files/ItemCache.h"
#include "platform/Mutex.h"

namespace sorv {

class CycleCounts {
 public:
  // One photo a walk judged: the version it saw, and whether the retry book holds it.
  struct Seen {
    std::string item;  // relative to the source folder
    FileStamp stamp;
    bool held = false;
  };

  // A walk's verdicts on some photos: `ready` are waiting, `notReady` are not (any more).
  // now: the clock's monotonic seconds.
  void noteWalk(const std::vector<Seen>& ready, const std::vector<std::string>& notReady,
                double now) EXCLUDES(mutex_);
  // A walk begins: one that ends in replaceReady*() counts the photos knownReady() found as
  // well as `ready`. Walks take turns.
  void beginWalk() EXCLUDES(mutex_);
  // A walk that judged the whole tree: exactly `ready`, and those it found with knownReady(),
  // are waiting now.
  void replaceReady(const std::vector<Seen>& ready, double now) EXCLUDES(mutex_);
  // The same for a walk that ran beside the uploads, which began when departures() gave
  // `departures`: false, and nothing changed, when a photo has left since (the walk may have
  // seen it).
  bool replaceReadyUnlessLeft(const std::vector<Seen>& ready, double now, std::uint64_t departures)
      EXCLUDES(mutex_);
  // How many times forget() was called.
  std::uint64_t departures() const EXCLUDES(mutex_);
  // Whether item, as `stamp`, was found ready before and is not held: the walk under way counts
  // it without judging it again, and without listing it in its `ready`.
  bool knownReady(const std::string& item, const FileStamp& stamp) EXCLUDES(mutex_);
  // The item left the source folder (uploaded and moved, or moved to the problem folder).
  void forget(const std::string& item) EXCLUDES(mutex_);

  // A photo an earlier process saw waiting: the version it saw (status-change time left out)
  // and when it first saw it, in wall-clock seconds.
  struct Carried {
    std::string item;
    FileStamp stamp;
    double firstSeenWall = 0;
  };
  // Until the next walk of the whole tree, a photo found ready for the first time counts as
  // waiting since an earlier process first saw it, when `carried` holds the same version
  // (never since later than now); other photos, and all after that walk, count from now.
  void carryOver(std::vector<Carried> carried, double now, double wallNow) EXCLUDES(mutex_);
  // The waiting photos, oldest first, at most `max`, with when each was first seen.
  std::vector<Carried> waitingSince(double now, double wallNow, std::size_t max) const
      EXCLUDES(mutex_);

  void setCurrentItem(const std::string& item) EXCLUDES(mutex_);
  // wallNow: seconds since the epoch (the clock's wall time).
  void recordSuccess(const std::string& item, std::uint64_t bytes, double wallNow) EXCLUDES(mutex_);
  void recordFailure(const std::string& item, const std::string& reason, bool toProblemFolder,
                     double wallNow) EXCLUDES(mutex_);
  void setProblemFolder(std::int64_t photos) EXCLUDES(mutex_);

  // Everything but the state; "uploaded today" is 0 once wallNow is on a later local day.
  CycleStatus snapshot(double now, double wallNow) const EXCLUDES(mutex_);

  // The local calendar day of wallNow, as a number that grows by day (year * 1000 + day).
  static int localDay(double wallNow);

 private:
  struct Ready {
    FileStamp stamp;
    double firstSeen = 0;
    bool held = false;
    std::uint32_t walk = 0;  // the last walk that found it
  };
  void put(const Seen& seen, double now) REQUIRES(mutex_);
  // The earliest firstSeen of ready_, found again only once the last photo that had it left.
  double oldest() const REQUIRES(mutex_);
  // When a photo found ready for the first time at `now` was first seen.
  double firstSeenOf(const Seen& seen, double now) const REQUIRES(mutex_);
  void erase(const std::string& item) REQUIRES(mutex_);
  std::unordered_map<std::string, Ready>::iterator erase(
      std::unordered_map<std::string, Ready>::iterator it) REQUIRES(mutex_);
  void replace(const std::vector<Seen>& ready, double now) REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::unordered_map<std::string, Ready> ready_ GUARDED_BY(mutex_);
  mutable double oldest_ GUARDED_BY(mutex_) = 0;
  mutable std::size_t atOldest_ GUARDED_BY(mutex_) = 0;  // photos of ready_ first seen at oldest_
  std::uint32_t walk_ GUARDED_BY(mutex_) = 0;
  std::int64_t held_ GUARDED_BY(mutex_) = 0;
  std::uint64_t departures_ GUARDED_BY(mutex_) = 0;
  CycleStatus figures_ GUARDED_BY(mutex_);
  int today_ GUARDED_BY(mutex_) = -1;
  // carryOver() until the next whole-tree walk: the earlier processes' photos, and the wall
  // clock's lead on the monotonic one when it was called.
  bool carrying_ GUARDED_BY(mutex_) = false;
  std::unordered_map<std::string, Carried> carried_ GUARDED_BY(mutex_);
  double wallLead_ GUARDED_BY(mutex_) = 0;
};

}  // namespace sorv
