// Connect and log in: reopen the transport, probe the controller with an acknowledge frame and,
// when the probe is not acknowledged, log in with the access code; all of it inside one atomic
// bracket of the transport. Relogin is the update threads' way in.
#include <array>

#include "link/frame.h"
#include "link/link_health.h"
#include "link/no_resends.h"
#include "link/request.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/text_encoding.h"
#include "server/zel_server.h"

namespace zel {
namespace {

inline constexpr size_t kAccessCodeLength = 4;
inline constexpr uint32_t kLoginFrameSize = 9;  // 5A 05 20 d1 d2 d3 d4 crc-lo crc-hi

}  // namespace

HRESULT CZelServer::ConnectAndLogin() {
  BStr code;
  {
    MutexLock g(&mu_);
    code = access_code_;
  }
  // Checked before the transport is touched, so a wrong code never reaches the controller.
  std::u16string digits = Utf8ToUtf16(code.str());
  if (digits.size() != kAccessCodeLength) return E_SRV_LOGIN_FAILED;

  ComPtr<IZelCommHandler> link = transport();
  if (!link) return E_FAIL;
  // The whole sequence is one atomic exchange: no other thread's request (or re-login) can come
  // between the reconnection, the probe and the login.
  (void)link->BeginAtomicRequest();
  HRESULT hr = LoginSequence(link.get(), digits);
  if (hr == S_OK) logins_.fetch_add(1, std::memory_order_acq_rel);
  (void)link->EndAtomicRequest();
  return hr;
}

HRESULT CZelServer::Relogin(uint64_t logins_seen) {
  ComPtr<IZelCommHandler> link = transport();
  if (!link) return E_FAIL;
  // Waiting here behind another thread's re-login: when that one succeeded, the link is fresh
  // and this thread's failures belong to the session before it.
  (void)link->BeginAtomicRequest();
  HRESULT hr = S_OK;
  if (logins_.load(std::memory_order_acquire) == logins_seen) {
    if (LinkHealth::Process().Now().state == LinkState::kDown) {
      // Beyond the contract: a controller that lost the session (a reboot on the network) never
      // acknowledges its terminate. On a dead link the terminate goes out once and its failure
      // does not stop the re-login: the session is dropped either way, and eleven more tries
      // would hold the link for 44 s for nothing.
      NoResends once(link.get());
      (void)link->Disconnect();
    }
    hr = ConnectAndLogin();
  }
  (void)link->EndAtomicRequest();
  return hr;
}

bool CZelServer::ClaimLinkDownRelogin(Millis spacing) {
  auto now = Clock::Get()->Now();
  MutexLock g(&mu_);
  if (link_down_relogin_ && now - *link_down_relogin_ < spacing) return false;
  link_down_relogin_ = now;
  return true;
}

// REQUIRES: the caller holds the link's atomic bracket.
HRESULT CZelServer::LoginSequence(IZelCommHandler* link, const std::u16string& digits) {
  ZEL_TRY(link->Disconnect());
  ZEL_TRY(link->Connect());

  // The probe: a controller that still has a session open acknowledges it.
  ReplyBuffer reply;
  ZEL_TRY(SendControllerRequest(link, true, kAckFrame.data(), kAckFrame.size(), &reply));
  if (!reply) return E_UNEXPECTED;
  if (IsAckFrame(reply.get())) return S_OK;
  reply.reset();

  // The login frame: each code character minus "0", so the digits give the bytes 0 to 9.
  std::array<uint8_t, kLoginFrameSize> login = {kFrameStart, 0x05, MSG_LOGIN, 0, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < kAccessCodeLength; ++i) {
    login[3 + i] = static_cast<uint8_t>(digits[i] - u'0');
  }
  SetFrameCrc(login.data(), login.size());
  ZEL_TRY(SendControllerRequest(link, true, login.data(), login.size(), &reply));
  return IsAckFrame(reply.get()) ? S_OK : E_SRV_LOGIN_FAILED;
}

}  // namespace zel
