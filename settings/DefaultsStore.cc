#include "settings/DefaultsStore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Console.h"
#include "platform/Mutex.h"
#include "platform/Paths.h"
#include "platform/Plist.h"
#include "platform/fs/AtomicWrite.h"
#include "platform/fs/FileSystem.h"

namespace sorv {

namespace {

// Writes are gathered for this long before the background flush.
constexpr auto kFlushDelay = std::chrono::milliseconds(200);
// After a failed write the flusher waits this long before it tries again.
constexpr auto kRetryDelay = std::chrono::seconds(2);

bool equalsIgnoreCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return i == a.size() && b[i] == '\0';
}

std::string trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// A real truncated toward zero, saturated to the 64-bit range (NaN gives 0).
long long truncatedInteger(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9.2233720368547758e18) return INT64_MAX;
  if (d <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<long long>(d);
}

bool boolOf(const Value& v) {
  if (const bool* b = v.asBoolean()) return *b;
  if (const std::int64_t* i = v.asInteger()) return *i != 0;
  if (const double* d = v.asReal()) return *d != 0 && !std::isnan(*d);
  if (const std::string* s = v.asString()) {
    std::string t = trimmed(*s);
    if (equalsIgnoreCase(t, "yes")) return true;
    if (equalsIgnoreCase(t, "no")) return false;
    double d = Value(t).doubleValue();
    return d != 0 && !std::isnan(d);
  }
  return false;
}

long long integerOf(const Value& v) {
  if (const double* d = v.asReal()) return truncatedInteger(*d);
  if (v.isNumber() || v.asString()) return v.integerValue();
  return 0;
}

double doubleOf(const Value& v) {
  if (v.isNumber() || v.asString()) return v.doubleValue();
  return 0;
}

std::string timestampForName() {
  std::time_t t = std::time(nullptr);
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

// Moves `from` to `to` only when `to` does not exist yet; false with errno set otherwise.
bool renameNoReplace(const std::string& from, const std::string& to) {
  int rc = defaultFileSystem().rename(from, to, false);
  errno = rc;
  return rc == 0;
}

}  // namespace

struct DefaultsStore::Impl {
  std::string path;

  mutable SharedMutex dataMutex;
  Dict user GUARDED_BY(dataMutex);
  Dict reg GUARDED_BY(dataMutex);
  bool dirty GUARDED_BY(dataMutex) = false;
  // The keys this process set or removed since its last write: only these go to the file.
  std::set<std::string> changed GUARDED_BY(dataMutex);
  // False when an unreadable file could not be moved aside: it must never be overwritten.
  bool persistent GUARDED_BY(dataMutex) = true;

  Mutex writeMutex;  // one file write at a time, in the order of their snapshots

  Mutex flushMutex;  // guards the flusher's state
  CondVar flushCv;
  std::thread flusher GUARDED_BY(flushMutex);
  bool flushRequested GUARDED_BY(flushMutex) = false;
  bool stopping GUARDED_BY(flushMutex) = false;

  struct ObserverEntry {
    Observer fn;
    std::atomic<bool> removed{false};
  };
  Mutex observerMutex;
  std::map<int, std::shared_ptr<ObserverEntry>> observers GUARDED_BY(observerMutex);
  int nextObserverId GUARDED_BY(observerMutex) = 1;

