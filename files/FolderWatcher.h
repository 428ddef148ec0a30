// Watches a folder tree with inotify: one watch per folder, added as folders appear (a folder
// that arrives with contents is listed after its watch is added) and dropped as they go.
// Changes are coalesced for `latency` seconds and reported once per changed folder (once for
// the root when a batch touches very many folders); pending
// changes are also flushed every `flushInterval` seconds. No history: only changes after
// start() are reported. A file counts as arrived when it is closed after writing or moved in,
// not while it is still open for writing.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

namespace sorv {

struct InotifyEvent;

class FolderWatcher {
 public:
  // Called on the watcher's thread: once per changed folder of a batch; overflow true when
  // the kernel dropped events (folder is then the root, and the whole tree must be walked).
  using Handler = std::function<void(const std::string& folder, bool overflow)>;

  FolderWatcher(std::string root, Handler handler, double latency = 1.0,
                double flushInterval = 3.0);
  ~FolderWatcher();
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Creates the inotify instance and watches the tree. False with *err when nothing can be
  // watched; a tree that is only partly watched (a limit reached) still starts, and
  // isComplete() is then false.
  bool start(std::string* err);
  // Reads and reports events on the calling thread until stop().
  void run();
  // Makes run() return soon. Safe from any thread.
  void stop();

  bool isComplete() const { return complete_.load(); }
  std::size_t watchCount() const;

 private:
  void addTree(const std::string& folder);
  bool addWatch(const std::string& folder);
  void readEvents();
  void takeEvent(const InotifyEvent& ev);
  void deliver();
  void noteLimit(int err, const std::string& folder);

  std::string root_;
  Handler handler_;
  double latency_;
  double flushInterval_;
  int fd_ = -1;
  const int wakeFd_;  // made first, so that stop() works at any time
  std::atomic<bool> stopping_{false};
  std::atomic<bool> complete_{true};
  bool limitLogged_ = false;
  mutable std::mutex mutex_;
  std::unordered_map<int, std::string> folders_;  // watch descriptor -> folder
  std::set<std::string> pending_;
  bool pendingOverflow_ = false;
  double firstPending_ = 0;  // steady seconds of the oldest pending change
};

}  // namespace sorv
