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

bool ItemRetryBook::keepForReturn(const std::string& path, double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto kept = entries_.find(path);
  if (kept == entries_.end() || !kept->second.uploaded) return false;
  if (kept->second.goneSince <= 0) kept->second.goneSince = now > 0 ? now : 1e-9;
  std::size_t gone = 0;
  auto oldest = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->second.goneSince <= 0) continue;
    ++gone;
    if (oldest == entries_.end() || it->second.goneSince < oldest->second.goneSince) oldest = it;
  }
  if (gone > kMaxAwaitingReturn) entries_.erase(oldest);
  return true;
}

double ItemRetryBook::relaunchPace(int relaunches) {
  if (relaunches <= kHoldAfterRelaunches) return 0;
  return std::min(900.0, 30 * std::ldexp(1.0, std::min(relaunches - kHoldAfterRelaunches - 1, 30)));
}

double ItemRetryBook::relaunchPatience(int relaunches) {
  if (relaunches < kHoldAfterRelaunches) return 0;
  return std::min(4 * 3600.0,
                  1800 * std::ldexp(1.0, std::min(relaunches - kHoldAfterRelaunches, 30)));
}

void ItemRetryBook::recordRelaunches(const std::string& path, const FileStamp& stamp,
                                     int relaunches, double last, double lastWall) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_[path];
  e.relaunches = relaunches;
  e.stamp = stamp;
  e.lastRelaunchWall = lastWall;
  e.reported = false;
  if (relaunches >= kHoldAfterRelaunches) {
    e.waitTurnUntil = last + relaunchPatience(relaunches);
    e.notBefore = std::max(e.notBefore, last + relaunchPace(relaunches));
  }
}

int ItemRetryBook::noteRelaunch(const std::string& path, const FileStamp& stamp, double now,
                                double wallNow) {
  int relaunches;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(path);
    relaunches = it != entries_.end() && it->second.stamp == stamp ? it->second.relaunches : 0;
  }
  recordRelaunches(path, stamp, relaunches + 1, now, wallNow);
  return relaunches + 1;
}

int ItemRetryBook::relaunches(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  return it == entries_.end() ? 0 : it->second.relaunches;
}

bool ItemRetryBook::goesWhenAlone(const std::string& path, double now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  return it != entries_.end() && it->second.waitTurnUntil > now && it->second.notBefore <= now;
}

std::vector<ItemRetryBook::Relaunched> ItemRetryBook::relaunchedItems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Relaunched> items;
  for (const auto& [path, e] : entries_)
    if (e.relaunches > 0) items.push_back({path, e.stamp, e.relaunches, e.lastRelaunchWall});
  return items;
}

bool ItemRetryBook::isHeld(const std::string& path, double now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(path);
  return it != entries_.end() && (it->second.notBefore > now || it->second.waitTurnUntil > now);
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
