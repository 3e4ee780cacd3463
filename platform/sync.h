// Synchronisation primitives the server's locking rules are written in terms of, annotated so
// clang's -Wthread-safety checks them (the macros expand to nothing under g++; the clang build
// of the production code is described in docs/sanitizers.md):
//
//   Mutex            a plain mutex, with a zero-wait TryLock (a collection's TryUpdate)
//   RecursiveMutex   a mutex its holder may take again (the transport's request lock, the
//                    server's life-cycle lock)
//   MutexLock        holds either for a scope: MutexLock lock(&mu_);
//   CondVar          waits on a Mutex the caller holds: while (!ready_) cv_.Wait(&mu_);
//   ManualResetEvent set/reset/wait with a production time-out scaled through Clock
//
// Write the lock a field needs beside it (ZEL_GUARDED_BY(mu_)) and the locks a function needs
// or takes on its declaration (ZEL_REQUIRES, ZEL_EXCLUDES, ZEL_ACQUIRE, ZEL_RELEASE). A
// predicate lambda is analysed as a function of its own that holds no lock, so waits are
// written as explicit loops.
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
#define ZEL_SCOPED_CAPABILITY ZEL_THREAD_ANNOTATION(scoped_lockable)
#define ZEL_GUARDED_BY(x) ZEL_THREAD_ANNOTATION(guarded_by(x))
#define ZEL_PT_GUARDED_BY(x) ZEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZEL_REQUIRES(...) ZEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZEL_ACQUIRE(...) ZEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZEL_RELEASE(...) ZEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZEL_TRY_ACQUIRE(...) ZEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ZEL_EXCLUDES(...) ZEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZEL_RETURN_CAPABILITY(x) ZEL_THREAD_ANNOTATION(lock_returned(x))
// For the few functions whose locking the analysis cannot follow; say why beside each use.
#define ZEL_NO_THREAD_SAFETY_ANALYSIS ZEL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zel {

class ZEL_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ZEL_ACQUIRE() { mu_.lock(); }
  void Unlock() ZEL_RELEASE() { mu_.unlock(); }
  // A zero-time wait: true when the mutex was free and is now held.
  bool TryLock() ZEL_TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

// The analysis does not know a capability can be taken twice: a function that takes a
// RecursiveMutex its caller already holds must not say so with ZEL_REQUIRES.
class ZEL_CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock() ZEL_ACQUIRE() { mu_.lock(); }
  void Unlock() ZEL_RELEASE() { mu_.unlock(); }
  bool TryLock() ZEL_TRY_ACQUIRE(true) { return mu_.try_lock(); }

 private:
  std::recursive_mutex mu_;
};

// Holds a Mutex or RecursiveMutex from construction to destruction. Unlock and Lock let go of
// it for a stretch within the scope (a callback run without the lock); the destructor releases
// it only when held.
template <class M>
class ZEL_SCOPED_CAPABILITY MutexLock {
 public:
  // "*mu" must outlive the lock.
  explicit MutexLock(M* mu) ZEL_ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() ZEL_RELEASE() {
    if (held_) mu_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() ZEL_RELEASE() {
    mu_->Unlock();
    held_ = false;
  }
  void Lock() ZEL_ACQUIRE() {
    mu_->Lock();
    held_ = true;
  }

 private:
  M* const mu_;
  bool held_ = true;
};

// A condition variable used with one Mutex throughout. Waits may wake spuriously: loop on the
// condition.
class CondVar {
 public:
  void Wait(Mutex* mu) ZEL_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();  // still held: ownership goes back to the caller's MutexLock
  }
  // False when the deadline passed.
  bool WaitUntil(Mutex* mu, std::chrono::steady_clock::time_point deadline) ZEL_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initially_set = false) : set_(initially_set) {}
  void Set() ZEL_EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    set_ = true;
    cv_.SignalAll();
  }
  void Reset() ZEL_EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    set_ = false;
  }
  bool IsSet() ZEL_EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    return set_;
  }
  // Waits up to a production duration (scaled by the clock); true when the event is set.
  bool WaitFor(Millis production) ZEL_EXCLUDES(mu_) {
    auto deadline = std::chrono::steady_clock::now() + Clock::Get()->Scaled(production);
    MutexLock lock(&mu_);
    while (!set_) {
      if (!cv_.WaitUntil(&mu_, deadline)) return set_;
    }
    return true;
  }
  void Wait() ZEL_EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    while (!set_) cv_.Wait(&mu_);
  }

 private:
  Mutex mu_;
  CondVar cv_;
  bool set_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel
