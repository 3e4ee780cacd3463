// The update thread of a polled collection: wakes at the collection's UpdateInterval, runs
// TryUpdate(true, every element), counts failed passes and, after 15 in a row while the server
// is interactive, runs the server's connect-and-login sequence again.
//
//   loop: wait on the terminate event for UpdateInterval ms (converted to an unsigned 32-bit
//         number, read anew after every pass; a value that does not convert, or is 0, is
//         reported in the server log and ends the thread); on time-out run one pass:
//           success: failures = 0
//           failure: pause 1 s; failures += 1; from 15 on: no server -> end; server
//                    ssInteractive -> pause 5 s, re-login (skipped when another thread's
//                    re-login succeeded since this pass began), success -> failures = 0;
//                    before 15, the same re-login when the link is down and no thread has
//                    made such an early one in the last minute
//   the terminate event set: release the collection and end.
//
// Every wait goes through the Clock seam (ManualResetEvent::WaitFor), so tests run them in
// milliseconds. The pauses wait on the terminate event too: a stop during a pause ends the
// thread at once, without the pass or the re-login that would have followed.
//
// Thread contract: runs on its own thread, one below normal priority; it holds one reference
// to its collection from start to end and sets `finished` as its last act. It takes the server
// (ServerInstance) for each use only, so a thread that StopUpdate abandoned in a blocked
// exchange neither keeps the server alive nor touches it after it is destroyed.
#pragma once

#include <memory>
#include <string_view>

#include "model/collection_interfaces.h"
#include "platform/sync.h"

namespace zel {

inline constexpr Millis kUpdateFailurePause{1000};
inline constexpr Millis kReloginPause{5000};
inline constexpr int kFailuresBeforeRelogin = 15;
// A link that is down (LinkHealth) brings a re-login sooner, at most this often.
inline constexpr Millis kLinkDownReloginSpacing{60000};
// The server-log component and feature of the thread's reports.
inline constexpr std::string_view kUpdateLogComponent = "ZelCommSrv";
inline constexpr std::string_view kUpdateLogFeature = "Server";

void RunUpdateThread(ComPtr<IZelCollection> collection, std::shared_ptr<ManualResetEvent> stop,
                     std::shared_ptr<ManualResetEvent> finished);

}  // namespace zel
