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

#include "service/daemon_options.h"

namespace zel {

// Blocks the stop signals in the calling thread; threads created afterwards inherit the mask.
void BlockStopSignals();

// Runs the daemon; returns the process exit code.
int RunDaemon(const DaemonOptions& options);

}  // namespace zel
