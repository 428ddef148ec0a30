#include "platform/http/UploadBucket.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace sorv {

UploadBucket::UploadBucket(std::function<double()> now) : now_(std::move(now)) {}

void UploadBucket::fill(double rate) {
  const double now = now_();
  const double capacity = rate * kBurstSeconds;
  if (!started_) {
    started_ = true;
    tokens_ = capacity;
  } else if (now > filledAt_) {
    // The time since the last fill counts at the rate that was in force.
    tokens_ += (now - filledAt_) * rate_;
  }
  tokens_ = std::min(tokens_, capacity);
  filledAt_ = std::max(filledAt_, now);
  rate_ = rate;
}

std::uint64_t UploadBucket::take(std::uint64_t rate, std::uint64_t want, std::uint64_t least,
                                 double* wait) {
  std::lock_guard<std::mutex> lock(mutex_);
  const double r = static_cast<double>(std::max<std::uint64_t>(rate, 1));
  fill(r);
  // Never more than the bucket can hold, so the wait always ends.
  const double needed =
      std::clamp(static_cast<double>(least), 1.0, std::max(1.0, r * kBurstSeconds));
  // A thousandth of a byte is slack for the rounding of the clock's seconds.
  constexpr double kSlack = 1e-3;
  if (tokens_ + kSlack < needed) {
    *wait = (needed - tokens_) / r;
    return 0;
  }
  const auto taken =
      static_cast<std::uint64_t>(std::min(tokens_ + kSlack, static_cast<double>(want)));
  tokens_ = std::max(0.0, tokens_ - static_cast<double>(taken));
  *wait = 0;
  return taken;
}

void UploadBucket::giveBack(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  tokens_ = std::min(tokens_ + static_cast<double>(bytes), rate_ * kBurstSeconds);
}

UploadBucket& sharedUploadBucket() {
  static UploadBucket* bucket = new UploadBucket([] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  });
  return *bucket;
}

std::uint64_t takeUploadBytes(UploadBucket& bucket, std::uint64_t rate, std::uint64_t want) {
  // Pieces of at most a tenth of a second keep the bytes moving for the stall watch and the
  // venue's uplink free of long bursts once the bucket is empty.
  const std::uint64_t least = std::min(want, std::max<std::uint64_t>(1, rate / 10));
  for (;;) {
    double wait = 0;
    if (std::uint64_t taken = bucket.take(rate, want, least, &wait)) return taken;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::clamp(wait, 0.001, 0.1)));
  }
}

}  // namespace sorv
