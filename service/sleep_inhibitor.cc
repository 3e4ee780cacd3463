#include "service/sleep_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "platform/system_log.h"

namespace zel {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
// How often the bus thread looks at its stop flag while no message comes.
constexpr uint64_t kPollMicros = 200000;

int OnSignal(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
  int going_to_sleep = 0;
  if (sd_bus_message_read(message, "b", &going_to_sleep) < 0) return 0;
  static_cast<SleepInhibitor*>(userdata)->OnPrepareForSleep(going_to_sleep != 0);
  return 0;
}

}  // namespace

SleepInhibitor::SleepInhibitor(Callback before_sleep, Callback after_resume)
    : before_sleep_(std::move(before_sleep)), after_resume_(std::move(after_resume)) {
  take_lock_ = [this] { return TakeLockFromLogind(); };
}

SleepInhibitor::~SleepInhibitor() { Stop(); }

int SleepInhibitor::TakeLockFromLogind() {
  if (bus_ == nullptr) return -1;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int fd = -1;
  if (sd_bus_call_method(bus_, kLogind, kLogindPath, kManager, "Inhibit", &error, &reply, "ssss",
                         "sleep", "zelcommsrv", "Stop the server before the machine suspends",
                         "delay") >= 0) {
    int received = -1;
    if (sd_bus_message_read(reply, "h", &received) >= 0) fd = ::fcntl(received, F_DUPFD_CLOEXEC, 3);
  } else {
    ReportDebug(std::string("no sleep inhibitor lock: ") + (error.message ? error.message : ""));
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return fd;
}

HRESULT SleepInhibitor::Start() {
  if (sd_bus_open_system(&bus_) < 0) {
    bus_ = nullptr;
    return S_FALSE;
  }
  if (sd_bus_match_signal(bus_, nullptr, kLogind, kLogindPath, kManager, "PrepareForSleep",
                          OnSignal, this) < 0) {
    bus_ = sd_bus_flush_close_unref(bus_);
    return S_FALSE;
  }
  int fd = take_lock_();
  {
    MutexLock g(&mu_);
    lock_fd_ = fd;
  }
  thread_ = std::thread([this] { Run(); });
  return S_OK;
}

void SleepInhibitor::Run() {
  for (;;) {
    {
      MutexLock g(&mu_);
      if (stop_) return;
    }
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return;  // the bus is gone: no more power events
    if (r > 0) continue;
    (void)sd_bus_wait(bus_, kPollMicros);
  }
}

void SleepInhibitor::Stop() {
  {
    MutexLock g(&mu_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  if (bus_ != nullptr) bus_ = sd_bus_flush_close_unref(bus_);
  MutexLock g(&mu_);
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
}

void SleepInhibitor::OnPrepareForSleep(bool going_to_sleep) {
  if (going_to_sleep) {
    if (before_sleep_) before_sleep_();
    // Stopped: the suspend may go ahead.
    MutexLock g(&mu_);
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = -1;
    return;
  }
  if (after_resume_) after_resume_();
  int fd = take_lock_ ? take_lock_() : -1;
  MutexLock g(&mu_);
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = fd;
}

bool SleepInhibitor::holds_lock() {
  MutexLock g(&mu_);
  return lock_fd_ >= 0;
}

}  // namespace zel
