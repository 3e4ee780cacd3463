#include "model/update_thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "server/zel_server.h"

namespace zel {
namespace {

// One step below normal: the thread's nice value one above the process's. The polls are
// background work; a failure to lower the priority is not worth stopping them for.
void LowerThreadPriority() {
  pid_t tid = gettid();
  errno = 0;
  int nice_value = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (nice_value == -1 && errno != 0) return;
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_value + 1);
}

// The interval's 32-bit value field, as milliseconds.
Millis ReadInterval(IZelCollection* collection) {
  Variant interval;
  if (Failed(collection->get_UpdateInterval(&interval))) return Millis(0);
  return Millis(interval.ui4());
}

}  // namespace

void RunUpdateThread(ComPtr<IZelCollection> collection, std::shared_ptr<ManualResetEvent> stop,
                     std::shared_ptr<ManualResetEvent> finished) {
  LowerThreadPriority();
  int failures = 0;
  Millis interval = ReadInterval(collection.get());
  while (!stop->WaitFor(interval)) {
    if (Succeeded(collection->TryUpdate(true, kAllElements))) {
      failures = 0;
    } else {
      if (stop->WaitFor(kUpdateFailurePause)) break;
      ++failures;
      if (failures >= kFailuresBeforeRelogin) {
        CZelServer* server = ServerInstance();
        if (server == nullptr) break;
        // Only a server that was running normally logs in again; its status is left alone.
        if (server->status() == ssInteractive) {
          if (stop->WaitFor(kReloginPause)) break;
          if (Succeeded(server->ConnectAndLogin())) failures = 0;
        }
      }
    }
    interval = ReadInterval(collection.get());
  }
  // The reference goes before `finished` is set: a StopUpdate that sees the thread finished
  // may let the last other reference go at once.
  collection.reset();
  finished->Set();
}

}  // namespace zel
