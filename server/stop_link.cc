// Stop's part of the link (zel_server.h): cutting the link's waits short, taking its request lock
// within a bound, and the logout and disconnect under a watchdog, so that nothing another thread
// does on the link (an exchange against a silent or trickling controller, a lock never let go)
// keeps a stop waiting without bound.
#include <chrono>
#include <thread>

#include "link/frame.h"
#include "link/request.h"
#include "platform/system_log.h"
#include "server/server_log_hook.h"
#include "server/zel_server.h"

namespace zel {
namespace {

ComPtr<IZelLinkInterrupt> InterruptOf(IZelCommHandler* link) {
  ComPtr<IZelLinkInterrupt> interrupt;
  if (link != nullptr) (void)link->QueryInterface(IZelLinkInterrupt::kIid, interrupt.ReceiveVoid());
  return interrupt;
}

// Takes the request lock if it comes free within a production duration.
bool TakeRequestLockWithin(IZelLinkInterrupt* link, Millis limit) {
  auto deadline = std::chrono::steady_clock::now() + Clock::Get()->Scaled(limit);
  for (;;) {
    if (link->TryBeginAtomicRequest()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Cuts the link's waits once a production duration has passed, unless ended first.
class LinkWatchdog {
 public:
  LinkWatchdog(ComPtr<IZelLinkInterrupt> link, Millis limit) {
    if (!link) return;
    thread_ = std::thread([link = std::move(link), limit, done = done_] {
      if (!done->WaitFor(limit)) link->InterruptWaits();
    });
  }
  ~LinkWatchdog() {
    done_->Set();
    if (thread_.joinable()) thread_.join();
  }
  LinkWatchdog(const LinkWatchdog&) = delete;
  LinkWatchdog& operator=(const LinkWatchdog&) = delete;

 private:
  std::shared_ptr<ManualResetEvent> done_ = std::make_shared<ManualResetEvent>();
  std::thread thread_;
};

}  // namespace

void CZelServer::CutLinkWaits() {
  // The flag first: a transport set from now on is cut as it is set (AdoptTransport).
  link_cut_ = true;
  if (ComPtr<IZelLinkInterrupt> interrupt = InterruptOf(transport().get())) {
    interrupt->InterruptWaits();
  }
}

void CZelServer::ResumeLinkWaits(IZelCommHandler* link) {
  link_cut_ = false;
  if (ComPtr<IZelLinkInterrupt> interrupt = InterruptOf(link)) interrupt->ResumeWaits();
  ComPtr<IZelCommHandler> current = transport();
  if (current.get() != link) {
    if (ComPtr<IZelLinkInterrupt> interrupt = InterruptOf(current.get())) interrupt->ResumeWaits();
  }
}

void CZelServer::CutIfStopping(IZelCommHandler* link) {
  if (!link_cut_) return;
  if (ComPtr<IZelLinkInterrupt> interrupt = InterruptOf(link)) interrupt->InterruptWaits();
}

HRESULT CZelServer::LogoutAndDisconnect(IZelCommHandler* link) {
  ComPtr<IZelLinkInterrupt> interrupt = InterruptOf(link);
  if (interrupt) {
    // With its waits cut, whoever holds the lock is done with it in moments; one that still
    // holds it after the bound never lets go, and the stop goes on without the logout.
    if (!TakeRequestLockWithin(interrupt.get(), kStopLinkWait)) {
      ReportEvent(MSG_STOP_WITHOUT_LOGOUT, E_TIMEOUT);
      WriteServerLog("ZelCommSrv", "Server",
                     "Stop: the controller link stayed held by another exchange; stopped without "
                     "logging out",
                     E_TIMEOUT);
      return E_TIMEOUT;
    }
    // The logout is the one exchange let through; the lock keeps every other out.
    interrupt->ResumeWaits();
  } else {
    // A transport that cannot be interrupted (one of a client's own) is waited for as before.
    (void)link->BeginAtomicRequest();
  }
  HRESULT hr = S_OK;
  {
    LinkWatchdog watchdog(interrupt, kStopLogoutLimit);
    ReplyBuffer reply;  // freed unexamined
    hr = SendControllerRequest(link, false, kLogoutFrame.data(), kLogoutFrame.size(), &reply);
    (void)link->Disconnect();
  }
  (void)link->EndAtomicRequest();
  return hr;
}

}  // namespace zel
