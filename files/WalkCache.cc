#include "files/WalkCache.h"

#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "files/InotifyReader.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {
namespace {

// Everything that changes a listing or an entry's lstat result. IN_CLOSE_WRITE changes
// nothing by itself but tells that a file has arrived.
constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_DONT_FOLLOW;
constexpr std::uint32_t kListingChanged = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
// After a folder could not be watched, walks go afresh this long before the cache is tried
// again (a watch limit would only be hit again at once).
constexpr double kRetrySeconds = 600;

enum Mark : std::uint8_t { kStat = 1, kDrop = 2 };  // lstat again; forget what lies below

double steadyNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// inotify sees only the changes made through this machine's kernel.
bool changesAreSeen(const std::string& path) {
  struct statfs st {};
  if (::statfs(path.c_str(), &st) != 0) return false;
  switch (static_cast<std::uint32_t>(st.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x73757245:  // Coda
    case 0x5346414F:  // AFS
      return false;
    default:
      return true;
  }
}

bool freshWalksAsked() {
  const char* v = std::getenv("SORV_FRESH_WALK");
  return v && std::strcmp(v, "1") == 0;
}

}  // namespace

struct WalkCache::Child {
  std::string name;
  bool stale = true;  // info must be read again before use
  FileInfo info;
  std::uint64_t verdict = 0;     // the key under which the visitor answered Unchanged
  std::unique_ptr<Node> folder;  // once the walk has entered it
};

struct WalkCache::Node {
  Node* parent = nullptr;
  std::string name;  // in the parent
  std::string rel;
  std::uint64_t device = 0;
  int wd = -1;  // -1: not watched, listed and lstat'ed afresh on every walk
  bool relist = true;
  std::vector<Child> children;                // in listing order
  std::map<std::string, std::uint8_t> marks;  // names changed since the last walk
};

WalkCache::WalkCache(FileSystem* fs, std::size_t maxDepth)
    : fs_(fs), maxDepth_(maxDepth), alwaysFresh_(freshWalksAsked()) {}

WalkCache::~WalkCache() {
  reset();
}

void WalkCache::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  top_.reset();
  byWatch_.clear();
  root_.clear();
  overflowed_ = false;
}

bool WalkCache::open(const std::string& root) {
  FileInfo info;
  if (fs().stat(root, &info) != 0 || !changesAreSeen(root)) return false;
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return false;
  root_ = root;
  top_ = std::make_unique<Node>();
  top_->device = info.device;
  rootInode_ = info.inode;
  if (!watch(*top_, root, true) || top_->wd < 0) {
    reset();
    return false;
  }
  return true;
}

bool WalkCache::watch(Node& node, const std::string& fullPath, bool followLink) {
  int wd = ::inotify_add_watch(fd_, fullPath.c_str(), followLink ? kMask & ~IN_DONT_FOLLOW : kMask);
  if (wd < 0) {
    // Gone or replaced since its lstat: its parent has the event and lists it again.
    if (errno == ENOENT || errno == ENOTDIR) return true;
    broken_ = true;
    return false;
  }
  // A folder moved within the tree keeps its watch; its old place is no longer covered.
  auto [it, added] = byWatch_.try_emplace(wd, &node);
  if (!added && it->second != &node) {
    it->second->wd = -1;
    it->second->relist = true;
    it->second = &node;
  }
  node.wd = wd;
  return true;
}

void WalkCache::drop(Node& node) {
  for (Child& c : node.children)
    if (c.folder) drop(*c.folder);
  if (node.wd < 0) return;
  auto it = byWatch_.find(node.wd);
  if (it != byWatch_.end() && it->second == &node) {
    ::inotify_rm_watch(fd_, node.wd);
    byWatch_.erase(it);
  }
  node.wd = -1;
}

void WalkCache::applyMarks(Node& node) {
  for (Child& c : node.children) {
    auto it = node.marks.find(c.name);
    if (it == node.marks.end()) continue;
    c.stale = true;
    if ((it->second & kDrop) && c.folder) {
      drop(*c.folder);
      c.folder.reset();
    }
  }
  node.marks.clear();
}