  void load();
  void quarantine(const std::string& reason);
  // What the file holds now into *out (empty when there is none); false when it cannot be
  // read as a dictionary.
  bool readCurrent(Dict* out) const;
  bool writeNow();
  void scheduleFlush();
  void flusherLoop() EXCLUDES(flushMutex);
  // Waits up to `wait` unless stopping is set meanwhile.
  void waitUnlessStopping(std::chrono::duration<double> wait) REQUIRES(flushMutex);
  void stopFlusher();
  void notify(const std::string& key);
  void store(const std::string& key, Value v);
  template <typename F>
  auto withValue(const std::string& key, F fn) const;
};

void DefaultsStore::Impl::load() {
  if (path.empty()) return;
  FileInfo info;
  if (defaultFileSystem().stat(path, &info) == ENOENT) return;
  std::string err;
  std::optional<Value> v = plist::parseFile(path, &err);
  if (!v) {
    quarantine(err.empty() ? "not a readable property list" : err);
    return;
  }
  if (!v->asDict()) {
    quarantine("its root is not a dictionary");
    return;
  }
  WriterMutexLock l(&dataMutex);
  user = std::move(*v->asDict());
}

void DefaultsStore::Impl::quarantine(const std::string& reason) {
  std::string base = path + ".corrupt-" + timestampForName();
  for (int n = 0; n < 1000; ++n) {
    std::string aside = n == 0 ? base : base + "-" + std::to_string(n);
    if (renameNoReplace(path, aside)) {
      NSLog("Defaults file %s is unusable (%s); moved it to %s and starting empty", path.c_str(),
            reason.c_str(), aside.c_str());
      return;
    }
    if (errno != EEXIST) break;
  }
  {
    WriterMutexLock l(&dataMutex);
    persistent = false;
  }
  NSLog(
      "Defaults file %s is unusable (%s) and could not be moved aside; settings of this run "
      "are kept in memory only",
      path.c_str(), reason.c_str());
}

bool DefaultsStore::Impl::readCurrent(Dict* out) const {
  out->clear();
  FileInfo info;
  int rc = defaultFileSystem().lstat(path, &info);
  if (rc == ENOENT) return true;
  // A FIFO would block the read; the write refuses whatever is not a regular file anyway.
  if (rc != 0 || info.type != FileType::Regular) return false;
  std::optional<Value> v = plist::parseFile(path);
  if (!v || !v->asDict()) return false;
  *out = std::move(*v->asDict());
  return true;
}

// Another program may have written the file since this one read it (an import, an operator's
// editor): the keys this process changed go over what the file holds now, and the others stay
// as they are there. A file that cannot be read any more gets the whole user domain.
bool DefaultsStore::Impl::writeNow() {
  MutexLock wl(&writeMutex);
  std::set<std::string> mine;
  Dict snapshot;
  {
    WriterMutexLock l(&dataMutex);
    if (path.empty()) {
      dirty = false;
      changed.clear();
      return true;
    }
    if (!persistent) return false;
    dirty = false;
    if (changed.empty()) return true;
    mine.swap(changed);
    snapshot = user;
  }
  Dict merged;
  if (!readCurrent(&merged)) merged = snapshot;
  for (const std::string& key : mine) {
    auto it = snapshot.find(key);
    if (it != snapshot.end())
      merged[key] = it->second;
    else
      merged.erase(key);
  }
  createFolderWithParents(deletingLastPathComponent(path));
  std::string err;
  int rc = 0;
  if (plist::writeFileAtomically(path, Value(std::move(merged)), &err, 0600, &rc)) return true;
  {
    WriterMutexLock l(&dataMutex);
    dirty = true;
    changed.insert(mine.begin(), mine.end());
  }
  // A path that is not a regular file stays refused at every later write: said once.
  if (!isAtomicWriteRefusal(rc) || firstRefusalOf(path, rc))
    NSLog("Could not write the defaults file %s: %s", path.c_str(), err.c_str());
  return false;
}

void DefaultsStore::Impl::scheduleFlush() {
  if (path.empty()) return;
  MutexLock l(&flushMutex);
  if (stopping) return;
  flushRequested = true;
  if (!flusher.joinable()) flusher = std::thread([this] { flusherLoop(); });
  flushCv.notifyOne();
}

void DefaultsStore::Impl::waitUnlessStopping(std::chrono::duration<double> wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!stopping) {
    std::chrono::duration<double> left = deadline - std::chrono::steady_clock::now();
    if (left.count() <= 0) return;
    flushCv.waitFor(&flushMutex, left.count());
  }
}

void DefaultsStore::Impl::flusherLoop() {
  flushMutex.lock();
  while (!stopping) {
    while (!flushRequested && !stopping) flushCv.wait(&flushMutex);
    if (stopping) break;
    // Gather the writes that follow closely, then write them all at once.
    waitUnlessStopping(kFlushDelay);
    if (stopping) break;
    flushRequested = false;
    flushMutex.unlock();
    bool ok = true;
    bool pending;
    {
      ReaderMutexLock dl(&dataMutex);
      pending = dirty && persistent;
    }
    if (pending) ok = writeNow();
    flushMutex.lock();
    if (!ok) {
      flushRequested = true;
      waitUnlessStopping(kRetryDelay);
    }
  }
  flushMutex.unlock();
}

void DefaultsStore::Impl::stopFlusher() {
  {
    MutexLock l(&flushMutex);
    stopping = true;
    flushCv.notifyAll();
  }
  // Only this call joins the flusher, and once stopping is set nothing starts it again.
  std::thread done;
  {
    MutexLock l(&flushMutex);
    if (flusher.joinable() && flusher.get_id() != std::this_thread::get_id())
      done = std::move(flusher);
  }
  if (done.joinable()) done.join();
  bool pending;
  {
    ReaderMutexLock dl(&dataMutex);
    pending = dirty && persistent && !path.empty();
  }
  if (pending) writeNow();
}

void DefaultsStore::Impl::notify(const std::string& key) {
  std::vector<std::shared_ptr<ObserverEntry>> calls;
  {
    MutexLock l(&observerMutex);
    calls.reserve(observers.size());
    for (auto& [id, entry] : observers) calls.push_back(entry);
  }
  for (auto& entry : calls)
    if (!entry->removed.load()) entry->fn(key);
}

