#include "files/FolderWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "files/InotifyReader.h"
#include "platform/Console.h"
#include "platform/Paths.h"

namespace sorv {
namespace {

// What makes a folder worth scanning again. A file created but still open for writing is
// not there yet: its close after writing will be.
constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE |
                                IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_DONT_FOLLOW;

constexpr std::size_t kMaxReportsPerBatch = 32;

double steadyNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string procValue(const char* path) {
  std::ifstream in(path);
  std::string value;
  in >> value;
  return value.empty() ? "unknown" : value;
}

}  // namespace

FolderWatcher::FolderWatcher(std::string root, Handler handler, double latency,
                             double flushInterval)
    : root_(std::move(root)),
      handler_(std::move(handler)),
      latency_(latency),
      flushInterval_(flushInterval),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

FolderWatcher::~FolderWatcher() {
  if (fd_ >= 0) ::close(fd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool FolderWatcher::start(std::string* err) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    int e = errno;
    if (e == EMFILE) {
      noteLimit(e, root_);
    }
    if (err) *err = std::string("inotify_init1: ") + std::strerror(e);
    return false;
  }
  if (wakeFd_ < 0) {
    if (err) *err = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  if (!addWatch(root_)) {
    if (err) *err = "cannot watch " + root_ + ": " + std::strerror(errno);
    return false;
  }
  addTree(root_);
  return true;
}

void FolderWatcher::noteLimit(int err, const std::string& folder) {
  complete_ = false;
  if (limitLogged_) return;
  limitLogged_ = true;
  if (err == ENOSPC) {
    NSLog(
        "Watcher: the per-user watch limit fs.inotify.max_user_watches (%s) is reached at "
        "[%s]; folders past it are found by the timer's passes",
        procValue("/proc/sys/fs/inotify/max_user_watches").c_str(), folder.c_str());
  } else if (err == EMFILE) {
    NSLog(
        "Watcher: the instance limit fs.inotify.max_user_instances (%s) is reached; the "
        "folder is not watched and the timer starts the passes",
        procValue("/proc/sys/fs/inotify/max_user_instances").c_str());
  } else {
    NSLog("Watcher: cannot watch [%s]: %s; it is found by the timer's passes", folder.c_str(),
          std::strerror(err));
  }
}

bool FolderWatcher::addWatch(const std::string& folder) {
  int wd = ::inotify_add_watch(fd_, folder.c_str(), kMask);
  if (wd < 0) {
    noteLimit(errno, folder);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  folders_[wd] = folder;
  return true;
}

// Watches every folder below `folder` (whose own watch is in place), so that a folder that
// arrived with contents is covered before its contents are looked at.
void FolderWatcher::addTree(const std::string& folder) {
  std::vector<std::string> stack{folder};
  while (!stack.empty()) {
    std::string dir = std::move(stack.back());
    stack.pop_back();
    DIR* d = ::opendir(dir.c_str());
    if (!d) continue;
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      std::string path = appendingPathComponent(dir, e->d_name);
      bool isDir = e->d_type == DT_DIR;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st {};
        isDir = ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      if (isDir && addWatch(path)) stack.push_back(path);
    }
    ::closedir(d);
  }
}

void FolderWatcher::readEvents() {
  InotifyReader(fd_).drain([this](const InotifyEvent& ev) { takeEvent(ev); });
}

void FolderWatcher::takeEvent(const InotifyEvent& ev) {
  if (ev.overflowed()) {
    std::fputs("BAD NEWS! We dropped events.\nForcing a full rescan.\n", stdout);
    std::fflush(stdout);
    pendingOverflow_ = true;
    if (pending_.empty()) firstPending_ = steadyNow();
    pending_.insert(root_);
    return;
  }
  std::string folder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = folders_.find(ev.wd);
    if (it == folders_.end()) return;
    folder = it->second;
    if (ev.mask & IN_IGNORED) {
      folders_.erase(it);
      return;
    }
  }
  bool isDir = ev.mask & IN_ISDIR;
  // A new file is not there until it is closed after writing.
  if ((ev.mask & IN_CREATE) && !isDir) return;
  if (isDir && (ev.mask & (IN_CREATE | IN_MOVED_TO)) && !ev.name.empty()) {
    std::string sub = appendingPathComponent(folder, std::string(ev.name));
    if (addWatch(sub)) addTree(sub);
  }
  if (pending_.empty()) firstPending_ = steadyNow();
  pending_.insert(folder);
}

void FolderWatcher::deliver() {
  std::set<std::string> folders;
  folders.swap(pending_);
  bool overflow = pendingOverflow_;
  pendingOverflow_ = false;
  // Each report starts a thread that asks for a pass of the whole tree; a mass copy into
  // hundreds of folders needs one such pass, not hundreds of threads.
  if (folders.size() > kMaxReportsPerBatch) folders = {root_};
  for (const auto& folder : folders) handler_(folder, overflow && folder == root_);
}

void FolderWatcher::run() {
  double nextFlush = steadyNow() + flushInterval_;
  while (!stopping_) {
    double now = steadyNow();
    double due = nextFlush;
    if (!pending_.empty()) due = std::min(due, firstPending_ + latency_);
    int timeoutMs = static_cast<int>(std::max(0.0, due - now) * 1000) + 1;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int rc = ::poll(fds, 2, timeoutMs);
    if (rc < 0 && errno != EINTR) break;
    if (stopping_) break;
    if (rc > 0 && (fds[0].revents & POLLIN)) readEvents();
    now = steadyNow();
    if (!pending_.empty() && (now >= firstPending_ + latency_ || now >= nextFlush)) deliver();
    if (now >= nextFlush) nextFlush = now + flushInterval_;
  }
}

void FolderWatcher::stop() {
  stopping_ = true;
  if (wakeFd_ >= 0) {
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    (void)ignored;
  }
}

std::size_t FolderWatcher::watchCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return folders_.size();
}

}  // namespace sorv
