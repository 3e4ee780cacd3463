// Synchronisation primitives the server's locking rules are written in terms of, with the
// annotation macros that clang's -Wthread-safety checks (they expand to nothing under g++).
//
//   RecursiveLock   the transport's request lock (BeginAtomicRequest/EndAtomicRequest)
//   UpdateMutex     a collection's update mutex, with a zero-wait try for TryUpdate
//   ManualResetEvent  set/reset/wait with a production time-out scaled through Clock
//
// Thread contract: all members are safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/clock.h"

#if defined(__clang__)
#define ZEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEL_THREAD_ANNOTATION(x)
#endif
#define ZEL_CAPABILITY(x) ZEL_THREAD_ANNOTATION(capability(x))
#define ZEL_GUARDED_BY(x) ZEL_THREAD_ANNOTATION(guarded_by(x))
#define ZEL_REQUIRES(...) ZEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZEL_ACQUIRE(...) ZEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZEL_RELEASE(...) ZEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZEL_TRY_ACQUIRE(...) ZEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ZEL_EXCLUDES(...) ZEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace zel {

class ZEL_CAPABILITY("mutex") RecursiveLock {
 public:
  void Lock() ZEL_ACQUIRE() { mu_.lock(); }
  void Unlock() ZEL_RELEASE() { mu_.unlock(); }
  bool TryLock() ZEL_TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  std::recursive_mutex mu_;
};

class ZEL_CAPABILITY("mutex") UpdateMutex {
 public:
  void Lock() ZEL_ACQUIRE() { mu_.lock(); }
  // A zero-time wait: true when the mutex was free and is now held.
  bool TryLock() ZEL_TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void Unlock() ZEL_RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// Holds a lock for a scope.
template <class L>
class ZEL_THREAD_ANNOTATION(scoped_lockable) ScopedLock {
 public:
  explicit ScopedLock(L& lock) ZEL_ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~ScopedLock() ZEL_RELEASE() { lock_.Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  L& lock_;
};

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initially_set = false) : set_(initially_set) {}
  void Set() {
    std::lock_guard<std::mutex> g(mu_);
    set_ = true;
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> g(mu_);
    set_ = false;
  }
  bool IsSet() {
    std::lock_guard<std::mutex> g(mu_);
    return set_;
  }
  // Waits up to a production duration (scaled by the clock); true when the event is set.
  bool WaitFor(Millis production) {
    Millis real = Clock::Get()->Scaled(production);
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, real, [&] { return set_; });
  }
  void Wait() {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [&] { return set_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_;
};

}  // namespace zel
