// SetControllerTimeNow: set the controller's clock to the local time, then again at every local
// midnight through the server's long-delay timer.
#include "server/controller_time.h"

#include "link/frame.h"
#include "link/request.h"
#include "platform/sync.h"
#include "server/server_log_hook.h"
#include "server/zel_server.h"

namespace zel {

std::array<uint8_t, kSetTimeFrameSize> BuildSetTimeFrame(const std::tm& local) {
  std::array<uint8_t, kSetTimeFrameSize> frame = {kFrameStart, 0x08, MSG_SET_TIME};
  frame[3] = static_cast<uint8_t>(local.tm_year + 1900 - 2000);
  frame[4] = static_cast<uint8_t>(local.tm_mon + 1);
  frame[5] = static_cast<uint8_t>(local.tm_mday);
  frame[6] = static_cast<uint8_t>(local.tm_wday == 0 ? 7 : local.tm_wday);  // Sunday is 7
  frame[7] = static_cast<uint8_t>(local.tm_hour);
  frame[8] = static_cast<uint8_t>(local.tm_min);
  frame[9] = local.tm_isdst > 0 ? 1 : 0;
  SetFrameCrc(frame.data(), frame.size());
  return frame;
}

Millis DelayToMidnight(const std::tm& local) {
  int64_t seconds = ((24 - int64_t{local.tm_hour}) * 60 - local.tm_min) * 60 - local.tm_sec;
  return Millis(seconds * 1000);
}

HRESULT CZelServer::SetControllerTimeNow() {
  std::time_t now = Clock::Get()->WallNow();
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return E_FAIL;

  std::array<uint8_t, kSetTimeFrameSize> frame = BuildSetTimeFrame(local);
  ReplyBuffer reply;
  HRESULT hr = SendControllerRequest(transport().get(), true, frame.data(), frame.size(), &reply);
  reply.reset();
  if (Failed(hr)) WriteServerLog("ZelCommSrv", "Server", "Failed to set controller time", hr);

  // The next setting, at the next local midnight, whatever this one gave.
  LongDelayTimer* timer = nullptr;
  {
    MutexLock g(&mu_);
    if (shutting_down_) return hr;
    if (!timer_) {
      timer_ = std::unique_ptr<LongDelayTimer>(new (std::nothrow) LongDelayTimer());
      if (!timer_) return E_OUTOFMEMORY;
    }
    timer = timer_.get();
  }
  // The timer lives until the server's destructor, which stops it before anything else.
  HRESULT scheduled =
      timer->Start(DelayToMidnight(local), [this] { (void)SetControllerTimeNow(); });
  if (Failed(scheduled)) return scheduled;
  return hr;
}

}  // namespace zel