void DefaultsStore::Impl::store(const std::string& key, Value v) {
  {
    WriterMutexLock l(&dataMutex);
    user[key] = std::move(v);
    changed.insert(key);
    dirty = true;
  }
  scheduleFlush();
  notify(key);
}

// Calls fn with the key's value (user domain first, then registered), or nullptr.
template <typename F>
auto DefaultsStore::Impl::withValue(const std::string& key, F fn) const {
  ReaderMutexLock l(&dataMutex);
  auto it = user.find(key);
  if (it != user.end()) return fn(&it->second);
  it = reg.find(key);
  if (it != reg.end()) return fn(&it->second);
  return fn(static_cast<const Value*>(nullptr));
}

namespace {

Mutex gStandardMutex;
// Never destroyed: threads may still use it at exit.
DefaultsStore* gStandard GUARDED_BY(gStandardMutex) = nullptr;

void flushStandardAtExit() {
  MutexLock l(&gStandardMutex);
  if (gStandard) gStandard->synchronize();
}

void registerExitFlush() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(flushStandardAtExit); });
}

}  // namespace

DefaultsStore& DefaultsStore::standard() {
  MutexLock l(&gStandardMutex);
  if (!gStandard) {
    gStandard = new DefaultsStore(defaultsFilePath());
    registerExitFlush();
  }
  return *gStandard;
}

void DefaultsStore::settleStandard() {
  MutexLock l(&gStandardMutex);
  if (gStandard) MutexLock wl(&gStandard->impl_->writeMutex);
}

void DefaultsStore::resetStandardForPath(const std::string& path) {
  MutexLock l(&gStandardMutex);
  delete gStandard;
  gStandard = new DefaultsStore(path);
  registerExitFlush();
}

DefaultsStore::DefaultsStore(std::string path) : impl_(new Impl) {
  impl_->path = std::move(path);
  impl_->load();
}

DefaultsStore::~DefaultsStore() {
  impl_->stopFlusher();
  delete impl_;
}

std::optional<std::string> DefaultsStore::stringForKey(const std::string& key) const {
  return impl_->withValue(key, [](const Value* v) -> std::optional<std::string> {
    if (!v) return std::nullopt;
    return v->stringValue();
  });
}

bool DefaultsStore::boolForKey(const std::string& key) const {
  return impl_->withValue(key, [](const Value* v) { return v ? boolOf(*v) : false; });
}

long long DefaultsStore::integerForKey(const std::string& key) const {
  return impl_->withValue(key, [](const Value* v) { return v ? integerOf(*v) : 0LL; });
}

double DefaultsStore::floatForKey(const std::string& key) const {
  return impl_->withValue(key, [](const Value* v) { return v ? doubleOf(*v) : 0.0; });
}

std::optional<Value> DefaultsStore::objectForKey(const std::string& key) const {
  return impl_->withValue(key, [](const Value* v) -> std::optional<Value> {
    if (!v) return std::nullopt;
    return *v;
  });
}

void DefaultsStore::setObject(const Value& value, const std::string& key) {
  impl_->store(key, value);
}

void DefaultsStore::setBool(bool value, const std::string& key) {
  impl_->store(key, Value(value));
}

void DefaultsStore::setInteger(long long value, const std::string& key) {
  impl_->store(key, Value(value));
}

void DefaultsStore::removeObject(const std::string& key) {
  {
    WriterMutexLock l(&impl_->dataMutex);
    if (impl_->user.erase(key) == 0) return;
    impl_->changed.insert(key);
    impl_->dirty = true;
  }
  impl_->scheduleFlush();
  impl_->notify(key);
}

void DefaultsStore::registerDefaults(const Dict& defaults) {
  WriterMutexLock l(&impl_->dataMutex);
  impl_->reg = defaults;
}

bool DefaultsStore::synchronize() {
  return impl_->writeNow();
}

Dict DefaultsStore::userDomain() const {
  ReaderMutexLock l(&impl_->dataMutex);
  return impl_->user;
}

int DefaultsStore::addObserver(Observer fn) {
  auto entry = std::make_shared<Impl::ObserverEntry>();
  entry->fn = std::move(fn);
  MutexLock l(&impl_->observerMutex);
  int id = impl_->nextObserverId++;
  impl_->observers[id] = std::move(entry);
  return id;
}

void DefaultsStore::removeObserver(int id) {
  MutexLock l(&impl_->observerMutex);
  auto it = impl_->observers.find(id);
  if (it == impl_->observers.end()) return;
  it->second->removed.store(true);
  impl_->observers.erase(it);
}

}  // namespace sorv
