// SleepInhibitor: the power events of the service. The server is stopped before the machine
// suspends and started again after it resumes, as logind announces with its PrepareForSleep
// signal. A "delay" inhibitor lock taken from logind holds the suspend back until the server has
// stopped (at most logind's InhibitDelayMaxSec); the lock is given up then and taken again on
// resume.
//
//   SleepInhibitor inhibitor([&] { server->Stop(); }, [&] { server->Start(); });
//   inhibitor.Start();   // S_FALSE without a system bus or logind: no power events then
//   ...
//   inhibitor.Stop();
//
// Thread contract: Start and Stop from the owner's thread. The callbacks and the lock's
// taking and giving up run on the inhibitor's bus thread, one at a time; OnPrepareForSleep is
// public so tests drive it as the signal would. mu_ guards stop_ and lock_fd_.
#pragma once

#include <functional>
#include <thread>

#include "platform/status.h"
#include "platform/sync.h"

struct sd_bus;

namespace zel {

class SleepInhibitor {
 public:
  using Callback = std::function<void()>;
  // Takes the delay lock: its file descriptor, or -1 when it cannot be had.
  using TakeLock = std::function<int()>;

  SleepInhibitor(Callback before_sleep, Callback after_resume);
  ~SleepInhibitor();  // Stop()
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

  // Connects to the system bus, takes the lock, listens for PrepareForSleep on a thread of its
  // own. S_FALSE (and nothing started) when there is no system bus or no logind.
  HRESULT Start();
  void Stop();

  // The signal: true before suspend (the server stops, then the lock goes), false after resume
  // (the server starts, then the lock is taken again).
  void OnPrepareForSleep(bool going_to_sleep);

  // Tests: how the lock is taken instead of asking logind.
  void SetTakeLockForTesting(TakeLock take) { take_lock_ = std::move(take); }
  bool holds_lock() ZEL_EXCLUDES(mu_);

 private:
  int TakeLockFromLogind();
  void Run();

  Callback before_sleep_;
  Callback after_resume_;
  TakeLock take_lock_;
  sd_bus* bus_ = nullptr;
  std::thread thread_;
  Mutex mu_;
  bool stop_ ZEL_GUARDED_BY(mu_) = false;
  int lock_fd_ ZEL_GUARDED_BY(mu_) = -1;
};

}  // namespace zel
