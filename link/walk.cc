#include "link/walk.h"

#include "link/frame.h"
#include "link/no_resends.h"
#include "link/request.h"

namespace zel {
namespace {

// REQUIRES: the caller holds the transport's atomic bracket.
HRESULT WalkAttempts(IZelCommHandler* link, std::span<const uint8_t> first_request,
                     const WalkHandlers& handlers, int attempts) {
  NoResends single_sends(link);
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
      if (Failed(hr)) return hr;
      if (step == WalkStep::kDone) {
        done = true;
        break;
      }
      hr = SendControllerRequest(link, false, kAckFrame.data(), kAckFrame.size(), &reply);
    }
    if (done) return S_OK;
  }
  return hr;
}

}  // namespace

HRESULT RunWalk(IZelCommHandler* link, std::span<const uint8_t> first_request,
                const WalkHandlers& handlers, int attempts) {
  if (link == nullptr) return E_UNEXPECTED;
  (void)link->BeginAtomicRequest();
  HRESULT hr = WalkAttempts(link, first_request, handlers, attempts);
  (void)link->EndAtomicRequest();
  return hr;
}

}  // namespace zel
