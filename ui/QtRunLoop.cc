#include "ui/QtRunLoop.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace sorv {

namespace {

// A timer made from any thread: its QTimer lives on the GUI thread and is made there.
class QtLoopTimer : public Timer, public std::enable_shared_from_this<QtLoopTimer> {
 public:
  QtLoopTimer(bool repeats, std::function<void(Timer&)> fn)
      : repeats_(repeats), fn_(std::move(fn)) {}

  // GUI thread: starts the QTimer; the timer keeps itself alive until it is done.
  void start(QObject* context, double seconds) {
    if (!valid_) return;
    auto* timer = new QTimer(context);
    timer->setSingleShot(!repeats_);
    timer->setTimerType(Qt::PreciseTimer);
    auto self = shared_from_this();
    QObject::connect(timer, &QTimer::timeout, timer, [self] { self->fire(); });
    timer_ = timer;
    timer->start(static_cast<int>(seconds > 0 ? seconds * 1000 + 0.5 : 0));
  }

  void invalidate() override {
    if (!valid_.exchange(false)) return;
    QTimer* timer = timer_;
    if (!timer) return;
    // Stopping and deleting belong to the GUI thread; the timer's own slot may be running.
    QMetaObject::invokeMethod(
        timer,
        [timer] {
          timer->stop();
          timer->deleteLater();
        },
        Qt::QueuedConnection);
  }
  bool isValid() const override { return valid_; }

 private:
  void fire() {
    if (!valid_) {  // invalidated while it was being started
      if (QTimer* timer = timer_.exchange(nullptr)) timer->deleteLater();
      return;
    }
    if (!repeats_) valid_ = false;
    auto keep = shared_from_this();  // fn may drop the last outside reference
    fn_(*this);
    if (!repeats_)
      if (QTimer* timer = timer_.exchange(nullptr)) timer->deleteLater();
  }

  const bool repeats_;
  std::function<void(Timer&)> fn_;
  std::atomic<bool> valid_{true};
  std::atomic<QTimer*> timer_{nullptr};
};

}  // namespace

QtRunLoop::QtRunLoop() : context_(std::make_unique<QObject>()) {}

QtRunLoop::~QtRunLoop() = default;

void QtRunLoop::post(std::function<void()> fn) {
  QMetaObject::invokeMethod(context_.get(), std::move(fn), Qt::QueuedConnection);
}

void QtRunLoop::postAndWait(std::function<void()> fn) {
  if (isLoopThread()) {
    fn();
    return;
  }
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  post([&] {
    fn();
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    cv.notify_one();
  });
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return done; });
}

std::shared_ptr<Timer> QtRunLoop::scheduleTimer(double seconds, bool repeats,
                                                std::function<void(Timer&)> fn) {
  auto timer = std::make_shared<QtLoopTimer>(repeats, std::move(fn));
  QObject* context = context_.get();
  if (isLoopThread())
    timer->start(context, seconds);
  else
    post([timer, context, seconds] { timer->start(context, seconds); });
  return timer;
}

bool QtRunLoop::isLoopThread() const {
  return QThread::currentThread() == context_->thread();
}

}  // namespace sorv
