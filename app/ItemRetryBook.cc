#include "app/ItemRetryBook.h"

#include <algorithm>
#include <cmath>

namespace sorv {

double ItemRetryBook::waitAfter(int failures) {
  if (failures < 1) return 0;
  return std::min(kMaxWait, kFirstWait * std::ldexp(1.0, std::min(failures - 1, 30)));
}

int ItemRetryBook::recordUploadFailure(const std::string& path, double now,
                                       const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_[path];
  ++e.failures;
  e.reason = reason;
  if (e.failures >= kHoldAfter) {
    e.notBefore = now + waitAfter(e.failures);
  }
  return e.failures;
}

void ItemRetryBook::recordUploaded(const std::string& path, const FileStamp& stamp,
                                   std::vector<std::string> movies) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry e;
  e.uploaded = true;
  e.stamp = stamp;
  e.movies = std::move(movies);
  entries_[path] = std::move(e);
}

int ItemRetryBook::recordMoveFailure(const std::string& path, double now,
                                     const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_[path];
  ++e.failures;
  e.reason = reason;
  e.notBefore = now + waitAfter(e.failures);
  return e.failures;
}

bool ItemRetryBook::isHeld(const std::string& path, double now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  return it != entries_.end() && it->second.notBefore > now;
}

std::optional<std::vector<std::string>> ItemRetryBook::pendingMove(const std::string& path,
                                                                   const FileStamp& stamp) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  if (it == entries_.end() || !it->second.uploaded || !(it->second.stamp == stamp))
    return std::nullopt;
  return it->second.movies;
}

int ItemRetryBook::failures(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  return it == entries_.end() ? 0 : it->second.failures;
}

std::string ItemRetryBook::reason(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  return it == entries_.end() ? std::string() : it->second.reason;
}

bool ItemRetryBook::takeHoldReport(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  if (it == entries_.end() || it->second.reported) return false;
  it->second.reported = true;
  return true;
}

std::optional<double> ItemRetryBook::earliestHoldEnd(double now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<double> earliest;
  for (const auto& [path, e] : entries_) {
    if (e.notBefore > now && (!earliest || e.notBefore < *earliest)) earliest = e.notBefore;
  }
  return earliest;
}

void ItemRetryBook::forget(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(path);
}

bool ItemRetryBook::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.empty();
}

std::size_t ItemRetryBook::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace sorv
