#include "model/update_thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "link/link_health.h"
#include "server/server_log_hook.h"
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

// The interval in milliseconds: the stored variant converted to an unsigned 32-bit number, so
// the text "2000" and the real 2000.0 both mean 2000 ms. A value that does not convert, or
// converts to 0, would poll without pause and flood the link: it is reported in the server log
// and the polling stops (false).
bool ReadInterval(IZelCollection* collection, Millis* interval) {
  Variant stored;
  HRESULT hr = collection->get_UpdateInterval(&stored);
  Variant number;
  if (Succeeded(hr)) hr = ChangeType(stored, VT_UI4, &number);
  if (Succeeded(hr) && number.ui4() != 0) {
    *interval = Millis(number.ui4());
    return true;
  }
  std::string description(collection->GetTypeName());
  description += ": UpdateInterval is not a number of milliseconds above 0; polling stopped";
  WriteServerLog(kUpdateLogComponent, kUpdateLogFeature, description,
                 Failed(hr) ? hr : E_INVALIDARG);
  return false;
}

}  // namespace

void RunUpdateThread(ComPtr<IZelCollection> collection, std::shared_ptr<ManualResetEvent> stop,
                     std::shared_ptr<ManualResetEvent> finished) {
  LowerThreadPriority();
  int failures = 0;
  Millis interval{0};
  bool polling = ReadInterval(collection.get(), &interval);
  while (polling && !stop->WaitFor(interval)) {
    // A re-login by another thread that succeeds after this point makes this pass's failure one
    // of the session before it.
    uint64_t logins_seen = 0;
    if (ComPtr<CZelServer> server = ServerInstance()) logins_seen = server->login_count();
    if (Succeeded(collection->TryUpdate(true, kAllElements))) {
      failures = 0;
    } else {
      if (stop->WaitFor(kUpdateFailurePause)) break;
      ++failures;
      const bool fifteen = failures >= kFailuresBeforeRelogin;
      const bool link_down = LinkHealth::Process().Now().state == LinkState::kDown;
      if (fifteen || link_down) {
        // The server is taken for each use and not held across the pause: a thread abandoned by
        // StopUpdate must not keep it alive, nor reach it once it is gone.
        ServerStatus status = ssUnknown;
        bool relogin = fifteen;
        if (ComPtr<CZelServer> server = ServerInstance()) {
          status = server->status();
          // Beyond the 15 passes: a link that is down brings a re-login after one failed pass,
          // once a minute across all threads. A controller that forgot the network session
          // answers nothing until a new handshake, and 15 passes of failed requests at 33 s
          // each would leave it unread for an hour.
          if (!relogin && status == ssInteractive) {
            relogin = server->ClaimLinkDownRelogin(kLinkDownReloginSpacing);
          }
        } else if (fifteen) {
          break;
        }
        // Only a server that was running normally logs in again; its status is left alone.
        if (relogin && status == ssInteractive) {
          if (stop->WaitFor(kReloginPause)) break;
          ComPtr<CZelServer> server = ServerInstance();
          if (!server) break;
          if (Succeeded(server->Relogin(logins_seen))) failures = 0;
        }
      }
    }
    polling = ReadInterval(collection.get(), &interval);
  }
  // The reference goes before `finished` is set: a StopUpdate that sees the thread finished
  // may let the last other reference go at once.
  collection.reset();
  finished->Set();
}

}  // namespace zel
