// The budget of SORV_MAX_UPLOAD_RATE: one token bucket of body bytes shared by every capped
// upload of the process (photos with their movies, hi-res orders). It fills at the cap's rate
// and holds at most one second of it, so the time between uploads counts toward the next one
// (many small photos drain at the cap) while a long upload, or several at once, keep to the
// rate.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

namespace sorv {

class UploadBucket {
 public:
  // How many seconds of the rate the bucket holds.
  static constexpr double kBurstSeconds = 1;

  // now: a monotonic clock in seconds. The bucket starts full.
  explicit UploadBucket(std::function<double()> now);

  // Takes up to `want` bytes at `rate` bytes per second (> 0) when at least `least` of them
  // (1 to want) are there, and gives how many it took. When fewer are there it takes none,
  // gives 0 and sets *wait to the seconds until `least` will be. The rate given last is the
  // one the bucket fills at; the one in force when an upload starts holds for that upload.
  std::uint64_t take(std::uint64_t rate, std::uint64_t want, std::uint64_t least, double* wait);
  // Puts back bytes taken but not sent.
  void giveBack(std::uint64_t bytes);

 private:
  void fill(double rate);

  std::function<double()> now_;
  std::mutex mutex_;
  bool started_ = false;
  double tokens_ = 0;
  double filledAt_ = 0;
  double rate_ = 0;
};

// The process's bucket, on the steady clock.
UploadBucket& sharedUploadBucket();

// The bytes a capped read may hand on now: blocks in steps of at most a tenth of a second until
// the bucket gives at least min(want, a tenth of a second of the rate), then gives what it
// took (at most want, at least 1). want > 0, rate > 0.
std::uint64_t takeUploadBytes(UploadBucket& bucket, std::uint64_t rate, std::uint64_t want);

}  // namespace sorv