// Lists the folder again, keeping the entries whose names are still there and did not change.
bool WalkCache::refresh(Node& node, const std::string& fullPath) {
  std::vector<std::string> names;
  ++counts_.listings;
  if (int rc = fs().listDirectory(fullPath, &names)) {
    NSLog("FolderEnumerator => cannot list [%s]: %s", fullPath.c_str(), strerror(rc));
    if (rc != E2BIG) {
      node.relist = true;
      return false;
    }
  }
  constexpr std::size_t kNew = static_cast<std::size_t>(-1);
  std::vector<std::size_t> from(names.size(), kNew);
  {
    std::unordered_map<std::string_view, std::size_t> old;
    old.reserve(node.children.size());
    for (std::size_t i = 0; i < node.children.size(); ++i) old.emplace(node.children[i].name, i);
    for (std::size_t j = 0; j < names.size(); ++j) {
      auto it = old.find(names[j]);
      if (it != old.end()) {
        from[j] = it->second;
        old.erase(it);
      }
    }
    for (const auto& [name, i] : old)
      if (node.children[i].folder) drop(*node.children[i].folder);
  }
  std::vector<Child> next(names.size());
  for (std::size_t j = 0; j < names.size(); ++j) {
    if (from[j] == kNew) {
      next[j].name = std::move(names[j]);
      continue;
    }
    next[j] = std::move(node.children[from[j]]);
    if (node.wd < 0) next[j].stale = true;
  }
  node.children = std::move(next);
  applyMarks(node);
  node.relist = node.wd < 0;
  return true;
}

bool WalkCache::readEvents() {
  if (fd_ < 0) return false;
  bool arrivals = false;
  InotifyReader(fd_).drain([&](const InotifyEvent& ev) {
    mutex_.assertHeld();  // drain calls back on this thread, inside this call
    if (takeEvent(ev)) arrivals = true;
  });
  if (arrivals) unwalked_ = true;
  return arrivals;
}

bool WalkCache::takeEvent(const InotifyEvent& ev) {
  if (ev.overflowed() || (ev.mask & IN_UNMOUNT)) {
    overflowed_ = true;
    return true;
  }
  auto it = byWatch_.find(ev.wd);
  if (it == byWatch_.end()) return false;
  Node& node = *it->second;
  const bool dir = ev.mask & IN_ISDIR;
  if (ev.mask & IN_IGNORED) {  // the folder went, or cannot be watched any longer
    byWatch_.erase(it);
    node.wd = -1;
    node.relist = true;
    if (node.parent) node.parent->marks[node.name] |= kStat;
    if (!node.parent) overflowed_ = true;
    return true;
  }
  if (!ev.name.empty()) {
    std::uint8_t& mark = node.marks[std::string(ev.name)];
    mark |= kStat;
    if ((ev.mask & IN_ATTRIB) && dir) mark |= kDrop;  // permissions below may differ
    if (ev.mask & kListingChanged) node.relist = true;
    if (node.parent) node.parent->marks[node.name] |= kStat;  // the folder's own times
    // A file being written is not there yet; its close after writing is.
    return (ev.mask & (IN_MODIFY | IN_ISDIR)) != ev.mask && !((ev.mask & IN_CREATE) && !dir);
  }
  if (!node.parent) {
    overflowed_ = true;  // the root itself changed: build again
    return true;
  }
  if (ev.mask & (IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF)) {
    node.parent->marks[node.name] |= kStat | ((ev.mask & IN_ATTRIB) ? kDrop : 0);
    if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) node.parent->relist = true;
    return true;
  }
  return false;
}

bool WalkCache::pollChanges() {
  MutexLock lock(&mutex_);
  return readEvents();
}

std::optional<bool> WalkCache::changesUnder(const std::string& root) {
  MutexLock lock(&mutex_);
  if (alwaysFresh_ || !top_ || root != root_) return std::nullopt;
  readEvents();
  FileInfo info;
  if (broken_ || overflowed_ || fs().stat(root, &info) != 0 || info.inode != rootInode_ ||
      info.device != top_->device)
    return std::nullopt;
  return unwalked_;
}

