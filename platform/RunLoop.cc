#include "platform/RunLoop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Mutex.h"

namespace sorv {

namespace {

// Waiting state of one postAndWait call.
struct WaitState {
  Mutex mutex;
  CondVar cv;
  bool done GUARDED_BY(mutex) = false;
  std::exception_ptr error GUARDED_BY(mutex);
};

struct Work {
  std::function<void()> fn;
  std::shared_ptr<WaitState> wait;  // null for post
};

void finish(WaitState& w, std::exception_ptr error) {
  MutexLock lock(&w.mutex);
  w.error = std::move(error);
  w.done = true;
  w.cv.notifyAll();
}

struct Core;

class LoopTimer : public Timer {
 public:
  LoopTimer(std::weak_ptr<Core> core, double fireAt, double interval, bool repeats,
            std::function<void(Timer&)> fn, std::uint64_t seq)
      : fireAt(fireAt),
        interval(interval),
        repeats(repeats),
        seq(seq),
        core_(std::move(core)),
        fn_(std::make_shared<std::function<void(Timer&)>>(std::move(fn))) {}

  void invalidate() override;
  bool isValid() const override { return valid_.load(); }

  // The callback to run now, or null once invalidated.
  std::shared_ptr<std::function<void(Timer&)>> callback() {
    MutexLock lock(&fnMutex_);
    return fn_;
  }

  double fireAt;  // guarded by the loop's mutex
  const double interval;
  const bool repeats;
  const std::uint64_t seq;

 private:
  std::weak_ptr<Core> core_;
  std::atomic<bool> valid_{true};
  Mutex fnMutex_;
  std::shared_ptr<std::function<void(Timer&)>> fn_ GUARDED_BY(fnMutex_);
};

struct Core {
  Mutex mutex;
  // Notified with mutex held; a std::condition_variable because the clock's waits take one.
  std::condition_variable cv;
  std::deque<Work> queue GUARDED_BY(mutex);
  std::vector<std::shared_ptr<LoopTimer>> timers GUARDED_BY(mutex);
  std::uint64_t nextSeq GUARDED_BY(mutex) = 0;
  bool stopRequested GUARDED_BY(mutex) = false;
  int pendingSignal GUARDED_BY(mutex) = 0;
};

void LoopTimer::invalidate() {
  if (!valid_.exchange(false)) return;
  {
    // Dropping the callback releases what it holds, as the platform's timers do.
    MutexLock lock(&fnMutex_);
    fn_.reset();
  }
  if (auto core = core_.lock()) {
    MutexLock lock(&core->mutex);
    core->cv.notify_all();
  }
}

// Termination signals reach loops through a self-pipe: the handler only writes the signal
// number; a watcher thread reads it and stops every loop that asked for it.
struct SignalRouter {
  Mutex mutex;
  std::vector<std::weak_ptr<Core>> loops GUARDED_BY(mutex);
  int pipe[2] = {-1, -1};  // written once, by install, before the handler and watcher exist
  bool installed GUARDED_BY(mutex) = false;

  static SignalRouter& get() {
    static SignalRouter* router = new SignalRouter;
    return *router;
  }

  static void handler(int signo) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(signo);
    ssize_t ignored = ::write(get().pipe[1], &b, 1);
    (void)ignored;
    errno = saved;
  }

  void watch() {
    for (;;) {
      unsigned char b = 0;
      ssize_t n = ::read(pipe[0], &b, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      MutexLock lock(&mutex);
      for (auto& weak : loops) {
        if (auto core = weak.lock()) {
          MutexLock coreLock(&core->mutex);
          core->stopRequested = true;
          core->pendingSignal = b;
          core->cv.notify_all();
        }
      }
    }
  }

  bool install() REQUIRES(mutex) {
    if (installed) return true;
    if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
    fcntl(pipe[1], F_SETFL, O_NONBLOCK);
    std::thread([this] { watch(); }).detach();
    struct sigaction sa {};
    sa.sa_handler = &SignalRouter::handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    installed = true;
    return true;
  }

  void add(const std::shared_ptr<Core>& core) {
    MutexLock lock(&mutex);
    if (!install()) {
      NSLog("cannot watch termination signals: %s", std::strerror(errno));
      return;
    }
    loops.erase(std::remove_if(loops.begin(), loops.end(),
                               [&](const std::weak_ptr<Core>& w) {
                                 auto c = w.lock();
                                 return !c || c == core;
                               }),
                loops.end());
    loops.push_back(core);
  }
};

void runLogged(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    NSLog("run loop: posted work ended by an exception: %s", e.what());
  } catch (...) {
    NSLog("run loop: posted work ended by an unknown exception");
  }
}

}  // namespace

struct EventLoop::Impl {
  Clock* clock;
  std::shared_ptr<Core> core = std::make_shared<Core>();
  std::atomic<std::thread::id> loopThread{std::this_thread::get_id()};
  std::atomic<int> lastSignal{0};

  Clock& clk() const { return clock ? *clock : defaultClock(); }

  // Runs one queued item; false when the queue is empty.
  bool runOneWork() {
    Work w;
    {
      MutexLock lock(&core->mutex);
      if (core->queue.empty()) return false;
      w = std::move(core->queue.front());
      core->queue.pop_front();
    }
    if (!w.wait) {
      runLogged(w.fn);
      return true;
    }
    std::exception_ptr error;
    try {
      w.fn();
    } catch (...) {
      error = std::current_exception();
    }
    finish(*w.wait, error);
    return true;
  }

