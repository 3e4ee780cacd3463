// The daemon's life: load the text catalogue, register the automation classes, create the one
// server object, open the automation bridge, Start the server, serve until asked to stop, Stop.
//
// A failing Start does not end the process (clients can reconfigure and start again); a missing
// text catalogue does, with the system error as the exit code, as nothing could be reported.
//
// Thread contract: Run is called once, from main, with SIGTERM, SIGINT and SIGHUP blocked in
// every thread (BlockStopSignals before any thread starts); it waits for them with sigtimedwait,
// so no signal handler runs. The server's Start runs on a thread of its own so a stop signal
// is seen while a long start (downloads, retries) is still in progress.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "service/daemon_options.h"

namespace zel {

// Blocks the stop signals in the calling thread; threads created afterwards inherit the mask.
void BlockStopSignals();

// How long the daemon waits for the server's stop (a production duration). The update threads'
// joins are bounded by 30 s; anything longer means the link is held for good.
inline constexpr Millis kStopLimit{30000};

// Runs stop work on a thread of its own so the caller can give up waiting for it: nothing a
// client or a wedged exchange does may keep the daemon from ending. When the wait runs out the
// work's thread is left running (detached) and the caller ends the process.
class StopRunner {
 public:
  explicit StopRunner(std::function<void()> work);
  // Joins the thread when the work finished, else detaches it.
  ~StopRunner();
  StopRunner(const StopRunner&) = delete;
  StopRunner& operator=(const StopRunner&) = delete;

  // True when the work finished within the production duration.
  bool WaitFor(Millis limit);

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::thread thread_;
};

// True when systemd started the process (NOTIFY_SOCKET or INVOCATION_ID in the environment):
// the service mode, in which the started and stopped reports go to the system log and the
// service manager hears READY, STOPPING and, with WatchdogSec=, the watchdog's keep-alives.
bool StartedByServiceManager();

// Runs the daemon; returns the process exit code (0 after a stop signal, whatever Start gave).
int RunDaemon(const DaemonOptions& options);

}  // namespace zel
