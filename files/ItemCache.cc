#include "files/ItemCache.h"

namespace sorv {

ItemCacheStore::ItemCacheStore(std::size_t capacity, FileSystem* fs)
    : capacity_(capacity == 0 ? 1 : capacity), fs_(fs) {}

std::any ItemCacheStore::getOrCompute(const std::string& path,
                                      const std::function<std::any()>& compute) {
  return getOrAdd(path, nullptr, nullptr, [&](const std::any*) { return compute(); });
}

std::any ItemCacheStore::getOrCompute(const std::string& path, const FileInfo& current,
                                      const std::function<std::any()>& compute) {
  return getOrAdd(path, &current, nullptr, [&](const std::any*) { return compute(); });
}

std::any ItemCacheStore::getOrAdd(const std::string& path, const FileInfo* current,
                                  const std::function<bool(const std::any&)>& serves,
                                  const std::function<std::any(const std::any*)>& compute) {
  if (current && current->type == FileType::Regular)
    return lookUpOrCompute(path, true, FileStamp::of(*current), serves, compute);
  FileInfo before;
  bool known = fs().stat(path, &before) == 0;
  return lookUpOrCompute(path, known, FileStamp::of(before), serves, compute);
}

std::any ItemCacheStore::lookUpOrCompute(const std::string& path, bool known,
                                         const FileStamp& stamp,
                                         const std::function<bool(const std::any&)>& serves,
                                         const std::function<std::any(const std::any*)>& compute) {
  std::optional<std::any> stored;
  {
    MutexLock lock(&mutex_);
    auto it = known ? entries_.find(path) : entries_.end();
    if (it != entries_.end() && it->second.stamp == stamp) {
      if (!serves || serves(it->second.value)) {
        ++hits_;
        makeNewestLocked(&*it);
        return it->second.value;
      }
      stored = it->second.value;
    }
    ++misses_;
  }
  std::any value = compute(stored ? &*stored : nullptr);
  FileInfo after;
  if (known && fs().stat(path, &after) == 0 && FileStamp::of(after) == stamp) {
    MutexLock lock(&mutex_);
    storeLocked(path, stamp, value);
  } else {
    erase(path);
  }
  return value;
}

void ItemCacheStore::unlinkLocked(Node* node) {
  Entry& e = node->second;
  (e.older ? e.older->second.newer : oldest_) = e.newer;
  (e.newer ? e.newer->second.older : newest_) = e.older;
  e.older = e.newer = nullptr;
}

void ItemCacheStore::makeNewestLocked(Node* node) {
  if (newest_ == node) return;
  if (node->second.older || node->second.newer || oldest_ == node) unlinkLocked(node);
  node->second.older = newest_;
  (newest_ ? newest_->second.newer : oldest_) = node;
  newest_ = node;
}

void ItemCacheStore::eraseLocked(Node* node) {
  unlinkLocked(node);
  entries_.erase(node->first);
}

void ItemCacheStore::storeLocked(const std::string& path, const FileStamp& stamp, std::any value) {
  auto it = entries_.find(path);
  if (it != entries_.end()) {
    it->second.stamp = stamp;
    it->second.value = std::move(value);
    it->second.seenIn = sweep_;
    makeNewestLocked(&*it);
    return;
  }
  while (entries_.size() >= capacity_ && oldest_) eraseLocked(oldest_);
  auto added = entries_.emplace(path, Entry{stamp, std::move(value), nullptr, nullptr, sweep_});
  makeNewestLocked(&*added.first);
}

void ItemCacheStore::erase(const std::string& path) {
  MutexLock lock(&mutex_);
  auto it = entries_.find(path);
  if (it != entries_.end()) eraseLocked(&*it);
}

void ItemCacheStore::markSeen(const std::string& path) {
  MutexLock lock(&mutex_);
  auto it = entries_.find(path);
  if (it != entries_.end()) it->second.seenIn = sweep_;
}

std::size_t ItemCacheStore::dropUnseen() {
  MutexLock lock(&mutex_);
  std::size_t dropped = 0;
  for (Node* node = oldest_; node;) {
    Node* next = node->second.newer;
    if (node->second.seenIn != sweep_) {
      eraseLocked(node);
      ++dropped;
    }
    node = next;
  }
  ++sweep_;
  return dropped;
}

void ItemCacheStore::clear() {
  MutexLock lock(&mutex_);
  entries_.clear();
  oldest_ = newest_ = nullptr;
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
