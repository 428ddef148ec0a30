// Per-file results (a file's metadata, whether it decodes as an image) kept between scans, so
// that an unchanged file is not read twice. An entry holds while the file's inode, device,
// size, modification and status-change times stay the same; a changed or replaced file is
// read again. The cache holds what the folder holds: the owner forgets a file once it has
// left, and a walk that saw the whole folder drops the files it did not see (markSeen, then
// dropUnseen). Bounded besides: beyond its capacity the least recently used entries go. Thread
// safe.
#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/Mutex.h"
#include "platform/fs/FileSystem.h"

namespace sorv {

// What identifies one version of a file.
struct FileStamp {
  std::uint64_t inode = 0;
  std::uint64_t device = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;
  bool operator==(const FileStamp&) const = default;
  static FileStamp of(const FileInfo& info) {
    return {info.inode, info.device, info.size, info.mtimeNs, info.ctimeNs};
  }
};

// The untyped store behind ItemCache<T>.
class ItemCacheStore {
 public:
  explicit ItemCacheStore(std::size_t capacity, FileSystem* fs);
  ItemCacheStore(const ItemCacheStore&) = delete;
  ItemCacheStore& operator=(const ItemCacheStore&) = delete;

  // The stored value when the file (followed through links) still has its stamp; else
  // compute() is called outside the lock and its value stored, unless the file changed
  // while it was read or cannot be stat'ed (then the value is returned, not kept).
  std::any getOrCompute(const std::string& path, const std::function<std::any()>& compute);
  // The same, with the caller's fresh stat of path (the scan's walk has one) standing in for
  // the first stat; a link or any other non-file falls back to stat'ing the path.
  std::any getOrCompute(const std::string& path, const FileInfo& current,
                        const std::function<std::any()>& compute);
  // For a value built in parts: a stored value of the file's version serves when `serves`
  // says so; else compute() is given it (nullptr when none is stored) and its result is kept
  // as above. current: as above, or nullptr to stat the path.
  std::any getOrAdd(const std::string& path, const FileInfo* current,
                    const std::function<bool(const std::any&)>& serves,
                    const std::function<std::any(const std::any*)>& compute);

  void erase(const std::string& path);
  void clear();
  // A walk of the whole folder marks each file it sees; dropUnseen() then removes every entry
  // neither marked nor stored since the last dropUnseen(), and gives how many went. One walk at
  // a time: marks of a walk that ends without dropUnseen() count for the next one.
  void markSeen(const std::string& path);
  std::size_t dropUnseen();
  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }
  std::uint64_t hits() const;
  std::uint64_t misses() const;

 private:
  struct Entry;
  using Node = std::pair<const std::string, Entry>;
  // The age order runs through the entries themselves (the map keeps an entry where it is), so
  // no second copy of every path is kept for it.
  struct Entry {
    FileStamp stamp;
    std::any value;
    Node* older = nullptr;
    Node* newer = nullptr;
    std::uint64_t seenIn = 0;  // the sweep that last marked or stored it
  };
  FileSystem& fs() const { return fs_ ? *fs_ : defaultFileSystem(); }
  void storeLocked(const std::string& path, const FileStamp& stamp, std::any value)
      REQUIRES(mutex_);
  void unlinkLocked(Node* node) REQUIRES(mutex_);
  void makeNewestLocked(Node* node) REQUIRES(mutex_);
  void eraseLocked(Node* node) REQUIRES(mutex_);
  std::any lookUpOrCompute(const std::string& path, bool known, const FileStamp& stamp,
                           const std::function<bool(const std::any&)>& serves,
                           const std::function<std::any(const std::any*)>& compute);

  const std::size_t capacity_;
  FileSystem* const fs_;
  mutable Mutex mutex_;
  std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mutex_);
  Node* oldest_ GUARDED_BY(mutex_) = nullptr;  // least recently used
  Node* newest_ GUARDED_BY(mutex_) = nullptr;
  std::uint64_t hits_ GUARDED_BY(mutex_) = 0;
  std::uint64_t misses_ GUARDED_BY(mutex_) = 0;
  std::uint64_t sweep_ GUARDED_BY(mutex_) = 1;
};

template <class T>
class ItemCache {
 public:
  // fs nullptr: the default file system at each call.
  explicit ItemCache(std::size_t capacity = 50'000, FileSystem* fs = nullptr)
      : store_(capacity, fs) {}

  T getOrCompute(const std::string& path, const std::function<T()>& compute) {
    std::any value = store_.getOrCompute(path, [&] { return std::any(compute()); });
    return std::any_cast<T>(std::move(value));
  }

  T getOrCompute(const std::string& path, const FileInfo& current,
                 const std::function<T()>& compute) {
    std::any value = store_.getOrCompute(path, current, [&] { return std::any(compute()); });
    return std::any_cast<T>(std::move(value));
  }

  // For a value built in parts (several reads of one file kept in one entry): the stored value
  // when the file still has its stamp and has(value); else add() puts the missing part into
  // what is stored for this version (T{} when nothing is), and the result is kept as above.
  T getOrAdd(const std::string& path, const FileInfo* current,
             const std::function<bool(const T&)>& has, const std::function<void(T&)>& add) {
    std::any value = store_.getOrAdd(
        path, current, [&](const std::any& stored) { return has(std::any_cast<const T&>(stored)); },
        [&](const std::any* stored) {
          T part = stored ? std::any_cast<const T&>(*stored) : T{};
          add(part);
          return std::any(std::move(part));
        });
    return std::any_cast<T>(std::move(value));
  }

  void erase(const std::string& path) { store_.erase(path); }
  void clear() { store_.clear(); }
  void markSeen(const std::string& path) { store_.markSeen(path); }
  std::size_t dropUnseen() { return store_.dropUnseen(); }
  std::size_t size() const { return store_.size(); }
  std::uint64_t hits() const { return store_.hits(); }
  std::uint64_t misses() const { return store_.misses(); }

 private:
  ItemCacheStore store_;
};

}  // namespace sorv
