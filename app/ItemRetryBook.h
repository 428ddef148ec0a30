// What the cycle remembers of items that failed: how often each failed in a row and until
// when it is passed over, so that one bad photo is paced and does not block the photos
// behind it; and the photos that were uploaded but could not be moved yet, so that a failed
// move never makes the agent send a photo twice. Kept in memory; thread safe.
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
  // Drops the entries whose path keep() refuses (files that are gone).
  template <class Keep>
  void prune(Keep keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();)
      it = keep(it->first) ? std::next(it) : entries_.erase(it);
  }
  bool empty() const;
  std::size_t size() const;

 private:
  struct Entry {
    int failures = 0;
    double notBefore = 0;  // held until this clock time; 0 when not held
    bool reported = false;
    bool uploaded = false;
    FileStamp stamp;
    std::vector<std::string> movies;
    std::string reason;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace sorv
