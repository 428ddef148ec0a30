// The scan's walk of a folder tree, kept between passes: what a pass sees is exactly what
// FolderEnumerator would see walking from the top (the same entries, order, lstat results
// and console lines), but a folder is listed again only when it changed, and an entry is
// lstat'ed again only when it changed.
//
// How it stays honest: the cache has its own inotify instance with one watch per folder it
// has listed, added before the listing. It does not depend on the source-folder watcher,
// which only starts once a pass finds nothing; the cache covers the tree from the first pass
// on, so the cycle's own moves during a drain are seen like any other change. The kernel
// queues the events; each walk first reads them all and marks the folders to list again and
// the names to lstat again, so nothing is read on a thread of its own and nothing between two
// walks is missed. Whenever the events cannot be trusted to cover the tree (a queue overflow,
// a folder that cannot be watched, a watch limit, the root itself changed, a file system
// whose changes inotify does not see, the root's path naming another folder), the cache is dropped
// and the walk goes afresh. Its watches come on top of the source-folder watcher's: two per folder
// once both run.
//
// With SORV_FRESH_WALK=1 in the environment every walk goes afresh (benchmarks compare the
// two). Access times (FileInfo::atimeNs) are not kept current. Safe from several threads: walks
// take turns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "files/FolderEnumerator.h"
#include "platform/Mutex.h"
#include "platform/fs/FileSystem.h"

namespace sorv {

struct InotifyEvent;

class WalkCache {
 public:
  using Visit = FolderEnumerator::Visit;

  // fs nullptr: the default file system at each walk. Events are read from the real file
  // system, so a fake fs must act on real folders.
  explicit WalkCache(FileSystem* fs = nullptr, std::size_t maxDepth = 256);
  ~WalkCache();
  WalkCache(const WalkCache&) = delete;
  WalkCache& operator=(const WalkCache&) = delete;

  // Walks root like FolderEnumerator(root).enumerate(visit). A file the visitor answered
  // Unchanged for is left out of later walks with the same verdictKey until it changes; a
  // visitor whose verdicts depend on settings passes a key that changes with them (0: no
  // file is ever left out).
  bool enumerate(const std::string& root, std::uint64_t verdictKey,
                 const std::function<Visit(const FolderEntry&)>& visit);

  // Reads the changes queued since the last walk (the next walk would read them anyway).
  // True when one of them is a file that arrived (closed after writing, moved in), left or
  // had its attributes changed, or a folder that came or went: the kind of change worth
  // another pass.
  bool pollChanges();
  // The same for a walk of root to come: true or false when the cache holds root and its
  // watches still cover the tree; nullopt when only a walk can tell (no walk of root kept,
  // events lost, the path naming another folder, SORV_FRESH_WALK).
  std::optional<bool> changesUnder(const std::string& root);

  struct Counts {
    std::uint64_t walks = 0;
    std::uint64_t freshWalks = 0;  // walks that reused nothing
    std::uint64_t listings = 0;    // folders listed
    std::uint64_t lstats = 0;      // entries lstat'ed
  };
  Counts counts() const;
  std::size_t watchCount() const;

 private:
  struct Node;
  struct Child;

  FileSystem& fs() const { return fs_ ? *fs_ : defaultFileSystem(); }
  bool open(const std::string& root) REQUIRES(mutex_);
  void reset() REQUIRES(mutex_);
  void drop(Node& node) REQUIRES(mutex_);
  bool watch(Node& node, const std::string& fullPath, bool followLink) REQUIRES(mutex_);
  bool refresh(Node& node, const std::string& fullPath) REQUIRES(mutex_);
  void applyMarks(Node& node) REQUIRES(mutex_);
  bool readEvents() REQUIRES(mutex_);
  // Applies one event to the tree; true when something may have arrived.
  bool takeEvent(const InotifyEvent& ev) REQUIRES(mutex_);

  mutable Mutex mutex_;  // held by every public call
  FileSystem* const fs_;
  const std::size_t maxDepth_;
  const bool alwaysFresh_;
  int fd_ GUARDED_BY(mutex_) = -1;
  std::string root_ GUARDED_BY(mutex_);
  std::unique_ptr<Node> top_ GUARDED_BY(mutex_);
  std::uint64_t rootInode_ GUARDED_BY(mutex_) = 0;  // what root named when top_ was built
  std::unordered_map<int, Node*> byWatch_ GUARDED_BY(mutex_);
  // Coverage lost: dropped at the next walk, tried again later.
  bool broken_ GUARDED_BY(mutex_) = false;
  bool overflowed_ GUARDED_BY(mutex_) = false;  // events lost: built again at the next walk
  bool unwalked_ GUARDED_BY(mutex_) = false;    // an arrival or departure read since the last walk
  // Steady seconds before which the cache is not built again.
  double retryAfter_ GUARDED_BY(mutex_) = 0;
  Counts counts_ GUARDED_BY(mutex_);
};

}  // namespace sorv
