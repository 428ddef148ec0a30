// What the cycle remembers of items that failed: how often each failed in a row and until
// when it is passed over, so that one bad photo is paced and does not block the photos
// behind it; the photos whose uploads made the agent relaunch (carried over from the process
// before), which wait their turn behind the others; and the photos that were uploaded but
// could not be moved yet, so that a failed move never makes the agent send a photo twice.
// Kept in memory; thread safe.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/ItemCache.h"

namespace sorv {

class ItemRetryBook {
 public:
  static constexpr double kFirstWait = 1;  // seconds after the first failure
  static constexpr double kMaxWait = 300;  // the wait doubles up to this
  static constexpr int kHoldAfter = 3;     // failures in a row before the item is passed over
  static constexpr int kMoveTries = 3;     // mirror moves before the problem folder
  // Relaunches an item may cause before it waits its turn behind the other photos.
  static constexpr int kHoldAfterRelaunches = 2;
  // Uploaded items whose path was gone when they were to be moved, kept for their return.
  static constexpr std::size_t kMaxAwaitingReturn = 1000;

  // The wait after the n-th failure in a row (1 s, 2 s, 4 s, ... up to kMaxWait).
  static double waitAfter(int failures);

  // A failed upload that left the item (full path) in place. Gives the number of failures
  // in a row; from kHoldAfter on the item is held for the wait of that failure.
  int recordUploadFailure(const std::string& path, double now, const std::string& reason);

  // The item was uploaded; until forget(), a file with the same stamp at path is not sent
  // again. movies: the relative paths of the movies that go with it.
  void recordUploaded(const std::string& path, const FileStamp& stamp,
                      std::vector<std::string> movies);
  // A move of an uploaded item failed: holds it for the growing wait; gives the moves tried.
  int recordMoveFailure(const std::string& path, double now, const std::string& reason);
  // The uploaded item's path was gone when it was to be moved (its folder renamed away or
  // swapped for a link): it stays remembered, whatever prune() sees, so that the same file
  // coming back is only moved. At most kMaxAwaitingReturn such items, the oldest go first.
  // False when path was not recorded as uploaded.
  bool keepForReturn(const std::string& path, double now);

  // The item (as `stamp`, its status-change time left out) was in flight when the agent
  // relaunched for the `relaunches`-th time, at monotonic time `last` (wall time lastWall).
  // From kHoldAfterRelaunches on, the scan passes over it while other photos are ready,
  // for relaunchPatience(relaunches); alone it goes once relaunchPace(relaunches) is over.
  void recordRelaunches(const std::string& path, const FileStamp& stamp, int relaunches,
                        double last, double lastWall);
  // One more relaunch with the item in flight; gives its relaunches so far (a changed file
  // starts again at one).
  int noteRelaunch(const std::string& path, const FileStamp& stamp, double now, double wallNow);
  int relaunches(const std::string& path) const;
  // Whether only the other photos hold the item back at time now: it may go when no other
  // photo is ready.
  bool goesWhenAlone(const std::string& path, double now) const;
  struct Relaunched {
    std::string path;
    FileStamp stamp;
    int relaunches = 0;
    double lastWall = 0;
  };
  // The items that have made the agent relaunch, for the next process.
  std::vector<Relaunched> relaunchedItems() const;
  // The wait, after the latest relaunch, before an item held back by its relaunches is tried
  // again when it is the only photo ready: none after the second, then 30 s doubling up to
  // 15 minutes, so that a photo that always hangs does not relaunch the agent back to back.
  static double relaunchPace(int relaunches);
  // How long other photos go first: 30 minutes after the latest relaunch, doubling up to 4
  // hours; then it takes its place in the walk again.
  static double relaunchPatience(int relaunches);

  // Whether the scan passes over path at time now.
  bool isHeld(const std::string& path, double now) const;
  // The movies of an uploaded item with this stamp whose move is still due, or nullopt when
  // path is not such an item (a changed file at the same path is a new photo).
  std::optional<std::vector<std::string>> pendingMove(const std::string& path,
                                                      const FileStamp& stamp) const;
  int failures(const std::string& path) const;
  std::string reason(const std::string& path) const;
  // True once per hold of path: whether its hold has not been reported yet.
  bool takeHoldReport(const std::string& path);
  // The earliest end of a hold after now, or nullopt when nothing is held.
  std::optional<double> earliestHoldEnd(double now) const;

  void forget(const std::string& path);
  // Drops the entries whose path keep() refuses (files that are gone), but not the uploaded
  // items waiting for their path to come back.
  template <class Keep>
  void prune(Keep keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();)
      it = it->second.goneSince > 0 || keep(it->first) ? std::next(it) : entries_.erase(it);
  }
  bool empty() const;
  std::size_t size() const;

 private:
  struct Entry {
    int failures = 0;
    double notBefore = 0;  // held until this clock time; 0 when not held
    bool reported = false;
    bool uploaded = false;
    double goneSince = 0;  // uploaded, and its path was gone at its move since this time
    int relaunches = 0;
    double waitTurnUntil = 0;  // passed over while other photos are ready, until this time
    double lastRelaunchWall = 0;
    FileStamp stamp;
    std::vector<std::string> movies;
    std::string reason;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace sorv
