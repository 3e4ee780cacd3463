#include "link/walk.h"

#include "link/frame.h"
#include "link/request.h"

namespace zel {

HRESULT RunWalk(IZelCommHandler* link, std::span<const uint8_t> first_request,
                const WalkHandlers& handlers, int attempts) {
  if (link == nullptr) return E_UNEXPECTED;
  (void)link->BeginAtomicRequest();
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (handlers.restart) handlers.restart();
    ReplyBuffer reply;
    hr = SendControllerRequest(link, false, first_request.data(),
                               static_cast<uint32_t>(first_request.size()), &reply);
    bool done = false;
    while (Succeeded(hr)) {
      WalkStep step = WalkStep::kDone;
      hr = handlers.reply(reply.get(), &step);
      reply.reset();
      if (Failed(hr)) {
        (void)link->EndAtomicRequest();
        return hr;
      }
      if (step == WalkStep::kDone) {
        done = true;
        break;
      }
      hr = SendControllerRequest(link, false, kAckFrame.data(), kAckFrame.size(), &reply);
    }
    if (done) {
      hr = S_OK;
      break;
    }
  }
  (void)link->EndAtomicRequest();
  return hr;
}

}  // namespace zel
