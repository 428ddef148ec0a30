// Mutexes that Clang's thread-safety analysis understands (-Wthread-safety): data marked
// GUARDED_BY(mu) may only be touched with mu held, functions say what they REQUIRES or
// EXCLUDES. With other compilers the annotations expand to nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define SORV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SORV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) SORV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY SORV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) SORV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) SORV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) SORV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) SORV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) SORV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) SORV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) SORV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE(...) SORV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) SORV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) SORV_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS SORV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace sorv {

class CondVar;

// A plain (non-recursive) mutex.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool tryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the mutex (where it cannot see it).
  void assertHeld() const ASSERT_CAPABILITY(this) {}
  // The std::mutex beneath, for an interface that waits on a std::condition_variable (the
  // clock's waits): only while holding this mutex, and the wait must leave it held.
  std::mutex& native() REQUIRES(this) { return mu_; }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// A mutex the owning thread may lock again; it is free once every lock was undone. The
// analysis does not model nesting: a function that holds it calls REQUIRES variants.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::recursive_mutex mu_;
};

// A mutex many readers may hold at once, or one writer alone.
class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lockShared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlockShared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds a SharedMutex as a reader for its scope.
class SCOPED_CAPABILITY ReaderMutexLock {
 public:
  explicit ReaderMutexLock(SharedMutex* mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_->lockShared(); }
  ~ReaderMutexLock() RELEASE() { mu_->unlockShared(); }
  ReaderMutexLock(const ReaderMutexLock&) = delete;
  ReaderMutexLock& operator=(const ReaderMutexLock&) = delete;

 private:
  SharedMutex* mu_;
};

// Holds a mutex for its scope.
template <typename M>
class SCOPED_CAPABILITY BasicMutexLock {
 public:
  explicit BasicMutexLock(M* mu) ACQUIRE(mu) : mu_(mu) { mu_->lock(); }
  ~BasicMutexLock() RELEASE() { mu_->unlock(); }
  BasicMutexLock(const BasicMutexLock&) = delete;
  BasicMutexLock& operator=(const BasicMutexLock&) = delete;

 private:
  M* mu_;
};
using MutexLock = BasicMutexLock<Mutex>;
using RecursiveMutexLock = BasicMutexLock<RecursiveMutex>;
using WriterMutexLock = BasicMutexLock<SharedMutex>;

// A condition variable used with a Mutex the caller holds. Waits may wake spuriously:
// callers test their condition in a loop.
class CondVar {
 public:
  void wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when the time ran out.
  bool waitFor(Mutex* mu, double seconds) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    auto status = cv_.wait_for(lock, std::chrono::duration<double>(seconds));
    lock.release();
    return status == std::cv_status::no_timeout;
  }
  void notifyOne() { cv_.notify_one(); }
  void notifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace sorv