WalkCache::Counts WalkCache::counts() const {
  MutexLock lock(&mutex_);
  return counts_;
}

std::size_t WalkCache::watchCount() const {
  MutexLock lock(&mutex_);
  return byWatch_.size();
}

bool WalkCache::enumerate(const std::string& root, std::uint64_t verdictKey,
                          const std::function<Visit(const FolderEntry&)>& visit) {
  MutexLock lock(&mutex_);
  ++counts_.walks;
  if (alwaysFresh_) {
    ++counts_.freshWalks;
    return FolderEnumerator(root, fs(), maxDepth_).enumerate(visit);
  }
  readEvents();
  const double now = steadyNow();
  if (broken_) {
    broken_ = false;
    retryAfter_ = now + kRetrySeconds;
    reset();
  }
  if (overflowed_ || root != root_) reset();
  if (top_) {
    // The path may name another folder now (swapped for a link, a share mounted again)
    // without any event on the folder the watches follow.
    FileInfo info;
    if (fs().stat(root, &info) != 0 || info.inode != rootInode_ || info.device != top_->device)
      reset();
  }
  if (!top_) {
    ++counts_.freshWalks;
    if (now < retryAfter_ || !open(root)) {
      if (now >= retryAfter_) retryAfter_ = now + kRetrySeconds;
      return FolderEnumerator(root, fs(), maxDepth_).enumerate(visit);
    }
  }
  if (top_->relist) {
    if (!refresh(*top_, root)) return false;
  } else if (!top_->marks.empty()) {
    applyMarks(*top_);
  }

  struct Frame {
    Node* node;
    std::size_t next;
  };
  std::vector<Frame> stack{{top_.get(), 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    Node& node = *frame.node;
    if (frame.next == node.children.size()) {
      stack.pop_back();
      continue;
    }
    Child& c = node.children[frame.next++];
    if (!c.stale && verdictKey != 0 && c.verdict == verdictKey) continue;
    FolderEntry entry;
    entry.relativePath = node.rel.empty() ? c.name : node.rel + "/" + c.name;
    entry.fullPath = appendingPathComponent(root, entry.relativePath);
    if (c.stale) {
      ++counts_.lstats;
      FileInfo info;
      if (int rc = fs().lstat(entry.fullPath, &info)) {
        NSLog("FolderEnumerator => skipped [%s]: %s", entry.fullPath.c_str(), strerror(rc));
        continue;
      }
      const bool sameFolder = info.type == FileType::Directory && info.inode == c.info.inode &&
                              info.device == c.info.device;
      if (c.folder && !sameFolder) {
        drop(*c.folder);
        c.folder.reset();
      }
      c.info = info;
      c.stale = false;
      c.verdict = 0;
    }
    entry.info = c.info;
    Visit answer = visit(entry);
    if (answer == Visit::Stop) return true;
    if (!entry.isFolder()) {
      if (answer == Visit::Unchanged) c.verdict = verdictKey;
      continue;
    }
    // A folder that is not entered is not watched: its own lstat may change unseen.
    if (answer == Visit::SkipContents) {
      c.stale = true;
      continue;
    }
    if (stack.size() > maxDepth_) {
      NSLog("FolderEnumerator => not entering [%s]: too deep", entry.fullPath.c_str());
      c.stale = true;
      continue;
    }
    if (!c.folder) {
      c.folder = std::make_unique<Node>();
      c.folder->parent = &node;
      c.folder->name = c.name;
      c.folder->rel = entry.relativePath;
      c.folder->device = c.info.device;
      if (c.info.device != node.device && !changesAreSeen(entry.fullPath)) broken_ = true;
      watch(*c.folder, entry.fullPath, false);
      c.stale = true;  // its own times may have moved before the watch was in place
    }
    Node& sub = *c.folder;
    if (sub.wd < 0) c.stale = true;
    if (sub.relist) {
      if (!refresh(sub, entry.fullPath)) continue;
    } else if (!sub.marks.empty()) {
      applyMarks(sub);
    }
    stack.push_back({&sub, 0});
  }
  unwalked_ = false;  // the whole tree was walked with every change read before it
  return true;
}

}  // namespace sorv