  // Fires the earliest due timer; false when none is due.
  bool fireOneTimer() {
    std::shared_ptr<LoopTimer> t;
    {
      MutexLock lock(&core->mutex);
      purgeInvalidTimers();
      double now = clk().now();
      for (auto& cand : core->timers) {
        if (cand->fireAt > now) continue;
        if (!t || cand->fireAt < t->fireAt || (cand->fireAt == t->fireAt && cand->seq < t->seq))
          t = cand;
      }
      if (!t) return false;
      if (t->repeats) {
        // Missed firings collapse into one; the next comes a whole interval later.
        double next = t->fireAt + t->interval;
        if (next <= now) next += std::ceil((now - next) / t->interval + 1e-9) * t->interval;
        if (next <= now) next = now + t->interval;
        t->fireAt = next;
      } else {
        core->timers.erase(std::find(core->timers.begin(), core->timers.end(), t));
      }
    }
    if (auto fn = t->callback()) {
      Timer& timer = *t;
      runLogged([&] { (*fn)(timer); });
    }
    if (!t->repeats) t->invalidate();
    return true;
  }

  void purgeInvalidTimers() REQUIRES(core->mutex) {
    auto& ts = core->timers;
    ts.erase(std::remove_if(ts.begin(), ts.end(), [](auto& t) { return !t->isValid(); }), ts.end());
  }

  // One round: what was queued when it began, then the timers due now.
  int runRound() {
    std::size_t queued;
    {
      MutexLock lock(&core->mutex);
      queued = core->queue.size();
    }
    int ran = 0;
    for (std::size_t i = 0; i < queued && !stopRequested(); ++i) ran += runOneWork() ? 1 : 0;
    std::size_t due;
    {
      MutexLock lock(&core->mutex);
      due = core->timers.size();
    }
    for (std::size_t i = 0; i < due && !stopRequested(); ++i) {
      if (!fireOneTimer()) break;
      ++ran;
    }
    return ran;
  }

  bool stopRequested() {
    MutexLock lock(&core->mutex);
    return core->stopRequested;
  }

  // Sleeps until work arrives, a timer is due or stop is asked for.
  void waitForWork() {
    MutexLock lock(&core->mutex);
    if (core->stopRequested || !core->queue.empty()) return;
    purgeInvalidTimers();
    double now = clk().now();
    double deadline = now + 3600.0;
    for (auto& t : core->timers) deadline = std::min(deadline, t->fireAt);
    if (deadline <= now) return;
    // The clock waits on the std::mutex beneath, which it leaves held, as MutexLock expects.
    std::unique_lock<std::mutex> held(core->mutex.native(), std::adopt_lock);
    clk().waitUntil(core->cv, held, deadline);
    held.release();
  }
};

EventLoop::EventLoop(Clock* clock) : impl_(std::make_unique<Impl>()) {
  impl_->clock = clock;
}

EventLoop::~EventLoop() {
  std::deque<Work> left;
  std::vector<std::shared_ptr<LoopTimer>> timers;
  {
    MutexLock lock(&impl_->core->mutex);
    left.swap(impl_->core->queue);
    timers.swap(impl_->core->timers);
  }
  for (auto& t : timers) t->invalidate();
  // Waiters of work that will never run are released rather than left hanging.
  for (auto& w : left) {
    if (w.wait) finish(*w.wait, nullptr);
  }
}

void EventLoop::post(std::function<void()> fn) {
  MutexLock lock(&impl_->core->mutex);
  impl_->core->queue.push_back(Work{std::move(fn), nullptr});
  impl_->core->cv.notify_all();
}

void EventLoop::postAndWait(std::function<void()> fn) {
  if (isLoopThread()) {
    fn();
    return;
  }
  auto wait = std::make_shared<WaitState>();
  {
    MutexLock lock(&impl_->core->mutex);
    impl_->core->queue.push_back(Work{std::move(fn), wait});
    impl_->core->cv.notify_all();
  }
  std::exception_ptr error;
  {
    MutexLock lock(&wait->mutex);
    while (!wait->done) wait->cv.wait(&wait->mutex);
    error = wait->error;
  }
  if (error) std::rethrow_exception(error);
}

std::shared_ptr<Timer> EventLoop::scheduleTimer(double seconds, bool repeats,
                                                std::function<void(Timer&)> fn) {
  if (!(seconds > 0)) seconds = 0;  // also NaN
  double interval = std::max(seconds, 0.0001);
  MutexLock lock(&impl_->core->mutex);
  auto t = std::make_shared<LoopTimer>(impl_->core, impl_->clk().now() + seconds, interval, repeats,
                                       std::move(fn), impl_->core->nextSeq++);
  impl_->core->timers.push_back(t);
  impl_->core->cv.notify_all();
  return t;
}

bool EventLoop::isLoopThread() const {
  return impl_->loopThread.load() == std::this_thread::get_id();
}

void EventLoop::run() {
  impl_->loopThread = std::this_thread::get_id();
  while (!impl_->stopRequested()) {
    if (impl_->runRound() == 0) impl_->waitForWork();
  }
  MutexLock lock(&impl_->core->mutex);
  impl_->core->stopRequested = false;
  impl_->lastSignal = impl_->core->pendingSignal;
  impl_->core->pendingSignal = 0;
}

int EventLoop::runPending() {
  impl_->loopThread = std::this_thread::get_id();
  int total = 0;
  // Work that posts more work is run too, within a bound against endless reposting.
  for (int round = 0; round < 1000; ++round) {
    int ran = impl_->runRound();
    total += ran;
    if (ran == 0) break;
  }
  return total;
}

void EventLoop::stop() {
  MutexLock lock(&impl_->core->mutex);
  impl_->core->stopRequested = true;
  impl_->core->cv.notify_all();
}

void EventLoop::stopOnTerminationSignals() {
  SignalRouter::get().add(impl_->core);
}

int EventLoop::interruptSignal() const {
  return impl_->lastSignal.load();
}

}  // namespace sorv
