#include "app/CycleCounts.h"

#include <algorithm>
#include <ctime>

namespace sorv {

int CycleCounts::localDay(double wallNow) {
  std::time_t t = static_cast<std::time_t>(wallNow);
  std::tm local{};
  localtime_r(&t, &local);
  return (local.tm_year + 1900) * 1000 + local.tm_yday;
}

double CycleCounts::firstSeenOf(const Seen& seen, double now) const {
  if (!carrying_) return now;
  auto it = carried_.find(seen.item);
  FileStamp version = seen.stamp;
  version.ctimeNs = 0;
  if (it == carried_.end() || !(it->second.stamp == version)) return now;
  return std::min(now, it->second.firstSeenWall - wallLead_);
}

void CycleCounts::carryOver(std::vector<Carried> carried, double now, double wallNow) {
  MutexLock lock(&mutex_);
  carrying_ = true;
  wallLead_ = wallNow - now;
  carried_.clear();
  for (Carried& c : carried) {
    c.stamp.ctimeNs = 0;
    std::string item = c.item;
    carried_.emplace(std::move(item), std::move(c));
  }
}

std::vector<CycleCounts::Carried> CycleCounts::waitingSince(double now, double wallNow,
                                                            std::size_t max) const {
  MutexLock lock(&mutex_);
  // The oldest chosen by reference first: only those kept are copied.
  using Entry = std::pair<const std::string, Ready>;
  std::vector<const Entry*> order;
  order.reserve(ready_.size());
  for (const Entry& e : ready_) order.push_back(&e);
  auto older = [](const Entry* a, const Entry* b) {
    return a->second.firstSeen < b->second.firstSeen;
  };
  const std::size_t keep = std::min(max, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(),
                    older);
  std::vector<Carried> out;
  out.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) {
    FileStamp version = order[i]->second.stamp;
    version.ctimeNs = 0;
    out.push_back({order[i]->first, version, wallNow - (now - order[i]->second.firstSeen)});
  }
  return out;
}

double CycleCounts::oldest() const {
  if (atOldest_ == 0 && !ready_.empty()) {
    oldest_ = ready_.begin()->second.firstSeen;
    for (const auto& [item, r] : ready_) {
      if (r.firstSeen < oldest_) {
        oldest_ = r.firstSeen;
        atOldest_ = 0;
      }
      atOldest_ += r.firstSeen == oldest_;
    }
  }
  return oldest_;
}

void CycleCounts::put(const Seen& seen, double now) {
  auto [it, added] = ready_.try_emplace(seen.item);
  Ready& r = it->second;
  if (added) {
    r.firstSeen = firstSeenOf(seen, now);
    // A stale oldest (none counted at it) is found again when asked for.
    if (atOldest_ > 0 && r.firstSeen <= oldest_) {
      if (r.firstSeen < oldest_) atOldest_ = 0;
      oldest_ = r.firstSeen;
      ++atOldest_;
    }
  } else if (r.held) {
    --held_;
  }
  r.stamp = seen.stamp;
  r.held = seen.held;
  r.walk = walk_;
  if (r.held) ++held_;
}

void CycleCounts::erase(const std::string& item) {
  auto it = ready_.find(item);
  if (it != ready_.end()) erase(it);
}

std::unordered_map<std::string, CycleCounts::Ready>::iterator CycleCounts::erase(
    std::unordered_map<std::string, Ready>::iterator it) {
  if (it->second.held) --held_;
  if (atOldest_ > 0 && it->second.firstSeen == oldest_) --atOldest_;
  return ready_.erase(it);
}

void CycleCounts::noteWalk(const std::vector<Seen>& ready, const std::vector<std::string>& notReady,
                           double now) {
  MutexLock lock(&mutex_);
  for (const Seen& seen : ready) put(seen, now);
  for (const std::string& item : notReady) erase(item);
}

void CycleCounts::replaceReady(const std::vector<Seen>& ready, double now) {
  MutexLock lock(&mutex_);
  replace(ready, now);
}

bool CycleCounts::replaceReadyUnlessLeft(const std::vector<Seen>& ready, double now,
                                         std::uint64_t departures) {
  MutexLock lock(&mutex_);
  if (departures != departures_) return false;
  replace(ready, now);
  return true;
}

std::uint64_t CycleCounts::departures() const {
  MutexLock lock(&mutex_);
  return departures_;
}

void CycleCounts::replace(const std::vector<Seen>& ready, double now) {
  // In place: a photo found again keeps the time it was first seen for as long as it waits,
  // and no second table of the whole backlog is built meanwhile.
  for (const Seen& seen : ready) put(seen, now);
  for (auto it = ready_.begin(); it != ready_.end();)
    it = it->second.walk == walk_ ? std::next(it) : erase(it);
  carrying_ = false;
  carried_.clear();
}

void CycleCounts::beginWalk() {
  MutexLock lock(&mutex_);
  ++walk_;
}

bool CycleCounts::knownReady(const std::string& item, const FileStamp& stamp) {
  MutexLock lock(&mutex_);
  auto it = ready_.find(item);
  if (it == ready_.end() || it->second.held || !(it->second.stamp == stamp)) return false;
  it->second.walk = walk_;
  return true;
}

void CycleCounts::forget(const std::string& item) {
  MutexLock lock(&mutex_);
  ++departures_;
  erase(item);
}

void CycleCounts::setCurrentItem(const std::string& item) {
  MutexLock lock(&mutex_);
  figures_.currentItem = item;
}

void CycleCounts::recordSuccess(const std::string& item, std::uint64_t bytes, double wallNow) {
  const int day = localDay(wallNow);
  MutexLock lock(&mutex_);
  if (day != today_) {
    today_ = day;
    figures_.uploadedToday = 0;
  }
  ++figures_.uploadedToday;
  ++figures_.uploadedSinceStart;
  ++figures_.outcomesOk;
  figures_.bytesUploaded += bytes;
  figures_.lastSuccessTime = wallNow;
  figures_.lastSuccessItem = item;
}

void CycleCounts::recordFailure(const std::string& item, const std::string& reason,
                                bool toProblemFolder, double wallNow) {
  MutexLock lock(&mutex_);
  ++(toProblemFolder ? figures_.outcomesProblem : figures_.outcomesRetry);
  figures_.lastFailureTime = wallNow;
  figures_.lastFailureItem = item;
  figures_.lastFailureReason = reason;
}

void CycleCounts::setProblemFolder(std::int64_t photos) {
  MutexLock lock(&mutex_);
  figures_.problemFolder = photos;
}

CycleStatus CycleCounts::snapshot(double now, double wallNow) const {
  const int day = localDay(wallNow);
  MutexLock lock(&mutex_);
  CycleStatus status = figures_;
  if (day != today_) status.uploadedToday = 0;
  status.waiting = static_cast<std::int64_t>(ready_.size());
  status.heldBack = held_;
  if (!ready_.empty()) status.oldestWaitingSeconds = now - oldest();
  return status;
}

}  // namespace sorv
