#include "files/ItemCache.h"

namespace sorv {

ItemCacheStore::ItemCacheStore(std::size_t capacity, FileSystem* fs)
    : capacity_(capacity == 0 ? 1 : capacity), fs_(fs) {}

std::any ItemCacheStore::getOrCompute(const std::string& path,
                                      const std::function<std::any()>& compute) {
  FileInfo before;
  bool known = fs().stat(path, &before) == 0;
  return lookUpOrCompute(path, known, FileStamp::of(before), compute);
}

std::any ItemCacheStore::getOrCompute(const std::string& path, const FileInfo& current,
                                      const std::function<std::any()>& compute) {
  if (current.type != FileType::Regular) return getOrCompute(path, compute);
  return lookUpOrCompute(path, true, FileStamp::of(current), compute);
}

std::any ItemCacheStore::lookUpOrCompute(const std::string& path, bool known,
                                         const FileStamp& stamp,
                                         const std::function<std::any()>& compute) {
  if (known) {
    MutexLock lock(&mutex_);
    auto it = entries_.find(path);
    if (it != entries_.end() && it->second.stamp == stamp) {
      ++hits_;
      ages_.splice(ages_.end(), ages_, it->second.age);
      return it->second.value;
    }
  }
  {
    MutexLock lock(&mutex_);
    ++misses_;
  }
  std::any value = compute();
  FileInfo after;
  if (known && fs().stat(path, &after) == 0 && FileStamp::of(after) == stamp) {
    MutexLock lock(&mutex_);
    storeLocked(path, stamp, value);
  } else {
    erase(path);
  }
  return value;
}

void ItemCacheStore::storeLocked(const std::string& path, const FileStamp& stamp, std::any value) {
  auto it = entries_.find(path);
  if (it != entries_.end()) {
    it->second.stamp = stamp;
    it->second.value = std::move(value);
    it->second.seenIn = sweep_;
    ages_.splice(ages_.end(), ages_, it->second.age);
    return;
  }
  while (entries_.size() >= capacity_ && !ages_.empty()) {
    entries_.erase(ages_.front());
    ages_.pop_front();
  }
  ages_.push_back(path);
  entries_.emplace(path, Entry{stamp, std::move(value), std::prev(ages_.end()), sweep_});
}

void ItemCacheStore::erase(const std::string& path) {
  MutexLock lock(&mutex_);
  auto it = entries_.find(path);
  if (it == entries_.end()) return;
  ages_.erase(it->second.age);
  entries_.erase(it);
}

void ItemCacheStore::markSeen(const std::string& path) {
  MutexLock lock(&mutex_);
  auto it = entries_.find(path);
  if (it != entries_.end()) it->second.seenIn = sweep_;
}

std::size_t ItemCacheStore::dropUnseen() {
  MutexLock lock(&mutex_);
  std::size_t dropped = 0;
  for (auto it = ages_.begin(); it != ages_.end();) {
    auto entry = entries_.find(*it);
    if (entry->second.seenIn == sweep_) {
      ++it;
      continue;
    }
    entries_.erase(entry);
    it = ages_.erase(it);
    ++dropped;
  }
  ++sweep_;
  return dropped;
}

void ItemCacheStore::clear() {
  MutexLock lock(&mutex_);
  entries_.clear();
  ages_.clear();
}

std::size_t ItemCacheStore::size() const {
  MutexLock lock(&mutex_);
  return entries_.size();
}

std::uint64_t ItemCacheStore::hits() const {
  MutexLock lock(&mutex_);
  return hits_;
}

std::uint64_t ItemCacheStore::misses() const {
  MutexLock lock(&mutex_);
  return misses_;
}

}  // namespace sorv
